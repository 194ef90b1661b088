// A recording replayed through the panels: the views show the file's samples
// in order and as they were judged, the out-of-tolerance samples are one key
// away, the pace follows the speed, nothing reaches the sensor, and Stop
// brings the live front-end back as it was.
#include "replay.h"

#include <gtest/gtest.h>
#include <qcustomplot.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QApplication>
#include <QComboBox>
#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QHelpEvent>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPlainTextEdit>
#include <QProcess>
#include <QSlider>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextLayout>
#include <QToolTip>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <string>
#include <vector>

#include "frame.h"
#include "gui.h"
#include "kvex_app.h"
#include "kvex_process.h"
#include "modes.h"
#include "recording_reader.h"
#include "stats_window.h"
#include "ui_qt.h"
#include "ui_testing.h"

using kvextest::KVexApp;

namespace {

// Samples 100 ms apart; sample i (from 0) has the value 2000 + i % 50 units,
// 37000 + i % 50 / 4 µm, except the ones out of tolerance.
constexpr int kSamples = 600;
const int kAbove[] = {120, 121, 430}, kBelow[] = {260};

bool IsIn(int i, const int *list, int n) {
    for (int k = 0; k < n; ++k)
        if (list[k] == i) return true;
    return false;
}

int UnitsOf(int i) { return 2000 + i % 50; }

std::string CsvRecording(const char *name) {
    const std::string path = std::string(KVEX_TEST_OUTPUT "/replay_") + name;
    FILE *f = std::fopen(path.c_str(), "wb");
    std::fprintf(f,
                 "sample,time,A [pixel],B [pixel],measured value [units],measured value "
                 "[\xC2\xB5m],edges A,edges B,lower limit [\xC2\xB5m],upper limit "
                 "[\xC2\xB5m],setpoint [\xC2\xB5m],verdict\n");
    for (int i = 0; i < kSamples; ++i) {
        int units = UnitsOf(i), um = 37000 + (i % 50) / 4;
        const char *verdict = "inside";
        if (IsIn(i, kAbove, 3)) units = 2200, um = 37050, verdict = "above";
        if (IsIn(i, kBelow, 1)) units = 1800, um = 36950, verdict = "below";
        std::fprintf(
            f, "%d,2026-12-08T03:%02d:%02d.%03d+00:00,%d,2100,%d,%d,1,1,36985,37010,37000,%s\n",
            i + 1, 10 + i / 600, (i / 10) % 60, (i % 10) * 100, units, units, um, verdict);
    }
    std::fclose(f);
    return path;
}

// The measured values the history holds now, oldest first.
std::vector<double> HistoryValues() {
    double values[200];
    const int n = GetStripChartTrace(pHandle, PANEL_StripChartRaw, 4, values, 200);
    std::vector<double> kept;
    for (int i = 0; i < n; ++i)
        if (!std::isnan(values[i])) kept.push_back(values[i]);
    return kept;
}

std::string VerdictText() {
    char text[100] = "";
    GetCtrlVal(pHandle, PANEL_ToleranceVerdict, text, sizeof text);
    return text;
}

void Press(int (*callback)(int, int, int, void *, int, int), int control) {
    KVexApp::Commit(callback, pReplay, control);
}

// Bytes the sensor took in: whole requests and discarded ones.
std::size_t SensorBytes(KVexApp &app) {
    return app.sensor().requestCount() * FRAME_BYTES + app.sensor().bytesDiscarded();
}

// The statistics window's Save button, its dialog answered with saved.
void SaveFiguresTo(const std::string &saved) {
    SetFileSelectScript([&](const FileSelectRequest &, std::string &path) {
        path = saved;
        return true;
    });
    KVexApp::Commit(CC_StatsSave, pStats, STATS_BTNStatsSave);
    SetFileSelectScript(nullptr);
}

// The figures the statistics window shows, saved through its Save button.
QJsonObject WindowFigures(const std::string &saved) {
    SaveFiguresTo(saved);
    QFile file(QString::fromStdString(saved));
    if (!file.open(QIODevice::ReadOnly)) return {};
    return QJsonDocument::fromJson(file.readAll()).object();
}

}  // namespace

TEST(Replay, ShowsTheFileInOrderJumpsToItsOutOfToleranceSamplesAndSendsNothing) {
    KVexApp app;
    ASSERT_TRUE(app.Start());
    const std::size_t before = SensorBytes(app);
    ASSERT_TRUE(BeginReplay(CsvRecording("order.csv").c_str()));

    EXPECT_EQ(KVexApp::Status(), "Replay of replay_order.csv: 600 samples");
    EXPECT_NE(kvextest::LinkState().find("Replay: replay_order.csv"), std::string::npos);
    for (int id :
         std::initializer_list<int>{PANEL_BTNRun, PANEL_BTNVideo, PANEL_BTNGet, PANEL_BTNSend,
                                    PANEL_ButtonTeach, PANEL_ButtonReset, PANEL_TOGGBTN_Recorder})
        EXPECT_EQ(KVexApp::Attr(pHandle, id, ATTR_DIMMED), 1) << id;

    for (int i = 1; i <= 60; ++i) Press(CC_ReplayForward, REPLAY_ReplayForward);
    EXPECT_EQ(ReplayPosition(), 60u);
    EXPECT_EQ(KVexApp::U16(pHandle, PANEL_Display15), UnitsOf(60));
    const std::vector<double> history = HistoryValues();
    ASSERT_EQ(history.size(), 61u);
    for (int i = 0; i <= 60; ++i) EXPECT_EQ(history[i], UnitsOf(i)) << i;

    // N and P land on the recorded out-of-tolerance samples, with their verdicts.
    const struct {
        int (*callback)(int, int, int, void *, int, int);
        int control;
        unsigned long lands;
        const char *verdict;
    } jumps[] = {{CC_ReplayNextOut, REPLAY_ReplayNextOut, 120, "above tolerance"},
                 {CC_ReplayNextOut, REPLAY_ReplayNextOut, 121, "above tolerance"},
                 {CC_ReplayNextOut, REPLAY_ReplayNextOut, 260, "below tolerance"},
                 {CC_ReplayNextOut, REPLAY_ReplayNextOut, 430, "above tolerance"},
                 {CC_ReplayNextOut, REPLAY_ReplayNextOut, 430, "above tolerance"},
                 {CC_ReplayPrevOut, REPLAY_ReplayPrevOut, 260, "below tolerance"}};
    for (const auto &j : jumps) {
        Press(j.callback, j.control);
        EXPECT_EQ(ReplayPosition(), j.lands);
        EXPECT_EQ(VerdictText(), j.verdict);
    }
    // After a seek the history holds the hundred samples up to the one shown.
    EXPECT_EQ(HistoryValues().size(), 100u);
    EXPECT_EQ(HistoryValues().front(), UnitsOf(161));
    Press(CC_ReplayBack, REPLAY_ReplayBack);
    EXPECT_EQ(VerdictText(), "in tolerance");

    SetCtrlVal(pReplay, REPLAY_ReplaySlider, 300);
    Press(CC_ReplaySlider, REPLAY_ReplaySlider);
    EXPECT_EQ(KVexApp::U16(pHandle, PANEL_Display15), UnitsOf(299));

    // Pressing what is dimmed, or the keys' callbacks, still sends nothing.
    KVexApp::Commit(CC_BTNRun, pHandle, PANEL_BTNRun);
    Press(CC_ReplayPlay, REPLAY_ReplayPlay);
    KVexApp::Pump(0.5);
    EXPECT_EQ(SensorBytes(app), before);
}

// A file cut short under the replay: the track, the slider and the panel
// all end where the file ends now, on the last whole line.
TEST(Replay, AFileCutShortEndsTheTrackWhereTheFileEndsNow) {
    KVexApp app;
    ASSERT_TRUE(app.Start());
    const std::string path = CsvRecording("cut.csv");
    ASSERT_TRUE(BeginReplay(path.c_str()));
    SetCtrlVal(pReplay, REPLAY_ReplaySlider, 500);
    Press(CC_ReplaySlider, REPLAY_ReplaySlider);
    ASSERT_EQ(ReplayPosition(), 499u);

    // The header, 200 whole sample lines and half of the next one stay.
    QFile file(QString::fromStdString(path));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray bytes = file.readAll();
    file.close();
    qsizetype at = 0;
    for (int line = 0; line < 201; ++line) at = bytes.indexOf('\n', at) + 1;
    ASSERT_EQ(truncate(path.c_str(), static_cast<off_t>(at + 20)), 0);

    Press(CC_ReplayForward, REPLAY_ReplayForward);
    EXPECT_EQ(ReplayCount(), 200u);
    EXPECT_EQ(ReplayPosition(), 199u);
    EXPECT_EQ(qobject_cast<QSlider *>(UiControlWidget(pReplay, REPLAY_ReplaySlider))->maximum(),
              200);
    char position[200] = "";
    GetCtrlVal(pReplay, REPLAY_ReplayPosition, position, sizeof position);
    EXPECT_EQ(std::string(position).rfind("Sample 200 of 200, ", 0), 0u) << position;
    EXPECT_NE(KVexApp::Status().find("200 samples"), std::string::npos) << KVexApp::Status();
    EXPECT_EQ(KVexApp::U16(pHandle, PANEL_Display15), UnitsOf(199));
}

TEST(Replay, TheSpeedSetsThePace) {
    KVexApp app;
    ASSERT_TRUE(app.Start());
    ASSERT_TRUE(BeginReplay(CsvRecording("pace.csv").c_str()));
    auto samplesIn = [](double seconds) {
        const unsigned long from = ReplayPosition();
        KVexApp::Pump(seconds);
        return ReplayPosition() - from;
    };
    Press(CC_ReplayPlay, REPLAY_ReplayPlay);
    const unsigned long recordedPace = samplesIn(1.0);  // 10 a second
    SetCtrlVal(pReplay, REPLAY_ReplaySpeed, 100);       // 10x
    Press(CC_ReplaySpeed, REPLAY_ReplaySpeed);
    const unsigned long tenfold = samplesIn(1.0);
    EXPECT_GE(recordedPace, 5u);
    EXPECT_LE(recordedPace, 15u);
    EXPECT_GE(tenfold, 4 * recordedPace);

    SetCtrlVal(pReplay, REPLAY_ReplaySpeed, 0);  // as fast as drawing allows
    Press(CC_ReplaySpeed, REPLAY_ReplaySpeed);
    ASSERT_TRUE(kvextest::PumpUntil([] { return !ReplayPlaying(); }, 30.0));
    EXPECT_EQ(ReplayPosition(), kSamples - 1u);  // it stops at the end without loop
}

TEST(Replay, StopReturnsToTheLiveFrontEndAsItWasAndRunWorksAgain) {
    KVexApp app;
    ASSERT_TRUE(app.Start());
    // Run mode loops inside its callback: a stop queued before it ends it.
    PostDelayedCall(
        0.5, [](void *) { StopMeasuring(); }, nullptr);
    KVexApp::Commit(CC_BTNRun, pHandle, PANEL_BTNRun);
    const std::vector<double> liveHistory = HistoryValues();
    const int liveNumber = historySamples;
    const unsigned short liveValue = KVexApp::U16(pHandle, PANEL_Display15);

    // A file that cannot be replayed changes nothing and says why.
    const std::string empty = std::string(KVEX_TEST_OUTPUT "/replay_empty.dat");
    std::fclose(std::fopen(empty.c_str(), "wb"));
    EXPECT_FALSE(BeginReplay(empty.c_str()));
    EXPECT_EQ(KVexApp::Status(), "Cannot replay replay_empty.dat: it is empty");
    EXPECT_FALSE(ReplayShown());

    ASSERT_TRUE(BeginReplay(CsvRecording("stop.csv").c_str()));
    Press(CC_ReplayNextOut, REPLAY_ReplayNextOut);
    CC_BTNStop(pHandle, PANEL_BTNStop, EVENT_LEFT_CLICK, nullptr, 0, 0);
    EXPECT_FALSE(ReplayShown());
    EXPECT_EQ(CurrentActivity(), Activity::Idle);
    EXPECT_EQ(kvextest::LinkState().find("Replay"), std::string::npos);
    EXPECT_EQ(HistoryValues(), liveHistory);
    EXPECT_EQ(historySamples, liveNumber);
    EXPECT_EQ(KVexApp::U16(pHandle, PANEL_Display15), liveValue);
    EXPECT_EQ(KVexApp::Attr(pHandle, PANEL_BTNRun, ATTR_DIMMED), 0);
    int replayPanelShown = -1;
    GetPanelAttribute(pReplay, ATTR_VISIBLE, &replayPanelShown);
    EXPECT_EQ(replayPanelShown, 0);

    app.sensor().clearRequests();
    kvextest::StopAfterRequests(app.sensor(), CMD_RAW_VALUES, 5);
    KVexApp::Commit(CC_BTNRun, pHandle, PANEL_BTNRun);
    EXPECT_GT(app.sensor().requestCount(), 3u);
    EXPECT_GT(historySamples, liveNumber + 3);  // its samples go on in the history
}

TEST(Replay, ATextRecordingIsJudgedByTheParametersHeldOrByLimitsEntered) {
    KVexApp app;
    ASSERT_TRUE(app.Start());
    const std::string path = std::string(KVEX_TEST_OUTPUT "/replay_text.dat");
    FILE *f = std::fopen(path.c_str(), "wb");
    std::fprintf(f,
                 "12-08-2026 03:00:00  K-VEX-RECORDER-FILE: Time-Interval[s]: 1\r\n"
                 "SETPOINT-VALUE [\xB5m]: 37000\r\n");
    const int offsets[] = {0, 1, -1, 5, 0, -4, 2};  // µm from the setpoint
    for (int d : offsets)
        std::fprintf(f, "%d\t2100\t%d\t%d\t1\t1\r\n", 2000 + 4 * d, 2000 + 4 * d, 37000 + d);
    std::fclose(f);
    ASSERT_TRUE(BeginReplay(path.c_str()));
    char text[200] = "";
    GetCtrlVal(pReplay, REPLAY_ReplayLimits, text, sizeof text);
    EXPECT_EQ(std::string(text).rfind("Parameters held: ", 0), 0u) << text;
    EXPECT_EQ(CurrentReplayLimitSource(), ReplayLimitSource::Parameters);

    SetCtrlVal(pReplay, REPLAY_ReplayLower, 36.997);
    SetCtrlVal(pReplay, REPLAY_ReplayUpper, 37.003);
    Press(CC_ReplayLimitEdit, REPLAY_ReplayUpper);
    GetCtrlVal(pReplay, REPLAY_ReplayLimits, text, sizeof text);
    EXPECT_STREQ(text, "Limits entered: 36.997 to 37.003 mm");
    Press(CC_ReplayNextOut, REPLAY_ReplayNextOut);
    EXPECT_EQ(ReplayPosition(), 3u);
    EXPECT_EQ(VerdictText(), "above tolerance");
    Press(CC_ReplayNextOut, REPLAY_ReplayNextOut);
    EXPECT_EQ(ReplayPosition(), 5u);
    EXPECT_EQ(VerdictText(), "below tolerance");
    // The recorded setpoint stays the nominal; the limits are the ones entered.
    double nominal = 0, lower = 0;
    GetCtrlVal(pHandle, PANEL_Display43, &nominal);
    GetCtrlVal(pHandle, PANEL_Display44, &lower);
    EXPECT_DOUBLE_EQ(nominal, 37.0);
    EXPECT_DOUBLE_EQ(lower, 36.997);
}

TEST(Replay, StatisticsCoverTheWholeFileOrTheSpanTheHistoryShows) {
    KVexApp app;
    ASSERT_TRUE(app.Start());
    ASSERT_TRUE(BeginReplay(CsvRecording("figures.csv").c_str()));
    for (int i = 1; i <= 60; ++i) Press(CC_ReplayForward, REPLAY_ReplayForward);
    KVexApp::Commit(CC_BTNStatistics, pHandle, PANEL_BTNStatistics);
    auto text = [](int control) {
        char t[200] = "";
        GetCtrlVal(pStats, control, t, sizeof t);
        return std::string(t);
    };
    auto number = [&](int control) {
        const std::string t = text(control);
        return std::atof(t.c_str() + t.find(": ") + 2);
    };
    // The mean of the recorded micrometres of samples first..last, apart.
    auto meanMm = [](int first, int last) {
        double sum = 0;
        for (int i = first; i <= last; ++i) {
            int um = 37000 + (i % 50) / 4;
            if (IsIn(i, kAbove, 3)) um = 37050;
            if (IsIn(i, kBelow, 1)) um = 36950;
            sum += um;
        }
        return sum / (last - first + 1) / 1000;
    };

    // The figures start on the whole file, not on the samples stepped through.
    int scope = -1;
    GetCtrlVal(pStats, STATS_ScopeRing, &scope);
    EXPECT_EQ(scope, 2);
    EXPECT_EQ(text(STATS_StatN), "n: 600");
    EXPECT_NEAR(number(STATS_StatMean), meanMm(0, kSamples - 1), 0.0005);
    EXPECT_EQ(number(STATS_StatAbove), 3);
    EXPECT_EQ(number(STATS_StatBelow), 1);
    // Saved, they name the file, its limits and the span of its samples.
    const QJsonObject o = WindowFigures(KVEX_TEST_OUTPUT "/replay_figures.json");
    ASSERT_FALSE(o.isEmpty()) << "the figures were not saved";
    EXPECT_EQ(o["file"].toString(), "replay_figures.csv");
    EXPECT_EQ(o["n"].toInt(), 600);
    EXPECT_EQ(o["lower_mm"].toDouble(), 36.985);
    EXPECT_EQ(o["upper_mm"].toDouble(), 37.01);
    auto ms = [&](const char *key) {
        const std::string t = o[key].toString().toStdString();
        int64_t v = -1;
        return ParseIsoTimestamp(t.data(), t.size(), v) ? v : -1;
    };
    EXPECT_EQ(ms("from"), 1796699400000);  // 2026-12-08T03:10:00.000Z, in local time
    EXPECT_EQ(ms("to"), 1796699459900);

    SetCtrlVal(pStats, STATS_ScopeRing, 3);  // what the history shows
    KVexApp::Commit(CC_StatsScope, pStats, STATS_ScopeRing);
    unsigned long first = 0, last = 0;
    ASSERT_TRUE(ReplayHistorySpan(first, last));
    EXPECT_EQ(text(STATS_StatN), "n: " + std::to_string(last - first + 1));
    EXPECT_NEAR(number(STATS_StatMean), meanMm(static_cast<int>(first), static_cast<int>(last)),
                0.0005);
    EXPECT_EQ(number(STATS_StatAbove), 0);

    // The events of the file: samples 120 and 121 one, 260 and 430 one each;
    // choosing one shows its first sample in the replay.
    // Closed, the list counts them from the file's index, reading nothing.
    SetCtrlVal(pStats, STATS_ScopeRing, 2);
    KVexApp::Commit(CC_StatsScope, pStats, STATS_ScopeRing);
    int items = 0;
    GetNumListItems(pStats, STATS_StatsEvents, &items);
    EXPECT_EQ(items, 1);
    EXPECT_EQ(qobject_cast<QComboBox *>(UiControlWidget(pStats, STATS_StatsEvents))
                  ->currentText()
                  .toStdString(),
              "3 out-of-tolerance events");
    CC_StatsEvent(pStats, STATS_StatsEvents, EVENT_RING_OPENING, nullptr, 0, 0);
    GetNumListItems(pStats, STATS_StatsEvents, &items);
    ASSERT_EQ(items, 4);  // the count, then each event
    for (const int first : {260, 120, 430}) {
        SetCtrlVal(pStats, STATS_StatsEvents, first);
        KVexApp::Commit(CC_StatsEvent, pStats, STATS_StatsEvents);
        EXPECT_EQ(ReplayPosition(), static_cast<unsigned long>(first));
        EXPECT_EQ(VerdictText(), first == 260 ? "below tolerance" : "above tolerance");
    }
    EndReplay();
    GetCtrlVal(pStats, STATS_ScopeRing, &scope);
    EXPECT_EQ(scope, 0) << "no file to cover once the replay ended";
}

// A recording that carries its scale (0.25 µm a unit, the setpoint at 2000
// units, tolerances of 80 units) is drawn with its own unit lines and limits,
// whatever the connected sensor holds; one without it gets no guessed lines.
TEST(Replay, TheFilesOwnScaleDrawsItsLinesAndAnOlderFileDrawsNone) {
    KVexApp app;
    ASSERT_TRUE(app.Start());
    const std::string path = KVEX_TEST_OUTPUT "/replay_scaled.csv";
    FILE *f = std::fopen(path.c_str(), "wb");
    ASSERT_TRUE(f);
    std::fprintf(f,
                 "sample,time,A [pixel],B [pixel],measured value [units],measured value "
                 "[\xC2\xB5m],edges A,edges B,lower limit [\xC2\xB5m],upper limit "
                 "[\xC2\xB5m],setpoint [\xC2\xB5m],verdict,scale [\xC2\xB5m/unit],"
                 "setpoint [units],measured value exact [\xC2\xB5m]\n");
    for (int i = 0; i < 20; ++i) {
        const int units = i == 9 ? 2081 : 1990 + i;
        const double exact = 37000 + (units - 2000) * 0.25;
        std::fprintf(f,
                     "%d,2026-12-08T03:10:%02d.000+00:00,%d,2100,%d,%d,1,1,36980,37020,37000,%s,"
                     "0.25,2000,%.2f\n",
                     i + 1, i, units, units, static_cast<int>(exact),
                     units > 2080 ? "above" : "inside", exact);
    }
    std::fclose(f);
    auto trace = [](int n) {
        double values[200];
        const int got = GetStripChartTrace(pHandle, PANEL_StripChartRaw, n, values, 200);
        return got > 0 ? values[got - 1] : -1.0;
    };
    auto text = [](int panel, int control) {
        char t[64] = "";
        GetCtrlVal(panel, control, t, sizeof t);
        return std::string(t);
    };
    ASSERT_TRUE(BeginReplay(path.c_str()));
    for (int i = 1; i <= 9; ++i) Press(CC_ReplayForward, REPLAY_ReplayForward);
    EXPECT_EQ(VerdictText(), "above tolerance");
    EXPECT_EQ(trace(1), 2080);
    EXPECT_EQ(trace(2), 1920);
    EXPECT_EQ(trace(3), 2000);
    EXPECT_EQ(trace(4), 2081);
    EXPECT_NE(text(pHandle, PANEL_Display14), text(pHandle, PANEL_Display45));
    EXPECT_EQ(text(pHandle, PANEL_Display45).substr(0, 6), "37.020");
    EXPECT_EQ(text(pReplay, REPLAY_ReplayUpper).substr(0, 6), "37.020");
    EXPECT_EQ(text(pReplay, REPLAY_ReplayLower).substr(0, 6), "36.980");
    EndReplay();

    ASSERT_TRUE(BeginReplay(CsvRecording("unscaled.csv").c_str()));
    for (int i = 1; i <= 5; ++i) Press(CC_ReplayForward, REPLAY_ReplayForward);
    EXPECT_TRUE(std::isnan(trace(1)) && std::isnan(trace(2)) && std::isnan(trace(3)));
    EXPECT_EQ(trace(4), UnitsOf(5));
    EndReplay();
}

TEST(Replay, AfterVideoModeTheHistoryShowsAndTheCurvesComeBackAtTheEnd) {
    KVexApp app;
    ASSERT_TRUE(app.Start());
    kvextest::StopAfterRequests(app.sensor(), CMD_DATA_BLOCK, 2);
    KVexApp::Commit(CC_BTNVideo, pHandle, PANEL_BTNVideo);
    ASSERT_TRUE(VideoGraphsShown());

    ASSERT_TRUE(BeginReplay(CsvRecording("after_video.csv").c_str()));
    EXPECT_FALSE(VideoGraphsShown());
    EXPECT_EQ(KVexApp::Attr(pHandle, PANEL_StripChartRaw, ATTR_VISIBLE), 1);
    EXPECT_EQ(KVexApp::Attr(pHandle, PANEL_HistoryXAxis, ATTR_VISIBLE), 1);
    EndReplay();
    EXPECT_TRUE(VideoGraphsShown());
    EXPECT_EQ(KVexApp::Attr(pHandle, PANEL_StripChartRaw, ATTR_VISIBLE), 0);
    EXPECT_EQ(KVexApp::Attr(pHandle, PANEL_HistoryXAxis, ATTR_VISIBLE), 0);
}

namespace {

// A recording from a sensor of another range than the one connected: values
// of 2303 to 2328 units at 0.25 µm a unit, the setpoint at 2315 units and
// limits 20 units either side, four damaged lines after the first sample.
// `shift` units more give a file of the same length with other values.
std::string WideRangeRecording(const std::string &path, int shift) {
    std::string text =
        "sample,time,A [pixel],B [pixel],measured value [units],measured value "
        "[\xC2\xB5m],edges A,edges B,lower limit [\xC2\xB5m],upper limit "
        "[\xC2\xB5m],setpoint [\xC2\xB5m],verdict,scale [\xC2\xB5m/unit],"
        "setpoint [units],measured value exact [\xC2\xB5m]\n";
    char line[300];
    for (int i = 0; i < 26; ++i) {
        const int units = 2303 + i + shift;
        const double exact = 37000 + (units - 2315) * 0.25;
        std::snprintf(line, sizeof line,
                      "%d,2026-12-08T03:10:%02d.000+00:00,%d,2100,%d,%ld,1,1,36995,37005,37000,"
                      "inside,0.25,2315,%.2f\n",
                      i + 1, i, units, units, std::lround(exact), exact);
        text += line;
        if (i == 0) text += "x\ny\nz\n\n";
    }
    FILE *f = std::fopen(path.c_str(), "wb");
    if (!f) return "";
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
    return text;
}

}  // namespace

// Without a sensor the history's axis would be the front-end's 0 to 2048
// units: the recording's own values and limits set it instead. The status
// line and the log keep the program's long texts whole, and a file written
// over in place ends the replay instead of showing new values under the old
// index.
TEST(Replay, ARecordingDrawsOnItsOwnAxisSaysWhatItFoundWholeAndNoticesAnOverwrite) {
    KVexApp app;
    ASSERT_TRUE(app.Start(false));
    const std::string path = KVEX_TEST_OUTPUT "/replay_wide_range_recording.csv";
    const std::size_t length = WideRangeRecording(path, 0).size();
    ASSERT_TRUE(BeginReplay(path.c_str()));

    const std::string found =
        "Replay of replay_wide_range_recording.csv: 26 samples; 4 unreadable lines skipped, the "
        "first is line 3";
    EXPECT_EQ(KVexApp::Status(), found);
    char log[8192] = "";
    StatusLog(log, sizeof log);
    EXPECT_NE(std::string(log).find(found), std::string::npos) << log;

    for (int i = 1; i <= 25; ++i) Press(CC_ReplayForward, REPLAY_ReplayForward);
    const std::vector<double> history = HistoryValues();
    ASSERT_EQ(history.size(), 26u);
    EXPECT_EQ(history.front(), 2303);
    EXPECT_EQ(history.back(), 2328);
    int mode = -1;
    double low = 0, high = 0;
    GetAxisScalingMode(pHandle, PANEL_StripChartRaw, VAL_LEFT_YAXIS, &mode, &low, &high);
    // Every value and both limit lines (2295 and 2335 units) in view, and
    // the curve's spread more than a sliver of it.
    EXPECT_LE(low, 2295);
    EXPECT_GE(high, 2335);
    EXPECT_GT((2328 - 2303) / (high - low), 0.25) << low << " to " << high;

    ASSERT_EQ(WideRangeRecording(path, 100).size(), length);
    Press(CC_ReplayBack, REPLAY_ReplayBack);
    EXPECT_FALSE(ReplayShown());
    EXPECT_EQ(KVexApp::Status().rfind("Cannot replay replay_wide_range_recording.csv any "
                                      "further: the file was written over",
                                      0),
              0u)
        << KVexApp::Status();
}

namespace {

// `kvex stats --json` of a file, run as a script runs it.
QJsonObject CommandLineFigures(const std::string &path) {
    const kvextest::Finished r =
        kvextest::RunKvex({"stats", "--json", QString::fromStdString(path)});
    return QJsonDocument::fromJson(r.out.toUtf8()).object();
}

}  // namespace

// The replay and `kvex stats` read a recording one way: damaged lines, a last
// line without its end, a line longer than the recorder ever writes and a
// line still being written give the same count and the same figures in both.
TEST(Replay, TheReplayAndTheCommandLineReadEveryRecordingAlike) {
    KVexApp app;
    ASSERT_TRUE(app.Start());
    const std::string path = CsvRecording("alike.csv");
    QFile made(QString::fromStdString(path));
    ASSERT_TRUE(made.open(QIODevice::ReadOnly));
    const std::string whole = made.readAll().toStdString();
    made.close();
    std::size_t at = 0;
    for (int line = 0; line < 11; ++line) at = whole.find('\n', at) + 1;
    const std::string sample = whole.substr(at, whole.find('\n', at) + 1 - at);
    const struct {
        const char *name;
        std::string text;
    } cases[] = {
        {"damaged", whole.substr(0, at) + "garbage\n\n" +
                        "9,2026-12-08T03:10:00.900+00:00,2000,2100,2000,37000,1,1,37010,36985,"
                        "37000,inside\n" +
                        whole.substr(at)},
        {"unfinished", whole.substr(0, whole.size() - 1)},
        {"overlong", whole + std::string(300, '0') + sample},
        {"growing", whole + sample.substr(0, 20)},
    };
    KVexApp::Commit(CC_BTNStatistics, pHandle, PANEL_BTNStatistics);
    const char *keys[] = {"n",   "mean_mm", "sigma_mm", "sigma_within_mm", "min_mm", "max_mm", "cp",
                          "cpk", "pp",      "ppk",      "below",           "inside", "above"};
    for (const auto &c : cases) {
        const std::string file = KVEX_TEST_OUTPUT "/replay_alike_" + std::string(c.name) + ".csv";
        FILE *f = std::fopen(file.c_str(), "wb");
        ASSERT_TRUE(f);
        std::fwrite(c.text.data(), 1, c.text.size(), f);
        std::fclose(f);
        ASSERT_TRUE(BeginReplay(file.c_str())) << c.name;
        ASSERT_TRUE(kvextest::PumpUntil(ReplayIndexComplete, 30)) << c.name;
        RefreshStatistics();
        const QJsonObject window = WindowFigures(file + ".json");
        const QJsonObject command = CommandLineFigures(file);
        EXPECT_EQ(window["n"].toInt(), kSamples) << c.name;
        for (const char *key : keys) EXPECT_EQ(window[key], command[key]) << c.name << ": " << key;
        EndReplay();
    }
}

// A text recording names no limits; without a sensor's parameters none are
// in force: its samples are unjudged, and neither the statistics nor the main
// window show limits of 0 or the capability against them.
TEST(Replay, ATextRecordingWithoutLimitsIsUnjudgedAndSaysWhy) {
    KVexApp app;
    ASSERT_TRUE(app.Start(false));
    parameter[PW_SCALE_LO] = parameter[PW_SCALE_HI] = 0;  // no parameters read
    const std::string path = KVEX_TEST_OUTPUT "/replay_text_no_limits.dat";
    FILE *f = std::fopen(path.c_str(), "wb");
    ASSERT_TRUE(f);
    std::fprintf(f, "12-08-2026 03:00:00  K-VEX-RECORDER-FILE: Time-Interval[s]: 1\r\n");
    for (int d : {0, 1, -1, 5, 0, -4, 2, 3})
        std::fprintf(f, "%d\t2100\t%d\t%d\t1\t1\r\n", 2000 + 4 * d, 2000 + 4 * d, 37000 + d);
    std::fclose(f);
    ASSERT_TRUE(BeginReplay(path.c_str()));
    char text[200] = "";
    GetCtrlVal(pReplay, REPLAY_ReplayLimits, text, sizeof text);
    EXPECT_EQ(std::string(text).rfind("No limits: ", 0), 0u) << text;
    for (int i = 1; i <= 4; ++i) Press(CC_ReplayForward, REPLAY_ReplayForward);
    EXPECT_EQ(VerdictText(), "not judged: no limits");
    for (int id : {PANEL_Display44, PANEL_Display45})
        EXPECT_EQ(KVexApp::Attr(pHandle, id, ATTR_DIMMED), 1) << id;

    KVexApp::Commit(CC_BTNStatistics, pHandle, PANEL_BTNStatistics);
    auto shown = [](int control) {
        char t[200] = "";
        GetCtrlVal(pStats, control, t, sizeof t);
        return std::string(t);
    };
    EXPECT_EQ(shown(STATS_StatN), "n: 8");
    for (int id : {STATS_StatCp, STATS_StatCpk, STATS_StatPp, STATS_StatPpk}) {
        EXPECT_EQ(shown(id).find("0."), std::string::npos) << shown(id);
        EXPECT_NE(UiControlWidget(pStats, id)->toolTip().indexOf("no tolerance limits"), -1) << id;
    }
    for (int id : {STATS_StatLower, STATS_StatUpper})
        EXPECT_EQ(shown(id).find("0.0"), std::string::npos) << shown(id);
    EndReplay();
    EXPECT_EQ(KVexApp::Attr(pHandle, PANEL_Display44, ATTR_DIMMED), 0) << "live limits again";
}

// A time typed into the replay panel lands on the nearest sample, as a time
// of day alone or with its date, and holds at the file's ends; the field
// then reads the landed sample's time as the history's hover tells it.
TEST(Replay, GoToTimeLandsOnTheNearestSampleAndTheHoverReadsTheSameTime) {
    KVexApp app;
    ASSERT_TRUE(app.Start());
    ASSERT_TRUE(BeginReplay(CsvRecording("goto.csv").c_str()));
    // Sample i was recorded at 03:10:00 UTC on 2026-12-08 plus i tenths of a second.
    const QDateTime start(QDate(2026, 12, 8), QTime(3, 10), Qt::UTC);
    const auto local = [&](long ms, const char *format) {
        return start.addMSecs(ms).toLocalTime().toString(format).toStdString();
    };
    const struct {
        long ms;
        const char *format;
        unsigned long lands;
    } typed[] = {{25040, "HH:mm:ss.zzz", 250},
                 {25060, "HH:mm:ss.zzz", 251},
                 {43700, "yyyy-MM-dd HH:mm:ss.zzz", 437},
                 {43700, "yyyy-MM-dd'T'HH:mm:ss.z", 437},
                 {-3600000, "HH:mm", 0},
                 {59000, "yyyy-MM-dd HH:mm:ss", 590},
                 {86400000, "yyyy-MM-dd HH:mm:ss", 599}};
    for (const auto &t : typed) {
        const std::string text = local(t.ms, t.format);
        SetCtrlVal(pReplay, REPLAY_ReplayGoTime, text.c_str());
        Press(CC_ReplayGoTo, REPLAY_ReplayGoTo);
        EXPECT_EQ(ReplayPosition(), t.lands) << text;
        EXPECT_EQ(KVexApp::U16(pHandle, PANEL_Display15), UnitsOf(static_cast<int>(t.lands)))
            << text;
    }
    ReplaySeek(10);
    for (const char *bad : {"25:00", "19:23:61", "tomorrow", "2026-13-01 10:00", ""}) {
        SetCtrlVal(pReplay, REPLAY_ReplayGoTime, bad);
        Press(CC_ReplayGoTo, REPLAY_ReplayGoTo);
        EXPECT_EQ(ReplayPosition(), 10u) << bad;
        EXPECT_NE(KVexApp::Status().find("Go to time: type a time"), std::string::npos) << bad;
    }

    SetCtrlVal(pReplay, REPLAY_ReplayGoTime, local(25040, "HH:mm:ss.zzz").c_str());
    Press(CC_ReplayGoTo, REPLAY_ReplayGoTo);
    char field[100] = "";
    GetCtrlVal(pReplay, REPLAY_ReplayGoTime, field, sizeof field);
    EXPECT_EQ(std::string(field), local(25000, "yyyy-MM-dd HH:mm:ss.zzz"));
    // The time the field says is all in view, on its one line.
    auto *box = qobject_cast<QPlainTextEdit *>(UiControlWidget(pReplay, REPLAY_ReplayGoTime));
    ASSERT_NE(box, nullptr);
    DisplayPanel(pReplay);
    KVexApp::Pump(0.1);
    EXPECT_EQ(box->document()->firstBlock().layout()->lineCount(), 1);
    EXPECT_LE(box->fontMetrics().horizontalAdvance(box->toPlainText()),
              box->viewport()->width() - 2 * static_cast<int>(box->document()->documentMargin()))
        << "cut off: " << field;
    auto *plot = qobject_cast<QCustomPlot *>(UiControlWidget(pHandle, PANEL_StripChartRaw));
    ASSERT_NE(plot, nullptr);
    KVexApp::Pump(0.2);
    const QPoint at(static_cast<int>(plot->xAxis->coordToPixel(251)),
                    plot->height() / 2);  // sample 251 is the one of index 250
    QHelpEvent tip(QEvent::ToolTip, at, plot->mapToGlobal(at));
    QApplication::sendEvent(plot, &tip);
    EXPECT_NE(QToolTip::text().toStdString().find(field), std::string::npos)
        << QToolTip::text().toStdString();
    EXPECT_EQ(SavePanelImage(pHandle, KVEX_TEST_OUTPUT "/replay_goto.png"), 0);
}

// The window's dialogs refuse what the command line refuses: the figures
// saved over the recording the replay reads, or onto a FIFO, are refused
// with the reason, and the recording is as it was.
TEST(Replay, NothingTheWindowSavesLandsOnTheRecordingItReplays) {
    KVexApp app;
    ASSERT_TRUE(app.Start());
    const std::string path = CsvRecording("kept.csv");
    QFile before(QString::fromStdString(path));
    ASSERT_TRUE(before.open(QIODevice::ReadOnly));
    const QByteArray bytes = before.readAll();
    ASSERT_TRUE(BeginReplay(path.c_str()));
    const std::string fifo = std::string(KVEX_TEST_OUTPUT "/replay_kept.fifo");
    std::remove(fifo.c_str());
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    for (const auto &[target, why] :
         {std::pair{path, "it is one of the inputs"}, std::pair{fifo, "it is a FIFO"}}) {
        SaveFiguresTo(target);  // not read back: a FIFO would hold the test
        EXPECT_EQ(KVexApp::Status(), "Cannot write " + target + ": " + why);
        // Nor a chart from its menu: its table, picture or drawing.
        EXPECT_EQ(SaveGraphData(pHandle, PANEL_StripChartRaw, target.c_str()), UIE_FILE);
        EXPECT_EQ(SaveGraphImage(pHandle, PANEL_GraphBarA, target.c_str()), UIE_FILE);
    }
    struct stat st {};
    ASSERT_EQ(stat(fifo.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    QFile after(QString::fromStdString(path));
    ASSERT_TRUE(after.open(QIODevice::ReadOnly));
    EXPECT_EQ(after.readAll(), bytes);
    EndReplay();
    std::remove(fifo.c_str());
}

// As `kvex --statistics --replay FILE` starts: the window is open before the
// file, and its charts show the file at once, not only once the replay moves.
TEST(Replay, AStatisticsWindowOpenBeforeTheFileDrawsItsChartsAtOnce) {
    KVexApp app;
    ASSERT_TRUE(app.Start());
    KVexApp::Commit(CC_BTNStatistics, pHandle, PANEL_BTNStatistics);
    ASSERT_TRUE(BeginReplay(CsvRecording("at_once.csv").c_str()));
    KVexApp::Pump(0.2);
    char n[100] = "";
    GetCtrlVal(pStats, STATS_StatN, n, sizeof n);
    EXPECT_STREQ(n, "n: 600");
    int histogram = 0, individuals = 0;
    GetNumGraphPlots(pStats, STATS_Histogram, &histogram);
    GetNumGraphPlots(pStats, STATS_IChart, &individuals);
    EXPECT_GE(histogram, 2) << "bars and the normal curve";
    EXPECT_GE(individuals, 4) << "values, centre line and both control limits";
}
