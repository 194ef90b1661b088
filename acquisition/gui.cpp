// Drawing: video curves, bar graphs with cursors, peak bars and tolerance
// windows, the numeric displays, and the raw strip chart.
#include "gui.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <initializer_list>
#include <limits>

#include "com232.h"
#include "session.h"
#include "ui.h"

unsigned short curposA, curposB;
double arrayNORM[500];
int historySamples;
int64_t historyWallMs[100];

namespace {

constexpr int kRed = 0xFF0000;
constexpr int kDarkGreen = 0x008000;
constexpr int kGreen = 0x00FF00;
constexpr int kBlack = 0x000000;
constexpr int kGrey = 0x808080;

constexpr int kHistory = 500;  // 100 samples of five traces
constexpr int kTraces = 5;
constexpr int kHistorySamples = kHistory / kTraces;

// The times beside the history move with it; the newest gets `wallMs`.
void ShiftHistoryTimes(int64_t wallMs) {
    std::copy(historyWallMs + 1, historyWallMs + kHistorySamples, historyWallMs);
    historyWallMs[kHistorySamples - 1] = wallMs;
}

int64_t NowMs() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// The history shows a recording: its axis is the file's, not the sensor's.
bool historyOfRecording = false;
bool limitDisplaysDimmed = false;

// Wall-clock second of the last value shown live; 0 while none was.
std::time_t lastLiveValue = 0;
// The sample being drawn (nullptr: the globals alone), and the same when it
// is a recorded one.
const Sample *drawn = nullptr;
const Sample *recorded = nullptr;

void PlotVideoCurve(int graph, const unsigned short *samples, const unsigned short *thresholds,
                    const double *x) {
    DeleteGraphPlot(pHandle, graph, -1, VAL_IMMEDIATE_DRAW);
    PlotXY(pHandle, graph, x, samples, MAXPOINT, VAL_DOUBLE, VAL_UNSIGNED_SHORT_INTEGER,
           VAL_CONNECTED_POINTS, VAL_SOLID_SQUARE, VAL_SOLID, 1, kRed);
    PlotXY(pHandle, graph, x, thresholds, MAXPOINT, VAL_DOUBLE, VAL_UNSIGNED_SHORT_INTEGER,
           VAL_CONNECTED_POINTS, VAL_SOLID_SQUARE, VAL_SOLID, 1, kDarkGreen);
}

unsigned short LimitToLine(unsigned short pos) {
    if (pos < 1) return 1;
    if (pos > ccdvirtpixel) return ccdvirtpixel;
    return pos;
}

// Displays that show the sensor's live values: grey once nothing live stands
// behind them, black again with the next reply.
constexpr int kLiveDisplays[] = {PANEL_Display15, PANEL_Display16, PANEL_Display17, PANEL_Display33,
                                 PANEL_Display36};

void ShowRawValues() {
    for (int id : kLiveDisplays) SetCtrlAttribute(pHandle, id, ATTR_TEXT_COLOR, kBlack);
    SetCtrlVal(pHandle, PANEL_Display16, static_cast<unsigned int>(Bval));
    SetCtrlVal(pHandle, PANEL_Display17, static_cast<unsigned int>(Aval));
    SetCtrlVal(pHandle, PANEL_Display15, static_cast<unsigned int>(Mvalue));
    SetCtrlVal(pHandle, PANEL_NEDITeachA, static_cast<unsigned int>(parameter[PW_TEACH_A]));
    SetCtrlVal(pHandle, PANEL_NEDITeachB, static_cast<unsigned int>(parameter[PW_TEACH_B]));
    SetCtrlVal(pHandle, PANEL_Display36, static_cast<unsigned int>(anaMax));
    SetCtrlVal(pHandle, PANEL_Display33, static_cast<unsigned int>(anaMin));
}

void ShowVerdict(const char *text, int color) {
    SetCtrlAttribute(pHandle, PANEL_ToleranceVerdict, ATTR_TEXT_COLOR, color);
    SetCtrlVal(pHandle, PANEL_ToleranceVerdict, text);
}

const char *VerdictText(Verdict v) {
    switch (v) {
        case Verdict::Above:
            return "above tolerance";
        case Verdict::Below:
            return "below tolerance";
        case Verdict::Inside:
            return "in tolerance";
        default:
            return "not judged: no limits";
    }
}

int VerdictColour(Verdict v) {
    if (v == Verdict::None) return kGrey;
    return v == Verdict::Inside ? kDarkGreen : kRed;
}

void DimLimitDisplays(bool dim) {
    if (limitDisplaysDimmed == dim) return;
    limitDisplaysDimmed = dim;
    for (int id : {PANEL_Display34, PANEL_Display35, PANEL_Display44, PANEL_Display45})
        SetCtrlAttribute(pHandle, id, ATTR_DIMMED, dim ? 1 : 0);
}

void ShowToleranceState() {
    Verdict v;
    double setpointUm, lowerUm, upperUm, valueUm;
    if (recorded) {
        v = recorded->verdict;
        setpointUm = recorded->setpointUm, lowerUm = recorded->lowerUm;
        upperUm = recorded->upperUm, valueUm = recorded->exactUm;
    } else {
        lastLiveValue = std::time(nullptr);
        v = JudgeValue(Mvalue);
        const LimitsUm l = LimitsInForce(tollo, tolup);
        setpointUm = l.setpointUm, lowerUm = l.lowerUm, upperUm = l.upperUm;
        valueUm = drawn ? drawn->exactUm
                        : ExactUm(static_cast<int32_t>(l.setpointUm), Mvalue, tVal, l.umPerUnit);
    }
    SetCtrlAttribute(pHandle, PANEL_Display14, ATTR_TEXT_BGCOLOR, VerdictColour(v));
    // The colour alone says nothing to a screen reader or a colour-blind eye.
    ShowVerdict(VerdictText(v), VerdictColour(v));
    const double limitsMm[2] = {lowerUm / 1000, upperUm / 1000};
    const int decimals = DecimalsApart(valueUm / 1000, limitsMm, 2);
    SetCtrlAttribute(pHandle, PANEL_Display14, ATTR_PRECISION, decimals);
    SetCtrlVal(pHandle, PANEL_Display14, valueUm / 1000);
    // A recorded value without limits was judged against none: its limits
    // and tolerances are not shown as 0 but dimmed, as the verdict says.
    const bool limitsHeld = !recorded || recorded->hasLower || recorded->hasUpper;
    DimLimitDisplays(!limitsHeld);
    if (limitsHeld) ShowToleranceLimits(setpointUm, lowerUm, upperUm, decimals);
}

}  // namespace

void ShowDisplaysStale() {
    SetCtrlAttribute(pHandle, PANEL_Display14, ATTR_TEXT_BGCOLOR, kGrey);
    for (int id : kLiveDisplays) SetCtrlAttribute(pHandle, id, ATTR_TEXT_COLOR, kGrey);
    char text[48] = "no live value", clock[16];
    if (lastLiveValue != 0 && WallTimeText(static_cast<int64_t>(lastLiveValue) * 1000,
                                           WallStyle::Clock, clock, sizeof clock) > 0)
        std::snprintf(text, sizeof text, "no live value, last %s", clock);
    ShowVerdict(text, kGrey);
    ShowBarGraphsIdle();
}

// The deviations, and the nominal with both limits beside them, all in mm.
// They change seldom: a display is written only when its value does. The
// limits take the decimals that tell the value apart from them.
void ShowToleranceLimits(double setpointUm, double lowerUm, double upperUm, int decimals) {
    const double values[5] = {(setpointUm - lowerUm) / 1000, (upperUm - setpointUm) / 1000,
                              setpointUm / 1000, lowerUm / 1000, upperUm / 1000};
    static const int kDisplays[5] = {PANEL_Display34, PANEL_Display35, PANEL_Display43,
                                     PANEL_Display44, PANEL_Display45};
    for (int i = 0; i < 5; ++i) {
        SetCtrlAttribute(pHandle, kDisplays[i], ATTR_PRECISION, i < 3 ? 3 : decimals);
        double shown = 0;
        GetCtrlVal(pHandle, kDisplays[i], &shown);
        if (shown != values[i]) SetCtrlVal(pHandle, kDisplays[i], values[i]);
    }
}

void ShowBarGraphsIdle() {
    for (int graph : {PANEL_GraphBarA, PANEL_GraphBarB}) {
        DeleteGraphPlot(pHandle, graph, -1, VAL_DELAYED_DRAW);
        PlotRectangle(pHandle, graph, 0.0, 0.0, ccdvirtpixel - 1.0, 1.0, 0xA0A0A0, 0xA0A0A0);
    }
}

void ShowResetMaxMin() {
    SetCtrlVal(pHandle, PANEL_Display36, static_cast<unsigned int>(Mvalue));
    SetCtrlVal(pHandle, PANEL_Display33, static_cast<unsigned int>(Mvalue));
    for (int id : {PANEL_Display33, PANEL_Display36})
        SetCtrlAttribute(pHandle, id, ATTR_TEXT_COLOR, kGrey);
}

namespace {

void DrawPeakBar(int graph, unsigned short pos, unsigned short width) {
    const int half = width / 2;
    PlotRectangle(pHandle, graph, pos - half, 0.25, pos + half, 1.0, kRed, kRed);
}

// Modes 3 and 4 show how far the measured value lies from N: above it on the
// A graph, below it on the B graph.
void ShowDeviation() {
    const int n = ccdvirtpixel;
    if (Mvalue > n) {
        SetCursorAttribute(pHandle, PANEL_GraphBarB, 2, ATTR_CURSOR_POINT_STYLE, VAL_NO_POINT);
        SetCursorAttribute(pHandle, PANEL_GraphBarA, 2, ATTR_CURSOR_POINT_STYLE, VAL_SOLID_CIRCLE);
        if (Mvalue > 2 * n - 1) Mvalue = static_cast<unsigned short>(2 * n);
        SetGraphCursor(pHandle, PANEL_GraphBarA, 2, Mvalue - n, 0.75);
    } else if (Mvalue < n) {
        SetCursorAttribute(pHandle, PANEL_GraphBarA, 2, ATTR_CURSOR_POINT_STYLE, VAL_NO_POINT);
        SetCursorAttribute(pHandle, PANEL_GraphBarB, 2, ATTR_CURSOR_POINT_STYLE, VAL_SOLID_CIRCLE);
        SetGraphCursor(pHandle, PANEL_GraphBarB, 2, n - Mvalue, 0.75);
    } else {
        SetCursorAttribute(pHandle, PANEL_GraphBarA, 2, ATTR_CURSOR_POINT_STYLE, VAL_NO_POINT);
        SetCursorAttribute(pHandle, PANEL_GraphBarB, 2, ATTR_CURSOR_POINT_STYLE, VAL_NO_POINT);
    }
}

// A window edge never leaves the line: lo below 0 becomes 1, hi beyond N - 1
// becomes N.
void DrawWindow(int graph, int lo, int hi) {
    const int n = ccdvirtpixel;
    if (lo < 0) lo = 1;
    if (hi > n - 1) hi = n;
    PlotRectangle(pHandle, graph, lo, 0.0, hi, 0.35, kGreen, kGreen);
}

// The analog trace by analog mode; a mode the sensor does not define draws 0.
double AnalogValue() {
    switch (parameter[PW_ANAMODE]) {
        case 0:
            return Mvalue;
        case 1:
        case 3:
            return anaMax;
        case 2:
        case 4:
            return anaMin == yaxisMAX - 1 ? 1 : anaMin;
        default:
            return 0;
    }
}

struct ZoomWindow {
    int low, high;
};

// A narrow tolerance band gets a fixed margin; a wide one twice itself. The
// window then takes in the whole band and every kept value with a margin
// beyond it, so the worst excursions in the history are never cut off.
ZoomWindow ZoomAroundSetpoint() {
    const int t = tVal;
    const bool narrow = tollo < 20 || tolup < 20;
    ZoomWindow z = narrow ? ZoomWindow{t - 20, t + 20} : ZoomWindow{t - 2 * tollo, t + 2 * tolup};
    const int margin = narrow ? 40 : 100;
    double lowest = std::min(t - tollo, static_cast<int>(Mvalue));
    double highest = std::max(t + tolup, static_cast<int>(Mvalue));
    for (int i = 0; i < kHistory; ++i) {
        // The analog trace (the fifth) is no measured value.
        if (i % kTraces == kTraces - 1 || !std::isfinite(arrayNORM[i])) continue;
        lowest = std::min(lowest, arrayNORM[i]);
        highest = std::max(highest, arrayNORM[i]);
    }
    if (highest > z.high) z.high = static_cast<int>(std::ceil(highest)) + margin;
    if (lowest < z.low) z.low = static_cast<int>(std::floor(lowest)) - margin;
    // A recording may come from a sensor of another range than the one
    // connected (or none): only the units themselves bound it.
    const int top = historyOfRecording ? 65535 : yaxisMAX;
    if (z.high > top) z.high = top;
    if (z.low < 0) z.low = 0;
    return z;
}

// A recording's whole view: every kept value and limit line, with a margin,
// as the sensor's whole range is the live one.
ZoomWindow RecordedRange() {
    double lowest = std::numeric_limits<double>::infinity(), highest = -lowest;
    for (int i = 0; i < kHistory; ++i) {
        if (i % kTraces == kTraces - 1 || !std::isfinite(arrayNORM[i])) continue;
        lowest = std::min(lowest, arrayNORM[i]);
        highest = std::max(highest, arrayNORM[i]);
    }
    if (lowest > highest) return {0, yaxisMAX};  // nothing kept yet
    const int margin = std::max(10, static_cast<int>(std::ceil((highest - lowest) / 10)));
    const int low = std::max(0, static_cast<int>(std::floor(lowest)) - margin);
    return {low, std::min(65535, static_cast<int>(std::ceil(highest)) + margin)};
}

void SetStripChartLook() {
    for (int t = 1; t <= 3; ++t)
        SetTraceAttribute(pHandle, PANEL_StripChartRaw, t, ATTR_TRACE_VISIBLE, 1);
    // Exactly the kept samples: one point more would show the newest sample
    // of the frame before at the left edge.
    SetCtrlAttribute(pHandle, PANEL_StripChartRaw, ATTR_POINTS_PER_SCREEN, kHistorySamples);
    SetCtrlAttribute(pHandle, PANEL_StripChartRaw, ATTR_SCROLL_MODE, 1);
}

void SetStripChartTraces() {
    static const int kColours[kTraces] = {kDarkGreen, kDarkGreen, kBlack, kRed, kRed};
    for (int t = 1; t <= kTraces; ++t)
        SetTraceAttribute(pHandle, PANEL_StripChartRaw, t, ATTR_TRACE_COLOR, kColours[t - 1]);
    SetCtrlAttribute(pHandle, PANEL_StripChartRaw, ATTR_NUM_TRACES, kTraces);
}

}  // namespace

void PlotVIDEOCurveA(const unsigned short *samples, const unsigned short *thresholds,
                     const double *x) {
    SetAxisScalingMode(pHandle, PANEL_GraphVideoA, VAL_RIGHT_YAXIS, VAL_MANUAL, 0.0, YMAXADC);
    SetAxisScalingMode(pHandle, PANEL_GraphVideoA, VAL_LEFT_YAXIS, VAL_MANUAL, 0.0, YMAXADC);
    PlotVideoCurve(PANEL_GraphVideoA, samples, thresholds, x);
}

void PlotVIDEOCurveB(const unsigned short *samples, const unsigned short *thresholds,
                     const double *x) {
    SetAxisScalingMode(pHandle, PANEL_GraphVideoB, VAL_LEFT_YAXIS, VAL_MANUAL, 0.0, YMAXADC);
    SetAxisScalingMode(pHandle, PANEL_GraphVideoB, VAL_RIGHT_YAXIS, VAL_MANUAL, 0.0, YMAXADC);
    PlotVideoCurve(PANEL_GraphVideoB, samples, thresholds, x);
}

void PlotVIDEOBarGraph() {
    ShowRawValues();
    if (recorded)
        tVal = recorded->setpointUnits;
    else
        UpdateSetpoint(parameter[PW_EVALMODE]);
    ShowToleranceState();

    curposA = LimitToLine(Aval);
    curposB = LimitToLine(Bval);
    for (int graph : {PANEL_GraphBarA, PANEL_GraphBarB})
        SetAxisScalingMode(pHandle, graph, VAL_XAXIS, VAL_MANUAL, 0.0, ccdvirtpixel);
    DeleteGraphPlot(pHandle, PANEL_GraphBarA, -1, VAL_DELAYED_DRAW);
    DeleteGraphPlot(pHandle, PANEL_GraphBarB, -1, VAL_DELAYED_DRAW);

    SetGraphCursor(pHandle, PANEL_GraphBarA, 1, curposA, 0.75);
    SetGraphCursor(pHandle, PANEL_GraphBarB, 1, curposB, 0.75);
    SetGraphCursor(pHandle, PANEL_GraphBarA, 2, curposA, 0.75);
    SetGraphCursor(pHandle, PANEL_GraphBarB, 2, curposB, 0.75);

    DrawPeakBar(PANEL_GraphBarA, Aval, peakwA);
    DrawPeakBar(PANEL_GraphBarB, Bval, peakwB);

    const unsigned short mode = parameter[PW_EVALMODE];
    if (mode == 3 || mode == 4) ShowDeviation();
    PlotTOLWindow(mode, curposA, curposB);
}

void PlotTOLWindow(unsigned short mode, unsigned short posA, unsigned short posB) {
    const int tA = parameter[PW_TEACH_A], tB = parameter[PW_TEACH_B];
    const int up = tolup, lo = tollo;
    switch (mode) {
        case 0:
            DrawWindow(PANEL_GraphBarB, tB - lo, tB + up);
            break;
        case 1:
            DrawWindow(PANEL_GraphBarA, tA - lo, tA + up);
            break;
        case 2:
            if (edcntA > 0 && edcntB > 0) {
                // Both windows move with the target so that their centres keep
                // the distance of the teach values.
                const int h = ((tA + tB) - (posA + posB)) / 2;
                DrawWindow(PANEL_GraphBarA, posA + h - lo / 2, posA + h + up / 2);
                DrawWindow(PANEL_GraphBarB, posB + h - lo / 2, posB + h + up / 2);
            } else {
                DrawWindow(PANEL_GraphBarA, tA - lo / 2, tA + up / 2);
                DrawWindow(PANEL_GraphBarB, tB - lo / 2, tB + up / 2);
            }
            break;
        case 3:
        case 4:
            PlotRectangle(pHandle, PANEL_GraphBarA, 1.0, 0.0, up, 0.35, kGreen, kGreen);
            PlotRectangle(pHandle, PANEL_GraphBarB, 1.0, 0.0, lo, 0.35, kGreen, kGreen);
            break;
        default:
            break;
    }
}

void PlotRAWGraph() {
    if (recorded) {
        AddRecordedHistoryPoint(*recorded);
        RedrawHistory();
        return;
    }
    const double analog = AnalogValue();
    const unsigned short mode = parameter[PW_EVALMODE];
    UpdateSetpoint(mode);
    if (mode == 2) {
        // A zero tolerance would leave no band in mode 2; the word itself
        // becomes 1 and goes to the sensor with the next transfer.
        if (parameter[PW_TOLUP] == 0) parameter[PW_TOLUP] = 1;
        if (parameter[PW_TOLLO] == 0) parameter[PW_TOLLO] = 1;
    }
    Shift(arrayNORM, kHistory, -kTraces, arrayNORM);
    ShiftHistoryTimes(drawn ? drawn->wallMs : NowMs());  // when it was taken

    int upper = tVal + tolup;
    int lower = tVal - tollo;
    if (upper > yaxisMAX - 1) upper = yaxisMAX - 1;
    if (lower < 1) lower = 1;

    double *newest = arrayNORM + kHistory - kTraces;
    newest[0] = upper;
    newest[1] = lower;
    newest[2] = tVal;
    newest[3] = Mvalue;
    newest[4] = analog;

    SetStripChartLook();
    ApplyHistoryScale();
    SetStripChartTraces();
    PlotStripChart(pHandle, PANEL_StripChartRaw, arrayNORM, kHistory, 0, 0, VAL_DOUBLE);
    // The whole history is drawn again each time; its x axis counts samples.
    SetCtrlAttribute(pHandle, PANEL_StripChartRaw, ATTR_NEWEST_POINT_NUMBER, ++historySamples);
}

void RedrawHistory() {
    SetStripChartLook();
    ApplyHistoryScale();
    SetStripChartTraces();
    PlotStripChart(pHandle, PANEL_StripChartRaw, arrayNORM, kHistory, 0, 0, VAL_DOUBLE);
    SetCtrlAttribute(pHandle, PANEL_StripChartRaw, ATTR_NEWEST_POINT_NUMBER, historySamples);
}

void HistoryOfRecording(bool on) {
    historyOfRecording = on;
    if (!on) DimLimitDisplays(false);
}

void DrawingSample(const Sample *sample, bool asRecorded) {
    drawn = sample;
    recorded = asRecorded ? sample : nullptr;
}

int64_t HistoryPointTime(long number) {
    const long back = historySamples - number;
    if (back < 0 || back >= kHistorySamples) return -1;
    return historyWallMs[kHistorySamples - 1 - back];
}

void AddRecordedHistoryPoint(const Sample &s) {
    Shift(arrayNORM, kHistory, -kTraces, arrayNORM);
    ShiftHistoryTimes(s.wallMs);
    double *newest = arrayNORM + kHistory - kTraces;
    const double nan = std::numeric_limits<double>::quiet_NaN();
    // Lines in units only where the sample knows its scale: none are guessed.
    const bool judged = s.verdict != Verdict::None && s.umPerUnit > 0;
    newest[0] = judged ? s.setpointUnits + s.tolUp : nan;
    newest[1] = judged ? s.setpointUnits - s.tolLow : nan;
    newest[2] = judged ? s.setpointUnits : nan;
    newest[3] = s.units;
    newest[4] = nan;  // a recording holds no analog value
    historySamples = static_cast<int>(s.number);
}

void ClearHistory() {
    std::fill(arrayNORM, arrayNORM + kHistory, std::numeric_limits<double>::quiet_NaN());
    std::fill(historyWallMs, historyWallMs + kHistorySamples, -1);
    historySamples = 0;
}

// A run after a stop is not joined to the one before: an empty slot lies
// between them, numbered like a sample so the older samples keep theirs.
void BeginHistoryRun() {
    double *newest = arrayNORM + kHistory - kTraces;
    if (std::isnan(newest[0])) return;  // nothing kept, or the gap is there
    Shift(arrayNORM, kHistory, -kTraces, arrayNORM);
    std::fill(newest, newest + kTraces, std::numeric_limits<double>::quiet_NaN());
    ShiftHistoryTimes(-1);
    ++historySamples;
}

void ApplyHistoryScale() {
    int zoomOn = 0;
    GetCtrlVal(pHandle, PANEL_TOGBTN_Zoom, &zoomOn);
    if (zoomOn || historyOfRecording) {
        const ZoomWindow zoom = zoomOn ? ZoomAroundSetpoint() : RecordedRange();
        SetAxisScalingMode(pHandle, PANEL_StripChartRaw, VAL_LEFT_YAXIS, VAL_MANUAL, zoom.low,
                           zoom.high);
    } else {
        SetAxisScalingMode(pHandle, PANEL_StripChartRaw, VAL_LEFT_YAXIS, VAL_MANUAL, 0.0, yaxisMAX);
    }
}

int Copy1D(const double *input, int n, double *output) {
    if (n < 1) return -20003;
    for (int i = 0; i < n; ++i) output[i] = input[i];
    return 0;
}

// output[i] = input[i - shifts], zero where that falls outside; the copy runs
// in the direction that lets input and output be the same array.
int Shift(const double *input, int n, int shifts, double *output) {
    if (n < 1) return -20003;
    const long long magnitude = shifts < 0 ? -static_cast<long long>(shifts) : shifts;
    if (magnitude >= n) return -20102;
    if (shifts == 0) return Copy1D(input, n, output);
    if (shifts > 0) {
        for (int i = n - 1; i >= shifts; --i) output[i] = input[i - shifts];
        for (int i = 0; i < shifts; ++i) output[i] = 0.0;
    } else {
        const int k = -shifts;
        for (int i = 0; i <= n - 1 - k; ++i) output[i] = input[i + k];
        for (int i = n - k; i < n; ++i) output[i] = 0.0;
    }
    return 0;
}
