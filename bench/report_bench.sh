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
. "$here/recording_bench.sh"
kvex=${KVEX:-$here/../build/release/bin/kvex}
[ -x "$kvex" ] || { echo "no $kvex: build it first (scripts/run.sh)" >&2; exit 1; }

dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT INT TERM
file=$dir/large.csv
write_recording "$lines" "$file"
"$kvex" stats "$file" >/dev/null

r=$(time_of "$kvex" report "$file" -o "$dir/report.pdf" --part bench)
s=$(time_of "$kvex" stats --json "$file")
printf 'kvex report: %.3f s   kvex stats: %.3f s   (medians of %d), report %s KB\n' \
    "$r" "$s" "$repeats" "$(du -k "$dir/report.pdf" | cut -f1)"
