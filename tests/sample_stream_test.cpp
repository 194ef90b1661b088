// One path for every measured value: each run-mode reply becomes exactly one
// Sample, and the displays and the recorder's file both show what the stream
// carries.
#include <gtest/gtest.h>

#include <QTimer>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "exchange.h"
#include "kvex_app.h"
#include "modes.h"
#include "recorder.h"

using kvextest::KVexApp;
using kvextest::SensorWith;

namespace {

std::vector<Sample> g_seen;
void Keep(const Sample &s) { g_seen.push_back(s); }

// Run mode for a while; the samples it published.
std::vector<Sample> RunFor(int ms) {
    g_seen.clear();
    SubscribeSamples(Keep);
    QTimer::singleShot(ms, [] { RequestStop(); });
    KVexApp::Commit(CC_BTNRun, pHandle, PANEL_BTNRun);
    UnsubscribeSamples(Keep);
    return g_seen;
}

}  // namespace

// Stray bytes before and after the replies, then replies that answer another
// command: every accepted reply is one sample, numbered on without a gap or
// a repeat, and a refused reply is none.
TEST(SampleStream, EveryRunModeReplyIsExactlyOneSample) {
    kvexsim::Faults stray;
    stray.leadingBytes = 3;
    stray.garbage = true;
    KVexApp app(SensorWith(stray));
    ASSERT_TRUE(app.Start());
    const long before = AcceptedReplies();
    const auto samples = RunFor(600);
    ASSERT_GT(samples.size(), 10u);
    EXPECT_EQ(static_cast<long>(samples.size()), AcceptedReplies() - before);
    for (std::size_t i = 0; i < samples.size(); ++i) {
        EXPECT_EQ(samples[i].number, i + 1);
        EXPECT_EQ(samples[i].a, app.sensor().lastRaw().aval) << "the target stands still";
    }
    EXPECT_LE(samples.back().monotonic - samples.front().monotonic, 0.7);

    kvexsim::Faults other;
    other.replyCommand = 5;
    app.sensor().setFaults(other);
    EXPECT_TRUE(RunFor(100).empty()) << "no sample from a reply to another command";
}

// A sample handed to the stream, and nothing else, reaches both the displays
// and the recorder's file, each value where it belongs.
TEST(SampleStream, TheDisplaysAndTheRecordingShowWhatTheStreamCarries) {
    KVexApp app;
    ASSERT_TRUE(app.Start());
    const std::string path = std::string(KVEX_TEST_OUTPUT) + "/stream.dat";
    std::remove(path.c_str());
    std::snprintf(recfile_name, sizeof recfile_name, "%s", path.c_str());
    SetCtrlVal(panelPopUp, POPUP_NEDITRecSamples, 60000);
    SetCtrlVal(panelPopUp, POPUP_NEDITRecTime, 0);
    Sample made;
    made.a = 1111, made.b = 2222, made.units = 3333, made.sensorUm = 44444, made.exactUm = 44444,
    made.mm = 44.444;
    made.edgesA = 1, made.edgesB = 2;
    made.tolUp = 40, made.tolLow = 60, made.setpointUnits = 3333;
    made.verdict = Verdict::Inside;
    unsigned shownA = 0, shownUnits = 0;
    double shownMm = 0;
    QTimer::singleShot(300, [&] {
        PublishSample(made);
        shownA = KVexApp::U16(pHandle, PANEL_Display17);
        shownUnits = KVexApp::U16(pHandle, PANEL_Display15);
        GetCtrlVal(pHandle, PANEL_Display14, &shownMm);
        RequestStop();
    });
    KVexApp::Commit(CC_BTNStartRecord, panelPopUp, POPUP_BTNStartRecord);
    EXPECT_EQ(shownA, 1111u);
    EXPECT_EQ(shownUnits, 3333u);
    EXPECT_DOUBLE_EQ(shownMm, 44.444);

    std::ifstream file(path, std::ios::binary);
    std::stringstream all;
    all << file.rdbuf();
    EXPECT_NE(all.str().find("1111\t2222\t3333\t44444\t1\t2\r\n"), std::string::npos)
        << "the recorder wrote the sample as it came";
    EXPECT_STREQ(VerdictName(made.verdict), "inside");
}
