#!/usr/bin/env bash
# Builds everything (tests and benchmarks) and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)"
ctest --test-dir build -j "$(nproc)" --output-on-failure --timeout 600
