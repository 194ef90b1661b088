// The sensor link alone over a real pseudo-terminal: port opening, line check
// and start-up handshake, receive notification, against the simulated sensor.
// What the link has to show goes to the status text it reports.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QProcess>
#include <QRegularExpression>
#include <cstring>
#include <string>

#include "com232.h"
#include "rs232.h"
#include "sensor_sim.h"
#include "ui.h"

namespace {

std::string g_status;

// The sensor answers at once and its target stands still.
kvexsim::SimConfig Sensor(const kvexsim::Faults &faults = {}) {
    kvexsim::SimConfig cfg;
    cfg.paced = false;
    cfg.motion = false;
    cfg.latencySeconds = 0.0;
    cfg.faults = faults;
    return cfg;
}

// The link on port 1, with the simulated sensor at its far end.
class Line {
  public:
    explicit Line(const kvexsim::SimConfig &cfg = Sensor()) : sensor_(cfg) {}
    ~Line() {
        CloseCom(com);
        sensor_.stop();
        link_display = {};
    }

    // Opens the port on the device given (the sensor's by default) and asks
    // the start-up questions.
    bool Open(const std::string &device = {}) {
        if (device.empty() && !sensor_.start()) return false;
        ClearComPortDevices();
        SetComPortDevice(1, device.empty() ? sensor_.devicePath().c_str() : device.c_str());
        link_display = {};
        link_display.status = [](const char *text) { g_status = text; };
        g_status.clear();
        com = 1;
        InitRS232(com);
        return true;
    }

    kvexsim::SensorSim &sensor() { return sensor_; }

  private:
    kvexsim::SensorSim sensor_;
};

void Pump(double seconds) {
    const double t0 = Timer();
    while (Timer() - t0 < seconds) ProcessSystemEventsUntil(t0 + seconds);
}

kvexsim::Faults Fault(void (*set)(kvexsim::Faults &)) {
    kvexsim::Faults f;
    set(f);
    return f;
}

}  // namespace

TEST(Handshake, AsksLineHardwareBothRamFramesAndFirmwareWithPausesBetween) {
    Line line;
    ASSERT_TRUE(line.Open());
    const auto requests = line.sensor().requests();
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
    EXPECT_EQ("K-VEX sensor simulator firmware 1.04 (simulated)", g_status);
    EXPECT_TRUE(LinkReady());
}

TEST(Handshake, WrongSyncWordStopsAfterTheLineCheck) {
    Line line(Sensor(Fault([](kvexsim::Faults &f) { f.wrongSync = true; })));
    ASSERT_TRUE(line.Open());
    EXPECT_EQ("read error - not sync byte 0xAA!", g_status);
    Pump(0.3);
    EXPECT_EQ(1u, line.sensor().requestCount()) << "nothing is sent after a failed line check";
}

// How long the line check waits is counted on the fake line's clock.
TEST(Handshake, SilentSensorTimesOutAndTheProgramGoesOn) {
    Line line(Sensor(Fault([](kvexsim::Faults &f) { f.silent = true; })));
    ccdvirtpixel = 1234;
    ASSERT_TRUE(line.Open());
    EXPECT_EQ("Timeout-RS-232...", g_status);
    EXPECT_EQ(1u, line.sensor().requestCount());
    EXPECT_EQ(1234, ccdvirtpixel) << "the values known stay when the sensor is silent";
    EXPECT_FALSE(LinkReady());
    Pump(0.1);  // events are still served
}

TEST(Handshake, ShortRepliesNeverTriggerTheNotification) {
    Line line(Sensor(Fault([](kvexsim::Faults &f) { f.shortReply = 20; })));
    ASSERT_TRUE(line.Open());
    EXPECT_EQ("Timeout-RS-232...", g_status);
    EXPECT_EQ(0, rx_flag);
}

TEST(Handshake, BytesBeyondTheFrameAreFlushedAndNeverDecoded) {
    Line line(Sensor(Fault([](kvexsim::Faults &f) {
        f.extraBytes = 10;
        f.onlyCommand = 5;
    })));
    ASSERT_TRUE(line.Open());
    EXPECT_EQ(5u, line.sensor().requestCount()) << "the line check passed";
    EXPECT_EQ(0, GetInQLen(com));
    // The parameter reads that followed decoded the sensor's frames, not the
    // leftovers of the line check.
    EXPECT_EQ(line.sensor().ram(0)[2], parameter[PW_TEACH_A]);
    EXPECT_EQ(line.sensor().ram(1)[2], parameter[PW_TEACH_B]);
}

TEST(Handshake, GarbageAfterEveryReplyNeitherCrashesNorCorruptsTheWords) {
    Line line(Sensor(Fault([](kvexsim::Faults &f) { f.garbage = true; })));
    ASSERT_TRUE(line.Open());
    Pump(0.3);
    EXPECT_EQ(line.sensor().ram(0)[5], parameter[PW_TOLUP]);
}

TEST(PortOpening, UnknownPortNumberIsReportedAndNothingIsSent) {
    Line line;
    ASSERT_TRUE(line.sensor().start());
    ClearComPortDevices();
    SetComPortDevice(1, line.sensor().devicePath().c_str());
    link_display.status = [](const char *text) { g_status = text; };
    com = GetComPortCount() + 5;
    InitRS232(com);
    EXPECT_EQ("Invalid port number", g_status);
    Pump(0.2);
    EXPECT_EQ(0u, line.sensor().requestCount());
}

TEST(PortOpening, ClosingTwiceIsHarmless) {
    Line line;
    ASSERT_TRUE(line.Open());
    EXPECT_EQ(0, CloseCom(com));
    EXPECT_EQ(0, CloseCom(com));
}

// Another program plays the sensor: the link opens the device it prints.
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

    Line line;
    ASSERT_TRUE(line.Open(device.toStdString()));
    EXPECT_NE(std::string::npos, g_status.find("firmware")) << g_status;
    EXPECT_EQ(2000, parameter[PW_TEACH_A]) << "the sensor's own teach value arrived";
    CloseCom(com);
    sim.terminate();
    EXPECT_TRUE(sim.waitForFinished(5000));
}
