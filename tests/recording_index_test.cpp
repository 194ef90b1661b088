// The replay's index: every sample of a recording found again by its place,
// out-of-tolerance samples found from anywhere, and a damaged, oversized or
// growing file handled with a reason instead of a crash.
#include "recording_index.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QProcess>
#include <cstdio>
#include <string>
#include <vector>

#include "kvex_process.h"
#include "sensor_sim.h"

namespace {

std::string Out(const char *name) { return std::string(KVEX_TEST_OUTPUT "/index_") + name; }

void WriteFile(const std::string &path, const std::string &text, const char *mode = "wb") {
    FILE *f = std::fopen(path.c_str(), mode);
    ASSERT_NE(f, nullptr);
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
}

const char kTextHead[] =
    "12-08-2026 03:00:00  K-VEX-RECORDER-FILE: Time-Interval[s]: 1\r\n"
    "SETPOINT-VALUE [\xB5m]: 37000\r\n";

// A text recording whose sample i lies `offsets[i]` µm from the setpoint.
std::string TextRecording(const std::vector<int> &offsets) {
    std::string text = kTextHead;
    for (int d : offsets) {
        const int units = 2000 + 4 * d;
        text += std::to_string(units) + "\t2100\t" + std::to_string(units) + "\t" +
                std::to_string(37000 + d) + "\t1\t1\r\n";
    }
    return text;
}

struct Opened {
    RecordingIndex index;
    bool ok = false;
    char why[200] = "";
};

void OpenAll(Opened &o, const std::string &path, unsigned long maxSamples = 1000000) {
    o.ok = o.index.Open(path.c_str(), o.why, sizeof o.why, maxSamples);
    while (o.ok && o.index.IndexMore(1.0)) {
    }
}

}  // namespace

TEST(RecordingIndex, FindsEverySampleTheRecorderWroteByItsPlace) {
    kvexsim::SimConfig cfg;
    cfg.paced = false;
    kvexsim::SensorSim sim(cfg);
    ASSERT_TRUE(sim.start());
    for (bool csv : {false, true}) {
        const std::string path = Out(csv ? "rec.csv" : "rec.dat");
        std::remove(path.c_str());
        QStringList args{"record",    "--port", QString::fromStdString(sim.devicePath()),
                         "--samples", "40",     "--interval",
                         "0",         "--quiet"};
        if (csv) args << "--csv";
        args << QString::fromStdString(path);
        const kvextest::Finished r = kvextest::RunKvex(args);
        ASSERT_EQ(r.code, 0) << r.err.toStdString();

        Opened o;
        OpenAll(o, path);
        ASSERT_TRUE(o.ok) << o.why;
        EXPECT_TRUE(o.index.Complete());
        EXPECT_EQ(o.index.RecordedVerdicts(), csv);
        ASSERT_EQ(o.index.Count(), 40u);
        EXPECT_EQ(o.index.SkippedLines(), 0u);
        // Read back out of order: each sample is found by its own place.
        for (unsigned long i : {39ul, 0ul, 17ul, 38ul, 1ul}) {
            Sample s;
            ASSERT_TRUE(o.index.Read(i, s)) << i;
            EXPECT_EQ(s.number, i + 1);
            EXPECT_EQ(s.sensorUm, o.index.Um(i));
            if (csv) {
                EXPECT_EQ(s.verdict, o.index.VerdictAt(i));
            }
        }
    }
    // Saved again by a spreadsheet, with a byte-order mark and "\r\r\n", the
    // CSV recording replays as it was.
    std::FILE *in = std::fopen(Out("rec.csv").c_str(), "rb");
    ASSERT_TRUE(in);
    std::string bytes, resaved = "\xEF\xBB\xBF";
    for (int c; (c = std::fgetc(in)) != EOF;) bytes += static_cast<char>(c);
    std::fclose(in);
    for (char c : bytes) resaved += c == '\n' ? std::string("\r\n") : std::string(1, c);
    WriteFile(Out("rec_resaved.csv"), resaved);
    Opened again;
    OpenAll(again, Out("rec_resaved.csv"));
    ASSERT_TRUE(again.ok) << again.why;
    EXPECT_TRUE(again.index.RecordedVerdicts());
    EXPECT_EQ(again.index.Count(), 40u);
    EXPECT_EQ(again.index.SkippedLines(), 0u);
    Sample last;
    ASSERT_TRUE(again.index.Read(39, last));
    EXPECT_EQ(last.number, 40u);
}

TEST(RecordingIndex, OutOfToleranceSamplesAreFoundAndMarkedFromAnywhere) {
    std::vector<int> offsets(1000, 0);
    offsets[10] = 30, offsets[500] = -30, offsets[501] = -31, offsets[990] = 12;
    const std::string path = Out("oot.dat");
    WriteFile(path, TextRecording(offsets));
    Opened o;
    OpenAll(o, path);
    ASSERT_TRUE(o.ok) << o.why;
    ASSERT_EQ(o.index.Count(), 1000u);
    EXPECT_EQ(o.index.OutCount(), 0u);  // no limits, no verdict
    EXPECT_EQ(o.index.VerdictAt(0), Verdict::None);

    o.index.Judge({true, true, true, 36990, 37012, 37000});
    EXPECT_EQ(o.index.OutCount(), 3u);
    EXPECT_EQ(o.index.NextOut(0), 10);
    EXPECT_EQ(o.index.NextOut(10), 500);
    EXPECT_EQ(o.index.NextOut(501), -1);
    EXPECT_EQ(o.index.PreviousOut(999), 501);
    EXPECT_EQ(o.index.PreviousOut(10), -1);
    EXPECT_EQ(o.index.VerdictAt(500), Verdict::Below);
    Sample s;
    ASSERT_TRUE(o.index.Read(10, s));
    EXPECT_EQ(s.verdict, Verdict::Above);
    EXPECT_EQ(s.upperUm, 37012);
    EXPECT_EQ(s.wallMs - o.index.Header().startWallMs, 10000);  // 1 s apart
    // Two neighbours share one mark on a short track; the others get theirs.
    EXPECT_EQ(o.index.OutMarks(100), (std::vector<int>{10, 500}));

    o.index.Judge({true, true, true, 36990, 37011, 37000});  // narrower limits, other marks
    EXPECT_EQ(o.index.OutCount(), 4u);
    EXPECT_EQ(o.index.PreviousOut(999), 990);
}

TEST(RecordingIndex, DamagedOversizedAndGrowingFilesAreToldApart) {
    struct Case {
        const char *name;
        std::string content;
        const char *reason;
    };
    const std::string binary(
        "\x7f"
        "ELF\x02\x01\x01\0\0\0\n\xff\xfe",
        14);
    for (const Case &c :
         {Case{"empty.dat", "", "it is empty"}, Case{"binary.dat", binary, "it is no recording"},
          Case{"half.dat", "12-08-2026 03:00:00  K-VEX", "not complete"}}) {
        WriteFile(Out(c.name), c.content);
        Opened o;
        OpenAll(o, Out(c.name));
        EXPECT_FALSE(o.ok) << c.name;
        EXPECT_NE(std::string(o.why).find(c.reason), std::string::npos) << o.why;
    }
    Opened folder;
    OpenAll(folder, KVEX_TEST_OUTPUT);
    EXPECT_FALSE(folder.ok);

    // Over the memory bound: by its size before reading, by its count after.
    const std::string big = Out("big.dat");
    WriteFile(big, TextRecording(std::vector<int>(50, 0)));
    Opened bySize, byCount;
    OpenAll(bySize, big, 2);
    EXPECT_FALSE(bySize.ok);
    EXPECT_NE(std::string(bySize.why).find("too large"), std::string::npos) << bySize.why;
    OpenAll(byCount, big, 40);
    ASSERT_TRUE(byCount.ok) << byCount.why;
    EXPECT_TRUE(byCount.index.Refused());
    EXPECT_NE(std::string(byCount.index.RefusalText()).find("more than 40"), std::string::npos);

    // Bad lines are skipped and counted, the first named by its number; a
    // line still being written is left out until it is whole.
    const std::string growing = Out("growing.dat");
    WriteFile(growing, TextRecording({0, 1}) + "garbage\r\n2004\t2100\t2004\t37001\t1\t1\r\n" +
                           std::string(500, 'z') + "\n2008\t2100\t20");
    Opened g;
    OpenAll(g, growing);
    ASSERT_TRUE(g.ok) << g.why;
    EXPECT_EQ(g.index.Count(), 3u);
    EXPECT_EQ(g.index.SkippedLines(), 2u);
    EXPECT_EQ(g.index.FirstSkippedLine(), 5u);
    EXPECT_EQ(g.index.PartialTail(), 12u);
    Sample after;  // a damaged line still stood for a sample: it keeps its number and time
    ASSERT_TRUE(g.index.Read(2, after));
    EXPECT_EQ(after.number, 4u);
    EXPECT_EQ(after.wallMs - g.index.Header().startWallMs, 3000);
    WriteFile(growing, "08\t37002\t1\t1\r\n", "ab");
    Opened later;
    OpenAll(later, growing);
    EXPECT_EQ(later.index.Count(), 4u);
    EXPECT_EQ(later.index.PartialTail(), 0u);
}

// A line whose lower limit lies above its upper one judges nothing and is
// skipped; a file written over in place with the same length is noticed
// (its lines no longer hold what was indexed), while one that only grew
// still reads.
TEST(RecordingIndex, CrossedLimitsAreSkippedAndAFileWrittenOverIsNoticed) {
    const std::string path = Out("overwritten.csv");
    auto csv = [](int um, const char *lower, const char *upper) {
        return "1,2026-12-08T06:03:58.150+00:00,2075,2205,2075," + std::to_string(um) + ",1,1," +
               lower + "," + upper + ",37000,inside\n";
    };
    const std::string head =
        "sample,time,A [pixel],B [pixel],measured value [units],measured value [\xC2\xB5m],"
        "edges A,edges B,lower limit [\xC2\xB5m],upper limit [\xC2\xB5m],setpoint "
        "[\xC2\xB5m],verdict\n";
    WriteFile(path, head + csv(37001, "36985", "37010") + csv(37002, "37010", "36985") +
                        csv(37003, "36985", "37010"));
    Opened o;
    OpenAll(o, path);
    ASSERT_TRUE(o.ok) << o.why;
    EXPECT_EQ(o.index.Count(), 2u);
    EXPECT_EQ(o.index.SkippedLines(), 1u);
    EXPECT_EQ(o.index.FirstSkippedLine(), 3u);

    WriteFile(path, csv(37004, "36985", "37010"), "ab");
    Sample s;
    ASSERT_TRUE(o.index.Read(1, s)) << "a file that grew still reads";
    EXPECT_EQ(s.sensorUm, 37003);
    EXPECT_FALSE(o.index.ChangedInPlace());

    WriteFile(path, head + csv(37101, "36985", "37010") + csv(37002, "37010", "36985") +
                        csv(37103, "36985", "37010") + csv(37004, "36985", "37010"));
    EXPECT_FALSE(o.index.Read(1, s));
    EXPECT_TRUE(o.index.ChangedInPlace());
    EXPECT_FALSE(o.index.Read(0, s)) << "nothing more is read from it";
    EXPECT_EQ(o.index.KeepWhole(), 2u) << "a change in place is no cut";
}
