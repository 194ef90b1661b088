// Replay of a large recording: writes a CSV recording of N samples (a target
// that swings and now and then leaves its tolerance), opens it as the Replay
// button does and prints the time to the first frame, the time until the whole
// file is indexed, the peak memory of the process (VmHWM) and the time a seek
// anywhere takes until the views are painted (median and worst of many).
//
//   build/release/bin/replay_bench [samples, default 1000000] [seeks, default 200]
#include <qcustomplot.h>

#include <QApplication>
#include <QWidget>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <random>
#include <string>
#include <vector>

#include "kvex_main.h"
#include "replay.h"
#include "ui.h"

namespace {

int replots = 0;

void CountReplots() {
    for (QWidget *w : QApplication::allWidgets())
        if (auto *plot = qobject_cast<QCustomPlot *>(w))
            QObject::connect(plot, &QCustomPlot::afterReplot, [] { ++replots; });
}

// Runs the event loop until a chart was drawn again: what a seek changed has
// reached the screen, on the frame clock the program paints by.
void UntilPainted() {
    const int before = replots;
    const double until = Timer() + 1.0;
    while (replots == before && Timer() < until) ProcessSystemEventsUntil(until);
}

long VmKb(const char *field) {
    FILE *f = std::fopen("/proc/self/status", "r");
    if (!f) return -1;
    char line[256];
    long kb = -1;
    const std::size_t n = std::strlen(field);
    while (std::fgets(line, sizeof line, f))
        if (std::strncmp(line, field, n) == 0) kb = std::atol(line + n + 1);
    std::fclose(f);
    return kb;
}

bool WriteRecording(const std::string &path, long samples) {
    FILE *f = std::fopen(path.c_str(), "w");
    if (!f) return false;
    std::fprintf(f,
                 "sample,time,A [pixel],B [pixel],measured value [units],measured value "
                 "[\xC2\xB5m],edges A,edges B,lower limit [\xC2\xB5m],upper limit "
                 "[\xC2\xB5m],setpoint [\xC2\xB5m],verdict\n");
    std::mt19937 noise(7);
    std::normal_distribution<double> jitter(0, 6);
    const long long start = 1796698800000LL;  // 2026-12-08 03:00 UTC, 100 ms apart
    for (long i = 0; i < samples; ++i) {
        int units = 2000 + static_cast<int>(30 * std::sin(i / 400.0) + jitter(noise));
        if (i % 20000 > 19990) units += 90;  // a short excursion now and then
        const int um = 37000 + (units - 2000) / 4;
        const char *verdict = um < 36985 ? "below" : um > 37010 ? "above" : "inside";
        const long long ms = start + i * 100LL;
        const std::time_t seconds = static_cast<std::time_t>(ms / 1000);
        tm utc{};
        gmtime_r(&seconds, &utc);
        char when[32];
        std::strftime(when, sizeof when, "%Y-%m-%dT%H:%M:%S", &utc);
        std::fprintf(f, "%ld,%s.%03lld+00:00,%d,2100,%d,%d,1,1,36985,37010,37000,%s\n", i + 1, when,
                     ms % 1000, units, units, um, verdict);
    }
    return std::fclose(f) == 0;
}

}  // namespace

int main(int argc, char **argv) {
    const long samples = argc > 1 ? std::atol(argv[1]) : 1000000;
    const int seeks = argc > 2 ? std::atoi(argv[2]) : 200;
    const std::string path = "/tmp/kvex_replay_bench.csv";
    std::printf("writing %ld samples to %s ...\n", samples, path.c_str());
    if (!WriteRecording(path, samples)) return 1;
    if (InitRunTime(argc, argv) < 0 || LoadKVexPanels() < 0) return 1;
    StartKVex(false);
    for (double t = Timer(); Timer() - t < 0.5;) ProcessSystemEvents();
    CountReplots();
    const long baseKb = VmKb("VmHWM:");

    const double t0 = Timer();
    if (!BeginReplay(path.c_str())) return 1;
    UntilPainted();
    const double firstFrame = Timer() - t0;
    while (!ReplayIndexComplete()) ProcessSystemEvents();
    const double indexed = Timer() - t0;

    std::mt19937 pick(11);
    std::uniform_int_distribution<unsigned long> anywhere(0, ReplayCount() - 1);
    std::vector<double> times, work;
    for (int i = 0; i < seeks; ++i) {
        const double s0 = Timer();
        ReplaySeek(anywhere(pick));
        work.push_back(Timer() - s0);
        UntilPainted();
        times.push_back(Timer() - s0);
    }
    std::sort(times.begin(), times.end());
    std::sort(work.begin(), work.end());
    const long peakKb = VmKb("VmHWM:");
    std::printf("samples indexed:        %lu\n", ReplayCount());
    std::printf("first frame:            %.0f ms (goal <= 1000 ms)\n", firstFrame * 1000);
    std::printf("whole file indexed:     %.0f ms (while the first frame is shown)\n",
                indexed * 1000);
    std::printf("peak memory (VmHWM):    %.1f MB, of it the replay %.1f MB (goal <= 100 MB)\n",
                peakKb / 1024.0, (peakKb - baseKb) / 1024.0);
    std::printf("seek until painted, median of %d: %.1f ms, worst %.1f ms (goal <= 50 ms)\n", seeks,
                times[times.size() / 2] * 1000, times.back() * 1000);
    std::printf(
        "  of it the seek itself: %.1f ms, worst %.1f ms; the rest is the wait for the "
        "next frame and the paint\n",
        work[work.size() / 2] * 1000, work.back() * 1000);
    EndReplay();
    std::remove(path.c_str());
    DiscardKVexPanels();
    CloseRunTime();
    return 0;
}
