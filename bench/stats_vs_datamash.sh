#!/bin/sh
# How fast `kvex stats` reads a large recording, against GNU datamash
# computing the mean and sample standard deviation of the same column of the
# same file. Writes a CSV recording as the recorder writes it (two million
# lines by default, about 170 MB, in a temporary folder that is removed at
# the end), reads it once with each to have it in the page cache, then times
# both a number of times and prints the medians and their ratio.
#
#   bench/stats_vs_datamash.sh [lines, default 2000000] [repeats, default 5]
#
# KVEX (default build/release/bin/kvex) names the program to time.
set -eu
lines=${1:-2000000}
repeats=${2:-5}
here=$(dirname "$0")
kvex=${KVEX:-$here/../build/release/bin/kvex}
command -v datamash >/dev/null || { echo "datamash is not installed (apt-get install datamash)" >&2; exit 1; }
[ -x "$kvex" ] || { echo "no $kvex: build it first (scripts/run.sh)" >&2; exit 1; }

dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT INT TERM
file=$dir/large.csv

# A target swinging slowly about 37 mm with a little noise at 0.25 um a unit,
# judged against 36.985 to 37.010 mm, one line every 38 ms as run mode
# delivers them; the exact value last, as the recorder writes it.
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

now() { date +%s.%N; }
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# Once each: the file in the page cache, and both answers side by side.
echo "kvex:     $("$kvex" stats --json "$file" | sed 's/.*"mean_mm": \([^,]*\), "sigma_mm": \([^,]*\),.*/mean \1 sigma \2/')"
echo "datamash: $(datamash -t, --header-in mean 15 sstdev 15 <"$file" | awk -F'[,\t]' '{ printf "mean %.6f sigma %.6f\n", $1 / 1000, $2 / 1000 }')"

time_of() {
    for _ in $(seq "$repeats"); do
        start=$(now)
        "$@" >/dev/null
        end=$(now)
        echo "$end - $start" | bc -l
    done | median
}
k=$(time_of "$kvex" stats --json "$file")
d=$(time_of sh -c "datamash -t, --header-in mean 15 sstdev 15 <'$file'")
printf 'kvex stats: %.3f s   datamash: %.3f s   (medians of %d)\n' "$k" "$d" "$repeats"
printf 'datamash / kvex stats = %.2f (above 1: kvex stats is faster)\n' "$(echo "$d / $k" | bc -l)"
