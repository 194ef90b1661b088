// The simulated sensor: its protocol model byte by byte, the frame cutter,
// and the sensor on a real pseudo-terminal (pacing, faults, reopening,
// unplugging).
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <numeric>
#include <string>

#include "frame_assembler.h"
#include "sensor_model.h"
#include "sensor_sim.h"
#include "sim_support.h"

using namespace simtest;
using kvexsim::FrameAssembler;
using kvexsim::SensorModel;
using kvexsim::SensorSim;
using kvexsim::SimConfig;

namespace {

SimConfig still() {
    SimConfig c;
    c.motion = false;
    return c;
}

kvexsim::Frame toFrame(const Bytes &b) {
    kvexsim::Frame f{};
    std::copy_n(b.begin(), f.size(), f.begin());
    return f;
}

Bytes ask(SensorModel &m, std::uint16_t command, std::uint16_t sub = 0,
          const std::vector<std::uint16_t> &words = {}, double t = 0.0) {
    return m.handle(toFrame(requestFrame(command, sub, words)), t).bytes;
}

std::vector<std::uint16_t> wordsFrom(const Bytes &b, std::size_t at, std::size_t n) {
    std::vector<std::uint16_t> w;
    for (std::size_t i = 0; i < n; ++i) w.push_back(wordAt(b, at + 2 * i));
    return w;
}

std::vector<std::uint16_t> asVector(const kvexsim::ParamFrame &f) { return {f.begin(), f.end()}; }

// The 128 samples of one channel, fetched in two blocks as video mode does.
std::vector<std::uint16_t> channel(SensorModel &m, std::uint16_t ch) {
    auto first = wordsFrom(ask(m, 9, 0, {ch}), 0, 64);
    const auto second = wordsFrom(ask(m, 9, 64, {ch}), 0, 64);
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

std::size_t peakIndex(const std::vector<std::uint16_t> &s) {
    return static_cast<std::size_t>(std::max_element(s.begin(), s.end()) - s.begin());
}

// Factory frame 0 with one word changed.
std::vector<std::uint16_t> frame0With(std::size_t word, std::uint16_t value) {
    auto f = asVector(kvexsim::kFactoryFrame0);
    f[word] = value;
    return f;
}

constexpr std::uint16_t kStillA = 2040;  // round(0.498 * 4096)
constexpr std::uint16_t kStillB = 2081;  // round(0.508 * 4096)

// ------------------------------------------------------------ frame replies

TEST(SensorModel, LineCheckEchoesTheRequestBehindTheSyncWord) {
    SensorModel m(still());
    const Bytes request = requestFrame(5, 0, {500, 50, 512, 1, 2048, 50, 50});
    const Bytes reply = m.handle(toFrame(request), 0.0).bytes;
    ASSERT_EQ(reply.size(), 36u);
    EXPECT_EQ(reply[0], 0x00);
    EXPECT_EQ(reply[1], 0xAA);
    EXPECT_EQ(wordAt(reply, 2), 5);
    EXPECT_TRUE(std::equal(reply.begin() + 4, reply.end(), request.begin() + 4));
}

TEST(SensorModel, ParameterFramesStartAtByteSixWithLowHalvesFirst) {
    SensorModel m(still());
    const Bytes f0 = ask(m, 2, 0);
    ASSERT_EQ(f0.size(), 36u);
    EXPECT_EQ(wordAt(f0, 0), 0x00AA);
    EXPECT_EQ(wordAt(f0, 2), 2);
    EXPECT_EQ(wordAt(f0, 4), 0);
    EXPECT_EQ(wordsFrom(f0, 6, 15), asVector(kvexsim::kFactoryFrame0));

    const Bytes f1 = ask(m, 4, 1);
    EXPECT_EQ(wordAt(f1, 2), 4);
    EXPECT_EQ(wordAt(f1, 4), 1);
    EXPECT_EQ(wordAt(f1, 6 + 2 * 2), 2100);    // teach B
    EXPECT_EQ(wordAt(f1, 6 + 2 * 11), 4096);   // scale factor, low half
    EXPECT_EQ(wordAt(f1, 6 + 2 * 12), 0);      // high half
    EXPECT_EQ(wordAt(f1, 6 + 2 * 13), 37000);  // setpoint value, low half
    EXPECT_EQ(wordAt(f1, 6 + 2 * 14), 0);
}

TEST(SensorModel, WritesLandInTheirMemoryAndOnlyEepromSurvivesAPowerCycle) {
    SensorModel m(still());
    const auto ramWords = frame0With(9, 3);
    EXPECT_TRUE(ask(m, 1, 0, ramWords).empty()) << "writes are not answered";
    EXPECT_EQ(asVector(m.ram(0)), ramWords);
    EXPECT_EQ(asVector(m.eeprom(0)), asVector(kvexsim::kFactoryFrame0));
    EXPECT_EQ(wordsFrom(ask(m, 2, 0), 6, 15), ramWords);

    auto eepromWords = asVector(kvexsim::kFactoryFrame1);
    eepromWords[2] = 1234;
    EXPECT_TRUE(ask(m, 3, 1, eepromWords).empty());
    EXPECT_EQ(asVector(m.eeprom(1)), eepromWords);
    EXPECT_EQ(m.teachB(), 2100) << "an EEPROM write leaves RAM alone";

    m.powerCycle();
    EXPECT_EQ(asVector(m.ram(0)), asVector(kvexsim::kFactoryFrame0));
    EXPECT_EQ(asVector(m.ram(1)), eepromWords);
    EXPECT_EQ(m.teachB(), 1234);
}

TEST(SensorModel, WritesAndUnknownCodesGetNoReply) {
    SensorModel m(still());
    for (std::uint16_t code : {1, 3, 0, 12, 200}) EXPECT_TRUE(ask(m, code).empty()) << code;
}

// ------------------------------------------------------------ raw values

TEST(SensorModel, RawValuesFillSixteenWordsFromByteFourWithTheHighHalfFirst) {
    SensorModel m(still());
    // A setpoint value above 16 bits shows the order of the halves.
    auto f1 = asVector(kvexsim::kFactoryFrame1);
    f1[13] = 100000 & 0xFFFF;
    f1[14] = 100000 >> 16;
    ask(m, 1, 1, f1);

    const Bytes r = ask(m, 8);
    ASSERT_EQ(r.size(), 36u);
    EXPECT_EQ(wordAt(r, 0), 0x00AA);
    EXPECT_EQ(wordAt(r, 2), 8);
    const auto w = wordsFrom(r, 4, 16);
    EXPECT_EQ(w[0], kStillA);
    EXPECT_EQ(w[1], kStillB);
    EXPECT_EQ(w[2], kStillA) << "evaluation mode 1 measures edge A";
    // 100000 um at teach A (2000) + 40 units of 0.25 um
    const std::int32_t um = 100000 + (kStillA - 2000) / 4;
    EXPECT_EQ(w[3], um >> 16);
    EXPECT_EQ(w[4], um & 0xFFFF);
    EXPECT_EQ(w[5], 40);  // tolerances from RAM frame 0
    EXPECT_EQ(w[6], 60);
    EXPECT_EQ(w[7], 1);  // one edge in each channel
    EXPECT_EQ(w[8], 1);
    EXPECT_EQ(w[11], kStillA);  // max and min after one measurement
    EXPECT_EQ(w[12], kStillA);
    EXPECT_EQ(w[13], 1);  // measurement counter
}

TEST(SensorModel, EvaluationModeAndScaleFactorInRamChangeTheMeasurement) {
    SensorModel m(still());
    const std::uint16_t n = 4096;
    const std::uint16_t expected[] = {kStillB, kStillA,
                                      static_cast<std::uint16_t>(2 * n - (kStillA + kStillB)),
                                      static_cast<std::uint16_t>(n + kStillA - kStillB),
                                      static_cast<std::uint16_t>(n + kStillA - kStillB)};
    for (std::uint16_t mode = 0; mode <= 4; ++mode) {
        ask(m, 1, 0, frame0With(9, mode));
        EXPECT_EQ(wordAt(ask(m, 8), 4 + 2 * 2), expected[mode]) << "mode " << mode;
    }
    ask(m, 1, 0, frame0With(9, 7));
    EXPECT_EQ(wordAt(ask(m, 8), 8), kStillB) << "an unknown mode measures like mode 0";

    // Mode 0 against teach B (2100), one micrometre per unit: 37000 - 19.
    auto f1 = asVector(kvexsim::kFactoryFrame1);
    f1[11] = 16384;
    ask(m, 1, 1, f1);
    ask(m, 1, 0, frame0With(9, 0));
    const Bytes r = ask(m, 8);
    EXPECT_EQ(static_cast<std::int32_t>((wordAt(r, 10) << 16) | wordAt(r, 12)),
              37000 + (kStillB - 2100));
    // Tolerances follow RAM as well.
    auto f0 = frame0With(5, 111);
    f0[6] = 222;
    ask(m, 1, 0, f0);
    const Bytes t = ask(m, 8);
    EXPECT_EQ(wordAt(t, 14), 111);
    EXPECT_EQ(wordAt(t, 16), 222);
}

TEST(SensorModel, MaxMinFollowTheMovingTargetAndResetStartsThemAgain) {
    SimConfig c;
    c.seed = 42;
    SensorModel m(c);
    std::uint16_t hi = 0, lo = 0xFFFF;
    for (double t = 0.0; t < 4.0; t += 0.25) {
        const Bytes r = ask(m, 8, 0, {}, t);
        hi = std::max(hi, wordAt(r, 8));
        lo = std::min(lo, wordAt(r, 8));
        EXPECT_EQ(wordAt(r, 26), hi);
        EXPECT_EQ(wordAt(r, 28), lo);
    }
    EXPECT_GT(hi - lo, 100) << "the target should move";

    const Bytes reset = ask(m, 11, 0, {}, 4.0);
    ASSERT_EQ(reset.size(), 36u);
    EXPECT_EQ(wordAt(reset, 0), 0x00AA);
    EXPECT_EQ(wordAt(reset, 2), 11);
    const Bytes after = ask(m, 8, 0, {}, 4.01);
    EXPECT_LT(wordAt(after, 26) - wordAt(after, 28), 20) << "max/min must start again";
}

TEST(SensorModel, TeachStoresTheEdgePositionsAsTeachValuesInRam) {
    SensorModel m(still());
    const Bytes r = ask(m, 6, 0, asVector(kvexsim::kFactoryFrame0));
    ASSERT_EQ(r.size(), 36u);
    EXPECT_EQ(wordAt(r, 0), 0x00AA);
    EXPECT_EQ(wordAt(r, 2), 6);
    EXPECT_EQ(wordAt(r, 6 + 2 * 2), kStillA);
    EXPECT_EQ(m.teachA(), kStillA);
    EXPECT_EQ(m.teachB(), kStillB);
    EXPECT_EQ(m.eeprom(0)[2], 2000) << "teach works on RAM";
    const Bytes raw = ask(m, 8);
    EXPECT_EQ(wordAt(raw, 10), 0);
    EXPECT_EQ(wordAt(raw, 12), 37000) << "at the taught position the setpoint value is measured";
}

// ------------------------------------------------------------ identification

TEST(SensorModel, HardwareInfoFieldsSitAtBytesFourToTwentyFive) {
    SensorModel m(still());
    const Bytes r = ask(m, 10);
    ASSERT_EQ(r.size(), 36u);
    EXPECT_EQ(wordAt(r, 2), 10);
    EXPECT_EQ(wordsFrom(r, 4, 11),
              (std::vector<std::uint16_t>{20, 1024, 1, 1, 4096, 4096, 10, 1013, 104, 37, 256}));
    EXPECT_TRUE(std::all_of(r.begin() + 26, r.end(), [](std::uint8_t b) { return b == 0; }));

    kvexsim::HardwareInfo h;
    h.boardType = 0;
    h.ccdType = 21;
    h.virtualPixels = 3000;
    h.refDistance = 50;
    h.adcMax = 1024;
    m.setHardware(h);
    const Bytes o = ask(m, 10);
    EXPECT_EQ(wordAt(o, 4), 21);
    EXPECT_EQ(wordAt(o, 10), 0);
    EXPECT_EQ(wordAt(o, 12), 3000);
    EXPECT_EQ(wordAt(o, 22), 50);
    EXPECT_EQ(wordAt(o, 24), 1024);
}

TEST(SensorModel, FirmwareIsSeventyTwoBytesAsTextOrAsWords) {
    SimConfig c = still();
    c.firmware = "K-VEX test firmware";
    SensorModel m(c);
    const Bytes text = ask(m, 7);
    ASSERT_EQ(text.size(), 72u);
    EXPECT_EQ(std::string(text.begin(), text.begin() + 19), c.firmware);
    EXPECT_TRUE(std::all_of(text.begin() + 19, text.end(), [](std::uint8_t b) { return b == 0; }));

    kvexsim::HardwareInfo h;
    h.boardType = 0;
    m.setHardware(h);
    const Bytes words = ask(m, 7);
    ASSERT_EQ(words.size(), 72u);
    EXPECT_EQ(wordAt(words, 0), ('K' << 8) | '-');
    EXPECT_EQ(wordAt(words, 2), ('V' << 8) | 'E');

    c.firmware = std::string(100, 'x');  // a text too long is cut to the reply
    SensorModel longer(c);
    EXPECT_EQ(ask(longer, 7).size(), 72u);
}

// ------------------------------------------------------------ CCD signal

TEST(SensorModel, DataBlocksCarryTheCcdSignalWithThePeakAtTheEdge) {
    SensorModel m(still());
    const Bytes block = ask(m, 9, 0, {1});
    EXPECT_EQ(block.size(), 128u) << "a data block is 128 bare bytes";

    const auto a = channel(m, 1);
    const auto b = channel(m, 0);
    EXPECT_NEAR(static_cast<double>(peakIndex(a)), kStillA * 128.0 / 4096, 2.0);
    EXPECT_NEAR(static_cast<double>(peakIndex(b)), kStillB * 128.0 / 4096, 2.0);
    EXPECT_LT(*std::max_element(a.begin(), a.end()), 256);
    EXPECT_GT(*std::max_element(a.begin(), a.end()), 180);
    auto sorted = a;
    std::sort(sorted.begin(), sorted.end());
    const auto median = sorted[64];
    EXPECT_GT(median, 256 * 0.08);
    EXPECT_LT(median, 256 * 0.25);

    kvexsim::HardwareInfo h;
    h.adcMax = 1024;
    m.setHardware(h);
    const auto wide = channel(m, 1);
    EXPECT_GT(*std::max_element(wide.begin(), wide.end()), 700);
    EXPECT_LT(*std::max_element(wide.begin(), wide.end()), 1024);

    const Bytes beyond = ask(m, 9, 128, {1});
    EXPECT_TRUE(std::all_of(beyond.begin(), beyond.end(), [](std::uint8_t v) { return v == 0; }));
}

TEST(SensorModel, DataBufferHoldsTheLastMeasuredValues) {
    SensorModel m(still());
    for (int i = 0; i < 3; ++i) ask(m, 8);
    const auto data = channel(m, 2);
    EXPECT_EQ(data[127], kStillA);
    EXPECT_EQ(data[125], kStillA);
    EXPECT_EQ(data[124], 0);
}

// ------------------------------------------------------------ faults

TEST(SensorModel, FaultsShapeTheReplies) {
    SensorModel m(still());
    kvexsim::Faults f;
    f.wrongSync = true;
    f.replyCommand = 12;
    m.setFaults(f);
    Bytes r = ask(m, 10);
    EXPECT_EQ(wordAt(r, 0), 0x00AB);
    EXPECT_EQ(wordAt(r, 2), 12);
    EXPECT_EQ(ask(m, 9, 0, {1}).size(), 128u) << "raw replies have no header to spoil";

    f = {};
    f.shortReply = 20;
    m.setFaults(f);
    EXPECT_EQ(ask(m, 5).size(), 20u);
    f = {};
    f.extraBytes = 10;
    m.setFaults(f);
    r = ask(m, 5);
    ASSERT_EQ(r.size(), 46u);
    EXPECT_EQ(wordAt(r, 0), 0x00AA);

    f = {};
    f.garbage = true;
    m.setFaults(f);
    const kvexsim::Reply g = m.handle(toFrame(requestFrame(5)), 0.0);
    EXPECT_EQ(g.bytes.size(), 36u);
    EXPECT_GE(g.trailing.size(), 3u);

    f = {};
    f.firmwareLength = 50;
    m.setFaults(f);
    EXPECT_EQ(ask(m, 7).size(), 50u);
    f.firmwareLength = 100;
    m.setFaults(f);
    EXPECT_EQ(ask(m, 7).size(), 100u);

    f = {};
    f.silent = true;
    f.onlyCommand = 8;
    m.setFaults(f);
    EXPECT_TRUE(ask(m, 8).empty());
    EXPECT_EQ(ask(m, 5).size(), 36u) << "faults for one code leave the others alone";
}

// ------------------------------------------------------------ frame cutting

TEST(FrameAssembler, FindsFramesInChunksAndGarbage) {
    const Bytes a = requestFrame(5, 0, {1, 2, 3});
    const Bytes b = requestFrame(8);
    FrameAssembler cut;

    Bytes stream = {0xFF, 0x13, 0x00, 0x12};  // cannot start a frame
    stream.insert(stream.end(), a.begin(), a.end());
    stream.insert(stream.end(), b.begin(), b.end());
    auto frames = cut.feed(stream.data(), 20, 0.0);
    EXPECT_TRUE(frames.empty());
    auto more = cut.feed(stream.data() + 20, stream.size() - 20, 0.001);
    ASSERT_EQ(more.size(), 2u);
    EXPECT_EQ(Bytes(more[0].begin(), more[0].end()), a);
    EXPECT_EQ(Bytes(more[1].begin(), more[1].end()), b);
    EXPECT_EQ(cut.discarded(), 4u);
    EXPECT_EQ(cut.pending(), 0u);

    // A header with a command word of 256 or more is no frame start.
    Bytes fake = {0x00, 0x55, 0x01, 0x00};
    fake.insert(fake.end(), a.begin(), a.end());
    frames = cut.feed(fake.data(), fake.size(), 0.01);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(Bytes(frames[0].begin(), frames[0].end()), a);
}

TEST(FrameAssembler, DropsATornFrameAfterSilence) {
    const Bytes a = requestFrame(2, 1);
    FrameAssembler cut(0.05);
    EXPECT_TRUE(cut.feed(a.data(), 20, 0.0).empty());
    EXPECT_EQ(cut.pending(), 20u);
    const auto frames = cut.feed(a.data(), a.size(), 0.2);  // the rest never came
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(Bytes(frames[0].begin(), frames[0].end()), a);
    EXPECT_EQ(cut.discarded(), 20u);
}

// ------------------------------------------------------------ on the line

class SensorOnLine : public ::testing::Test {
  protected:
    void startSim(SimConfig c) {
        sim = std::make_unique<SensorSim>(c);
        ASSERT_TRUE(sim->start());
        ASSERT_EQ(sim->devicePath().rfind("/dev/pts/", 0), 0u) << sim->devicePath();
        tty = std::make_unique<RawTty>(sim->devicePath());
        ASSERT_TRUE(tty->ok());
    }
    // Sends a request and returns the reply and how long it took to be whole.
    Bytes exchange(const Bytes &request, std::size_t n, double *seconds = nullptr,
                   double timeout = 1.0) {
        const auto t0 = Clock::now();
        tty->write(request);
        Bytes r = tty->read(n, timeout);
        if (seconds) *seconds = secondsSince(t0);
        return r;
    }
    std::unique_ptr<SensorSim> sim;
    std::unique_ptr<RawTty> tty;
};

TEST_F(SensorOnLine, AnswersAndLogsEveryRequest) {
    SimConfig c = still();
    c.paced = false;
    startSim(c);
    const Bytes check = requestFrame(5, 0, {500, 50});
    const Bytes reply = exchange(check, 36);
    ASSERT_EQ(reply.size(), 36u);
    EXPECT_EQ(wordAt(reply, 0), 0x00AA);
    EXPECT_EQ(exchange(requestFrame(7), 72).size(), 72u);
    EXPECT_EQ(exchange(requestFrame(9, 64, {0}), 128).size(), 128u);

    ASSERT_TRUE(sim->waitForRequests(3, 1.0));
    const auto log = sim->requests();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(Bytes(log[0].bytes.begin(), log[0].bytes.end()), check);
    EXPECT_EQ(log[2].command(), 9);
    EXPECT_EQ(log[2].subArgument(), 64);
    EXPECT_LE(log[0].time, log[1].time);
    EXPECT_EQ(sim->commandCount(5), 1);
    EXPECT_EQ(sim->repliesSent(), 3u);
    EXPECT_FALSE(sim->waitForRequests(4, 0.05));

    // Writes change the sensor as seen from outside.
    tty->write(requestFrame(1, 0, frame0With(2, 1500)));
    ASSERT_TRUE(sim->waitForRequests(4, 1.0));
    EXPECT_EQ(sim->teachA(), 1500);
    EXPECT_EQ(sim->ram(0)[2], 1500);

    // Garbage in front of a request is skipped.
    Bytes noisy = {0x13, 0x37, 0xFF};
    const Bytes raw = requestFrame(8);
    noisy.insert(noisy.end(), raw.begin(), raw.end());
    const Bytes r8 = exchange(noisy, 36);
    ASSERT_EQ(r8.size(), 36u);
    EXPECT_EQ(wordAt(r8, 2), 8);
    EXPECT_EQ(sim->bytesDiscarded(), 3u);
    EXPECT_EQ(sim->lastRaw().aval, wordAt(r8, 4));
}

TEST_F(SensorOnLine, RepliesArePacedLikeA19200BaudLine) {
    startSim(still());
    double took = 0.0;
    ASSERT_EQ(exchange(requestFrame(5), 36, &took).size(), 36u);
    EXPECT_GE(took, 36 * 10 / 19200.0);
    ASSERT_EQ(exchange(requestFrame(9, 0, {1}), 128, &took).size(), 128u);
    EXPECT_GE(took, 128 * 10 / 19200.0);

    sim->setPaced(false);
    double fastest = 1.0;
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(exchange(requestFrame(9, 0, {1}), 128, &took).size(), 128u);
        fastest = std::min(fastest, took);
    }
    EXPECT_LT(fastest, 0.03);
}

TEST_F(SensorOnLine, FaultsSetWhileServingChangeTheBytesOnTheWire) {
    SimConfig c = still();
    c.paced = false;
    startSim(c);
    kvexsim::Faults f;
    f.wrongSync = true;
    sim->setFaults(f);
    EXPECT_EQ(wordAt(exchange(requestFrame(5), 36), 0), 0x00AB);

    f = {};
    f.extraBytes = 10;
    sim->setFaults(f);
    EXPECT_EQ(exchange(requestFrame(5), 100, nullptr, 0.3).size(), 46u);

    f = {};
    f.silent = true;
    sim->setFaults(f);
    EXPECT_TRUE(exchange(requestFrame(5), 36, nullptr, 0.2).empty());
    EXPECT_EQ(sim->commandCount(5), 3) << "a silent sensor still takes requests in";

    f = {};
    f.lateSeconds = 0.3;
    sim->setFaults(f);
    double took = 0.0;
    EXPECT_EQ(exchange(requestFrame(5), 36, &took).size(), 36u);
    EXPECT_GE(took, 0.3);
    EXPECT_EQ(sim->faults().lateSeconds, 0.3);

    sim->setFaults({});
    kvexsim::HardwareInfo h;
    h.virtualPixels = 3000;
    sim->setHardware(h);
    EXPECT_EQ(wordAt(exchange(requestFrame(10), 36), 12), 3000);
}

TEST_F(SensorOnLine, ServesAgainAfterTheFrontEndReopensThePort) {
    SimConfig c = still();
    c.paced = false;
    startSim(c);
    EXPECT_EQ(exchange(requestFrame(5), 36).size(), 36u);
    tty->close();
    sleepFor(0.05);
    tty = std::make_unique<RawTty>(sim->devicePath());
    ASSERT_TRUE(tty->ok());
    EXPECT_EQ(exchange(requestFrame(5), 36).size(), 36u);
    EXPECT_TRUE(sim->running());
}

TEST_F(SensorOnLine, AVanishedSensorClosesTheLine) {
    SimConfig c = still();
    c.paced = false;
    startSim(c);
    sim->vanish();
    EXPECT_TRUE(sim->vanished());
    EXPECT_FALSE(sim->running());
    const Bytes check = requestFrame(5);
    EXPECT_NE(::write(tty->fd(), check.data(), check.size()), 36);
    EXPECT_TRUE(tty->read(36, 0.1).empty());
    sim->stop();
}

TEST_F(SensorOnLine, StopEndsALateReplyAtOnce) {
    SimConfig c = still();
    c.faults.lateSeconds = 5.0;
    startSim(c);
    tty->write(requestFrame(5));
    ASSERT_TRUE(sim->waitForRequests(1, 1.0));
    const auto t0 = Clock::now();
    sim->stop();
    EXPECT_LT(secondsSince(t0), 1.0);
    EXPECT_FALSE(sim->running());
}

}  // namespace
