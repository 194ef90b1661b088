// The statistics window over a real run: what it shows is what the samples
// of the run give, worked out here from the stream; a new run starts afresh,
// the last N are the newest, and figures that cannot be told say why.
#include <gtest/gtest.h>
#include <qcustomplot.h>

#include <QComboBox>
#include <QFile>
#include <QProcess>
#include <QTimer>
#include <QWidget>
#include <cmath>
#include <string>
#include <vector>

#include "gui.h"
#include "kvex_app.h"
#include "report.h"
#include "stats_window.h"
#include "ui_testing.h"

using kvextest::KVexApp;

QWidget *UiControlWidget(int panel, int control);

namespace {

std::vector<Sample> g_seen;
void Keep(const Sample &s) { g_seen.push_back(s); }

void RunFor(int ms) {
    g_seen.clear();
    SubscribeSamples(Keep);
    QTimer::singleShot(ms, [] { RequestStop(); });
    KVexApp::Commit(CC_BTNRun, pHandle, PANEL_BTNRun);
    UnsubscribeSamples(Keep);
    RefreshStatistics();
}

std::string Text(int control) {
    char text[200] = "";
    GetCtrlVal(pStats, control, text, sizeof text);
    return text;
}

// The number after "Name: " in a figure's text.
double Number(int control) {
    const std::string t = Text(control);
    return std::atof(t.c_str() + t.find(": ") + 2);
}

// Every figure in mm at the gauge's resolution, four decimals: what the
// window shows lies within half of the last decimal of the value.
void ExpectShows(const std::vector<Sample> &samples) {
    long double mean = 0, squares = 0, ranges = 0;
    int below = 0, above = 0;
    double lo = samples[0].exactUm, hi = samples[0].exactUm;
    for (std::size_t i = 0; i < samples.size(); ++i) {
        const Sample &s = samples[i];
        mean += s.exactUm;
        below += s.verdict == Verdict::Below;
        above += s.verdict == Verdict::Above;
        lo = std::min<double>(lo, s.exactUm);
        hi = std::max<double>(hi, s.exactUm);
        if (i > 0) ranges += std::fabs(s.exactUm - samples[i - 1].exactUm);
    }
    mean /= samples.size();
    for (const Sample &s : samples) squares += (s.exactUm - mean) * (s.exactUm - mean);
    const double sigma = static_cast<double>(std::sqrt(squares / (samples.size() - 1)));
    const double within = static_cast<double>(ranges / (samples.size() - 1) / 1.128L);
    constexpr double kShown = 0.00005 + 1e-9;
    EXPECT_EQ(Text(STATS_StatN), "n: " + std::to_string(samples.size()));
    EXPECT_NEAR(Number(STATS_StatMean), static_cast<double>(mean) / 1000, kShown);
    EXPECT_NEAR(Number(STATS_StatSigma), sigma / 1000, kShown);
    EXPECT_NEAR(Number(STATS_StatMin), lo / 1000, kShown);
    EXPECT_NEAR(Number(STATS_StatMax), hi / 1000, kShown);
    EXPECT_EQ(Number(STATS_StatBelow), below);
    EXPECT_EQ(Number(STATS_StatAbove), above);
    const Sample &last = samples.back();
    if (within > 0) {
        EXPECT_NEAR(Number(STATS_StatControlSigma), within / 1000, kShown);
        EXPECT_NEAR(Number(STATS_StatCp), (last.upperUm - last.lowerUm) / (6 * within),
                    0.005 + 1e-9);
        EXPECT_NEAR(Number(STATS_StatPp), (last.upperUm - last.lowerUm) / (6 * sigma),
                    0.005 + 1e-9);
    } else {  // the newest few may all be equal
        EXPECT_EQ(Text(STATS_StatCp), "Cp: \xE2\x80\x94");
        EXPECT_EQ(Text(STATS_StatPp), "Pp: \xE2\x80\x94");
    }
}

kvexsim::SimConfig MovingTarget() {
    kvexsim::SimConfig cfg = kvextest::FastSensor();
    cfg.motion = true;
    cfg.swing = 0.02;
    cfg.motionPeriod = 0.4;
    return cfg;
}

}  // namespace

TEST(StatisticsWindow, ShowsTheFiguresOfTheRunAndStartsAfreshWithTheNext) {
    KVexApp app(MovingTarget());
    ASSERT_TRUE(app.Start());
    KVexApp::Commit(CC_BTNStatistics, pHandle, PANEL_BTNStatistics);
    EXPECT_EQ(Text(STATS_StatCp), "Cp: \xE2\x80\x94");
    EXPECT_NE(UiControlWidget(pStats, STATS_StatCp)->toolTip().indexOf("no values"), -1);

    RunFor(700);
    ASSERT_GT(g_seen.size(), 20u);
    ExpectShows(g_seen);
    int plots = 0;
    GetNumGraphPlots(pStats, STATS_Histogram, &plots);
    EXPECT_GE(plots, 5) << "bins, normal curve, both limits and the setpoint";
    GetNumGraphPlots(pStats, STATS_IChart, &plots);
    EXPECT_GE(plots, 4) << "values, centre line and both control limits";
    EXPECT_NE(Text(STATS_StatsSource).find("ended"), std::string::npos);
    SavePanelImage(pStats, KVEX_TEST_OUTPUT "/statistics_window.png");

    // The rules ticked are the rules checked: with every rule off nothing is
    // marked; with rule 2 alone, the breaks in view are told as rule 2's.
    for (int r = 0; r < kRules; ++r) SetCtrlVal(pStats, STATS_StatsRule1 + r, 0);
    RefreshStatistics();
    EXPECT_EQ(Text(STATS_StatRuleBreaks), "Rule breaks: \xE2\x80\x94");
    GetNumGraphPlots(pStats, STATS_IChart, &plots);
    EXPECT_EQ(plots, 4) << "no red points";
    SetCtrlVal(pStats, STATS_StatsRule2, 1);
    RefreshStatistics();
    // Counted over every value the figures cover, as kvex stats counts them,
    // not over the chart's newest points.
    ASSERT_GT(g_seen.size(), static_cast<std::size_t>(SampleStatistics::kChartPoints));
    SampleStatistics apart;
    for (const Sample &s : g_seen) apart.Add(s.exactUm, s.verdict, LimitsOf(s));
    Figures counted;
    apart.CountRuleBreaks(0, 0x02, counted);
    ASSERT_TRUE(counted.hasRuleBreaks);
    const uint64_t broken = counted.ruleBreaks[1];
    // Each index with its 95 % interval, each side with the ppm the normal
    // model expects there, as the figures worked out apart give them.
    const Figures whole = apart.FiguresOf(0);
    ASSERT_TRUE(whole.hasCpk && whole.hasExpectedAbove);
    char want[100];
    std::snprintf(want, sizeof want, "Cpk: %.2f (%.2f to %.2f)", whole.cpk, whole.cpkLow,
                  whole.cpkHigh);
    EXPECT_EQ(Text(STATS_StatCpk), want);
    std::snprintf(want, sizeof want, ", %.0f ppm exp.", whole.ppmExpectedAbove);
    EXPECT_NE(Text(STATS_StatAbove).find(want), std::string::npos) << Text(STATS_StatAbove);
    EXPECT_EQ(Text(STATS_StatRuleBreaks),
              "Rule breaks: " + std::to_string(broken) + (broken ? " (2)" : ""));
    const std::string chartTip =
        UiControlWidget(pStats, STATS_IChart)->toolTip().toUtf8().toStdString();
    GetNumGraphPlots(pStats, STATS_IChart, &plots);
    EXPECT_EQ(chartTip.find("rule 2: 9 in a row on one side (") != std::string::npos, plots == 5)
        << chartTip;
    EXPECT_EQ(chartTip.find("rule 1:"), std::string::npos);

    RunFor(300);
    ExpectShows(g_seen);  // the second run alone
    SetCtrlVal(pStats, STATS_ScopeRing, 1);
    SetCtrlVal(pStats, STATS_WindowSize, 5u);
    RefreshStatistics();
    ExpectShows(std::vector<Sample>(g_seen.end() - 5, g_seen.end()));

    // A report of the run's values, on one or two pages, with the title block
    // asked for first and remembered for the next one.
    const std::string pdf = KVEX_TEST_OUTPUT "/statistics_report.pdf";
    std::remove(pdf.c_str());
    SetSettingText("report/part", "P-77");
    std::string asked;
    SetConfirmScript([&](const std::string &title, const std::string &message) {
        asked += title + ": " + message;
        return true;
    });
    SetFileSelectScript([&](const FileSelectRequest &, std::string &path) {
        path = pdf;
        return true;
    });
    // A study of the same data adds a section of its own, text and chart.
    statisticsReportSections = [](ReportData &data) {
        ReportSection study;
        study.heading = "Added study";
        study.lines = {"Cg 1.50 against 1.33"};
        study.chartTitle = "Study values";
        study.chartValues = {1, 2, 3};
        study.chartLines = {{2, "reference"}};
        data.extra.push_back(study);
    };
    KVexApp::Commit(CC_StatsReport, pStats, STATS_BTNStatsReport);
    statisticsReportSections = nullptr;
    SetFileSelectScript(nullptr);
    SetConfirmScript([](const std::string &, const std::string &) { return true; });
    EXPECT_NE(asked.find("Part number\nCharacteristic\nOrder\nOperator\nComment"),
              std::string::npos)
        << asked;
    QFile report(QString::fromStdString(pdf));
    ASSERT_TRUE(report.open(QIODevice::ReadOnly));
    const QByteArray bytes = report.readAll();
    EXPECT_TRUE(bytes.startsWith("%PDF"));
    const auto pages = bytes.count("/Type /Page\n") + bytes.count("/Type /Page\r");
    EXPECT_TRUE(pages >= 1 && pages <= 3) << pages;
    QProcess text;
    text.start("pdftotext", {QString::fromStdString(pdf), "-"});
    ASSERT_TRUE(text.waitForFinished(30000));
    const QString said = QString::fromUtf8(text.readAllStandardOutput());
    EXPECT_TRUE(said.contains("P-77")) << "the remembered part number";
    EXPECT_TRUE(said.contains("connected sensor")) << said.toStdString();
    EXPECT_FALSE(said.contains("Figures over")) << "no control of the window";
    EXPECT_TRUE(said.contains("Added study") && said.contains("Cg 1.50 against 1.33") &&
                said.contains("reference"));

    KVexApp::Commit(CC_StatsReset, pStats, STATS_BTNStatsReset);
    EXPECT_EQ(Text(STATS_StatN), "n: 0");
    EXPECT_EQ(Text(STATS_StatSigma), "\xCF\x83: \xE2\x80\x94");
}

// The run's out-of-tolerance events as the stream gave them: the closed list
// counts them as they come, and choosing one shows and marks its first
// sample in the history, wherever the operator had dragged it.
TEST(StatisticsWindow, TheRunsEventsAreCountedClosedAndShownInTheHistory) {
    kvexsim::SimConfig cfg = MovingTarget();
    cfg.paced = true;  // a swing of the target spans several samples
    KVexApp app(cfg);
    ASSERT_TRUE(app.Start());
    KVexApp::Commit(CC_BTNStatistics, pHandle, PANEL_BTNStatistics);
    g_seen.clear();
    SubscribeSamples(Keep);
    kvextest::AfterRequests(app.sensor(), 8, 60, [] { RequestStop(); });
    KVexApp::Commit(CC_BTNRun, pHandle, PANEL_BTNRun);
    UnsubscribeSamples(Keep);
    RefreshStatistics();

    std::vector<Sample> starts;  // the first sample of each event
    for (std::size_t i = 0; i < g_seen.size(); ++i) {
        const Verdict v = g_seen[i].verdict;
        if ((v == Verdict::Above || v == Verdict::Below) && (i == 0 || g_seen[i - 1].verdict != v))
            starts.push_back(g_seen[i]);
    }
    ASSERT_GE(starts.size(), 2u) << g_seen.size() << " samples";
    auto *ring = qobject_cast<QComboBox *>(UiControlWidget(pStats, STATS_StatsEvents));
    ASSERT_NE(ring, nullptr);
    EXPECT_EQ(ring->count(), 1) << "nothing read for the count";
    EXPECT_EQ(ring->currentText().toStdString(),
              std::to_string(starts.size()) + " out-of-tolerance events");

    auto *plot = qobject_cast<QCustomPlot *>(UiControlWidget(pHandle, PANEL_StripChartRaw));
    ASSERT_NE(plot, nullptr);
    CC_StatsEvent(pStats, STATS_StatsEvents, EVENT_RING_OPENING, nullptr, 0, 0);
    ASSERT_EQ(ring->count(), static_cast<int>(starts.size()) + 1);
    for (const std::size_t chosen : {std::size_t{0}, starts.size() - 1}) {
        char when[40];
        WallTimeText(starts[chosen].wallMs, WallStyle::Date, when, sizeof when);
        SetChartXRange(pHandle, PANEL_StripChartRaw, historySamples + 200, historySamples + 300);
        SetCtrlVal(pStats, STATS_StatsEvents, ring->itemData(static_cast<int>(chosen) + 1).toInt());
        ASSERT_EQ(ring->currentText().toStdString().rfind(when, 0), 0u)
            << ring->currentText().toStdString();
        KVexApp::Commit(CC_StatsEvent, pStats, STATS_StatsEvents);
        double xMin = 0, xMax = 0;
        GetChartXRange(pHandle, PANEL_StripChartRaw, &xMin, &xMax);
        long shown = -1;
        for (long n = std::lround(std::ceil(xMin)); n <= xMax && shown < 0; ++n)
            if (HistoryPointTime(n) == starts[chosen].wallMs) shown = n;
        EXPECT_GE(shown, 0) << when << " not in view " << xMin << " to " << xMax;
        int marks = 0;
        for (int i = 0; i < plot->itemCount(); ++i)
            if (auto *t = qobject_cast<QCPItemText *>(plot->item(i)))
                marks += t->text().contains(QString::fromUtf8(when)) &&
                         t->position->coords().x() == shown;
        EXPECT_EQ(marks, 1) << "one mark, at the event's first sample, reading its time";
    }
    SavePanelImage(pHandle, KVEX_TEST_OUTPUT "/history_event_mark.png");
}
