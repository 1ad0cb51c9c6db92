#!/usr/bin/env bash
# Builds the three packages twice and compares them byte for byte: once from
# this tree into build-release (reused), once from a copy of the sources in
# another directory into a build directory of another name. Both take the
# same SOURCE_DATE_EPOCH, the first build's (by default the last commit's
# time): a copy of the sources has no git history of its own. Prints the
# sha256 of each package; on a difference, names the files inside that differ.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh
bash scripts/deps.sh run
fail() { echo "check_reproducible: $*" >&2; exit 1; }
require_tool "reproducibility check" dpkg-shlibdeps dpkg-dev || exit 0

build=build-release
make_packages . "$build" || fail "building and packaging $build failed"
epoch=$(sed -n 's/^VELMOR_SOURCE_DATE_EPOCH:INTERNAL=//p' "$build/CMakeCache.txt")
[ -n "$epoch" ] || fail "no SOURCE_DATE_EPOCH in $build/CMakeCache.txt"

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
copy=$scratch/elsewhere/velmor-sources
other=$scratch/another-build
mkdir -p "$copy"
# The sources as they are now, without build trees or history.
tar --exclude='./build*' --exclude=./.git -cf - . | tar -C "$copy" -xf -
SOURCE_DATE_EPOCH=$epoch make_packages "$copy" "$other" || fail "building and packaging the copy failed"

echo "SOURCE_DATE_EPOCH=$epoch ($(date -u -d "@$epoch" '+%Y-%m-%d %H:%M:%S UTC')); $PWD/$build against $other (sources in $copy)"
different=0
for deb in "$build"/*.deb; do
  name=$(basename "$deb")
  [ -f "$other/$name" ] || fail "the second build made no $name"
  sum=$(sha256sum "$deb" | cut -d' ' -f1)
  if cmp -s "$deb" "$other/$name"; then
    echo "  same      $sum  $name"
    continue
  fi
  different=$((different + 1))
  echo "  DIFFERENT $sum  $name  /  $(sha256sum "$other/$name" | cut -d' ' -f1)"
  for side in first second; do
    from=$deb
    [ "$side" = second ] && from=$other/$name
    mkdir -p "$scratch/$side/$name"
    dpkg-deb -R "$from" "$scratch/$side/$name"
    dpkg-deb -c "$from" >"$scratch/$side/$name.listing"
  done
  diff "$scratch/first/$name.listing" "$scratch/second/$name.listing" | sed 's/^/    /' || true
  diff -rq --no-dereference "$scratch/first/$name" "$scratch/second/$name" | sed 's/^/    /' || true
done
[ "$(find "$other" -maxdepth 1 -name '*.deb' | wc -l)" = "$(find "$build" -maxdepth 1 -name '*.deb' | wc -l)" ] \
  || fail "the two builds made different sets of packages"
[ "$different" -eq 0 ] || fail "$different package(s) differ between the two builds"
echo "reproducible: the packages of both builds are the same, byte for byte"
