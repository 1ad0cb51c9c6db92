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
# per generator. Quiet unless it fails.
make_packages() {  # source dir, build dir, generators...
  local source=$1 build=$2 log status=0 generator
  shift 2
  [ $# -gt 0 ] || set -- DEB
  log=$(mktemp)
  {
    cmake -S "$source" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELMOR_BUILD_TESTS=OFF &&
      cmake --build "$build" &&
      rm -f "$build"/*.deb "$build"/*.rpm "$build"/*.tar.gz
  } >"$log" 2>&1 || status=$?
  for generator in "$@"; do
    [ "$status" -eq 0 ] || break
    cpack -G "$generator" --config "$build/CPackConfig.cmake" -B "$build" >>"$log" 2>&1 || status=$?
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
