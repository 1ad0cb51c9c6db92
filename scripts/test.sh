#!/usr/bin/env bash
# Builds and runs every test twice: an optimised build, then a second build
# tree under AddressSanitizer and UndefinedBehaviorSanitizer. Then static
# analysis, the install/package check, the packages built twice and compared,
# the hardening check, the ABI check, a short run of every fuzz target and a
# coverage build that must reach its goals.
# The builds and both test runs never skip; the three later steps skip, with
# a line naming the missing Debian packages, where those cannot be installed.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh test
VELMOR_SKIP_LOG=$(mktemp)
export VELMOR_SKIP_LOG
trap 'rm -f "$VELMOR_SKIP_LOG"' EXIT

echo "== optimised build =="
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVELMOR_BUILD_TESTS=ON -DVELMOR_BUILD_BENCHMARKS=ON >/dev/null
cmake --build build
ctest --test-dir build --output-on-failure -j2 | tee build/ctest.log

echo "== AddressSanitizer + UndefinedBehaviorSanitizer build =="
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  -DVELMOR_BUILD_TESTS=ON -DVELMOR_SANITIZERS=ON >/dev/null
cmake --build build-asan
ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build-asan --output-on-failure -j2 | tee build-asan/ctest.log

echo "== static analysis: clang-tidy and cppcheck over src/ =="
bash scripts/static_analysis.sh

echo "== install tree, CMake package, pkg-config file, .deb packages, RPMs and tarball =="
bash scripts/check_install.sh

echo "== the packages and the tarball built twice, in two directories, compared byte for byte =="
bash scripts/check_reproducible.sh

echo "== hardening of the objects and binaries (optimised and release builds) =="
bash scripts/check_hardening.sh build build-release

echo "== ABI of libvelmor_lic.so (optimised build) against abi/ =="
bash scripts/check_abi.sh build

echo "== libFuzzer targets, 20 s each (skipped without clang++) =="
bash scripts/fuzz.sh 20

echo "== coverage of src/ under the whole suite (gcov, gcovr) =="
bash scripts/coverage.sh

# One closing line over both test runs (each fails the script on its own),
# after the steps that were skipped, if any.
if [ -s "$VELMOR_SKIP_LOG" ]; then
  echo "== skipped steps =="
  cat "$VELMOR_SKIP_LOG"
fi
passed() { sed -n 's/.*tests passed, 0 tests failed out of \([0-9]*\).*/\1/p' "$1"; }
echo "tests: $(( $(passed build/ctest.log) + $(passed build-asan/ctest.log) )) passed, 0 failed"
