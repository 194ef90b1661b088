// Replies checked against their requests: a sensor that misbehaves on the
// line costs at most the exchange it hit, and wrong bytes never become data.
#include <gtest/gtest.h>

#include <QTimer>
#include <algorithm>
#include <string>
#include <vector>

#include "exchange.h"
#include "gui.h"
#include "kvex_app.h"
#include "modes.h"
#include "sim_support.h"

using kvextest::KVexApp;
using kvextest::SensorWith;

namespace {

constexpr int kGrey = 0x808080;

bool SameFrames(KVexApp &app) {
    const auto ram0 = app.sensor().ram(0);
    const auto ram1 = app.sensor().ram(1);
    for (int i = 0; i < 15; ++i)
        if (parameter[PW_FRAME0 + i] != ram0[i]) return false;
    for (int i = 0; i < 11; ++i)
        if (parameter[PW_FRAME1 + i] != ram1[i]) return false;
    return true;
}

}  // namespace

// Stray bytes before or after each reply, or a burst of garbage after it:
// every reply is still found, run mode keeps going, Get takes the sensor's
// words and Reset its answer.
TEST(CheckedReplies, StrayBytesAroundRepliesAreSkipped) {
    kvexsim::Faults trailing, leading, garbage;
    trailing.extraBytes = 4;
    leading.leadingBytes = 5;
    garbage.garbage = true;
    int round = 0;
    for (const auto &f : {trailing, leading, garbage}) {
        SCOPED_TRACE(++round);
        KVexApp app(SensorWith(f));
        ASSERT_TRUE(app.Start());
        EXPECT_TRUE(SameFrames(app)) << "start-up";
        const int before = app.sensor().commandCount(8);
        kvextest::StopAfterRequests(app.sensor(), 8, 40);
        KVexApp::Commit(CC_BTNRun, pHandle, PANEL_BTNRun);
        EXPECT_GE(app.sensor().commandCount(8) - before, 40);
        EXPECT_NE("Timeout RS232-Line!", app.Status());
        EXPECT_EQ(app.sensor().lastRaw().mvalue, Mvalue);
        KVexApp::Commit(CC_BTNGet, pHandle, PANEL_BTNGet);
        EXPECT_EQ("Parameter-frame received! - Line Ok!", app.Status());
        EXPECT_TRUE(SameFrames(app));
        KVexApp::Commit(CC_ButtonReset, pHandle, PANEL_ButtonReset);
        EXPECT_EQ("Reset Max/Min OK!", app.Status());
        EXPECT_GT(DiscardedBytes(), 0);
    }
}

// On a line paced like the real one, trailing bytes cost only their own
// transfer time: four more bytes per reply on 72 make about 5 %. The pace is
// the same run's own without them, so a busy machine slows both alike; a
// reply that waited for a time-out would take many times as long.
TEST(CheckedReplies, TrailingBytesKeepRunModeAtThePaceOfTheLine) {
    KVexApp app{kvexsim::SimConfig{}};
    ASSERT_TRUE(app.Start());
    const auto medianRequestGap = [&](int requests) {
        app.sensor().clearRequests();
        kvextest::StopAfterRequests(app.sensor(), kvexsim::kRawValues, requests);
        KVexApp::Commit(CC_BTNRun, pHandle, PANEL_BTNRun);
        std::vector<double> gaps;
        const auto r = app.sensor().requests();
        for (std::size_t i = 1; i < r.size(); ++i) gaps.push_back(r[i].time - r[i - 1].time);
        if (gaps.empty()) return 1e9;
        std::nth_element(gaps.begin(), gaps.begin() + gaps.size() / 2, gaps.end());
        return gaps[gaps.size() / 2];
    };
    const double clean = medianRequestGap(40);
    kvexsim::Faults trailing;
    trailing.extraBytes = 4;
    app.sensor().setFaults(trailing);
    const double withTrailing = medianRequestGap(40);
    EXPECT_LT(withTrailing, 1.25 * clean) << withTrailing << " s a request against " << clean;
    EXPECT_NE("Timeout RS232-Line!", app.Status());
}

// A reply with the wrong sync word or command code leaves the words alone:
// the Get times out as if nothing had come.
TEST(CheckedReplies, WrongSyncOrCommandNeverBecomesParameters) {
    kvexsim::Faults wrongSync, wrongCommand;
    wrongSync.wrongSync = true;
    wrongCommand.replyCommand = 12;
    for (auto f : {wrongSync, wrongCommand}) {
        f.onlyCommand = 2;
        KVexApp app(SensorWith(f));
        ASSERT_TRUE(app.Start(false));
        unsigned short before[34];
        std::copy(std::begin(parameter), std::end(parameter), before);
        InitRS232(com);
        EXPECT_EQ("Timeout-RS-232...", app.Status()) << "the start-up names the failure";
        EXPECT_TRUE(std::equal(std::begin(before) + 3, std::end(before), parameter + 3));
    }
}

// Replies 2 s late come after their wait has ended: they answer neither the
// next frame of the Get nor the Reset after it. Once the sensor is quick
// again, everything works.
TEST(CheckedReplies, LateRepliesNeverAnswerALaterRequest) {
    kvexsim::Faults late;
    late.lateSeconds = 2.0;
    KVexApp app(SensorWith(late));
    ASSERT_TRUE(app.Start(false));
    ASSERT_EQ(0, OpenComConfig(com, "", 19200, 0, 8, 1, 4096, 4096));
    InstallRxNotification(com);
    const unsigned short teachA = parameter[PW_TEACH_A];
    ASSERT_NE(app.sensor().ram(0)[2], teachA);

    KVexApp::Commit(CC_BTNGet, pHandle, PANEL_BTNGet);
    EXPECT_EQ("Timeout-RS-232...", app.Status());
    EXPECT_EQ(teachA, parameter[PW_TEACH_A]);
    KVexApp::Commit(CC_ButtonReset, pHandle, PANEL_ButtonReset);
    EXPECT_EQ("Timeout-RS-232...", app.Status());

    app.sensor().setFaults({});
    KVexApp::Commit(CC_BTNGet, pHandle, PANEL_BTNGet);
    EXPECT_EQ("Parameter-frame received! - Line Ok!", app.Status());
    EXPECT_TRUE(SameFrames(app));
}

// A paced block with one byte too many: the extra byte comes right behind
// the 128th and is seen, the block is dropped whole, and once the sensor
// sends proper blocks again the curves are drawn from them.
TEST(CheckedReplies, LongVideoBlocksAreDroppedWholeAndVideoRecovers) {
    kvexsim::SimConfig cfg;
    cfg.faults.extraBytes = 1;
    cfg.faults.onlyCommand = 9;
    KVexApp app(cfg);
    ASSERT_TRUE(app.Start());
    std::fill(std::begin(adcbufA), std::end(adcbufA), 0xFFFF);
    bool untouched = false;
    // Three cycles of over-long blocks, then a sensor that is cured.
    kvextest::AfterRequests(app.sensor(), 9, 3, [&] {
        untouched = std::all_of(std::begin(adcbufA), std::end(adcbufA),
                                [](unsigned short v) { return v == 0xFFFF; });
        app.sensor().setFaults({});
        // The second request after the cure comes once a whole cycle passed.
        kvextest::StopAfterRequests(app.sensor(), 9, 2);
    });
    KVexApp::Commit(CC_BTNVideo, pHandle, PANEL_BTNVideo);
    EXPECT_TRUE(untouched);
    EXPECT_TRUE(std::all_of(std::begin(adcbufA), std::end(adcbufA),
                            [](unsigned short v) { return v <= 256; }));
    EXPECT_EQ("Data[64] block received!", app.Status());
}

// Video blocks that come 2 s late arrive while the next cycle waits: they
// are never stored as that cycle's blocks.
TEST(CheckedReplies, LateVideoBlocksAreNeverStoredAsLaterOnes) {
    kvexsim::Faults late;
    late.lateSeconds = 2.0;
    late.onlyCommand = 9;
    KVexApp app(SensorWith(late));
    ASSERT_TRUE(app.Start());
    std::fill(std::begin(adcbufA), std::end(adcbufA), 0xFFFF);
    // The third request means the second cycle has waited out its own, with
    // the first cycle's block arriving in its time.
    kvextest::StopAfterRequests(app.sensor(), 9, 3);
    KVexApp::Commit(CC_BTNVideo, pHandle, PANEL_BTNVideo);
    EXPECT_TRUE(std::all_of(std::begin(adcbufA), std::end(adcbufA),
                            [](unsigned short v) { return v == 0xFFFF; }));
    EXPECT_GE(app.sensor().commandCount(9), 3) << "each next cycle asked again";
}

// The device goes away: idle, the operator is told at once; in run mode the
// loop ends, the verdict turns grey and the commands come back. Choosing the
// port again once the sensor is back restores the link.
TEST(CheckedReplies, AVanishedDeviceIsSaidAndPickingThePortAgainRecovers) {
    KVexApp app;
    ASSERT_TRUE(app.Start());
    const std::string device = app.sensor().devicePath();
    app.sensor().vanish();
    EXPECT_TRUE(simtest::pumpUntil([] { return line_lost != 0; }, 2.0));
    EXPECT_NE(std::string::npos, app.Status().find("Line lost on COM 1")) << app.Status();
    EXPECT_NE(std::string::npos, app.Status().find(device)) << app.Status();

    EXPECT_EQ(0, KVexApp::U16(pHandle, PANEL_DropDCom)) << "the lost port is no longer chosen";

    app.sensor().stop();
    ASSERT_TRUE(app.sensor().start());
    SetComPortDevice(1, app.sensor().devicePath().c_str());
    SetCtrlVal(pHandle, PANEL_DropDCom, 1);
    KVexApp::Commit(CC_DropDCom, pHandle, PANEL_DropDCom);
    EXPECT_EQ(0, line_lost);
    EXPECT_TRUE(SameFrames(app)) << app.Status();

    QTimer::singleShot(400, [&] { app.sensor().vanish(); });
    KVexApp::Commit(CC_BTNRun, pHandle, PANEL_BTNRun);
    // A loop that missed the loss would have ended by its time-out, and said so.
    EXPECT_NE(std::string::npos, app.Status().find("Line lost")) << app.Status();
    EXPECT_EQ(kGrey, KVexApp::Attr(pHandle, PANEL_Display14, ATTR_TEXT_BGCOLOR));
    EXPECT_EQ(0, KVexApp::Attr(pHandle, PANEL_DropDCom, ATTR_DIMMED));
}

// One operation at a time: a Get pressed while a Reset waits for its answer
// is refused, not run inside that wait.
TEST(CheckedReplies, NoOperationRunsInsideAnothersWait) {
    kvexsim::Faults slow;
    slow.lateSeconds = 0.5;
    slow.onlyCommand = 11;
    KVexApp app(SensorWith(slow));
    ASSERT_TRUE(app.Start());
    app.sensor().clearRequests();
    QTimer::singleShot(100, [] { KVexApp::Commit(CC_BTNGet, pHandle, PANEL_BTNGet); });
    KVexApp::Commit(CC_ButtonReset, pHandle, PANEL_ButtonReset);
    EXPECT_EQ("Reset Max/Min OK!", app.Status());
    EXPECT_EQ(1u, app.sensor().requestCount());
    EXPECT_FALSE(LinkBusy());
}
