#!/usr/bin/env bash
# Makes sure the build's tools and libraries are present: as root, installs
# what is missing; otherwise names the Debian packages to install.
# Usage: scripts/deps.sh [run|test]   (test: also GoogleTest, Google
#   Benchmark, libseccomp and pkg-config)
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh
require_build "${1:-run}"
