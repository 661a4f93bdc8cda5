#!/usr/bin/env bash
# The whole test suite: installs what is missing, builds, runs every test in the
# default build, then the same suite in the AddressSanitizer + UBSan build.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

jobs=$(nproc)
for preset in default asan; do
  echo "=== ${preset} build"
  cmake --preset "${preset}" >/dev/null
  cmake --build --preset "${preset}" -j "${jobs}"
  echo "=== ${preset} tests"
  ctest --preset "${preset}" -j "${jobs}"
done
