#!/bin/sh
# How long `kvex report` takes on a 1,000,000-sample recording, beside
# `kvex stats --json` on the same file: the report reads the file as the
# statistics do, then draws the charts and writes the PDF. Writes the
# recording as the recorder writes it (a slow swing with noise and runs beyond
# the limits, in a temporary folder removed at the end), reads it once to
# have it in the page cache, then prints the medians of a number of runs.
#
#   bench/report_bench.sh [lines, default 1000000] [repeats, default 5]
#
# KVEX (default build/release/bin/kvex) names the program to time.
set -eu
lines=${1:-1000000}
repeats=${2:-5}
here=$(dirname "$0")
kvex=${KVEX:-$here/../build/release/bin/kvex}
[ -x "$kvex" ] || { echo "no $kvex: build it first (scripts/run.sh)" >&2; exit 1; }

dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT INT TERM
file=$dir/large.csv
awk -v n="$lines" 'BEGIN {
    srand(1);
    printf "sample,time,A [pixel],B [pixel],measured value [units],measured value [\302\265m],"
    printf "edges A,edges B,lower limit [\302\265m],upper limit [\302\265m],setpoint [\302\265m],verdict,"
    printf "scale [\302\265m/unit],setpoint [units],measured value exact [\302\265m]\n"
    t = 1765170000000
    for (i = 1; i <= n; i++) {
        u = int(2000 + 80 * sin(i / 500) + 16 * (rand() - 0.5))
        exact = 37000 + (u - 2000) * 0.25
        um = 37000 + int((u - 2000) / 4)
        v = exact < 36985 ? "below" : exact > 37010 ? "above" : "inside"
        ms = t + i * 38
        s = int(ms / 1000)
        printf "%d,2025-12-08T%02d:%02d:%02d.%03d+00:00,%d,%d,%d,%d,1,1,36985,37010,37000,%s,0.25,2000,%.2f\n",
               i, int(s / 3600) % 24, int(s / 60) % 60, s % 60, ms % 1000,
               u, u + 100, u, um, v, exact
    }
}' >"$file"
echo "$(wc -l <"$file") lines, $(du -m "$file" | cut -f1) MB: $file"
"$kvex" stats "$file" >/dev/null

now() { date +%s.%N; }
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
time_of() {
    for _ in $(seq "$repeats"); do
        start=$(now)
        "$@" >/dev/null
        end=$(now)
        echo "$end - $start" | bc -l
    done | median
}
r=$(time_of "$kvex" report "$file" -o "$dir/report.pdf" --part bench)
s=$(time_of "$kvex" stats --json "$file")
printf 'kvex report: %.3f s   kvex stats: %.3f s   (medians of %d), report %s KB\n' \
    "$r" "$s" "$repeats" "$(du -k "$dir/report.pdf" | cut -f1)"
