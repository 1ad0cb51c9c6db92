#!/usr/bin/env bash
# Builds the packages twice and compares them byte for byte: the three .deb
# files, the three RPMs and the tool's tarball (those whose tools are here),
# once from this tree into build-release (reused), once from a copy of the
# sources in another directory into a build directory of another name. Both
# take the same SOURCE_DATE_EPOCH, the first build's (by default the last
# commit's time): a copy of the sources has no git history of its own.
# Prints the sha256 and size of each; where two differ, diffoscope says how.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh
require_build run
find_package_generators "reproducibility check"

build=build-release
make_packages . "$build" "${PACKAGE_GENERATORS[@]}" || fail "building and packaging $build failed"
epoch=$(sed -n 's/^VELMOR_SOURCE_DATE_EPOCH:INTERNAL=//p' "$build/CMakeCache.txt")
[ -n "$epoch" ] || fail "no SOURCE_DATE_EPOCH in $build/CMakeCache.txt"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
copy=$scratch/elsewhere/velmor-sources other=$scratch/another-build
mkdir -p "$copy"
# The sources as they are now, without build trees or history.
tar --exclude='./build*' --exclude=./.git -cf - . | tar -C "$copy" -xf -
SOURCE_DATE_EPOCH=$epoch make_packages "$copy" "$other" "${PACKAGE_GENERATORS[@]}" || fail "building and packaging the copy failed"

artefacts() { find "$1" -maxdepth 1 -type f \( -name '*.deb' -o -name '*.rpm' -o -name '*.tar.gz' \) -printf '%f\n' | sort; }
echo "SOURCE_DATE_EPOCH=$epoch ($(date -u -d "@$epoch" '+%Y-%m-%d %H:%M:%S UTC')); $PWD/$build against $other (sources in $copy)"
[ "$(artefacts "$other")" = "$(artefacts "$build")" ] || fail "the two builds made different sets of packages"
different=()
for name in $(artefacts "$build"); do
  same=same
  cmp -s "$build/$name" "$other/$name" || { same=DIFFERENT; different+=("$name"); }
  printf '  %-9s %s %8s bytes  %s\n' $same "$(sha256sum "$build/$name" | cut -d' ' -f1)" "$(stat -c %s "$build/$name")" "$name"
done
for name in "${different[@]}"; do
  if require diffoscope diffoscope diffoscope-minimal; then diffoscope "$build/$name" "$other/$name" | head -n 100 || true; fi
done
[ ${#different[@]} -eq 0 ] || fail "${#different[@]} of $(artefacts "$build" | wc -l) artefacts differ between the two builds"
echo "reproducible: the $(artefacts "$build" | wc -l) artefacts of both builds are the same, byte for byte (${PACKAGE_GENERATORS[*]})"
