// Live samples are read from the history the chart was drawn from; a
// replay's from its file, so a span dragged into view beyond the last hundred
// samples reads as well.
#include "history_tool.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>

#include "gui.h"
#include "replay.h"
#include "stats_window.h"
#include "ui.h"

namespace {

bool Still() { return ReplayShown() ? !ReplayPlaying() : !MeasuringLoopRuns(); }

// The time of day of the history's point with that number, -1 for none.
int64_t PointTime(long number) {
    if (!ReplayShown()) return HistoryPointTime(number);
    Sample s;
    return ReplaySampleNumbered(number, s) && s.wallMs > 0 ? s.wallMs : -1;
}

// A time of 0 or less stands for none (a text recording without a start).
int FormatClock(int64_t wallMs, WallStyle style, char *text, int size) {
    if (wallMs <= 0 || size <= 0) return 0;
    return static_cast<int>(WallTimeText(wallMs, style, text, static_cast<std::size_t>(size)));
}

// A tick without a sample's time (between samples, or an empty slot) stays
// blank: a number on an axis of times would read as one.
int TimeLabel(int, int, double x, double, char *text, int size) {
    if (std::fabs(x - std::round(x)) <= 1e-6) {
        const int n = FormatClock(PointTime(std::lround(x)), WallStyle::Clock, text, size);
        if (n > 0) return n;
    }
    return std::snprintf(text, static_cast<std::size_t>(size), " ");
}

int Hover(int, int, double x, double, char *text, int size) {
    if (!Still()) return 0;
    const long number = std::lround(x);
    char when[40] = "time unknown";
    const std::size_t room = static_cast<std::size_t>(size);
    if (ReplayShown()) {
        Sample s;
        if (!ReplaySampleNumbered(number, s)) return 0;
        FormatClock(s.wallMs, WallStyle::DateMs, when, sizeof when);
        const double limitsMm[2] = {s.lowerUm / 1000, s.upperUm / 1000};
        const int decimals = s.verdict == Verdict::None ? 3 : DecimalsApart(s.mm, limitsMm, 2);
        return std::snprintf(text, room, "Sample %ld\n%s\n%u units, %.*f mm, %s", number, when,
                             static_cast<unsigned>(s.units), decimals, s.mm,
                             VerdictName(s.verdict));
    }
    const long back = historySamples - number;
    if (back < 0 || back > 99) return 0;
    const double value = arrayNORM[(99 - back) * 5 + 3];
    if (std::isnan(value)) return 0;
    FormatClock(HistoryPointTime(number), WallStyle::Date, when, sizeof when);
    return std::snprintf(text, room, "Sample %ld\n%s\n%.0f units", number, when, value);
}

void RangeChanged(int, int, double xMin, double xMax) {
    if (ReplayShown()) ReplayShowSpan(xMin, xMax);
}

// A mark names a sample of the run it was chosen in; a run, a replay or a
// recording that starts leaves it behind.
void OnActivity(Activity now) {
    if (now != Activity::Idle && now != Activity::Video)
        SetChartMark(pHandle, PANEL_StripChartRaw, 0, nullptr);
    UpdateHistoryTool();
}

}  // namespace

// The history's newest samples of the live run, found by the time they were
// taken: the first point of that time, shown (a drag's width around it when
// out of view) and marked as the hover names it.
bool ShowLiveTime(int64_t wallMs, const char **why) {
    if (ReplayShown()) {
        *why = "a replay shows the history";
        return false;
    }
    long number = -1;
    for (long n = historySamples - 99; n <= historySamples && number < 0; ++n)
        if (n > 0 && wallMs > 0 && HistoryPointTime(n) == wallMs) number = n;
    if (number < 0) {
        *why = "the history holds the newest 100 samples only";
        return false;
    }
    double xMin = 0, xMax = 0;
    GetChartXRange(pHandle, PANEL_StripChartRaw, &xMin, &xMax);
    if (number < xMin || number > xMax) {
        // As wide as before, and as far right as the newest sample allows.
        const double width = std::max(xMax - xMin, 10.0);
        double hi = std::min(number + width / 2, historySamples + 0.5);
        if (number < hi - width) hi = number + width / 2;
        SetChartXRange(pHandle, PANEL_StripChartRaw, hi - width, hi);
    }
    char when[40] = "time unknown", mark[80];
    FormatClock(wallMs, WallStyle::Date, when, sizeof when);
    std::snprintf(mark, sizeof mark, "Sample %ld\n%s", number, when);
    SetChartMark(pHandle, PANEL_StripChartRaw, static_cast<double>(number), mark);
    return true;
}

void UpdateHistoryTool() {
    SetChartExploration(pHandle, PANEL_StripChartRaw, Still() ? 1 : 0, RangeChanged);
}

void InitHistoryTool() {
    SubscribeActivity(OnActivity);
    SetChartHover(pHandle, PANEL_StripChartRaw, Hover);
    UpdateHistoryTool();
}

int CC_HistoryXAxis(int, int, int event, void *, int, int) {
    if (event != EVENT_COMMIT) return 0;
    int time = 0;
    GetCtrlVal(pHandle, PANEL_HistoryXAxis, &time);
    SetChartXLabels(pHandle, PANEL_StripChartRaw, time ? TimeLabel : nullptr,
                    time ? "Time of day" : "Sample");
    return 0;
}
