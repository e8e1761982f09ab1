#!/usr/bin/env bash
# Builds the Debian packages into build/: norvaltdrv (the service, its field-bus library and
# systemd units) and, when Qt 6 is present, norvaltdrv-console (the operator console).
# Arguments go to cpack (e.g. -D CPACK_COMPONENTS_ALL=service for the service package only).
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/deps.sh
# cpack's DEB generator finds the programs with file(1) and their dependencies with
# dpkg-shlibdeps.
if ! dpkg -s dpkg-dev file >/dev/null 2>&1; then
  SUDO=""; [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq dpkg-dev file >/dev/null
fi
# Configure says only what it leaves out (no libmodbus, no Qt 6).
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo | { grep -E "left out|not found|targets skipped" || true; }
cmake --build build -j "$(nproc)" --target NorvaltDrv modbus norvalt_units \
  $(cmake --build build --target help | grep '^NorvaltDrvCli:' >/dev/null && echo NorvaltDrvCli)
(cd build && cpack -G DEB "$@")
