// The study window keeps its last study on screen until the next one: the
// values, the figures and where they came from.
#include "gauge_dialog.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "com232.h"
#include "file_checks.h"
#include "gauge_study.h"
#include "gauge_study_run.h"
#include "kvex_main.h"
#include "stats_window.h"
#include "ui.h"

int pGauge = 0;

namespace {

constexpr int kValueColour = 0x0050A0, kReferenceColour = 0x008000, kBandColour = 0xC00000;

struct Entered {
    double referenceMm = 0, toleranceMm = 0, paceS = 0;
    int n = 0;
};

Entered ReadFields() {
    Entered e;
    GetCtrlVal(pGauge, GAUGE_GaugeReference, &e.referenceMm);
    GetCtrlVal(pGauge, GAUGE_GaugeTolerance, &e.toleranceMm);
    GetCtrlVal(pGauge, GAUGE_GaugeN, &e.n);
    GetCtrlVal(pGauge, GAUGE_GaugePace, &e.paceS);
    return e;
}

void Line(double x0, double x1, double y, int colour, int style) {
    const double xs[2] = {x0, x1}, ys[2] = {y, y};
    PlotXY(pGauge, GAUGE_GaugeChart, xs, ys, 2, VAL_DOUBLE, VAL_DOUBLE, VAL_THIN_LINE, VAL_NO_POINT,
           style, 1, colour);
}

// The values in their order against the reference and the band of +-0.1 T
// that Cgk measures the bias and spread against; the axis holds all of them.
void DrawRunChart(const std::vector<double> &values, const GaugeStudy &g) {
    DeleteGraphPlot(pGauge, GAUGE_GaugeChart, -1, VAL_NO_DRAW);
    const double n = static_cast<double>(std::max<std::size_t>(values.size(), 2));
    const double band = 0.1 * g.toleranceMm;
    double lo = g.referenceMm - band, hi = g.referenceMm + band;
    for (const double v : values) lo = std::min(lo, v), hi = std::max(hi, v);
    const double margin = (hi - lo) * 0.08 + 1e-9;
    if (!values.empty()) {
        std::vector<double> xs(values.size());
        for (std::size_t i = 0; i < xs.size(); ++i) xs[i] = static_cast<double>(i + 1);
        PlotXY(pGauge, GAUGE_GaugeChart, xs.data(), values.data(), static_cast<int>(values.size()),
               VAL_DOUBLE, VAL_DOUBLE, VAL_CONNECTED_POINTS, VAL_SOLID_CIRCLE, VAL_SOLID, 1,
               kValueColour);
    }
    Line(0.5, n + 0.5, g.referenceMm, kReferenceColour, VAL_SOLID);
    Line(0.5, n + 0.5, g.referenceMm + band, kBandColour, VAL_DASH);
    Line(0.5, n + 0.5, g.referenceMm - band, kBandColour, VAL_DASH);
    SetAxisScalingMode(pGauge, GAUGE_GaugeChart, VAL_XAXIS, VAL_MANUAL, 0.5, n + 0.5);
    SetAxisScalingMode(pGauge, GAUGE_GaugeChart, VAL_LEFT_YAXIS, VAL_MANUAL, lo - margin,
                       hi + margin);
}

// The study on screen, as its report is written: the values, the figures,
// the recording they came from (empty: live) and the sensor as named then.
struct ShownStudy {
    bool has = false;
    std::vector<double> values;
    GaugeStudy study;
    std::string file, device, sensor;
};
ShownStudy g_shown;

void SayReport(const char *text, int colour) {
    SetCtrlVal(pGauge, GAUGE_GaugeReportSaid, text);
    SetCtrlAttribute(pGauge, GAUGE_GaugeReportSaid, ATTR_TEXT_COLOR, colour);
}

void ShowStudy(const std::vector<double> &values, const Entered &e, const char *source,
               const char *file) {
    const GaugeStudy g = StudyGauge(values.data(), values.size(), e.referenceMm, e.toleranceMm);
    g_shown.has = true;
    g_shown.values = values;
    g_shown.study = g;
    g_shown.file = file ? file : "";
    HoldFile(kHeldStudy, file);
    g_shown.device = file ? "" : LinkDevice();
    g_shown.sensor = file ? "not named in the recording; " + ConnectedSensor()
                          : ConnectedSensor() + ", on " + LinkDevice();
    SetCtrlAttribute(pGauge, GAUGE_GaugeReport, ATTR_DIMMED, 0);
    SayReport("", 0x000000);
    char text[2048];
    if (GaugeStudyText(text, sizeof text, g) < 0) std::snprintf(text, sizeof text, "?");
    // The figures stand in columns.
    SetCtrlAttribute(pGauge, GAUGE_GaugeResult, ATTR_TEXT_FONT, "DejaVu Sans Mono");
    ResetTextBox(pGauge, GAUGE_GaugeResult, text);
    SetCtrlVal(pGauge, GAUGE_GaugeSource, source);
    SetCtrlVal(pGauge, GAUGE_GaugeVerdict,
               !g.hasIndices ? "Not defined"
               : g.capable   ? "Capable"
                             : "NOT capable");
    SetCtrlAttribute(pGauge, GAUGE_GaugeVerdict, ATTR_TEXT_COLOR,
                     !g.hasIndices ? 0x606060
                     : g.capable   ? 0x008000
                                   : 0xC00000);
    DrawRunChart(values, g);
}

void SayStart(const char *text) { SetCtrlVal(pGauge, GAUGE_GaugeSource, text); }

// A study that starts leaves nothing of the last one on screen: its verdict
// beside "Measuring" would read as the new one's.
void ClearStudy() {
    g_shown.has = false;
    HoldFile(kHeldStudy, nullptr);
    SetCtrlVal(pGauge, GAUGE_GaugeVerdict, "");
    ResetTextBox(pGauge, GAUGE_GaugeResult, "");
    SayReport("", 0x000000);
    DeleteGraphPlot(pGauge, GAUGE_GaugeChart, -1, VAL_IMMEDIATE_DRAW);
}

void SayTaken(std::size_t taken, std::size_t wanted) {
    if (taken % 10 != 0 && taken != wanted) return;
    char text[80];
    std::snprintf(text, sizeof text, "Measuring: %zu of %zu", taken, wanted);
    SayStart(text);
}

// While a live study runs nothing else starts, nor is its report written
// from a study half made.
void DimButtons(int dimmed) {
    SetCtrlAttribute(pGauge, GAUGE_GaugeStart, ATTR_DIMMED, dimmed);
    SetCtrlAttribute(pGauge, GAUGE_GaugeFromFile, ATTR_DIMMED, dimmed);
    SetCtrlAttribute(pGauge, GAUGE_GaugeReport, ATTR_DIMMED, dimmed || !g_shown.has);
}

}  // namespace

void InitGaugeWindow() {
    g_shown = {};
    SetCtrlAttribute(pGauge, GAUGE_GaugeReport, ATTR_DIMMED, 1);
}

std::size_t GaugeResultText(char *out, std::size_t size) {
    if (size == 0) return 0;
    out[0] = '\0';
    GetCtrlVal(pGauge, GAUGE_GaugeResult, out, size);
    return std::strlen(out);
}

int CC_BTNGauge(int, int, int event, void *, int, int) {
    if (event == EVENT_COMMIT) DisplayPanel(pGauge);
    return 0;
}

int CC_GAUGE(int panel, int event, void *, int, int) {
    if (event == EVENT_CLOSE) HidePanel(panel);
    return 0;
}

int CC_GaugeClose(int, int, int event, void *, int, int) {
    if (event == EVENT_COMMIT) HidePanel(pGauge);
    return 0;
}

// The master part lies under the sensor: run mode measures it n times and
// stops. A mode that runs already, or a replay, is left alone.
int CC_GaugeStart(int, int, int event, void *, int, int) {
    if (event != EVENT_COMMIT) return 0;
    const Entered e = ReadFields();
    if (MeasuringLoopRuns() || CurrentActivity() == Activity::Replay || !LinkReady()) {
        SayStart(!LinkReady() ? "No sensor answers: connect one first"
                              : "Stop the running mode or the replay first");
        return 0;
    }
    std::vector<double> values;
    ClearStudy();
    DimButtons(1);
    SayStart("Measuring...");
    const std::size_t taken =
        GaugeValuesLive(static_cast<std::size_t>(e.n), e.paceS, values, SayTaken, true);
    DimButtons(0);
    char source[200];
    if (taken < static_cast<std::size_t>(e.n))
        std::snprintf(source, sizeof source, "Live: stopped after %zu of %d measurements (%s)",
                      taken, e.n, szStatus);
    else
        std::snprintf(source, sizeof source, "Live: %d measurements of %s", e.n, LinkDevice());
    ShowStudy(values, e, source, nullptr);
    return 0;
}

int CC_GaugeFromFile(int, int, int event, void *, int, int) {
    if (event != EVENT_COMMIT) return 0;
    char folder[260] = "", path[260] = "";
    RememberedFolder("replay", folder);
    if (FileSelectPopup(folder, "", "*.dat *.csv", "Gauge study from a recording", VAL_LOAD_BUTTON,
                        0, 0, 1, 0, path) != 1)
        return 0;
    const Entered e = ReadFields();
    std::vector<double> values;
    unsigned long bad = 0;
    const char *why = "";
    char source[400];
    if (!GaugeValuesFromFile(path, static_cast<std::size_t>(e.n), values, bad, &why)) {
        std::snprintf(source, sizeof source, "Cannot read %s: %s", path, why);
        SetCtrlVal(pGauge, GAUGE_GaugeSource, source);
        return 0;
    }
    const char *slash = std::strrchr(path, '/');
    std::snprintf(source, sizeof source, "File %s: first %zu samples%s", slash ? slash + 1 : path,
                  values.size(),
                  values.size() < static_cast<std::size_t>(e.n) ? " (all it holds)" : "");
    ShowStudy(values, e, source, path);
    return 0;
}

// The study on screen into the same PDF form as kvex gauge-study --pdf
// writes, with the title block every report of the program asks for.
int CC_GaugeReport(int, int, int event, void *, int, int) {
    if (event != EVENT_COMMIT || !g_shown.has) return 0;
    ReportTitle title;
    if (!AskReportTitle(title)) return 0;
    char path[260];
    if (!ChooseReportFile("gauge_study.pdf", path)) return 0;
    const ShownStudy &s = g_shown;
    const GaugeStudyReport report =
        GaugeReport(title, s.values, s.study, s.file.empty() ? nullptr : s.file.c_str(),
                    s.device.c_str(), s.sensor);
    const char *why = "";
    char text[600];
    const bool written = WriteGaugeStudyReport(report, path, &why);
    if (written)
        std::snprintf(text, sizeof text, "Report saved: %s", path);
    else
        std::snprintf(text, sizeof text, "Report NOT saved: cannot write %s: %s", path,
                      why && *why ? why : "unknown reason");
    SayReport(text, written ? 0x000000 : 0xC00000);
    return 0;
}
