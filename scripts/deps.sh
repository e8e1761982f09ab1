#!/usr/bin/env bash
# Installs the Debian 12 packages the build and the tests need (only when one is missing).
# pkg-config and libmodbus-dev serve only the tests and benchmark that talk to libmodbus; the
# product builds without them. qt6-base-dev builds the operator console; fonts-dejavu-core,
# xvfb and xauth serve its window tests and screenshot.
set -euo pipefail
PKGS="cmake ninja-build g++ clang clang-format libclang-rt-14-dev libgtest-dev libgmock-dev libbenchmark-dev pkg-config libmodbus-dev qt6-base-dev qt6-translations-l10n fonts-dejavu-core xvfb xauth"
if ! dpkg -s $PKGS >/dev/null 2>&1; then
  SUDO=""; [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq $PKGS >/dev/null
fi
