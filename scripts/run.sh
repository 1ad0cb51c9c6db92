#!/usr/bin/env bash
# Builds machine_info (release) and runs it; arguments go to the tool.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh run
cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELMOR_BUILD_TESTS=OFF >/dev/null
cmake --build build-release --target machine_info >/dev/null
exec build-release/machine_info "$@"
