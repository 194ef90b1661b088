// What the program writes never destroys what it reads: every verb that
// writes a file refuses a path that is one of its inputs (by any name) or
// no regular file, before it measures or writes anything.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>
#include <QStringList>

#include "csv_recording.h"
#include "kvex_process.h"
#include "sensor_sim.h"

using kvextest::Finished;
using kvextest::RunKvex;

namespace {

QString Dir(const char *name) { return kvextest::FreshDir(QStringLiteral("outputs_") + name); }

QByteArray Bytes(const QString &path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("(unreadable)");
}

// A short CSV recording; with noSample, lines that are none.
QString Recording(const QString &path, bool noSample = false) {
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate)) return {};
    f.write(kCsvRecordingHead);
    for (int i = 0; i < 30; ++i) {
        const int units = 49333 + (i % 5) - 2;
        f.write(noSample ? QByteArray("not,a,sample\r\n")
                         : QString("%1,2026-12-08T06:00:%2.000+00:00,2075,2205,%3,%4,1,1,36980,"
                                   "37060,37000,inside,0.75,49333,%5\r\n")
                               .arg(i + 1)
                               .arg(i, 2, 10, QChar('0'))
                               .arg(units)
                               .arg(std::lround(units * 0.75))
                               .arg(units * 0.75, 0, 'g', 17)
                               .toUtf8());
    }
    return path;
}

bool IsFifo(const QString &path) {
    struct stat st {};
    return ::lstat(path.toUtf8().constData(), &st) == 0 && S_ISFIFO(st.st_mode);
}

}  // namespace

// The report and the gauge study against their own recording, by its name,
// a second (hard) name and a symbolic link; against a FIFO, a device and a
// folder. Each is refused with exit 4 and its reason, and what stood there
// is as it was. A new name, or a regular file that is no input, is written.
TEST(Outputs, AReportOrStudyNeverLandsOnItsInputOrOnWhatIsNoRegularFile) {
    const QString dir = Dir("report");
    const QString run = Recording(dir + "/run.csv");
    const QByteArray before = Bytes(run);
    ASSERT_EQ(::link(run.toUtf8().constData(), (dir + "/second-name.csv").toUtf8().constData()), 0);
    ASSERT_TRUE(QFile::link(run, dir + "/link.pdf"));
    const QString fifo = dir + "/fifo.pdf";
    ASSERT_EQ(::mkfifo(fifo.toUtf8().constData(), 0600), 0);
    const QStringList study = {"gauge-study", "--reference", "37",   "--tolerance",
                               "0.1",         run,           "--pdf"};
    const struct {
        QString path;
        const char *why;
    } refused[] = {
        {run, "it is one of the inputs"},
        {dir + "/second-name.csv", "it is one of the inputs"},
        {dir + "/link.pdf", "it is one of the inputs"},
        {fifo, "it is a FIFO"},
        {"/dev/null", "it is a device"},
        {dir, "it is a folder"},
    };
    for (const auto &r : refused) {
        for (const QStringList &args :
             {QStringList{"report", run, "-o", r.path}, study + QStringList{r.path}}) {
            const Finished f = RunKvex(args);
            const std::string said = (args.join(' ') + ": " + f.err).toStdString();
            EXPECT_EQ(f.code, 4) << said;
            EXPECT_TRUE(f.err.contains("cannot write " + r.path + ": " + r.why)) << said;
            EXPECT_TRUE(f.out.isEmpty()) << "nothing studied or written: " << said;
        }
    }
    EXPECT_EQ(Bytes(run), before) << "the recording is as it was";
    EXPECT_TRUE(IsFifo(fifo)) << "the FIFO is still a FIFO";

    const QString other = dir + "/other.pdf";
    QFile::copy(run, other);  // a regular file that is no input may be replaced
    EXPECT_EQ(RunKvex({"report", run, "-o", other}).code, 0);
    EXPECT_TRUE(Bytes(other).startsWith("%PDF"));
    EXPECT_EQ(RunKvex(study + QStringList{dir + "/new.pdf"}).code, 0);
    EXPECT_TRUE(Bytes(dir + "/new.pdf").startsWith("%PDF"));
}

// A recording with no readable sample is no study: exit 4 as stats and
// report say, and no PDF of "the first 0 samples".
TEST(Outputs, AGaugeStudyOfAFileWithoutASampleFailsAsStatsDoes) {
    const QString dir = Dir("nosample");
    const QString bad = Recording(dir + "/bad.csv", true);
    const QString empty = dir + "/empty.csv";
    QFile f(empty);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(kCsvRecordingHead);
    f.close();
    const Finished stats = RunKvex({"stats", bad});
    EXPECT_EQ(stats.code, 4) << stats.err.toStdString();
    for (const QString &file : {bad, empty}) {
        const Finished study = RunKvex({"gauge-study", "--reference", "37", "--tolerance", "0.1",
                                        file, "--pdf", dir + "/study.pdf"});
        EXPECT_EQ(study.code, 4) << study.err.toStdString();
        EXPECT_TRUE(study.err.contains("cannot read " + file)) << study.err.toStdString();
        EXPECT_FALSE(QFile::exists(dir + "/study.pdf"));
    }
}

// A recording or a parameter file read from the sensor never lands on a
// file it reads (its broker's password file), on the sensor's device or on
// a FIFO: refused before the sensor is asked anything.
TEST(Outputs, ARecordingNeverLandsOnWhatItReadsOrItsPort) {
    kvexsim::SimConfig cfg;
    cfg.paced = false;
    cfg.latencySeconds = 0;
    kvexsim::SensorSim sim(cfg);
    ASSERT_TRUE(sim.start());
    const QString port = QString::fromStdString(sim.devicePath());
    const QString dir = Dir("record");
    const QString password = dir + "/password";
    QFile c(password);
    ASSERT_TRUE(c.open(QIODevice::WriteOnly));
    c.write("s3cret-Word\n");
    c.close();
    ASSERT_TRUE(QFile::setPermissions(password, QFile::ReadOwner | QFile::WriteOwner));
    const QByteArray kept = Bytes(password);
    const QString fifo = dir + "/fifo.dat";
    ASSERT_EQ(::mkfifo(fifo.toUtf8().constData(), 0600), 0);
    const struct {
        QStringList args;
        const char *why;
    } refused[] = {
        {{"record", "--port", port, "--samples", "3", "--interval", "0", "--force", "--mqtt",
          "mqtt://127.0.0.1:1/x", "--mqtt-allow-plain-password", "--mqtt-password-file", password,
          password},
         "it is one of the inputs"},
        {{"record", "--port", port, "--samples", "3", "--interval", "0", port}, "it is a device"},
        {{"record", "--port", port, "--samples", "3", "--interval", "0", fifo}, "it is a FIFO"},
        {{"params", "get", "--port", port, "--memory", "ram", "--force", port}, "it is a device"},
    };
    for (const auto &r : refused) {
        const Finished f = RunKvex(r.args);
        const std::string said = (r.args.join(' ') + ": " + f.err).toStdString();
        EXPECT_EQ(f.code, 4) << said;
        EXPECT_TRUE(f.err.contains(r.why)) << said;
    }
    EXPECT_EQ(Bytes(password), kept);
    EXPECT_TRUE(IsFifo(fifo));
    EXPECT_EQ(sim.commandCount(kvexsim::kLineCheck), 0) << "the sensor was asked nothing";
}
