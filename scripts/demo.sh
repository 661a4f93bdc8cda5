#!/usr/bin/env bash
# The gateway on the bench kit: installs what is missing, builds the daemon and
# the simulated Modbus devices, and runs tools/demo.py, which starts every
# simulator and the daemon under a temporary QUORVANE_ROOT and shows what the
# daemon logs and what the server receives. Ctrl-C stops everything.
#
#   scripts/demo.sh                  UDP frames to the report server
#   scripts/demo.sh --mqtt [--json]  MQTT publications through a local mosquitto
#   scripts/demo.sh --duration 60    stop by itself after 60 s
#   scripts/demo.sh --help           every option
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)" --target quorvane modbus_sim
exec /usr/bin/python3 tools/demo.py --build-dir build "$@"
