#include "gauge_study_run.h"

#include "kvex_main.h"
#include "modes.h"
#include "recording_reader.h"
#include "session.h"
#include "ui.h"

bool GaugeValuesFromFile(const char *path, std::size_t n, std::vector<double> &values,
                         unsigned long &badLines, const char **why) {
    values.clear();
    badLines = 0;
    RecordingSource source;
    if (!source.Open(path, why)) return false;
    Sample s;
    for (RecordingSource::Line line;
         values.size() < n && (line = source.Next(s)) != RecordingSource::Line::End;)
        if (line == RecordingSource::Line::Sample) values.push_back(s.mm);
    badLines = static_cast<unsigned long>(source.BadLines());
    if (source.ReadError()) {
        *why = source.ReadError();
        return false;
    }
    return true;
}

namespace {

// The run loop hands samples to subscribers only; the study listens there.
struct LiveStudy {
    std::vector<double> *values = nullptr;
    std::size_t wanted = 0;
    double intervalS = 0, lastTaken = 0;
    GaugeProgress progress = nullptr;
};
LiveStudy g_live;

void TakeSample(const Sample &s) {
    LiveStudy &l = g_live;
    if (!l.values || l.values->size() >= l.wanted) return;
    // A reply comes sooner than the pace asks: it is passed over, not averaged in.
    if (!l.values->empty() && s.monotonic - l.lastTaken < l.intervalS) return;
    l.values->push_back(s.mm);
    l.lastTaken = s.monotonic;
    if (l.progress) l.progress(l.values->size(), l.wanted);
    if (l.values->size() >= l.wanted) StopMeasuring();
}

}  // namespace

std::size_t GaugeValuesLive(std::size_t n, double intervalS, std::vector<double> &values,
                            GaugeProgress progress, bool inWindow) {
    values.clear();
    if (n == 0 || MeasuringLoopRuns()) return 0;
    values.reserve(n);
    g_live = {&values, n, intervalS, 0, progress};
    SubscribeSamples(TakeSample);
    if (inWindow)
        CC_BTNRun(pHandle, PANEL_BTNRun, EVENT_COMMIT, nullptr, 0, 0);
    else
        MeasureInRunMode();
    UnsubscribeSamples(TakeSample);
    g_live = {};
    return values.size();
}

GaugeStudyReport GaugeReport(const ReportTitle &title, const std::vector<double> &values,
                             const GaugeStudy &study, const char *file, const char *device,
                             std::string sensor) {
    GaugeStudyReport r;
    r.title = title;
    r.study = study;
    r.valuesMm = values;
    const std::string n = std::to_string(values.size());
    r.source = file ? std::string(file) + ", the first " + n + " samples"
                    : "live on " + std::string(device ? device : "?") + ", " + n + " measurements";
    r.sensor = std::move(sensor);
    return r;
}
