# Shared by the scripts: messages, quiet commands, Debian packages, skipped
# steps, the packages and Debian userspaces. Source it; it defines functions
# and settings only.

# Ends the script, saying why in one line that names it.
fail() { echo "$(basename "$0" .sh): $*" >&2; exit 1; }
# Says in one line that a step is skipped and why, and records it for the
# test command's summary (VELMOR_SKIP_LOG, when set).
skip_step() { echo "$1: skipped: $2" | tee -a "${VELMOR_SKIP_LOG:-/dev/null}"; }  # step, reason
is_root() { [ "$(id -u)" -eq 0 ]; }
have() { command -v "$1" >/dev/null 2>&1 || [ -e "$1" ]; }  # command or file

# Runs a command with its output held back, shown only when the command
# fails; returns the command's status.
quiet() {
  local log status=0
  log=$(mktemp)
  "$@" >"$log" 2>&1 || status=$?
  [ "$status" -eq 0 ] || cat "$log" >&2
  rm -f "$log"
  return "$status"
}
# apt-get, quietly, as root; steps that run side by side take turns (the
# lock file), and wait for another apt on the machine.
apt_get() { { flock 8 && apt-get -o DPkg::Lock::Timeout=600 -qq "$@"; } 8>/tmp/velmor-lic-apt.lock >/dev/null 2>&1; }
# Installs Debian packages as root; returns non-zero when that is not
# possible or fails.
install_packages() {
  is_root && DEBIAN_FRONTEND=noninteractive apt_get update && DEBIAN_FRONTEND=noninteractive apt_get install -y --no-install-recommends "$@"
}
# A step that cannot have its Debian packages: as root that ends the script
# (CI runs as root, where no step may be left out); otherwise the step is
# skipped, naming them. Returns 1.
lacking() {  # step, packages...
  local step=$1
  shift
  is_root && fail "$step: cannot install the Debian package(s) $*"
  skip_step "$step" "Debian package(s) $* missing (install: sudo apt-get install $*)"
  return 1
}
# Makes sure the command or file that a step needs is there, installing its
# Debian packages as root (see lacking); returns 0 when it is there.
require() {  # step, command or file, packages...
  local step=$1 what=$2
  shift 2
  have "$what" || { install_packages "$@" && have "$what"; } || lacking "$step" "$@"
}
# The build's tools and libraries; for "test" also GoogleTest, Google
# Benchmark, libseccomp and pkg-config. Installed as root; otherwise the
# missing Debian packages are named and the script ends.
require_build() {  # run | test
  local needs=(g++:g++ cmake:cmake ninja:ninja-build /usr/include/boost/tokenizer.hpp:libboost-dev) missing=() need
  [ "${1:-run}" != test ] || needs+=(/usr/include/gtest/gtest.h:libgtest-dev
    /usr/include/benchmark/benchmark.h:libbenchmark-dev /usr/include/seccomp.h:libseccomp-dev pkg-config:pkg-config)
  for need in "${needs[@]}"; do have "${need%%:*}" || missing+=("${need#*:}"); done
  [ ${#missing[@]} -gt 0 ] || return 0
  is_root || fail "missing Debian packages: ${missing[*]} (install them with: sudo apt-get install ${missing[*]})"
  echo "installing: ${missing[*]}" >&2
  install_packages "${missing[@]}" || fail "cannot install the Debian packages ${missing[*]}"
}

# --- the packages ------------------------------------------------------------------
# Builds SOURCE_DIR into BUILD_DIR as the packages are built (Release, no
# tests) and packs there each generator's packages (DEB, RPM, TGZ; DEB by
# default). The RPMs come first, from the tree configured for their family,
# which changes no object; the tree is left configured for Debian.
make_packages() {  # source dir, build dir, generators...
  local source=$1 build=$2 family generator
  shift 2
  [ $# -gt 0 ] || set -- DEB
  rm -f "$build"/*.deb "$build"/*.rpm "$build"/*.tar.gz
  for family in rpm deb; do
    [ "$family" = deb ] || [[ " $* " == *" RPM "* ]] || continue
    quiet cmake -S "$source" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELMOR_BUILD_TESTS=OFF \
      -DVELMOR_PACKAGE_FAMILY=$family -UCMAKE_INSTALL_LIBDIR || return
    quiet cmake --build "$build" || return
    for generator in "$@"; do
      case $family:$generator in rpm:RPM | deb:DEB | deb:TGZ) ;; *) continue ;; esac
      quiet cpack -G "$generator" --config "$build/CPackConfig.cmake" -B "$build" || return
    done
  done
}

# The CPack generators whose tools are here (installing them as root, see
# require), in PACKAGE_GENERATORS: DEB needs dpkg-shlibdeps, RPM needs
# rpmbuild, TGZ nothing more. `step` names the caller in skip lines.
find_package_generators() {  # step
  PACKAGE_GENERATORS=()
  if require "$1 (.deb packages)" dpkg-shlibdeps dpkg-dev; then PACKAGE_GENERATORS+=(DEB); fi
  if require "$1 (RPMs)" rpmbuild rpm; then PACKAGE_GENERATORS+=(RPM); fi
  PACKAGE_GENERATORS+=(TGZ)
}

# --- Debian userspaces -----------------------------------------------------------
# Made with debootstrap from the machine's own Debian package source, with
# what the project needs, and cached outside the tree, one per suite and
# package list. Used only through throwaway overlays: the cache stays as made.
VELMOR_DISTROS=${VELMOR_DISTROS:-/var/cache/velmor-distros}
# The oldest we build on, and where the release artefacts are made.
VELMOR_RELEASE_SUITE=bullseye
VELMOR_USERSPACE_PACKAGES=(cmake dpkg-dev g++ git libbenchmark-dev libboost-dev libgtest-dev
  libseccomp-dev ninja-build pkg-config rpm)

userspace_dir() { echo "$VELMOR_DISTROS/$1-$(printf '%s\n' "${VELMOR_USERSPACE_PACKAGES[@]}" | sha256sum | cut -c1-12)"; }
# The URI of the Debian archive that apt is configured with, as apt reads it.
debian_mirror() {
  local uri try
  for try in first second; do  # the second after an update
    uri=$(apt-get indextargets --format '$(REPO_URI)' 'Label: Debian' 'Identifier: Packages' 2>/dev/null | head -n 1)
    [ -z "$uri" ] && [ $try = first ] && apt_get update
  done
  echo "${uri%/}"
}
# Fails when anything is mounted at or under the directory: it is then no
# plain tree to delete.
no_mounts_under() {  # directory
  ! awk -v d="$1" '$5 == d || index($5, d "/") == 1 { found = 1 } END { exit !found }' /proc/self/mountinfo
}
# Makes the userspace of `suite` unless the cache has it (as root; runs
# side by side wait for each other). Fails, saying why, when it cannot.
prepare_userspace() (  # suite
  suite=$1
  dir=$(userspace_dir "$suite")
  mkdir -p "$VELMOR_DISTROS"
  exec 7>"$VELMOR_DISTROS/.lock"
  flock 7
  [ ! -f "$dir/.velmor-ready" ] || exit 0
  require "userspace $suite" debootstrap debootstrap
  mirror=$(debian_mirror)
  [ -n "$mirror" ] || fail "userspace $suite: apt names no Debian package source"
  /usr/lib/apt/apt-helper download-file "$mirror/dists/$suite/Release" "$VELMOR_DISTROS/.Release" >/dev/null 2>&1 \
    || fail "userspace $suite: the Debian package source ($mirror) does not carry the suite $suite"
  rm -f "$VELMOR_DISTROS/.Release"
  no_mounts_under "$dir.new" || fail "userspace $suite: $dir.new has mounts under it; left alone"
  rm -rf "$dir.new"
  # In a private mount namespace: what debootstrap and the packages' scripts
  # mount goes with it, whatever fails.
  if ! SUITE=$suite DIR=$dir.new MIRROR=$mirror quiet unshare --mount --propagation private bash -c '
    set -e
    trap '"'"'umount -R -l "$DIR/proc" "$DIR/dev" 2>/dev/null || true'"'"' EXIT
    debootstrap --variant=minbase "$SUITE" "$DIR" "$MIRROR"
    mount -t proc proc "$DIR/proc"
    mount --rbind /dev "$DIR/dev"
    in_root() { chroot "$DIR" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LC_ALL=C DEBIAN_FRONTEND=noninteractive "$@"; }
    # The Release file of testing expires within days, and a snapshot of
    # the archive (which apt may be pointed at) serves it past that.
    in_root apt-get -o Acquire::Check-Valid-Until=false update -qq
    in_root apt-get install -y -qq --no-install-recommends "$@"
    in_root apt-get clean' bash "${VELMOR_USERSPACE_PACKAGES[@]}"; then
    if no_mounts_under "$dir.new"; then rm -rf "$dir.new"; fi
    fail "userspace $suite: debootstrap or apt-get failed"
  fi
  touch "$dir.new/.velmor-ready"
  mv "$dir.new" "$dir"
)

# Runs a shell command as root in a throwaway copy of the userspace of
# `suite`: an overlay over the cached tree (a mount point, as the tests'
# private mount namespaces need), with /proc, /dev, /sys and the directory
# `share` at /velmor, all mounted in a private mount namespace of its own,
# which nothing outside sees and which goes with the command, however it ends.
in_userspace() (  # suite, share, shell command
  upper=$(mktemp -d "${TMPDIR:-/var/tmp}/velmor-userspace.XXXXXX")
  # Nothing is mounted there outside the namespace; the check is for safety.
  trap 'if no_mounts_under "$upper"; then rm -rf "$upper"; fi' EXIT
  LOWER=$(userspace_dir "$1") UPPER=$upper SHARE=$2 unshare --mount --propagation private bash -c '
    set -e
    root=$UPPER/root
    # Also unmounted when the command ends, should it leave a process behind
    # that keeps the namespace alive.
    trap '"'"'umount -R -l "$root" 2>/dev/null || true'"'"' EXIT
    mkdir "$UPPER/data" "$UPPER/work" "$root"
    mount -t overlay overlay -o "lowerdir=$LOWER,upperdir=$UPPER/data,workdir=$UPPER/work" "$root"
    mount -t proc proc "$root/proc"
    mount --rbind /dev "$root/dev"
    mount --rbind /sys "$root/sys"
    mkdir -p "$root/velmor"
    mount --bind "$SHARE" "$root/velmor"
    chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LC_ALL=C \
      DEBIAN_FRONTEND=noninteractive sh -c "$0"' "$3"
)
