#!/usr/bin/env bash
# The board build: cross-compiles the daemon and the unit tests for ARM with
# Debian's cross compilers (installing them on first use) and runs the unit
# tests under qemu-user.
#
#   scripts/cross-test.sh [armhf|arm64|all]        (default: all)
#
# Build trees: build-armhf/, build-arm64/ (presets of the same names).
# CROSS_TEST_EXCLUDE, when set, is a ctest regular expression naming unit
# tests to leave out under qemu (discovered tests are named Suite.Case).
set -euo pipefail
cd "$(dirname "$0")/.."

case "${1:-all}" in
  armhf | arm64) arches=("$1") ;;
  all) arches=(armhf arm64) ;;
  *) echo "usage: scripts/cross-test.sh [armhf|arm64|all]" >&2; exit 2 ;;
esac

deps=()
for arch in "${arches[@]}"; do deps+=(--cross "$arch"); done
scripts/install-deps.sh "${deps[@]}"

jobs=$(nproc)
for arch in "${arches[@]}"; do
  echo "=== ${arch} build"
  cmake --preset "${arch}" >/dev/null
  cmake --build --preset "${arch}" -j "${jobs}"
  # The daemon must be an ARM executable, not a host one picked up by mistake.
  kind=$(file -b "build-${arch}/quorvane")
  case "${arch}:${kind}" in
    armhf:*"32-bit"*"ARM, EABI5"* | arm64:*"64-bit"*"ARM aarch64"*) echo "quorvane: ${kind%%, BuildID*}" ;;
    *) echo "build-${arch}/quorvane is not a ${arch} executable: ${kind}" >&2; exit 1 ;;
  esac
  echo "=== ${arch} unit tests under qemu"
  ctest --preset "${arch}" -j "${jobs}" ${CROSS_TEST_EXCLUDE:+-E "${CROSS_TEST_EXCLUDE}"}
done
