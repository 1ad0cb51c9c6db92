#!/usr/bin/env bash
# Times whole runs of machine_info (full report and ignore_scan_blk) over a
# fake /sys of 64 disks against a static empty program, /bin/true and
# `lsblk -dno NAME,SERIAL` over the same tree, and prints the medians and their
# ratios. Before that, counts the system calls per disk with `strace -c` over
# 64 and 128 disks. With a git revision as second argument, that revision's
# machine_info is built too and measured in the same run.
# Usage: bash bench/report_bench.sh [repetitions] [baseline-revision]
#   (default 60 repetitions; e.g. `bash bench/report_bench.sh 60 bceb861`)
# Repetitions are short (50 ms) and shuffled across the programs, so that the
# machine's drift over the run falls on every program alike.
set -euo pipefail
cd "$(dirname "$0")/.."
reps=${1:-60}
baseline_rev=${2:-}

if [ "${IN_FAKE_SYS:-}" != 1 ]; then
  bash scripts/deps.sh test
  if ! command -v strace >/dev/null 2>&1 && [ "$(id -u)" -eq 0 ]; then
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends strace >/dev/null || true
  fi
  cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DVELMOR_BUILD_TESTS=OFF -DVELMOR_BUILD_BENCHMARKS=ON >/dev/null
  cmake --build build-bench -j2 --target machine_info machine_info_benchmark >/dev/null
  baseline=
  if [ -n "$baseline_rev" ]; then
    src=build-bench/baseline-src
    rm -rf "$src" && mkdir -p "$src"
    git archive "$baseline_rev" | tar -x -C "$src"
    cmake -S "$src" -B build-bench/baseline -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELMOR_BUILD_TESTS=OFF >/dev/null
    cmake --build build-bench/baseline -j2 --target machine_info >/dev/null
    baseline=$PWD/build-bench/baseline/machine_info
  fi
  if [ "$(id -u)" -eq 0 ]; then ns=(unshare -m --propagation private); else ns=(unshare -rm); fi
  exec env IN_FAKE_SYS=1 VELMOR_BASELINE_MACHINE_INFO="$baseline" "${ns[@]}" bash "$0" "$reps"
fi

# Inside the private mount namespace from here on.
S=/sys
# A fresh fake /sys of $1 disks, laid out like the kernel's: block/<name> and
# dev/block/<maj:min> link to the block device directory, whose device link
# leads to the parent holding serial.
make_tree() {
  # Each tree is a tmpfs of its own, stacked over the real /sys or over the
  # previous tree, which is taken away first.
  if [ -n "${tree_mounted:-}" ]; then umount $S; fi
  mount -t tmpfs fake-sys $S
  tree_mounted=1
  mkdir -p $S/block $S/dev/block $S/class/dmi/id
  printf 'dmi:bvnFAKE:bvr1.0:bd01/01/2024:svnFAKE:\n' > $S/class/dmi/id/modalias
  local i name host
  for i in $(seq 0 $(($1 - 1))); do
    name=$(printf 'vd%03d' "$i")
    host=$S/devices/fakebus/host$i
    mkdir -p "$host/block/$name"
    printf 'SER%06d\n' "$i" > "$host/serial"
    echo "253:$i" > "$host/block/$name/dev"
    echo 2048 > "$host/block/$name/size"
    echo 0 > "$host/block/$name/removable"
    echo 0 > "$host/block/$name/ro"
    ln -s "../../../host$i" "$host/block/$name/device"
    ln -s "../devices/fakebus/host$i/block/$name" "$S/block/$name"
    ln -s "../../devices/fakebus/host$i/block/$name" "$S/dev/block/253:$i"
  done
  [ "$(build-bench/machine_info | grep -o '"serial"' | wc -l)" -eq "$1" ] || { echo "fake tree not seen" >&2; exit 1; }
}

# System calls of one whole run of the program.
calls() { strace -f -c -o /tmp/velmor-strace.$$ "$@" >/dev/null 2>&1; awk '$NF == "total" { print $4 }' /tmp/velmor-strace.$$; }

if command -v strace >/dev/null 2>&1; then
  programs=("$PWD/build-bench/machine_info")
  [ -n "${VELMOR_BASELINE_MACHINE_INFO:-}" ] && programs+=("$VELMOR_BASELINE_MACHINE_INFO")
  declare -A at64
  make_tree 64
  for p in "${programs[@]}"; do at64[$p]=$(calls "$p"); done
  make_tree 128
  for p in "${programs[@]}"; do
    at128=$(calls "$p")
    awk -v p="$p" -v a="${at64[$p]}" -v b="$at128" \
      'BEGIN { printf "system calls: 64 disks %d, 128 disks %d, per disk %.2f (goal <= 3)  %s\n", a, b, (b - a) / 64, p }'
  done
  rm -f /tmp/velmor-strace.$$
else
  echo "system calls per disk: not counted (Debian package strace is missing)"
fi

make_tree 64
build-bench/bench/machine_info_benchmark --benchmark_repetitions="$reps" --benchmark_min_time=0.05 \
  --benchmark_enable_random_interleaving=true \
  --benchmark_report_aggregates_only=true --benchmark_format=csv 2>/dev/null |
awk -F, '
  /_median"/ { name = $1; gsub(/"|BM_Process\/|\/real_time_median|_median/, "", name); t[name] = $3 }
  END {
    n = split("StaticEmpty BinTrue MachineInfoFull MachineInfoIgnoreScanBlk Lsblk BaselineFull", order, " ")
    for (i = 1; i <= n; i++) if (order[i] in t) printf "%-26s median %8.1f us\n", order[i], t[order[i]]
    printf "ignore_scan_blk / static empty %6.2f  (goal <= 1.10)\n", t["MachineInfoIgnoreScanBlk"] / t["StaticEmpty"]
    printf "full / static empty            %6.2f\n", t["MachineInfoFull"] / t["StaticEmpty"]
    printf "full / lsblk                   %6.2f  (goal <= 0.33)\n", t["MachineInfoFull"] / t["Lsblk"]
    if ("BaselineFull" in t)
      printf "full / baseline full           %6.2f  (goal <= 0.80)\n", t["MachineInfoFull"] / t["BaselineFull"]
  }'
