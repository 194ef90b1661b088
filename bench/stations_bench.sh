#!/usr/bin/env bash
# What a headless station costs, and how many fit on a core. One mosquitto on
# 127.0.0.1 and a free port, K simulated sensors (`kvex-sensor-sim --latency
# 0`, paced at the line's rate), K `kvex publish` stations, one to each
# sensor, publishing to bench/s1 ... bench/sK, and one mosquitto_sub taking
# bench/# at QoS 1 into a file. After a warm-up, each station's CPU time
# (utime + stime of the process, all its threads) is read from /proc over the
# measured seconds; then the stations are ended with SIGTERM, each drains its
# queue and says on standard error how many samples it measured, and the
# subscriber's file must hold every one of them.
#
# The first part is one station, run `runs` times: its median share of a core
# (goal: at most 0.5 %), its resident memory (at most 20 MB) and its
# wake-ups per exchange (voluntary context switches of all its threads over
# the samples it measured; at most 3). The second part does the same for
# each K: the median share per station (over all stations of all runs), the
# stations per core it allows (goal: at least 200), the total of the
# stations, and the samples lost (must be 0).
#
#   bench/stations_bench.sh [seconds, default 20] [runs, default 3] [K..., default 1 4 8 16]
#
# BIN (default build/release/bin) names the folder of kvex and kvex-sensor-sim.
# Ctrl+C stops everything it started, by process id.
set -euo pipefail
seconds=${1:-20}
runs=${2:-3}
shift $(($# < 2 ? $# : 2))
counts=("${@:-1 4 8 16}")
read -r -a counts <<<"${counts[*]}"
here=$(cd "$(dirname "$0")" && pwd)
bin=${BIN:-$here/../build/release/bin}
warmup=4
goal=0.5        # per cent of one core for one station at the line's rate
memory_goal=20  # MB resident
wake_goal=3     # wake-ups per exchange
per_core_goal=200

if [ ! -x "$bin/kvex" ] || [ ! -x "$bin/kvex-sensor-sim" ]; then
    echo "stations_bench: no $bin/kvex or kvex-sensor-sim; build the release tree first" >&2
    exit 1
fi
for tool in mosquitto mosquitto_sub python3; do
    command -v "$tool" >/dev/null || { echo "stations_bench: $tool is missing (scripts/setup.sh)" >&2; exit 1; }
done
tick=$(getconf CLK_TCK)

work=$(mktemp -d)
stations=() sensors=() others=()
end() {
    local p
    for p in "$@"; do kill "$p" 2>/dev/null || true; done
    for p in "$@"; do wait "$p" 2>/dev/null || true; done
}
# A wait that a signal ends at once: bash runs a trap only after the
# foreground command it waits for, so the sleep goes to the background.
napper=
nap() {
    sleep "$1" &
    napper=$!
    wait "$napper"
    napper=
}
stop_all() {
    [ -z "$napper" ] || kill "$napper" 2>/dev/null || true
    end "${stations[@]}" "${sensors[@]}" "${others[@]}"
    stations=() sensors=() others=()
}
on_exit() {
    trap - INT TERM EXIT
    stop_all
    rm -rf "$work"
}
trap on_exit EXIT
trap 'echo "stations_bench: interrupted" >&2; exit 130' INT TERM

# CPU seconds of a process so far, all its threads: utime and stime are the
# 14th and 15th fields, counted after the command name's closing parenthesis
# (a name may hold spaces).
cpu_ticks() {
    local stat
    stat=$(cat "/proc/$1/stat" 2>/dev/null) || { echo 0; return; }
    local -a f
    read -r -a f <<<"${stat##*) }"
    echo $((f[11] + f[12]))
}

free_port() {
    python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# Distinct sample numbers each station's measurement topic brought, as
# "station count" lines; QoS 1 may deliver one twice.
received() {
    awk '{
        split($1, t, "/")
        if (t[3] != "measurement") next
        if (!match($0, /"run": "[^"]*"/)) next
        run = substr($0, RSTART, RLENGTH)
        if (!match($0, /"sample": [0-9]+/)) next
        key = t[2] SUBSEP run SUBSEP substr($0, RSTART + 10, RLENGTH - 10)
        if (!(key in seen)) { seen[key] = 1; n[t[2]]++ }
    } END { for (s in n) print s, n[s] }' "$1"
}

# Voluntary context switches of a process so far, all its threads: each is a
# sleep that something woke.
wake_ups() {
    local t n=0 v
    for t in /proc/"$1"/task/*; do
        v=$(awk '/^voluntary_ctxt_switches/ { print $2 }' "$t/status" 2>/dev/null)
        n=$((n + ${v:-0}))
    done
    echo "$n"
}

median() { sort -g | awk '{ v[NR] = $1 } END { if (NR == 0) print 0; else if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# One run with K stations. Appends each station's share of a core (per cent)
# to $work/shares, and one line "total broker sensors lost rate" to $work/runs.
run_once() {
    local k=$1 i port dir
    dir=$work/run
    rm -rf "$dir"
    mkdir -p "$dir"
    port=$(free_port)
    printf 'persistence false\nmax_queued_messages 0\nallow_anonymous true\nlistener %s 127.0.0.1\n' \
        "$port" >"$dir/broker.conf"
    mosquitto -c "$dir/broker.conf" >"$dir/broker.log" 2>&1 &
    local broker=$!
    others+=("$broker")
    for _ in $(seq 50); do grep -qs 'running' "$dir/broker.log" 2>/dev/null && break; sleep 0.1; done
    # The subscriber first, so that it sees every sample.
    mosquitto_sub -h 127.0.0.1 -p "$port" -q 1 -v -t 'bench/#' >"$dir/received.txt" &
    others+=($!)
    sleep 0.3
    for i in $(seq "$k"); do
        "$bin/kvex-sensor-sim" --latency 0 >"$dir/sim$i.out" &
        sensors+=($!)
        for _ in $(seq 50); do grep -qs 'serving on' "$dir/sim$i.out" && break; sleep 0.1; done
        local device
        device=$(sed -n 's/.*serving on //p' "$dir/sim$i.out")
        [ -n "$device" ] || { echo "stations_bench: sensor $i did not start" >&2; exit 1; }
        "$bin/kvex" publish --port "$device" \
            --mqtt "mqtt://127.0.0.1:$port/bench/s$i" --quiet 2>"$dir/station$i.err" &
        stations+=($!)
    done
    nap "$warmup"

    local -a a=() b=() wa=() wb=()
    local sa sb ba bb got0 got1 t0 t1
    for i in "${!stations[@]}"; do
        a[i]=$(cpu_ticks "${stations[i]}")
        wa[i]=$(wake_ups "${stations[i]}")
    done
    sa=0; for p in "${sensors[@]}"; do sa=$((sa + $(cpu_ticks "$p"))); done
    ba=$(cpu_ticks "$broker")
    got0=$(received "$dir/received.txt" | awk '{ n += $2 } END { print n + 0 }')
    t0=$(date +%s.%N)
    nap "$seconds"
    t1=$(date +%s.%N)
    got1=$(received "$dir/received.txt" | awk '{ n += $2 } END { print n + 0 }')
    for i in "${!stations[@]}"; do
        b[i]=$(cpu_ticks "${stations[i]}")
        wb[i]=$(wake_ups "${stations[i]}")
        awk '/^VmRSS/ { print $2 / 1024 }' "/proc/${stations[i]}/status" >>"$work/memory"
    done
    sb=0; for p in "${sensors[@]}"; do sb=$((sb + $(cpu_ticks "$p"))); done
    bb=$(cpu_ticks "$broker")
    local wall
    wall=$(awk -v a="$t0" -v b="$t1" 'BEGIN { print b - a }')

    local total=0
    for i in "${!stations[@]}"; do
        kill -0 "${stations[i]}" 2>/dev/null || { echo "stations_bench: station $((i + 1)) ended early:" >&2; cat "$dir/station$((i + 1)).err" >&2; exit 1; }
        local share
        share=$(awk -v d=$((b[i] - a[i])) -v t="$tick" -v w="$wall" 'BEGIN { printf "%.4f", 100 * d / t / w }')
        echo "$share" >>"$work/shares"
        echo "$(((wb[i] - wa[i])))" "$wall" >>"$work/wakes"
        total=$(awk -v s="$total" -v x="$share" 'BEGIN { print s + x }')
    done

    # The stations end first: each sends what waits and says its count.
    local -a ended=("${stations[@]}")
    stations=()
    end "${ended[@]}"
    sleep 1
    end "${sensors[@]}" "${others[@]}"
    sensors=() others=()

    local lost=0 measured got all=0
    received "$dir/received.txt" >"$dir/counts"
    for i in $(seq "$k"); do
        measured=$(sed -n 's/.* \([0-9][0-9]*\) samples\{0,1\} measured.*/\1/p' "$dir/station$i.err" | tail -1)
        if [ -z "$measured" ]; then
            echo "stations_bench: station $i did not say its count:" >&2
            cat "$dir/station$i.err" >&2
            exit 1
        fi
        got=$(awk -v s="s$i" '$1 == s { print $2 }' "$dir/counts")
        got=${got:-0}
        all=$((all + measured))
        [ "$got" -ge "$measured" ] || lost=$((lost + measured - got))
    done
    awk -v t="$total" -v bd=$((bb - ba)) -v sd=$((sb - sa)) -v tk="$tick" -v w="$wall" \
        -v l="$lost" -v g=$((got1 - got0)) -v k="$k" -v m="$all" \
        'BEGIN { printf "%.4f %.4f %.4f %d %.3f %d\n", t, 100 * bd / tk / w, 100 * sd / tk / w, l, g / w / k, m }' \
        >>"$work/runs"
}

# Runs K stations `runs` times and sets share, total, broker, sims, rate and
# lost. Not in a subshell: the processes it starts must stay known to the
# traps that stop them.
measure() {
    local k=$1
    : >"$work/shares"
    : >"$work/runs"
    : >"$work/wakes"
    : >"$work/memory"
    for _ in $(seq "$runs"); do run_once "$k"; done
    share=$(median <"$work/shares")
    memory=$(median <"$work/memory")
    total=$(cut -d' ' -f1 "$work/runs" | median)
    broker=$(cut -d' ' -f2 "$work/runs" | median)
    sims=$(cut -d' ' -f3 "$work/runs" | median)
    rate=$(cut -d' ' -f5 "$work/runs" | median)
    lost=$(awk '{ n += $4 } END { print n + 0 }' "$work/runs")
    measured=$(awk '{ n += $6 } END { print n + 0 }' "$work/runs")
    # Per exchange: each station's wake-ups a second over the samples a
    # second that each station delivered in its run.
    wakes=$(paste -d' ' "$work/wakes" <(awk -v k="$k" '{ for (i = 0; i < k; i++) print $5 }' "$work/runs") |
        awk '{ print ($3 > 0 ? $1 / $2 / $3 : 0) }' | median)
}

echo "stations_bench: $(nproc) cores, $runs runs of $seconds s each after a ${warmup}-s warm-up, medians"
echo
echo "one headless station at the line's rate:"
measure 1
awk -v s="$share" -v g="$goal" -v r="$rate" -v l="$lost" -v m="$measured" -v mem="$memory" \
    -v mg="$memory_goal" -v w="$wakes" -v wg="$wake_goal" 'BEGIN {
    printf "  CPU %.2f %% of one core, %.2f samples/s delivered, %d of %d lost\n", s, r, l, m
    printf "  goal: at most %.1f %% of a core  ratio %.3f  %s\n", g, s / g, s <= g ? "met" : "MISSED"
    printf "  resident memory %.1f MB; goal at most %d MB  ratio %.3f  %s\n", mem, mg, mem / mg,
           mem <= mg ? "met" : "MISSED"
    printf "  wake-ups per exchange %.2f; goal at most %d  ratio %.3f  %s\n", w, wg, w / wg,
           w <= wg ? "met" : "MISSED"
}'
failed=0
awk -v s="$share" -v g="$goal" -v mem="$memory" -v mg="$memory_goal" -v w="$wakes" \
    -v wg="$wake_goal" 'BEGIN { exit !(s <= g && mem <= mg && w <= wg) }' || failed=1
[ "$lost" -eq 0 ] || failed=1

echo
echo "many stations against one broker (CPU as % of one core; samples/s per station):"
echo "  (goal: at least $per_core_goal stations per core, none lost)"
printf '  %4s  %11s  %13s  %12s  %6s  %7s  %9s  %8s  %s\n' K "per station" "stations/core" \
    "all stations" broker sensors "samples/s" "wake-ups" "lost of measured"
for k in "${counts[@]}"; do
    measure "$k"
    awk -v k="$k" -v s="$share" -v t="$total" -v b="$broker" -v m="$sims" -v r="$rate" \
        -v l="$lost" -v n="$measured" -v w="$wakes" \
        'BEGIN { printf "  %4d  %11.2f  %13.0f  %12.2f  %6.2f  %7.2f  %9.2f  %8.2f  %d of %d\n",
                 k, s, (s > 0 ? 100 / s : 0), t, b, m, r, w, l, n }'
    [ "$lost" -eq 0 ] || failed=1
    awk -v s="$share" -v g="$per_core_goal" 'BEGIN { exit !(s > 0 && 100 / s >= g) }' || failed=1
done
exit "$failed"
