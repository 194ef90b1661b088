// What the statistics window writes and lists over the samples its figures
// cover: the saved figures, the report, and the out-of-tolerance events.
#include <strings.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "com232.h"
#include "file_checks.h"
#include "history_tool.h"
#include "replay.h"
#include "report.h"
#include "stats_view.h"
#include "stats_window.h"
#include "ui.h"

using namespace statsview;

namespace {

// The limits the figures were judged against and the span of their
// samples, as the saved figures carry them after the figures themselves.
struct Circumstances {
    char lower[40] = "", upper[40] = "", from[48] = "", to[48] = "";
};

Circumstances CircumstancesOfView() {
    Circumstances c;
    const View v = Current();
    const Limits &l = v.stats->CurrentLimits();
    if (l.hasLower) ShortestNumber(c.lower, sizeof c.lower, l.lowerUm / 1000);
    if (l.hasUpper) ShortestNumber(c.upper, sizeof c.upper, l.upperUm / 1000);
    if (v.stats->Count() > 0) {
        IsoTimestamp(c.from, sizeof c.from, v.firstMs);
        IsoTimestamp(c.to, sizeof c.to, v.lastMs);
    }
    return c;
}

// The file a replayed file's figures came from, or the run's name and id.
void ViewName(char *out, std::size_t size) {
    std::snprintf(out, size, "%s", Current().file ? ReplayName() : RunName().c_str());
}

// The figures as Save writes them: a CSV header and row, or one JSON object,
// each followed by the limits and the time span.
// False when the figures do not fit: nothing half written is saved.
bool SaveText(char *out, std::size_t size, bool json) {
    char name[512], row[1600];
    ViewName(name, sizeof name);
    const SampleStatistics &view = *Current().stats;
    Figures f = view.FiguresOf(Window());
    view.CountRuleBreaks(Window(), ChosenRules(), f);
    view.CheckNormality(Window(), f);
    const Circumstances c = CircumstancesOfView();
    if (json) {
        const int n = FiguresJson(row, sizeof row, name, f, 0);
        if (n <= 0) return false;
        row[n - 1] = '\0';  // the object goes on
        auto value = [](const char *v) { return v[0] ? v : "null"; };
        auto quote = [](const char *v) { return v[0] ? "\"" : ""; };
        const int written = std::snprintf(
            out, size,
            "%s, \"lower_mm\": %s, \"upper_mm\": %s, \"from\": %s%s%s, \"to\": %s%s%s}\n", row,
            value(c.lower), value(c.upper), quote(c.from), value(c.from), quote(c.from),
            quote(c.to), value(c.to), quote(c.to));
        return written > 0 && static_cast<std::size_t>(written) < size;
    }
    if (FiguresCsvRow(row, sizeof row, name, f, 0) <= 0) return false;
    const int written =
        std::snprintf(out, size, "%s,lower limit [mm],upper limit [mm],from,to\n%s,%s,%s,%s,%s\n",
                      FiguresCsvHeader(), row, c.lower, c.upper, c.from, c.to);
    return written > 0 && static_cast<std::size_t>(written) < size;
}

bool EndsWith(const char *text, const char *end) {
    const std::size_t a = std::strlen(text), b = std::strlen(end);
    return a >= b && strcasecmp(text + a - b, end) == 0;
}

bool WriteFile(const char *path, const char *text) {
    std::FILE *f = std::fopen(path, "wb");
    if (!f) return false;
    const std::size_t n = std::strlen(text);
    const bool ok = std::fwrite(text, 1, n, f) == n;
    return std::fclose(f) == 0 && ok;
}

}  // namespace

int CC_StatsSave(int, int, int event, void *, int, int) {
    if (event != EVENT_COMMIT) return 0;
    char path[260];
    if (!ChooseFile("statistics.csv", "*.csv;*.json", "Save the statistics", path)) return 0;
    char text[4096];
    ChooseView();
    SayWritten(path, SaveText(text, sizeof text, EndsWith(path, ".json")) && WriteFile(path, text));
    return 0;
}

namespace {

void AddReportSample(const Sample &s, void *data) {
    static_cast<ReportData *>(data)->Add(0, s.wallMs, s.exactUm, s.verdict, LimitsOf(s));
}

}  // namespace

bool ChooseReportFile(const char *name, char *path) {
    return ChooseFile(name, "*.pdf", "Save the report", path);
}

bool AskReportTitle(ReportTitle &title) {
    static const char *const kLabels[] = {"Part number", "Characteristic", "Order", "Operator",
                                          "Comment"};
    static const char *const kKeys[] = {"report/part", "report/characteristic", "report/order",
                                        "report/operator", "report/comment"};
    constexpr int kFields = 5, kSize = 200;
    char values[kFields][kSize] = {};
    for (int i = 0; i < kFields; ++i)
        if (GetSettingText(kKeys[i], values[i], kSize) != 1) values[i][0] = '\0';
    if (TextFieldsPopup("Report", kLabels, values[0], kFields, kSize) != 1) return false;
    for (int i = 0; i < kFields; ++i) SetSettingText(kKeys[i], values[i]);
    title = {values[0], values[1], values[2], values[3], values[4]};
    return true;
}

std::string ConnectedSensor() {
    std::string text;
    const char *const parts[] = {sensorHardware[0], sensorHardware[1], sensorHardware[2],
                                 sensorFirmware};
    for (const char *part : parts) {
        char utf8[200];
        TextAsUtf8(part, utf8, sizeof utf8);
        // The sensor ends some of its lines with "; " or blanks: one comma apart.
        std::string piece(utf8);
        while (!piece.empty() && (piece.back() == ';' || piece.back() == ' ')) piece.pop_back();
        if (!piece.empty()) text += (text.empty() ? "" : ", ") + piece;
    }
    return "connected sensor: " + (text.empty() ? std::string("none answered") : text);
}

int CC_StatsReport(int, int, int event, void *, int, int) {
    if (event != EVENT_COMMIT) return 0;
    ReportTitle title;
    if (!AskReportTitle(title)) return 0;
    char path[260];
    if (!ChooseReportFile("statistics.pdf", path)) return 0;
    ChooseView();
    // A replayed file's figures come from the file; the run's from its values.
    ReportData fromFile;
    const View view = Current();
    ReportData &data = view.file ? fromFile : Live();
    if (view.file) {
        ForEachReplaySample(view.first, view.last, AddReportSample, &fromFile);
        data.source = ReplayName();
        char scope[80];
        std::snprintf(scope, sizeof scope, "samples %lu to %lu of the file", view.first + 1,
                      view.last + 1);
        data.scope = scope;
        data.sensor = "not named in the recording; " + ConnectedSensor();
    } else {
        data.source = RunSource();
        data.scope = Window() ? "the whole run (the window shows the newest samples)" : "";
        data.sensor = ConnectedSensor() + ", on " + LinkDevice();
    }
    data.title = title;
    data.rules = ChosenRules();
    data.extra.clear();
    if (statisticsReportSections) statisticsReportSections(data);
    const char *why = "";
    const bool written = WriteReport(data, path, &why);
    SayWritten(path, written, why);
    return 0;
}

namespace {

// What the list holds now: the events of which samples, and how many.
struct Listed {
    const ToleranceEvents *events = nullptr;
    long at = -2;
    uint64_t total = 0;
};
Listed g_listed;

void EventHead(char *out, std::size_t size, uint64_t total) {
    std::snprintf(out, size, "%llu out-of-tolerance event%s",
                  static_cast<unsigned long long>(total), total == 1 ? "" : "s");
}

// Each event as an item, valued by the index (from 0) of its first sample
// in the replayed file, or for the run's by -1 less its sample's number.
void ListEvents() {
    constexpr std::size_t kListed = 200;
    ChooseView();
    const View view = Current();
    const ToleranceEvents &events = *view.events;
    ClearListCtrl(pStats, STATS_StatsEvents);
    char head[80];
    EventHead(head, sizeof head, events.Total());
    InsertListItem(pStats, STATS_StatsEvents, -1, head, -1);
    const std::size_t listed = std::min(kListed, events.Events().size());
    for (std::size_t i = 0; i < listed; ++i) {
        const ToleranceEvent &e = events.Events()[i];
        char from[40] = "?", worst[40] = "?", item[160];
        if (e.firstMs >= 0) ClockText(from, sizeof from, e.firstMs, WallStyle::Date);
        ShortestNumber(worst, sizeof worst, e.worstUm / 1000);
        std::snprintf(item, sizeof item, "%s, %llu %s, worst %s mm", from,
                      static_cast<unsigned long long>(e.count),
                      e.side == Verdict::Below ? "below" : "above", worst);
        const long long value = view.eventsAt >= 0
                                    ? view.eventsAt + static_cast<long long>(e.firstSample) - 1
                                    : -1 - static_cast<long long>(e.firstSample);
        InsertListItem(pStats, STATS_StatsEvents, -1, item,
                       static_cast<int>(std::clamp<long long>(value, -0x7FFFFFFF, 0x7FFFFFFF)));
    }
    SetCtrlVal(pStats, STATS_StatsEvents, -1);
    g_listed = {&events, view.eventsAt, events.Total()};
}

}  // namespace

// The closed list shows the count of the samples the figures cover; the
// events themselves grow with the figures, so this costs no reading.
void statsview::ShowEventCount() {
    const View view = Current();
    const ToleranceEvents &events = *view.events;
    if (g_listed.events == &events && g_listed.at == view.eventsAt &&
        g_listed.total == events.Total())
        return;
    ClearListCtrl(pStats, STATS_StatsEvents);
    char head[80];
    EventHead(head, sizeof head, events.Total());
    InsertListItem(pStats, STATS_StatsEvents, -1, head, -1);
    SetCtrlVal(pStats, STATS_StatsEvents, -1);
    g_listed = {&events, view.eventsAt, events.Total()};
}

int CC_StatsEvent(int, int, int event, void *, int, int) {
    if (event == EVENT_RING_OPENING) ListEvents();
    if (event != EVENT_COMMIT) return 0;
    int index = -1;
    GetCtrlVal(pStats, STATS_StatsEvents, &index);
    if (index >= 0 && ReplayShown() && CurrentActivity() == Activity::Replay)
        ReplaySeek(static_cast<unsigned long>(index));
    if (index >= -1) return 0;
    // One of the run's: the history shows it while it still holds it.
    const uint64_t first = static_cast<uint64_t>(-1LL - index);
    const auto &events = Live().Events().Events();
    const auto e = std::lower_bound(
        events.begin(), events.end(), first,
        [](const ToleranceEvent &a, uint64_t number) { return a.firstSample < number; });
    if (e == events.end() || e->firstSample != first) return 0;
    const char *why = "";
    if (!ShowLiveTime(e->firstMs, &why)) {
        char text[300], when[40] = "?";
        if (e->firstMs >= 0) ClockText(when, sizeof when, e->firstMs, WallStyle::Date);
        std::snprintf(text, sizeof text, "The event of %s is not in the history: %s", when, why);
        ShowText(text);
    }
    return 0;
}
