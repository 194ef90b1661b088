// The statistics window, a subscriber of the sample stream. Each sample costs
// a few additions; the drawing runs from a delayed call and only while the
// window is open: the figures' texts every second, the charts every three
// seconds, since one redraw of the charts costs about 2.5 ms of CPU and a
// shift's histogram moves slowly.
#include "stats_window.h"

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <numbers>
#include <tuple>

#include "com232.h"
#include "file_checks.h"
#include "history_tool.h"
#include "recorder.h"
#include "replay.h"
#include "report.h"
#include "session.h"
#include "stats_charts.h"
#include "stats_view.h"
#include "ui.h"

int pStats = 0;
bool statisticsAtStart = false;
double statisticsRefreshSeconds = 3.0;
double statisticsFigureSeconds = 1.0;
void (*statisticsReportSections)(ReportData &data) = nullptr;

using namespace statsview;

namespace {

constexpr int kRed = 0xD00000, kBlack = 0x000000, kAmber = 0xB06000;
constexpr const char *kUndefined = "\xE2\x80\x94";  // an em dash

SampleStatistics g_stats;
// The run's values for its report: the figures again, the events and the
// chart's values, which the window's own figures do not keep.
std::unique_ptr<ReportData> g_live = std::make_unique<ReportData>();
Activity g_source = Activity::Idle;  // what delivered the values of this run
char g_sourceName[300] = "";
char g_runId[200] = "";  // the run the figures belong to
int64_t g_firstMs = 0, g_lastMs = 0;
bool g_refreshPosted = false, g_shown = false;
double g_chartsDrawnAt = -1e9;  // Timer() of the last full redraw

// The scopes of the "Figures over" ring.
enum Scope { SCOPE_RUN = 0, SCOPE_LAST_N = 1, SCOPE_FILE = 2, SCOPE_SPAN = 3 };

// Figures over a replayed file or a span of it, made again only when the
// span (or the indexed part of the file) changed.
struct FileFigures {
    SampleStatistics stats;
    ToleranceEvents events;  // grown in the same pass as the figures
    bool valid = false;
    unsigned long first = 0, last = 0;
    int64_t firstMs = 0, lastMs = 0;
};
FileFigures g_file;
// The figures the window shows: the run's, or the file's; and the events
// of the same samples, with the index in the file of their sample 1 (-1:
// the run's, which no replay can show).
const SampleStatistics *g_view = &g_stats;
InView g_inView;  // the rule breaks among the points the charts show
const ToleranceEvents *g_viewEvents = nullptr;
long g_viewEventsAt = -1;

bool WindowOpen() {
    int visible = 0;
    return pStats > 0 && GetPanelAttribute(pStats, ATTR_VISIBLE, &visible) == 0 && visible;
}

void RefreshLater();

void OnSample(const Sample &s) {
    if (g_stats.Count() == 0) g_firstMs = s.wallMs;
    g_lastMs = s.wallMs;
    g_stats.Add(s.exactUm, s.verdict, LimitsOf(s));
    g_live->Add(0, s.wallMs, s.exactUm, s.verdict, LimitsOf(s));
    RefreshLater();
}

Figures ShowTexts(std::size_t window);

// The figures follow within a second; the charts, which cost the most
// to draw, every few seconds.
void RefreshDue(void *) {
    g_refreshPosted = false;
    if (pStats <= 0) return;
    if (Timer() - g_chartsDrawnAt >= statisticsRefreshSeconds)
        RefreshStatistics();
    else
        ShowTexts(Window());
}

void RefreshLater() {
    if (g_refreshPosted || !WindowOpen()) return;
    g_refreshPosted = true;
    PostDelayedCall(statisticsFigureSeconds, RefreshDue, nullptr);
}

// A loop that starts begins a new run; the end of one keeps its figures in
// view.
void OnActivity(Activity now) {
    // The scopes of a file offer nothing once its replay has ended.
    int scope = SCOPE_RUN;
    GetCtrlVal(pStats, STATS_ScopeRing, &scope);
    if (now != Activity::Replay && scope >= SCOPE_FILE)
        SetCtrlVal(pStats, STATS_ScopeRing, static_cast<int>(SCOPE_RUN));
    if (now == Activity::Idle || now == Activity::Video) {
        if (WindowOpen()) RefreshStatistics();
        return;
    }
    const bool replay = now == Activity::Replay;
    g_stats.Reset();
    g_live = std::make_unique<ReportData>();
    std::snprintf(g_runId, sizeof g_runId, "%s", CurrentRunId());
    g_file.valid = false;
    g_source = now;
    if (now == Activity::Recording)
        std::snprintf(g_sourceName, sizeof g_sourceName, "recording to %s", LastRecording().path);
    else if (replay)
        std::snprintf(g_sourceName, sizeof g_sourceName, "replay of %s",
                      ReplayShown() ? ReplayName() : "a file");
    else
        std::snprintf(g_sourceName, sizeof g_sourceName, "run mode");
    // A replay's figures start on its whole file, not on the few samples
    // stepped through.
    if (replay) SetCtrlVal(pStats, STATS_ScopeRing, static_cast<int>(SCOPE_FILE));
    if (WindowOpen()) RefreshStatistics();
}

int ChosenScope() {
    int scope = SCOPE_RUN;
    GetCtrlVal(pStats, STATS_ScopeRing, &scope);
    return scope;
}

}  // namespace

std::size_t statsview::Window() {
    unsigned int n = 0;
    GetCtrlVal(pStats, STATS_WindowSize, &n);
    return ChosenScope() == SCOPE_LAST_N ? std::max(n, 2u) : 0;
}

// The run rules ticked on the panel.
uint8_t statsview::ChosenRules() {
    uint8_t rules = 0;
    for (int r = 0; r < kRules; ++r) {
        int on = 0;
        GetCtrlVal(pStats, STATS_StatsRule1 + r, &on);
        if (on) rules = static_cast<uint8_t>(rules | 1u << r);
    }
    return rules;
}

void statsview::ClockText(char *out, std::size_t size, int64_t wallMs, WallStyle style) {
    if (WallTimeText(wallMs, style, out, size) == 0) std::snprintf(out, size, "?");
}

namespace {

void AddFileSample(const Sample &s, void *) {
    if (g_file.stats.Count() == 0) g_file.firstMs = s.wallMs;
    g_file.lastMs = s.wallMs;
    g_file.stats.Add(s.exactUm, s.verdict, LimitsOf(s));
    g_file.events.Add(g_file.stats.Count(), s.wallMs, s.exactUm, s.verdict);
}

// The file's samples the chosen scope covers; false when no replay offers
// them (the run's figures stand then).
bool FileSpan(int scope, unsigned long &first, unsigned long &last) {
    if (CurrentActivity() != Activity::Replay || !ReplayShown()) return false;
    if (scope == SCOPE_SPAN) return ReplayHistorySpan(first, last) && first <= last;
    const unsigned long n = ReplayCount();
    first = 0, last = n ? n - 1 : 0;
    return n > 0;
}

}  // namespace

// Chooses what the window shows and, for a file, reads it when needed.
void statsview::ChooseView() {
    const int scope = ChosenScope();
    unsigned long first = 0, last = 0;
    if ((scope != SCOPE_FILE && scope != SCOPE_SPAN) || !FileSpan(scope, first, last)) {
        g_view = &g_stats;
        g_viewEvents = &g_live->Events();
        g_viewEventsAt = -1;
        return;
    }
    if (scope == SCOPE_FILE) {
        const SampleStatistics *whole = ReplayFileFigures(g_file.firstMs, g_file.lastMs);
        const ToleranceEvents *events = ReplayFileEvents();
        if (whole && whole->Count() > 0 && events) {
            g_file.valid = false;  // the span is made afresh when it is chosen
            g_file.first = 0, g_file.last = whole->Count() - 1;
            g_view = whole;
            g_viewEvents = events;
            g_viewEventsAt = 0;
            return;
        }
    }
    if (!g_file.valid || g_file.first != first || g_file.last != last) {
        g_file.stats.Reset();
        g_file.events.Reset();
        ForEachReplaySample(first, last, AddFileSample, nullptr);
        g_file.valid = true;
        g_file.first = first, g_file.last = last;
    }
    g_view = &g_file.stats;
    g_viewEvents = &g_file.events;
    g_viewEventsAt = static_cast<long>(first);
}

statsview::View statsview::Current() {
    View v;
    v.stats = g_view;
    const bool fromFile = g_view != &g_stats;
    v.firstMs = fromFile ? g_file.firstMs : g_firstMs;
    v.lastMs = fromFile ? g_file.lastMs : g_lastMs;
    v.events = g_viewEvents;
    v.eventsAt = g_viewEventsAt;
    v.file = g_view != &g_stats && ReplayShown();
    v.first = g_file.first, v.last = g_file.last;
    return v;
}

ReportData &statsview::Live() { return *g_live; }

std::string statsview::RunSource() { return std::string(g_sourceName) + ", run " + g_runId; }

std::string statsview::RunName() {
    return std::string(g_sourceName[0] ? g_sourceName : "no run") + " " + g_runId;
}

namespace {

// ---------------------------------------------------------------- texts

// "run mode, 2026-12-08 16:40:12 to 16:52:15 (12 min 3 s)"
void SourceText(char *out, std::size_t size) {
    if (g_view != &g_stats) {
        char from[40], to[40];
        ClockText(from, sizeof from, g_file.firstMs, WallStyle::Date);
        ClockText(to, sizeof to, g_file.lastMs, WallStyle::Clock);
        const int n = std::snprintf(out, size, "%s, samples %lu to %lu of the file, %s to %s",
                                    g_sourceName[0] ? g_sourceName : "replay", g_file.first + 1,
                                    g_file.last + 1, from, to);
        if (n < 0 || static_cast<std::size_t>(n) >= size) out[size - 1] = '\0';  // cut, still whole
        return;
    }
    if (g_stats.Count() == 0) {
        std::snprintf(out, size, "No values yet: start Run or a recording");
        return;
    }
    char from[40], to[40];
    ClockText(from, sizeof from, g_firstMs, WallStyle::Date);
    ClockText(to, sizeof to, g_lastMs, WallStyle::Clock);
    const long seconds = static_cast<long>((g_lastMs - g_firstMs) / 1000);
    char span[40];
    if (seconds >= 3600)
        std::snprintf(span, sizeof span, "%ld h %ld min", seconds / 3600, seconds / 60 % 60);
    else
        std::snprintf(span, sizeof span, "%ld min %ld s", seconds / 60, seconds % 60);
    const bool running = CurrentActivity() == g_source && g_source != Activity::Idle;
    const char *name = g_sourceName[0] ? g_sourceName : "samples";
    const int n = std::snprintf(out, size, "%c%s, %s to %s (%s)%s", std::toupper(name[0]), name + 1,
                                from, to, span, running ? "" : ", ended");
    if (n < 0 || static_cast<std::size_t>(n) >= size) out[size - 1] = '\0';  // cut, still whole
}

// Each text is set only when it changed: the window is redrawn often, the
// figures change seldom.
void Show(int control, const char *text) {
    char now[200] = "";
    GetCtrlVal(pStats, control, now, sizeof now);
    if (std::strcmp(now, text) != 0) SetCtrlVal(pStats, control, text);
}

void ShowTip(int control, const char *base, const char *why) {
    char tip[1700];
    if (why && *why)
        std::snprintf(tip, sizeof tip, "%.1400s. Not told: %.250s", base, why);
    else
        std::snprintf(tip, sizeof tip, "%s", base);
    SetCtrlAttribute(pStats, control, ATTR_TOOLTIP_TEXT, tip);
}

void ShowMm(int control, const char *name, bool defined, double um) {
    char text[80];
    if (defined)
        std::snprintf(text, sizeof text, "%s: %.4f mm", name, um / 1000);
    else
        std::snprintf(text, sizeof text, "%s: %s", name, kUndefined);
    Show(control, text);
}

// An index with its 95 % confidence interval: "Cpk: 1.84 (1.79 to 1.89)".
void ShowIndex(int control, const char *name, bool defined, double value, double low, double high,
               const char *base, const char *why) {
    char text[80], tip[600];
    if (defined)
        std::snprintf(text, sizeof text, "%s: %.2f (%.2f to %.2f)", name, value, low, high);
    else
        std::snprintf(text, sizeof text, "%s: %s", name, kUndefined);
    Show(control, text);
    std::snprintf(tip, sizeof tip, "%s. In brackets its 95 %% confidence interval", base);
    ShowTip(control, tip, defined ? "" : why);
}

// A count, its share, and the parts per million the normal model expects
// beyond the limit where there is one.
void ShowCount(int control, const char *name, uint64_t count, uint64_t n, bool hasExpected = false,
               double expectedPpm = 0) {
    char text[80];
    if (n > 0 && hasExpected)
        std::snprintf(text, sizeof text, "%s: %llu (%.1f %%), %.0f ppm exp.", name,
                      static_cast<unsigned long long>(count), 100.0 * count / n, expectedPpm);
    else if (n > 0)
        std::snprintf(text, sizeof text, "%s: %llu (%.1f %%)", name,
                      static_cast<unsigned long long>(count), 100.0 * count / n);
    else
        std::snprintf(text, sizeof text, "%s: 0", name);
    Show(control, text);
}

void ShowFigures(const Figures &f) {
    char text[80];
    std::snprintf(text, sizeof text, "n: %llu", static_cast<unsigned long long>(f.n));
    Show(STATS_StatN, text);
    ShowMm(STATS_StatMean, "Mean", f.n > 0, f.meanUm);
    ShowMm(STATS_StatSigma, "\xCF\x83", f.hasSigma, f.sigmaUm);
    char tip[200];
    std::snprintf(tip, sizeof tip,
                  "Overall sample standard deviation \xCF\x83 (n - 1)%s%.2f \xC2\xB5m",
                  f.hasSigma ? ": " : "", f.hasSigma ? f.sigmaUm : 0.0);
    ShowTip(STATS_StatSigma,
            f.hasSigma ? tip : "Overall sample standard deviation \xCF\x83 (n - 1)", f.sigmaWhy);
    ShowMm(STATS_StatControlSigma, "Within \xCF\x83", f.hasSigmaWithin, f.sigmaWithinUm);
    char within[200] = "Within \xCF\x83 (short term) = mean moving range / 1.128";
    const std::size_t used = std::strlen(within);
    if (f.hasSigmaWithin)
        std::snprintf(within + used, sizeof within - used, " = %.2f \xC2\xB5m", f.sigmaWithinUm);
    ShowTip(STATS_StatControlSigma, within, f.sigmaWithinWhy);
    ShowMm(STATS_StatMin, "Min", f.n > 0, f.minUm);
    ShowMm(STATS_StatMax, "Max", f.n > 0, f.maxUm);
    ShowMm(STATS_StatRange, "Range", f.n > 0, f.maxUm - f.minUm);
    ShowIndex(STATS_StatCp, "Cp", f.hasCp, f.cp, f.cpLow, f.cpHigh,
              "Cp = (upper limit - lower limit) / 6\xCF\x83 within; \xCF\x83 within = mean "
              "moving range / 1.128",
              f.cpWhy);
    ShowIndex(STATS_StatCpk, "Cpk", f.hasCpk, f.cpk, f.cpkLow, f.cpkHigh,
              "Cpk = min(upper limit - mean, mean - lower limit) / 3\xCF\x83 within", f.cpkWhy);
    ShowIndex(STATS_StatPp, "Pp", f.hasPp, f.pp, f.ppLow, f.ppHigh,
              "Pp = (upper limit - lower limit) / 6\xCF\x83; \xCF\x83 the overall sample "
              "standard deviation (n - 1)",
              f.ppWhy);
    ShowIndex(STATS_StatPpk, "Ppk", f.hasPpk, f.ppk, f.ppkLow, f.ppkHigh,
              "Ppk = min(upper limit - mean, mean - lower limit) / 3\xCF\x83, \xCF\x83 overall",
              f.ppkWhy);
    ShowCount(STATS_StatBelow, "Below", f.below, f.n, f.hasExpectedBelow, f.ppmExpectedBelow);
    ShowCount(STATS_StatInside, "Inside", f.inside, f.n);
    ShowCount(STATS_StatAbove, "Above", f.above, f.n, f.hasExpectedAbove, f.ppmExpectedAbove);
    ShowCount(STATS_StatUnjudged, "Not judged", f.unjudged, f.n);
}

void ShowLimits() {
    const Limits &l = g_view->CurrentLimits();
    const bool any = g_view->Count() > 0;
    ShowMm(STATS_StatLower, "Lower limit", any && l.hasLower, l.lowerUm);
    ShowMm(STATS_StatUpper, "Upper limit", any && l.hasUpper, l.upperUm);
    ShowMm(STATS_StatSetpoint, "Setpoint", any && l.hasSetpoint, l.setpointUm);
    const bool changed = g_view->LimitsChanged();
    Show(STATS_StatLimitsNote, changed ? "Limits changed during the run"
                               : any   ? "Limits: unchanged"
                                       : "Limits: \xE2\x80\x94");
    SetCtrlAttribute(pStats, STATS_StatLimitsNote, ATTR_TEXT_COLOR, changed ? kAmber : kBlack);
}

// "rule 1: 1 beyond 3σ (2 points, the last sample 412); rule 5: ..."
void InViewText(char *out, std::size_t size, const InView &v) {
    std::snprintf(out, size, "none");
    std::size_t used = 0;
    for (int r = 0; r < kRules; ++r) {
        if (!v.byRule[r]) continue;
        const int n = std::snprintf(
            out + used, size - used, "%srule %d: %s (%d point%s, the last sample %llu)",
            used ? "; " : "", r + 1, RuleName(r + 1), v.byRule[r], v.byRule[r] == 1 ? "" : "s",
            static_cast<unsigned long long>(v.lastAt[r]));
        if (n < 0 || used + static_cast<std::size_t>(n) >= size) return;
        used += static_cast<std::size_t>(n);
    }
}

// The points of the figures' values that break a chosen rule and the rules
// they break, e.g. "Rule breaks: 1478 (1,2,3)", as `kvex stats` counts them;
// each rule's count, and those in the chart's view, in the tooltips.
void ShowControl(const SampleStatistics &view, const ControlLines &c, const InView &v,
                 const Figures &counted) {
    char text[80], broken[40], rules[40], list[900], byRule[200] = "", tip[1400];
    const bool told = c.defined && v.rules && counted.hasRuleBreaks;
    if (!told) {
        std::snprintf(text, sizeof text, "Rule breaks: %s", kUndefined);
    } else {
        uint8_t hit = 0;
        std::size_t used = 0;
        for (int r = 0; r < kRules; ++r) {
            if (!(v.rules & 1u << r)) continue;
            if (counted.ruleBreaks[r]) hit = static_cast<uint8_t>(hit | 1u << r);
            const int n = std::snprintf(byRule + used, sizeof byRule - used, "%srule %d: %llu",
                                        used ? ", " : "", r + 1,
                                        static_cast<unsigned long long>(counted.ruleBreaks[r]));
            if (n > 0 && used + static_cast<std::size_t>(n) < sizeof byRule)
                used += static_cast<std::size_t>(n);
        }
        RulesText(broken, sizeof broken, hit, ",");  // all eight still fit the figure
        const auto points = static_cast<unsigned long long>(counted.ruleBreakPoints);
        std::snprintf(text, sizeof text, points ? "Rule breaks: %llu (%s)" : "Rule breaks: %llu",
                      points, broken);
    }
    Show(STATS_StatRuleBreaks, text);
    SetCtrlAttribute(pStats, STATS_StatRuleBreaks, ATTR_TEXT_COLOR,
                     told && counted.ruleBreakPoints ? kRed : kBlack);
    RulesText(rules, sizeof rules, v.rules);
    InViewText(list, sizeof list, v);
    std::snprintf(tip, sizeof tip,
                  "Points of the values the figures cover that break a chosen run rule "
                  "(chosen: %s), against the individuals chart of all of them. By rule: %s. "
                  "In the chart's view: %s",
                  rules, told ? byRule : kUndefined, list);
    ShowTip(STATS_StatRuleBreaks, tip,
            !v.rules            ? "no run rule is chosen"
            : c.defined         ? counted.ruleBreaksWhy
            : view.Count() >= 2 ? "no spread from value to value (mean moving range 0)"
                                : "fewer than two values");
    std::snprintf(tip, sizeof tip,
                  "The newest values with the centre line (the mean) and the 3\xCF\x83 control "
                  "limits, \xCF\x83 within; red points break a chosen run rule.\nIn view: %s",
                  list);
    SetCtrlAttribute(pStats, STATS_IChart, ATTR_TOOLTIP_TEXT, tip);
}

// A name for the figures of this run, in files and reports: what delivered
// them and the run's id (its start and the station).
}  // namespace

void statsview::SayWritten(const char *path, bool ok, const char *why) {
    char text[600];
    std::snprintf(text, sizeof text, "%s %s%s%s", ok ? "Saved" : "Cannot write", path,
                  !ok && why && *why ? ": " : "", !ok && why ? why : "");
    ShowText(text);
}

bool statsview::ChooseFile(const char *name, const char *types, const char *title, char *path) {
    char folder[260];
    RememberedFolder("statistics/folder", folder);
    const int chosen =
        FileSelectPopup(folder, name, types, title, VAL_SAVE_BUTTON, 0, 0, 1, 1, path);
    if (chosen != 1 && chosen != 2) return false;
    RememberFolder("statistics/folder", path);
    if (const char *why = WindowOutputRefused(path)) {
        SayWritten(path, false, why);
        return false;
    }
    return true;
}

void InitStatistics() {
    SubscribeSamples(OnSample);
    SubscribeActivity(OnActivity);
}

const SampleStatistics &LiveStatistics() { return g_stats; }

void StatisticsChanged(bool atOnce) {
    if (!atOnce)
        RefreshLater();
    else if (WindowOpen())
        RefreshStatistics();
}

namespace {

// The texts of the figures, each set only when it changed: cheap enough to
// follow the samples closely.
Figures ShowTexts(std::size_t window) {
    ChooseView();
    char source[400];
    SourceText(source, sizeof source);
    Show(STATS_StatsSource, source);
    const Figures f = g_view->FiguresOf(window);
    ShowFigures(f);
    ShowLimits();
    ShowEventCount();
    return f;
}

}  // namespace

void RefreshStatistics() {
    if (pStats <= 0) return;
    const std::size_t window = Window();
    const Figures f = ShowTexts(window);
    g_chartsDrawnAt = Timer();
    DrawHistogram(*g_view, g_view->HistogramOf(window), f);
    const ControlLines c = g_view->LinesOf(window);
    g_inView = DrawControlCharts(*g_view, c, window, ChosenRules());
    Figures counted;
    g_view->CountRuleBreaks(window, ChosenRules(), counted);
    ShowControl(*g_view, c, g_inView, counted);
    g_shown = true;
}

int CC_BTNStatistics(int, int, int event, void *, int, int) {
    if (event != EVENT_COMMIT) return 0;
    if (!g_shown) RestorePanelGeometry(pStats);
    DisplayPanel(pStats);
    // The measured value, its verdict and the limits stay in view: on a
    // small screen they are what the operator works by.
    KeepPanelClearOf(pStats, pHandle, PANEL_Display14);
    RefreshStatistics();
    return 0;
}

int CC_STATS(int, int event, void *, int, int) {
    if (event != EVENT_CLOSE) return 0;
    RememberPanelGeometry(pStats);
    HidePanel(pStats);
    return 0;
}

// A panel PC without a window manager has no title bar to close it with.
int CC_StatsClose(int, int, int event, void *, int, int) {
    if (event == EVENT_COMMIT) CC_STATS(pStats, EVENT_CLOSE, nullptr, 0, 0);
    return 0;
}

int CC_StatsScope(int, int, int event, void *, int, int) {
    if (event == EVENT_COMMIT) RefreshStatistics();
    return 0;
}

int CC_StatsReset(int, int, int event, void *, int, int) {
    if (event != EVENT_COMMIT) return 0;
    g_stats.Reset();
    RefreshStatistics();
    return 0;
}
