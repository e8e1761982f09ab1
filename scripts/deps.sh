#!/usr/bin/env bash
# Installs the Debian 12 packages the build and the tests need (only when one is missing).
# pkg-config and libmodbus-dev serve only the tests and benchmark that talk to libmodbus; the
# product builds without them. qt6-base-dev builds the operator console (qt6-translations-l10n
# gives Qt's own texts in its language); fonts-dejavu-core,
# xvfb and xauth serve its window tests and screenshot; faketime moves the
# soak's service's wall clock.
set -euo pipefail
PKGS="cmake ninja-build g++ clang clang-format libclang-rt-14-dev libgtest-dev libgmock-dev libbenchmark-dev pkg-config libmodbus-dev qt6-base-dev qt6-translations-l10n fonts-dejavu-core xvfb xauth faketime"
if ! dpkg -s $PKGS >/dev/null 2>&1; then
  SUDO=""; [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  export DEBIAN_FRONTEND=noninteractive
  # On a fresh Debian 12 this is about 400 packages with their dependencies (a few minutes):
  # apt's own lines show how far it got. decisions BUILD-13
  echo "deps.sh: installing the Debian packages the build and the tests need"
  $SUDO apt-get update -q
  $SUDO apt-get install -y -q $PKGS
fi
