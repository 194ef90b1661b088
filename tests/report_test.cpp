// The report and the out-of-tolerance events as a script gets them: the real
// kvex program on recordings written here, its PDF read back with the
// poppler tools.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QStringList>
#include <QTimeZone>
#include <cmath>
#include <map>
#include <vector>

#include "csv_recording.h"
#include "kvex_process.h"

namespace {

using kvextest::Finished;

// Local time is UTC for the program: its ISO times read as they were written.
Finished Program(const QString &program, const QStringList &args) {
    return kvextest::RunProgram(program, args, kvextest::Env({{"TZ", "UTC"}}));
}

Finished Kvex(const QStringList &args) { return Program(kvextest::KvexProgram(), args); }

QString Out(const char *name) { return QStringLiteral(KVEX_TEST_OUTPUT "/report_") + name; }

constexpr double kLower = 36980, kUpper = 37060, kScale = 0.75;  // µm, µm a unit
constexpr int kSetpointUnits = 49333;
const qint64 kStartMs =
    QDateTime(QDate(2026, 12, 8), QTime(6, 0), QTimeZone::utc()).toMSecsSinceEpoch();

QString Iso(qint64 ms) {
    return QDateTime::fromMSecsSinceEpoch(ms, QTimeZone::utc())
               .toString("yyyy-MM-ddTHH:mm:ss.zzz") +
           "+00:00";
}

// A time as the report shows it to a reader: local, with its zone.
QString Readable(qint64 ms) {
    const QDateTime t = QDateTime::fromMSecsSinceEpoch(ms);
    const int off = t.offsetFromUtc();
    return t.toString("yyyy-MM-dd HH:mm:ss.zzz") +
           QString(" UTC%1%2:%3")
               .arg(off < 0 ? '-' : '+')
               .arg(std::abs(off) / 3600, 2, 10, QChar('0'))
               .arg(std::abs(off) % 3600 / 60, 2, 10, QChar('0'));
}

// Each page's foot says "page N of M", and the last page holds the approval.
void ExpectPagesNumberedAndSigned(const QString &text) {
    const QStringList pages = text.split('\f', Qt::SkipEmptyParts);
    ASSERT_FALSE(pages.isEmpty());
    for (int i = 0; i < pages.size(); ++i)
        EXPECT_TRUE(pages[i].contains(QString("page %1 of %2").arg(i + 1).arg(pages.size())))
            << "page " << i + 1;
    for (const char *line : {"Approval", "Prepared by", "Checked by", "Approved by", "signature"})
        EXPECT_TRUE(pages.back().contains(line)) << line;
}

// No two words of a page overlap: each word's box as pdftotext reads it.
void ExpectNoWordOverLaysAnother(const QString &pdf) {
    QProcess boxes;
    boxes.start("pdftotext", {"-bbox-layout", pdf, "-"});
    ASSERT_TRUE(boxes.waitForFinished(30000));
    const QString html = QString::fromUtf8(boxes.readAllStandardOutput());
    static const QRegularExpression word(
        R"re(<word xMin="([\d.]+)" yMin="([\d.]+)" xMax="([\d.]+)" yMax="([\d.]+)">([^<]*)<)re");
    const QStringList pages = html.split("<page ", Qt::SkipEmptyParts);
    for (int p = 1; p < pages.size(); ++p) {
        struct Box {
            double x0, y0, x1, y1;
            QString text;
        };
        std::vector<Box> words;
        for (auto it = word.globalMatch(pages[p]); it.hasNext();) {
            const auto m = it.next();
            words.push_back({m.captured(1).toDouble(), m.captured(2).toDouble(),
                             m.captured(3).toDouble(), m.captured(4).toDouble(), m.captured(5)});
        }
        EXPECT_GT(words.size(), 10u) << "page " << p;
        for (std::size_t i = 0; i < words.size(); ++i)
            for (std::size_t j = i + 1; j < words.size(); ++j) {
                const Box &a = words[i], &b = words[j];
                const double x = std::min(a.x1, b.x1) - std::max(a.x0, b.x0);
                const double y = std::min(a.y1, b.y1) - std::max(a.y0, b.y0);
                EXPECT_FALSE(x > 0.5 && y > 0.5) << "page " << p << ": \"" << a.text.toStdString()
                                                 << "\" over \"" << b.text.toStdString() << "\"";
            }
    }
}

struct Event {
    qint64 firstMs, lastMs;
    int first, last, count;
    QString side;
    double worstUm;
};

// A CSV recording of lines samples 250 ms apart around the setpoint, with
// runs placed beyond the limits: each run is {first sample, units of each}.
// The events the runs make are worked out here, sample by sample.
QString WriteRecording(const char *name, int lines, const std::map<int, std::vector<int>> &runs,
                       std::vector<Event> &events) {
    std::vector<int> units(lines);
    for (int i = 0; i < lines; ++i) units[i] = kSetpointUnits + (i * 7) % 11 - 5;
    for (const auto &[first, run] : runs)
        for (std::size_t k = 0; k < run.size(); ++k) units[first - 1 + k] = run[k];
    const QString path = Out(name);
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate)) return {};
    f.write(kCsvRecordingHead);
    events.clear();
    QString previous;
    for (int i = 0; i < lines; ++i) {
        const double um = units[i] * kScale;
        const QString side = um < kLower ? "below" : um > kUpper ? "above" : "inside";
        const qint64 ms = kStartMs + 250LL * i;
        if (side != "inside") {
            if (side != previous) events.push_back({ms, ms, i + 1, i + 1, 0, side, um});
            Event &e = events.back();
            e.lastMs = ms, e.last = i + 1, ++e.count;
            e.worstUm = side == "below" ? std::min(e.worstUm, um) : std::max(e.worstUm, um);
        }
        previous = side;
        f.write(QString("%1,%2,2075,2205,%3,%4,1,1,36980,37060,37000,%5,0.75,%6,%7\r\n")
                    .arg(i + 1)
                    .arg(Iso(ms))
                    .arg(units[i])
                    .arg(std::lround(um))
                    .arg(side)
                    .arg(kSetpointUnits)
                    .arg(um, 0, 'g', 17)
                    .toUtf8());
    }
    return path;
}

// Runs above, then at once below (a new event), a single sample, and one
// that lasts to the last line.
const std::map<int, std::vector<int>> kRuns = {
    {100, {49400, 49420, 49405}},         // 37050 µm and up: above 37060 from 49414
    {103, {49250, 49240, 49260, 49255}},  // below 36980 (49306 units)
    {700, {49200}},
    {1999, {49500, 49480}},
};

}  // namespace

// Each placed run is one event with its own times, numbers and worst value;
// a change of side starts a new one, and one still open at the end counts.
TEST(Report, EventsListExactlyThePlacedRuns) {
    std::vector<Event> want;
    const QString file = WriteRecording("events.csv", 2000, kRuns, want);
    ASSERT_GE(want.size(), 4u);
    const Finished r = Kvex({"stats", "--events", file});
    ASSERT_EQ(r.code, 0) << r.err.toStdString();
    QStringList rows = r.out.split('\n', Qt::SkipEmptyParts);
    ASSERT_FALSE(rows.isEmpty());
    EXPECT_EQ(rows.takeFirst(),
              "first_time,last_time,first_sample,last_sample,count,side,worst_mm");
    ASSERT_EQ(rows.size(), static_cast<int>(want.size())) << r.out.toStdString();
    for (int i = 0; i < rows.size(); ++i) {
        const QStringList c = rows[i].split(',');
        ASSERT_EQ(c.size(), 7) << rows[i].toStdString();
        const Event &e = want[i];
        EXPECT_EQ(QDateTime::fromString(c[0], Qt::ISODateWithMs).toMSecsSinceEpoch(), e.firstMs);
        EXPECT_EQ(QDateTime::fromString(c[1], Qt::ISODateWithMs).toMSecsSinceEpoch(), e.lastMs);
        EXPECT_EQ(c[2].toInt(), e.first);
        EXPECT_EQ(c[3].toInt(), e.last);
        EXPECT_EQ(c[4].toInt(), e.count);
        EXPECT_EQ(c[5], e.side);
        EXPECT_EQ(c[6].toDouble(), e.worstUm / 1000) << rows[i].toStdString();
    }
    // Limits given on the line judge afresh: wide enough, nothing is out.
    const Finished wide = Kvex({"stats", "--events", "--lower", "30", "--upper", "40", file});
    EXPECT_EQ(wide.code, 0);
    EXPECT_EQ(wide.out.split('\n', Qt::SkipEmptyParts).size(), 1);
    EXPECT_EQ(Kvex({"stats", "--events", Out("no_such.csv")}).code, 4);
    EXPECT_EQ(Kvex({"stats", "--events", file, file}).code, 2);
}

// The report holds what it is handed over for: the title block, the file,
// the sensor, the limits, the span in ISO 8601, every figure as kvex stats
// gives it, and the events; its charts are vector paths, no picture.
TEST(Report, PdfHoldsTheTitleFiguresAndEventsAsText) {
    std::vector<Event> events;
    const QString file = WriteRecording("source.csv", 3000, kRuns, events);
    const QString pdf = Out("shift.pdf");
    QFile::remove(pdf);
    const QStringList title = {"--part",    "P-4711-B",           "--characteristic", "Bore width",
                               "--order",   "OR-2026-88",         "--operator",       "M. Keller",
                               "--comment", "Night shift, line 3"};
    const Finished made = Kvex(QStringList{"report", file, "-o", pdf} + title);
    ASSERT_EQ(made.code, 0) << made.err.toStdString();
    const Finished text = Program("pdftotext", {"-enc", "UTF-8", pdf, "-"});
    ASSERT_EQ(text.code, 0) << "poppler-utils missing? " << text.err.toStdString();
    const QString t = text.out;
    for (int i = 1; i < title.size(); i += 2)
        EXPECT_TRUE(t.contains(title[i])) << title[i].toStdString();
    EXPECT_TRUE(t.contains(file)) << t.toStdString();
    EXPECT_TRUE(t.contains("not named in the recording"));
    EXPECT_TRUE(t.contains("lower 36.98 mm") && t.contains("upper 37.06 mm") &&
                t.contains("setpoint 37 mm"));
    EXPECT_TRUE(t.contains(Readable(kStartMs)) && t.contains(Readable(kStartMs + 250LL * 2999)))
        << t.toStdString();
    ExpectPagesNumberedAndSigned(t);
    ExpectNoWordOverLaysAnother(pdf);
    // Each index beside its partner, each interval beside its partner's.
    const Finished laid = Program("pdftotext", {"-layout", "-enc", "UTF-8", pdf, "-"});
    for (const char *pair : {R"(^\s*Cp\s+\S+\s+Cpk\s+\S+\s*$)", R"(^\s*Pp\s+\S+\s+Ppk\s+\S+\s*$)",
                             R"(^\s*Cp 95%\s+\S+ to \S+\s+Cpk 95%\s+\S+ to \S+\s*$)"})
        EXPECT_TRUE(
            laid.out.contains(QRegularExpression(pair, QRegularExpression::MultilineOption)))
            << pair << "\n"
            << laid.out.toStdString();

    const Finished stats = Kvex({"stats", "--json", file});
    ASSERT_EQ(stats.code, 0);
    const QJsonObject o = QJsonDocument::fromJson(stats.out.toUtf8()).object();
    const std::map<QString, int> decimals = {{"n", 0},
                                             {"mean_mm", 6},
                                             {"sigma_mm", 6},
                                             {"sigma_within_mm", 6},
                                             {"min_mm", 4},
                                             {"max_mm", 4},
                                             {"cp", 4},
                                             {"cpk", 4},
                                             {"pp", 4},
                                             {"ppk", 4},
                                             {"below", 0},
                                             {"inside", 0},
                                             {"above", 0},
                                             {"bad_lines", 0},
                                             {"ppm_observed_below", 1},
                                             {"ppm_observed_above", 1},
                                             {"ppm_expected_below", 3},
                                             {"ppm_expected_above", 3},
                                             {"ad_a2", 4},
                                             {"ad_p", 4}};
    const QStringList intervals = {"cp_ci95", "cpk_ci95", "pp_ci95", "ppk_ci95"};
    ASSERT_EQ(o.keys().size(), static_cast<int>(decimals.size() + intervals.size()) + 2);
    for (const QString &key : intervals) {
        const QJsonArray pair = o[key].toArray();
        ASSERT_EQ(pair.size(), 2) << key.toStdString();
        // A narrow cell may wrap the pair after "to".
        for (const QJsonValue end : pair) {
            const QString shown = QString::number(end.toDouble(), 'f', 4);
            EXPECT_TRUE(t.contains(shown)) << key.toStdString() << " " << shown.toStdString();
        }
    }
    for (const auto &[key, places] : decimals) {
        ASSERT_TRUE(o[key].isDouble()) << key.toStdString();
        const QString shown = QString::number(o[key].toDouble(), 'f', places);
        EXPECT_TRUE(t.contains(shown)) << key.toStdString() << " " << shown.toStdString();
    }
    const QJsonObject breaks = o["rule_breaks"].toObject();
    EXPECT_EQ(breaks.keys(), (QStringList{"1", "2", "3"}));
    // Rule 1's row lists where its breaks are: as many as it counts (up to
    // 20), in order, the placed runs' samples among them.
    const QRegularExpressionMatch row =
        QRegularExpression(R"(^\s*1\s+1 beyond 3σ\s+(\d+)\s+([\d, ]+)$)",
                           QRegularExpression::MultilineOption)
            .match(laid.out);
    ASSERT_TRUE(row.hasMatch()) << laid.out.toStdString();
    const QStringList listed = row.captured(2).split(", ");
    EXPECT_EQ(listed.size(), std::min(20, row.captured(1).toInt()));
    EXPECT_EQ(row.captured(1).toInt(), breaks["1"].toInt());
    for (int i = 1; i < listed.size(); ++i) EXPECT_LT(listed[i - 1].toInt(), listed[i].toInt());
    for (const Event &ev : events) {
        if (ev.first < listed.back().toInt()) {
            EXPECT_TRUE(listed.contains(QString::number(ev.first))) << ev.first;
        }
    }
    // The events: their total, and each one's worst value.
    EXPECT_TRUE(t.contains(QString("%1 events in all").arg(events.size()))) << t.toStdString();
    for (const Event &e : events)
        EXPECT_TRUE(
            t.contains(QString::number(e.worstUm / 1000, 'g', QLocale::FloatingPointShortest)))
            << e.worstUm;

    const Finished images = Program("pdfimages", {"-list", pdf});
    ASSERT_EQ(images.code, 0);
    EXPECT_EQ(images.out.split('\n', Qt::SkipEmptyParts).size(), 2) << images.out.toStdString();
    const Finished info = Program("pdfinfo", {pdf});
    EXPECT_TRUE(info.out.contains(QRegularExpression("Pages:\\s+[12]\\n")))
        << info.out.toStdString();
    EXPECT_TRUE(info.out.contains("(A4)")) << info.out.toStdString();

    // What cannot be read writes nothing and says so by its code.
    QFile::remove(pdf);
    EXPECT_EQ(Kvex({"report", file, Out("no_such.csv"), "-o", pdf}).code, 4);
    EXPECT_FALSE(QFile::exists(pdf));
    EXPECT_EQ(Kvex({"report", file}).code, 2);
    EXPECT_EQ(Kvex({"report", file, "-o", pdf, "--rules", "9"}).code, 2);
}
