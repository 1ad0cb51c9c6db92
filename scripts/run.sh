#!/usr/bin/env bash
# Builds machine_info (release) and runs it; arguments go to the tool.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib.sh
require_build run
quiet cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELMOR_BUILD_TESTS=OFF
quiet cmake --build build-release --target machine_info
exec build-release/machine_info "$@"
