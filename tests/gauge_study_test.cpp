// The type-1 gauge study: its figures against a computation of their own
// here (long double, about the exact mean, not the program's shifted sums),
// Student's t against printed tables, and kvex gauge-study on a recording
// written here and on the simulated sensor.
#include "gauge_study.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <cmath>
#include <vector>

#include "csv_recording.h"
#include "kvex_process.h"
#include "sensor_sim.h"

namespace {

using kvextest::Finished;

Finished Kvex(const QStringList &args) { return kvextest::RunKvex(args); }

// Values of a master part: reference plus bias plus a spread of a fixed
// pseudo-random pattern at the sensor's 0.75 µm resolution, in µm.
std::vector<double> MasterValues(int count, double referenceUm, double biasUm, int spreadUnits,
                                 unsigned seed) {
    std::vector<double> um;
    unsigned x = seed;
    for (int i = 0; i < count; ++i) {
        x = x * 1103515245u + 12345u;
        const int units = static_cast<int>((x >> 16) % (2 * spreadUnits + 1)) - spreadUnits;
        um.push_back(referenceUm + biasUm + units * 0.75);
    }
    return um;
}

// As the recorder writes a CSV recording with exact values.
QString WriteRecording(const char *name, const std::vector<double> &um) {
    const QString path = QStringLiteral(KVEX_TEST_OUTPUT "/gauge_") + name;
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate)) return {};
    f.write(kCsvRecordingHead);
    for (std::size_t i = 0; i < um.size(); ++i) {
        const long units = std::lround(um[i] / 0.75);
        f.write(QString("%1,2026-12-08T06:03:58.150+00:00,2075,2205,%2,%3,1,1,36980,37060,37000,"
                        "inside,0.75,49333,%4\r\n")
                    .arg(i + 1)
                    .arg(units)
                    .arg(std::lround(um[i]))
                    .arg(um[i], 0, 'g', 17)
                    .toUtf8());
    }
    return path;
}

struct Expected {
    long double mean, bias, s, cg, cgk, t;
};

// The book's formulas over the values in mm, in long double, two passes.
Expected Independent(const std::vector<double> &um, std::size_t n, long double xm, long double T) {
    long double sum = 0;
    for (std::size_t i = 0; i < n; ++i) sum += static_cast<long double>(um[i]) / 1000;
    const long double mean = sum / n;
    long double squares = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const long double d = static_cast<long double>(um[i]) / 1000 - mean;
        squares += d * d;
    }
    const long double s = std::sqrt(squares / (n - 1)), bias = mean - xm;
    return {mean,
            bias,
            s,
            0.2L * T / (6 * s),
            (0.1L * T - std::fabs(bias)) / (3 * s),
            std::fabs(bias) / (s / std::sqrt(static_cast<long double>(n)))};
}

QJsonObject Json(const Finished &r) {
    return QJsonDocument::fromJson(r.out.trimmed().toUtf8()).object();
}

}  // namespace

// Printed two-sided 5 % points of Student's t (and one 10 % point), and
// tails at known t: the closed form for whole df, odd and even alike.
TEST(GaugeStudy, StudentsTAgreesWithPrintedTables) {
    const struct {
        uint64_t df;
        double p, t;
    } table[] = {{1, 0.05, 12.706205}, {2, 0.05, 4.302653},    {9, 0.05, 2.262157},
                 {10, 0.05, 2.228139}, {24, 0.05, 2.063899},   {49, 0.05, 2.009575},
                 {59, 0.05, 2.000995}, {1000, 0.05, 1.962339}, {20, 0.10, 1.724718}};
    for (const auto &row : table) {
        EXPECT_NEAR(StudentCritical(row.p, row.df), row.t, 2e-6) << row.df;
        EXPECT_NEAR(StudentTwoSidedP(row.t, row.df), row.p, 1e-6) << row.df;
    }
    EXPECT_NEAR(StudentCritical(0.05, 1000000), 1.959966, 2e-6) << "towards the normal 1.959964";
    EXPECT_NEAR(StudentTwoSidedP(2.0, 10), 0.0733880, 1e-6);
    EXPECT_NEAR(StudentTwoSidedP(1.0, 3), 0.3910022, 1e-6);
}

// A capable gauge with a small bias and a poor one with a large bias, read
// by kvex gauge-study from the first n samples of a longer recording: the
// later samples, far off, must not count.
TEST(GaugeStudy, FiguresMatchAnIndependentComputation) {
    const double xm = 37.0125, T = 0.08;  // mm
    struct Case {
        const char *name;
        double biasUm;
        int spreadUnits;
        bool capable;
    } cases[] = {{"good.csv", 0.6, 1, true}, {"poor.csv", 4.5, 4, false}};
    for (const Case &c : cases) {
        std::vector<double> um = MasterValues(60, xm * 1000, c.biasUm, c.spreadUnits, 7);
        for (int i = 0; i < 20; ++i) um.push_back(xm * 1000 + 500 + i);
        const QString file = WriteRecording(c.name, um);
        const Finished r = Kvex({"gauge-study", "--reference", QString::number(xm, 'g', 17),
                                 "--tolerance", QString::number(T), "--n", "60", "--json", file});
        ASSERT_EQ(r.code, 0) << r.err.toStdString();
        const QJsonObject o = Json(r);
        const Expected e = Independent(um, 60, xm, T);
        EXPECT_EQ(o["n"].toInt(), 60) << c.name;
        EXPECT_NEAR(o["mean_mm"].toDouble(), static_cast<double>(e.mean), 1e-12) << c.name;
        EXPECT_NEAR(o["bias_mm"].toDouble(), static_cast<double>(e.bias), 1e-12) << c.name;
        EXPECT_NEAR(o["s_mm"].toDouble(), static_cast<double>(e.s), 1e-12) << c.name;
        EXPECT_NEAR(o["cg"].toDouble(), static_cast<double>(e.cg), 1e-9) << c.name;
        EXPECT_NEAR(o["cgk"].toDouble(), static_cast<double>(e.cgk), 1e-9) << c.name;
        EXPECT_NEAR(o["t"].toDouble(), static_cast<double>(e.t), 1e-9) << c.name;
        EXPECT_EQ(o["capable"].toBool(), c.capable) << c.name;
        EXPECT_EQ(o["capable"].toBool(), e.cg >= 1.33L && e.cgk >= 1.33L) << c.name;
        EXPECT_EQ(o["bias_significant"].toBool(), e.t > 2.000995L) << c.name << " t " << e.t;
        EXPECT_TRUE(o["undefined"].isNull());

        // The table, and the same study as a report to hand over: its text
        // holds the title block and the figures, its chart is no picture.
        const QString pdf = file + ".pdf";
        QFile::remove(pdf);
        const Finished table = Kvex({"gauge-study", "--reference", QString::number(xm, 'g', 17),
                                     "--tolerance", QString::number(T), "--n", "60", file, "--pdf",
                                     pdf, "--part", "P-4711-B", "--operator", "M. Keller"});
        ASSERT_EQ(table.code, 0) << table.err.toStdString();
        QProcess text, images;
        text.start("pdftotext", {"-layout", pdf, "-"});
        ASSERT_TRUE(text.waitForFinished(20000));
        const QString printed = QString::fromUtf8(text.readAllStandardOutput());
        for (const QString &wanted :
             {QString("P-4711-B"), QString("M. Keller"), QString(c.name), QString("xm + 0.1 T"),
              QString("%1").arg(static_cast<double>(e.cgk), 0, 'f', 3),
              QString(c.capable ? "capable (" : "NOT capable")})
            EXPECT_TRUE(printed.contains(wanted)) << wanted.toStdString() << " in\n"
                                                  << printed.toStdString();
        images.start("pdfimages", {"-list", pdf});
        ASSERT_TRUE(images.waitForFinished(20000));
        EXPECT_EQ(QString::fromUtf8(images.readAllStandardOutput()).trimmed().count('\n'), 1)
            << "the head of the list and no image";
        EXPECT_TRUE(
            table.out.contains(c.capable ? "verdict       capable" : "verdict       NOT capable"))
            << table.out.toStdString();
        EXPECT_TRUE(table.out.contains(
            QString("Cgk           %1").arg(static_cast<double>(e.cgk), 0, 'f', 3)))
            << table.out.toStdString();
    }
}

// Too few values and no spread are said in words, with nulls in JSON, and
// the figures that can be told are still there; bad words, a missing file
// and a port without a sensor end with their codes.
TEST(GaugeStudy, UndefinedCasesAreSaidAndFailuresEndWithTheirCodes) {
    const std::vector<double> nine = MasterValues(9, 37012.5, 1, 3, 3);
    const GaugeStudy few = StudyGauge(std::vector<double>{37.0, 37.001, 37.002}.data(), 3, 37, 0.1);
    EXPECT_TRUE(few.hasS && !few.hasIndices);
    EXPECT_NEAR(few.sMm, 0.001, 1e-12);
    const QString fewFile = WriteRecording("nine.csv", nine),
                  flatFile = WriteRecording("flat.csv", std::vector<double>(30, 37012.5));
    const Finished r9 =
        Kvex({"gauge-study", "--reference", "37.0125", "--tolerance", "0.08", "--json", fewFile});
    ASSERT_EQ(r9.code, 0) << r9.err.toStdString();
    EXPECT_TRUE(r9.err.contains("holds 9 samples, fewer than the 50")) << r9.err.toStdString();
    QJsonObject o = Json(r9);
    EXPECT_EQ(o["n"].toInt(), 9);
    EXPECT_FALSE(o["s_mm"].isNull());
    for (const char *key : {"cg", "cgk", "capable", "t", "bias_significant"})
        EXPECT_TRUE(o[key].isNull()) << key;
    EXPECT_TRUE(o["undefined"].toString().contains("fewer than 10"));

    const Finished flat =
        Kvex({"gauge-study", "--reference", "37.0125", "--tolerance", "0.08", "--json", flatFile});
    ASSERT_EQ(flat.code, 0);
    o = Json(flat);
    EXPECT_EQ(o["s_mm"].toDouble(-1), 0.0);
    EXPECT_TRUE(o["cg"].isNull() && o["capable"].isNull());
    EXPECT_TRUE(o["undefined"].toString().contains("no spread"));
    const Finished flatText =
        Kvex({"gauge-study", "--reference", "37.0125", "--tolerance", "0.08", flatFile});
    EXPECT_TRUE(flatText.out.contains("not defined: no spread")) << flatText.out.toStdString();
    EXPECT_FALSE(flatText.out.contains("inf")) << flatText.out.toStdString();

    for (const QStringList &bad :
         {QStringList{"gauge-study", "--tolerance", "0.08", flatFile},
          QStringList{"gauge-study", "--reference", "37", "--tolerance", "0", flatFile},
          QStringList{"gauge-study", "--reference", "37", "--tolerance", "0.1", "--n", "0",
                      flatFile},
          QStringList{"gauge-study", "--reference", "37", "--tolerance", "0.1", "--port",
                      "/dev/null", flatFile}}) {
        const Finished r = Kvex(bad);
        EXPECT_EQ(r.code, 2) << bad.join(' ').toStdString();
        EXPECT_TRUE(r.err.contains("Usage: kvex gauge-study")) << r.err.toStdString();
    }
    EXPECT_EQ(Kvex({"gauge-study", "--reference", "37", "--tolerance", "0.1",
                    QStringLiteral(KVEX_TEST_OUTPUT "/gauge_none.csv")})
                  .code,
              4);
    EXPECT_EQ(Kvex({"gauge-study", "--reference", "37", "--tolerance", "0.1", "--port",
                    "/dev/no-such-port"})
                  .code,
              3);
}

// Live, the study takes exactly n measurements of the sensor and stops run
// mode: one progress line each, and a mean where the simulated target rests.
TEST(GaugeStudy, ALiveStudyTakesExactlyNMeasurements) {
    kvexsim::SimConfig cfg;
    cfg.paced = false;
    cfg.latencySeconds = 0;
    cfg.motion = false;
    kvexsim::SensorSim sim(cfg);
    ASSERT_TRUE(sim.start());
    const QString port = QString::fromStdString(sim.devicePath());
    for (const char *interval : {"0", "0.02"}) {
        sim.clearRequests();
        const Finished r = Kvex({"gauge-study", "--reference", "37", "--tolerance", "0.1", "--n",
                                 "12", "--interval", interval, "--json", "--port", port});
        ASSERT_EQ(r.code, 0) << r.err.toStdString();
        const QJsonObject o = Json(r);
        EXPECT_EQ(o["n"].toInt(), 12) << interval;
        EXPECT_EQ(r.err.count(QRegularExpression("measurement \\d+ of 12")), 12)
            << r.err.toStdString();
        EXPECT_TRUE(r.err.contains("measurement 12 of 12"));
        EXPECT_FALSE(r.err.contains("measurement 13"));
        EXPECT_GE(sim.commandCount(8), 12) << "each measurement is a run-mode reply";
        EXPECT_FALSE(o["mean_mm"].isNull());
        EXPECT_FALSE(o["s_mm"].isNull());
    }
}
