#!/usr/bin/env bash
# Runs the whole test suite N times (default 3) while two busy processes take
# the CPU beside it, as a second build on the same machine would. A test that
# fails here depends on an idle machine: it waits for a time instead of for
# the event it needs. Prints each failing test with how often it failed and
# exits non-zero when any did.
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-3}
case "$runs" in '' | *[!0-9]* | 0)
  echo "usage: scripts/soak-tests.sh [RUNS]" >&2
  exit 2
  ;;
esac

scripts/setup.sh
cmake -G Ninja -S . -B build/test -DCMAKE_BUILD_TYPE=Debug -DKVEX_SANITIZE=ON >/dev/null
cmake --build build/test
# The package's test repacks this build; made before the load starts.
scripts/package.sh >/dev/null

load=()
stop_load() {
  for pid in "${load[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${load[@]}"; do wait "$pid" 2>/dev/null || true; done
  load=()
}
trap stop_load EXIT
for _ in 1 2; do
  sh -c 'while :; do :; done' &
  load+=($!)
done

logs=build/test/soak
rm -rf "$logs"
mkdir -p "$logs"
export QT_QPA_PLATFORM=offscreen ASAN_OPTIONS=detect_leaks=0
for ((run = 1; run <= runs; run++)); do
  start=$(date +%s)
  ctest --test-dir build/test -j2 --timeout 300 --output-on-failure >"$logs/run-$run.log" 2>&1 ||
    true
  summary=$(grep -E '^[0-9]+% tests passed' "$logs/run-$run.log" || echo "no summary")
  echo "run $run of $runs: $summary in $(($(date +%s) - start)) s (log: $logs/run-$run.log)"
  # CTest's closing list: "  123 - Suite.Case (Failed)".
  sed -n '/^The following tests FAILED:/,$p' "$logs/run-$run.log" |
    sed -n 's/^[[:space:]]*[0-9]* - \([^ ]*\) (.*/\1/p' >>"$logs/failed.txt"
done
stop_load

if [ -s "$logs/failed.txt" ]; then
  echo "failing tests (times failed of $runs runs):"
  sort "$logs/failed.txt" | uniq -c | sort -rn
  exit 1
fi
echo "no test failed in $runs runs under load"
