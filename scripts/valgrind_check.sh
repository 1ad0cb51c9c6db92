#!/usr/bin/env bash
# Every test, and machine_info over a fake /sys tree, under valgrind's
# memcheck, through CTest's memory checker (cmake/VelmorMemcheck.cmake);
# any error or leak fails the script.
# Usage: scripts/valgrind_check.sh [build-dir]   (default: build-valgrind)
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh
require "valgrind check" valgrind valgrind || exit 0
require_build test
ctest -S cmake/VelmorMemcheck.cmake -D BUILD="${1:-build-valgrind}"
