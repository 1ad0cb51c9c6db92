#!/usr/bin/env bash
# The tree built and tested in a real Debian userspace of another release:
# bullseye (Debian 11: GCC 10, CMake 3.18, glibc 2.31, the oldest we build
# on) by default, or any suite the machine's Debian package source carries
# (trixie, testing). The userspace is made once with debootstrap and cached
# (see prepare_userspace in lib.sh). In it, on a copy of the tree:
#   - configure without a CMake warning, build everything, benchmarks
#     included, with the warnings as errors;
#   - every fast test (ctest -LE soak) run and passed, none "Not Run";
#   - a new commit gives the packages its time (the git of that release);
#   - the three consumers (scripts/check_consumers.sh).
# As root only (debootstrap, chroot); otherwise skipped in one line.
# Usage: scripts/check_userspace.sh [--prepare] [SUITE]   (--prepare: only make the userspace)
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh

# --- inside the userspace, in /velmor/src ------------------------------------
if [ "${1:-}" = --inside ]; then
  suite=$2
  fail() { echo "check_userspace ($suite): $*" >&2; exit 1; }
  build=/velmor/build
  echo "$suite: $(. /etc/os-release && echo "$PRETTY_NAME"); $(g++ --version | head -n 1);" \
    "$(cmake --version | head -n 1); glibc $(getconf GNU_LIBC_VERSION | cut -d' ' -f2);" \
    "Boost $(sed -n 's/^#define BOOST_LIB_VERSION "\(.*\)"/\1/p' /usr/include/boost/version.hpp | tr _ .);" \
    "GoogleTest $(dpkg-query -W -f='${Version}' libgtest-dev); Google Benchmark $(dpkg-query -W -f='${Version}' libbenchmark-dev);" \
    "$(git --version)"

  # A new commit configures again and the packages take its time.
  stamp=/velmor/stamp
  mkdir -p "$stamp/src"
  tar --exclude=./build\* -cf - . | tar -C "$stamp/src" -xf -
  commit() {  # time
    GIT_AUTHOR_DATE="@$1 +0000" GIT_COMMITTER_DATE="@$1 +0000" \
      git -C "$stamp/src" -c user.name=check -c user.email=check@velmor.invalid commit -q --allow-empty -m "at $1"
  }
  epoch() { sed -n 's/^VELMOR_SOURCE_DATE_EPOCH:INTERNAL=//p' "$stamp/build/CMakeCache.txt"; }
  git -C "$stamp/src" init -q
  git -C "$stamp/src" add -A
  commit 1700000000
  quietly cmake -S "$stamp/src" -B "$stamp/build" -G Ninja -DVELMOR_BUILD_TESTS=OFF || fail "configure in a git checkout failed"
  [ "$(epoch)" = 1700000000 ] || fail "SOURCE_DATE_EPOCH is $(epoch), not the commit's 1700000000"
  commit 1700000600
  quietly cmake --build "$stamp/build" --target velmor_docs || fail "build after a new commit failed"
  [ "$(epoch)" = 1700000600 ] || fail "after a new commit SOURCE_DATE_EPOCH is still $(epoch), not 1700000600"
  echo "$suite: SOURCE_DATE_EPOCH follows a new commit"

  configure_clean -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMOR_BUILD_TESTS=ON \
    -DVELMOR_BUILD_BENCHMARKS=ON -DVELMOR_WERROR=ON || fail "configure failed or warned"
  log=$build/build.log
  cmake --build "$build" >"$log" 2>&1 \
    || { grep -E -A3 'error|warning:|FAILED:' "$log" | head -n 60 >&2; fail "the build with warnings as errors failed"; }
  # From the build directory: ctest --test-dir is CMake 3.20.
  log=$build/ctest.log
  (cd "$build" && ctest -LE soak -j2 --output-on-failure) >"$log" 2>&1 || { cat "$log" >&2; fail "fast tests failed"; }
  grep -q 'Not Run' "$log" && { cat "$log" >&2; fail "tests were not run"; }
  skipped=$(grep -c '(Skipped)$' "$log" || true)
  echo "$suite: built with warnings as errors, benchmarks included; fast tests: $(grep -E 'tests passed' "$log"), $skipped skipped"
  [ "$skipped" -eq 0 ] || sed -n '/did not run:/,$p' "$log"

  bash scripts/check_consumers.sh | sed "s/^/$suite: /"
  exit 0
fi

# --- on the machine ----------------------------------------------------------
prepare_only=0
if [ "${1:-}" = --prepare ]; then prepare_only=1; shift; fi
suite=${1:-$VELMOR_RELEASE_SUITE}
if [ "$(id -u)" -ne 0 ]; then
  line="userspace $suite: skipped: debootstrap and chroot need root"
  echo "$line"
  if [ -n "${VELMOR_SKIP_LOG:-}" ]; then echo "$line" >>"$VELMOR_SKIP_LOG"; fi
  exit 0
fi
prepare_userspace "$suite"
[ "$prepare_only" = 0 ] || exit 0

share=$(mktemp -d "${TMPDIR:-/var/tmp}/velmor-share.XXXXXX")
trap 'rm -rf "$share"' EXIT
mkdir "$share/src"
# The sources as they are now, without build trees or history.
tar --exclude='./build*' --exclude=./.git -cf - . | tar -C "$share/src" -xf -
in_userspace "$suite" "$share" "cd /velmor/src && bash scripts/check_userspace.sh --inside $suite"
