// Run mode and video mode against the simulated sensor over a real
// pseudo-terminal: exchanges per second against what a 19200-baud line can
// carry, and the front-end's own CPU time (its thread only; the simulated
// sensor runs on a thread of its own).
//
//   build/release/bin/modes_bench [seconds per measurement, default 5]
#include <sys/resource.h>

#include <QApplication>
#include <QTimer>
#include <cstdio>
#include <cstdlib>

#include "com232.h"
#include "kvex_main.h"
#include "modes.h"
#include "rs232.h"
#include "sensor_sim.h"
#include "ui.h"

namespace {

// 36-byte request and 36-byte reply of 10 bits each per exchange; a video
// cycle adds four 36-byte block requests and four 128-byte blocks.
constexpr double kBaud = 19200.0;
constexpr double kRunBytes = 72.0;
constexpr double kVideoBytes = 72.0 + 4 * (36.0 + 128.0);

double ThreadCpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_THREAD, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

struct Result {
    double perSecond;
    double cpuShare;
    double cpuPerExchangeMs;
};

// Runs one mode for the given time; the loop ends through stop_flag as the
// operator's stop button would end it.
Result Measure(kvexsim::SensorSim &sensor, void (*mode)(), int command, double seconds) {
    // A reply to the last request of the mode before may still be under way;
    // an operator's next click comes later than that.
    const double settle = Timer();
    while (Timer() - settle < 0.2) ProcessSystemEvents();
    sensor.clearRequests();
    QTimer::singleShot(static_cast<int>(seconds * 1000), [] { stop_flag = 1; });
    const double cpu0 = ThreadCpuSeconds(), t0 = Timer();
    mode();
    const double wall = Timer() - t0, cpu = ThreadCpuSeconds() - cpu0;
    const double n = sensor.commandCount(static_cast<std::uint16_t>(command));
    return {n / wall, cpu / wall, n > 0 ? 1000.0 * cpu / n : 0.0};
}

void Report(const char *name, const Result &r, double lineLimit, bool paced) {
    if (paced)
        std::printf(
            "%-11s paced:    %7.2f /s = %5.1f %% of the line's %.2f /s; CPU %4.1f %% of one core\n",
            name, r.perSecond, 100.0 * r.perSecond / lineLimit, lineLimit, 100.0 * r.cpuShare);
    else
        std::printf("%-11s unpaced:  %7.1f /s; CPU %5.3f ms per exchange (%4.1f %% of one core)\n",
                    name, r.perSecond, r.cpuPerExchangeMs, 100.0 * r.cpuShare);
}

}  // namespace

int main(int argc, char **argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 5.0;
    if (InitRunTime(argc, argv) < 0) return 1;
    kvexsim::SensorSim sensor;
    if (!sensor.start()) return 1;
    SetComPortDevice(1, sensor.devicePath().c_str());
    if (LoadKVexPanels() < 0) return 1;
    StartKVex(true);

    const double runLimit = kBaud / 10.0 / kRunBytes;
    const double videoLimit = kBaud / 10.0 / kVideoBytes;
    for (bool paced : {true, false}) {
        sensor.setPaced(paced);
        Report("run mode", Measure(sensor, PushRUN, 8, seconds), runLimit, paced);
        Report("video mode", Measure(sensor, PushVIDEO, 8, seconds), videoLimit, paced);
    }
    std::printf("(a video cycle is one raw exchange and four 64-word blocks)\n");
    CloseCom(com);
    DiscardKVexPanels();
    sensor.stop();
    return 0;
}
