#!/usr/bin/env bash
# Builds everything with gcov counters, runs every test (forked checkers
# write their counters before they end), and prints line and branch coverage
# of src/ and include/ per file. Fails below 96 % of lines or 85 % of branches.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh
require coverage gcovr gcovr || exit 0
require_build test

build=build-coverage
quiet cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVELMOR_COVERAGE=ON \
  -DVELMOR_BUILD_TESTS=ON -DVELMOR_BUILD_BENCHMARKS=OFF || fail "configure failed"
cmake --build "$build"
# Counters of an earlier run would add up with this one's.
find "$build" -name '*.gcda' -delete
log=$build/ctest.log
ctest --test-dir "$build" -j2 >"$log" 2>&1 || { cat "$log"; fail "a test failed"; }
tail -n 3 "$log"

# Branches of exception handling and ones the compiler proved dead say
# nothing about the tests.
gcovr_args=(--root . --object-directory "$build" --filter 'src/' --filter 'include/'
  --exclude-throw-branches --exclude-unreachable-branches)
gcovr "${gcovr_args[@]}"
gcovr "${gcovr_args[@]}" --branches
# gcovr replaces its --output file with a new one: never /dev/null, which
# as root it would turn into a plain file for the whole machine.
gcovr "${gcovr_args[@]}" --print-summary --output "$build/coverage.txt" \
  --fail-under-line 96 --fail-under-branch 85
[ -c /dev/null ] || fail "/dev/null is no longer a character device"
