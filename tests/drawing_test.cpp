// What the operator sees of a reply: displays, bar graphs with cursors, peak
// bars and tolerance windows, video curves, and the strip chart history.
#include <gtest/gtest.h>
#include <qcustomplot.h>

#include <string>
#include <vector>

#include "gui.h"
#include "kvex_app.h"
#include "ui_qt.h"

using kvextest::KVexApp;

namespace {

struct Rect {
    double x1, y1, x2, y2;
    int fill;
};

// The rectangles a graph shows now.
std::vector<Rect> Rects(int graph) {
    std::vector<Rect> out;
    QCustomPlot *plot = UiControlPlot(pHandle, graph);
    for (int i = 0; plot && i < plot->itemCount(); ++i) {
        auto *r = qobject_cast<QCPItemRect *>(plot->item(i));
        if (!r || !r->visible()) continue;
        out.push_back({r->topLeft->coords().x(), r->bottomRight->coords().y(),
                       r->bottomRight->coords().x(), r->topLeft->coords().y(),
                       static_cast<int>(r->brush().color().rgb() & 0xFFFFFF)});
    }
    return out;
}

std::vector<Rect> Windows(int graph) {
    std::vector<Rect> w;
    for (const Rect &r : Rects(graph))
        if (r.fill == 0x00FF00) w.push_back(r);
    return w;
}

std::vector<Rect> PeakBars(int graph) {
    std::vector<Rect> w;
    for (const Rect &r : Rects(graph))
        if (r.fill == 0xFF0000) w.push_back(r);
    return w;
}

struct Reply {
    unsigned short a = 2000, b = 2100, m = 2000;
    int um = 37000;
    unsigned short up = 40, lo = 60, edA = 1, edB = 1, pwA = 9, pwB = 9, max = 0, min = 0;
};

// A raw-values reply drawn as run mode draws it.
void Draw(const Reply &r) {
    const unsigned short words[16] = {r.a,
                                      r.b,
                                      r.m,
                                      static_cast<unsigned short>(r.um >> 16),
                                      static_cast<unsigned short>(r.um & 0xFFFF),
                                      r.up,
                                      r.lo,
                                      r.edA,
                                      r.edB,
                                      r.pwA,
                                      r.pwB,
                                      r.max,
                                      r.min,
                                      0,
                                      0,
                                      0};
    for (int i = 0; i < 16; ++i) pp[i] = words[i];
    CopyPPtoRAWVars();
    PlotVIDEOBarGraph();
    PlotRAWGraph();
}

int Colour14() { return KVexApp::Attr(pHandle, PANEL_Display14, ATTR_TEXT_BGCOLOR); }

double Cursor(int graph, int cursor) {
    double x = 0, y = 0;
    GetGraphCursor(pHandle, graph, cursor, &x, &y);
    return x;
}

int Marker(int graph, int cursor) {
    int style = -1;
    GetCursorAttribute(pHandle, graph, cursor, ATTR_CURSOR_POINT_STYLE, &style);
    return style;
}

double NewestOfTrace(int trace) {
    double values[200];
    const int n = GetStripChartTrace(pHandle, PANEL_StripChartRaw, trace, values, 200);
    return n > 0 ? values[n - 1] : -1;
}

class Drawing : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(app.Start(false));
        ClearHistory();  // as the program starts: no sample kept
    }
    void Mode(unsigned short m, unsigned short tA, unsigned short tB) {
        parameter[PW_EVALMODE] = m;
        parameter[PW_TEACH_A] = tA;
        parameter[PW_TEACH_B] = tB;
    }
    KVexApp app;
};

}  // namespace

TEST_F(Drawing, ToleranceCheckUsesPlainIntegersAndTheWindowFollowsTheMode) {
    Mode(1, 100, 3000);
    Reply r;
    r.a = 90, r.m = 50, r.up = 20, r.lo = 150;
    Draw(r);
    EXPECT_EQ(100, tVal);
    EXPECT_EQ(0x008000, Colour14()) << "100 - 150 is below zero and cannot be undershot";
    ASSERT_EQ(1u, Windows(PANEL_GraphBarA).size());
    EXPECT_EQ(1.0, Windows(PANEL_GraphBarA)[0].x1);
    EXPECT_EQ(120.0, Windows(PANEL_GraphBarA)[0].x2);
    EXPECT_EQ(0.35, Windows(PANEL_GraphBarA)[0].y2);
    EXPECT_TRUE(Windows(PANEL_GraphBarB).empty()) << "mode 1 draws on A only";

    r.m = 121;
    Draw(r);
    EXPECT_EQ(0xFF0000, Colour14());
    r.m = 120;
    Draw(r);
    EXPECT_EQ(0x008000, Colour14());

    Mode(0, 100, 3000);
    r.m = 2950;
    Draw(r);
    EXPECT_EQ(3000, tVal);
    EXPECT_TRUE(Windows(PANEL_GraphBarA).empty());
    ASSERT_EQ(1u, Windows(PANEL_GraphBarB).size());
    EXPECT_EQ(2850.0, Windows(PANEL_GraphBarB)[0].x1);
    EXPECT_EQ(3020.0, Windows(PANEL_GraphBarB)[0].x2);
}

// The value shown is the exact one (setpoint value plus the offset from the
// setpoint in units times the scale), not the sensor's whole µm.
TEST_F(Drawing, DisplaysShowMillimetresAndTheRawValues) {
    Mode(1, 2000, 2100);
    Reply r;
    r.a = 2010, r.b = 2111, r.m = 2011, r.um = -1234, r.up = 1000, r.max = 2300, r.min = 1800;
    parameter[PW_SCALE_LO] = 8192;  // 0.5 µm per unit
    parameter[PW_SCALE_HI] = 0;
    SetWord32(PW_SETPOINT_LO, static_cast<uint32_t>(-1240));
    Draw(r);
    double mm = 0, upMm = 0;
    GetCtrlVal(pHandle, PANEL_Display14, &mm);
    GetCtrlVal(pHandle, PANEL_Display35, &upMm);
    EXPECT_DOUBLE_EQ(-1.2345, mm);
    EXPECT_DOUBLE_EQ(0.5, upMm);
    EXPECT_EQ(2010, KVexApp::U16(pHandle, PANEL_Display17));
    EXPECT_EQ(2111, KVexApp::U16(pHandle, PANEL_Display16));
    EXPECT_EQ(2300, KVexApp::U16(pHandle, PANEL_Display36));
    EXPECT_EQ(1800, KVexApp::U16(pHandle, PANEL_Display33));
}

// One unit beyond a limit at 0.25 µm a unit: the value and the limit it
// was judged beyond must read apart; well inside, three decimals suffice.
TEST_F(Drawing, AValueBeyondALimitNeverReadsAsTheLimit) {
    Mode(1, 2000, 2100);
    parameter[PW_SCALE_LO] = 4096, parameter[PW_SCALE_HI] = 0;
    SetWord32(PW_SETPOINT_LO, 37000);
    Reply r;
    r.up = 80, r.lo = 80;
    auto text = [](int control) {
        char t[64] = "";
        GetCtrlVal(pHandle, control, t, sizeof t);
        return std::string(t);
    };
    r.m = 2081;
    Draw(r);
    EXPECT_EQ(text(PANEL_ToleranceVerdict), "above tolerance");
    EXPECT_EQ(text(PANEL_Display45), "37.0200");
    EXPECT_NE(text(PANEL_Display14), text(PANEL_Display45));
    EXPECT_EQ(text(PANEL_Display14).substr(0, 6), "37.020");
    r.m = 1919;  // one unit below the lower limit
    Draw(r);
    EXPECT_EQ(text(PANEL_ToleranceVerdict), "below tolerance");
    EXPECT_EQ(text(PANEL_Display44), "36.9800");
    EXPECT_NE(text(PANEL_Display14), text(PANEL_Display44));
    EXPECT_EQ(text(PANEL_Display14).substr(0, 6), "36.979");
    r.m = 2040;
    Draw(r);
    EXPECT_EQ(text(PANEL_Display14), "37.010");
    EXPECT_EQ(text(PANEL_Display45), "37.020");
}

TEST_F(Drawing, WindowEdgesStayOnTheLine) {
    ccdvirtpixel = 2048;
    Mode(1, 2000, 0);
    tolup = 47;
    tollo = 10;
    PlotTOLWindow(1, 0, 0);
    EXPECT_EQ(2047.0, Windows(PANEL_GraphBarA).back().x2) << "N - 1 itself stays";
    DeleteGraphPlot(pHandle, PANEL_GraphBarA, -1, VAL_NO_DRAW);
    tolup = 48;
    PlotTOLWindow(1, 0, 0);
    EXPECT_EQ(2048.0, Windows(PANEL_GraphBarA).back().x2) << "beyond N - 1 becomes N";
    DeleteGraphPlot(pHandle, PANEL_GraphBarA, -1, VAL_NO_DRAW);
    tollo = 2000;
    PlotTOLWindow(1, 0, 0);
    EXPECT_EQ(0.0, Windows(PANEL_GraphBarA).back().x1) << "exactly 0 is kept";
    DeleteGraphPlot(pHandle, PANEL_GraphBarA, -1, VAL_NO_DRAW);
    tollo = 2001;
    PlotTOLWindow(1, 0, 0);
    EXPECT_EQ(1.0, Windows(PANEL_GraphBarA).back().x1) << "below 0 becomes 1";
}

TEST_F(Drawing, ModeTwoCentresBothWindowsOnTheTargetOrOnTheTeachValues) {
    Mode(2, 2000, 2100);
    Reply r;
    r.a = 1990, r.b = 2110, r.up = 40, r.lo = 60;  // posA + posB = tA + tB
    r.m = 2 * 4096 - 4100;
    Draw(r);
    ASSERT_EQ(1u, Windows(PANEL_GraphBarA).size());
    EXPECT_EQ(1990 - 30, Windows(PANEL_GraphBarA)[0].x1);
    EXPECT_EQ(1990 + 20, Windows(PANEL_GraphBarA)[0].x2);
    EXPECT_EQ(2110 - 30, Windows(PANEL_GraphBarB)[0].x1);
    EXPECT_EQ(2110 + 20, Windows(PANEL_GraphBarB)[0].x2);

    r.a = 1980, r.b = 2110;  // d = 10, h = 5
    Draw(r);
    EXPECT_EQ(1980 + 5 - 30, Windows(PANEL_GraphBarA)[0].x1);
    EXPECT_EQ(2110 + 5 + 20, Windows(PANEL_GraphBarB)[0].x2);

    r.edB = 0;
    Draw(r);
    EXPECT_EQ(2000 - 30, Windows(PANEL_GraphBarA)[0].x1);
    EXPECT_EQ(2100 + 20, Windows(PANEL_GraphBarB)[0].x2);
}

TEST_F(Drawing, DeviationModesMoveTheSecondCursorAndLimitTheMeasuredValue) {
    Mode(3, 2000, 2100);
    Reply r;
    r.m = 4096 + 904;
    Draw(r);
    EXPECT_EQ(904.0, Cursor(PANEL_GraphBarA, 2));
    EXPECT_EQ(VAL_NO_POINT, Marker(PANEL_GraphBarB, 2));
    EXPECT_EQ(VAL_SOLID_CIRCLE, Marker(PANEL_GraphBarA, 2));
    ASSERT_EQ(1u, Windows(PANEL_GraphBarA).size());
    EXPECT_EQ(1.0, Windows(PANEL_GraphBarA)[0].x1);
    EXPECT_EQ(40.0, Windows(PANEL_GraphBarA)[0].x2);
    EXPECT_EQ(60.0, Windows(PANEL_GraphBarB)[0].x2);

    r.m = 9000;
    Draw(r);
    EXPECT_EQ(8192, Mvalue);
    EXPECT_EQ(4096.0, Cursor(PANEL_GraphBarA, 2));
    EXPECT_EQ(8192.0, NewestOfTrace(4)) << "the strip chart sees the limited value";
    EXPECT_EQ(4096.0, NewestOfTrace(3)) << "setpoint N in the middle of 0..2N";

    r.m = 3000;
    Mode(4, 2000, 2100);
    Draw(r);
    EXPECT_EQ(1096.0, Cursor(PANEL_GraphBarB, 2));
    EXPECT_EQ(VAL_NO_POINT, Marker(PANEL_GraphBarA, 2));
    EXPECT_EQ(VAL_SOLID_CIRCLE, Marker(PANEL_GraphBarB, 2));

    r.m = 4096;
    Draw(r);
    EXPECT_EQ(VAL_NO_POINT, Marker(PANEL_GraphBarA, 2));
    EXPECT_EQ(VAL_NO_POINT, Marker(PANEL_GraphBarB, 2));
}

TEST_F(Drawing, CursorsStayOnTheLineWhileThePeakBarMayLeaveIt) {
    Mode(1, 2000, 2100);
    Reply r;
    r.a = 0, r.pwA = 7, r.b = 5000, r.pwB = 10;
    Draw(r);
    EXPECT_EQ(1.0, Cursor(PANEL_GraphBarA, 1));
    EXPECT_EQ(4096.0, Cursor(PANEL_GraphBarB, 1));
    ASSERT_EQ(1u, PeakBars(PANEL_GraphBarA).size());
    EXPECT_EQ(-3.0, PeakBars(PANEL_GraphBarA)[0].x1);
    EXPECT_EQ(3.0, PeakBars(PANEL_GraphBarA)[0].x2);
    EXPECT_EQ(0.25, PeakBars(PANEL_GraphBarA)[0].y1);
    EXPECT_EQ(1.0, PeakBars(PANEL_GraphBarA)[0].y2);
    EXPECT_EQ(4995.0, PeakBars(PANEL_GraphBarB)[0].x1);
}

TEST(ArrayShift, MovesInPlaceAndRefusesWhatCannotBeShifted) {
    double a[500];
    for (int i = 0; i < 500; ++i) a[i] = i;
    EXPECT_EQ(0, Shift(a, 500, -5, a));
    EXPECT_EQ(5.0, a[0]);
    EXPECT_EQ(499.0, a[494]);
    for (int i = 495; i < 500; ++i) EXPECT_EQ(0.0, a[i]);

    for (int i = 0; i < 500; ++i) a[i] = i;
    EXPECT_EQ(0, Shift(a, 500, 3, a));
    EXPECT_EQ(0.0, a[2]);
    EXPECT_EQ(0.0, a[3]);
    EXPECT_EQ(496.0, a[499]);

    for (int i = 0; i < 500; ++i) a[i] = 1;
    EXPECT_EQ(-20102, Shift(a, 500, 500, a));
    EXPECT_EQ(-20102, Shift(a, 500, -500, a));
    EXPECT_EQ(-20102, Shift(a, 500, -2147483647 - 1, a));
    EXPECT_EQ(-20003, Shift(a, 0, 1, a));
    EXPECT_EQ(1.0, a[0]) << "a refused shift changes nothing";

    double b[3] = {};
    const double src[3] = {1.5, 2.5, 3.5};
    EXPECT_EQ(0, Shift(src, 3, 0, b));
    EXPECT_EQ(3.5, b[2]);
    EXPECT_EQ(-20003, Copy1D(src, 0, b));
}

TEST_F(Drawing, ZoomWindowNarrowAndWideAndTheLineLimits) {
    Mode(1, 1000, 0);
    SetCtrlVal(pHandle, PANEL_TOGBTN_Zoom, 1);
    Reply r;
    r.m = 1030, r.lo = 10, r.up = 30;
    Draw(r);
    double lo = 0, hi = 0;
    int mode = 0;
    GetAxisScalingMode(pHandle, PANEL_StripChartRaw, VAL_LEFT_YAXIS, &mode, &lo, &hi);
    EXPECT_EQ(980.0, lo);
    EXPECT_EQ(1070.0, hi);

    r.m = 1000, r.lo = 50, r.up = 50;
    Draw(r);
    GetAxisScalingMode(pHandle, PANEL_StripChartRaw, VAL_LEFT_YAXIS, &mode, &lo, &hi);
    EXPECT_EQ(900.0, lo);
    EXPECT_EQ(1100.0, hi);

    SetCtrlVal(pHandle, PANEL_TOGBTN_Zoom, 0);
    Mode(1, 10, 0);
    yaxisMAX = 2048;
    r.m = 10, r.lo = 50, r.up = 2090;
    Draw(r);
    EXPECT_EQ(2047.0, NewestOfTrace(1)) << "upper line";
    EXPECT_EQ(1.0, NewestOfTrace(2)) << "lower line";
    GetAxisScalingMode(pHandle, PANEL_StripChartRaw, VAL_LEFT_YAXIS, &mode, &lo, &hi);
    EXPECT_EQ(0.0, lo);
    EXPECT_EQ(2048.0, hi);
}

// The zoomed history shows the whole tolerance band and every kept value,
// also an excursion that has scrolled back and a band lopsided about the
// setpoint.
TEST_F(Drawing, ZoomedHistoryTakesInTheBandAndEveryKeptValue) {
    Mode(1, 1000, 0);
    SetCtrlVal(pHandle, PANEL_TOGBTN_Zoom, 1);
    Reply r;
    r.m = 1230, r.lo = 60, r.up = 40;
    Draw(r);
    r.m = 1000, r.lo = 60, r.up = 5;
    for (int i = 0; i < 5; ++i) Draw(r);
    double lo = 0, hi = 0;
    int mode = 0;
    GetAxisScalingMode(pHandle, PANEL_StripChartRaw, VAL_LEFT_YAXIS, &mode, &lo, &hi);
    EXPECT_LT(lo, 1000.0 - r.lo) << "the lower limit is in view";
    EXPECT_GT(hi, 1230.0) << "the excursion five samples back is in view";
    EXPECT_LT(hi - lo, yaxisMAX / 2.0) << "still zoomed";
}

TEST_F(Drawing, StripChartKeepsAHundredSamplesOfFiveTraces) {
    Mode(1, 2000, 2100);
    Reply r;
    for (int i = 0; i < 150; ++i) {
        r.m = static_cast<unsigned short>(1950 + i);
        Draw(r);
    }
    double m[200];
    const int n = GetStripChartTrace(pHandle, PANEL_StripChartRaw, 4, m, 200);
    ASSERT_GE(n, 100);
    EXPECT_EQ(1950.0 + 149, m[n - 1]);
    EXPECT_EQ(1950.0 + 50, m[n - 100]) << "the oldest sample shown is 100 back";
    int traces = 0, points = 0;
    GetCtrlAttribute(pHandle, PANEL_StripChartRaw, ATTR_NUM_TRACES, &traces);
    GetCtrlAttribute(pHandle, PANEL_StripChartRaw, ATTR_POINTS_PER_SCREEN, &points);
    EXPECT_EQ(5, traces);
    EXPECT_EQ(100, points) << "no point of the frame before at the left edge";
    int colour = 0;
    GetTraceAttribute(pHandle, PANEL_StripChartRaw, 3, ATTR_TRACE_COLOR, &colour);
    EXPECT_EQ(0x000000, colour);
}

TEST_F(Drawing, AnalogTraceFollowsTheAnalogMode) {
    Mode(1, 2000, 2100);
    Reply r;
    r.m = 2001, r.max = 2222, r.min = 1111;
    const double expected[6] = {2001, 2222, 1111, 2222, 1111, 0};
    for (unsigned short mode = 0; mode < 6; ++mode) {
        parameter[PW_ANAMODE] = mode;
        Draw(r);
        EXPECT_EQ(expected[mode], NewestOfTrace(5)) << "analog mode " << mode;
    }
    parameter[PW_ANAMODE] = 2;
    r.min = static_cast<unsigned short>(yaxisMAX - 1);
    Draw(r);
    EXPECT_EQ(1.0, NewestOfTrace(5));
}

TEST_F(Drawing, ModeTwoRaisesZeroTolerancesOfTheParameterSet) {
    Mode(2, 2000, 2100);
    parameter[PW_TOLUP] = 0;
    parameter[PW_TOLLO] = 0;
    Draw(Reply());
    EXPECT_EQ(1, parameter[PW_TOLUP]);
    EXPECT_EQ(1, parameter[PW_TOLLO]);
}

TEST_F(Drawing, VideoCurvesDrawSamplesAndThresholdOverTheFullScale) {
    unsigned short samples[128], levels[128];
    double x[128];
    for (int i = 0; i < 128; ++i) {
        samples[i] = static_cast<unsigned short>(i == 64 ? 0xFFFF : 30);
        levels[i] = 128;
        x[i] = i * 32.0;
    }
    YMAXADC = 1024;
    PlotVIDEOCurveA(samples, levels, x);
    PlotVIDEOCurveA(samples, levels, x);
    int plots = 0;
    GetNumGraphPlots(pHandle, PANEL_GraphVideoA, &plots);
    EXPECT_EQ(2, plots) << "each drawing replaces the last";
    QCustomPlot *plot = UiControlPlot(pHandle, PANEL_GraphVideoA);
    ASSERT_NE(nullptr, plot);
    EXPECT_EQ(1024.0, plot->yAxis->range().upper);
    EXPECT_EQ(1024.0, plot->yAxis2->range().upper);
}

// Pictures an operator can look at: where the target is, where the window is,
// and whether the value is in tolerance.
TEST_F(Drawing, RendersBarGraphsOfEachModeAndTheStripChart) {
    const struct { unsigned short mode, m; } cases[] = {{0, 2130}, {1, 1990}, {2, 4000}, {3, 4400}};
    for (const auto &c : cases) {
        Mode(c.mode, 2000, 2100);
        Reply r;
        r.a = 2010, r.b = 2090, r.m = c.m, r.pwA = 40, r.pwB = 40;
        for (int i = 0; i < 150; ++i) Draw(r);
        ProcessSystemEvents();
        const std::string file =
            std::string(KVEX_TEST_OUTPUT) + "/bars_mode" + std::to_string(c.mode) + ".png";
        EXPECT_EQ(0, SavePanelImage(pHandle, file.c_str()));
    }
}
