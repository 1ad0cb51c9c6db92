#!/usr/bin/env bash
# Builds the packages twice and compares them byte for byte: the three .deb
# files, the three RPMs and the tool's tarball (those whose tools are here),
# once from this tree into build-release (reused), once from a copy of the
# sources in another directory into a build directory of another name. Both
# take the same SOURCE_DATE_EPOCH, the first build's (by default the last
# commit's time): a copy of the sources has no git history of its own.
# Prints the sha256 and size of each; on a difference, names the files inside
# (and for an RPM, the header tags) that differ.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh
bash scripts/deps.sh run
fail() { echo "check_reproducible: $*" >&2; exit 1; }
find_package_generators "reproducibility check"

build=build-release
make_packages . "$build" "${PACKAGE_GENERATORS[@]}" || fail "building and packaging $build failed"
epoch=$(sed -n 's/^VELMOR_SOURCE_DATE_EPOCH:INTERNAL=//p' "$build/CMakeCache.txt")
[ -n "$epoch" ] || fail "no SOURCE_DATE_EPOCH in $build/CMakeCache.txt"

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
copy=$scratch/elsewhere/velmor-sources
other=$scratch/another-build
mkdir -p "$copy"
# The sources as they are now, without build trees or history.
tar --exclude='./build*' --exclude=./.git -cf - . | tar -C "$copy" -xf -
SOURCE_DATE_EPOCH=$epoch make_packages "$copy" "$other" "${PACKAGE_GENERATORS[@]}" || fail "building and packaging the copy failed"

artefacts() { find "$1" -maxdepth 1 -type f \( -name '*.deb' -o -name '*.rpm' -o -name '*.tar.gz' \) -printf '%f\n' | sort; }
# Unpacks an artefact into a directory and writes its listing (for an RPM,
# its whole header as XML, file digests and times included) beside it.
unpack() {  # artefact, directory
  mkdir -p "$2"
  case $1 in
    *.deb) dpkg-deb -R "$1" "$2"; dpkg-deb -c "$1" >"$2.listing" ;;
    *.rpm) rpm2archive - <"$1" | tar -C "$2" -xzf -; rpm -qp --xml "$1" >"$2.listing" ;;
    *.tar.gz) tar -C "$2" -xzf "$1"; tar -tvzf "$1" >"$2.listing" ;;
  esac
}

echo "SOURCE_DATE_EPOCH=$epoch ($(date -u -d "@$epoch" '+%Y-%m-%d %H:%M:%S UTC')); $PWD/$build against $other (sources in $copy)"
[ "$(artefacts "$other")" = "$(artefacts "$build")" ] || fail "the two builds made different sets of packages"
different=0
for name in $(artefacts "$build"); do
  sum=$(sha256sum "$build/$name" | cut -d' ' -f1)
  size=$(stat -c %s "$build/$name")
  if cmp -s "$build/$name" "$other/$name"; then
    printf '  same      %s %8s bytes  %s\n' "$sum" "$size" "$name"
    continue
  fi
  different=$((different + 1))
  echo "  DIFFERENT $sum  $name  /  $(sha256sum "$other/$name" | cut -d' ' -f1)"
  unpack "$build/$name" "$scratch/first/$name"
  unpack "$other/$name" "$scratch/second/$name"
  diff "$scratch/first/$name.listing" "$scratch/second/$name.listing" | sed 's/^/    /' || true
  diff -rq --no-dereference "$scratch/first/$name" "$scratch/second/$name" | sed 's/^/    /' || true
done
[ "$different" -eq 0 ] || fail "$different of $(artefacts "$build" | wc -l) artefacts differ between the two builds"
echo "reproducible: the $(artefacts "$build" | wc -l) artefacts of both builds are the same, byte for byte (${PACKAGE_GENERATORS[*]})"
