#!/usr/bin/env bash
# Runs machine_info (full report and "ignore_scan_blk", over a fake /sys tree
# in a private mount namespace) and every unit test program under valgrind's
# memcheck; any error or leak fails the script.
# Usage: scripts/valgrind_check.sh [build-dir]   (default: build-valgrind)
set -euo pipefail
cd "$(dirname "$0")/.."

. scripts/lib.sh
if ! command -v valgrind >/dev/null 2>&1 && ! install_packages valgrind; then
  skip_step "valgrind check" valgrind
  exit 0
fi
bash scripts/deps.sh test

build=${1:-build-valgrind}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMOR_BUILD_TESTS=ON \
  -DVELMOR_SANITIZERS=OFF -DVELMOR_DYNAMIC_TOOL=ON >/dev/null
cmake --build "$build" -j2 >/dev/null

# Forked children that exec the shell leave valgrind; the ones that must end
# before exec are checked by the tests themselves, so keep them silent.
memcheck=(valgrind --leak-check=full --show-leak-kinds=definite,indirect,possible
          --errors-for-leak-kinds=definite,indirect,possible --error-exitcode=1
          --child-silent-after-fork=yes)
failures=0
summary=()

run_checked() {  # name, log file, command... (valgrind inside it writes the log)
  local name=$1 log=$2 out
  shift 2
  out=$(mktemp)
  if "$@" >"$out" 2>&1; then
    summary+=("$name: $(grep -h -E 'in use at exit|total heap usage|ERROR SUMMARY' "$log" | sed 's/^==[0-9]*== *//' | paste -sd';' -)")
  else
    failures=$((failures + 1))
    summary+=("$name: FAILED")
    cat "$out" "$log" >&2
  fi
  rm -f "$log" "$out"
}

# --- machine_info over a fake /sys ------------------------------------------
tool=$(readlink -f "$build/machine_info")
fake_sys_script='
set -e
mount -t tmpfs velmor-fake-sys /sys
mkdir -p /sys/class/dmi/id /sys/block/sda/device /sys/block/nvme0n1/device /sys/block/loop0
printf "dmi:bvnFake:bvr1.0:\n\0\0\0\0" > /sys/class/dmi/id/modalias
printf "  S4EWNX0N123456 \n" > /sys/block/nvme0n1/device/serial
printf "WD-WCC4N1234567\n\0\0" > /sys/block/sda/device/serial
out=$("$@")
[ "$(printf "%s\n" "$out" | wc -l)" -ge 2 ]
'
if [ "$(id -u)" -eq 0 ] && unshare -m --propagation private true 2>/dev/null; then
  in_fake_sys=(unshare -m --propagation private sh -c "$fake_sys_script" sh)
elif unshare -rm true 2>/dev/null; then
  in_fake_sys=(unshare -rm sh -c "$fake_sys_script" sh)
else
  in_fake_sys=()
  summary+=("machine_info: SKIPPED (no private mount namespace: neither 'unshare -m' as root nor 'unshare -rm' works here)")
fi
if [ ${#in_fake_sys[@]} -gt 0 ]; then
  for args in "" ignore_scan_blk; do
    log=$(mktemp)
    # shellcheck disable=SC2086
    run_checked "machine_info ${args:-(full report)}" "$log" \
      "${in_fake_sys[@]}" "${memcheck[@]}" --log-file="$log" "$tool" $args
  done
fi

# --- unit test programs -----------------------------------------------------
# Every GoogleTest program registered with CTest (the build's own, not the
# shell that runs a check on the tool) except the soak label: its 11,000
# children take many minutes under valgrind, and it checks descriptors and
# children itself.
programs=$(ctest --test-dir "$build" -N -V -LE soak | sed -n 's/^.*Test command: \([^ ]*\).*$/\1/p' |
           grep "^$(readlink -f "$build")/" | grep -v '/fault_tests$' | sort -u)
# fault_tests stays out too: its seccomp filters bind valgrind's own system
# calls as much as the program's.
# Under valgrind the process runs as memcheck-amd64-linux: its /proc name is
# not the program's, and an exec that fails ends the child through valgrind
# with status 1. These runner tests pin exactly those, so they stay out here.
# valgrind (3.19) runs the runner's clone(CLONE_VM | CLONE_VFORK) as a fork and
# crashes itself when that fork fails, which the failed-start test provokes.
# The fork it runs instead shares no memory with the caller either, so the
# errno of a failed exec never reaches the start. valgrind's CPU is one of
# its own (GenuineIntel on any host), so its CPUID need not agree with the
# host's /proc/cpuinfo. It reports the 4 GiB of never written pages that one
# buffer test hands to write(2), and a malloc of half the address space, as
# errors of the program.
skip_under_valgrind='PopenCmdTest.GetProcStatReadsOrExplains:PopenCmdTest.UnexecutableShellGives127AndItsReason:PopenCmdTest.FailedStartLeavesNothingAndKeepsTheMask:CpuProbes.VendorMatchesProcCpuinfo:BufferTest.WriteFdClampsMoreThanIntMaxReadableBytes:BufferTest.SizedConstructorAndReserve'
for t in $programs; do
  name=$(basename "$t")
  log=$(mktemp)
  run_checked "$name" "$log" "${memcheck[@]}" --log-file="$log" "$t" --gtest_brief=1 \
    --gtest_filter="-$skip_under_valgrind"
done

printf '%s\n' "${summary[@]}"
[ "$failures" -eq 0 ] || { echo "valgrind: $failures program(s) with errors or leaks" >&2; exit 1; }
echo "valgrind: clean"
