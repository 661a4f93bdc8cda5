#!/usr/bin/env bash
# Installs every Debian package that the build, the tests, the bench kit, the
# benchmarks, the fuzzers and the demo need. Idempotent and non-interactive;
# quiet when everything is present.
#
# Packages go in with --no-install-recommends, so every package a test imports
# or runs is named here, also when another package only recommends it
# (python3-pymodbus only recommends python3-serial-asyncio, which its serial
# client imports). scripts/fresh-root-check.sh proves the list on an empty
# Debian root; scripts/preflight.sh names a missing package before the tests.
#
# With "--cross ARCH" (armhf or arm64, may be repeated) it also installs what
# the board build needs: Debian's cross compiler, libmodbus, libsystemd,
# GoogleTest and the C++ runtime of that architecture (multiarch), and qemu-user to run the
# tests. The host packages stay: the ARM unit tests use the host's bench kit.
#
# With "--checks" it also installs what the full test command's own checks
# use: mmdebstrap and mount (fresh-root check), lintian, systemd-analyze, file and
# qemu-user (package check), systemd-nspawn (boot check, by hand).
#
# With "--list" it installs nothing and prints the packages it would install
# on an empty machine (one a line, for the options given with it).
set -euo pipefail

PACKAGES=(
  build-essential cmake ninja-build pkg-config
  libmodbus-dev libsystemd-dev libgtest-dev libgmock-dev googletest libbenchmark-dev libssl-dev
  clang libclang-rt-14-dev
  python3 python3-pytest python3-paho-mqtt python3-pymodbus python3-serial
  python3-serial-asyncio
  mosquitto
  procps iproute2
)

usage() {
  echo "usage: install-deps.sh [--list] [--checks] [--cross armhf|arm64]..." >&2
  exit 2
}

cross_arches=()
list=0
checks=0
while [ $# -gt 0 ]; do
  case "$1" in
    --cross)
      case "${2:-}" in
        armhf | arm64) cross_arches+=("$2") ;;
        *) echo "install-deps.sh: --cross takes armhf or arm64" >&2; exit 2 ;;
      esac
      shift 2 ;;
    --list) list=1; shift ;;
    --checks) checks=1; shift ;;
    *) usage ;;
  esac
done

if [ $checks -eq 1 ]; then
  PACKAGES+=(mmdebstrap mount lintian systemd systemd-container file qemu-user clang-format clang-tidy)
fi

if [ ${#cross_arches[@]} -gt 0 ]; then
  PACKAGES+=(file qemu-user)
  for a in "${cross_arches[@]}"; do
    case "$a" in
      armhf) triplet=arm-linux-gnueabihf ;;
      arm64) triplet=aarch64-linux-gnu ;;
    esac
    # libstdc++6 of the architecture: qemu runs the tests on its runtime.
    PACKAGES+=("g++-${triplet}" "libmodbus-dev:${a}" "libsystemd-dev:${a}" "libgtest-dev:${a}" "libgmock-dev:${a}"
               "libstdc++6:${a}")
  done
fi

if [ $list -eq 1 ]; then
  printf '%s\n' "${PACKAGES[@]}" | awk '!seen[$0]++'
  exit 0
fi

new_arches=()
foreign=" $(dpkg --print-foreign-architectures | tr '\n' ' ') "
for a in "${cross_arches[@]}"; do
  case "$foreign" in *" $a "*) ;; *) new_arches+=("$a") ;; esac
done

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep "install ok installed" >/dev/null; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
for a in "${new_arches[@]}"; do
  $SUDO dpkg --add-architecture "$a"
done
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
# The bench kit starts its own brokers; the packaged service is not needed.
if command -v systemctl >/dev/null 2>&1 && [ ${#cross_arches[@]} -eq 0 ]; then
  $SUDO systemctl disable --now mosquitto >/dev/null 2>&1 || true
fi
