#!/usr/bin/env bash
# Builds everything with gcov counters, runs every test (forked checkers
# write their counters before they end), and prints line and branch coverage
# of src/ per file. Fails below 96 % of lines or 85 % of branches. Skips,
# with a line naming the package, where gcovr is missing and cannot be
# installed.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh
if ! command -v gcovr >/dev/null 2>&1 && ! install_packages gcovr; then
  skip_step "coverage" gcovr
  exit 0
fi
bash scripts/deps.sh test

build=build-coverage
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVELMOR_COVERAGE=ON \
  -DVELMOR_BUILD_TESTS=ON -DVELMOR_BUILD_BENCHMARKS=OFF >/dev/null
# Counters of an earlier run would add up with this one's (or clash with a
# rebuilt object's).
find "$build" -name '*.gcda' -delete 2>/dev/null || true
cmake --build "$build"
find "$build" -name '*.gcda' -delete
log=$(mktemp)
trap 'rm -f "$log"' EXIT
if ! ctest --test-dir "$build" -j2 >"$log" 2>&1; then
  cat "$log"
  echo "coverage: a test failed" >&2
  exit 1
fi
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
[ -c /dev/null ] || { echo "coverage: /dev/null is no longer a character device" >&2; exit 1; }
