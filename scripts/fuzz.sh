#!/usr/bin/env bash
# Builds the libFuzzer targets under fuzz/ with clang++ and runs each for the
# given number of seconds (default 20), two at a time, starting from the
# committed seed corpus (fuzz/corpus/<target>/, which holds the regression
# inputs too). New inputs go to build-fuzz/corpus/<target>/, crash inputs to
# build-fuzz/artifacts/. Exits non-zero when a target fails.
# Usage: scripts/fuzz.sh [SECONDS] [TARGET...]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-20}
shift || true

cxx=${CXX:-clang++}
have_libfuzzer() {
  command -v "$cxx" >/dev/null 2>&1 &&
    echo 'extern "C" int LLVMFuzzerTestOneInput(const char*, unsigned long) { return 0; }' |
      "$cxx" -x c++ -fsanitize=fuzzer -o /dev/null - 2>/dev/null
}
. scripts/lib.sh
if ! have_libfuzzer && [ "$cxx" = clang++ ]; then install_packages clang libclang-rt-dev || true; fi
if ! have_libfuzzer; then
  skip_step "fuzz ($cxx with libFuzzer)" clang libclang-rt-dev
  exit 0
fi
bash scripts/deps.sh run

build=build-fuzz
CXX=$cxx cmake -S fuzz -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(fuzz_tokenize fuzz_procstat fuzz_buffer fuzz_trim)
cmake --build "$build" -j2 --target "${targets[@]}" >/dev/null

run_one() {  # target
  local t=$1 name=${1#fuzz_}
  mkdir -p "$build/corpus/$name" "$build/artifacts"
  "$build/$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$build/artifacts/$name-" "$build/corpus/$name" "fuzz/corpus/$name" \
    >"$build/$t.log" 2>&1
}

status=0
pids=()
for t in "${targets[@]}"; do
  run_one "$t" &
  pids+=("$!:$t")
  if [ ${#pids[@]} -ge 2 ]; then
    entry=${pids[0]}; pids=("${pids[@]:1}")
    wait "${entry%%:*}" || { status=1; echo "fuzz: ${entry#*:} FAILED (see $build/${entry#*:}.log)" >&2; tail -n 40 "$build/${entry#*:}.log" >&2; }
  fi
done
for entry in "${pids[@]}"; do
  wait "${entry%%:*}" || { status=1; echo "fuzz: ${entry#*:} FAILED (see $build/${entry#*:}.log)" >&2; tail -n 40 "$build/${entry#*:}.log" >&2; }
done

for t in "${targets[@]}"; do
  runs=$(grep -Eo 'stat::number_of_executed_units: *[0-9]+' "$build/$t.log" | grep -Eo '[0-9]+$' || echo '?')
  echo "fuzz: $t: $runs executions in ${seconds}s"
done
exit $status
