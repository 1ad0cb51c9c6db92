#!/usr/bin/env bash
# Runs clang-tidy (checks in .clang-tidy) and cppcheck over src/ and exits
# non-zero on any finding. Uses a compile_commands.json from its own build tree.
# Skips (exit 0, one line naming the packages) when the analyzers are missing
# and cannot be installed.
set -euo pipefail
cd "$(dirname "$0")/.."

. scripts/lib.sh
# Optional: without the analyzers (and no way to install them) the step is
# skipped, not failed.
missing=()
command -v clang-tidy >/dev/null 2>&1 || missing+=(clang-tidy)
command -v cppcheck >/dev/null 2>&1 || missing+=(cppcheck)
if [ ${#missing[@]} -gt 0 ] && ! install_packages "${missing[@]}"; then
  skip_step "static analysis" "${missing[@]}"
  exit 0
fi
bash scripts/deps.sh run

build=build-analysis
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVELMOR_BUILD_TESTS=OFF \
  -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null

sources=$(git ls-files 'src/*.cpp' 2>/dev/null || ls src/*.cpp)
log=$(mktemp)
trap 'rm -f "$log"' EXIT

echo "== clang-tidy =="
tidy_status=0
# shellcheck disable=SC2086
# The compile commands carry no -std where the compiler's default is already
# C++17 (GCC 11 and later); clang-tidy's own default is older.
clang-tidy -p "$build" --quiet --extra-arg=-std=gnu++17 $sources >"$log" 2>/dev/null || tidy_status=$?
# A finding in a header shows once per source that includes it: count it once.
tidy_findings=$({ grep -E '^[^ ].*:[0-9]+:[0-9]+: (warning|error):' "$log" || true; } | sort -u | wc -l)
cat "$log"
echo "clang-tidy findings: $tidy_findings"

echo "== cppcheck =="
cppcheck_status=0
cppcheck --quiet --std=c++17 --language=c++ --library=posix \
  --enable=warning,style,performance,portability \
  --inline-suppr --suppressions-list=.cppcheck-suppressions \
  --template='{file}:{line}:{column}: {severity}: {message} [{id}]' \
  --error-exitcode=1 -I include/velmor_lic -I src src >"$log" 2>&1 || cppcheck_status=$?
cppcheck_findings=$({ grep -E ':[0-9]+:[0-9]+: ' "$log" || true; } | sort -u | wc -l)
cat "$log"
echo "cppcheck findings: $cppcheck_findings"

if [ "$tidy_status" -ne 0 ] || [ "$cppcheck_status" -ne 0 ] \
   || [ "$tidy_findings" -ne 0 ] || [ "$cppcheck_findings" -ne 0 ]; then
  echo "static analysis: findings (clang-tidy $tidy_findings, cppcheck $cppcheck_findings)" >&2
  exit 1
fi
echo "static analysis: clean"
