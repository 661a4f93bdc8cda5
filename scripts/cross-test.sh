#!/usr/bin/env bash
# The board build: cross-compiles the daemon and the unit tests for ARM with
# Debian's cross compilers (installing them on first use) and runs the unit
# tests under qemu-user.
#
#   scripts/cross-test.sh [armhf|arm64|all]        (default: all)
#
# Build trees: build-armhf/, build-arm64/ (presets of the same names), and
# build-host/ for the bench-kit binaries that the unit tests start (simulated
# Modbus devices): those are the host's devices, so they run natively.
#
# CROSS_TEST_EXCLUDE is a ctest regular expression of unit tests to leave out
# (gtest discovery names them Suite.Case). Unset, it leaves out the tests that
# qemu-user cannot run; set it to "" to run everything.
set -euo pipefail
cd "$(dirname "$0")/.."

# A "threadsafe" death test re-executes the test binary, which needs the
# kernel to run ARM programs itself (binfmt_misc), which a CI machine need not
# have. (qemu-user 7.2 carries terminal speeds only up to 460800 baud: the
# serial tests stay at or below it.)
qemu_limits='^(StartupThreadsDeathTest\..*)$'
exclude=${CROSS_TEST_EXCLUDE-$qemu_limits}

case "${1:-all}" in
  armhf | arm64) arches=("$1") ;;
  all) arches=(armhf arm64) ;;
  *) echo "usage: scripts/cross-test.sh [armhf|arm64|all]" >&2; exit 2 ;;
esac

deps=()
for arch in "${arches[@]}"; do deps+=(--cross "$arch"); done
scripts/install-deps.sh "${deps[@]}"

jobs=$(nproc)
echo "=== host bench kit"
cmake -S . -B build-host -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQUORVANE_BUILD_TESTS=OFF -DQUORVANE_BUILD_BENCH=OFF -DQUORVANE_BUILD_TOOLS=ON >/dev/null
cmake --build build-host --target tools/all -j "${jobs}"

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
  # The tests look for the bench kit next to their own binary.
  for tool in build-host/*; do
    [ -f "${tool}" ] && [ -x "${tool}" ] || continue
    link="build-${arch}/${tool##*/}"
    [ -e "${link}" ] && [ ! -L "${link}" ] && continue  # never hide an ARM binary
    ln -sfn "../${tool}" "${link}"
  done
  echo "=== ${arch} unit tests under qemu"
  ctest --preset "${arch}" -j "${jobs}" ${exclude:+-E "${exclude}"}
done
