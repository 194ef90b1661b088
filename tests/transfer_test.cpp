// Parameter words, identification, transfer, reset and teach against the
// simulated sensor, and the mapping of the words onto the controls.
#include <gtest/gtest.h>

#include <QPlainTextEdit>
#include <QTimer>
#include <cmath>
#include <cstring>
#include <string>

#include "kvex_app.h"
#include "ui_qt.h"

using kvextest::KVexApp;
using kvextest::SensorWith;

namespace {

std::string InfoLine(int line) {
    char text[100] = "";
    GetTextBoxLine(pCalib, CALIB_SensorInfoBox, line, text, sizeof text);
    return text;
}

}  // namespace

TEST(Identification, StartUpShowsTheSensorsWordsInfoLinesAndFirmware) {
    KVexApp app;
    ASSERT_TRUE(app.Start());
    const auto ram0 = app.sensor().ram(0);
    const auto ram1 = app.sensor().ram(1);
    EXPECT_EQ(ram0[2], KVexApp::U16(pHandle, PANEL_NEDITeachA));
    EXPECT_EQ(ram1[2], KVexApp::U16(pHandle, PANEL_NEDITeachB));
    EXPECT_EQ(ram0[5], KVexApp::U16(pPara1, PARA1_Para1Edit4));
    EXPECT_EQ(ram0[6], KVexApp::U16(pPara1, PARA1_Para1Edit3));
    EXPECT_EQ(ram0[1], KVexApp::U16(pPara2, PARA2_SLIDEVideoTHD_A));
    EXPECT_EQ(ram1[1], KVexApp::U16(pPara2, PARA2_SLIDEVideoTHD_B));
    int setpoint = 0;
    GetCtrlVal(pCalib, CALIB_CalibEdit8, &setpoint);
    EXPECT_EQ(ram1[13] | ram1[14] << 16, setpoint);

    EXPECT_EQ("1024-pixel; 7.8\xB5m pixel-pitch;", InfoLine(0));
    EXPECT_EQ("4096-subpixel; resolution=1\xB5m", InfoLine(1));
    EXPECT_EQ("working-range=37mm +/- 2.0mm", InfoLine(2));
    auto *box = qobject_cast<QPlainTextEdit *>(UiControlWidget(pCalib, CALIB_SensorInfoBox));
    ASSERT_NE(nullptr, box);
    EXPECT_TRUE(box->toPlainText().contains(QString::fromUtf8("7.8\u00B5m")))
        << "the micro sign on screen";
    EXPECT_EQ(4096, ccdvirtpixel);
    EXPECT_EQ(0.0, xArray8[0]);
    EXPECT_EQ(32.0, xArray8[1]);
    EXPECT_EQ(4064.0, xArray8[127]);
    double lo = 0, hi = 0;
    int mode = -1;
    GetAxisScalingMode(pHandle, PANEL_GraphVideoA, VAL_XAXIS, &mode, &lo, &hi);
    EXPECT_EQ(1.0, lo);
    EXPECT_EQ(4096.0, hi);
}

TEST(Identification, UnknownPixelCountFallsBackToStepSixteenAndTwoThousandFortyEight) {
    kvexsim::HardwareInfo hw;
    hw.virtualPixels = 3000;
    KVexApp app(SensorWith(hw));
    ASSERT_TRUE(app.Start());
    EXPECT_EQ(2048, ccdvirtpixel);
    EXPECT_EQ(16.0, xArray8[1]);
    double lo = 0, hi = 0;
    int mode = -1;
    GetAxisScalingMode(pHandle, PANEL_GraphVideoB, VAL_XAXIS, &mode, &lo, &hi);
    EXPECT_EQ(3000.0, hi) << "the axes keep the reported count";
}

TEST(Identification, OtherDistancesAndTypesHaveNoInfoButTheAdcRuleDiffers) {
    {
        kvexsim::HardwareInfo hw;
        hw.refDistance = 50;
        hw.adcMax = 1024;
        KVexApp app(SensorWith(hw));
        ASSERT_TRUE(app.Start());
        EXPECT_EQ("CCD-SENSOR: No Info Avialable!", InfoLine(0));
        EXPECT_EQ(std::string(32, ' '), InfoLine(1));
        EXPECT_EQ(1024, YMAXADC) << "type 20 takes the full scale from the reply";
    }
    {
        kvexsim::HardwareInfo hw;
        hw.ccdType = 7;
        hw.adcMax = 1024;
        KVexApp app(SensorWith(hw));
        ASSERT_TRUE(app.Start());
        EXPECT_EQ("CCD-SENSOR: No Info Avialable!", InfoLine(0));
        EXPECT_EQ(256, YMAXADC);
    }
}

// A hardware reply with another command code is never decoded, and the
// failure is still on the status line when the start-up has ended.
TEST(Identification, RefusedHardwareReplyChangesNothingAndStaysReported) {
    kvexsim::Faults f;
    f.replyCommand = 11;
    f.onlyCommand = 10;
    kvexsim::SimConfig cfg = SensorWith(f);
    cfg.hardware.virtualPixels = 2048;
    KVexApp app(cfg);
    ASSERT_TRUE(app.Start());
    EXPECT_EQ("Error reading HARDWARE-info!", app.Status());
    EXPECT_EQ(4096, ccdvirtpixel) << "the start value stays";
    EXPECT_EQ(app.sensor().ram(0)[2], parameter[PW_TEACH_A]) << "the rest of the start-up ran";
}

// A line of 0 or 1 pixels cannot give the video graphs an empty or turned
// axis.
TEST(Identification, TinyPixelCountsKeepAUsableAxis) {
    for (unsigned short pixels : {0, 1}) {
        kvexsim::HardwareInfo hw;
        hw.virtualPixels = pixels;
        KVexApp app(SensorWith(hw));
        ASSERT_TRUE(app.Start());
        double lo = 0, hi = 0;
        int mode = -1;
        GetAxisScalingMode(pHandle, PANEL_GraphVideoA, VAL_XAXIS, &mode, &lo, &hi);
        EXPECT_GT(hi, lo + 100) << pixels;
        EXPECT_EQ(2048, ccdvirtpixel);
    }
}

TEST(Identification, FirmwareTextInBothEncodingsAndOfWrongLengths) {
    {
        kvexsim::HardwareInfo hw;
        hw.boardType = 0;
        KVexApp app(SensorWith(hw));
        ASSERT_TRUE(app.Start());
        EXPECT_EQ(std::string("K-VEX sensor simulator firmware 1.04 (simulated)"), app.Status());
    }
    {
        kvexsim::Faults f;
        f.firmwareLength = 50;
        KVexApp app(SensorWith(f));
        ASSERT_TRUE(app.Start());
        EXPECT_EQ("Error reading firmware-info!", app.Status());
        EXPECT_EQ(0, GetInQLen(com));
    }
    {
        kvexsim::Faults f;
        f.firmwareLength = 80;
        KVexApp app(SensorWith(f));
        ASSERT_TRUE(app.Start());
        EXPECT_EQ("Error reading firmware-info!", app.Status())
            << "no other text stands for the firmware";
        EXPECT_FALSE(LinkReady());
    }
}

TEST(Identification, FirmwareTextFillingAllBytesIsCutToTheBuffer) {
    kvexsim::SimConfig cfg = kvextest::FastSensor();
    cfg.firmware = std::string(72, 'F');
    KVexApp app(cfg);
    ASSERT_TRUE(app.Start());
    EXPECT_EQ(std::string(71, 'F'), app.Status());
    EXPECT_EQ(71u, std::strlen(szStatus));
}

// The sensor answers no write, so a send reads both frames back from the same
// memory: "Line Ok!" only when every word arrived.
TEST(Transfer, SendToRamWritesThePanelWordsAndReadsThemBack) {
    KVexApp app;
    ASSERT_TRUE(app.Start());
    app.sensor().clearRequests();
    SetCtrlVal(pHandle, PANEL_NEDITeachA, 1234);
    SetCtrlVal(pPara1, PARA1_Para1Edit4, 77);
    SetCtrlVal(pCalib, CALIB_CalibEdit9, 4.5);
    KVexApp::Commit(CC_BTNSend, pHandle, PANEL_BTNSend);
    const auto r = app.sensor().requests();
    ASSERT_EQ(4u, r.size());
    const int expected[4][2] = {{1, 0}, {1, 1}, {2, 0}, {2, 1}};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(expected[i][0], r[i].command()) << i;
        EXPECT_EQ(expected[i][1], r[i].subArgument()) << i;
    }
    // 0.1 s between the frames; the sensor stamps a frame when its thread
    // wakes to it, which on a busy machine can be late by some milliseconds.
    EXPECT_GE(r[1].time - r[0].time, 0.09);
    EXPECT_EQ(1234, app.sensor().ram(0)[2]);
    EXPECT_EQ(77, app.sensor().ram(0)[5]);
    EXPECT_EQ(8192, app.sensor().ram(1)[11]) << "4.5 as 8192 low half";
    EXPECT_EQ(1, app.sensor().ram(1)[12]) << "and 1 high half";
    EXPECT_EQ("Line Ok! - Sent to RAM: 30 of 30 words confirmed", app.Status());
    EXPECT_STREQ("Line Ok!", szStatus);
}

TEST(Transfer, SendThatTheSensorDidNotTakeIsReportedAndThePanelsStay) {
    KVexApp app;
    ASSERT_TRUE(app.Start());
    kvexsim::Faults f;
    f.ignoreWrites = true;
    app.sensor().setFaults(f);
    SetCtrlVal(pHandle, PANEL_RBTEeprom, 1);
    CC_RBTEeprom(pHandle, PANEL_RBTEeprom, EVENT_VAL_CHANGED, nullptr, 0, 0);
    SetCtrlVal(pHandle, PANEL_NEDITeachA, 1111);
    SetCtrlVal(pHandle, PANEL_NEDITeachB, 2222);
    KVexApp::Commit(CC_BTNSend, pHandle, PANEL_BTNSend);
    EXPECT_EQ(
        "Send to EEPROM failed: 2 of 30 words differ! (frame 0 word 2; frame 1 word 2); "
        "the sensor's words are in use",
        app.Status());
    EXPECT_EQ(0xC00000, KVexApp::Attr(pHandle, PANEL_StatusLine, ATTR_TEXT_COLOR)) << "an error";
    EXPECT_EQ(1111, KVexApp::U16(pHandle, PANEL_NEDITeachA)) << "the operator's values stay";
    EXPECT_EQ(2100, parameter[PW_TEACH_B]) << "but the program measures with the sensor's";
    EXPECT_EQ(0xFFE08A, KVexApp::Attr(pHandle, PANEL_NEDITeachA, ATTR_TEXT_BGCOLOR))
        << "marked as not sent";

    f.ignoreWrites = false;
    f.silent = true;
    f.onlyCommand = 4;
    app.sensor().setFaults(f);
    KVexApp::Commit(CC_BTNSend, pHandle, PANEL_BTNSend);
    EXPECT_EQ("Send to EEPROM not confirmed: no read-back!", app.Status());
    EXPECT_EQ(1111, app.sensor().eeprom(0)[2]);
}

TEST(Transfer, EepromSendAndGetUseTheirCodesAndThePanelsChangeOnlyAfterFrameOne) {
    KVexApp app;
    ASSERT_TRUE(app.Start());
    SetCtrlVal(pHandle, PANEL_RBTEeprom, 1);
    CC_RBTEeprom(pHandle, PANEL_RBTEeprom, EVENT_VAL_CHANGED, nullptr, 0, 0);
    ASSERT_EQ(2, target);
    SetCtrlVal(pHandle, PANEL_NEDITeachB, 3333);
    SetCtrlVal(pCalib, CALIB_CalibEdit9, 0.25);
    app.sensor().clearRequests();
    KVexApp::Commit(CC_BTNSend, pHandle, PANEL_BTNSend);
    ASSERT_TRUE(app.sensor().waitForRequests(2, 1.0));
    EXPECT_EQ(3, app.sensor().requests()[0].command());
    EXPECT_EQ(3333, app.sensor().eeprom(1)[2]);
    EXPECT_EQ(4096, app.sensor().eeprom(1)[11]);
    EXPECT_EQ(0, app.sensor().eeprom(1)[12]);

    // The panel is edited, then the EEPROM set is read back: the edit is
    // replaced, once frame 1 has come in.
    SetCtrlVal(pHandle, PANEL_NEDITeachB, 100);
    app.sensor().clearRequests();
    PushGET(2, 0);
    EXPECT_EQ(100, KVexApp::U16(pHandle, PANEL_NEDITeachB)) << "frame 0 alone writes no panel";
    PushGET(2, 1);
    EXPECT_EQ(3333, KVexApp::U16(pHandle, PANEL_NEDITeachB));
    const auto r = app.sensor().requests();
    ASSERT_EQ(2u, r.size());
    EXPECT_EQ(4, r[0].command());
    EXPECT_EQ(0, r[0].subArgument());
    EXPECT_EQ(4, r[1].command());
    EXPECT_EQ(1, r[1].subArgument());
}

TEST(Transfer, RadioButtonsKeepExactlyOneTargetAndFallBackToRam) {
    KVexApp app;
    ASSERT_TRUE(app.Start(false));
    SetCtrlVal(pHandle, PANEL_RBTEeprom, 1);
    CC_RBTEeprom(pHandle, PANEL_RBTEeprom, EVENT_VAL_CHANGED, nullptr, 0, 0);
    EXPECT_EQ(2, target);
    EXPECT_EQ(0, KVexApp::U16(pHandle, PANEL_RBTRam));
    SetCtrlVal(pHandle, PANEL_RBTEeprom, 0);
    CC_RBTEeprom(pHandle, PANEL_RBTEeprom, EVENT_VAL_CHANGED, nullptr, 0, 0);
    EXPECT_EQ(1, target);
    EXPECT_EQ(1, KVexApp::U16(pHandle, PANEL_RBTRam));
    SetCtrlVal(pHandle, PANEL_RBTRam, 0);
    CC_RBTRam(pHandle, PANEL_RBTRam, EVENT_VAL_CHANGED, nullptr, 0, 0);
    EXPECT_EQ(1, KVexApp::U16(pHandle, PANEL_RBTRam)) << "RAM cannot be switched off";
    EXPECT_EQ(1, target);
}

TEST(Teach, NewTeachValuesComeBackFromTheSensorAndMoveTheCursors) {
    KVexApp app;
    ASSERT_TRUE(app.Start());
    kvexsim::Faults late;
    late.lateSeconds = 0.3;
    late.onlyCommand = 6;
    app.sensor().setFaults(late);
    std::string whileWaiting;
    QTimer::singleShot(100, [&] { whileWaiting = KVexApp::Status(); });
    KVexApp::Commit(CC_ButtonTeach, pHandle, PANEL_ButtonTeach);
    EXPECT_EQ("New setpoint value teached!", whileWaiting) << "shown before any answer";
    const unsigned short a = app.sensor().teachA(), b = app.sensor().teachB();
    EXPECT_EQ(a, KVexApp::U16(pHandle, PANEL_NEDITeachA));
    EXPECT_EQ(b, KVexApp::U16(pHandle, PANEL_NEDITeachB));
    double x = 0, y = 0;
    GetGraphCursor(pHandle, PANEL_GraphBarA, 1, &x, &y);
    EXPECT_EQ(a, x);
    EXPECT_EQ(0.75, y);
    EXPECT_EQ(1, app.sensor().commandCount(6));
}

TEST(Teach, SilentSensorStopsWithItsOwnTimeoutText) {
    KVexApp app;
    ASSERT_TRUE(app.Start());
    kvexsim::Faults f;
    f.silent = true;
    app.sensor().setFaults(f);
    stop_flag = 0;
    const double t0 = Timer();
    KVexApp::Commit(CC_ButtonTeach, pHandle, PANEL_ButtonTeach);
    EXPECT_GE(Timer() - t0, 1.5);
    EXPECT_EQ("Timeout RS232-Line!", app.Status());
    EXPECT_EQ(1, stop_flag);
    double x = 0, y = 0;
    GetGraphCursor(pHandle, PANEL_GraphBarB, 1, &x, &y);
    EXPECT_EQ(parameter[PW_TEACH_B], x) << "the cursors move all the same";
}

TEST(Reset, AnswerOrSilence) {
    KVexApp app;
    ASSERT_TRUE(app.Start());
    KVexApp::Commit(CC_ButtonReset, pHandle, PANEL_ButtonReset);
    EXPECT_EQ("Reset Max/Min OK!", app.Status());
    EXPECT_EQ(1, app.sensor().commandCount(11));
    kvexsim::Faults f;
    f.silent = true;
    app.sensor().setFaults(f);
    KVexApp::Commit(CC_ButtonReset, pHandle, PANEL_ButtonReset);
    EXPECT_EQ("Timeout-RS-232...", app.Status());
}

TEST(ParameterWords, LimitsAreAppliedKeptAndShown) {
    KVexApp app;
    ASSERT_TRUE(app.Start(false));
    parameter[PW_EVALMODE] = 7;
    parameter[PW_TEACH_A] = 5000;
    parameter[PW_TOLUP] = 9000;
    parameter[PW_THD_A] = 300;
    parameter[3] = 1001;
    SetPanelValues();
    EXPECT_EQ(0, parameter[PW_EVALMODE]);
    EXPECT_EQ(0, KVexApp::U16(pPara1, PARA1_DropEvalMode));
    EXPECT_EQ(2048, parameter[PW_TEACH_A]);
    EXPECT_EQ(2048, KVexApp::U16(pHandle, PANEL_NEDITeachA));
    EXPECT_EQ(4096, parameter[PW_TOLUP]);
    EXPECT_EQ(128, parameter[PW_THD_A]);
    EXPECT_EQ(500, parameter[3]);
    // Mode 0 uses teach B only.
    EXPECT_EQ(1, KVexApp::Attr(pHandle, PANEL_NEDITeachA, ATTR_DIMMED));
    EXPECT_EQ(0, KVexApp::Attr(pHandle, PANEL_NEDITeachB, ATTR_DIMMED));
    EXPECT_EQ(4096, yaxisMAX);

    // Threshold 255 % of 256 counts; an unchecked word still draws its level.
    parameter[PW_THD_B] = 255;
    SetPanelValues();
    EXPECT_EQ(652, thdArrayB[0]);
    EXPECT_EQ(652, thdArrayB[127]);
}

TEST(ParameterWords, ScaleAndSetpointTravelAsTwoHalvesLowFirst) {
    KVexApp app;
    ASSERT_TRUE(app.Start(false));
    SetCtrlVal(pCalib, CALIB_CalibEdit9, 0.25);
    SetCtrlVal(pCalib, CALIB_CalibEdit8, 37000);
    GetPanelValues();
    CopyVarsToPP(1);
    EXPECT_EQ(4096, pp[11]);
    EXPECT_EQ(0, pp[12]);
    EXPECT_EQ(37000, pp[13]);
    EXPECT_EQ(0, pp[14]);
    SetCtrlVal(pCalib, CALIB_CalibEdit9, 4.5);
    GetPanelValues();
    EXPECT_EQ(8192, parameter[PW_SCALE_LO]);
    EXPECT_EQ(1, parameter[PW_SCALE_HI]);
    // Shown back as 4.5 and as tolerances in millimetres.
    parameter[PW_TOLUP] = 1000;
    SetPanelValues();
    double shown = 0, upMm = 0;
    GetCtrlVal(pCalib, CALIB_CalibEdit9, &shown);
    GetCtrlVal(pHandle, PANEL_Display35, &upMm);
    EXPECT_NEAR(4.5, shown, 1e-6);
    EXPECT_NEAR(4.5, upMm, 1e-6);
}
