#!/usr/bin/env bash
# Checks every C++ file's layout with clang-format 14 (.clang-format; other
# versions lay some lines out otherwise), then runs clang-tidy (checks in
# .clang-tidy, with the compile commands of its own build tree) and cppcheck
# over src/ and the public headers; any change or finding fails the script.
# Usage: scripts/static_analysis.sh [--fix-format]   (rewrites, then stops)
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh
format=clang-format-14
if require "format check" "$format" "$format"; then
  mapfile -t sources < <(git ls-files '*.cpp' '*.h')
  [ "${1:-}" != --fix-format ] || { "$format" -i "${sources[@]}"; exit 0; }
  "$format" --dry-run --Werror "${sources[@]}" || fail "$format would change the files above (fix: $0 --fix-format)"
  echo "format: ${#sources[@]} files as $format lays them out"
fi
require "static analysis" clang-tidy clang-tidy || exit 0
require "static analysis" cppcheck cppcheck || exit 0
require_build run

build=build-analysis
quiet cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVELMOR_BUILD_TESTS=OFF \
  -DCMAKE_EXPORT_COMPILE_COMMANDS=ON || fail "configure failed"

# Prints what the analyser says and counts its findings, each once (a finding
# in a header shows once per source that includes it); a failed run counts.
analyse() {  # name, pattern of a finding, command...
  local name=$1 pattern=$2 status=0 findings
  shift 2
  echo "== $name =="
  "$@" >"$build/$name.log" 2>&1 || status=$?
  grep -vE "^[0-9]+ warnings? generated\.$" "$build/$name.log" || true
  findings=$({ grep -E "$pattern" "$build/$name.log" || true; } | sort -u | wc -l)
  echo "$name findings: $findings"
  [ "$status" -eq 0 ] && [ "$findings" -eq 0 ] || failed+=("$name")
}
failed=()
# The compile commands carry no -std where the compiler's default is already
# C++17 (GCC 11 and later); clang-tidy's own default is older.
# shellcheck disable=SC2046
analyse clang-tidy '^[^ ].*:[0-9]+:[0-9]+: (warning|error):' \
  clang-tidy -p "$build" --quiet --extra-arg=-std=gnu++17 $(git ls-files 'src/*.cpp' 2>/dev/null || ls src/*.cpp)
analyse cppcheck ':[0-9]+:[0-9]+: ' cppcheck --quiet --std=c++17 --language=c++ --library=posix \
  --enable=warning,style,performance,portability --inline-suppr --suppressions-list=.cppcheck-suppressions \
  --template='{file}:{line}:{column}: {severity}: {message} [{id}]' --error-exitcode=1 -I include/velmor_lic -I src src
[ ${#failed[@]} -eq 0 ] || fail "findings from ${failed[*]}"
echo "static analysis: clean"
