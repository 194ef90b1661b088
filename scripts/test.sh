#!/usr/bin/env bash
# Builds everything with warnings and the address and undefined-behaviour
# sanitizers, then runs every test offscreen under CTest.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake -G Ninja -S . -B build/test -DCMAKE_BUILD_TYPE=Debug -DKVEX_SANITIZE=ON >/dev/null
cmake --build build/test
export QT_QPA_PLATFORM=offscreen ASAN_OPTIONS=detect_leaks=0
ctest --test-dir build/test --output-on-failure -j2 --timeout 300
