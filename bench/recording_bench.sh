# Sourced by the recording benchmarks: the large recording they read and
# their timing, one of each.
#
# write_recording LINES FILE: a CSV recording as the recorder writes it. A
# target swinging slowly about 37 mm with a little noise at 0.25 um a unit,
# judged against 36.985 to 37.010 mm, one line every 38 ms as run mode
# delivers them; the exact value last.
write_recording() {
    awk -v n="$1" 'BEGIN {
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
    }' >"$2"
    echo "$(wc -l <"$2") lines, $(du -m "$2" | cut -f1) MB: $2"
}

now() { date +%s.%N; }
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
# The median of $repeats runs of a command, in seconds.
time_of() {
    for _ in $(seq "$repeats"); do
        start=$(now)
        "$@" >/dev/null
        end=$(now)
        echo "$end - $start" | bc -l
    done | median
}
