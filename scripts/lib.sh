# Shared by the scripts: installing optional Debian packages and skipping a
# step that cannot have them. Source it; it defines functions only.

# Installs the Debian packages when run as root (quietly, once per package);
# returns non-zero when that is not possible or fails.
install_packages() {
  [ "$(id -u)" -eq 0 ] || return 1
  export DEBIAN_FRONTEND=noninteractive
  { apt-get update -qq && apt-get install -y -qq --no-install-recommends "$@"; } >/dev/null 2>&1
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
