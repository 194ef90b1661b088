// The cost of drawing one raw-values reply (bar graphs, displays, tolerance
// window, strip chart), and proof that many redraws within one frame cost one
// paint per graph.
//
//   build/release/bin/drawing_bench [replies, default 3000]
#include <qcustomplot.h>
#include <sys/resource.h>

#include <QApplication>
#include <cstdio>
#include <cstdlib>

#include "com232.h"
#include "gui.h"
#include "kvex_main.h"
#include "ui.h"

namespace {

double CpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_THREAD, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

int replots = 0;

void CountReplots() {
    for (QWidget *w : QApplication::allWidgets())
        if (auto *plot = qobject_cast<QCustomPlot *>(w))
            QObject::connect(plot, &QCustomPlot::afterReplot, [] { ++replots; });
}

// A target that moves a little with every reply.
void NextReply(int i) {
    const unsigned short a = static_cast<unsigned short>(2000 + (i * 37) % 200);
    const unsigned short words[16] = {
        a, static_cast<unsigned short>(a + 60), a, 0, 37000, 40, 60, 1, 1, 9, 11, 2300, 1900, 0, 0,
        0};
    for (int k = 0; k < 16; ++k) pp[k] = words[k];
    CopyPPtoRAWVars();
}

void Draw() {
    PlotVIDEOBarGraph();
    PlotRAWGraph();
}

}  // namespace

int main(int argc, char **argv) {
    const int replies = argc > 1 ? std::atoi(argv[1]) : 3000;
    if (InitRunTime(argc, argv) < 0 || LoadKVexPanels() < 0) return 1;
    StartKVex(false);
    CountReplots();
    ProcessSystemEvents();

    // The calls alone, as the run loop makes them between two event passes.
    double cpu0 = CpuSeconds();
    for (int i = 0; i < replies; ++i) {
        NextReply(i);
        Draw();
    }
    const double callsMs = 1000.0 * (CpuSeconds() - cpu0) / replies;
    replots = 0;
    ProcessSystemEvents();
    ProcessSystemEvents();
    std::printf(
        "%d replies drawn without event processing: %.3f ms CPU per reply; then %d paints "
        "in all for the two bar graphs and the strip chart they touched\n",
        replies, callsMs, replots);

    // Every reply followed by an event pass that paints it, as when replies
    // come slower than frames.
    const int painted = replies / 10;
    replots = 0;
    cpu0 = CpuSeconds();
    for (int i = 0; i < painted; ++i) {
        NextReply(i);
        Draw();
        ProcessSystemEvents();
    }
    const double paintedMs = 1000.0 * (CpuSeconds() - cpu0) / painted;
    std::printf(
        "%d replies each drawn and painted: %.3f ms CPU per reply (%d paints); at the "
        "line's 26.7 replies/s that is %.1f %% of one core\n",
        painted, paintedMs, replots, paintedMs * 26.67 / 10.0);
    DiscardKVexPanels();
    return 0;
}
