// Recordings read back: what the program's own recorder writes comes back
// sample for sample, and a damaged line is refused whole.
#include "recording_reader.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QProcess>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "kvex_process.h"
#include "sensor_sim.h"

namespace {

std::string Out(const char *name) { return std::string(KVEX_TEST_OUTPUT "/reader_") + name; }

void WriteFile(const std::string &path, const std::string &text) {
    FILE *f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
}

struct Read {
    RecordingHeader header;
    std::vector<Sample> samples;
    std::vector<unsigned long> badLines;
};

Read ReadAll(const std::string &path) {
    Read r;
    RecordingLines lines;
    const char *why = nullptr;
    if (!lines.Open(path.c_str(), &why)) return r;
    std::vector<std::string> head;
    const char *line;
    std::size_t len;
    while (head.size() < 2 && lines.Next(line, len)) head.emplace_back(line, len);
    if (head.empty()) return r;
    const std::string second = head.size() > 1 ? head[1] : std::string();
    if (!ReadRecordingHeader(head[0].data(), head[0].size(),
                             head.size() > 1 ? second.data() : nullptr, second.size(), r.header))
        return r;
    auto take = [&](const char *l, std::size_t n, unsigned long number) {
        Sample s;
        if (ParseRecordingLine(r.header, l, n, r.samples.size(), s))
            r.samples.push_back(s);
        else
            r.badLines.push_back(number);
    };
    if (r.header.headerLines == 1 && head.size() > 1) take(second.data(), second.size(), 2);
    while (lines.Next(line, len)) take(line, len, lines.LineNumber());
    return r;
}

}  // namespace

TEST(RecordingReader, ReadsBackWhatTheRecorderWrote) {
    kvexsim::SimConfig cfg;
    cfg.paced = false;
    kvexsim::SensorSim sim(cfg);
    ASSERT_TRUE(sim.start());
    const std::string text = Out("r.dat"), csv = Out("r.csv");
    for (const std::string &path : {text, csv}) {
        std::remove(path.c_str());
        QStringList args{"record",    "--port", QString::fromStdString(sim.devicePath()),
                         "--samples", "5",      "--interval",
                         "0"};
        if (path == csv) args << "--csv";
        args << QString::fromStdString(path);
        const kvextest::Finished r = kvextest::RunKvex(args);
        ASSERT_EQ(r.code, 0) << r.err.toStdString();
    }

    const Read t = ReadAll(text), c = ReadAll(csv);
    EXPECT_EQ(t.header.format, RecordingFormat::Text);
    EXPECT_EQ(t.header.headerLines, 2);
    EXPECT_TRUE(t.header.hasSetpoint);
    EXPECT_GE(t.header.startWallMs, 0);
    EXPECT_EQ(c.header.format, RecordingFormat::Csv);
    EXPECT_TRUE(c.header.hasLimits);
    ASSERT_EQ(t.samples.size(), 5u);
    ASSERT_EQ(c.samples.size(), 5u);
    EXPECT_TRUE(t.badLines.empty() && c.badLines.empty());
    for (std::size_t i = 0; i < 5; ++i) {
        const Sample &s = c.samples[i];
        EXPECT_EQ(t.samples[i].number, i + 1);
        EXPECT_EQ(s.number, i + 1);
        EXPECT_EQ(t.samples[i].setpointUm, t.header.setpointUm);
        EXPECT_DOUBLE_EQ(s.mm, s.exactUm / 1000.0);
        // The limits frame the setpoint, and the verdict is the one they give.
        EXPECT_LE(s.lowerUm, s.setpointUm);
        EXPECT_GE(s.upperUm, s.setpointUm);
        const Verdict expected = s.exactUm < s.lowerUm   ? Verdict::Below
                                 : s.exactUm > s.upperUm ? Verdict::Above
                                                         : Verdict::Inside;
        EXPECT_EQ(s.verdict, expected) << s.exactUm << " in " << s.lowerUm << ".." << s.upperUm;
        if (i > 0) {
            EXPECT_GE(s.wallMs, c.samples[i - 1].wallMs);
        }
    }
}

TEST(RecordingReader, DamagedLinesAreRefusedWhole) {
    RecordingHeader text, csv, oldCsv;
    const std::string textHead = "12-08-2026 06:00:44  K-VEX-RECORDER-FILE: Time-Interval[s]: 2";
    const std::string setpoint = "SETPOINT-VALUE [\xC2\xB5m]: -1500";
    ASSERT_TRUE(ReadRecordingHeader(textHead.data(), textHead.size(), setpoint.data(),
                                    setpoint.size(), text));
    EXPECT_EQ(text.intervalS, 2.0);
    EXPECT_EQ(text.setpointUm, -1500);  // an edited file's UTF-8 unit is read too
    const std::string csvHead =
        "sample,time,A,B,units,um,edges A,edges B,lower,upper,setpoint,verdict";
    ASSERT_TRUE(ReadRecordingHeader(csvHead.data(), csvHead.size(), nullptr, 0, csv));
    const std::string oldHead = "sample,time,A,B,units,um,edges A,edges B";
    ASSERT_TRUE(ReadRecordingHeader(oldHead.data(), oldHead.size(), nullptr, 0, oldCsv));
    EXPECT_FALSE(oldCsv.hasLimits);
    RecordingHeader none;
    EXPECT_FALSE(
        ReadRecordingHeader("\x7f"
                            "ELF",
                            4, nullptr, 0, none));

    auto parses = [](const RecordingHeader &h, const std::string &line) {
        Sample s;
        return ParseRecordingLine(h, line.data(), line.size(), 4, s);
    };
    Sample s;
    const std::string good = "1947\t2079\t2013\t-36987\t2\t65535";
    ASSERT_TRUE(ParseRecordingLine(text, good.data(), good.size(), 4, s));
    EXPECT_EQ(s.sensorUm, -36987);
    EXPECT_EQ(s.edgesB, 65535);
    EXPECT_EQ(s.number, 5u);
    EXPECT_EQ(s.wallMs - text.startWallMs, 8000);  // the fifth sample, 2 s apart
    const std::string goodCsv =
        "7,2026-12-08T06:00:44.123+01:00,1947,2079,2013,36987,2,2,36985,37010,37000,inside";
    ASSERT_TRUE(ParseRecordingLine(csv, goodCsv.data(), goodCsv.size(), 0, s));
    EXPECT_EQ(s.wallMs, 1796706044123);
    EXPECT_EQ(s.number, 7u);
    EXPECT_EQ(s.verdict, Verdict::Inside);
    EXPECT_EQ(s.lowerUm, 36985);

    for (const std::string &bad :
         {std::string(), std::string("1947\t2079\t2013\t36987\t2"),
          std::string("1947\t2079\t2013\t36987\t2\t2\t9"),
          std::string("1947\t2079\t2013\t3698x\t2\t2"),
          std::string("65536\t2079\t2013\t36987\t2\t2"),
          std::string(" 1947\t2079\t2013\t36987\t2\t2"), std::string("1947\t2079\t2013\t-\t2\t2"),
          std::string("1947\t2079\t2013\t99999999999\t2\t2"),
          std::string("1947\t2079\0\t36987\t2\t2", 20)})
        EXPECT_FALSE(parses(text, bad)) << bad;
    for (const std::string &bad :
         {std::string("7,2026-13-08T06:00:44.123+01:00,1,2,3,4,5,6,1,2,3,inside"),
          std::string("7,2026-12-08 06:00:44,1,2,3,4,5,6,1,2,3,inside"),
          std::string("7,2026-12-08T06:00:44.123+01:00,1,2,3,4,5,6,1,2,3,fine"),
          std::string("7,2026-12-08T06:00:44.123+01:00,1,2,3,4,5,6"),
          std::string("-7,2026-12-08T06:00:44.123+01:00,1,2,3,4,5,6,1,2,3,none")})
        EXPECT_FALSE(parses(csv, bad)) << bad;
    EXPECT_TRUE(parses(oldCsv, "7,2026-12-08T06:00:44.123+01:00,1,2,3,4,5,6"));

    // The newest columns: the scale, the setpoint in units and the exact value,
    // each read back to the double written; anything but a finite plain number
    // (or the shortest form's exponent) is refused.
    RecordingHeader exact;
    const std::string exactHead = csvHead +
                                  ",scale [\xC2\xB5m/unit],setpoint [units],measured value exact "
                                  "[\xC2\xB5m]";
    ASSERT_TRUE(ReadRecordingHeader(exactHead.data(), exactHead.size(), nullptr, 0, exact));
    EXPECT_TRUE(exact.hasLimits && exact.hasScale && !csv.hasScale);
    const std::string row = "7,2026-12-08T06:00:44.123+01:00,1938,2086,1938,36985,1,1,";
    const std::string goodExact =
        row + "36979.75,37020.25,37000,below,6.103515625e-05,2000,36984.5";
    ASSERT_TRUE(ParseRecordingLine(exact, goodExact.data(), goodExact.size(), 0, s));
    EXPECT_EQ(s.sensorUm, 36985);
    EXPECT_EQ(s.exactUm, 36984.5);
    EXPECT_EQ(s.mm, 36.9845);
    EXPECT_EQ(s.lowerUm, 36979.75);
    EXPECT_EQ(s.umPerUnit, 1.0 / 16384);
    EXPECT_EQ(s.setpointUnits, 2000);
    ASSERT_TRUE(parses(csv, goodCsv));  // an older line: its exact value is the whole µm
    ParseRecordingLine(csv, goodCsv.data(), goodCsv.size(), 0, s);
    EXPECT_EQ(s.exactUm, 36987);
    EXPECT_EQ(s.umPerUnit, 0);
    // Every exact value the recorder can write reads back to its double,
    // whether the quick path or the full conversion reads it.
    uint64_t seed = 7;
    for (int i = 0; i < 3000; ++i) {
        seed = seed * 6364136223846793005u + 1442695040888963407u;
        const double v =
            static_cast<double>(static_cast<int64_t>(seed >> 20) - (1ll << 43)) / (1 << (i % 15));
        char text[40];
        ASSERT_GT(ShortestNumber(text, sizeof text, i % 7 ? v : v * 1e-9), 0);
        const std::string line = row + "1,2,3,inside,0.25,2000," + text;
        ASSERT_TRUE(ParseRecordingLine(exact, line.data(), line.size(), 0, s)) << text;
        EXPECT_EQ(s.exactUm, std::strtod(text, nullptr)) << text;
    }
    for (const char *tail :
         {"36985,37010,37000,below,0.25,2000,inf", "36985,37010,37000,below,0.25,2000,+36984.5",
          "36985,37010,37000,below,-0.25,2000,36984.5", "36985,37010,37000,below,0.25,2000,",
          "36985,37010,37000,below,0.25,2000,36984.5,",
          "36985,37010,37000,below,0.25,2000.5,36984.5",
          "36985,1e999,37000,below,0.25,2000,36984.5", "36985,37010,37000,below,0x1p2,2000,36984.5",
          "36985,37010,37000,below,0.25,36984.5"})
        EXPECT_FALSE(parses(exact, row + tail)) << tail;
}

TEST(RecordingReader, LinesComeWholeAcrossBlocksAndAGrowingEndIsHeldBack) {
    const std::string path = Out("lines.dat");
    std::string huge(3 << 20, 'x');  // longer than a block: one overlong line
    WriteFile(path, "first\r\n" + huge + "\nsecond\n\nthird-being-writ");
    RecordingLines lines;
    const char *why = nullptr;
    ASSERT_TRUE(lines.Open(path.c_str(), &why));
    std::vector<std::string> got;
    std::vector<bool> overlong;
    std::vector<uint64_t> offsets;
    const char *line;
    std::size_t len;
    while (lines.Next(line, len)) {
        got.emplace_back(line, std::min<std::size_t>(len, 8));
        overlong.push_back(lines.Overlong());
        offsets.push_back(lines.LineOffset());
    }
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(got[0], "first");
    EXPECT_TRUE(overlong[1]);
    EXPECT_EQ(got[2], "second");
    EXPECT_EQ(offsets[2], 7u + huge.size() + 1);
    EXPECT_EQ(got[3], "");
    EXPECT_EQ(lines.LineNumber(), 4u);
    EXPECT_EQ(lines.PartialTail(), std::string("third-being-writ").size());

    RecordingLines missing;
    EXPECT_FALSE(missing.Open(Out("no-such.dat").c_str(), &why));
    EXPECT_NE(why, nullptr);
    EXPECT_FALSE(missing.Open(KVEX_TEST_OUTPUT, &why));  // a folder
}
