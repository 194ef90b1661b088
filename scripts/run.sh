#!/usr/bin/env bash
# Builds the front-end and starts it with the simulated sensor on port 1.
# Extra arguments go to kvex (e.g. --port /dev/ttyUSB0 instead of --simulate).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake -G Ninja -S . -B build/release -DCMAKE_BUILD_TYPE=Release -DKVEX_TESTS=OFF >/dev/null
cmake --build build/release --target kvex kvex-sensor-sim
if [ $# -eq 0 ]; then set -- --simulate; fi
exec build/release/bin/kvex "$@"
