#!/usr/bin/env bash
# Installs the tree and its packages and proves the result usable. One
# Release build (build-release) gives both forms of the library, the three
# .deb packages, the three RPMs and the tool's tarball.
#   - Install tree (a scratch prefix): the expected files with the project's
#     version; libvelmor_lic.so.<major> with its SONAME, no execute bit, and
#     exports only what the public headers declare; machine_info static,
#     holding only the probes; the .pc files name the prefix.
#   - examples/ built with <velmor_lic/...> includes and run, linked to the
#     shared and to the static library, through the build tree's CMake
#     package, the installed one and pkg-config; the CMake package accepts
#     the same major version only.
#   - The packages: their files, sections and dependencies; lintian finds no
#     error or warning; installed for real as root (the ldconfig trigger,
#     every consumer against /usr, then purged), otherwise unpacked into a
#     scratch root (dpkg -x) for the same consumers; the packaged
#     machine_info runs alone in an empty root.
#   - The RPMs (where rpmbuild is): their files, dependencies, scriptlets and
#     changelog; rpmlint finds no error or warning; installed with rpm into a
#     scratch root (as root, or in a user namespace), where the scriptlets
#     run, the tool runs, and the same consumers build; then erased.
#   - The tarball: its files and owners; its machine_info is the .deb's and
#     the RPM's, byte for byte.
# Given the directory of scripts/release.sh's artefacts, it checks those
# instead, from the packages on (the same checks), and installs their .deb
# packages in Debian 11 too.
# Usage: scripts/check_install.sh [RELEASE_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh
bash scripts/deps.sh run

release=${1:-}
build=build-release
# Runs a command silently, showing its output only when it fails.
quiet() {
  local log
  log=$(mktemp)
  if ! "$@" >"$log" 2>&1; then cat "$log" >&2; rm -f "$log"; echo "check_install: failed: $*" >&2; exit 1; fi
  rm -f "$log"
}
fail() { echo "check_install: $*" >&2; exit 1; }

scratch=$(mktemp -d)
cleanup_steps=()
cleanup() {
  local step
  for step in "${cleanup_steps[@]}"; do eval "$step" || true; done
  rm -rf "$scratch"
}
trap cleanup EXIT

# A static executable (static PIE included) has no program interpreter and
# needs no library.
is_static() { ! grep -q 'INTERP' <<<"$(readelf -lW "$1")" && ! grep -q '(NEEDED)' <<<"$(readelf -dW "$1")"; }
# Does the program load libvelmor_lic.so (at the path given, if one is)?
uses_shared() {  # program, [library path]
  grep -qF "${2:-libvelmor_lic.so}" <<<"$(ldd "$1")"
}

# examples/run_and_buffer built by CMake against a package directory and run;
# linked to the shared library, or with "static" to the archive.
example_cmake() {  # label, form, build dir, extra environment for the run, cmake args...
  local label=$1 form=$2 dir=$3 run_env=$4
  shift 4
  local static=OFF
  [ "$form" = static ] && static=ON
  quiet cmake -S examples -B "$dir" -G Ninja -DLINK_STATIC=$static "$@"
  quiet cmake --build "$dir"
  # shellcheck disable=SC2086
  [ "$(env $run_env "$dir/run_and_buffer")" = ok ] || fail "example ($label, $form) failed"
  if [ "$form" = static ]; then
    uses_shared "$dir/run_and_buffer" && fail "example ($label, static) loads libvelmor_lic.so"
  else
    # shellcheck disable=SC2086
    grep -qF libvelmor_lic.so.0 <<<"$(env $run_env ldd "$dir/run_and_buffer")" \
      || fail "example ($label, shared) does not load libvelmor_lic.so.0"
  fi
  echo "example via CMake, $label, $form: ok"
}
# The same through pkg-config with the compiler alone: velmor_lic (shared)
# or velmor_lic-static.
example_pkg_config() {  # label, module, output, extra environment (pkg-config and run)...
  local label=$1 module=$2 out=$3
  shift 3
  local flags
  flags=$(env "$@" pkg-config --cflags --libs "$module" | xargs) || fail "pkg-config ($label) does not know $module"
  # shellcheck disable=SC2086
  g++ -std=c++17 -Wall -Wextra -o "$out" examples/run_and_buffer.cpp $flags
  [ "$(env "$@" "$out")" = ok ] || fail "example ($label, $module) failed"
  if [ "$module" = velmor_lic-static ]; then
    uses_shared "$out" && fail "example ($label, $module) loads libvelmor_lic.so"
  else
    grep -qF libvelmor_lic.so.0 <<<"$(env "$@" ldd "$out")" || fail "example ($label, $module) does not load libvelmor_lic.so.0"
  fi
  echo "example via pkg-config, $label, $module: ok ($flags)"
}
have_pkg_config=1
require_tool "pkg-config checks" pkg-config pkgconf || have_pkg_config=0

if [ -z "$release" ]; then
  # --- one build, installed into a prefix ---------------------------------------
  # dpkg-shlibdeps finds the runtime package's dependencies when CPack runs;
  # the RPMs need rpmbuild, the tarball nothing more.
  find_package_generators check_install
  [[ " ${PACKAGE_GENERATORS[*]} " == *" DEB "* ]] || exit 0
  have_rpm=0
  [[ " ${PACKAGE_GENERATORS[*]} " == *" RPM "* ]] && have_rpm=1
  make_packages . "$build" "${PACKAGE_GENERATORS[@]}" || fail "building and packaging $build failed"
  version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
  [ -n "$version" ] || fail "no project version in $build/CMakeCache.txt"
  major=${version%%.*}
  prefix=$scratch/prefix
  quiet cmake --install "$build" --prefix "$prefix"

  libdir=
  for d in "$prefix"/lib/*-linux-gnu "$prefix"/lib64 "$prefix"/lib; do
    if [ -e "$d/libvelmor_lic.a" ]; then libdir=${d#"$prefix"/}; break; fi
  done
  [ -n "$libdir" ] || fail "libvelmor_lic.a not installed under lib/"
  so=$prefix/$libdir/libvelmor_lic.so.$major
  for f in bin/machine_info \
           include/velmor_lic/lic_func.h include/velmor_lic/str_buffer.h include/velmor_lic/popen_cmd.h \
           "$libdir/libvelmor_lic.so" "$libdir/libvelmor_lic.so.$major" "$libdir/libvelmor_lic.so.$version" \
           "$libdir/cmake/velmor_lic/velmor_licConfig.cmake" \
           "$libdir/cmake/velmor_lic/velmor_licConfigVersion.cmake" \
           "$libdir/cmake/velmor_lic/velmor_licTargets.cmake" \
           "$libdir/pkgconfig/velmor_lic.pc" "$libdir/pkgconfig/velmor_lic-static.pc" \
           share/man/man1/machine_info.1.gz \
           share/doc/machine-info/copyright share/doc/machine-info/changelog.gz; do
    [ -e "$prefix/$f" ] || fail "missing from the install: $f"
  done
  grep -q "$PWD" "$prefix/$libdir/cmake/velmor_lic/velmor_licTargets.cmake" \
    && fail "exported targets point into the source tree"
  is_static "$prefix/bin/machine_info" || fail "installed machine_info is not static"
  grep -qE 'KPopenCmd|ExecuteCmd|Buffer|KCProcStat|Tokenize' <<<"$(nm -C "$build/machine_info")" \
    && fail "machine_info carries more than the probes"
  # The version written once in CMakeLists.txt reaches the man page and the changelog.
  grep -qF "machine_info $version\"" <<<"$(gzip -dc "$prefix/share/man/man1/machine_info.1.gz")" \
    || fail "man page does not carry version $version"
  [[ "$(gzip -dc "$prefix/share/doc/machine-info/changelog.gz")" == "machine-info ($version) "* ]] \
    || fail "changelog does not start with version $version"
  # The tool's own probes may complain on this machine; only its running matters.
  "$prefix/bin/machine_info" ignore_scan_blk >/dev/null 2>&1
  echo "install tree: ok (version $version, $libdir)"

  # --- the shared library -------------------------------------------------------
  grep -qF "Library soname: [libvelmor_lic.so.$major]" <<<"$(readelf -dW "$so")" || fail "$(basename "$so") lacks its SONAME"
  [ "$(stat -L -c %a "$so")" = 644 ] || fail "$(basename "$so") is installed with mode $(stat -L -c %a "$so"), not 644"
  # Every name the .so exports is a velmor_lic name declared in a public
  # header; the seams the tests use and template copies are not among them.
  exports=$(nm -DC --defined-only "$so" | sed -n 's/^[0-9a-f]* [A-Za-z] //p')
  foreign=$(grep -vE '^((vtable|typeinfo|typeinfo name) for )?velmor_lic::' <<<"$exports" || true)
  [ -z "$foreign" ] || fail "$(basename "$so") exports names of others: $(head -n 3 <<<"$foreign")"
  grep -q '^velmor_lic::ExecuteCmd(' <<<"$exports" || fail "$(basename "$so") does not export ExecuteCmd"
  while IFS= read -r symbol; do
    name=${symbol#* for }
    name=${name#velmor_lic::}
    name=${name#detail::}
    name=${name%%(*}
    name=${name%%::*}
    name=${name%%\[*}
    grep -qw -- "$name" "$prefix"/include/velmor_lic/*.h \
      || fail "$(basename "$so") exports a name outside the public headers: $symbol"
  done <<<"$exports"
  grep -q 'RunnerAccess' <<<"$exports" && fail "$(basename "$so") exports the runner's test seam"
  echo "shared library: ok ($(basename "$so"), $(wc -l <<<"$exports") exported names, all from the public headers)"

  # --- consumers of the build tree and of the installed prefix -------------------
  example_cmake "build tree" shared "$scratch/example-build-tree" "" -Dvelmor_lic_DIR="$PWD/$build"
  example_cmake "build tree" static "$scratch/example-build-tree-static" "" -Dvelmor_lic_DIR="$PWD/$build"
  example_cmake "installed prefix" shared "$scratch/example" "" -DCMAKE_PREFIX_PATH="$prefix"
  example_cmake "installed prefix" static "$scratch/example-static" "" -DCMAKE_PREFIX_PATH="$prefix"

  # The CMake package takes any request of its major version up to its own.
  mkdir -p "$scratch/version-probe"
  printf 'cmake_minimum_required(VERSION 3.25)\nproject(probe LANGUAGES NONE)\nfind_package(velmor_lic ${WANT} CONFIG QUIET)\nif(NOT velmor_lic_FOUND)\n  message(FATAL_ERROR "not found")\nendif()\n' \
    >"$scratch/version-probe/CMakeLists.txt"
  accepts() {
    cmake -S "$scratch/version-probe" -B "$scratch/version-probe/build-$1" -DWANT="$1" \
      -Dvelmor_lic_DIR="$prefix/$libdir/cmake/velmor_lic" >/dev/null 2>&1
  }
  next_minor=$major.$(( $(cut -d. -f2 <<<"$version") + 1 ))
  for want in "$major" "$major.0" "${version%.*}" "$version"; do
    accepts "$want" || fail "the CMake package $version refuses a request for $want"
  done
  for want in "$next_minor" "$((major + 1))"; do
    accepts "$want" && fail "the CMake package $version accepts a request for $want"
  done
  echo "CMake package version: ok ($version accepts $major, $major.0, ${version%.*}, $version; refuses $next_minor and $((major + 1)))"

  if [ "$have_pkg_config" = 1 ]; then
    pcdir=$prefix/$libdir/pkgconfig
    for module in velmor_lic velmor_lic-static; do
      pc=$pcdir/$module.pc
      [ "$(sed -n 1p "$pc")" = "prefix=$prefix" ] || fail "$module.pc does not start with prefix=$prefix"
      # Every other path is written from ${prefix}.
      grep -E '^[a-z]+dir=' "$pc" | grep -vq '=\${prefix}/' && fail "$module.pc has a path not made from \${prefix}"
      [ "$(PKG_CONFIG_PATH="$pcdir" pkg-config --modversion "$module")" = "$version" ] \
        || fail "$module.pc does not carry version $version"
    done
    example_pkg_config "installed prefix" velmor_lic "$scratch/run_and_buffer_pc" \
      PKG_CONFIG_PATH="$pcdir" LD_LIBRARY_PATH="$prefix/$libdir"
    example_pkg_config "installed prefix" velmor_lic-static "$scratch/run_and_buffer_pc_static" PKG_CONFIG_PATH="$pcdir"
    # Code written before the prefix still finds the bare names.
    # shellcheck disable=SC2046
    printf '#include "popen_cmd.h"\n' | g++ -std=c++17 -fsyntax-only -x c++ - \
      $(PKG_CONFIG_PATH="$pcdir" pkg-config --cflags velmor_lic) || fail "bare header names no longer found"
    echo "pkg-config files: ok (prefix=$prefix, the rest from it; bare header names too)"
  fi
else
  # --- the release artefacts (scripts/release.sh) --------------------------------
  build=$release
  version=$(dpkg-deb -f "$(find "$build" -maxdepth 1 -name 'machine-info_*.deb' | head -n 1)" Version 2>/dev/null) \
    || fail "no machine-info .deb in $build"
  major=${version%%.*}
  have_rpm=0
  require_tool "release RPM checks" rpm rpm && have_rpm=1
fi

# --- the .deb packages --------------------------------------------------------
arch=$(dpkg --print-architecture)
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH 2>/dev/null || gcc -print-multiarch)
runtime=libvelmor-lic$major
tool_deb=$build/machine-info_${version}_$arch.deb
runtime_deb=$build/${runtime}_${version}_$arch.deb
dev_deb=$build/libvelmor-lic-dev_${version}_$arch.deb
debs=("$tool_deb" "$runtime_deb" "$dev_deb")
for deb in "${debs[@]}"; do [ -f "$deb" ] || fail "cpack made no $(basename "$deb")"; done
field() { dpkg-deb -f "$1" "$2"; }
has_files() {  # deb, path regex...
  local deb=$1 listing
  shift
  listing=$(dpkg-deb -c "$deb")
  for path in "$@"; do grep -qE " \./$path( -> .*)?\$" <<<"$listing" || fail "$(basename "$deb") lacks /$path"; done
}
lacks_files() {  # deb, path regex...
  local deb=$1 listing
  shift
  listing=$(dpkg-deb -c "$deb")
  for path in "$@"; do grep -qE " \./$path( -> .*)?\$" <<<"$listing" && fail "$(basename "$deb") holds /$path"; done
  return 0
}
has_files "$tool_deb" usr/bin/machine_info usr/share/man/man1/machine_info\\.1\\.gz usr/share/doc/machine-info/copyright
lacks_files "$tool_deb" 'usr/lib/.*'
has_files "$runtime_deb" "usr/lib/$multiarch/libvelmor_lic\\.so\\.$major" "usr/lib/$multiarch/libvelmor_lic\\.so\\.$version" \
  "usr/share/doc/$runtime/copyright" "usr/share/doc/$runtime/changelog\\.gz"
lacks_files "$runtime_deb" "usr/lib/$multiarch/libvelmor_lic\\.(a|so)" 'usr/include/.*'
has_files "$dev_deb" "usr/lib/$multiarch/libvelmor_lic\\.so" "usr/lib/$multiarch/libvelmor_lic\\.a" \
  usr/include/velmor_lic/lic_func\\.h "usr/lib/$multiarch/cmake/velmor_lic/velmor_licConfig\\.cmake" \
  "usr/lib/$multiarch/pkgconfig/velmor_lic\\.pc" "usr/lib/$multiarch/pkgconfig/velmor_lic-static\\.pc"
lacks_files "$dev_deb" "usr/lib/$multiarch/libvelmor_lic\\.so\\.[0-9.]*"
[ "$(field "$runtime_deb" Section)" = libs ] || fail "$runtime is not in section libs"
[ "$(field "$dev_deb" Depends)" = "$runtime (= $version)" ] \
  || fail "libvelmor-lic-dev depends on '$(field "$dev_deb" Depends)', not on '$runtime (= $version)'"
grep -q 'libc6 (>= ' <<<"$(field "$runtime_deb" Depends)" || fail "$runtime lacks dpkg-shlibdeps' dependencies"
[ -z "$(field "$tool_deb" Depends)" ] || fail "machine-info depends on $(field "$tool_deb" Depends)"
control=$scratch/runtime-control
dpkg-deb -e "$runtime_deb" "$control"
[ "$(cat "$control/triggers")" = "activate-noawait ldconfig" ] || fail "$runtime has no ldconfig trigger"
[ "$(cat "$control/shlibs")" = "libvelmor_lic $major $runtime (>= ${version%.*})" ] \
  || fail "$runtime has the shlibs line '$(cat "$control/shlibs")'"
for script in preinst postinst prerm postrm; do
  [ -e "$control/$script" ] && fail "$runtime has a $script (the trigger runs ldconfig)"
done
dpkg-deb -x "$tool_deb" "$scratch/tool-deb"
packaged=$scratch/tool-deb/usr/bin/machine_info
[ "$("$packaged" ignore_scan_blk 2>/dev/null | wc -l)" = 2 ] || fail "packaged tool misbehaves"
grep -q '\.symtab' <<<"$(readelf -SW "$packaged")" && fail "packaged machine_info is not stripped"
echo "packages: ok"
for deb in "${debs[@]}"; do
  echo "  $(basename "$deb"): $(stat -c %s "$deb") bytes, installed $(field "$deb" Installed-Size) KiB, section $(field "$deb" Section), depends: $(field "$deb" Depends | sed 's/^$/(nothing)/')"
done

if require_tool lintian lintian lintian; then
  # Root is fine here: lintian only unpacks the files into its own scratch space.
  lintian_log=$scratch/lintian.log
  if ! lintian --fail-on error,warning "${debs[@]}" >"$lintian_log" 2>&1; then
    cat "$lintian_log" >&2
    fail "lintian reports errors or warnings"
  fi
  # The one override is the static PIE tool's; unused, it would mean the tool changed.
  # (An overridden error still sets lintian's exit status, hence a second run.)
  overrides=$(lintian --show-overrides "${debs[@]}" 2>&1 || true)
  grep -q '^O: machine-info: shared-library-lacks-prerequisites' <<<"$overrides" \
    || fail "the shared-library-lacks-prerequisites override (static PIE tool) was not used"
  echo "lintian: no errors, no warnings on the three packages (shared-library-lacks-prerequisites overridden on purpose: a static PIE)"
fi

# --- the packages installed -----------------------------------------------------
# As root for real (dpkg -i, then purged), unless one of them is installed
# already: that one is not ours to replace. Otherwise unpacked into a scratch
# root; the consumers are the same.
packages=(machine-info "$runtime" libvelmor-lic-dev)
# Two checks on one machine take turns from before the look at what is
# installed: else one saw the other's packages and checked only a scratch root
# (the test command checks the release's packages beside this machine's).
if [ "$(id -u)" -eq 0 ]; then
  exec 9>/tmp/velmor-lic-deb-install.lock
  flock 9
fi
installed_before=$(dpkg-query -W -f='${db:Status-Status} ${Package}\n' "${packages[@]}" 2>/dev/null | sed -n 's/^installed //p' | paste -sd' ' - || true)
consumers_of() {  # label, root ("" for the system), program environment, [libdir under /usr, kind, cmake args...]
  local label=$1 root=$2 run_env=$3 usr=$2/usr kind=${5:-deb}
  local pcdir=$usr/${4:-lib/$multiarch}/pkgconfig
  shift $(( $# < 5 ? $# : 5 ))
  if [ -z "$root" ]; then
    example_cmake "$label" shared "$scratch/$kind-example" "" "$@"
    example_cmake "$label" static "$scratch/$kind-example-static" "" "$@"
  else
    example_cmake "$label" shared "$scratch/$kind-example" "$run_env" -DCMAKE_PREFIX_PATH="$usr" "$@"
    example_cmake "$label" static "$scratch/$kind-example-static" "" -DCMAKE_PREFIX_PATH="$usr" "$@"
  fi
  [ "$have_pkg_config" = 1 ] || return 0
  if [ -z "$root" ]; then
    # In the system directories pkg-config leaves out what the compiler searches anyway.
    [ "$(pkg-config --cflags --libs velmor_lic | xargs)" = "-I/usr/include/velmor_lic -lvelmor_lic" ] \
      || fail "pkg-config gives '$(pkg-config --cflags --libs velmor_lic)' for the installed package"
    example_pkg_config "$label" velmor_lic "$scratch/deb-pc" PKG_CONFIG_PATH=
    example_pkg_config "$label" velmor_lic-static "$scratch/deb-pc-static" PKG_CONFIG_PATH=
  else
    # The files say prefix=/usr; the sysroot puts the scratch root before it.
    [ "$(sed -n 1p "$pcdir/velmor_lic.pc")" = prefix=/usr ] || fail "the packaged velmor_lic.pc does not say prefix=/usr"
    example_pkg_config "$label" velmor_lic "$scratch/$kind-pc" \
      PKG_CONFIG_PATH="$pcdir" PKG_CONFIG_SYSROOT_DIR="$root" $run_env
    example_pkg_config "$label" velmor_lic-static "$scratch/$kind-pc-static" \
      PKG_CONFIG_PATH="$pcdir" PKG_CONFIG_SYSROOT_DIR="$root"
  fi
}
if [ "$(id -u)" -eq 0 ] && [ -z "$installed_before" ]; then
  cleanup_steps+=("dpkg --purge ${packages[*]} >/dev/null 2>&1")
  quiet dpkg -i "${debs[@]}"
  grep -qF "libvelmor_lic.so.$major " <<<"$(ldconfig -p)" || fail "the ldconfig trigger did not make libvelmor_lic.so.$major known"
  [ "$(command -v machine_info)" = /usr/bin/machine_info ] || fail "machine_info not on the PATH after dpkg -i"
  machine_info ignore_scan_blk >/dev/null 2>&1
  consumers_of "installed packages" "" ""
  quiet dpkg --purge "${packages[@]}"
  [ -e "/usr/lib/$multiarch/libvelmor_lic.so.$major" ] && fail "libvelmor_lic.so.$major left behind by dpkg --purge"
  grep -qF "libvelmor_lic.so.$major " <<<"$(ldconfig -p)" && fail "libvelmor_lic.so.$major still known to the loader after the purge"
  echo "deb install: ok (dpkg -i of the three, ldconfig trigger, consumers against /usr, dpkg --purge leaves nothing)"
else
  if [ -n "$installed_before" ]; then
    echo "deb install: $installed_before installed already, so not replaced: checked in a scratch root (dpkg -x) instead"
  else
    echo "deb install: not root, so checked in a scratch root (dpkg -x)"
  fi
  root=$scratch/deb-root
  for deb in "${debs[@]}"; do dpkg-deb -x "$deb" "$root"; done
  consumers_of "packages in a scratch root" "$root" "LD_LIBRARY_PATH=$root/usr/lib/$multiarch"
  echo "deb contents: ok (consumers against the unpacked packages)"
fi
exec 9>&-

# The packaged tool alone in an empty root: no loader, no shared library.
empty_root=$scratch/empty-root
mkdir "$empty_root"
cp "$packaged" "$empty_root/machine_info"
if [ "$(id -u)" -eq 0 ]; then
  in_empty_root=(chroot "$empty_root")
elif unshare -r true 2>/dev/null; then
  in_empty_root=(unshare -r chroot "$empty_root")
else
  in_empty_root=()
  line="empty-root check: skipped: chroot needs root or a user namespace (unshare -r)"
  echo "$line"
  if [ -n "${VELMOR_SKIP_LOG:-}" ]; then echo "$line" >>"$VELMOR_SKIP_LOG"; fi
fi
if [ ${#in_empty_root[@]} -gt 0 ]; then
  # No /sys in there: the probes report that on stderr and leave their values empty.
  out=$("${in_empty_root[@]}" /machine_info ignore_scan_blk 2>/dev/null) || fail "machine_info failed in an empty root"
  [ "$(wc -l <<<"$out")" = 2 ] && grep -q '^cpu_id:.' <<<"$out" \
    || fail "machine_info in an empty root printed: $out"
  echo "empty root: ok (machine_info alone in a chroot, no shared library present)"
fi

# --- the RPMs -------------------------------------------------------------------
# Their files and dependency lines, rpmlint, then installed with rpm into a
# scratch root (as root, or as a user namespace's root): the scriptlets run
# there, ldconfig included, the tool runs from it, and the same consumers
# build against its /usr/lib64.
rpm_tool=
if [ "$have_rpm" = 1 ]; then
  if [ -z "$release" ]; then
    rpm_release=$(sed -n 's/^set(CPACK_RPM_PACKAGE_RELEASE "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")
  else
    rpm_release=$(rpm -qp --qf '%{RELEASE}' "$build/machine-info-$version-"*.x86_64.rpm 2>/dev/null || true)
  fi
  [ -n "$rpm_release" ] || fail "no RPM release in $build"
  rpms=()
  for name in machine-info velmor-lic velmor-lic-devel; do
    rpms+=("$build/$name-$version-$rpm_release.x86_64.rpm")
    [ -f "${rpms[-1]}" ] || fail "cpack made no $(basename "${rpms[-1]}")"
  done
  rpm_has() {  # rpm, path regex...
    local rpm=$1 listing
    shift
    listing=$(rpm -qlp "$rpm")
    for path in "$@"; do grep -qxE "/$path" <<<"$listing" || fail "$(basename "$rpm") lacks /$path"; done
  }
  rpm_deps() { rpm -qp --requires "$1" | grep -v '^rpmlib(' | sort -u || true; }
  rpm_has "${rpms[0]}" usr/bin/machine_info usr/share/man/man1/machine_info\\.1\\.gz usr/share/licenses/machine-info/copyright
  rpm_has "${rpms[1]}" "usr/lib64/libvelmor_lic\\.so\\.$major" "usr/lib64/libvelmor_lic\\.so\\.$version"
  rpm_has "${rpms[2]}" usr/lib64/libvelmor_lic\\.so usr/lib64/libvelmor_lic\\.a usr/include/velmor_lic/lic_func\\.h \
    usr/lib64/cmake/velmor_lic/velmor_licConfig\\.cmake usr/lib64/pkgconfig/velmor_lic\\.pc usr/lib64/pkgconfig/velmor_lic-static\\.pc
  grep -q 'x86_64-linux-gnu' <<<"$(rpm -qlp "${rpms[@]}")" && fail "an RPM holds Debian's library directory"
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
  if require_tool rpmlint rpmlint rpmlint; then
    # The settings of the RPM family, and the tags left on purpose with their reasons.
    rpmlint_log=$scratch/rpmlint.log
    rpmlint -c packaging/rpmlint.toml -r packaging/velmor.rpmlintrc "${rpms[@]}" >"$rpmlint_log" 2>&1 || true
    grep -q ' 0 errors, 0 warnings' "$rpmlint_log" || { cat "$rpmlint_log" >&2; fail "rpmlint reports errors or warnings"; }
    echo "rpmlint: no errors, no warnings on the three RPMs (the filters in packaging/velmor.rpmlintrc, each with its reason, all used)"
  fi

  as_root=()
  [ "$(id -u)" -eq 0 ] || as_root=(unshare -r)
  if "${as_root[@]}" true 2>/dev/null; then
    root=$scratch/rpm-root
    # The scriptlets need a shell and ldconfig in the root: the host's, with
    # the shell's libraries. The RPM family's ldconfig searches /usr/lib64 by
    # itself, Debian's only when told.
    mkdir -p "$root/sbin" "$root/etc"
    for f in /bin/sh $(ldd /bin/sh | grep -o '/[^ ]*'); do cp -L --parents "$f" "$root"; done
    cp /sbin/ldconfig "$root/sbin/"
    echo /usr/lib64 >"$root/etc/ld.so.conf"
    rpm_in_root=("${as_root[@]}" rpm --root "$root" --dbpath /var/lib/rpm)
    # Debian's rpm warns, when installing, that it is not the system's package manager.
    rpm_force=()
    rpm --help 2>/dev/null | grep -q -- --force-debian && rpm_force=(--force-debian)
    quiet "${rpm_in_root[@]}" --initdb
    rpm_log=$scratch/rpm-install.log
    "${rpm_in_root[@]}" "${rpm_force[@]}" -i --nodeps "${rpms[@]}" >"$rpm_log" 2>&1 \
      || { cat "$rpm_log" >&2; fail "rpm -i into a scratch root failed"; }
    grep -q 'scriptlet failed' "$rpm_log" && { cat "$rpm_log" >&2; fail "a scriptlet failed in the scratch root"; }
    listing=$("${rpm_in_root[@]}" -qla)
    for f in /usr/bin/machine_info "/usr/lib64/libvelmor_lic.so.$major" /usr/lib64/cmake/velmor_lic/velmor_licTargets.cmake; do
      grep -qx "$f" <<<"$listing" || fail "rpm -qla in the scratch root does not list $f"
      [ -e "$root$f" ] || fail "$f not installed into the scratch root"
    done
    grep -qF "libvelmor_lic.so.$major " <<<"$(/sbin/ldconfig -p -C "$root/etc/ld.so.cache")" \
      || fail "velmor-lic's %post did not make libvelmor_lic.so.$major known to ldconfig"
    out=$("${as_root[@]}" chroot "$root" /usr/bin/machine_info ignore_scan_blk 2>/dev/null) || fail "machine_info failed in the RPM root"
    [ "$(wc -l <<<"$out")" = 2 ] || fail "machine_info in the RPM root printed: $out"
    grep -qx 'libdir=${prefix}/lib64' "$root/usr/lib64/pkgconfig/velmor_lic.pc" || fail "the RPM's velmor_lic.pc does not name /usr/lib64"
    # CMake on the RPM family searches lib64/cmake by itself
    # (FIND_LIBRARY_USE_LIB64_PATHS); on Debian it must be named.
    consumers_of "RPMs in a scratch root" "$root" "LD_LIBRARY_PATH=$root/usr/lib64" lib64 rpm \
      -Dvelmor_lic_DIR="$root/usr/lib64/cmake/velmor_lic"
    rpm_tool=$scratch/rpm-machine_info
    cp "$root/usr/bin/machine_info" "$rpm_tool"
    quiet "${rpm_in_root[@]}" "${rpm_force[@]}" -e velmor-lic-devel velmor-lic machine-info
    [ -e "$root/usr/lib64/libvelmor_lic.so.$major" ] && fail "rpm -e left libvelmor_lic.so.$major behind"
    grep -qF "libvelmor_lic.so.$major " <<<"$(/sbin/ldconfig -p -C "$root/etc/ld.so.cache")" \
      && fail "velmor-lic's %postun left libvelmor_lic.so.$major in the loader's cache"
    echo "rpm install: ok (rpm -i into a scratch root: files listed, ldconfig run by %post and %postun, machine_info run there, consumers against its /usr/lib64, rpm -e leaves nothing)"
  else
    line="rpm install: skipped: needs root or a user namespace (unshare -r)"
    echo "$line"
    if [ -n "${VELMOR_SKIP_LOG:-}" ]; then echo "$line" >>"$VELMOR_SKIP_LOG"; fi
  fi
fi

# --- the tarball ------------------------------------------------------------------
tarball=$build/machine-info-$version-x86_64-linux.tar.gz
[ -f "$tarball" ] || fail "cpack made no $(basename "$tarball")"
top=machine-info-$version-x86_64-linux
expected="$top/bin/machine_info $top/share/doc/machine-info/changelog.gz $top/share/doc/machine-info/copyright $top/share/man/man1/machine_info.1.gz"
[ "$(tar -tzf "$tarball" | paste -sd' ')" = "$expected" ] || fail "$(basename "$tarball") holds: $(tar -tzf "$tarball" | paste -sd' ')"
tar -tvzf "$tarball" | grep -qv ' 0/0 ' && fail "$(basename "$tarball") has entries not owned by 0/0"
mkdir "$scratch/tarball"
tar -C "$scratch/tarball" -xzf "$tarball"
# One tool and one man page in every form they ship in.
cmp -s "$scratch/tarball/$top/bin/machine_info" "$packaged" || fail "the tarball's machine_info differs from the .deb's"
cmp -s "$scratch/tarball/$top/share/man/man1/machine_info.1.gz" "$scratch/tool-deb/usr/share/man/man1/machine_info.1.gz" \
  || fail "the tarball's man page differs from the .deb's"
same_as=".deb's"
if [ -n "$rpm_tool" ]; then
  cmp -s "$rpm_tool" "$packaged" || fail "the RPM's machine_info differs from the .deb's"
  same_as=".deb's and the RPM's"
fi
echo "tarball: ok ($(basename "$tarball"), $(stat -c %s "$tarball") bytes; its machine_info is the $same_as, byte for byte)"

# --- the release's .deb packages in Debian 11 -----------------------------------
# Installed with dpkg -i in the userspace they were made in (a throwaway
# overlay of it): the tool runs, and a program builds against the -dev
# package through pkg-config, with either form of the library, and runs.
if [ -n "$release" ]; then
  suite=$VELMOR_RELEASE_SUITE
  if [ "$(id -u)" -ne 0 ]; then
    line="release packages in $suite: skipped: debootstrap and chroot need root"
    echo "$line"
    if [ -n "${VELMOR_SKIP_LOG:-}" ]; then echo "$line" >>"$VELMOR_SKIP_LOG"; fi
    exit 0
  fi
  prepare_userspace "$suite" || fail "no $suite userspace"
  share=$scratch/userspace
  mkdir "$share"
  cp "${debs[@]}" examples/run_and_buffer.cpp "$share/"
  in_userspace "$suite" "$share" '
    set -e
    cd /velmor
    dpkg -i ./*.deb >/dev/null
    ldconfig -p | grep -q "libvelmor_lic\.so\.0 "
    [ "$(machine_info ignore_scan_blk | wc -l)" = 2 ]
    for module in velmor_lic velmor_lic-static; do
      g++ -std=c++17 -Wall -Werror -o "/tmp/$module" run_and_buffer.cpp $(pkg-config --cflags --libs "$module")
      [ "$("/tmp/$module")" = ok ]
    done
    ldd /tmp/velmor_lic | grep -q "libvelmor_lic\.so\.0 => /"
    ! ldd /tmp/velmor_lic-static | grep -q libvelmor_lic' >"$scratch/userspace.log" 2>&1 \
    || { cat "$scratch/userspace.log" >&2; fail "the release's .deb packages do not install or work in $suite"; }
  echo "release packages in $suite: ok (dpkg -i of the three, ldconfig trigger, machine_info runs, a program built through pkg-config with velmor_lic and velmor_lic-static runs)"
fi
