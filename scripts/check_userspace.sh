#!/usr/bin/env bash
# The tree built and tested in a real Debian userspace of another release:
# bullseye (Debian 11: GCC 10, CMake 3.18, glibc 2.31, the oldest we build
# on) by default, or any suite the machine's Debian package source carries
# (trixie, testing), made once with debootstrap and cached (lib.sh). In it,
# on a copy of the tree: build everything with the warnings as errors, and
# pass every fast test (ctest -LE soak), none "Not Run" (the tests
# configure_boost_* configure without a CMake warning). As root only.
# Usage: scripts/check_userspace.sh [--prepare] [SUITE]   (--prepare: only make the userspace)
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

# --- inside the userspace, in /velmor/src ------------------------------------
if [ "${1:-}" = --inside ]; then
  suite=$2
  build=/velmor/build
  echo "$suite: $(. /etc/os-release && echo "$PRETTY_NAME"); $(g++ --version | head -n 1); $(cmake --version | head -n 1);" \
    "glibc $(getconf GNU_LIBC_VERSION | cut -d' ' -f2); $(dpkg-query -W -f='${Package} ${Version}; ' libboost-dev \
    libgtest-dev libbenchmark-dev)$(git --version)"

  quiet cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMOR_BUILD_TESTS=ON \
    -DVELMOR_BUILD_BENCHMARKS=ON -DVELMOR_WERROR=ON || fail "$suite: configure failed"
  log=$build/build.log
  cmake --build "$build" >"$log" 2>&1 \
    || { grep -E -A3 'error|warning:|FAILED:' "$log" | head -n 60 >&2; fail "$suite: the build with warnings as errors failed"; }
  # From the build directory: ctest --test-dir is CMake 3.20.
  log=$build/ctest.log
  (cd "$build" && ctest -LE soak -j2 --output-on-failure) >"$log" 2>&1 || { cat "$log" >&2; fail "$suite: fast tests failed"; }
  grep -q 'Not Run' "$log" && { cat "$log" >&2; fail "$suite: tests were not run"; }
  skipped=$(grep -c '(Skipped)$' "$log" || true)
  echo "$suite: built with warnings as errors, benchmarks included; fast tests: $(grep -E 'tests passed' "$log"), $skipped skipped"
  [ "$skipped" -eq 0 ] || sed -n '/did not run:/,$p' "$log"
  exit 0
fi

# --- on the machine ----------------------------------------------------------
prepare_only=0
if [ "${1:-}" = --prepare ]; then prepare_only=1; shift; fi
suite=${1:-$VELMOR_RELEASE_SUITE}
is_root || { skip_step "userspace $suite" "debootstrap and chroot need root"; exit 0; }
prepare_userspace "$suite"
[ "$prepare_only" = 0 ] || exit 0

share=$(mktemp -d "${TMPDIR:-/var/tmp}/velmor-share.XXXXXX")
trap 'rm -rf "$share"' EXIT
mkdir "$share/src"
# The sources as they are now, without build trees or history.
tar --exclude='./build*' --exclude=./.git -cf - . | tar -C "$share/src" -xf -
in_userspace "$suite" "$share" "cd /velmor/src && bash scripts/check_userspace.sh --inside $suite"
