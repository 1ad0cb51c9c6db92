#!/usr/bin/env bash
# Makes sure the build's tools and libraries are present. As root, installs
# what is missing with apt-get; otherwise names the Debian packages to install.
# Usage: scripts/deps.sh [run|test]   (test also needs GoogleTest and Benchmark)
set -euo pipefail
purpose=${1:-run}

missing=()
need_cmd()    { command -v "$1" >/dev/null 2>&1 || missing+=("$2"); }
need_header() { [ -e "/usr/include/$1" ] || missing+=("$2"); }

need_cmd g++ g++
need_cmd cmake cmake
need_cmd ninja ninja-build
need_header boost/tokenizer.hpp libboost-dev
if [ "$purpose" = test ]; then
  need_header gtest/gtest.h libgtest-dev
  need_header benchmark/benchmark.h libbenchmark-dev
  need_header seccomp.h libseccomp-dev
fi

[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "missing Debian packages: ${missing[*]}" >&2
  echo "install them with: sudo apt-get install ${missing[*]}" >&2
  exit 1
fi
echo "installing: ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
