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
. "$here/recording_bench.sh"
kvex=${KVEX:-$here/../build/release/bin/kvex}
command -v datamash >/dev/null || { echo "datamash is not installed (apt-get install datamash)" >&2; exit 1; }
[ -x "$kvex" ] || { echo "no $kvex: build it first (scripts/run.sh)" >&2; exit 1; }

dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT INT TERM
file=$dir/large.csv

write_recording "$lines" "$file"

# Once each: the file in the page cache, and both answers side by side.
echo "kvex:     $("$kvex" stats --json "$file" | sed 's/.*"mean_mm": \([^,]*\), "sigma_mm": \([^,]*\),.*/mean \1 sigma \2/')"
echo "datamash: $(datamash -t, --header-in mean 15 sstdev 15 <"$file" | awk -F'[,\t]' '{ printf "mean %.6f sigma %.6f\n", $1 / 1000, $2 / 1000 }')"

k=$(time_of "$kvex" stats --json "$file")
d=$(time_of sh -c "datamash -t, --header-in mean 15 sstdev 15 <'$file'")
printf 'kvex stats: %.3f s   datamash: %.3f s   (medians of %d)\n' "$k" "$d" "$repeats"
printf 'datamash / kvex stats = %.2f (above 1: kvex stats is faster)\n' "$(echo "$d / $k" | bc -l)"
