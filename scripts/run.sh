#!/usr/bin/env bash
# Installs the build dependencies, builds, and runs the main job on its embedded default.
# Arguments go to the demo (--help lists them); a relative root is taken from the folder this
# script was called from.
set -euo pipefail
caller="$PWD"
repo="$(cd "$(dirname "$0")/.." && pwd)"
cd "$repo"
./scripts/deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target norvalt_demo
cd "$caller"
exec "$repo/build/tools/norvalt_demo" "$@"
