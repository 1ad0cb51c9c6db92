#!/usr/bin/env bash
# Builds and runs every test twice: an optimised build, then a second build
# tree under AddressSanitizer and UndefinedBehaviorSanitizer. Then static
# analysis, the install/package check, the packages built twice and compared,
# the hardening check, the ABI check, the library taken in by three consumer
# projects, a short run of every fuzz target and a coverage build that must
# reach its goals. Beside them, from the static analysis on, the header check,
# CMake 3.25 and 4.3.1 without a warning and a Clang 14 build with the
# warnings as errors and its fast tests (scripts/check_toolchains.sh); and
# the Debian 11 userspace: the tree built and tested there
# (scripts/check_userspace.sh), the release artefacts made there
# (scripts/release.sh, into build-dist) and checked (scripts/check_install.sh
# build-dist).
# The builds and both test runs never skip; the later steps skip, with a
# line naming the missing Debian packages, where those cannot be installed.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh
bash scripts/deps.sh test
VELMOR_SKIP_LOG=$(mktemp)
export VELMOR_SKIP_LOG
matrix_log=$(mktemp)
userspace_log=$(mktemp)
userspace_gate=$(mktemp -d)
matrix_pid=
userspace_pid=
# Background jobs run in sessions of their own, so that a failing step ends
# each with all it started.
stop_jobs() {
  local pid
  for pid in $matrix_pid $userspace_pid; do kill -- -"$pid" 2>/dev/null || true; done
  rm -rf "$VELMOR_SKIP_LOG" "$matrix_log" "$userspace_log" "$userspace_gate"
}
trap stop_jobs EXIT

# The Debian 11 userspace is made (or found in the cache) from the start:
# debootstrap and apt mostly wait on the network. Its build and tests, the
# release artefacts and their checks wait until the sanitizer build has
# ended (the gate opens), and run beside steps 3 to 8 and the compiler matrix.
userspace_start=$SECONDS
VELMOR_GATE=$userspace_gate/open setsid bash -c '
  set -e
  if [ "$(id -u)" -ne 0 ]; then
    bash scripts/check_userspace.sh  # says that it is skipped
    echo "release artefacts: skipped: made as root only (debootstrap, chroot)" | tee -a "$VELMOR_SKIP_LOG"
    exit 0
  fi
  bash scripts/check_userspace.sh --prepare '"$VELMOR_RELEASE_SUITE"'
  echo "(userspace ready after $SECONDS s)"
  while [ ! -e "$VELMOR_GATE" ]; do sleep 1; done
  bash scripts/check_userspace.sh '"$VELMOR_RELEASE_SUITE"'
  bash scripts/release.sh build-dist
  bash scripts/check_install.sh build-dist' >"$userspace_log" 2>&1 &
userspace_pid=$!

# Each step's wall-clock and CPU time (of all its processes), listed at the end.
clock_ticks=$(getconf CLK_TCK)
cpu_seconds() { awk -v hz="$clock_ticks" '{ printf "%d", ($14 + $15 + $16 + $17) / hz }' /proc/$$/stat; }
timings=()
step_name=
step() {  # name of the next step (none: the last one ended)
  if [ -n "$step_name" ]; then
    timings+=("$(printf '%4d s  %4d s CPU  %s' $((SECONDS - step_start)) $(($(cpu_seconds) - step_cpu)) "$step_name")")
  fi
  step_name=${1:-}
  step_start=$SECONDS step_cpu=$(cpu_seconds)
  if [ -n "$step_name" ]; then echo "== $step_name =="; fi
}

step "optimised build"
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVELMOR_BUILD_TESTS=ON -DVELMOR_BUILD_BENCHMARKS=ON >/dev/null
cmake --build build
ctest --test-dir build --output-on-failure -j2 | tee build/ctest.log

step "AddressSanitizer + UndefinedBehaviorSanitizer build"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  -DVELMOR_BUILD_TESTS=ON -DVELMOR_SANITIZERS=ON >/dev/null
cmake --build build-asan
ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build-asan --output-on-failure -j2 | tee build-asan/ctest.log
# The Debian 11 userspace's build may start.
touch "$userspace_gate/open"

# The steps from here to the consumers leave a core idle most of the time
# (one analyser, one packager, one checker at a time): the compiler matrix's
# share of the test command runs meanwhile, without the benchmarks (built
# above), and reports before the fuzzers, which want both cores.
matrix_start=$SECONDS
rm -f build-tc-clang-14/ctest.log
# A session of its own, so that a failing step ends it with all it started.
VELMOR_MATRIX_BENCHMARKS=OFF setsid bash scripts/check_toolchains.sh headers cmake clang-14 >"$matrix_log" 2>&1 &
matrix_pid=$!

step "static analysis: clang-tidy and cppcheck over src/"
bash scripts/static_analysis.sh

step "install tree, CMake package, pkg-config file, .deb packages, RPMs and tarball"
bash scripts/check_install.sh

step "the packages and the tarball built twice, in two directories, compared byte for byte"
bash scripts/check_reproducible.sh

step "hardening of the objects and binaries (optimised and release builds)"
bash scripts/check_hardening.sh build build-release

step "ABI of libvelmor_lic.so (optimised build) against abi/"
bash scripts/check_abi.sh build

step "the library in other projects: add_subdirectory, FetchContent, find_package"
bash scripts/check_consumers.sh

step "header check, CMake 3.25 and 4.3.1, Clang 14 with warnings as errors (began after the sanitizer build)"
matrix_status=0
wait "$matrix_pid" || matrix_status=$?
matrix_pid=
cat "$matrix_log"
echo "(compiler matrix: $((SECONDS - matrix_start)) s from its start)"
[ "$matrix_status" -eq 0 ] || { echo "test: the compiler matrix failed" >&2; exit 1; }

step "Debian 11 userspace: build and fast tests, consumers; release artefacts made there and checked (began at the start)"
userspace_status=0
wait "$userspace_pid" || userspace_status=$?
userspace_pid=
cat "$userspace_log"
userspace_time=$((SECONDS - userspace_start))
echo "(Debian 11 userspace: $userspace_time s from its start)"
[ "$userspace_status" -eq 0 ] || { echo "test: the Debian 11 userspace step failed" >&2; exit 1; }

step "libFuzzer targets, 20 s each (skipped without clang++)"
bash scripts/fuzz.sh 20

step "coverage of src/ under the whole suite (gcov, gcovr)"
bash scripts/coverage.sh
step

echo "== time of each step (wall clock, CPU of its processes; the background jobs' CPU counts in the step during which they ended) =="
printf '%s\n' "${timings[@]}"
printf '%4d s  %s\n' "$userspace_time" "the Debian 11 userspace job, from the start to its end, beside the steps above"
echo "total: ${SECONDS} s"

# One closing line over the test runs (each fails the script on its own),
# after the steps that were skipped, if any.
if [ -s "$VELMOR_SKIP_LOG" ]; then
  echo "== skipped steps =="
  cat "$VELMOR_SKIP_LOG"
fi
passed() { sed -n 's/.*tests passed, 0 tests failed out of \([0-9]*\).*/\1/p' "$1"; }
clang_passed=0
[ -f build-tc-clang-14/ctest.log ] && clang_passed=$(passed build-tc-clang-14/ctest.log)
userspace_passed=$(passed "$userspace_log")
echo "tests: $(( $(passed build/ctest.log) + $(passed build-asan/ctest.log) + ${clang_passed:-0} + ${userspace_passed:-0} )) passed, 0 failed"
