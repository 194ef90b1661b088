// The gauge study window against the simulated sensor and a recording: it
// takes exactly n measurements, draws them with the reference and +-0.1 T,
// says its verdict, and renders to PNG for a look.
#include <gtest/gtest.h>

#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <cmath>
#include <cstdio>
#include <string>

#include "gauge_dialog.h"
#include "gauge_study.h"
#include "kvex_app.h"
#include "ui_testing.h"

using kvextest::KVexApp;

namespace {

std::string Result() {
    char text[4096];
    GaugeResultText(text, sizeof text);
    return text;
}

std::string Text(int control) {
    char text[400] = "";
    GetCtrlVal(pGauge, control, text, sizeof text);
    return text;
}

}  // namespace

TEST(GaugeWindow, ALiveStudyTakesNMeasurementsAndAFileStudyDrawsItsChart) {
    KVexApp app;
    ASSERT_TRUE(app.Start());
    KVexApp::Commit(CC_BTNGauge, pHandle, PANEL_BTNGauge);
    int visible = 0;
    GetPanelAttribute(pGauge, ATTR_VISIBLE, &visible);
    EXPECT_EQ(visible, 1);
    EXPECT_EQ(KVexApp::Attr(pGauge, GAUGE_GaugeReport, ATTR_DIMMED), 1) << "no study to report";

    SetCtrlVal(pGauge, GAUGE_GaugeN, 12);
    SetCtrlVal(pGauge, GAUGE_GaugeReference, 37.0);
    SetCtrlVal(pGauge, GAUGE_GaugeTolerance, 0.2);
    const int before = app.sensor().commandCount(8);
    KVexApp::Commit(CC_GaugeStart, pGauge, GAUGE_GaugeStart);
    EXPECT_FALSE(MeasuringLoopRuns()) << "run mode stops once n are taken";
    EXPECT_NE(Result().find("n             12\n"), std::string::npos) << Result();
    EXPECT_GE(app.sensor().commandCount(8) - before, 12);
    EXPECT_NE(Text(GAUGE_GaugeSource).find("Live: 12 measurements"), std::string::npos)
        << Text(GAUGE_GaugeSource);
    int plots = 0;
    GetNumGraphPlots(pGauge, GAUGE_GaugeChart, &plots);
    EXPECT_EQ(plots, 4) << "the values, the reference and the two lines 0.1 T from it";

    // From a recording: values around 37.0125 mm with a spread of 1.5 µm.
    const std::string path = KVEX_TEST_OUTPUT "/gauge_window.csv";
    FILE *f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fprintf(f,
                 "sample,time,A [pixel],B [pixel],measured value [units],measured value "
                 "[\xC2\xB5m],edges A,edges B,lower limit [\xC2\xB5m],upper limit "
                 "[\xC2\xB5m],setpoint [\xC2\xB5m],verdict\n");
    for (int i = 0; i < 50; ++i)
        std::fprintf(f,
                     "%d,2026-12-08T03:10:%02d.000+00:00,2000,2100,2000,%d,1,1,36900,37100,"
                     "37000,inside\n",
                     i + 1, i, 37012 + (i * 7) % 4 - 1);
    std::fclose(f);
    SetFileSelectScript([&](const FileSelectRequest &, std::string &chosen) {
        chosen = path;
        return true;
    });
    SetCtrlVal(pGauge, GAUGE_GaugeN, 50);
    SetCtrlVal(pGauge, GAUGE_GaugeReference, 37.0125);
    SetCtrlVal(pGauge, GAUGE_GaugeTolerance, 0.1);
    KVexApp::Commit(CC_GaugeFromFile, pGauge, GAUGE_GaugeFromFile);
    SetFileSelectScript(nullptr);
    EXPECT_NE(Text(GAUGE_GaugeSource).find("gauge_window.csv: first 50 samples"), std::string::npos)
        << Text(GAUGE_GaugeSource);
    EXPECT_NE(Result().find("n             50\n"), std::string::npos) << Result();
    EXPECT_NE(Result().find("bias t-test"), std::string::npos) << Result();
    EXPECT_EQ(Text(GAUGE_GaugeVerdict), "Capable") << Result();
    EXPECT_EQ(KVexApp::Attr(pGauge, GAUGE_GaugeReport, ATTR_DIMMED), 0);

    // The study shown, as a PDF report: the title block asked for as every
    // report asks it, and Cg and Cgk as the window shows them.
    SetSettingText("report/part", "MASTER-7");
    std::string asked, pdf = KVEX_TEST_OUTPUT "/no such folder/gauge.pdf";
    SetConfirmScript([&](const std::string &title, const std::string &message) {
        asked += title + ": " + message;
        return true;
    });
    SetFileSelectScript([&](const FileSelectRequest &, std::string &chosen) {
        chosen = pdf;
        return true;
    });
    // Where it cannot be written it says so in the window and leaves no file.
    KVexApp::Commit(CC_GaugeReport, pGauge, GAUGE_GaugeReport);
    EXPECT_NE(Text(GAUGE_GaugeReportSaid).find("NOT saved: cannot write " + pdf + ": "),
              std::string::npos)
        << Text(GAUGE_GaugeReportSaid);
    EXPECT_FALSE(QFile::exists(QString::fromStdString(pdf)));
    EXPECT_NE(asked.find("Part number\nCharacteristic\nOrder\nOperator\nComment"),
              std::string::npos)
        << asked;

    pdf = KVEX_TEST_OUTPUT "/gauge_window.pdf";
    std::remove(pdf.c_str());
    KVexApp::Commit(CC_GaugeReport, pGauge, GAUGE_GaugeReport);
    SetFileSelectScript(nullptr);
    SetConfirmScript([](const std::string &, const std::string &) { return true; });
    EXPECT_EQ(Text(GAUGE_GaugeReportSaid), "Report saved: " + pdf);
    QProcess text;
    text.start("pdftotext", {"-layout", QString::fromStdString(pdf), "-"});
    ASSERT_TRUE(text.waitForFinished(30000));
    const QString said = QString::fromUtf8(text.readAllStandardOutput());
    EXPECT_TRUE(said.contains("MASTER-7")) << said.toStdString();
    EXPECT_TRUE(said.contains("gauge_window.csv, the first 50 samples")) << said.toStdString();
    // One number form, a printed ±, numbered pages and the approval lines.
    EXPECT_TRUE(said.contains("37.0125 mm, tolerance width T 0.1 mm (0.1 T = 0.01 mm)"))
        << said.toStdString();
    EXPECT_TRUE(said.contains("\xC2\xB1")) << said.toStdString();
    EXPECT_FALSE(said.contains("+-")) << said.toStdString();
    EXPECT_TRUE(said.contains("page 1 of 1")) << said.toStdString();
    EXPECT_TRUE(said.contains("Approved by")) << said.toStdString();
    for (const char *figure : {"Cg", "Cgk"}) {
        const QRegularExpression line(QStringLiteral("^%1 +(\\S+)$").arg(figure),
                                      QRegularExpression::MultilineOption);
        const QString shown = line.match(QString::fromStdString(Result())).captured(1);
        ASSERT_FALSE(shown.isEmpty()) << Result();
        EXPECT_TRUE(said.contains(QRegularExpression(
            QStringLiteral("(^|\\s)%1\\s+%2(\\s|$)").arg(figure, QRegularExpression::escape(shown)),
            QRegularExpression::MultilineOption)))
            << figure << " " << shown.toStdString() << "\n"
            << said.toStdString();
    }

    // A new live study: while it measures, nothing of the last one shows.
    static std::string verdictWhileMeasuring, resultWhileMeasuring;
    static int plotsWhileMeasuring, samplesSeen;
    samplesSeen = 0, plotsWhileMeasuring = -1;
    const SampleSubscriber look = [](const Sample &) {
        if (++samplesSeen != 5) return;
        verdictWhileMeasuring = Text(GAUGE_GaugeVerdict);
        resultWhileMeasuring = Result();
        GetNumGraphPlots(pGauge, GAUGE_GaugeChart, &plotsWhileMeasuring);
    };
    SubscribeSamples(look);
    SetCtrlVal(pGauge, GAUGE_GaugeN, 12);
    KVexApp::Commit(CC_GaugeStart, pGauge, GAUGE_GaugeStart);
    UnsubscribeSamples(look);
    ASSERT_GE(samplesSeen, 5);
    EXPECT_EQ(verdictWhileMeasuring, "");
    EXPECT_EQ(resultWhileMeasuring, "");
    EXPECT_EQ(plotsWhileMeasuring, 0);
    EXPECT_NE(Result().find("n             12\n"), std::string::npos) << Result();

    KVexApp::Pump(0.3);
    const std::string png = KVEX_TEST_OUTPUT "/gauge_study.png";
    QFile::remove(QString::fromStdString(png));
    ASSERT_EQ(SavePanelImage(pGauge, png.c_str()), 0);
    EXPECT_TRUE(QFile::exists(QString::fromStdString(png)));
}
