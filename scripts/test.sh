#!/usr/bin/env bash
# The test command: what it runs, in which order, and when a step may skip
# is in docs/development.md, "The test command".
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh
require_build test
VELMOR_SKIP_LOG=$(mktemp)
export VELMOR_SKIP_LOG
logs=$(mktemp -d)
jobs=() job_times=()
# Background jobs run in sessions of their own, so that a failing step ends
# each with all it started.
trap 'for pid in "${jobs[@]}"; do kill -- -"$pid" 2>/dev/null || true; done; rm -rf "$VELMOR_SKIP_LOG" "$logs"' EXIT
# A shell command in the background, into $logs/<name>; `wait_for name`
# prints it and fails the script if it failed.
background() {  # name, shell command
  setsid bash -c "$2" >"$logs/$1" 2>&1 &
  jobs+=($!)
  eval "${1}_pid=$! ${1}_start=$SECONDS"
}
wait_for() {  # name
  local pid=${1}_pid start=${1}_start status=0
  wait "${!pid}" || status=$?
  cat "$logs/$1"
  job_times+=("$(printf '%4d s  the %s job, from its start to its end, beside the steps above' $((SECONDS - ${!start})) "$1")")
  [ "$status" -eq 0 ] || fail "the $1 job failed"
}

# The Debian 11 userspace is made (or found in the cache) from the start:
# debootstrap and apt mostly wait on the network. The rest waits for the
# sanitizer build to end (the gate), then runs beside the steps after it.
background userspace '
  set -e
  . scripts/lib.sh
  is_root || { bash scripts/check_userspace.sh; skip_step "release artefacts" "made as root only"; exit 0; }
  bash scripts/check_userspace.sh --prepare
  echo "(userspace ready after $SECONDS s)"
  while [ ! -e '"$logs"'/gate ]; do sleep 1; done
  bash scripts/check_userspace.sh
  bash scripts/release.sh build-dist
  bash scripts/check_install.sh build-dist'

# Each step's wall-clock and CPU time (of all its processes), listed at the end.
cpu_seconds() { awk -v hz="$(getconf CLK_TCK)" '{ printf "%d", ($14 + $15 + $16 + $17) / hz }' /proc/$$/stat; }
timings=()
step_name=
step() {  # name of the next step (none: the last one ended)
  [ -z "$step_name" ] ||
    timings+=("$(printf '%4d s  %4d s CPU  %s' $((SECONDS - step_start)) $(($(cpu_seconds) - step_cpu)) "$step_name")")
  step_name=${1:-} step_start=$SECONDS step_cpu=$(cpu_seconds)
  [ -z "$step_name" ] || echo "== $step_name =="
}

step "optimised build"
require "ABI check" abidiff abigail-tools || true
quiet cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMOR_BUILD_TESTS=ON -DVELMOR_BUILD_BENCHMARKS=ON
cmake --build build
ctest --test-dir build --output-on-failure -j2 | tee build/ctest.log
step "AddressSanitizer + UndefinedBehaviorSanitizer build"
quiet cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVELMOR_BUILD_TESTS=ON -DVELMOR_SANITIZERS=ON
cmake --build build-asan
ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build-asan --output-on-failure -j2 | tee build-asan/ctest.log
touch "$logs/gate"

# The steps from here to the hardening check leave a core idle most of the
# time: the compiler matrix runs meanwhile, without the benchmarks (built
# above), and reports before the fuzzers, which want both cores.
rm -f build-tc-clang-14/ctest.log
background matrix 'VELMOR_MATRIX_BENCHMARKS=OFF bash scripts/check_toolchains.sh cmake clang-14'
step "static analysis: clang-format over every C++ file, clang-tidy and cppcheck over src/ and include/"
bash scripts/static_analysis.sh
step ".deb packages, RPMs and tarball: their contents, installed, and the library taken in from them"
bash scripts/check_install.sh
step "the packages and the tarball built twice, in two directories, compared byte for byte"
bash scripts/check_reproducible.sh
step "hardening of the objects and binaries (optimised and release builds)"
bash scripts/check_hardening.sh build build-release
step "CMake 4.3.1, Clang 14 with warnings as errors (began after the sanitizer build)"
wait_for matrix
step "Debian 11 userspace: build and fast tests; release artefacts made there and checked (began at the start)"
wait_for userspace
step "libFuzzer targets, 20 s each (skipped without clang++)"
bash scripts/fuzz.sh 20
step "coverage of src/ and include/ under the whole suite (gcov, gcovr)"
bash scripts/coverage.sh
step

echo "== time of each step (wall clock, CPU of its processes; the background jobs' CPU counts in the step during which they ended) =="
printf '%s\n' "${timings[@]}" "${job_times[@]}"
echo "total: ${SECONDS} s"
[ ! -s "$VELMOR_SKIP_LOG" ] || { echo "== skipped steps =="; cat "$VELMOR_SKIP_LOG"; }
# One closing line over the test runs (each fails the script on its own).
passed=$(sed -n 's/.*tests passed, 0 tests failed out of \([0-9]*\).*/\1/p' build/ctest.log build-asan/ctest.log \
  build-tc-clang-14/ctest.log "$logs/userspace" 2>/dev/null | awk '{ n += $1 } END { print n + 0 }')
echo "tests: $passed passed, 0 failed"
