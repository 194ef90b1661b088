// What the operator sees and edits must never mislead: live or stale values,
// changed fields, permanent writes, and measuring that goes on under a dialog.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QDateTime>
#include <QTest>
#include <QTimer>
#include <QWidget>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "gui.h"
#include "kvex_app.h"
#include "modes.h"
#include "recorder.h"
#include "ui_qt.h"
#include "ui_testing.h"

using kvextest::KVexApp;

namespace {

constexpr int kGrey = 0x808080, kGreen = 0x008000, kChanged = 0xFFE08A;

int Attr(int panel, int control, int attribute) { return KVexApp::Attr(panel, control, attribute); }

std::string Text(int panel, int control) {
    char text[700] = "";
    GetCtrlVal(panel, control, text, sizeof text);
    return text;
}

// Every control that starts a mode or an exchange of its own.
std::vector<std::pair<int, int>> StartControls() {
    return {{pHandle, PANEL_BTNRun},      {pHandle, PANEL_BTNVideo},
            {pHandle, PANEL_BTNGet},      {pHandle, PANEL_BTNSend},
            {pHandle, PANEL_ButtonTeach}, {pHandle, PANEL_ButtonReset},
            {pHandle, PANEL_DropDCom},    {panelPopUp, POPUP_BTNStartRecord}};
}

// Nothing live is shown, the bar graphs look as in every state without
// data, and everything a stopped front-end offers is there.
void ExpectStoppedFrontEnd(const char *how) {
    SCOPED_TRACE(how);
    EXPECT_EQ(Attr(pHandle, PANEL_Display14, ATTR_TEXT_BGCOLOR), kGrey);
    EXPECT_EQ(Text(pHandle, PANEL_ToleranceVerdict).rfind("no live value, last ", 0), 0u)
        << Text(pHandle, PANEL_ToleranceVerdict);
    EXPECT_NE(Attr(pHandle, PANEL_LinkState, ATTR_TEXT_COLOR), kGreen)
        << Text(pHandle, PANEL_LinkState);
    for (int graph : {PANEL_GraphBarA, PANEL_GraphBarB}) {
        int plots = -1;
        GetNumGraphPlots(pHandle, graph, &plots);
        EXPECT_EQ(plots, 1) << "only the idle background";
    }
    for (const auto &[panel, control] : StartControls())
        EXPECT_EQ(Attr(panel, control, ATTR_DIMMED), 0) << control;
}

// Types into a numeric field as the operator does: select all, the digits,
// Enter.
void TypeInto(int panel, int control, const char *digits) {
    QWidget *w = UiControlWidget(panel, control);
    w->setFocus();
    QTest::keyClick(w, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClicks(w, QString::fromLatin1(digits));
    QTest::keyClick(w, Qt::Key_Return);
}

// Answers every question with answer and keeps what was asked.
struct Questions {
    std::vector<std::string> asked;
    void AnswerWith(bool answer) {
        SetConfirmScript([this, answer](const std::string &title, const std::string &message) {
            asked.push_back(title + ": " + message);
            return answer;
        });
    }
    ~Questions() {
        SetConfirmScript([](const std::string &, const std::string &) { return true; });
    }
};

std::string WriteFile(const char *name, const std::string &bytes) {
    const std::string dir = std::string(KVEX_TEST_OUTPUT) + "/operator";
    mkdir(dir.c_str(), 0755);
    const std::string path = dir + "/" + name;
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
}

}  // namespace

TEST(LiveState, StopAndTimeOutLeaveNoGreenValueAndGiveEverythingBack) {
    KVexApp app;
    ASSERT_TRUE(app.Start());
    EXPECT_EQ(Text(pHandle, PANEL_LinkState).rfind("\xE2\x97\x8F Stopped: connected to ", 0), 0u);

    std::string running;
    int runningColour = -1;
    QTimer::singleShot(1200, [&] {
        running = Text(pHandle, PANEL_LinkState);
        runningColour = Attr(pHandle, PANEL_LinkState, ATTR_TEXT_COLOR);
        EXPECT_EQ(Attr(pHandle, PANEL_Display14, ATTR_TEXT_BGCOLOR) == kGrey, false);
        RequestStop();
    });
    KVexApp::Commit(CC_BTNRun, pHandle, PANEL_BTNRun);
    EXPECT_EQ(running.rfind("\xE2\x97\x8F Running: ", 0), 0u) << running;
    EXPECT_EQ(runningColour, kGreen);
    EXPECT_EQ(Text(pHandle, PANEL_LinkState).rfind("\xE2\x97\x8F Stopped: ", 0), 0u);
    ExpectStoppedFrontEnd("after Stop");

    // The sensor falls silent: the mode ends by its time-out, never green.
    kvexsim::Faults f;
    f.silent = true;
    app.sensor().setFaults(f);
    KVexApp::Commit(CC_BTNRun, pHandle, PANEL_BTNRun);
    EXPECT_EQ(Text(pHandle, PANEL_LinkState).rfind("\xE2\x97\x8F No data: ", 0), 0u)
        << Text(pHandle, PANEL_LinkState);
    EXPECT_EQ(Attr(pHandle, PANEL_LinkState, ATTR_TEXT_COLOR), 0xA04800);
    ExpectStoppedFrontEnd("after a time-out");

    // A recording that the silent sensor ends gives the recorder's Start back.
    SetCtrlVal(panelPopUp, POPUP_NEDITRecSamples, 5);
    SetCtrlVal(panelPopUp, POPUP_NEDITRecTime, 0);
    std::snprintf(recfile_name, sizeof recfile_name, "%s", WriteFile("silent.dat", "").c_str());
    std::remove(recfile_name);
    KVexApp::Commit(CC_BTNStartRecord, panelPopUp, POPUP_BTNStartRecord);
    ExpectStoppedFrontEnd("after a recording's time-out");
    EXPECT_EQ(KVexApp::Status().rfind("Timeout RS232-Line, recording ended: 0 of 5 samples in ", 0),
              0u)
        << KVexApp::Status();
}

TEST(Edits, ChangedFieldsAreMarkedAndNothingReplacesThemUnasked) {
    KVexApp app;
    ASSERT_TRUE(app.Start());
    Questions questions;
    const int plain = Attr(pHandle, PANEL_NEDITeachA, ATTR_TEXT_BGCOLOR);
    TypeInto(pHandle, PANEL_NEDITeachA, "2345");
    ASSERT_EQ(KVexApp::U16(pHandle, PANEL_NEDITeachA), 2345);
    EXPECT_EQ(Attr(pHandle, PANEL_NEDITeachA, ATTR_TEXT_BGCOLOR), kChanged);

    // Keep editing: nothing is read, the edit stays.
    questions.AnswerWith(false);
    app.sensor().clearRequests();
    KVexApp::Commit(CC_BTNGet, pHandle, PANEL_BTNGet);
    EXPECT_EQ(app.sensor().commandCount(2), 0);
    ASSERT_EQ(questions.asked.size(), 1u);
    EXPECT_NE(questions.asked[0].find("Teach A"), std::string::npos) << questions.asked[0];
    EXPECT_EQ(KVexApp::U16(pHandle, PANEL_NEDITeachA), 2345);

    // A refused parameter file and a cancelled dialog change nothing either.
    questions.AnswerWith(true);
    SetCtrlVal(pHandle, PANEL_RBTFile, 1);
    CC_RBTFile(pHandle, PANEL_RBTFile, EVENT_VAL_CHANGED, nullptr, 0, 0);
    const std::string binary = WriteFile("binary.cfg", std::string("\x01\x02\xFF", 3));
    for (const std::string &answer : {binary, std::string()}) {
        SetFileSelectScript([answer](const FileSelectRequest &, std::string &path) {
            path = answer;
            return !answer.empty();
        });
        KVexApp::Commit(CC_BTNGet, pHandle, PANEL_BTNGet);
        EXPECT_EQ(KVexApp::U16(pHandle, PANEL_NEDITeachA), 2345) << answer;
        EXPECT_EQ(Attr(pHandle, PANEL_NEDITeachA, ATTR_TEXT_BGCOLOR), kChanged);
    }
    SetFileSelectScript(nullptr);
    EXPECT_EQ(KVexApp::Status().rfind("Not loaded, not a text file", 0), 0u) << KVexApp::Status();

    // Closing asks too; keeping the edits keeps the program running.
    questions.AnswerWith(false);
    CC_PANEL(pHandle, EVENT_CLOSE, nullptr, 0, 0);
    ASSERT_FALSE(questions.asked.empty());
    EXPECT_EQ(questions.asked.back().rfind("Close K-VEX: ", 0), 0u);
    EXPECT_TRUE(LinkReady()) << "the port is still open";

    // Discarding on purpose brings the sensor's value and takes the mark away.
    questions.AnswerWith(true);
    SetCtrlVal(pHandle, PANEL_RBTRam, 1);
    CC_RBTRam(pHandle, PANEL_RBTRam, EVENT_VAL_CHANGED, nullptr, 0, 0);
    KVexApp::Commit(CC_BTNGet, pHandle, PANEL_BTNGet);
    EXPECT_EQ(KVexApp::U16(pHandle, PANEL_NEDITeachA), app.sensor().ram(0)[2]);
    EXPECT_EQ(Attr(pHandle, PANEL_NEDITeachA, ATTR_TEXT_BGCOLOR), plain);
}

// Start values nobody edited are nothing to lose; and the limits follow a
// confirmed send at once, not at the next run.
TEST(Edits, OnlyWhatDiffersFromTheSetReadCountsAsChanged) {
    KVexApp app;
    ASSERT_TRUE(app.Start(false));  // no sensor: nothing read yet
    Questions questions;
    questions.AnswerWith(false);
    char names[400];
    EXPECT_EQ(ChangedParameterFields(names, sizeof names), 0) << names;
    EXPECT_TRUE(ConfirmDiscardEdits("Get parameters"));
    EXPECT_TRUE(questions.asked.empty()) << questions.asked.front();
}

TEST(Edits, SentTolerancesShowTheirLimitsAtOnce) {
    KVexApp app;
    ASSERT_TRUE(app.Start());
    auto shown = [](int control) {
        double v = 0;
        GetCtrlVal(pHandle, control, &v);
        return v;
    };
    const double lower = shown(PANEL_Display44), upper = shown(PANEL_Display45);
    SetCtrlVal(pPara1, PARA1_Para1Edit4, KVexApp::U16(pPara1, PARA1_Para1Edit4) + 10u);
    SetCtrlVal(pPara1, PARA1_Para1Edit3, KVexApp::U16(pPara1, PARA1_Para1Edit3) + 20u);
    KVexApp::Commit(CC_BTNSend, pHandle, PANEL_BTNSend);
    ASSERT_EQ(KVexApp::Status(), "Line Ok! - Sent to RAM: 30 of 30 words confirmed");
    const double mmPerUnit = ScaleFactor() / 16384.0 / 1000;
    EXPECT_NEAR(shown(PANEL_Display45) - upper, 10 * mmPerUnit, 1e-9);
    EXPECT_NEAR(lower - shown(PANEL_Display44), 20 * mmPerUnit, 1e-9);
}

TEST(Eeprom, EverySendAsksAndOnlyYesWritesIt) {
    KVexApp app;
    ASSERT_TRUE(app.Start());
    Questions questions;
    SetCtrlVal(pHandle, PANEL_RBTEeprom, 1);
    CC_RBTEeprom(pHandle, PANEL_RBTEeprom, EVENT_VAL_CHANGED, nullptr, 0, 0);
    app.sensor().clearRequests();

    questions.AnswerWith(false);
    KVexApp::Commit(CC_BTNSend, pHandle, PANEL_BTNSend);
    EXPECT_EQ(app.sensor().commandCount(3), 0);
    EXPECT_EQ(KVexApp::Status(), "Not sent: writing the EEPROM was cancelled");

    questions.AnswerWith(true);
    for (int send = 0; send < 2; ++send) KVexApp::Commit(CC_BTNSend, pHandle, PANEL_BTNSend);
    EXPECT_EQ(app.sensor().commandCount(3), 4) << "two frames per send";
    EXPECT_EQ(questions.asked.size(), 3u) << "each send asked";
    EXPECT_EQ(KVexApp::Status(), "Line Ok! - Sent to EEPROM: 30 of 30 words confirmed");
    EXPECT_EQ(Attr(pHandle, PANEL_StatusLine, ATTR_TEXT_COLOR), 0x000000);
}

// The zoom follows its button at once; reset, teach and the log say what
// they did; the tolerance edits keep the hardware mode's dimming after a get.
TEST(Controls, ZoomResetTeachAndLogShowWhatHappened) {
    KVexApp app;
    ASSERT_TRUE(app.Start());
    short hardwareMode = 0;
    GetCtrlVal(pPara1, PARA1_DROPHardwareMode, &hardwareMode);
    const int dimmed = hardwareMode == 1 || hardwareMode == 3;
    SetCtrlAttribute(pPara1, PARA1_Para1Edit3, ATTR_DIMMED, !dimmed);
    KVexApp::Commit(CC_BTNGet, pHandle, PANEL_BTNGet);
    EXPECT_EQ(Attr(pPara1, PARA1_Para1Edit3, ATTR_DIMMED), dimmed);

    SetCtrlVal(pHandle, PANEL_TOGBTN_Zoom, 1);
    KVexApp::Commit(CC_TOGBTN_Zoom, pHandle, PANEL_TOGBTN_Zoom);
    int mode = -1;
    double low = 0, high = 0;
    GetAxisScalingMode(pHandle, PANEL_StripChartRaw, VAL_LEFT_YAXIS, &mode, &low, &high);
    EXPECT_LT(high - low, yaxisMAX / 2.0) << "zoomed without waiting for a sample";
    KVexApp::Commit(CC_BTNGet, pHandle, PANEL_BTNGet);
    GetAxisScalingMode(pHandle, PANEL_StripChartRaw, VAL_LEFT_YAXIS, &mode, &low, &high);
    EXPECT_LT(high - low, yaxisMAX / 2.0) << "a get keeps the zoom that its button shows";

    Mvalue = 1999;
    SetCtrlVal(pHandle, PANEL_Display36, 4000);
    KVexApp::Commit(CC_ButtonReset, pHandle, PANEL_ButtonReset);
    EXPECT_EQ(KVexApp::U16(pHandle, PANEL_Display36), 1999);
    EXPECT_EQ(KVexApp::U16(pHandle, PANEL_Display33), 1999);
    EXPECT_EQ(Attr(pHandle, PANEL_Display36, ATTR_TEXT_COLOR), kGrey);

    KVexApp::Commit(CC_ButtonTeach, pHandle, PANEL_ButtonTeach);
    char taught[80];
    std::snprintf(taught, sizeof taught, "Taught: teach A %u, teach B %u",
                  static_cast<unsigned>(parameter[PW_TEACH_A]),
                  static_cast<unsigned>(parameter[PW_TEACH_B]));
    EXPECT_NE(KVexApp::Status().find(taught), std::string::npos) << KVexApp::Status();

    std::string log;
    SetConfirmScript([&](const std::string &, const std::string &message) {
        log = message;
        return true;
    });
    KVexApp::Commit(CC_BTNStatusLog, pHandle, PANEL_BTNStatusLog);
    SetConfirmScript([](const std::string &, const std::string &) { return true; });
    const std::string now = QTime::currentTime().toString("HH:mm").toStdString();
    EXPECT_NE(log.find("Reset Max/Min OK!"), std::string::npos) << log;
    EXPECT_NE(log.find(taught), std::string::npos) << log;
    EXPECT_NE(log.find("\n" + now), std::string::npos) << "each text with its time:\n" << log;
}

// The operator opens a dialog while measuring: requests go on beneath it.
TEST(Dialogs, ARecordingKeepsItsIntervalWhileADialogIsHeldOpen) {
    KVexApp app;
    ASSERT_TRUE(app.Start());
    const std::string path = WriteFile("held.csv", "");
    std::remove(path.c_str());
    std::snprintf(recfile_name, sizeof recfile_name, "%s", path.c_str());
    SetCtrlVal(panelPopUp, POPUP_RecFormat, 1);
    SetCtrlVal(panelPopUp, POPUP_NEDITRecSamples, 12);
    SetCtrlVal(panelPopUp, POPUP_NEDITRecTime, 1);
    bool held = false;
    SetFileSelectScript([&](const FileSelectRequest &, std::string &) {
        held = true;
        const double t0 = Timer();
        while (Timer() - t0 < 10.0) ProcessSystemEvents();
        return false;  // cancelled after 10 s
    });
    QTimer::singleShot(
        1500, [] { KVexApp::Commit(CC_RecordFileNameBtn, panelPopUp, POPUP_RecordFileNameBtn); });
    KVexApp::Commit(CC_BTNStartRecord, panelPopUp, POPUP_BTNStartRecord);
    SetFileSelectScript(nullptr);
    ASSERT_TRUE(held);

    std::ifstream file(path);
    std::string line;
    std::getline(file, line);  // the header row
    std::vector<QDateTime> times;
    while (std::getline(file, line)) {
        std::stringstream fields(line);
        std::string number, time;
        std::getline(fields, number, ',');
        std::getline(fields, time, ',');
        times.push_back(QDateTime::fromString(QString::fromStdString(time), Qt::ISODateWithMs));
    }
    ASSERT_EQ(times.size(), 12u);
    for (std::size_t i = 1; i < times.size(); ++i) {
        const qint64 gap = times[i - 1].msecsTo(times[i]);
        EXPECT_GE(gap, 900) << i;
        EXPECT_LE(gap, 1600) << "no hole at sample " << i;
    }
}

TEST(Dialogs, RunAndVideoModeGoOnUnderAMessageBox) {
    KVexApp app;
    ASSERT_TRUE(app.Start());
    for (auto [button, command] : {std::pair{PANEL_BTNRun, 8}, std::pair{PANEL_BTNVideo, 9}}) {
        int before = -1, after = -1;
        const int wanted = button == PANEL_BTNRun ? 21 : 9;
        SetConfirmScript([&](const std::string &, const std::string &) {
            // The box stays open until the requests came, or long enough to
            // tell that they do not.
            before = app.sensor().commandCount(command);
            kvextest::PumpUntil(
                [&] { return app.sensor().commandCount(command) >= before + wanted; }, 20.0);
            after = app.sensor().commandCount(command);
            return true;
        });
        QTimer::singleShot(400, [] {
            KVexApp::Commit(CC_BTNStatusLog, pHandle, PANEL_BTNStatusLog);
            RequestStop();
        });
        KVexApp::Commit(button == PANEL_BTNRun ? CC_BTNRun : CC_BTNVideo, pHandle, button);
        SetConfirmScript([](const std::string &, const std::string &) { return true; });
        EXPECT_GE(after - before, wanted) << "requests while the box was open, command " << command;
        ExpectStoppedFrontEnd(button == PANEL_BTNRun ? "run" : "video");
    }
}
