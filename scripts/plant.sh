#!/usr/bin/env bash
# A plant in a box: one MQTT broker, three simulated sensors and three
# headless front-ends publishing every measured value, and mosquitto_sub
# showing the three streams as the plant's systems would get them.
# Ctrl+C stops everything this script started, by process id.
#
#   scripts/plant.sh [build folder, default build/release]
set -euo pipefail
cd "$(dirname "$0")/.."
bin="${1:-build/release}/bin"
[ -x "$bin/kvex" ] || { echo "plant.sh: no $bin/kvex; build first (scripts/run.sh builds it)" >&2; exit 1; }
command -v mosquitto >/dev/null || { echo "plant.sh: mosquitto is missing (scripts/setup.sh)" >&2; exit 1; }

work="$(mktemp -d)"
stations=() sensors=() others=()
end() {
    for p in "$@"; do kill "$p" 2>/dev/null || true; done
    for p in "$@"; do wait "$p" 2>/dev/null || true; done
}
stop() {
    trap - INT TERM EXIT
    # The front-ends first, so that each sends what waits and its offline
    # state; then the sensors; the broker and the subscriber last.
    end "${stations[@]}"
    sleep 0.3
    end "${sensors[@]}" "${others[@]}"
    rm -rf "$work"
    echo "plant.sh: stopped"
}
trap stop INT TERM EXIT

port="$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')"
printf 'persistence false\nallow_anonymous true\nlistener %s 127.0.0.1\n' "$port" >"$work/broker.conf"
mosquitto -c "$work/broker.conf" >"$work/broker.log" 2>&1 &
broker=$!
sleep 0.5
echo "plant.sh: broker on 127.0.0.1:$port"

# The subscriber starts before the stations, so it sees every state change.
mosquitto_sub -h 127.0.0.1 -p "$port" -q 1 -v -t 'plant/#' &
others=($! "$broker")

for n in 1 2 3; do
    "$bin/kvex-sensor-sim" >"$work/sim$n.out" &
    sensors+=($!)
    for _ in $(seq 50); do grep -q 'serving on' "$work/sim$n.out" && break; sleep 0.1; done
    device="$(sed -n 's/.*serving on //p' "$work/sim$n.out")"
    "$bin/kvex" publish --port "$device" \
        --mqtt "mqtt://127.0.0.1:$port/plant/station$n" --quiet &
    stations+=($!)
    echo "plant.sh: station $n: sensor on $device, topics plant/station$n/..."
done
echo "plant.sh: Ctrl+C stops the plant"
wait "$broker" || true
