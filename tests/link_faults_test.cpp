// The link against a sensor that answers late, only now and then, with a
// wrong text or not at all after it came back: no reply may answer a request
// it was not sent for, no text may name the wrong cause, and a sensor that
// comes back is found however it comes back.
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <string>
#include <thread>

#include "exchange.h"
#include "kvex_app.h"
#include "modes.h"

using kvextest::KVexApp;
using kvextest::LinkState;
using kvextest::PumpUntil;
using kvextest::SensorWith;
using kvextest::StartOnLink;

namespace {

kvexsim::Faults LateFor(int command, double seconds) {
    kvexsim::Faults f;
    f.lateSeconds = seconds;
    f.onlyCommand = command;
    return f;
}

}  // namespace

// Frame 0's reply comes 3.6 s late, after the window in which a late reply is
// waited for: the get ends at the first frame, so that late reply can never
// be taken for frame 1, and nothing says "Line Ok!". Teach's read-back too.
TEST(LateReplies, AMissingFirstFrameEndsTheReadAndItsLateReplyAnswersNothing) {
    KVexApp app;
    ASSERT_TRUE(app.Start());
    const unsigned short teachB = parameter[PW_TEACH_B];
    app.sensor().setFaults(LateFor(2, 3.6));
    app.sensor().clearRequests();
    KVexApp::Commit(CC_BTNGet, pHandle, PANEL_BTNGet);
    EXPECT_EQ(app.sensor().commandCount(2), 1) << "frame 1 was never asked for";
    EXPECT_EQ(KVexApp::Status(), "Timeout-RS-232...");
    long received = ReceivedBytes();
    ASSERT_TRUE(PumpUntil([&] { return ReceivedBytes() > received; }, 6.0))
        << "the late reply comes and is dropped";
    EXPECT_EQ(parameter[PW_TEACH_B], teachB);
    EXPECT_EQ(KVexApp::U16(pHandle, PANEL_NEDITeachB), teachB);

    KVexApp::Commit(CC_ButtonTeach, pHandle, PANEL_ButtonTeach);
    EXPECT_EQ(app.sensor().commandCount(2), 2) << "the read-back stopped at frame 0 as well";
    EXPECT_EQ(KVexApp::Status().find("Line Ok!"), std::string::npos) << KVexApp::Status();
    received = ReceivedBytes();
    ASSERT_TRUE(PumpUntil([&] { return ReceivedBytes() > received; }, 6.0));
    EXPECT_EQ(parameter[PW_TEACH_B], teachB);
}

// On a paced line a late reply comes in pieces while nothing is awaited: it
// is still seen whole, settles its debt, and the next Get reads both frames.
// When the next request goes out is counted on the fake line's clock.
TEST(LateReplies, AReplyInPiecesSettlesItsDebtSoTheNextRequestNeedNotWait) {
    kvexsim::SimConfig paced;
    paced.motion = false;
    KVexApp app(paced);
    ASSERT_TRUE(app.Start());
    app.sensor().setFaults(LateFor(2, 1.7));
    app.sensor().clearRequests();
    KVexApp::Commit(CC_BTNGet, pHandle, PANEL_BTNGet);  // frame 0 times out at 1.5 s
    app.sensor().setFaults({});
    KVexApp::Commit(CC_BTNGet, pHandle, PANEL_BTNGet);
    const auto r = app.sensor().requests();
    ASSERT_EQ(r.size(), 3u);
    EXPECT_EQ(KVexApp::Status(), "Parameter-frame received! - Line Ok!");
}

// A sensor that answers only every second request: each time-out costs its
// exchange and no reply is ever taken for the request after it.
TEST(LateReplies, EverySecondReplyMissingNeverShiftsTheFrames) {
    KVexApp app;
    ASSERT_TRUE(app.Start());
    kvexsim::Faults f;
    f.everySecond = true;
    f.onlyCommand = 2;
    app.sensor().setFaults(f);
    app.sensor().ram(0);
    for (int get = 0; get < 3; ++get) {
        KVexApp::Commit(CC_BTNGet, pHandle, PANEL_BTNGet);
        EXPECT_EQ(parameter[PW_TEACH_A], app.sensor().ram(0)[2]) << get;
        EXPECT_EQ(parameter[PW_TEACH_B], app.sensor().ram(1)[2]) << get;
    }
}

TEST(Firmware, AReplyWithoutTextIsAnErrorAndNeverAnIdentity) {
    kvexsim::Faults f;
    f.firmwareNoText = true;
    KVexApp app(SensorWith(f));
    ASSERT_TRUE(app.Start());
    EXPECT_EQ(KVexApp::Status(), "Error reading firmware-info!");
    EXPECT_FALSE(LinkReady());
    EXPECT_EQ(LinkState().find("Parameter-frame"), std::string::npos) << LinkState();
    EXPECT_STREQ(sensorFirmware, "");
    EXPECT_STREQ(sensorHardware[0], "") << "a hardware reply alone is no identity";

    // Stray bytes before the text: the 72 bytes of the text are taken.
    kvexsim::Faults lead;
    lead.leadingBytes = 3;
    lead.onlyCommand = 7;
    KVexApp again(SensorWith(lead));
    for (int attempt = 0; attempt < 5 && !LinkReady(); ++attempt) {
        again.Stop();
        ASSERT_TRUE(again.Start());
    }
    if (LinkReady()) {
        EXPECT_STREQ(sensorFirmware, "K-VEX sensor simulator firmware 1.04 (simulated)");
        // What the plant and the reports are told, whatever the text box shows.
        ReplaceTextBoxLine(pCalib, CALIB_SensorInfoBox, 2, "typed over");
        EXPECT_STREQ(sensorHardware[2], "working-range=37mm +/- 2.0mm");
    } else
        EXPECT_EQ(KVexApp::Status(), "Error reading firmware-info!") << "never another text";
}

// Each failure says what it was: a reply to another command is not a wrong
// sync word, and a send to the EEPROM that a lost line cut off says what the
// EEPROM may now hold.
TEST(Texts, EachFailureNamesItsCause) {
    {
        kvexsim::Faults f;
        f.replyCommand = 10;
        f.onlyCommand = 5;
        KVexApp app(SensorWith(f));
        ASSERT_TRUE(app.Start());
        EXPECT_EQ(KVexApp::Status(), "read error - reply to command 10, not to the line check!");
    }
    {
        kvexsim::Faults f;
        f.wrongSync = true;
        KVexApp app(SensorWith(f));
        ASSERT_TRUE(app.Start());
        EXPECT_EQ(KVexApp::Status(), "read error - not sync byte 0xAA!");
    }
    {
        // Run, Reset and Teach with no port open send nothing, so they blame
        // no sensor.
        KVexApp idle;
        ASSERT_TRUE(idle.Start(false));
        KVexApp::Commit(CC_BTNRun, pHandle, PANEL_BTNRun);
        EXPECT_EQ(KVexApp::Status(), "Port is not open");
        for (const auto &[callback, control] : {std::pair{&CC_ButtonReset, PANEL_ButtonReset},
                                                std::pair{&CC_ButtonTeach, PANEL_ButtonTeach}}) {
            SetCtrlVal(pHandle, PANEL_StatusLine, "");
            KVexApp::Commit(callback, pHandle, control);
            EXPECT_EQ(KVexApp::Status(), "Port is not open") << control;
        }
    }
    KVexApp app;
    ASSERT_TRUE(app.Start());
    SetCtrlVal(pHandle, PANEL_RBTEeprom, 1);
    CC_RBTEeprom(pHandle, PANEL_RBTEeprom, EVENT_VAL_CHANGED, nullptr, 0, 0);
    std::thread pull([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(40));
        app.sensor().vanish();
    });
    KVexApp::Commit(CC_BTNSend, pHandle, PANEL_BTNSend);
    pull.join();
    PumpUntil([] { return line_lost != 0; }, 2.0);
    EXPECT_NE(KVexApp::Status().find("may now hold a mix of old and new words"), std::string::npos)
        << KVexApp::Status();
}

// A stop while video mode runs ends it within the cycle it came in, never
// after a whole further cycle of four blocks.
TEST(VideoStop, NoWholeCycleRunsAfterStop) {
    kvexsim::SimConfig paced;
    paced.motion = false;
    KVexApp app(paced);
    ASSERT_TRUE(app.Start());
    for (int delay : {700, 790, 880}) {
        int blocksAtStop = -1;
        QTimer::singleShot(delay, [&] {
            blocksAtStop = app.sensor().commandCount(9);
            RequestStop();
        });
        KVexApp::Commit(CC_BTNVideo, pHandle, PANEL_BTNVideo);
        EXPECT_LE(app.sensor().commandCount(9) - blocksAtStop, 3) << delay;
        app.sensor().clearRequests();
    }
}

// The device comes back, but another program holds it for a while, then the
// sensor on it stays silent for a while: the program keeps trying, quietly,
// until the sensor answers its start-up questions. Another sensor at the
// same path is named as such.
TEST(Reconnect, KeepsTryingUntilASensorAnswersAndTellsAnotherSensor) {
    const std::string link = std::string(KVEX_TEST_OUTPUT) + "/sensor-reconnect";
    kvexsim::SensorSim sensor(kvextest::FastSensor());
    ASSERT_TRUE(sensor.start());
    ASSERT_TRUE(StartOnLink(link, sensor));

    // Back busy, then silent.
    sensor.vanish();
    std::remove(link.c_str());
    ASSERT_TRUE(PumpUntil([] { return line_lost != 0; }, 3.0));
    sensor.stop();
    kvexsim::Faults mute;
    mute.silent = true;
    sensor.setFaults(mute);
    ASSERT_TRUE(sensor.start());
    const int holder = open(sensor.devicePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
    ASSERT_EQ(symlink(sensor.devicePath().c_str(), link.c_str()), 0);
    KVexApp::Pump(2.5);
    EXPECT_FALSE(LinkReady());
    close(holder);  // the other program lets go; the sensor is still silent
    KVexApp::Pump(3.0);
    EXPECT_FALSE(LinkReady());
    sensor.setFaults({});
    EXPECT_TRUE(PumpUntil([] { return LinkReady(); }, 6.0)) << KVexApp::Status();
    EXPECT_EQ(KVexApp::Status().rfind("Reconnected to COM 1", 0), 0u) << KVexApp::Status();
    EXPECT_GE(sensor.commandCount(kvexsim::kReadRam), 2) << "its parameters were read";

    // Another sensor at the same path.
    sensor.vanish();
    std::remove(link.c_str());
    ASSERT_TRUE(PumpUntil([] { return line_lost != 0; }, 3.0));
    kvexsim::SimConfig other = kvextest::FastSensor();
    other.firmware = "K-VEX other sensor 2.00";
    kvexsim::SensorSim second(other);
    ASSERT_TRUE(second.start());
    ASSERT_EQ(symlink(second.devicePath().c_str(), link.c_str()), 0);
    EXPECT_TRUE(PumpUntil([] { return LinkReady(); }, 5.0)) << KVexApp::Status();
    EXPECT_EQ(KVexApp::Status().rfind("Another sensor on COM 1", 0), 0u) << KVexApp::Status();
    EXPECT_NE(KVexApp::Status().find("K-VEX other sensor 2.00"), std::string::npos)
        << KVexApp::Status();

    CloseCom(com);
    DiscardKVexPanels();
    std::remove(link.c_str());
}
