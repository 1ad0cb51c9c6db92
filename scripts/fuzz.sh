#!/usr/bin/env bash
# Builds the libFuzzer targets under fuzz/ with clang++ and runs each, as a
# test of that project, for the given number of seconds (default 20), two
# at a time, from the committed seed corpus (see fuzz/CMakeLists.txt).
# Exits non-zero when a target fails, showing its output.
# Usage: scripts/fuzz.sh [SECONDS] [TARGET...]   (targets: fuzz_tokenize, ...)
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh
seconds=${1:-20}
shift || true

cxx=${CXX:-clang++}
have_libfuzzer() {
  echo 'extern "C" int LLVMFuzzerTestOneInput(const char*, unsigned long) { return 0; }' |
    "$cxx" -x c++ -fsanitize=fuzzer -o /dev/null - 2>/dev/null
}
if ! have_libfuzzer && { [ "$cxx" != clang++ ] || ! install_packages clang libclang-rt-dev || ! have_libfuzzer; }; then
  lacking "fuzz ($cxx with libFuzzer)" clang libclang-rt-dev || exit 0
fi
require_build run

build=build-fuzz
CXX=$cxx quiet cmake -S fuzz -B "$build" -G Ninja -DVELMOR_FUZZ_SECONDS="$seconds" || fail "configure failed"
quiet cmake --build "$build" -j2 ${1:+--target "$@"} || fail "build failed"
status=0
ctest --test-dir "$build" -j2 --output-on-failure ${1:+-R "^($(IFS='|'; echo "$*"))\$"} >"$build/ctest.log" 2>&1 || status=$?
[ "$status" -eq 0 ] || { cat "$build/ctest.log"; fail "a target failed"; }
awk '/^[0-9]+\/[0-9]+ Test: / { name = $3 } /number_of_executed_units/ { print "fuzz: " name ": " $NF " executions" }' \
  "$build/Testing/Temporary/LastTest.log"
echo "fuzz: ${seconds} s each, every target passed"
