# Shared by the scripts: installing optional Debian packages and skipping a
# step that cannot have them. Source it; it defines functions only.

# Installs the Debian packages when run as root (quietly, once per package);
# returns non-zero when that is not possible or fails. Steps that run side by
# side take turns (the lock file), and wait for another apt on the machine.
install_packages() {
  [ "$(id -u)" -eq 0 ] || return 1
  export DEBIAN_FRONTEND=noninteractive
  {
    flock 8 &&
      apt-get -o DPkg::Lock::Timeout=600 update -qq &&
      apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends "$@"
  } 8>/tmp/velmor-lic-apt.lock >/dev/null 2>&1
}

# Says that a step is skipped and why, in one line, and records it for the
# test command's summary (VELMOR_SKIP_LOG, when set).
skip_step() {  # step, packages...
  local step=$1
  shift
  local line="$step: skipped: Debian package(s) $* missing (install: sudo apt-get install $*)"
  echo "$line"
  if [ -n "${VELMOR_SKIP_LOG:-}" ]; then echo "$line" >>"$VELMOR_SKIP_LOG"; fi
}

# Makes sure the command of a step is there, installing its Debian package as
# root. Returns 0 when it is there. As root a failed install ends the script
# (CI runs as root, where no step may be left out); otherwise it says the
# step is skipped, naming the package, and returns 1.
require_tool() {  # step, command, package
  local step=$1 tool=$2 package=$3
  if command -v "$tool" >/dev/null 2>&1; then return 0; fi
  if install_packages "$package" && command -v "$tool" >/dev/null 2>&1; then return 0; fi
  if [ "$(id -u)" -eq 0 ]; then
    echo "$step: cannot install the Debian package $package (needed for $tool)" >&2
    exit 1
  fi
  skip_step "$step" "$package"
  return 1
}

# Configures and builds the sources in SOURCE_DIR into BUILD_DIR as the
# packages are built (Release, no tests), then makes there, with CPack, the
# packages of each generator given (DEB: the three .deb files, RPM: the
# three RPMs, TGZ: the tool's tarball; DEB alone by default), one cpack run
# per generator. The RPMs come first, from the tree configured for their
# family (lib64), which changes no object: the build after it has nothing
# to do. The tree is left configured for Debian. Quiet unless it fails.
make_packages() {  # source dir, build dir, generators...
  local source=$1 build=$2 log status=0 family generator
  shift 2
  [ $# -gt 0 ] || set -- DEB
  log=$(mktemp)
  rm -f "$build"/*.deb "$build"/*.rpm "$build"/*.tar.gz
  for family in rpm deb; do
    [ "$family" = deb ] || [[ " $* " == *" RPM "* ]] || continue
    {
      cmake -S "$source" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELMOR_BUILD_TESTS=OFF \
        -DVELMOR_PACKAGE_FAMILY=$family -UCMAKE_INSTALL_LIBDIR && cmake --build "$build"
    } >>"$log" 2>&1 || status=$?
    for generator in "$@"; do
      [ "$status" -eq 0 ] || break
      case $family:$generator in rpm:RPM | deb:DEB | deb:TGZ) ;; *) continue ;; esac
      cpack -G "$generator" --config "$build/CPackConfig.cmake" -B "$build" >>"$log" 2>&1 || status=$?
    done
  done
  if [ "$status" -ne 0 ]; then cat "$log" >&2; fi
  rm -f "$log"
  return "$status"
}

# Runs a command with its output held back, showing it only when the command
# fails; returns the command's status.
quietly() {
  local log status=0
  log=$(mktemp)
  "$@" >"$log" 2>&1 || status=$?
  if [ "$status" -ne 0 ]; then cat "$log" >&2; fi
  rm -f "$log"
  return "$status"
}

# Configures with CMake, failing (and showing the output) on an error or on
# any warning CMake prints, deprecation and developer warnings included.
configure_clean() {  # cmake args...
  local log status=0
  log=$(mktemp)
  "${VELMOR_CMAKE:-cmake}" "$@" >"$log" 2>&1 || status=$?
  if [ "$status" -eq 0 ] && grep -qE '^CMake (Deprecation |Dev )?Warning' "$log"; then status=1; fi
  if [ "$status" -ne 0 ]; then cat "$log" >&2; fi
  rm -f "$log"
  return "$status"
}

# The CPack generators whose tools are here (installing them as root, see
# require_tool), in PACKAGE_GENERATORS: DEB needs dpkg-shlibdeps, RPM needs
# rpmbuild, TGZ nothing more. `step` names the caller in skip lines.
find_package_generators() {  # step
  PACKAGE_GENERATORS=()
  if require_tool "$1 (.deb packages)" dpkg-shlibdeps dpkg-dev; then PACKAGE_GENERATORS+=(DEB); fi
  if require_tool "$1 (RPMs)" rpmbuild rpm; then PACKAGE_GENERATORS+=(RPM); fi
  PACKAGE_GENERATORS+=(TGZ)
}

# --- Debian userspaces (scripts/check_userspace.sh, scripts/release.sh) --------
# Made with debootstrap from the machine's own Debian package source, with
# what the project needs to build, test and package, and kept outside the
# tree, one per suite and package list: a new build dependency makes a new
# one. Used only through throwaway overlays, so the cache stays as made.
VELMOR_DISTROS=${VELMOR_DISTROS:-/var/cache/velmor-distros}
# The oldest we build on, and where the release artefacts are made.
VELMOR_RELEASE_SUITE=bullseye
VELMOR_USERSPACE_PACKAGES=(cmake dpkg-dev g++ git libbenchmark-dev libboost-dev libgtest-dev
  libseccomp-dev ninja-build pkg-config rpm)

userspace_dir() {  # suite
  echo "$VELMOR_DISTROS/$1-$(printf '%s\n' "${VELMOR_USERSPACE_PACKAGES[@]}" | sha256sum | cut -c1-12)"
}

# The URI of the Debian archive that apt is configured with, as apt reads it.
debian_mirror() {
  local uri
  uri=$(apt-get indextargets --format '$(REPO_URI)' 'Label: Debian' 'Identifier: Packages' 2>/dev/null | head -n 1)
  if [ -z "$uri" ]; then
    { flock 8 && apt-get -o DPkg::Lock::Timeout=600 update -qq; } 8>/tmp/velmor-lic-apt.lock >/dev/null 2>&1 || true
    uri=$(apt-get indextargets --format '$(REPO_URI)' 'Label: Debian' 'Identifier: Packages' 2>/dev/null | head -n 1)
  fi
  echo "${uri%/}"
}

# Fails when anything is mounted at or under the directory: it is then no
# plain tree to delete.
no_mounts_under() {  # directory
  ! awk -v d="$1" '$5 == d || index($5, d "/") == 1 { found = 1 } END { exit !found }' /proc/self/mountinfo
}

# Makes the userspace of `suite` unless the cache has it (as root; runs
# side by side wait for each other). One line on stderr when it cannot.
prepare_userspace() (  # suite
  suite=$1
  dir=$(userspace_dir "$suite")
  mkdir -p "$VELMOR_DISTROS"
  exec 7>"$VELMOR_DISTROS/.lock"
  flock 7
  [ ! -f "$dir/.velmor-ready" ] || exit 0
  require_tool "userspace $suite" debootstrap debootstrap
  mirror=$(debian_mirror)
  [ -n "$mirror" ] || { echo "userspace $suite: apt names no Debian package source" >&2; exit 1; }
  if ! /usr/lib/apt/apt-helper download-file "$mirror/dists/$suite/Release" "$VELMOR_DISTROS/.Release" >/dev/null 2>&1; then
    echo "userspace $suite: the Debian package source ($mirror) does not carry the suite $suite" >&2
    exit 1
  fi
  rm -f "$VELMOR_DISTROS/.Release"
  no_mounts_under "$dir.new" || { echo "userspace $suite: $dir.new has mounts under it; left alone" >&2; exit 1; }
  rm -rf "$dir.new"
  log=$(mktemp)
  # In a private mount namespace: what debootstrap and the packages' scripts
  # mount goes with it, whatever fails.
  if ! SUITE=$suite DIR=$dir.new MIRROR=$mirror unshare --mount --propagation private bash -c '
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
    in_root apt-get clean' bash "${VELMOR_USERSPACE_PACKAGES[@]}" >"$log" 2>&1; then
    tail -n 20 "$log" >&2
    rm -f "$log"
    if no_mounts_under "$dir.new"; then rm -rf "$dir.new"; fi
    echo "userspace $suite: debootstrap or apt-get failed" >&2
    exit 1
  fi
  rm -f "$log"
  touch "$dir.new/.velmor-ready"
  mv "$dir.new" "$dir"
)

# Runs a shell command as root in a throwaway copy of the userspace of
# `suite`: an overlay over the cached tree (a mount point, as the tests'
# private mount namespaces need), with /proc, /dev and /sys, and the
# directory `share` at /velmor. All of it is mounted in a private mount
# namespace of the command's own, which nothing outside sees and which goes
# with the command, however it ends; its changes to the userspace are
# thrown away.
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
