// The serial-port layer against a real pseudo-terminal: the test holds the
// far end of the line and checks what crosses it, the receive notification,
// the queues, the time-outs and the error codes.
#include "rs232.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "pty_line.h"
#include "sensor_sim.h"
#include "sim_support.h"
#include "ui.h"

using namespace simtest;

namespace {

int openPort(int port, int inputQueue = 4096) {
    return OpenComConfig(port, "", 19200, 0, 8, 1, inputQueue, 4096);
}

Bytes pattern(std::size_t n, std::uint8_t first = 1) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(first + i);
    return b;
}

// What the receive notification saw. When readOnReceive is set it takes
// that many bytes in and flushes, as the sensor link's handler does.
struct Recorder {
    int calls = 0;
    int lastBits = 0;
    int allBits = 0;
    int readOnReceive = 0;
    Bytes got;
};

void recordEvent(int port, int bits, void *data) {
    auto *r = static_cast<Recorder *>(data);
    ++r->calls;
    r->lastBits = bits;
    r->allBits |= bits;
    if ((bits & COM_EV_RECEIVE) && r->readOnReceive > 0) {
        char buf[256];
        const int n = ComRd(port, buf, std::min(r->readOnReceive, 256));
        r->got.assign(buf, buf + std::max(n, 0));
        FlushInQ(port);
    }
}

// Whether bytes wait in the terminal itself, not yet taken in by the layer:
// seen through a descriptor of the test's own, which reads nothing.
bool deviceHolds(const std::string &device) {
    const int fd = ::open(device.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    pollfd p{fd, POLLIN, 0};
    const bool holds = ::poll(&p, 1, 0) > 0 && (p.revents & POLLIN);
    ::close(fd);
    return holds;
}

// Waits until what holds, at most seconds, without processing events.
template <class Pred>
bool until(Pred holds, double seconds = 30.0) {
    const auto t0 = Clock::now();
    while (!holds())
        if (secondsSince(t0) > seconds) return false;
    return true;
}

// Waits without processing events until the queue holds n bytes.
bool queueReaches(int port, int n, double timeoutSeconds = 30.0) {
    return until([&] { return GetInQLen(port) >= n; }, timeoutSeconds);
}

class Rs232Test : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(peer.open());
        ClearComPortDevices();
        SetComPortDevice(1, peer.slavePath().c_str());
    }
    void TearDown() override {
        CloseCom(1);
        CloseCom(2);
        ClearComPortDevices();
    }
    void send(const Bytes &b) { ASSERT_TRUE(peer.writeAll(b.data(), b.size())); }
    Bytes received(std::size_t n, double timeout = 1.0) {
        return readBytes(peer.masterFd(), n, timeout);
    }

    kvexsim::PtyLine peer;  // the far end of the line
};

// ------------------------------------------------------------ port table

TEST(Rs232PortTable, FrontDevicesTakeTheirNumbersAndCopiesAreBounded) {
    ClearComPortDevices();
    SetComPortDevice(1, "/dev/kvex-a");
    SetComPortDevice(2, "/dev/kvex-b");
    SetComPortDevice(5, "/dev/kvex-e");
    char dev[64];
    ASSERT_EQ(GetComPortDevice(1, dev, sizeof dev), 0);
    EXPECT_STREQ(dev, "/dev/kvex-a");
    ASSERT_EQ(GetComPortDevice(2, dev, sizeof dev), 0);
    EXPECT_STREQ(dev, "/dev/kvex-b");
    ASSERT_EQ(GetComPortDevice(5, dev, sizeof dev), 0);
    EXPECT_STREQ(dev, "/dev/kvex-e");
    EXPECT_GE(GetComPortCount(), 5);

    char small[5];
    ASSERT_EQ(GetComPortDevice(1, small, sizeof small), 0);
    EXPECT_STREQ(small, "/dev");
    EXPECT_EQ(GetComPortDevice(0, dev, sizeof dev), kComInvalidPortNumber);
    EXPECT_EQ(GetComPortDevice(kComMaxPorts + 1, dev, sizeof dev), kComInvalidPortNumber);
    EXPECT_EQ(GetComPortDevice(1, nullptr, 10), kComInvalidParameter);

    SetComPortDevice(1, "");  // removed: number 1 is no longer that device
    if (GetComPortDevice(1, dev, sizeof dev) == 0) {
        EXPECT_STRNE(dev, "/dev/kvex-a");
    }
    ClearComPortDevices();
}

// ------------------------------------------------------------ opening

TEST_F(Rs232Test, OpenFailuresMapToTheirCodes) {
    EXPECT_EQ(openPort(0), kComInvalidPortNumber);
    EXPECT_EQ(openPort(kComMaxPorts + 1), kComInvalidPortNumber);
    EXPECT_EQ(openPort(GetComPortCount() + 1), kComInvalidPortNumber);

    SetComPortDevice(2, "/dev/kvex-no-such-port");
    EXPECT_EQ(openPort(2), kComNoSerialPortFound);
    SetComPortDevice(2, "/dev/null");
    EXPECT_EQ(openPort(2), kComNotASerialPort);
    char file[] = "/tmp/kvex-rs232-XXXXXX";
    const int fd = mkstemp(file);
    ASSERT_GE(fd, 0);
    ::close(fd);
    SetComPortDevice(2, file);
    EXPECT_EQ(openPort(2), kComNotASerialPort);
    std::remove(file);
    SetComPortDevice(2, "/tmp");
    EXPECT_EQ(openPort(2), kComNotASerialPort);

    EXPECT_EQ(OpenComConfig(1, "", 0, 0, 8, 1, 4096, 4096), kComInvalidParameter);
    EXPECT_EQ(OpenComConfig(1, "", 19200, 5, 8, 1, 4096, 4096), kComInvalidParameter);
    EXPECT_EQ(OpenComConfig(1, "", 19200, 0, 9, 1, 4096, 4096), kComInvalidParameter);
    EXPECT_EQ(OpenComConfig(1, "", 19200, 0, 8, 3, 4096, 4096), kComInvalidParameter);

    // A failed opening leaves nothing open under the number.
    EXPECT_EQ(ComWrt(2, "x", 1), kComPortNotOpen);
}

TEST_F(Rs232Test, ABusyDeviceCannotBeOpenedTwice) {
    ASSERT_EQ(openPort(1), 0);
    SetComPortDevice(2, peer.slavePath().c_str());
    EXPECT_EQ(openPort(2), kComPortInUse);
    // An explicit device name opens that device under the number.
    CloseCom(1);
    EXPECT_EQ(OpenComConfig(2, peer.slavePath().c_str(), 19200, 0, 8, 1, 4096, 4096), 0);

    // Held, the device is this program's alone; let go, by a close or a
    // reopening under another number, it is nobody's, though its far end
    // stays open (a program as a user without root's exemption could not
    // open it otherwise).
    RawTty other(peer.slavePath());
    ASSERT_TRUE(other.ok());
    int exclusive = -1;
    ASSERT_EQ(::ioctl(other.fd(), TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 1);
    CloseCom(2);
    ASSERT_EQ(::ioctl(other.fd(), TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 0) << "closed but still exclusive";
}

TEST_F(Rs232Test, ClosedAndInvalidPortsAnswerWithCodes) {
    char buf[8];
    for (int port : {0, -1, kComMaxPorts + 1}) {
        EXPECT_EQ(ComWrt(port, "abc", 3), kComInvalidPortNumber);
        EXPECT_EQ(ComRd(port, buf, 3), kComInvalidPortNumber);
        EXPECT_EQ(GetInQLen(port), kComInvalidPortNumber);
        EXPECT_EQ(CloseCom(port), kComInvalidPortNumber);
    }
    EXPECT_EQ(ComWrt(3, "abc", 3), kComPortNotOpen);
    EXPECT_EQ(ComRd(3, buf, 3), kComPortNotOpen);
    EXPECT_EQ(GetInQLen(3), kComPortNotOpen);
    EXPECT_EQ(FlushInQ(3), kComPortNotOpen);
    EXPECT_EQ(FlushOutQ(3), kComPortNotOpen);
    EXPECT_EQ(SetComTime(3, 1.0), kComPortNotOpen);
    EXPECT_EQ(SetCTSMode(3, 0), kComPortNotOpen);
    EXPECT_EQ(InstallComCallback(3, COM_EV_RECEIVE, 36, 0x55, recordEvent, nullptr),
              kComPortNotOpen);
    EXPECT_EQ(CloseCom(3), 0);
    EXPECT_EQ(CloseCom(3), 0);

    ASSERT_EQ(openPort(1), 0);
    EXPECT_EQ(CloseCom(1), 0);
    EXPECT_EQ(CloseCom(1), 0);
    EXPECT_EQ(GetInQLen(1), kComPortNotOpen);
}

TEST_F(Rs232Test, ReopeningAnOpenNumberStartsItAfresh) {
    ASSERT_EQ(openPort(1), 0);
    send(pattern(10));
    ASSERT_TRUE(queueReaches(1, 10));
    ASSERT_EQ(openPort(1), 0);
    EXPECT_EQ(GetInQLen(1), 0);
    ASSERT_EQ(ComWrt(1, "hello", 5), 5);
    EXPECT_EQ(received(5), (Bytes{'h', 'e', 'l', 'l', 'o'}));
}

// ------------------------------------------------------------ bytes on the line

TEST_F(Rs232Test, WrittenBytesLeaveWithoutEventProcessing) {
    ASSERT_EQ(openPort(1), 0);
    const Bytes frame = requestFrame(5, 0, {500, 50, 512});
    EXPECT_EQ(ComWrt(1, reinterpret_cast<const char *>(frame.data()), 36), 36);
    EXPECT_EQ(received(36), frame);
    EXPECT_EQ(ComWrt(1, "x", 0), 0);
    EXPECT_EQ(ComWrt(1, nullptr, 3), kComInvalidParameter);
}

TEST_F(Rs232Test, QueueLengthGrowsWhileTheCallerOnlyPolls) {
    ASSERT_EQ(openPort(1), 0);
    const Bytes reply = pattern(72);
    std::thread far([&] {
        sleepFor(0.05);
        peer.writeAll(reply.data(), 40);
        sleepFor(0.05);
        peer.writeAll(reply.data() + 40, 32);
    });
    const bool complete = queueReaches(1, 72, 1.5);  // as the firmware read loops
    far.join();
    ASSERT_TRUE(complete);
    char buf[100];
    ASSERT_EQ(ComRd(1, buf, 72), 72);
    EXPECT_EQ(Bytes(buf, buf + 72), reply);
    EXPECT_EQ(GetInQLen(1), 0);
}

TEST_F(Rs232Test, InputQueueKeepsItsSizeAndDropsTheRest) {
    ASSERT_EQ(openPort(1), 0);
    send(pattern(5000));
    ASSERT_TRUE(queueReaches(1, 4096));
    // The rest is taken from the device and dropped, not left waiting there.
    const std::string device = peer.slavePath();
    ASSERT_TRUE(until([&] { return GetInQLen(1) >= 0 && !deviceHolds(device); }));
    EXPECT_EQ(GetInQLen(1), 4096);
    char first[4];
    ASSERT_EQ(ComRd(1, first, 4), 4);
    EXPECT_EQ(static_cast<std::uint8_t>(first[0]), 1);  // the oldest bytes are kept

    ASSERT_EQ(openPort(1, 100), 0);
    send(pattern(300));
    ASSERT_TRUE(queueReaches(1, 100));
    ASSERT_TRUE(until([&] { return GetInQLen(1) >= 0 && !deviceHolds(device); }));
    EXPECT_EQ(GetInQLen(1), 100);
}

TEST_F(Rs232Test, FlushInDiscardsTheQueueAndWhatTheDeviceHolds) {
    ASSERT_EQ(openPort(1), 0);
    send(pattern(20));
    ASSERT_TRUE(queueReaches(1, 20));
    EXPECT_EQ(FlushInQ(1), 0);
    EXPECT_EQ(GetInQLen(1), 0);

    send(pattern(20));  // in the device, not yet taken in by the layer
    ASSERT_TRUE(until([&] { return deviceHolds(peer.slavePath()); }));
    EXPECT_EQ(FlushInQ(1), 0);
    EXPECT_FALSE(deviceHolds(peer.slavePath()));
    EXPECT_EQ(GetInQLen(1), 0);
    EXPECT_EQ(FlushOutQ(1), 0);

    send(pattern(3, 0x41));  // the line still works afterwards
    ASSERT_TRUE(queueReaches(1, 3));
}

TEST_F(Rs232Test, ReadWaitsForTheTimeOutAndTakesBytesThatTrickleIn) {
    ASSERT_EQ(openPort(1), 0);
    ASSERT_EQ(SetComTime(1, 0.3), 0);
    EXPECT_EQ(SetComTime(1, -1.0), kComInvalidParameter);
    send(pattern(10));
    char buf[64];
    auto t0 = Clock::now();
    EXPECT_EQ(ComRd(1, buf, 36), 10);
    const double waited = secondsSince(t0);
    EXPECT_GE(waited, 0.25);
    EXPECT_LT(waited, 1.0);

    ASSERT_EQ(SetComTime(1, 1.5), 0);
    const Bytes reply = pattern(36, 0x80);
    std::thread far([&] {
        sleepFor(0.05);
        peer.writeAll(reply.data(), 20);
        sleepFor(0.1);
        peer.writeAll(reply.data() + 20, 16);
    });
    t0 = Clock::now();
    const int n = ComRd(1, buf, 36);
    const double took = secondsSince(t0);
    far.join();
    ASSERT_EQ(n, 36);
    EXPECT_EQ(Bytes(buf, buf + 36), reply);
    EXPECT_LT(took, 1.0);
}

// ------------------------------------------------------------ receive notification

TEST_F(Rs232Test, NotificationFiresOnceAtTheCountAndOnlyDuringEventProcessing) {
    ASSERT_EQ(openPort(1), 0);
    Recorder rec;
    rec.readOnReceive = 36;
    ASSERT_EQ(InstallComCallback(1, 0x8006, 36, 0x55, recordEvent, &rec), 0);

    const Bytes reply = pattern(36, 0x10);
    send(Bytes(reply.begin(), reply.begin() + 35));
    ASSERT_TRUE(queueReaches(1, 35));
    pumpFor(0.1);
    EXPECT_EQ(rec.calls, 0) << "35 bytes must not reach the notify count";

    send(Bytes(reply.begin() + 35, reply.end()));
    ASSERT_TRUE(queueReaches(1, 36));
    EXPECT_EQ(rec.calls, 0) << "the callback ran inside GetInQLen";

    ASSERT_TRUE(pumpUntil([&] { return rec.calls > 0; }, 1.0));
    EXPECT_EQ(rec.calls, 1);
    EXPECT_TRUE(rec.lastBits & COM_EV_RECEIVE);
    EXPECT_EQ(rec.got, reply);
    pumpFor(0.1);
    EXPECT_EQ(rec.calls, 1);

    // After the handler's read and flush the next 36 bytes fire again.
    send(pattern(36, 0x20));
    ASSERT_TRUE(pumpUntil([&] { return rec.calls > 1; }, 1.0));
    EXPECT_EQ(rec.calls, 2);
    EXPECT_EQ(rec.got, pattern(36, 0x20));
}

TEST_F(Rs232Test, NotificationRearmsOnlyAfterTheQueueFellBelowTheCount) {
    ASSERT_EQ(openPort(1), 0);
    Recorder rec;  // takes nothing in
    ASSERT_EQ(InstallComCallback(1, COM_EV_RECEIVE, 36, 0x55, recordEvent, &rec), 0);
    send(pattern(36));
    ASSERT_TRUE(pumpUntil([&] { return rec.calls == 1; }, 1.0));
    send(pattern(10));
    ASSERT_TRUE(queueReaches(1, 46));
    pumpFor(0.1);
    EXPECT_EQ(rec.calls, 1) << "still above the count: no second notification";

    char buf[64];
    ASSERT_EQ(ComRd(1, buf, 40), 40);  // 6 left, below the count
    send(pattern(29));
    ASSERT_TRUE(queueReaches(1, 35));
    pumpFor(0.1);
    EXPECT_EQ(rec.calls, 1);
    send(pattern(1));
    ASSERT_TRUE(pumpUntil([&] { return rec.calls == 2; }, 1.0));
}

TEST_F(Rs232Test, NotificationSwitchedOffTakesNothingAndResumesWhenReinstalled) {
    ASSERT_EQ(openPort(1), 0);
    Recorder rec;
    rec.readOnReceive = 36;
    ASSERT_EQ(InstallComCallback(1, 0x8006, 36, 0x55, recordEvent, &rec), 0);
    ASSERT_EQ(InstallComCallback(1, 0x8006, 36, 0x55, nullptr, nullptr), 0);
    send(pattern(128));
    ASSERT_TRUE(queueReaches(1, 128));
    pumpFor(0.1);
    EXPECT_EQ(rec.calls, 0);
    EXPECT_EQ(GetInQLen(1), 128);

    // Mask 0 switches it off as well.
    ASSERT_EQ(InstallComCallback(1, 0, 36, 0x55, recordEvent, &rec), 0);
    pumpFor(0.05);
    EXPECT_EQ(rec.calls, 0);

    // Installed again with 128 bytes waiting: it fires at the next event processing.
    ASSERT_EQ(InstallComCallback(1, 0x8006, 36, 0x55, recordEvent, &rec), 0);
    EXPECT_EQ(rec.calls, 0);
    ASSERT_TRUE(pumpUntil([&] { return rec.calls == 1; }, 1.0));
    EXPECT_EQ(rec.got, pattern(36));
    EXPECT_EQ(GetInQLen(1), 0);
    EXPECT_EQ(InstallComCallback(1, 0x8006, 5000, 0x55, recordEvent, &rec), kComInvalidParameter);
}

TEST_F(Rs232Test, EventCharacterAndEmptyOutputAreReported) {
    ASSERT_EQ(openPort(1), 0);
    Recorder rec;
    rec.readOnReceive = 36;
    ASSERT_EQ(InstallComCallback(1, 0x8006, 36, 0x55, recordEvent, &rec), 0);
    send(Bytes{0x00, 0x55, 0x01});
    ASSERT_TRUE(pumpUntil([&] { return rec.calls > 0; }, 1.0));
    EXPECT_TRUE(rec.allBits & COM_EV_RXFLAG);
    EXPECT_FALSE(rec.allBits & COM_EV_RECEIVE);

    rec = Recorder{};
    ASSERT_EQ(InstallComCallback(1, 0x8006, 36, 0x55, recordEvent, &rec), 0);
    const Bytes frame = requestFrame(8);
    ASSERT_EQ(ComWrt(1, reinterpret_cast<const char *>(frame.data()), 36), 36);
    ASSERT_TRUE(pumpUntil([&] { return (rec.allBits & COM_EV_TXEMPTY) != 0; }, 1.0));
    EXPECT_EQ(received(36), frame);
}

// ------------------------------------------------------------ waking the program

// Times this thread went to sleep and was woken since it started.
long threadWakeUps() {
    rusage u{};
    getrusage(RUSAGE_THREAD, &u);
    return u.ru_nvcsw;
}

// The far end sends as a 19200-baud line does: a byte each 0.52 ms.
std::thread sendPaced(kvexsim::PtyLine &peer, Bytes bytes) {
    return std::thread([&peer, bytes] {
        const auto t0 = Clock::now();
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            std::this_thread::sleep_until(t0 + std::chrono::microseconds(521 * (i + 1)));
            peer.writeAll(&bytes[i], 1);
        }
    });
}

TEST_F(Rs232Test, APacedFrameWakesTheProgramAFewTimesNotOncePerByte) {
    ASSERT_EQ(openPort(1), 0);
    Recorder rec;
    rec.readOnReceive = 36;
    ASSERT_EQ(InstallComCallback(1, 0x8006, 36, 0x55, recordEvent, &rec), 0);
    const auto waitFor = [](auto done) {
        const long before = threadWakeUps();
        const double t0 = Timer();
        while (!done() && Timer() - t0 < 3.0) ProcessSystemEventsUntil(t0 + 3.0);
        return threadWakeUps() - before;
    };

    std::thread far = sendPaced(peer, pattern(36, 0x10));
    const long wakeUps = waitFor([&] { return rec.calls > 0; });
    far.join();
    EXPECT_EQ(rec.got, pattern(36, 0x10));
    EXPECT_LE(wakeUps, 8) << "one wake-up per byte would be 36";

    // A frame that stops short is still taken in: its event character is
    // reported, and the next bytes complete the count.
    rec = Recorder{};
    rec.readOnReceive = 36;
    Bytes part = pattern(20, 0x10);
    part[10] = 0x55;
    far = sendPaced(peer, part);
    waitFor([&] { return (rec.allBits & COM_EV_RXFLAG) != 0; });
    far.join();
    EXPECT_TRUE(rec.allBits & COM_EV_RXFLAG);
    EXPECT_FALSE(rec.allBits & COM_EV_RECEIVE);
    far = sendPaced(peer, pattern(16, 0x30));
    waitFor([&] { return (rec.allBits & COM_EV_RECEIVE) != 0; });
    far.join();
    ASSERT_EQ(rec.got.size(), 36u);
    EXPECT_EQ(Bytes(rec.got.begin() + 20, rec.got.end()), pattern(16, 0x30));

    // Without a callback, a caller that waits for a count while processing
    // events is woken once it is in.
    ASSERT_EQ(InstallComCallback(1, 0, 36, 0x55, nullptr, nullptr), 0);
    ASSERT_EQ(SetComWakeCount(1, 128), 0);
    far = sendPaced(peer, pattern(128));
    const long blockWakeUps = waitFor([] { return GetInQLen(1) >= 128; });
    far.join();
    EXPECT_EQ(GetInQLen(1), 128);
    EXPECT_LE(blockWakeUps, 8);
    EXPECT_EQ(SetComWakeCount(1, -1), kComInvalidParameter);
    EXPECT_EQ(SetComWakeCount(3, 1), kComPortNotOpen);
}

// The far end answers as the sensor does: once the request has left the
// line, at the line's pace. In the long run each answer wakes the program
// once; only its few looks at an answer's pace cost one more.
TEST_F(Rs232Test, AnswersAtTheLinesPaceWakeTheProgramAboutOnceEach) {
    ASSERT_EQ(openPort(1), 0);
    Recorder rec;
    rec.readOnReceive = 36;
    ASSERT_EQ(InstallComCallback(1, 0x8006, 36, 0x55, recordEvent, &rec), 0);
    constexpr int kAnswers = 64;
    std::thread far([this] {
        for (int i = 0; i < kAnswers; ++i) {
            if (received(36, 5.0).size() != 36) return;
            std::this_thread::sleep_for(std::chrono::microseconds(521 * 36));
            sendPaced(peer, pattern(36, static_cast<std::uint8_t>(i))).join();
        }
    });
    long wakeUps = 0;
    int answered = 0;
    const Bytes request = pattern(36, 0x80);
    for (int i = 0; i < kAnswers; ++i) {
        const Bytes answer = pattern(36, static_cast<std::uint8_t>(i));
        ASSERT_EQ(ComWrt(1, reinterpret_cast<const char *>(request.data()), 36), 36);
        const long wakeUpsBefore = threadWakeUps();
        const double t0 = Timer();
        while (rec.got != answer && Timer() - t0 < 3.0) ProcessSystemEventsUntil(t0 + 3.0);
        wakeUps += threadWakeUps() - wakeUpsBefore;
        if (rec.got == answer) ++answered;
    }
    far.join();
    EXPECT_EQ(answered, kAnswers);
    // Looking at every answer's first byte, as a port that cannot trust the
    // pace must, costs two wake-ups an answer or more.
    EXPECT_LE(wakeUps, kAnswers * 3 / 2) << wakeUps;
}

// ------------------------------------------------------------ a line that goes away

TEST_F(Rs232Test, AVanishedLineGivesCodesAndNoCrash) {
    ASSERT_EQ(openPort(1), 0);
    Recorder rec;
    ASSERT_EQ(InstallComCallback(1, 0x8006, 36, 0x55, recordEvent, &rec), 0);
    send(pattern(5));
    ASSERT_TRUE(queueReaches(1, 5));
    peer.close();  // the adapter is pulled

    int result = 0;
    const bool noticed = pumpUntil(
        [&] {
            GetInQLen(1);
            result = ComWrt(1, "abc", 3);
            return result < 0;
        },
        2.0);
    EXPECT_TRUE(noticed);
    EXPECT_EQ(result, kComIoError);
    char buf[8];
    EXPECT_EQ(ComRd(1, buf, 8), 5) << "bytes that arrived before stay readable";
    EXPECT_EQ(FlushInQ(1), 0);
    pumpFor(0.05);
    EXPECT_EQ(CloseCom(1), 0);
    // Reopening is not checked: a test running beside this one may already
    // have been given the pseudo-terminal number that vanished.
}

// ------------------------------------------------------------ with the simulated sensor

TEST(Rs232Sensor, LineCheckAndFirmwareReadOverTheSimulatedSensor) {
    kvexsim::SimConfig cfg;
    cfg.paced = false;
    kvexsim::SensorSim sim(cfg);
    ASSERT_TRUE(sim.start());
    ClearComPortDevices();
    SetComPortDevice(1, sim.devicePath().c_str());
    ASSERT_EQ(openPort(1), 0);
    ASSERT_EQ(SetComTime(1, 1.5), 0);

    Recorder rec;
    rec.readOnReceive = 36;
    ASSERT_EQ(InstallComCallback(1, 0x8006, 36, 0x55, recordEvent, &rec), 0);
    const Bytes check = requestFrame(5, 0, {500, 50, 512});
    ASSERT_EQ(ComWrt(1, reinterpret_cast<const char *>(check.data()), 36), 36);
    ASSERT_TRUE(pumpUntil([&] { return !rec.got.empty(); }, 2.0));
    ASSERT_EQ(rec.got.size(), 36u);
    EXPECT_EQ(wordAt(rec.got, 0), 0x00AA);
    EXPECT_EQ(wordAt(rec.got, 2), 5);

    // Firmware: notification off, 72 raw bytes polled without events.
    ASSERT_EQ(InstallComCallback(1, 0x8006, 36, 0x55, nullptr, nullptr), 0);
    FlushInQ(1);
    const Bytes firmware = requestFrame(7);
    ASSERT_EQ(ComWrt(1, reinterpret_cast<const char *>(firmware.data()), 36), 36);
    ASSERT_TRUE(queueReaches(1, 72, 1.5));
    char text[73] = {};
    ASSERT_EQ(ComRd(1, text, 72), 72);
    EXPECT_EQ(std::string(text), cfg.firmware);

    sim.vanish();
    int result = 0;
    EXPECT_TRUE(pumpUntil(
        [&] {
            GetInQLen(1);
            result = ComWrt(1, reinterpret_cast<const char *>(check.data()), 36);
            return result < 0;
        },
        2.0));
    CloseCom(1);
    ClearComPortDevices();
}

}  // namespace
