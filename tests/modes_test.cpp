// Run mode, video mode and the main-panel controls against the simulated
// sensor over a real pseudo-terminal.
#include "modes.h"

#include <gtest/gtest.h>

#include <QTest>
#include <QTimer>
#include <QWidget>
#include <cstring>

#include "gui.h"
#include "kvex_app.h"
#include "ui_qt.h"

using kvextest::KVexApp;
using kvextest::SensorWith;

namespace {

// Presses the stop button the way the operator does.
void PressStop() {
    QTest::mousePress(UiControlWidget(pHandle, PANEL_BTNStop), Qt::LeftButton);
    QTest::mouseRelease(UiControlWidget(pHandle, PANEL_BTNStop), Qt::LeftButton);
}

int Dimmed(int panel, int control) { return KVexApp::Attr(panel, control, ATTR_DIMMED); }
int Visible(int control) { return KVexApp::Attr(pHandle, control, ATTR_VISIBLE); }

}  // namespace

TEST(RunMode, OneRequestInFlightEachCarryingFrameZeroUntilStopped) {
    KVexApp app;
    ASSERT_TRUE(app.Start());
    app.sensor().clearRequests();
    int dimmedWhileRunning = -1;
    kvextest::AfterRequests(app.sensor(), kvexsim::kRawValues, 10, [&] {
        dimmedWhileRunning = Dimmed(pHandle, PANEL_BTNRun);
        PressStop();
    });
    KVexApp::Commit(CC_BTNRun, pHandle, PANEL_BTNRun);

    const auto requests = app.sensor().requests();
    ASSERT_GT(requests.size(), 5u);
    for (const auto &r : requests) EXPECT_EQ(8, r.command());
    // After the first, every request carries parameter frame 0.
    for (int i = 0; i < 15; ++i)
        EXPECT_EQ(parameter[PW_FRAME0 + i],
                  requests[2].bytes[6 + 2 * i] << 8 | requests[2].bytes[7 + 2 * i]);
    EXPECT_EQ(1, dimmedWhileRunning);
    EXPECT_EQ(0, Dimmed(pHandle, PANEL_BTNRun));
    EXPECT_EQ(1, stop_flag);
    EXPECT_EQ(1, Visible(PANEL_StripChartRaw));
    EXPECT_EQ(0, Visible(PANEL_GraphVideoA));
    // The last reply was drawn.
    EXPECT_EQ(app.sensor().lastRaw().mvalue, KVexApp::U16(pHandle, PANEL_Display15));
}

TEST(RunMode, SilentFromTheStartEndsAfterTheFirstWait) {
    kvexsim::Faults f;
    f.silent = true;
    f.onlyCommand = 8;
    KVexApp app(SensorWith(f));
    ASSERT_TRUE(app.Start());
    const double t0 = Timer();
    KVexApp::Commit(CC_BTNRun, pHandle, PANEL_BTNRun);
    const double took = Timer() - t0;
    EXPECT_GE(took, 1.5);
    EXPECT_LT(took, 2.9);
    EXPECT_EQ("Timeout RS232-Line!", app.Status());
    EXPECT_EQ(1, app.sensor().commandCount(8));
}

// The sensor's silence starts with a request it leaves unanswered; the
// mode ends twice the reply time-out after it, not at the first time-out
// and not much later.
TEST(RunMode, SensorFallingSilentEndsTheModeThreeSecondsAfterTheLastRequest) {
    KVexApp app;
    ASSERT_TRUE(app.Start());
    double silentFrom = 0;
    kvextest::AfterRequests(app.sensor(), kvexsim::kRawValues, 5, [&] {
        kvexsim::Faults f;
        f.silent = true;
        app.sensor().setFaults(f);
        silentFrom = Timer();
    });
    KVexApp::Commit(CC_BTNRun, pHandle, PANEL_BTNRun);
    const double took = Timer() - silentFrom;
    EXPECT_GE(took, 2 * 1.5 - 0.1) << "the last request went out before the silence began";
    EXPECT_LT(took, 2 * 1.5 + 1.5);
    EXPECT_EQ("Timeout RS232-Line!", app.Status());
}

// A frame that answers another command is no measurement: nothing is drawn
// and the mode ends by its own time-out, as with a silent sensor.
TEST(RunMode, RepliesToAnotherCommandAreNeverDrawn) {
    KVexApp app;
    ASSERT_TRUE(app.Start());
    // The request after the change is answered wrongly; by the time it went
    // out, the last right reply was drawn.
    kvextest::AfterRequests(app.sensor(), kvexsim::kRawValues, 5, [&] {
        kvexsim::Faults f;
        f.replyCommand = 5;
        app.sensor().setFaults(f);
        kvextest::AfterRequests(app.sensor(), kvexsim::kRawValues, 1,
                                [] { SetCtrlVal(pHandle, PANEL_Display15, 4242); });
    });
    KVexApp::Commit(CC_BTNRun, pHandle, PANEL_BTNRun);
    EXPECT_EQ(4242, KVexApp::U16(pHandle, PANEL_Display15));
    EXPECT_EQ("Timeout RS232-Line!", app.Status());
    EXPECT_EQ(0x808080, KVexApp::Attr(pHandle, PANEL_Display14, ATTR_TEXT_BGCOLOR))
        << "the last verdict is no longer live";
}

TEST(VideoMode, FetchesFourBlocksPerCycleAndDrawsTheSignal) {
    KVexApp app;
    ASSERT_TRUE(app.Start());
    app.sensor().clearRequests();
    int dimmed[3] = {-1, -1, -1};
    // Two cycles' blocks asked: the second cycle finishes after the stop.
    kvextest::AfterRequests(app.sensor(), kvexsim::kDataBlock, 8, [&] {
        dimmed[0] = Dimmed(pHandle, PANEL_CmdButton13);
        dimmed[1] = Dimmed(pHandle, PANEL_CmdButton11);
        dimmed[2] = Dimmed(pHandle, PANEL_CmdButton4);
        PressStop();
    });
    KVexApp::Commit(CC_BTNVideo, pHandle, PANEL_BTNVideo);

    const auto r = app.sensor().requests();
    ASSERT_GE(r.size(), 10u);
    const int order[5][3] = {{8, 0, -1}, {9, 0, 1}, {9, 64, 1}, {9, 0, 0}, {9, 64, 0}};
    for (std::size_t i = 0; i < 10; ++i) {
        const auto &want = order[i % 5];
        EXPECT_EQ(want[0], r[i].command()) << "request " << i;
        EXPECT_EQ(want[1], r[i].subArgument()) << "request " << i;
        if (want[2] >= 0) {
            EXPECT_EQ(want[2], r[i].bytes[6] << 8 | r[i].bytes[7]);
        }
    }
    for (int d : dimmed) EXPECT_EQ(1, d);
    EXPECT_EQ(0, Dimmed(pHandle, PANEL_CmdButton11));
    EXPECT_EQ(1, Visible(PANEL_GraphVideoA));
    EXPECT_EQ(0, Visible(PANEL_StripChartRaw));
    EXPECT_EQ(1, target);

    // The peak of channel A stands where the sensor found the edge.
    int peak = 0;
    for (int i = 1; i < 128; ++i)
        if (adcbufA[i] > adcbufA[peak]) peak = i;
    EXPECT_NEAR(Aval * 128.0 / ccdvirtpixel, peak, 3.0);
    int plots = 0;
    GetNumGraphPlots(pHandle, PANEL_GraphVideoB, &plots);
    EXPECT_EQ(2, plots);

    // The frame notification is back: a parameter read works at once.
    PushGET(1, 0);
    EXPECT_EQ("Parameter-frame received! - Line Ok!", app.Status());
}

TEST(VideoMode, AMissingBlockSkipsTheCycleButNotTheMode) {
    kvexsim::Faults f;
    f.silent = true;
    f.onlyCommand = 9;
    KVexApp app(SensorWith(f));
    ASSERT_TRUE(app.Start());
    app.sensor().clearRequests();
    kvextest::StopAfterRequests(app.sensor(), 9, 2);  // while the second cycle waits
    KVexApp::Commit(CC_BTNVideo, pHandle, PANEL_BTNVideo);
    EXPECT_EQ("Timeout-RS-232 while reading 64 data-words!", app.Status());
    EXPECT_EQ(2, app.sensor().commandCount(8)) << "the next cycle started normally";
    EXPECT_EQ(2, app.sensor().commandCount(9)) << "one block per failed cycle";
}

TEST(VideoMode, BlocksWithBytesToSpareAreDroppedWhole) {
    kvexsim::Faults f;
    f.extraBytes = 10;
    f.onlyCommand = 9;
    KVexApp app(SensorWith(f));
    ASSERT_TRUE(app.Start());
    std::fill(std::begin(adcbufA), std::end(adcbufA), 7);
    kvextest::StopAfterRequests(app.sensor(), 8, 3);
    KVexApp::Commit(CC_BTNVideo, pHandle, PANEL_BTNVideo);
    for (unsigned short v : adcbufA) ASSERT_EQ(7, v) << "nothing of a 138-byte block is stored";
    EXPECT_GE(app.sensor().commandCount(8), 3) << "each cycle fails its first block and goes on";
    // The last cycle ends at its raw reply when the stop came by then.
    EXPECT_GE(app.sensor().commandCount(8) - app.sensor().commandCount(9), 0);
    EXPECT_LE(app.sensor().commandCount(8) - app.sensor().commandCount(9), 1);
}

TEST(MainPanel, StopWhileIdleUndimsTheButtonsAndWaits) {
    KVexApp app;
    ASSERT_TRUE(app.Start(false));
    SetCtrlAttribute(pHandle, PANEL_CmdButton11, ATTR_DIMMED, 1);
    SetCtrlAttribute(panelPopUp, POPUP_RecButton13, ATTR_DIMMED, 1);
    const double t0 = Timer();
    CC_BTNStop(pHandle, PANEL_BTNStop, EVENT_LEFT_CLICK, nullptr, 0, 0);
    EXPECT_GE(Timer() - t0, 0.095);
    EXPECT_EQ(1, stop_flag);
    EXPECT_EQ(0, Dimmed(pHandle, PANEL_CmdButton11));
    EXPECT_EQ(0, Dimmed(panelPopUp, POPUP_RecButton13));
    stop_flag = 0;
    CC_BTNStop(pHandle, PANEL_BTNStop, EVENT_COMMIT, nullptr, 0, 0);
    EXPECT_EQ(0, stop_flag) << "the release does nothing";
}

TEST(MainPanel, ThresholdSlidersSetEveryLevelAndRedrawTheCurve) {
    KVexApp app;
    ASSERT_TRUE(app.Start(false));
    SetCtrlVal(pPara2, PARA2_SLIDEVideoTHD_A, 0);
    CC_SLIDEVideoTHD_A(pPara2, PARA2_SLIDEVideoTHD_A, EVENT_VAL_CHANGED, nullptr, 0, 0);
    for (int i = 0; i < 128; ++i) ASSERT_EQ(0, thdArrayA[i]);
    SetCtrlVal(pPara2, PARA2_SLIDEVideoTHD_B, 100);
    CC_SLIDEVideoTHD_B(pPara2, PARA2_SLIDEVideoTHD_B, EVENT_VAL_CHANGED, nullptr, 0, 0);
    for (int i = 0; i < 128; ++i) ASSERT_EQ(256, thdArrayB[i]);
    int plots = 0;
    GetNumGraphPlots(pHandle, PANEL_GraphVideoB, &plots);
    EXPECT_EQ(2, plots);
}

TEST(MainPanel, TeachEditsMoveOnlyTheirOwnSecondCursor) {
    KVexApp app;
    ASSERT_TRUE(app.Start(false));
    SetGraphCursor(pHandle, PANEL_GraphBarB, 2, 777, 0.5);
    SetCtrlVal(pHandle, PANEL_NEDITeachA, 0);
    KVexApp::Commit(CC_NEDITeachA, pHandle, PANEL_NEDITeachA);
    double x = -1, y = -1;
    GetGraphCursor(pHandle, PANEL_GraphBarA, 2, &x, &y);
    EXPECT_EQ(0.0, x);
    EXPECT_EQ(1.0, y);
    GetGraphCursor(pHandle, PANEL_GraphBarB, 2, &x, &y);
    EXPECT_EQ(777.0, x);
}

TEST(MainPanel, EvaluationModeRingDimsTeachEditsAndSetsTheChartScale) {
    KVexApp app;
    ASSERT_TRUE(app.Start(false));
    SetCursorAttribute(pHandle, PANEL_GraphBarA, 2, ATTR_CURSOR_POINT_STYLE, VAL_SOLID_CIRCLE);
    SetCtrlVal(pPara1, PARA1_DropEvalMode, 3);
    KVexApp::Commit(CC_DropEvalMode, pPara1, PARA1_DropEvalMode);
    EXPECT_EQ(1, Dimmed(pHandle, PANEL_NEDITeachA));
    EXPECT_EQ(1, Dimmed(pHandle, PANEL_NEDITeachB));
    EXPECT_EQ(8192, yaxisMAX);
    int style = 0;
    GetCursorAttribute(pHandle, PANEL_GraphBarA, 2, ATTR_CURSOR_POINT_STYLE, &style);
    EXPECT_EQ(VAL_SOLID_CIRCLE, style) << "mode 3 leaves the markers";

    SetCtrlVal(pPara1, PARA1_DropEvalMode, 2);
    KVexApp::Commit(CC_DropEvalMode, pPara1, PARA1_DropEvalMode);
    EXPECT_EQ(0, Dimmed(pHandle, PANEL_NEDITeachA));
    EXPECT_EQ(0, Dimmed(pHandle, PANEL_NEDITeachB));
    GetCursorAttribute(pHandle, PANEL_GraphBarA, 2, ATTR_CURSOR_POINT_STYLE, &style);
    EXPECT_EQ(VAL_NO_POINT, style);
}

TEST(MainPanel, HardwareModeDimsTheTolerancesInModesOneAndThree) {
    KVexApp app;
    ASSERT_TRUE(app.Start(false));
    for (int mode : {0, 1, 2, 3, 4}) {
        SetCtrlVal(pPara1, PARA1_DROPHardwareMode, mode);
        KVexApp::Commit(CC_DROPHardwareMode, pPara1, PARA1_DROPHardwareMode);
        const int expected = (mode == 1 || mode == 3) ? 1 : 0;
        EXPECT_EQ(expected, Dimmed(pPara1, PARA1_Para1Edit4)) << "mode " << mode;
        EXPECT_EQ(expected, Dimmed(pPara1, PARA1_Para1Edit3)) << "mode " << mode;
    }
}

TEST(MainPanel, SubPanelTogglesClearOnPressAndSwitchOnCommit) {
    KVexApp app;
    ASSERT_TRUE(app.Start(false));
    auto visible = [](int panel) {
        int v = -1;
        GetPanelAttribute(panel, ATTR_VISIBLE, &v);
        return v;
    };
    // Parameters 2 is shown; the operator clicks Calibration.
    CC_TOGGBTN_Para2(pHandle, PANEL_TOGGBTN_Para2, EVENT_COMMIT, nullptr, 0, 0);
    SetCtrlVal(pHandle, PANEL_TOGGBTN_Para2, 1);
    QWidget *calib = UiControlWidget(pHandle, PANEL_TOGGBTN_Calib);
    QTest::mouseClick(calib, Qt::LeftButton);
    EXPECT_EQ(0, KVexApp::U16(pHandle, PANEL_TOGGBTN_Para1));
    EXPECT_EQ(0, KVexApp::U16(pHandle, PANEL_TOGGBTN_Para2));
    EXPECT_EQ(1, visible(pCalib));
    EXPECT_EQ(0, visible(pPara1));
    EXPECT_EQ(0, visible(pPara2));

    // A commit from the keyboard switches the panel but leaves the toggles.
    SetCtrlVal(pHandle, PANEL_TOGGBTN_Calib, 1);
    CC_TOGGBTN_Para1(pHandle, PANEL_TOGGBTN_Para1, EVENT_COMMIT, nullptr, 0, 0);
    EXPECT_EQ(1, visible(pPara1));
    EXPECT_EQ(0, visible(pCalib));
    EXPECT_EQ(1, KVexApp::U16(pHandle, PANEL_TOGGBTN_Calib));
}

// While video mode runs, nothing may start an exchange of its own: the
// commands are dimmed and refused, the stop button brings them back only
// when the last cycle is off the line, and then the port can be chosen again.
TEST(MainPanel, CommandsWaitUntilTheVideoLoopHasEnded) {
    KVexApp app;
    ASSERT_TRUE(app.Start());
    const int commands[] = {PANEL_BTNGet, PANEL_BTNSend, PANEL_ButtonTeach, PANEL_ButtonReset,
                            PANEL_DropDCom};
    int dimmedWhileRunning = 0, dimmedAfterStop = 0;
    QTimer::singleShot(500, [&] {
        for (int id : commands) dimmedWhileRunning += Dimmed(pHandle, id);
        KVexApp::Commit(CC_ButtonTeach, pHandle, PANEL_ButtonTeach);
        KVexApp::Commit(CC_BTNGet, pHandle, PANEL_BTNGet);
        KVexApp::Commit(CC_DropDCom, pHandle, PANEL_DropDCom);
        CC_BTNStop(pHandle, PANEL_BTNStop, EVENT_LEFT_CLICK, nullptr, 0, 0);
        for (int id : commands) dimmedAfterStop += Dimmed(pHandle, id);
    });
    KVexApp::Commit(CC_BTNVideo, pHandle, PANEL_BTNVideo);
    EXPECT_EQ(5, dimmedWhileRunning);
    EXPECT_EQ(5, dimmedAfterStop) << "the last cycle was still on the line";
    for (int id : commands) EXPECT_EQ(0, Dimmed(pHandle, id)) << id;
    EXPECT_EQ(0, app.sensor().commandCount(6)) << "the teach was refused, not lost mid-cycle";
    EXPECT_EQ(1, app.sensor().commandCount(5)) << "the port stayed open";

    KVexApp::Commit(CC_DropDCom, pHandle, PANEL_DropDCom);
    EXPECT_EQ(2, app.sensor().commandCount(5)) << "the link was checked again";
}

// The demo as the operator sees it: a moving target in run mode and the CCD
// signal in video mode, over a line paced like the real one.
TEST(Demo, RendersRunModeAndVideoModeOfTheMovingTarget) {
    KVexApp app{kvexsim::SimConfig{}};
    ASSERT_TRUE(app.Start());
    kvextest::AfterRequests(app.sensor(), kvexsim::kRawValues, 60, [] {
        SavePanelImage(pHandle, (std::string(KVEX_TEST_OUTPUT) + "/demo_run.png").c_str());
        stop_flag = 1;
    });
    KVexApp::Commit(CC_BTNRun, pHandle, PANEL_BTNRun);
    double trace[200];
    const int n = GetStripChartTrace(pHandle, PANEL_StripChartRaw, 4, trace, 200);
    ASSERT_GT(n, 20);
    EXPECT_NE(trace[n - 1], trace[n - 20]) << "the target moves";

    kvextest::AfterRequests(app.sensor(), kvexsim::kDataBlock, 12, [] {
        SavePanelImage(pHandle, (std::string(KVEX_TEST_OUTPUT) + "/demo_video.png").c_str());
        stop_flag = 1;
    });
    KVexApp::Commit(CC_BTNVideo, pHandle, PANEL_BTNVideo);
    EXPECT_EQ("Data[64] block received!", app.Status());
}
