#!/usr/bin/env bash
# The ABI guard: libvelmor_lic.so as built now against the ABI recorded at the
# last release, abi/<SONAME>.abi (abidw's dump of the library built with -g).
#   - a removed or changed function or variable, or a changed type they reach,
#     fails, unless the SONAME changed too (a new major version);
#   - added functions and variables pass, and are listed (a new minor version).
# Header-only template copies are not exported (cmake/velmor_lic.map), so the
# build type does not change what is compared.
# Usage: scripts/check_abi.sh [BUILD_DIR]            compare (default: build)
#        scripts/check_abi.sh --update [BUILD_DIR]   record BUILD_DIR's library
#                                                    as the baseline (at a release)
# A BUILD_DIR not yet configured is configured RelWithDebInfo; only the shared
# library is built.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh
update=0
if [ "${1:-}" = --update ]; then update=1; shift; fi
build=${1:-build}
fail() { echo "check_abi: $*" >&2; exit 1; }

require_tool "ABI check" abidiff abigail-tools || exit 0

if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMOR_BUILD_TESTS=OFF >/dev/null
fi
cmake --build "$build" --target velmor_lic_shared >/dev/null
# The link libvelmor_lic.so names the library this build made, whatever its version.
so=$(readlink -f "$build/libvelmor_lic.so")
[ -f "$so" ] || fail "no shared library in $build"
soname=$(readelf -dW "$so" | sed -n 's/.*(SONAME).*\[\(.*\)\]$/\1/p')
[ -n "$soname" ] || fail "$so has no SONAME"
grep -q '\.debug_info' <<<"$(readelf -SW "$so")" \
  || fail "$so has no debug information: compare a build with -g (RelWithDebInfo or Debug)"

# Without paths or line numbers: the dump changes only when the ABI does.
dump() { abidw --no-corpus-path --no-comp-dir-path --no-show-locs --out-file "$2" "$1"; }

if [ "$update" = 1 ]; then
  mkdir -p abi
  rm -f abi/libvelmor_lic.so.*.abi
  dump "$so" "abi/$soname.abi"
  echo "check_abi: abi/$soname.abi recorded from $so ($(grep -c '<elf-symbol ' "abi/$soname.abi") ELF symbols); commit it"
  exit 0
fi

baselines=(abi/libvelmor_lic.so.*.abi)
[ -f "${baselines[0]}" ] || fail "no baseline in abi/ (record one: bash scripts/check_abi.sh --update)"
[ ${#baselines[@]} -eq 1 ] || fail "more than one baseline in abi/: ${baselines[*]}"
baseline=${baselines[0]}
base_soname=$(sed -n "1s/.* soname='\([^']*\)'.*/\1/p" "$baseline")

current=$(mktemp)
trap 'rm -f "$current"' EXIT
dump "$so" "$current"
status=0
# Private functions that no public inline code calls may go (abi/private_members.suppr).
report=$(abidiff --suppressions abi/private_members.suppr "$baseline" "$current" 2>&1) || status=$?
# abidiff's status is a bit set: 1 error, 2 usage, 4 ABI change, 8 incompatible.
if (( status & 3 )); then
  echo "$report" >&2
  fail "abidiff could not compare $baseline with $so (status $status)"
fi
summary="$(basename "$baseline") against $(basename "$so") of $build"
if [ "$status" -eq 0 ]; then
  echo "ABI: unchanged ($summary)"
  exit 0
fi
echo "$report" | sed 's/^/  /'
if [ "$soname" != "$base_soname" ]; then
  echo "ABI: changed, but the SONAME did too ($base_soname -> $soname): allowed for a new major version"
  echo "ABI: record the new baseline with: bash scripts/check_abi.sh --update"
  exit 0
fi
# Removed or changed interface (even where abidiff leaves the judgement to a
# person, as for a changed type) breaks programs built against the baseline.
counts=$(grep 'changes summary:' <<<"$report" || true)
broken=$(grep -oE '[1-9][0-9]* (Removed|Changed)( \([0-9]+ filtered out\))?' <<<"$counts" || true)
if (( status & 8 )) || [ -n "$broken" ]; then
  fail "incompatible ABI change ($summary, SONAME still $soname): $(paste -sd, - <<<"${broken:-see above}" | sed 's/,/, /g')." \
    "Keep the interface, or raise the major version (and with it the SONAME)"
fi
added=$(grep -oE '[1-9][0-9]* Added (function|variable)s?( symbols?)?' <<<"$counts" | paste -sd, - || true)
echo "ABI: compatible, added: ${added:-nothing counted} ($summary); adding needs a new minor version"
