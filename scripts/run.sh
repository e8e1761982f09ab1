#!/usr/bin/env bash
# Installs the build dependencies, builds, and runs the main job on its embedded default: the
# real NorvaltDrv over a simulated station (installed into the private root, started, one
# client run, stopped with /STOP, removed with /UNINSTALL). Arguments go to the station
# runner (--help lists them); a relative root is taken from the folder this script was called
# from.
set -euo pipefail
caller="$PWD"
repo="$(cd "$(dirname "$0")/.." && pwd)"
cd "$repo"
./scripts/deps.sh
# Configure says only what it leaves out (no libmodbus, no Qt 6).
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo | { grep -E "left out|not found|targets skipped" || true; }
cmake --build build -j "$(nproc)" --target NorvaltDrv norvalt_station
cd "$caller"
exec "$repo/build/tools/norvalt_station" --service "$repo/build/bin/NorvaltDrv" "$@"
