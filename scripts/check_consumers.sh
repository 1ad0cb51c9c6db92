#!/usr/bin/env bash
# velmor_lic as another project's dependency, taken in the three usual ways
# by the small projects under tests/consumers/, each configured without
# GoogleTest and Google Benchmark and without a build type, each building
# and running examples/run_and_buffer.cpp and examples/run_command.cpp:
#   - add_subdirectory (linking velmor_lic::velmor_lic_static),
#   - FetchContent from the source directory (velmor_lic::velmor_lic),
#   - find_package against an install of build-release (velmor_lic::velmor_lic).
# Fails when CMake warns; when a consumer's build holds any of the project's
# tests, benchmarks or fuzzers, builds its tool, writes its packaging or adds
# install rules, or sets the consumer's build type; or when the consumer's
# own compile line holds a flag beyond the one it asks for (-Wall) and what
# the library's interface needs (include directories, C++17), or its link
# line any flag beyond the library's one declared requirement (the thread
# library, where the C library lacks it). What the consumer's own CMake puts
# on every such line (CMake 3.31's -Wl,--dependency-file=...) is not ours: it
# is taken from the same target in a project that uses nothing of ours.
# VELMOR_CMAKE=<cmake> runs the check with another CMake.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh
bash scripts/deps.sh run

fail() { echo "check_consumers: $*" >&2; exit 1; }
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cmake=${VELMOR_CMAKE:-cmake}
export VELMOR_CMAKE=$cmake
# The consumer's flags are its own: none from the environment.
unset CXXFLAGS CPPFLAGS LDFLAGS

# The install the find_package consumer uses: the Release build of the
# install and package checks, made here when that did not run.
release=build-release
if [ ! -f "$release/CMakeCache.txt" ]; then
  quietly "$cmake" -S . -B "$release" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELMOR_BUILD_TESTS=OFF \
    || fail "configuring $release failed"
fi
quietly "$cmake" --build "$release" || fail "building $release failed"
prefix=$scratch/prefix
quietly "$cmake" --install "$release" --prefix "$prefix" || fail "installing $release failed"

# Prints what is left of a command line once the named parts are taken out.
flags_beyond() {  # command line, then the kinds to take out: objects includes std libraries
  local line=$1 word skip=0
  shift
  # Ninja writes a link as ": && <command> && :".
  line=${line#: && }
  line=${line% && :}
  local kinds=" $* " rest=() words=()
  read -ra words <<<"$line"
  for word in "${words[@]:1}"; do  # past the compiler
    if [ "$skip" = 1 ]; then skip=0; continue; fi
    case $word in
      -o|-c|-MT|-MF) skip=1; continue ;;
      -MD) continue ;;
    esac
    case $kinds in *" includes "*)
      case $word in -isystem) skip=1; continue ;; -I*) continue ;; esac ;;
    esac
    case $kinds in *" std "*)
      case $word in -std=c++17|-std=gnu++17) continue ;; esac ;;
    esac
    case $kinds in *" objects "*)
      case $word in *.o) continue ;; esac ;;
    esac
    case $kinds in *" libraries "*)
      case $word in *.a|*.so|*.so.*|-Wl,-rpath,*) continue ;; esac ;;
    esac
    case $kinds in *" threads "*)
      case $word in -pthread|-lpthread) continue ;; esac ;;
    esac
    rest+=("$word")
  done
  echo "${rest[*]}"
}

# The words of the first list without those of the second, each taken once.
without() {  # words, words
  local rest=() word i
  read -ra rest <<<"$1"
  for word in $2; do
    for i in "${!rest[@]}"; do
      if [ "${rest[$i]}" = "$word" ]; then unset 'rest[i]'; break; fi
    done
  done
  echo "${rest[*]}"
}

# The lines this CMake writes by itself: the same target, asking for -Wall,
# in a project that uses nothing of ours.
reference=$scratch/reference
mkdir -p "$reference"
printf 'int main() { return 0; }\n' >"$reference/main.cpp"
printf '%s\n' 'cmake_minimum_required(VERSION 3.13...4.3)' 'project(reference LANGUAGES CXX)' \
  'add_executable(consumer main.cpp)' 'target_compile_options(consumer PRIVATE -Wall)' >"$reference/CMakeLists.txt"
quietly "$cmake" -S "$reference" -B "$reference/build" -G Ninja || fail "the reference project does not configure"
reference_commands=$(ninja -C "$reference/build" -t commands consumer)
own_compile=$(flags_beyond "$(grep -E ' -c [^ ]*main\.cpp$' <<<"$reference_commands")" includes std)
own_link=$(flags_beyond "$(grep -E ' -o consumer( |$)' <<<"$reference_commands")" objects libraries)

check_consumer() {  # name, cmake args...
  local name=$1 dir=$scratch/$1
  shift
  # (Nothing asks for GoogleTest or Google Benchmark, hence --no-warn-unused-cli.)
  configure_clean -S "tests/consumers/$name" -B "$dir" -G Ninja --no-warn-unused-cli \
    -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON "$@" \
    || fail "$name: the consumer does not configure without warnings"
  quietly "$cmake" --build "$dir" || fail "$name: the consumer does not build"
  [ "$("$dir/consumer")" = ok ] || fail "$name: the consumer's program failed"
  [ "$("$dir/run_command")" = ok ] || fail "$name: the consumer's run_command failed"

  # None of the project's tests, benchmarks or fuzzers, tool, packaging or install.
  local targets
  targets=$(ninja -C "$dir" -t targets all | cut -d: -f1)
  local extra
  extra=$(grep -E '(^|/)([a-z_]+_tests?|child_helper|[a-z_]+_benchmark|static_empty|report_floor|fuzz_[a-z]+)$' <<<"$targets" || true)
  [ -z "$extra" ] || fail "$name: the build holds the project's test, benchmark or fuzz targets: $(paste -sd' ' - <<<"$extra")"
  if find "$dir" \( -name CTestTestfile.cmake -o -name CPackConfig.cmake -o -name 'machine_info' -type f \) | grep -q .; then
    fail "$name: the build has the project's tests, packaging or tool: $(find "$dir" \( -name CTestTestfile.cmake -o -name CPackConfig.cmake -o -name machine_info -type f \) | paste -sd' ' -)"
  fi
  quietly "$cmake" --install "$dir" --prefix "$scratch/$name-install" || fail "$name: cmake --install failed"
  if [ -d "$scratch/$name-install" ] && find "$scratch/$name-install" -mindepth 1 | grep -q .; then
    fail "$name: installing the consumer installs the project's files: $(find "$scratch/$name-install" -type f | head -n 3 | paste -sd' ' -)"
  fi
  local build_type
  build_type=$(sed -n 's/^CMAKE_BUILD_TYPE:[A-Z]*=//p' "$dir/CMakeCache.txt")
  [ -z "$build_type" ] || fail "$name: the consumer's build type was set to $build_type"

  # The consumer's own lines: compile = -Wall and the interface; link = nothing.
  local commands compile link
  commands=$(ninja -C "$dir" -t commands consumer)
  compile=$(grep -E ' -c [^ ]*run_and_buffer\.cpp$' <<<"$commands") || fail "$name: no compile command of the consumer"
  link=$(grep -E ' -o consumer( |$)' <<<"$commands") || fail "$name: no link command of the consumer"
  local left
  left=$(without "$(flags_beyond "$compile" includes std)" "$own_compile")
  [ -z "$left" ] || fail "$name: the consumer's compile line has flags it did not ask for: '$left' in: $compile"
  left=$(without "$(flags_beyond "$link" objects libraries threads)" "$own_link")
  [ -z "$left" ] || fail "$name: the consumer's link line has flags it did not ask for: '$left' in: $link"
  echo "consumer via $name: ok (runs; no test, benchmark or fuzz target, tool, packaging, install rule or build type;" \
    "compile line: $(flags_beyond "$compile" | sed "s#$PWD/##g; s#$scratch/##g"))"
}

check_consumer add_subdirectory
check_consumer fetch_content
check_consumer find_package -DCMAKE_PREFIX_PATH="$prefix"
