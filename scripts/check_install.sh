#!/usr/bin/env bash
# The .deb packages, the RPMs and the tarball of one Release build
# (build-release), or the release artefacts of scripts/release.sh in
# RELEASE_DIR: their files (packaging/contents.txt), metadata, lintian and
# rpmlint; installed (dpkg as root, else unpacked; rpm into a scratch root)
# and taken in by examples/ through CMake and pkg-config; the tool alone in
# an empty root; the release's .deb packages installed in Debian 11 too.
# Usage: scripts/check_install.sh [RELEASE_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh
require_build run
have_pkg_config=0
require "pkg-config checks" pkg-config pkg-config && have_pkg_config=1
scratch=$(mktemp -d)
cleanup_steps=()
trap 'for step in "${cleanup_steps[@]}"; do eval "$step" || true; done; rm -rf "$scratch"' EXIT

release=${1:-}
build=${release:-build-release}
if [ -z "$release" ]; then
  find_package_generators check_install
  [[ " ${PACKAGE_GENERATORS[*]} " == *" DEB "* ]] || exit 0
  make_packages . "$build" "${PACKAGE_GENERATORS[@]}" || fail "building and packaging $build failed"
fi
version=$(dpkg-deb -f "$(find "$build" -maxdepth 1 -name 'machine-info_*.deb' | head -n 1)" Version 2>/dev/null) \
  || fail "no machine-info .deb in $build"
major=${version%%.*}
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH 2>/dev/null || gcc -print-multiarch)

# Fails unless the artefact holds exactly what packaging/contents.txt says.
holds_its_files() {  # artefact, its section in contents.txt
  local listing expected
  [ -f "$1" ] || fail "cpack made no $(basename "$1")"
  case $1 in
    *.deb) listing=$(dpkg-deb -c "$1" | awk '$1 !~ /^d/ { sub(/^\./, "", $6); print $6 }' | sort) ;;
    *.rpm) listing=$(rpm -qlp "$1" | sort) ;;
    *) listing=$(tar -tzf "$1" | sort) ;;
  esac
  expected=$(awk -v s="[$2]" '/^\[/ { on = ($0 == s); next } on && NF' packaging/contents.txt |
    sed "s/{version}/$version/g; s/{multiarch}/$multiarch/g" | sort)
  [ "$listing" = "$expected" ] || fail "$(basename "$1") holds other files than packaging/contents.txt says:" \
    "$(diff <(echo "$expected") <(echo "$listing") | grep '^[<>]' | paste -sd' ')"
}
# examples/ by CMake against the packages (found with `cmake args`), linked
# to either library, and through their pkg-config files under `root` (empty:
# the system's); the programs run with `root`'s libraries.
consumers_of() {  # label, root, library directory under /usr, cmake args...
  local label=$1 root=$2 libdir=$3 static form dir run_env
  shift 3
  run_env=${root:+LD_LIBRARY_PATH=$root/usr/$libdir}
  for static in OFF ON; do
    dir=$scratch/$label-$static form=SHARED
    [ $static = OFF ] || form=STATIC
    quiet ctest --build-and-test "$PWD/examples" "$dir" --build-generator Ninja --build-options -DLINK_STATIC=$static "$@" \
      --test-command cmake -DDIR="$dir" -D$form=run_and_buffer,run_command -DENV="$run_env" \
      -P "$PWD/tests/consumers/check_consumer.cmake" || fail "examples/ ($label, $form) do not build or run"
  done
  [ "$have_pkg_config" = 0 ] || quiet cmake -DPKG_CONFIG="$(command -v pkg-config)" -DPREFIX=/usr \
    -DPC_DIR="${root:+$root/usr/$libdir/pkgconfig}" -DSYSROOT="$root" -DVERSION="$version" -DENV="$run_env" \
    -DCXX=g++ -DOUT="$scratch/$label-pkg-config" -DSOURCE="$PWD" -P tests/consumers/check_pkg_config.cmake \
    || fail "pkg-config ($label) failed"
  echo "consumers of the $label: ok (examples/ by CMake, shared and static; through pkg-config, velmor_lic and velmor_lic-static)"
}
# --- the .deb packages --------------------------------------------------------
runtime=libvelmor-lic$major
packages=(machine-info "$runtime" libvelmor-lic-dev)
debs=()
for package in "${packages[@]}"; do
  debs+=("$build/${package}_${version}_$(dpkg --print-architecture).deb")
  holds_its_files "${debs[-1]}" "$package.deb"
done
field() { dpkg-deb -f "${debs[$1]}" "$2"; }
dpkg-deb -e "${debs[1]}" "$scratch/control"
[ "$(field 1 Section)" = libs ] || fail "$runtime is not in section libs"
[ "$(field 2 Depends)" = "$runtime (= $version)" ] || fail "libvelmor-lic-dev depends on '$(field 2 Depends)'"
[[ "$(field 1 Depends)" == *"libc6 (>= "* ]] || fail "$runtime lacks dpkg-shlibdeps' dependencies"
[ -z "$(field 0 Depends)" ] || fail "machine-info depends on $(field 0 Depends)"
[ "$(cat "$scratch/control/triggers")" = "activate-noawait ldconfig" ] || fail "$runtime has no ldconfig trigger"
[ "$(cat "$scratch/control/shlibs")" = "libvelmor_lic $major $runtime (>= ${version%.*})" ] \
  || fail "$runtime has the shlibs line '$(cat "$scratch/control/shlibs")'"
# The trigger runs ldconfig: no maintainer script.
[ -z "$(cd "$scratch/control" && ls preinst postinst prerm postrm 2>/dev/null)" ] || fail "$runtime has maintainer scripts"
dpkg-deb -x "${debs[0]}" "$scratch/tool-deb"
packaged=$scratch/tool-deb/usr/bin/machine_info
[ "$("$packaged" ignore_scan_blk 2>/dev/null | wc -l)" = 2 ] || fail "packaged tool misbehaves"
grep -q '\.symtab' <<<"$(readelf -SW "$packaged")" && fail "packaged machine_info is not stripped"
echo "packages: ok"
for i in 0 1 2; do
  echo "  $(basename "${debs[$i]}"): $(stat -c %s "${debs[$i]}") bytes, installed $(field $i Installed-Size) KiB," \
    "section $(field $i Section), depends: $(field $i Depends | sed 's/^$/(nothing)/')"
done
if require lintian lintian lintian; then
  # Root is fine here: lintian only unpacks the files into its own scratch space.
  quiet lintian --fail-on error,warning "${debs[@]}" || fail "lintian reports errors or warnings"
  # The one override is the static PIE tool's; unused, it would mean the tool changed.
  # (An overridden error still sets lintian's exit status, hence a second run.)
  grep -q '^O: machine-info: shared-library-lacks-prerequisites' <<<"$(lintian --show-overrides "${debs[@]}" 2>&1 || true)" \
    || fail "the shared-library-lacks-prerequisites override (static PIE tool) was not used"
  echo "lintian: no errors, no warnings on the three packages (shared-library-lacks-prerequisites overridden on purpose: a static PIE)"
fi

# As root for real (dpkg -i, then purged), unless one of them is installed
# already: that one is not ours to replace. Otherwise unpacked into a scratch
# root. Two checks on one machine (the host's packages, the release's) take
# turns from before the look at what is installed.
if is_root; then exec 9>/tmp/velmor-lic-deb-install.lock && flock 9; fi
installed_before=$(dpkg-query -W -f='${db:Status-Status} ${Package}\n' "${packages[@]}" 2>/dev/null | sed -n 's/^installed //p' | paste -sd' ' - || true)
known() { grep -qF "libvelmor_lic.so.$major " <<<"$(/sbin/ldconfig -p "$@")"; }
if is_root && [ -z "$installed_before" ]; then
  cleanup_steps+=("dpkg --purge ${packages[*]} >/dev/null 2>&1")
  quiet dpkg -i "${debs[@]}" || fail "dpkg -i failed"
  known || fail "the ldconfig trigger did not make libvelmor_lic.so.$major known"
  [ "$(command -v machine_info)" = /usr/bin/machine_info ] || fail "machine_info not on the PATH after dpkg -i"
  machine_info ignore_scan_blk >/dev/null 2>&1 || fail "the installed machine_info failed"
  # In the system directories pkg-config leaves out what the compiler searches anyway.
  [ "$have_pkg_config" = 0 ] || [ "$(pkg-config --cflags --libs velmor_lic | xargs)" = "-I/usr/include/velmor_lic -lvelmor_lic" ] \
    || fail "pkg-config gives '$(pkg-config --cflags --libs velmor_lic)' for the installed package"
  consumers_of "installed packages" "" "lib/$multiarch"
  quiet dpkg --purge "${packages[@]}" || fail "dpkg --purge failed"
  [ ! -e "/usr/lib/$multiarch/libvelmor_lic.so.$major" ] && ! known || fail "dpkg --purge left libvelmor_lic.so.$major behind"
  echo "deb install: ok (dpkg -i of the three, ldconfig trigger, consumers against /usr, dpkg --purge leaves nothing)"
else
  echo "deb install: ${installed_before:-not root}${installed_before:+ installed already}: checked in a scratch root (dpkg -x) instead"
  for deb in "${debs[@]}"; do dpkg-deb -x "$deb" "$scratch/deb-root"; done
  consumers_of "packages in a scratch root" "$scratch/deb-root" "lib/$multiarch" -DCMAKE_PREFIX_PATH="$scratch/deb-root/usr"
fi
exec 9>&-

# The packaged tool alone in an empty root: no loader, no shared library.
# As root, or as a user namespace's root, in which rpm installs too.
as_root=()
is_root || as_root=(unshare -r)
if "${as_root[@]}" true 2>/dev/null; then
  mkdir "$scratch/empty-root"
  cp "$packaged" "$scratch/empty-root/machine_info"
  # No /sys in there: the probes report that on stderr and leave their values empty.
  out=$("${as_root[@]}" chroot "$scratch/empty-root" /machine_info ignore_scan_blk 2>/dev/null) || out=failed
  [ "$(wc -l <<<"$out")" = 2 ] && grep -q '^cpu_id:.' <<<"$out" || fail "machine_info in an empty root printed: $out"
  echo "empty root: ok (machine_info alone in a chroot, no shared library present)"
else
  skip_step "empty root and rpm install" "chroot needs root or a user namespace (unshare -r)"
fi

# --- the RPMs -------------------------------------------------------------------
rpm_tool=
if find "$build" -maxdepth 1 -name '*.rpm' | grep -q . && require "RPM checks" rpm rpm; then
  rpm_release=$(rpm -qp --qf '%{RELEASE}' "$build/machine-info-$version-"*.x86_64.rpm 2>/dev/null) || fail "no RPM release in $build"
  rpms=()
  for name in machine-info velmor-lic velmor-lic-devel; do
    rpms+=("$build/$name-$version-$rpm_release.x86_64.rpm")
    holds_its_files "${rpms[-1]}" "$name.rpm"
  done
  rpm_deps() { rpm -qp --requires "$1" | grep -v '^rpmlib(' | sort -u || true; }
  [ -z "$(rpm_deps "${rpms[0]}")" ] || fail "machine-info requires $(rpm_deps "${rpms[0]}" | paste -sd' ')"
  grep -qx "libvelmor_lic.so.$major()(64bit)" <<<"$(rpm -qp --provides "${rpms[1]}")" || fail "velmor-lic does not provide its SONAME"
  grep -qx 'libc.so.6()(64bit)' <<<"$(rpm_deps "${rpms[1]}")" || fail "velmor-lic lacks rpmbuild's library dependencies"
  grep -qx "velmor-lic = $version-$rpm_release" <<<"$(rpm_deps "${rpms[2]}")" || fail "velmor-lic-devel does not require velmor-lic = $version-$rpm_release"
  [ "$(rpm -qp --qf '%{POSTIN}|%{POSTUN}' "${rpms[1]}" | tr -d '\n')" = '/sbin/ldconfig|/sbin/ldconfig' ] \
    || fail "velmor-lic does not run ldconfig after install and removal"
  [[ "$(rpm -qp --changelog "${rpms[1]}")" == *" - $version-$rpm_release"* ]] || fail "the RPM changelog lacks $version-$rpm_release"
  echo "RPMs: ok"
  for rpm in "${rpms[@]}"; do
    echo "  $(basename "$rpm"): $(stat -c %s "$rpm") bytes, requires: $(rpm_deps "$rpm" | paste -sd' ' | sed 's/^$/(nothing)/')"
  done
  if require rpmlint rpmlint rpmlint; then
    # The settings of the RPM family, and the tags left on purpose with their reasons.
    rpmlint -c packaging/rpmlint.toml -r packaging/velmor.rpmlintrc "${rpms[@]}" >"$scratch/rpmlint.log" 2>&1 || true
    grep -q ' 0 errors, 0 warnings' "$scratch/rpmlint.log" || { cat "$scratch/rpmlint.log" >&2; fail "rpmlint reports errors or warnings"; }
    echo "rpmlint: no errors, no warnings on the three RPMs (the filters in packaging/velmor.rpmlintrc, each with its reason, all used)"
  fi

  if "${as_root[@]}" true 2>/dev/null; then
    # The scriptlets need a shell and ldconfig in the root: the host's. The
    # RPM family's ldconfig searches /usr/lib64 by itself, Debian's when told.
    root=$scratch/rpm-root
    mkdir -p "$root/sbin" "$root/etc"
    for f in /bin/sh $(ldd /bin/sh | grep -o '/[^ ]*'); do cp -L --parents "$f" "$root"; done
    cp /sbin/ldconfig "$root/sbin/"
    echo /usr/lib64 >"$root/etc/ld.so.conf"
    rpm_in_root=("${as_root[@]}" rpm --root "$root" --dbpath /var/lib/rpm)
    # Debian's rpm warns, when installing, that it is not the system's package manager.
    rpm_force=()
    rpm --help 2>/dev/null | grep -q -- --force-debian && rpm_force=(--force-debian)
    quiet "${rpm_in_root[@]}" --initdb || fail "rpm --initdb failed"
    "${rpm_in_root[@]}" "${rpm_force[@]}" -i --nodeps "${rpms[@]}" >"$scratch/rpm.log" 2>&1 && ! grep -q 'scriptlet failed' "$scratch/rpm.log" \
      || { cat "$scratch/rpm.log" >&2; fail "rpm -i into a scratch root failed"; }
    listing=$("${rpm_in_root[@]}" -qla)
    for f in /usr/bin/machine_info "/usr/lib64/libvelmor_lic.so.$major" /usr/lib64/cmake/velmor_lic/velmor_licTargets.cmake; do
      grep -qx "$f" <<<"$listing" && [ -e "$root$f" ] || fail "$f not installed into the scratch root"
    done
    known -C "$root/etc/ld.so.cache" || fail "velmor-lic's %post did not make libvelmor_lic.so.$major known to ldconfig"
    out=$("${as_root[@]}" chroot "$root" /usr/bin/machine_info ignore_scan_blk 2>/dev/null) || out=failed
    [ "$(wc -l <<<"$out")" = 2 ] || fail "machine_info in the RPM root printed: $out"
    # CMake on the RPM family searches lib64/cmake by itself
    # (FIND_LIBRARY_USE_LIB64_PATHS); on Debian it must be named.
    consumers_of "RPMs in a scratch root" "$root" lib64 -DCMAKE_PREFIX_PATH="$root/usr" \
      -Dvelmor_lic_DIR="$root/usr/lib64/cmake/velmor_lic"
    rpm_tool=$scratch/rpm-machine_info
    cp "$root/usr/bin/machine_info" "$rpm_tool"
    quiet "${rpm_in_root[@]}" "${rpm_force[@]}" -e velmor-lic-devel velmor-lic machine-info || fail "rpm -e failed"
    [ ! -e "$root/usr/lib64/libvelmor_lic.so.$major" ] && ! known -C "$root/etc/ld.so.cache" \
      || fail "rpm -e (and its %postun) left libvelmor_lic.so.$major behind"
    echo "rpm install: ok (rpm -i into a scratch root: files listed, ldconfig run by %post and %postun, machine_info run there, consumers against its /usr/lib64, rpm -e leaves nothing)"
  fi
fi

# --- the tarball ------------------------------------------------------------------
top=machine-info-$version-x86_64-linux
tarball=$build/$top.tar.gz
holds_its_files "$tarball" machine-info.tar.gz
tar -tvzf "$tarball" | grep -qv ' 0/0 ' && fail "$(basename "$tarball") has entries not owned by 0/0"
tar -C "$scratch" -xzf "$tarball"
# One tool and one man page in every form they ship in.
for f in bin/machine_info share/man/man1/machine_info.1.gz; do
  cmp -s "$scratch/$top/$f" "$scratch/tool-deb/usr/$f" || fail "the tarball's $f differs from the .deb's"
done
[ -z "$rpm_tool" ] || cmp -s "$rpm_tool" "$packaged" || fail "the RPM's machine_info differs from the .deb's"
echo "tarball: ok ($(basename "$tarball"), $(stat -c %s "$tarball") bytes; its machine_info is the one of the .deb${rpm_tool:+ and of the RPM}, byte for byte)"

# --- the release's .deb packages in Debian 11, where they were made ---------------
[ -n "$release" ] || exit 0
suite=$VELMOR_RELEASE_SUITE
is_root || { skip_step "release packages in $suite" "debootstrap and chroot need root"; exit 0; }
prepare_userspace "$suite"
mkdir -p "$scratch/share/examples" "$scratch/share/tests"
cp "${debs[@]}" "$scratch/share/"
cp examples/run_and_buffer.cpp "$scratch/share/examples/"
cp -r tests/consumers "$scratch/share/tests/"
quiet in_userspace "$suite" "$scratch/share" "
  set -e
  cd /velmor
  dpkg -i ./*.deb >/dev/null
  ldconfig -p | grep -q 'libvelmor_lic\\.so\\.$major '
  [ \"\$(machine_info ignore_scan_blk | wc -l)\" = 2 ]
  cmake -DPKG_CONFIG=/usr/bin/pkg-config -DPREFIX=/usr -DVERSION=$version -DCXX=g++ -DOUT=/tmp/pkg-config \
    -DSOURCE=/velmor -P tests/consumers/check_pkg_config.cmake" \
  || fail "the release's .deb packages do not install or work in $suite"
echo "release packages in $suite: ok (dpkg -i of the three, ldconfig trigger, machine_info runs, programs built through pkg-config with velmor_lic and velmor_lic-static run)"
