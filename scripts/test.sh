#!/usr/bin/env bash
# The whole test suite: installs what is missing, builds, and runs every test
# (unit and system) in the default build, then again in the AddressSanitizer +
# UBSan build and in the ThreadSanitizer build; then runs every fuzz target
# briefly and the unit tests of the ARM builds under qemu.
#   scripts/test.sh           everything (what CI runs)
#   scripts/test.sh --quick   the default build only
set -euo pipefail
cd "$(dirname "$0")/.."

quick=0
[ "${1:-}" = "--quick" ] && quick=1

scripts/install-deps.sh

jobs=$(nproc)
presets=(default)
[ $quick -eq 1 ] || presets+=(asan tsan)
for preset in "${presets[@]}"; do
  echo "=== ${preset} build"
  cmake --preset "${preset}" >/dev/null
  cmake --build --preset "${preset}" -j "${jobs}"
  echo "=== ${preset} tests"
  ctest --preset "${preset}" -j "${jobs}"
done
[ $quick -eq 1 ] && exit 0

if [ -x scripts/fuzz.sh ]; then
  echo "=== fuzz targets, briefly"
  scripts/fuzz.sh "${QUORVANE_FUZZ_SECONDS:-5}"
fi
echo "=== ARM builds under qemu"
scripts/cross-test.sh all
