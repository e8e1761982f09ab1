#!/usr/bin/env bash
# Installs the build dependencies, builds, and runs the main job on its embedded default.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target norvalt_demo
exec ./build/tools/norvalt_demo "$@"
