// The sensor link over a real pseudo-terminal: port opening, line check and
// start-up handshake, receive notification, against the simulated sensor.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QProcess>
#include <QRegularExpression>
#include <cstring>

#include "kvex_app.h"

using kvextest::KVexApp;
using kvextest::SensorWith;

TEST(Handshake, AsksLineHardwareBothRamFramesAndFirmwareWithPausesBetween) {
    KVexApp app;
    ASSERT_TRUE(app.Start());
    const auto requests = app.sensor().requests();
    ASSERT_EQ(5u, requests.size());
    const int commands[5][2] = {{5, 0}, {10, 0}, {2, 0}, {2, 1}, {7, 0}};
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(commands[i][0], requests[i].command()) << "request " << i;
        EXPECT_EQ(commands[i][1], requests[i].subArgument()) << "request " << i;
        // 0.1 s apart, as the sensor's thread stamps them (late by a few ms
        // on a busy machine).
        if (i > 0) {
            EXPECT_GE(requests[i].time - requests[i - 1].time, 0.09);
        }
    }
    EXPECT_EQ(std::string("K-VEX sensor simulator firmware 1.04 (simulated)"), app.Status());
}

TEST(Handshake, FirstFrameIsTheLineCheckCarryingParameterFrameZero) {
    KVexApp app;
    ASSERT_TRUE(app.Start());
    const auto requests = app.sensor().requests();
    ASSERT_FALSE(requests.empty());
    const auto &b = requests[0].bytes;
    const unsigned char head[6] = {0x00, 0x55, 0x00, 0x05, 0x00, 0x00};
    EXPECT_EQ(0, std::memcmp(b.data(), head, 6));
    // The panel file's defaults: the start values of frame 0.
    const unsigned short frame0[15] = {500, 50, 512, 1, 2048, 50, 50, 1, 1, 1, 1, 0, 1, 1, 0};
    for (int i = 0; i < 15; ++i)
        EXPECT_EQ(frame0[i], b[6 + 2 * i] << 8 | b[7 + 2 * i]) << "payload word " << i;
}

TEST(Handshake, WrongSyncWordStopsAfterTheLineCheck) {
    kvexsim::Faults f;
    f.wrongSync = true;
    KVexApp app(SensorWith(f));
    ASSERT_TRUE(app.Start());
    EXPECT_EQ("read error - not sync byte 0xAA!", app.Status());
    KVexApp::Pump(0.3);
    EXPECT_EQ(1u, app.sensor().requestCount()) << "nothing is sent after a failed line check";
}

TEST(Handshake, SilentSensorTimesOutAndTheProgramGoesOn) {
    kvexsim::Faults f;
    f.silent = true;
    KVexApp app(SensorWith(f));
    const double t0 = Timer();
    ASSERT_TRUE(app.Start());
    const double took = Timer() - t0;
    EXPECT_EQ("Timeout-RS-232...", app.Status());
    EXPECT_GE(took, 1.5);
    EXPECT_LT(took, 3.0);
    EXPECT_EQ(1u, app.sensor().requestCount());
    EXPECT_EQ(4096, ccdvirtpixel) << "start values stay when the sensor is silent";
    KVexApp::Pump(0.1);  // events are still served
}

TEST(Handshake, ShortRepliesNeverTriggerTheNotification) {
    kvexsim::Faults f;
    f.shortReply = 20;
    KVexApp app(SensorWith(f));
    ASSERT_TRUE(app.Start());
    EXPECT_EQ("Timeout-RS-232...", app.Status());
    EXPECT_EQ(0, rx_flag);
}

TEST(Handshake, BytesBeyondTheFrameAreFlushedAndNeverDecoded) {
    kvexsim::Faults f;
    f.extraBytes = 10;
    f.onlyCommand = 5;
    KVexApp app(SensorWith(f));
    ASSERT_TRUE(app.Start());
    EXPECT_EQ(5u, app.sensor().requestCount()) << "the line check passed";
    EXPECT_EQ(0, GetInQLen(com));
    // The parameter reads that followed decoded the sensor's frames, not the
    // leftovers of the line check.
    EXPECT_EQ(app.sensor().ram(0)[2], parameter[PW_TEACH_A]);
    EXPECT_EQ(app.sensor().ram(1)[2], parameter[PW_TEACH_B]);
}

TEST(Handshake, GarbageAfterEveryReplyNeitherCrashesNorCorruptsTheWords) {
    kvexsim::Faults f;
    f.garbage = true;
    KVexApp app(SensorWith(f));
    ASSERT_TRUE(app.Start());
    KVexApp::Pump(0.3);
    EXPECT_EQ(app.sensor().ram(0)[5], parameter[PW_TOLUP]);
}

TEST(PortOpening, UnknownPortNumberIsReportedAndNothingIsSent) {
    KVexApp app;
    ASSERT_TRUE(app.Start(false));
    com = GetComPortCount() + 5;
    InitRS232(com);
    EXPECT_EQ("Invalid port number", app.Status());
    KVexApp::Pump(0.2);
    EXPECT_EQ(0u, app.sensor().requestCount());
}

TEST(PortOpening, ADeviceThatIsNoSerialLineGivesTheGenericTextThenAnotherPortWorks) {
    KVexApp app;
    ASSERT_TRUE(app.Start(false));
    ClearComPortDevices();
    SetComPortDevice(1, "/dev/null");
    SetComPortDevice(2, app.sensor().devicePath().c_str());
    FillComPortRing();
    com = 1;
    InitRS232(com);
    EXPECT_EQ("RS-232 error!", app.Status());
    EXPECT_EQ(0u, app.sensor().requestCount());

    // The operator picks the sensor's port in the ring.
    SetCtrlVal(pHandle, PANEL_DropDCom, 2);
    KVexApp::Commit(CC_DropDCom, pHandle, PANEL_DropDCom);
    EXPECT_EQ(2, com);
    EXPECT_EQ(5u, app.sensor().requestCount());
    EXPECT_EQ(std::string("K-VEX sensor simulator firmware 1.04 (simulated)"), app.Status());
}

TEST(PortOpening, ClosingTwiceIsHarmless) {
    KVexApp app;
    ASSERT_TRUE(app.Start());
    EXPECT_EQ(0, CloseCom(com));
    EXPECT_EQ(0, CloseCom(com));
}

TEST(PortRing, ListsEveryPortByNumberAndDevice) {
    KVexApp app;
    ASSERT_TRUE(app.Start(false));
    int items = 0;
    GetNumListItems(pHandle, PANEL_DropDCom, &items);
    EXPECT_EQ(GetComPortCount() + 2, items);  // and "Rescan ports", "Other device..."
    EXPECT_EQ(1, KVexApp::U16(pHandle, PANEL_DropDCom));
}

// Another program plays the sensor: the front-end opens the device it prints.
TEST(SensorProgram, ServesTheHandshakeOnThePrintedDevice) {
    QProcess sim;
    sim.start(QCoreApplication::applicationDirPath() + "/kvex-sensor-sim", {"--fast"});
    ASSERT_TRUE(sim.waitForStarted(5000));
    QString device;
    for (int i = 0; i < 50 && device.isEmpty(); ++i) {
        sim.waitForReadyRead(100);
        const QString out = QString::fromUtf8(sim.readAllStandardOutput());
        const int at = out.indexOf("/dev/");
        if (at >= 0) device = out.mid(at).section(QRegularExpression("\\s"), 0, 0);
    }
    ASSERT_FALSE(device.isEmpty());

    KVexApp app;
    ASSERT_TRUE(app.Start(false));
    ClearComPortDevices();
    SetComPortDevice(1, device.toUtf8().constData());
    com = 1;
    InitRS232(com);
    EXPECT_NE(std::string::npos, app.Status().find("firmware")) << app.Status();
    EXPECT_EQ(2000, parameter[PW_TEACH_A]) << "the sensor's own teach value arrived";
    CloseCom(com);
    sim.terminate();
    EXPECT_TRUE(sim.waitForFinished(5000));
}
