#!/usr/bin/env bash
# Installs every Debian package that the build, the tests, the bench kit, the
# benchmarks, the fuzzers and the demo need. Idempotent and non-interactive;
# quiet when everything is present.
set -euo pipefail

PACKAGES=(
  build-essential cmake ninja-build pkg-config
  libmodbus-dev libgtest-dev libgmock-dev googletest libbenchmark-dev libssl-dev
  clang libclang-rt-14-dev
  python3 python3-pytest python3-paho-mqtt python3-pymodbus python3-serial
  mosquitto
  procps iproute2
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
# The bench kit starts its own brokers; the packaged service is not needed.
if command -v systemctl >/dev/null 2>&1; then
  $SUDO systemctl disable --now mosquitto >/dev/null 2>&1 || true
fi
