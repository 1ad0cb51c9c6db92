#!/usr/bin/env bash
# Times whole runs of machine_info (full report and ignore_scan_blk) over two
# fake /sys trees against their floors: a static empty program, and a static
# program that makes the same report with the fewest system calls
# (bench/report_floor.cpp, run with the same arguments); over the first also
# against /bin/true and `lsblk -dno NAME,SERIAL`. Prints the medians and their
# ratios. The trees:
#   64 disks  64 disks with serials under device/, and a modalias;
#   cloud VM  the shape of most cloud machines and containers: no modalias,
#             eight loop devices (no device link) listed before one virtio
#             disk vda, whose serial is vda/serial, not under device/ (so the
#             scan stops at it with its message, as it does on such a VM).
# Before that, counts the system calls per disk with `strace -c` over 64 and
# 128 disks. With a git revision as second argument, that revision's
# machine_info is built too and measured in the same runs.
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
  cmake --build build-bench -j2 --target machine_info machine_info_benchmark report_floor >/dev/null
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

# Every program timed runs from a copy in one tmpfs, bound over its own path.
# How a file's pages came into the page cache changes the cost of mapping it:
# a binary just written by the linker started up to 8 % slower than a copy of
# it in an A/A run, which would make programs built at different times differ.
programs_dir=$(mktemp -d)
trap 'umount -R "$programs_dir" 2>/dev/null; rmdir "$programs_dir"' EXIT
equalise_programs() {  # program...
  mount -t tmpfs velmor-bench-programs "$programs_dir"
  local n=0 p
  for p in "$@"; do
    [ -n "$p" ] || continue
    n=$((n + 1))
    cp "$p" "$programs_dir/$n"
    mount --bind "$programs_dir/$n" "$p"
  done
}
equalise_programs "$PWD/build-bench/machine_info" "$PWD/build-bench/bench/static_empty" \
  "$PWD/build-bench/bench/report_floor" "${VELMOR_BASELINE_MACHINE_INFO:-}"
# Each tree is a tmpfs of its own, stacked over the real /sys or over the
# previous tree, which is taken away first.
fresh_sys() {
  if [ -n "${tree_mounted:-}" ]; then umount $S; fi
  mount -t tmpfs fake-sys $S
  tree_mounted=1
  mkdir -p $S/block $S/dev/block $S/class/dmi/id
}
# A fresh fake /sys of $1 disks, laid out like the kernel's: block/<name> and
# dev/block/<maj:min> link to the block device directory, whose device link
# leads to the parent holding serial.
make_tree() {
  fresh_sys
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

# A cloud VM's /sys: no firmware modalias, loop0..loop7 without a device link,
# and vda on virtio, whose serial sits beside the disk (vda/serial) while its
# device link leads to the virtio device, which has none. vda is made first:
# tmpfs lists the newest entry first, so the scan passes the eight loops.
make_vm_tree() {
  fresh_sys
  local virtio=$S/devices/pci0000:00/0000:00:04.0/virtio1 i
  mkdir -p "$virtio/block/vda"
  echo 'virtio:d00000002v00001AF4' > "$virtio/modalias"
  echo 'VMSER0001' > "$virtio/block/vda/serial"
  echo 254:0 > "$virtio/block/vda/dev"
  ln -s ../../../virtio1 "$virtio/block/vda/device"
  ln -s ../devices/pci0000:00/0000:00:04.0/virtio1/block/vda $S/block/vda
  ln -s ../../devices/pci0000:00/0000:00:04.0/virtio1/block/vda $S/dev/block/254:0
  for i in 0 1 2 3 4 5 6 7; do
    mkdir -p "$S/devices/virtual/block/loop$i"
    echo "7:$((i * 8))" > "$S/devices/virtual/block/loop$i/dev"
    ln -s "../devices/virtual/block/loop$i" "$S/block/loop$i"
    ln -s "../../devices/virtual/block/loop$i" "$S/dev/block/7:$((i * 8))"
  done
  [ "$(ls $S/block | tail -n 1)" = vda ] || { echo "vm tree: vda is not listed last" >&2; exit 1; }
  [ "$(build-bench/machine_info 2>/dev/null | tail -n 1)" = 'device_infos:[]' ] || { echo "vm tree not seen" >&2; exit 1; }
}

# The floor makes the tool's report, both streams, byte for byte.
check_floor() {  # tree label
  local args out_tool out_floor
  for args in "" ignore_scan_blk; do
    # shellcheck disable=SC2086
    out_tool=$(build-bench/machine_info $args 2>&1)
    # shellcheck disable=SC2086
    out_floor=$(build-bench/bench/report_floor $args 2>&1)
    [ "$out_tool" = "$out_floor" ] || { printf 'floor differs from machine_info on %s:\n%s\n--\n%s\n' "$1" "$out_tool" "$out_floor" >&2; exit 1; }
  done
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

# Medians of one interleaved run over the tree mounted now, and their ratios.
time_tree() {  # label, benchmark filter
  echo "== $1 =="
  build-bench/bench/machine_info_benchmark --benchmark_filter="$2" --benchmark_repetitions="$reps" \
    --benchmark_min_time=0.05 --benchmark_enable_random_interleaving=true \
    --benchmark_report_aggregates_only=true --benchmark_format=csv 2>/dev/null |
  awk -F, -v tree="$1" '
    /_median"/ { name = $1; gsub(/"|BM_Process\/|\/real_time_median|_median/, "", name); t[name] = $3 }
    function ratio(label, a, b, goal) {
      if (!(a in t) || !(b in t)) return
      printf "%-34s %6.2f%s\n", label, t[a] / t[b], goal == "" ? "" : "  (goal <= " goal ")"
    }
    END {
      n = split("StaticEmpty FloorFull FloorIgnoreScanBlk BinTrue MachineInfoFull MachineInfoIgnoreScanBlk Lsblk BaselineFull BaselineIgnoreScanBlk", order, " ")
      for (i = 1; i <= n; i++) if (order[i] in t) printf "%-26s median %8.1f us\n", order[i], t[order[i]]
      ratio("full / floor", "MachineInfoFull", "FloorFull", "1.10")
      ratio("ignore_scan_blk / floor", "MachineInfoIgnoreScanBlk", "FloorIgnoreScanBlk", tree == "cloud VM" ? "1.10" : "")
      ratio("ignore_scan_blk / static empty", "MachineInfoIgnoreScanBlk", "StaticEmpty", tree == "cloud VM" ? "" : "1.10")
      ratio("full / static empty", "MachineInfoFull", "StaticEmpty", "")
      ratio("full / lsblk", "MachineInfoFull", "Lsblk", "0.33")
      ratio("baseline full / floor", "BaselineFull", "FloorFull", "")
      ratio("baseline ignore_scan_blk / floor", "BaselineIgnoreScanBlk", "FloorIgnoreScanBlk", "")
      ratio("full / baseline full", "MachineInfoFull", "BaselineFull", "")
      ratio("ignore_scan_blk / baseline", "MachineInfoIgnoreScanBlk", "BaselineIgnoreScanBlk", "")
    }'
}

make_tree 64
check_floor "64 disks"
time_tree "64 disks" .
make_vm_tree
check_floor "cloud VM"
time_tree "cloud VM" 'StaticEmpty|Floor|MachineInfo|Baseline'
