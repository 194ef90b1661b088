#!/usr/bin/env bash
# Checks the code's format, builds everything with warnings and the address
# and undefined-behaviour sanitizers, then runs every test offscreen under
# CTest.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
# The code keeps one format: a file that clang-format would change fails the run.
find . -path ./build -prune -o \( -name '*.cpp' -o -name '*.h' \) -print0 |
  xargs -0 clang-format --dry-run -Werror
cmake -G Ninja -S . -B build/test -DCMAKE_BUILD_TYPE=Debug -DKVEX_SANITIZE=ON >/dev/null
cmake --build build/test
# The Debian package's release build, before the tests rather than among them
# (its test then only repacks and checks it).
scripts/package.sh >/dev/null
export QT_QPA_PLATFORM=offscreen ASAN_OPTIONS=detect_leaks=0
ctest --test-dir build/test --output-on-failure -j2 --timeout 300
