#!/usr/bin/env bash
# Times whole runs of machine_info (full report and ignore_scan_blk) over a fake
# /sys of 64 disks against /bin/true and `lsblk -dno NAME,SERIAL` over the same
# tree, and prints the medians and their ratios.
# Usage: bash bench/report_bench.sh [repetitions]   (default 15)
set -euo pipefail
cd "$(dirname "$0")/.."
reps=${1:-15}

if [ "${IN_FAKE_SYS:-}" != 1 ]; then
  bash scripts/deps.sh test
  cmake -S . -B build-bench -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DVELMOR_BUILD_TESTS=OFF -DVELMOR_BUILD_BENCHMARKS=ON >/dev/null
  cmake --build build-bench -j2 --target machine_info machine_info_benchmark >/dev/null
  if [ "$(id -u)" -eq 0 ]; then ns=(unshare -m --propagation private); else ns=(unshare -rm); fi
  exec env IN_FAKE_SYS=1 "${ns[@]}" bash "$0" "$reps"
fi

# Inside the private mount namespace from here on.
mount -t tmpfs fake-sys /sys
S=/sys
mkdir -p $S/block $S/dev/block $S/class/dmi/id
printf 'dmi:bvnFAKE:bvr1.0:bd01/01/2024:svnFAKE:\n' > $S/class/dmi/id/modalias
# Laid out like the kernel's: block/<name> and dev/block/<maj:min> link to the
# block device directory, whose device link leads to the parent holding serial.
for i in $(seq 0 63); do
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
[ "$(build-bench/machine_info | grep -o '"serial"' | wc -l)" -eq 64 ] || { echo "fake tree not seen" >&2; exit 1; }

build-bench/bench/machine_info_benchmark --benchmark_repetitions="$reps" \
  --benchmark_enable_random_interleaving=true \
  --benchmark_report_aggregates_only=true --benchmark_format=csv 2>/dev/null |
awk -F, '
  /_median"/ { name = $1; gsub(/"|BM_Process\/|\/real_time_median/, "", name); t[name] = $3 }
  END {
    n = split("BinTrue MachineInfoFull MachineInfoIgnoreScanBlk Lsblk", order, " ")
    for (i = 1; i <= n; i++) printf "%-26s median %8.1f us\n", order[i], t[order[i]]
    printf "full / true              %6.2f  (goal <= 1.5)\n", t["MachineInfoFull"] / t["BinTrue"]
    printf "ignore_scan_blk / true   %6.2f  (goal <= 1.0)\n", t["MachineInfoIgnoreScanBlk"] / t["BinTrue"]
    printf "full / lsblk             %6.2f  (goal <= 0.33)\n", t["MachineInfoFull"] / t["Lsblk"]
    printf "ignore_scan_blk / lsblk  %6.2f  (goal <= 0.33)\n", t["MachineInfoIgnoreScanBlk"] / t["Lsblk"]
  }'
