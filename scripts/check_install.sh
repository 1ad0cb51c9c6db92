#!/usr/bin/env bash
# Installs the tree into a scratch prefix and proves the result usable:
# the expected files are there, the example under examples/ builds against
# the installed CMake package (not the build tree) and through pkg-config,
# and CPack makes a .deb that puts machine_info on the PATH.
# VELMOR_DEB_INSTALL=1 (as root) also installs and removes the .deb for real.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh run

build=build-release
# Runs a command silently, showing its output only when it fails.
quiet() {
  local log
  log=$(mktemp)
  if ! "$@" >"$log" 2>&1; then cat "$log" >&2; rm -f "$log"; echo "check_install: failed: $*" >&2; exit 1; fi
  rm -f "$log"
}

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
prefix=$scratch/prefix

quiet cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELMOR_BUILD_TESTS=OFF
quiet cmake --build "$build"
quiet cmake --install "$build" --prefix "$prefix"

fail() { echo "check_install: $*" >&2; exit 1; }

libdir=
for d in lib lib64 lib/*-linux-gnu; do
  if [ -e "$prefix/$d/libvelmor_lic.a" ]; then libdir=$d; break; fi
done
[ -n "$libdir" ] || fail "libvelmor_lic.a not installed under lib/"
for f in bin/machine_info \
         include/velmor_lic/lic_func.h include/velmor_lic/str_buffer.h include/velmor_lic/popen_cmd.h \
         "$libdir/cmake/velmor_lic/velmor_licConfig.cmake" \
         "$libdir/cmake/velmor_lic/velmor_licConfigVersion.cmake" \
         "$libdir/cmake/velmor_lic/velmor_licTargets.cmake" \
         "$libdir/pkgconfig/velmor_lic.pc" \
         share/man/man1/machine_info.1; do
  [ -e "$prefix/$f" ] || fail "missing from the install: $f"
done
grep -q "$PWD" "$prefix/$libdir/cmake/velmor_lic/velmor_licTargets.cmake" \
  && fail "exported targets point into the source tree"
# The tool's own probes may complain on this machine; only its running matters.
"$prefix/bin/machine_info" ignore_scan_blk >/dev/null 2>&1
echo "install tree: ok ($prefix)"

# The consumer sees only the installed prefix.
quiet cmake -S examples -B "$scratch/example" -G Ninja -DCMAKE_PREFIX_PATH="$prefix"
quiet cmake --build "$scratch/example"
[ "$("$scratch/example/run_and_buffer")" = ok ] || fail "example (CMake package) failed"
echo "example via find_package: ok"

if command -v pkg-config >/dev/null 2>&1; then
  # shellcheck disable=SC2046
  g++ -std=c++17 -o "$scratch/run_and_buffer_pc" examples/run_and_buffer.cpp \
    $(PKG_CONFIG_PATH="$prefix/$libdir/pkgconfig" pkg-config --cflags --libs velmor_lic)
  [ "$("$scratch/run_and_buffer_pc")" = ok ] || fail "example (pkg-config) failed"
  echo "example via pkg-config: ok"
else
  echo "pkg-config not found (Debian package pkgconf): pkg-config check skipped"
fi

quiet cpack -G DEB --config "$build/CPackConfig.cmake" -B "$build"
deb=$(ls "$build"/machine-info_*.deb | head -n1)
[ -f "$deb" ] || fail "cpack made no machine-info .deb"
listing=$(dpkg-deb -c "$deb")
grep -q '\./usr/bin/machine_info$' <<<"$listing" || fail "$deb lacks /usr/bin/machine_info"
grep -q '\./usr/share/man/man1/machine_info\.1' <<<"$listing" || fail "$deb lacks the man page"
dpkg-deb -x "$deb" "$scratch/deb"
[ "$("$scratch/deb/usr/bin/machine_info" ignore_scan_blk 2>/dev/null | wc -l)" = 2 ] || fail "packaged tool misbehaves"
echo "deb: ok ($(basename "$deb"), $(stat -c %s "$deb") bytes; $(ls "$build"/*.deb | wc -l) packages)"

if [ "${VELMOR_DEB_INSTALL:-0}" = 1 ] && [ "$(id -u)" -eq 0 ]; then
  dpkg -i "$deb" >/dev/null
  [ "$(command -v machine_info)" = /usr/bin/machine_info ] || fail "machine_info not on the PATH after dpkg -i"
  machine_info ignore_scan_blk >/dev/null 2>&1
  dpkg -r machine-info >/dev/null
  echo "deb install/remove: ok"
fi
