// The command-line verbs as a script runs them: the real kvex program as a
// process of its own, against the simulated sensor on a real pseudo-terminal.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QStringList>
#include <QThread>
#include <cmath>
#include <csignal>
#include <functional>
#include <string>

#include "csv_recording.h"
#include "kvex_process.h"
#include "sensor_sim.h"

namespace {

using kvextest::Finished;
using kvextest::KvexProgram;
using kvextest::Within;

Finished Kvex(const QStringList &args, const std::function<void()> &inChild = nullptr,
              const QProcessEnvironment &more = {}) {
    return kvextest::RunKvex(args, more, inChild);
}

QString Out(const char *name) { return QStringLiteral(KVEX_TEST_OUTPUT "/cli_") + name; }

QStringList Lines(const QString &path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return {};
    return QString::fromUtf8(f.readAll()).split("\r\n", Qt::SkipEmptyParts);
}

kvexsim::SimConfig Fast() {
    kvexsim::SimConfig cfg;
    cfg.paced = false;
    cfg.latencySeconds = 0.0;
    return cfg;
}

}  // namespace

TEST(CommandLine, InfoAndParametersGoThroughTheSensor) {
    kvexsim::SensorSim sim(Fast());
    ASSERT_TRUE(sim.start());
    const QString port = QString::fromStdString(sim.devicePath());

    const Finished info = Kvex({"info", "--port", port});
    EXPECT_EQ(info.code, 0) << info.err.toStdString();
    EXPECT_TRUE(info.out.contains("firmware: K-VEX sensor simulator")) << info.out.toStdString();
    EXPECT_TRUE(info.out.contains("µm")) << "sensor texts reach the terminal as UTF-8";

    // Get from the EEPROM writes the sensor's 30 words in the panels' file format.
    const QString file = Out("params.cfg");
    QFile::remove(file);
    const Finished get = Kvex({"params", "get", "--port", port, "--memory", "eeprom", file});
    ASSERT_EQ(get.code, 0) << get.err.toStdString();
    QFile f(file);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QStringList words =
        QString::fromLatin1(f.readAll()).split(QRegularExpression("\\s+"), Qt::SkipEmptyParts);
    f.close();
    ASSERT_EQ(words.size(), 30);
    for (int i = 0; i < 15; ++i) {
        EXPECT_EQ(words[i].toUInt(), sim.eeprom(0)[i]) << i;
        EXPECT_EQ(words[15 + i].toUInt(), sim.eeprom(1)[i]) << i;
    }

    // Put into RAM a changed set: the sensor holds it, read back and checked.
    QStringList changed = words;
    changed[2] = "1234";  // teach A
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(changed.join('\n').toLatin1());
    f.close();
    const Finished put = Kvex({"params", "put", "--port", port, "--memory", "ram", file});
    EXPECT_EQ(put.code, 0) << put.err.toStdString();
    EXPECT_TRUE(put.err.contains("Line Ok!"));
    EXPECT_EQ(sim.ram(0)[2], 1234);
    EXPECT_EQ(sim.eeprom(0)[2], words[2].toUInt()) << "the EEPROM was not asked";
}

TEST(CommandLine, RecordWritesTodaysFormatOrCsvWithHeaderAndTimestamps) {
    kvexsim::SensorSim sim(Fast());
    ASSERT_TRUE(sim.start());
    const QString port = QString::fromStdString(sim.devicePath());

    const QString text = Out("record.dat"), csv = Out("record.csv");
    QFile::remove(text);
    QFile::remove(csv);
    const Finished plain =
        Kvex({"record", "--port", port, "--samples", "3", "--interval", "0", text});
    ASSERT_EQ(plain.code, 0) << plain.err.toStdString();
    EXPECT_TRUE(plain.err.contains("sample 3 of 3"));
    const QStringList lines = Lines(text);
    ASSERT_EQ(lines.size(), 2 + 3);  // the two header lines, then one line per sample
    EXPECT_TRUE(lines[0].contains("K-VEX-RECORDER-FILE"));
    EXPECT_EQ(lines[2].split('\t').size(), 6);

    const Finished table =
        Kvex({"record", "--port", port, "--samples", "3", "--interval", "0", "--csv", csv});
    ASSERT_EQ(table.code, 0) << table.err.toStdString();
    const QStringList rows = Lines(csv);
    ASSERT_EQ(rows.size(), 1 + 3);  // the header row first, as spreadsheets expect
    EXPECT_EQ(rows[0], QStringLiteral("sample,time,A [pixel],B [pixel],measured value [units],"
                                      "measured value [µm],edges A,edges B,lower limit [µm],"
                                      "upper limit [µm],setpoint [µm],verdict,scale [µm/unit],"
                                      "setpoint [units],measured value exact [µm]"));
    // The limits and setpoint in force, the verdict they gave, the scale and
    // the exact value, which tells the same verdict against the limits.
    const QString real = "(-?\\d+(\\.\\d+)?)";
    const QRegularExpression sample(
        "^\\d+,\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}[+-]\\d\\d:\\d\\d(,-?\\d+){6}," +
        real + "," + real + ",-?\\d+,(inside|below|above|none)," + real + ",\\d+," + real + "$");
    for (int i = 1; i < rows.size(); ++i) {
        EXPECT_TRUE(sample.match(rows[i]).hasMatch()) << rows[i].toStdString();
        EXPECT_TRUE(rows[i].startsWith(QString::number(i) + ","));
        const QStringList f = rows[i].split(',');
        ASSERT_EQ(f.size(), 15);
        const double exact = f[14].toDouble();
        EXPECT_EQ(exact, f[10].toDouble() + (f[4].toInt() - f[13].toInt()) * f[12].toDouble());
        EXPECT_EQ(f[11], exact < f[8].toDouble()   ? "below"
                         : exact > f[9].toDouble() ? "above"
                                                   : "inside");
    }
}

TEST(CommandLine, FailuresSayWhyAndEndWithTheirCode) {
    // No sensor behind the device, or no device at all.
    EXPECT_EQ(Kvex({"info", "--port", "/dev/no-such-port"}).code, 3);
    kvexsim::SimConfig quiet = Fast();
    quiet.faults.silent = true;
    kvexsim::SensorSim silent(quiet);
    ASSERT_TRUE(silent.start());
    const Finished mute = Kvex({"info", "--port", QString::fromStdString(silent.devicePath())});
    EXPECT_EQ(mute.code, 3);
    EXPECT_TRUE(mute.err.contains("no sensor on")) << mute.err.toStdString();

    kvexsim::SimConfig forgetful = Fast();
    forgetful.faults.ignoreWrites = true;
    kvexsim::SensorSim sim(forgetful);
    ASSERT_TRUE(sim.start());
    const QString port = QString::fromStdString(sim.devicePath());
    // Files that cannot be read or written.
    EXPECT_EQ(Kvex({"params", "put", "--port", port, "--memory", "ram", Out("missing.cfg")}).code,
              4);
    EXPECT_EQ(Kvex({"record", "--port", port, "--samples", "2", "--interval", "0",
                    "/no/such/folder/r.dat"})
                  .code,
              4);
    // A write the sensor does not keep is not reported as done.
    const QString file = Out("forgotten.cfg");
    QFile::remove(file);
    ASSERT_EQ(Kvex({"params", "get", "--port", port, "--memory", "ram", file}).code, 0);
    QStringList words = Lines(file).join(' ').split(' ', Qt::SkipEmptyParts);
    words[2] = "1111";
    QFile f(file);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(words.join('\n').toLatin1());
    f.close();
    const Finished put = Kvex({"params", "put", "--port", port, "--memory", "ram", file});
    EXPECT_EQ(put.code, 5);
    EXPECT_TRUE(put.err.contains("words differ")) << put.err.toStdString();

    // Arguments that make no verb: usage, code 2, nothing touched.
    for (const QStringList &bad :
         {QStringList{"record", "--port", port, "--samples", "0", "--interval", "1", "x.dat"},
          QStringList{"params", "copy", "--port", port},
          QStringList{"params", "get", "--port", port, "--memory", "flash", "x.cfg"},
          QStringList{"info"}}) {
        const Finished r = Kvex(bad);
        EXPECT_EQ(r.code, 2) << bad.join(' ').toStdString();
        EXPECT_TRUE(r.err.contains("Usage:"));
    }
}

// ---------------------------------------------------------------- one behaviour

namespace {

QString Dir(const char *name) {
    const QString dir = Out(name);
    QDir(dir).removeRecursively();
    QDir().mkpath(dir);
    return dir;
}

// A parameter file as get writes it, with one line changed.
void WriteWords(const QString &path, QStringList words, int line = 0, const QString &value = {},
                const QByteArray &head = {}) {
    if (line > 0) words[line - 1] = value;
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(head + words.join("\r\n").toLatin1() + "\r\n");
}

// Every stderr line is the program's own.
void OnlyOwnWords(const Finished &r) {
    for (const QString &line : r.err.split('\n', Qt::SkipEmptyParts))
        EXPECT_TRUE(line.startsWith("kvex: ")) << line.toStdString();
}

}  // namespace

// A FIFO, a device, a folder or a name with a control character is refused
// with its reason before the port is opened: no verb waits on it.
TEST(CommandLine, OddPathsAreRefusedBeforeAnythingIsSent) {
    kvexsim::SensorSim sim(Fast());
    ASSERT_TRUE(sim.start());
    const QString port = QString::fromStdString(sim.devicePath());
    const QString dir = Dir("odd");
    const QString fifo = dir + "/pipe";
    ASSERT_EQ(0, mkfifo(fifo.toLocal8Bit().constData(), 0644));
    const struct {
        QString path;
        const char *why;
    } odd[] = {
        {fifo, "it is a FIFO"},
        {"/dev/null", "it is a device"},
        {dir, "it is a folder"},
        {dir + "/new\nline.dat", "its name holds a line break"},
        {dir + "/tab\t.dat", "its name holds a Tab"},
    };
    for (const auto &o : odd) {
        for (const QStringList &verb : {QStringList{"record", "--samples", "3", "--interval", "0"},
                                        QStringList{"params", "get", "--memory", "ram"},
                                        QStringList{"params", "put", "--memory", "ram"}}) {
            const Finished r = Kvex(verb + QStringList{"--port", port, o.path});
            EXPECT_EQ(r.code, 4) << verb.join(' ').toStdString() << " " << o.why;
            EXPECT_TRUE(r.err.contains(o.why)) << r.err.toStdString();
            OnlyOwnWords(r);
        }
    }
    EXPECT_EQ(0u, sim.requestCount()) << "nothing went to the sensor";
    EXPECT_FALSE(QFile::exists(dir + "/new")) << "the name was not cut at the line break";
}

// No verb replaces a file unasked: the next free name is taken and named;
// --force replaces the file itself.
TEST(CommandLine, ExistingFilesAreReplacedOnlyWithForce) {
    kvexsim::SensorSim sim(Fast());
    ASSERT_TRUE(sim.start());
    const QString port = QString::fromStdString(sim.devicePath());
    const QString dir = Dir("force");
    const QByteArray precious = "precious\r\n";
    for (const QString &name : {QString("p.cfg"), QString("r.dat")}) {
        QFile f(dir + "/" + name);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(precious);
    }
    const QStringList get{"params", "get", "--port", port, "--memory", "ram"};
    const QStringList record{"record", "--port", port, "--samples", "2", "--interval", "0"};
    Finished r = Kvex(get + QStringList{dir + "/p.cfg"});
    EXPECT_EQ(r.code, 0) << r.err.toStdString();
    EXPECT_TRUE(r.err.contains("p-2.cfg")) << r.err.toStdString();
    EXPECT_EQ(Lines(dir + "/p-2.cfg").size(), 30);
    r = Kvex(record + QStringList{dir + "/r.dat"});
    EXPECT_EQ(r.code, 0) << r.err.toStdString();
    EXPECT_TRUE(r.err.contains("r-2.dat")) << r.err.toStdString();
    EXPECT_EQ(Lines(dir + "/r-2.dat").size(), 4);
    for (const QString &name : {QString("p.cfg"), QString("r.dat")}) {
        QFile f(dir + "/" + name);
        ASSERT_TRUE(f.open(QIODevice::ReadOnly));
        EXPECT_EQ(f.readAll(), precious) << name.toStdString();
    }

    EXPECT_EQ(Kvex(get + QStringList{"--force", dir + "/p.cfg"}).code, 0);
    EXPECT_EQ(Kvex(record + QStringList{"--force", dir + "/r.dat"}).code, 0);
    EXPECT_EQ(Lines(dir + "/p.cfg").size(), 30);
    EXPECT_EQ(Lines(dir + "/r.dat").size(), 4);
    EXPECT_FALSE(QFile::exists(dir + "/p-3.cfg"));
    EXPECT_FALSE(QFile::exists(dir + "/r-3.dat"));
}

// Every word that a field bounds is refused one above its bound, with the
// line and the value named; nothing reaches the sensor. A byte-order mark is
// no reason to refuse a file.
TEST(CommandLine, WordsOutsideTheirFieldsAreRefusedWithLineAndValue) {
    kvexsim::SensorSim sim(Fast());
    ASSERT_TRUE(sim.start());
    const QString port = QString::fromStdString(sim.devicePath());
    const QString dir = Dir("range");
    const QString good = dir + "/good.cfg";
    ASSERT_EQ(Kvex({"params", "get", "--port", port, "--memory", "ram", good}).code, 0);
    const QStringList words = Lines(good);
    ASSERT_EQ(words.size(), 30);
    const auto ramBefore = sim.ram(0);
    // line of the file: the greatest value its field shows (N = 4096 here)
    const struct {
        int line;
        int max;
    } bounded[] = {{1, 1000}, {2, 255},   {3, 4096},  {6, 4096}, {7, 4096},
                   {8, 1},    {9, 4},     {10, 4},    {11, 1},   {12, 4},
                   {13, 1},   {14, 2048}, {16, 1000}, {17, 255}, {18, 4096}};
    for (const auto &b : bounded) {
        const QString bad = dir + QString("/line%1.cfg").arg(b.line);
        WriteWords(bad, words, b.line, QString::number(b.max + 1).rightJustified(10));
        const Finished r = Kvex({"params", "put", "--port", port, "--memory", "ram", bad});
        EXPECT_EQ(r.code, 4) << "line " << b.line;
        EXPECT_TRUE(
            r.err.contains(QString("line %1: %2 not 0..%3").arg(b.line).arg(b.max + 1).arg(b.max)))
            << r.err.toStdString();
        EXPECT_EQ(sim.ram(0), ramBefore) << "line " << b.line;
    }
    // The scale's two words, as a float field cannot hold them.
    QStringList scale = words;
    scale[26] = "1";
    scale[27] = "1000";
    WriteWords(dir + "/scale.cfg", scale);
    const Finished s =
        Kvex({"params", "put", "--port", port, "--memory", "ram", dir + "/scale.cfg"});
    EXPECT_EQ(s.code, 4);
    EXPECT_TRUE(s.err.contains("lines 27-28")) << s.err.toStdString();

    QStringList changed = words;
    changed[2] = "1234";
    WriteWords(dir + "/bom.cfg", changed, 0, {}, "\xEF\xBB\xBF");
    const Finished bom =
        Kvex({"params", "put", "--port", port, "--memory", "ram", dir + "/bom.cfg"});
    EXPECT_EQ(bom.code, 0) << bom.err.toStdString();
    EXPECT_EQ(sim.ram(0)[2], 1234);
}

// A port that another program locked says so, and who holds it.
TEST(CommandLine, AHeldPortNamesItsHolder) {
    kvexsim::SensorSim sim(Fast());
    ASSERT_TRUE(sim.start());
    const QString port = QString::fromStdString(sim.devicePath());
    QProcess holder;
    holder.start("flock", {"--exclusive", port, "sleep", "30"});
    ASSERT_TRUE(holder.waitForStarted());
    ASSERT_TRUE(Within(60, [&] {
        return QProcess::execute("flock", {"--nonblock", "--shared", port, "true"}) == 1;
    })) << "the holder took its lock";
    const QString pid = QString::number(holder.processId());
    const Finished r = Kvex({"info", "--port", port});
    holder.kill();
    holder.waitForFinished();
    EXPECT_EQ(r.code, 3);
    EXPECT_TRUE(r.err.contains(port + " is in use by process " + pid + " (flock)"))
        << r.err.toStdString();
    EXPECT_FALSE(r.err.contains("Cannot open port"));
}

// A full disk ends the recording with the cause and the samples the file
// holds; the file ends with its last whole line.
TEST(CommandLine, AFullDiskSaysSoWithTheSamplesKept) {
    kvexsim::SensorSim sim(Fast());
    ASSERT_TRUE(sim.start());
    const QString port = QString::fromStdString(sim.devicePath());
    QString dir = Dir("fulldisk");
    const bool tmpfs =
        geteuid() == 0 && mount("tmpfs", dir.toLocal8Bit().constData(), "tmpfs", 0, "size=8k") == 0;
    const QString file = dir + "/r.dat";
    const Finished r = Kvex(
        {"record", "--port", port, "--samples", "60000", "--interval", "0", file},
        tmpfs ? std::function<void()>() : [] {
            std::signal(SIGXFSZ, SIG_IGN);
            rlimit small{4000, 4000};
            setrlimit(RLIMIT_FSIZE, &small);
        });
    const QStringList lines = Lines(file);
    QFile f(file);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_TRUE(f.readAll().endsWith("\r\n"));
    f.close();
    if (tmpfs) umount(dir.toLocal8Bit().constData());
    EXPECT_EQ(r.code, 4);
    EXPECT_TRUE(r.err.contains(tmpfs ? "disk full" : "file size limit reached"))
        << r.err.toStdString();
    EXPECT_TRUE(r.err.contains(QString("holds %1 samples").arg(lines.size() - 2)))
        << r.err.toStdString() << " lines " << lines.size();
}

// Ctrl+C or SIGTERM ends a recording with the line being written finished,
// the count said and the signal's exit code.
TEST(CommandLine, SignalsEndARecordingWithTheFileWhole) {
    kvexsim::SensorSim sim(Fast());
    ASSERT_TRUE(sim.start());
    const QString port = QString::fromStdString(sim.devicePath());
    const QString dir = Dir("signals");
    for (const int signal : {SIGINT, SIGTERM}) {
        const QString file = dir + QString("/r%1.dat").arg(signal);
        QProcess p;
        kvextest::PrepareKvex(p);
        p.start(KvexProgram(),
                {"record", "--port", port, "--samples", "60000", "--interval", "0", file});
        ASSERT_TRUE(p.waitForStarted());
        ASSERT_TRUE(Within(60, [&] { return Lines(file).size() >= 12; }));
        ::kill(static_cast<pid_t>(p.processId()), signal);
        ASSERT_TRUE(p.waitForFinished(20000));
        EXPECT_EQ(p.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(p.exitCode(), 128 + signal);
        const QString err = QString::fromUtf8(p.readAllStandardError());
        QFile f(file);
        ASSERT_TRUE(f.open(QIODevice::ReadOnly));
        const QByteArray bytes = f.readAll();
        EXPECT_TRUE(bytes.endsWith("\r\n"));
        const int samples = static_cast<int>(bytes.count("\r\n")) - 2;
        EXPECT_TRUE(err.contains(QString("stopped by %1; %2 holds %3 samples")
                                     .arg(signal == SIGINT ? "SIGINT" : "SIGTERM", file)
                                     .arg(samples)))
            << err.toStdString();
    }
}

// Each verb's --help explains its options and ends well; the verbs' standard
// error carries their own words only, even as root without a session.
TEST(CommandLine, HelpExplainsEveryOptionAndStandardErrorIsTheVerbsOwn) {
    const struct {
        QStringList words;
        QStringList options;
    } verbs[] = {
        {{"info", "--help"}, {"--port", "--quiet"}},
        {{"params", "--help"}, {"--port", "--memory", "--force", "--quiet"}},
        {{"params", "put", "--help"}, {"--port", "--memory", "--force", "--quiet"}},
        {{"record", "--help"},
         {"--port", "--samples", "--interval", "--csv", "--force", "--quiet", "SIGINT", "--mqtt",
          "--exit-on-line-lost"}},
        {{"publish", "--help"},
         {"--port", "--mqtt", "--duration", "--mqtt-ca", "--mqtt-insecure", "--mqtt-password-file",
          "--mqtt-allow-plain-password", "--mqtt-queue", "--quiet", "--exit-on-line-lost",
          "--config", "--print-config"}},
        {{"stats", "--help"}, {"--lower", "--upper", "--rules", "--json"}},
    };
    for (const auto &v : verbs) {
        const Finished r = Kvex(v.words);
        EXPECT_EQ(r.code, 0) << v.words.join(' ').toStdString();
        for (const QString &o : v.options) {
            // An option is explained: it starts a line of its own in the text.
            EXPECT_TRUE(r.out.contains("\n  " + o) || (o == "SIGINT" && r.out.contains(o)))
                << v.words.join(' ').toStdString() << " " << o.toStdString();
        }
        EXPECT_TRUE(r.err.isEmpty()) << r.err.toStdString();
    }

    kvexsim::SensorSim sim(Fast());
    ASSERT_TRUE(sim.start());
    const QString port = QString::fromStdString(sim.devicePath());
    const QString file = Dir("quiet") + "/r.dat";
    const Finished info = Kvex({"info", "--port", port});
    EXPECT_EQ(info.code, 0);
    OnlyOwnWords(info);
    const Finished quiet =
        Kvex({"record", "--quiet", "--port", port, "--samples", "3", "--interval", "0", file});
    EXPECT_EQ(quiet.code, 0);
    EXPECT_EQ(quiet.err, QString("kvex: 3 samples recorded to %1\n").arg(file));
}

namespace {

// The figures of a recording worked out here from its lines: the value in µm
// is the fourth field of a text line, the sixth of a CSV line.
struct Expected {
    int n = 0;
    long double mean = 0, sigma = 0, within = 0;  // within: mean moving range / 1.128
    double min = 0, max = 0;
    int below = 0, inside = 0, above = 0;
    double lower = 0, upper = 0;  // the last line's limits (CSV)
    int disagree = 0;             // CSV lines whose exact value and limits tell another verdict
};

// A CSV line's value is its exact one (the last column) where it has it.
Expected FromLines(const QStringList &lines, bool csv, double lower = NAN, double upper = NAN) {
    Expected e;
    std::vector<double> um;
    for (const QString &line : lines) {
        const QStringList f = line.split(csv ? ',' : '\t');
        if (f.size() < 6 || (!csv && f.size() != 6) || (csv && f[0] == "sample")) continue;
        const double v = f[csv ? (f.size() == 15 ? 14 : 5) : 3].toDouble();
        um.push_back(v);
        QString verdict = csv ? f[11] : "none";
        if (csv) {
            e.lower = f[8].toDouble(), e.upper = f[9].toDouble();
            e.disagree += verdict != (v < e.lower ? "below" : v > e.upper ? "above" : "inside");
        }
        if (!std::isnan(lower)) verdict = v < lower ? "below" : v > upper ? "above" : "inside";
        e.below += verdict == "below", e.inside += verdict == "inside";
        e.above += verdict == "above";
    }
    e.n = static_cast<int>(um.size());
    if (e.n == 0) return e;
    e.min = *std::min_element(um.begin(), um.end());
    e.max = *std::max_element(um.begin(), um.end());
    for (double v : um) e.mean += v;
    e.mean /= e.n;
    for (double v : um) e.sigma += (v - e.mean) * (v - e.mean);
    e.sigma = std::sqrt(e.sigma / (e.n - 1));
    for (std::size_t i = 1; i < um.size(); ++i) e.within += std::fabs(um[i] - um[i - 1]);
    e.within = e.within / (e.n - 1) / 1.128L;
    return e;
}

void ExpectFigures(const QJsonObject &o, const Expected &e, int badLines) {
    EXPECT_EQ(o["n"].toInt(), e.n);
    EXPECT_NEAR(o["mean_mm"].toDouble(), static_cast<double>(e.mean / 1000), 2e-6);
    EXPECT_NEAR(o["sigma_mm"].toDouble(), static_cast<double>(e.sigma / 1000), 2e-6);
    EXPECT_DOUBLE_EQ(o["min_mm"].toDouble(), e.min / 1000.0);
    EXPECT_DOUBLE_EQ(o["max_mm"].toDouble(), e.max / 1000.0);
    EXPECT_EQ(o["below"].toInt(), e.below);
    EXPECT_EQ(o["inside"].toInt(), e.inside);
    EXPECT_EQ(o["above"].toInt(), e.above);
    EXPECT_EQ(o["bad_lines"].toInt(), badLines);
}

std::vector<QJsonObject> JsonLines(const QString &out) {
    std::vector<QJsonObject> objects;
    for (const QString &line : out.split('\n', Qt::SkipEmptyParts))
        objects.push_back(QJsonDocument::fromJson(line.toUtf8()).object());
    return objects;
}

void Record(const QString &port, const QString &file, bool csv) {
    QFile::remove(file);
    QStringList args = {"record", "--port", port, "--samples", "60", "--interval", "0", file};
    if (csv) args.insert(1, "--csv");
    const Finished r = Kvex(args);
    ASSERT_EQ(r.code, 0) << r.err.toStdString();
}

}  // namespace

// Recordings the recorder wrote, in both formats: every figure matches the
// one worked out from the file's lines; a CSV file judges by its own
// columns, a text file (which names no limits) by --lower and --upper.
TEST(CommandLine, StatsOfTextAndCsvRecordingsMatchTheirLines) {
    kvexsim::SimConfig cfg = Fast();
    cfg.swing = 0.02;
    cfg.motionPeriod = 0.3;
    kvexsim::SensorSim sim(cfg);
    ASSERT_TRUE(sim.start());
    const QString port = QString::fromStdString(sim.devicePath());
    const QString text = Out("stats.dat"), csv = Out("stats.csv");
    Record(port, text, false);
    Record(port, csv, true);

    const Finished json = Kvex({"stats", "--json", text, csv});
    ASSERT_EQ(json.code, 0) << json.err.toStdString();
    const auto objects = JsonLines(json.out);
    ASSERT_EQ(objects.size(), 2u) << json.out.toStdString();
    // The program without a window hands what it does not run back to kvex.
    const Finished handed = kvextest::RunProgram(
        QCoreApplication::applicationDirPath() + "/kvex-headless", {"stats", "--json", text, csv});
    EXPECT_EQ(handed.code, 0) << handed.err.toStdString();
    EXPECT_EQ(handed.out, json.out);
    const QStringList keys = {"file",
                              "n",
                              "mean_mm",
                              "sigma_mm",
                              "sigma_within_mm",
                              "min_mm",
                              "max_mm",
                              "cp",
                              "cpk",
                              "pp",
                              "ppk",
                              "below",
                              "inside",
                              "above",
                              "bad_lines",
                              "cp_ci95",
                              "cpk_ci95",
                              "pp_ci95",
                              "ppk_ci95",
                              "ppm_observed_below",
                              "ppm_observed_above",
                              "ppm_expected_below",
                              "ppm_expected_above",
                              "ad_a2",
                              "ad_p",
                              "rule_breaks"};
    for (const QJsonObject &o : objects) {
        QStringList have = o.keys(), want = keys;
        have.sort();
        want.sort();
        EXPECT_EQ(have, want);
    }
    EXPECT_EQ(objects[0]["file"].toString(), text);
    const Expected t = FromLines(Lines(text), false), c = FromLines(Lines(csv), true);
    ASSERT_GT(c.sigma, 0) << "the target moves";
    ExpectFigures(objects[0], t, 0);
    EXPECT_TRUE(objects[0]["cp"].isNull() && objects[0]["cpk"].isNull()) << "no limits named";
    ExpectFigures(objects[1], c, 0);
    EXPECT_EQ(c.disagree, 0) << "a value judged out reads as inside its limits";
    EXPECT_NEAR(objects[1]["cp"].toDouble(),
                static_cast<double>((c.upper - c.lower) / (6 * c.within)), 1e-3);
    EXPECT_NEAR(objects[1]["pp"].toDouble(),
                static_cast<double>((c.upper - c.lower) / (6 * c.sigma)), 1e-3);
    const long double ppk = std::min(c.upper - c.mean, c.mean - c.lower) / (3 * c.sigma);
    EXPECT_NEAR(objects[1]["ppk"].toDouble(), static_cast<double>(ppk), 1e-3);
    EXPECT_TRUE(json.err.contains("names no tolerance limits")) << json.err.toStdString();

    // The options win over the file's own limits; one alone is a one-sided
    // tolerance: Cpk, no Cp.
    // Whole µm, passed whole: the test and the program judge by the same limits.
    const double lower = std::floor(static_cast<double>(t.mean)) - 1, upper = lower + 3;
    const Finished judged =
        Kvex({"stats", "--json", "--lower", QString::number(lower / 1000, 'f', 3), "--upper",
              QString::number(upper / 1000, 'f', 3), text, csv});
    ASSERT_EQ(judged.code, 0);
    const auto again = JsonLines(judged.out);
    ASSERT_EQ(again.size(), 2u);
    ExpectFigures(again[0], FromLines(Lines(text), false, lower, upper), 0);
    ExpectFigures(again[1], FromLines(Lines(csv), true, lower, upper), 0);
    const Finished oneSided = Kvex({"stats", "--json", "--upper", "99", csv});
    const auto one = JsonLines(oneSided.out);
    ASSERT_EQ(one.size(), 1u);
    EXPECT_TRUE(one[0]["cp"].isNull() && one[0]["pp"].isNull());
    EXPECT_NEAR(one[0]["cpk"].toDouble(), static_cast<double>((99000 - c.mean) / (3 * c.within)),
                1e-3);
    EXPECT_NEAR(one[0]["ppk"].toDouble(), static_cast<double>((99000 - c.mean) / (3 * c.sigma)),
                1e-3);

    const Finished table = Kvex({"stats", csv});
    EXPECT_EQ(table.code, 0);
    EXPECT_TRUE(table.out.contains("mean [mm]") && table.out.contains(csv))
        << table.out.toStdString();
}

// A target that stands one unit beyond the upper limit at 0.25 µm a unit:
// the sensor's whole µm equals the limit, the exact value does not, and the
// statistics count by the exact value what the verdicts say.
TEST(CommandLine, AValueOneUnitBeyondALimitIsRecordedAndCountedBeyondIt) {
    kvexsim::SimConfig cfg = Fast();
    cfg.motion = false;
    cfg.restA = 2040.0 / 4096;  // A = 2040, the measured value in mode 1
    cfg.eeprom0[2] = 1999;      // teach A: the setpoint, 41 units below
    kvexsim::SensorSim sim(cfg);
    ASSERT_TRUE(sim.start());
    const QString csv = Out("one_beyond.csv");
    Record(QString::fromStdString(sim.devicePath()), csv, true);
    const QStringList rows = Lines(csv);
    ASSERT_EQ(rows.size(), 61);
    const QStringList f = rows[1].split(',');
    ASSERT_EQ(f.size(), 15);
    EXPECT_EQ(f[5], "37010");  // what the sensor says in whole µm: the limit itself
    EXPECT_EQ(f[9], "37010");
    EXPECT_EQ(f[11], "above");
    EXPECT_EQ(f[14], "37010.25");
    const Expected e = FromLines(rows, true);
    EXPECT_EQ(e.above, 60);
    EXPECT_EQ(e.disagree, 0);
    const Finished json = Kvex({"stats", "--json", csv});
    ASSERT_EQ(json.code, 0) << json.err.toStdString();
    const auto o = JsonLines(json.out);
    ASSERT_EQ(o.size(), 1u);
    EXPECT_EQ(o[0]["above"].toInt(), 60);
    EXPECT_EQ(o[0]["max_mm"].toDouble(), 37.01025);
    EXPECT_GT(o[0]["max_mm"].toDouble(), e.upper / 1000);
}

// A recording saved again by a spreadsheet (a byte-order mark, lines ending
// "\r\r\n") gives the figures of the original; a file whose lines are none
// of them samples is no recording to give figures of.
TEST(CommandLine, StatsReadWhatASpreadsheetSavesAndRefuseAFileOfBadLines) {
    kvexsim::SensorSim sim(Fast());
    ASSERT_TRUE(sim.start());
    const QString csv = Out("resaved.csv"), bom = Out("resaved_bom.csv"),
                  crcr = Out("resaved_crcr.csv"), bad = Out("resaved_bad.csv");
    Record(QString::fromStdString(sim.devicePath()), csv, true);
    QFile original(csv);
    ASSERT_TRUE(original.open(QIODevice::ReadOnly));
    const QByteArray bytes = original.readAll();
    auto write = [](const QString &path, const QByteArray &content) {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(content);
    };
    write(bom, "\xEF\xBB\xBF" + bytes);
    write(crcr, QByteArray(bytes).replace("\r\n", "\r\r\n"));
    QByteArray damaged = bytes.left(bytes.indexOf('\n') + 1);
    for (int i = 0; i < 50; ++i) damaged += "1,not a time,1,2,3,4,5,6\r\n";
    write(bad, damaged);

    const Finished r = Kvex({"stats", "--json", csv, bom, crcr});
    ASSERT_EQ(r.code, 0) << r.err.toStdString();
    const auto o = JsonLines(r.out);
    ASSERT_EQ(o.size(), 3u);
    for (const QString key : {"n", "mean_mm", "sigma_mm", "above", "bad_lines"}) {
        EXPECT_EQ(o[1][key], o[0][key]) << key.toStdString();
        EXPECT_EQ(o[2][key], o[0][key]) << key.toStdString();
    }
    EXPECT_EQ(o[0]["n"].toInt(), 60);
    const Finished none = Kvex({"stats", bad});
    EXPECT_EQ(none.code, 4);
    EXPECT_TRUE(none.err.contains("no line of it is a sample")) << none.err.toStdString();
}

// Lines that cannot be read are counted and never taken as values: the
// figures stay those of the good lines, and the first bad line is named. A
// missing file or one that is no recording ends with 4 once the others are
// done; words that make no verb with 2.
TEST(CommandLine, StatsCountsBadLinesAndRefusesWhatItCannotRead) {
    kvexsim::SensorSim sim(Fast());
    ASSERT_TRUE(sim.start());
    const QString csv = Out("stats_clean.csv"), damaged = Out("stats_damaged.csv");
    Record(QString::fromStdString(sim.devicePath()), csv, true);
    QStringList lines = Lines(csv);
    const QStringList good = lines;
    lines.insert(
        4, "4,2026-12-08T06:03:58.150+00:00,2075,2205,2075,3x018,1,1,36985,37010,37000,inside");
    lines.insert(7, "");
    lines.insert(9, lines[8].left(lines[8].size() / 2));
    lines.append("99,2026-12-08T06:03:58.150+00:00,1,2,3,40000,1,1,36985,37010,37000,maybe");
    // Limits the wrong way round: no value could lie between them.
    lines.append("98,2026-12-08T06:03:58.150+00:00,1,2,3,37000,1,1,37010,36985,37000,inside");
    QFile f(damaged);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write((lines.join("\r\n") + "\r\n").toUtf8());
    f.close();

    const Finished r = Kvex({"stats", "--json", damaged, Out("no_such.csv"), csv});
    EXPECT_EQ(r.code, 4);
    const auto objects = JsonLines(r.out);
    ASSERT_EQ(objects.size(), 2u) << "the readable files are reported";
    ExpectFigures(objects[0], FromLines(good, true), 5);
    ExpectFigures(objects[1], FromLines(good, true), 0);
    EXPECT_TRUE(r.err.contains("5 lines could not be read, the first is line 5"))
        << r.err.toStdString();
    EXPECT_TRUE(r.err.contains("cannot read " + Out("no_such.csv"))) << r.err.toStdString();

    const QString cfg = Out("stats_not_a_recording.cfg");
    QFile c(cfg);
    ASSERT_TRUE(c.open(QIODevice::WriteOnly | QIODevice::Truncate));
    c.write("500\n50\n512\n");
    c.close();
    const Finished notOne = Kvex({"stats", cfg});
    EXPECT_EQ(notOne.code, 4);
    EXPECT_TRUE(notOne.err.contains("no recording")) << notOne.err.toStdString();
    EXPECT_TRUE(notOne.out.isEmpty());

    for (const QStringList &words :
         {QStringList{"stats"}, QStringList{"stats", "--lower", "x", csv},
          QStringList{"stats", "--lower", "2", "--upper", "1", csv},
          QStringList{"stats", "--samples", "3", csv}, QStringList{"stats", "--rules", "1,9", csv},
          QStringList{"stats", "--rules", "", csv}, QStringList{"stats", csv, "--rules"}}) {
        const Finished bad = Kvex(words);
        EXPECT_EQ(bad.code, 2) << words.join(' ').toStdString();
        EXPECT_TRUE(bad.err.contains("Usage: kvex stats")) << bad.err.toStdString();
    }
}

namespace {

// A CSV recording of values at a scale of 0.75 µm a unit, limits 36980 and
// 37060 µm; drift adds `drift` units over the file, noise up to ±6 units.
QString WriteRecording(const char *name, double drift, unsigned seed) {
    const QString path = Out(name);
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate)) return {};
    f.write(kCsvRecordingHead);
    std::srand(seed);
    constexpr int kLines = 2000;
    for (int i = 0; i < kLines; ++i) {
        const int units =
            49333 + static_cast<int>(std::lround(drift * i / kLines)) + std::rand() % 13 - 6;
        const double um = units * 0.75;
        const char *verdict = um < 36980 ? "below" : um > 37060 ? "above" : "inside";
        f.write(QString("%1,2026-12-08T06:03:58.150+00:00,2075,2205,%2,%3,1,1,36980,37060,37000,"
                        "%4,0.75,49333,%5\r\n")
                    .arg(i + 1)
                    .arg(units)
                    .arg(std::lround(um))
                    .arg(verdict)
                    .arg(um, 0, 'g', 17)
                    .toUtf8());
    }
    return path;
}

// Points beyond 3σ within of the mean, and the ninth and later of a run on
// one side: rules 1 and 2 worked out here over every value.
std::pair<int, int> RuleOneAndTwo(const std::vector<long double> &um, long double mean,
                                  long double within) {
    int beyond = 0, nine = 0, run = 0, side = 0;
    for (const long double v : um) {
        beyond += std::fabs(v - mean) > 3 * within;
        const int s = v > mean ? 1 : v < mean ? -1 : 0;
        run = s != 0 && s == side ? run + 1 : s != 0;
        side = s;
        nine += run >= 9;
    }
    return {beyond, nine};
}

}  // namespace

// Capability by the book, against figures worked out here in long double
// from the file's own lines: Cp and Cpk from the within σ (mean moving range
// / 1.128), Pp and Ppk from the overall σ. A drift parts them clearly; with
// none they nearly agree. The rule breaks name the chosen rules only and
// count over every value, not only the chart's newest.
TEST(CommandLine, StatsCapabilityByTheBookWithAndWithoutDrift) {
    const QString drift = WriteRecording("drift.csv", 40, 3),
                  flat = WriteRecording("flat.csv", 0, 5);
    const Finished r = Kvex({"stats", "--json", "--rules", "1,2,3,5", drift, flat});
    ASSERT_EQ(r.code, 0) << r.err.toStdString();
    const auto objects = JsonLines(r.out);
    ASSERT_EQ(objects.size(), 2u) << r.out.toStdString();
    for (int k = 0; k < 2; ++k) {
        std::vector<long double> um;
        for (const QString &line : Lines(k ? flat : drift)) {
            const QStringList f = line.split(',');
            if (f.size() == 15 && f[0] != "sample") um.push_back(f[14].toDouble());
        }
        ASSERT_EQ(um.size(), 2000u);
        long double mean = 0, squares = 0, ranges = 0;
        for (const long double v : um) mean += v;
        mean /= um.size();
        for (std::size_t i = 0; i < um.size(); ++i) {
            squares += (um[i] - mean) * (um[i] - mean);
            if (i > 0) ranges += std::fabs(um[i] - um[i - 1]);
        }
        const long double sigma = std::sqrt(squares / (um.size() - 1));
        const long double within = ranges / (um.size() - 1) / 1.128L;
        const long double lower = 36980, upper = 37060;
        const QJsonObject &o = objects[k];
        auto expectClose = [&](const char *key, long double want) {
            EXPECT_NEAR(o[key].toDouble(), static_cast<double>(want),
                        1e-9 * std::fabs(static_cast<double>(want)))
                << key << (k ? " without drift" : " with drift");
        };
        expectClose("mean_mm", mean / 1000);
        expectClose("sigma_mm", sigma / 1000);
        expectClose("sigma_within_mm", within / 1000);
        expectClose("cp", (upper - lower) / (6 * within));
        expectClose("cpk", std::min(upper - mean, mean - lower) / (3 * within));
        expectClose("pp", (upper - lower) / (6 * sigma));
        expectClose("ppk", std::min(upper - mean, mean - lower) / (3 * sigma));
        const double parted = o["cp"].toDouble() / o["pp"].toDouble();
        if (k == 0) {
            EXPECT_GT(parted, 2) << "the drift widens the overall σ only";
        } else {
            EXPECT_NEAR(parted, 1, 0.15);
        }
        const QJsonObject breaks = o["rule_breaks"].toObject();
        EXPECT_EQ(breaks.keys(), (QStringList{"1", "2", "3", "5"}));
        const auto [one, two] = RuleOneAndTwo(um, mean, within);
        EXPECT_EQ(breaks["1"].toInt(), one);
        EXPECT_EQ(breaks["2"].toInt(), two);
        if (k == 0) {
            EXPECT_GT(two, 300) << "a drift keeps long runs on one side";
        }
    }
    const Finished table = Kvex({"stats", "--rules", "2", drift});
    EXPECT_EQ(table.code, 0);
    EXPECT_TRUE(table.out.contains("within [mm]") && table.out.contains("Ppk") &&
                table.out.contains(" 2:"))
        << table.out.toStdString();
}

// A station's options from a file: the command line wins, flags read yes or
// no, --print-config shows what is in force and where the password comes
// from but never the password; a password in the file's own text, a key no
// option has and a flag that is neither yes nor no are refused with the line.
TEST(CommandLine, AConfigFileSetsTheOptionsTheCommandLineWinsAndHoldsNoPassword) {
    const QString dir = Dir("config");
    const QString conf = dir + "/station.conf";
    const auto write = [](const QString &path, const QByteArray &text) {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(text);
    };
    write(conf,
          "# line 3, gauge 1\n\n  port = /dev/ttyUSB7  \nmqtt=mqtts://station@broker/plant/g1\n"
          "mqtt-queue = 500\nquiet = yes\nexit-on-line-lost = no\nduration = 5\n");
    const QString credentials = dir + "/credentials";
    QDir().mkpath(credentials);
    write(credentials + "/mqtt-password", "s3cret-Word\n");
    QFile::setPermissions(credentials + "/mqtt-password", QFile::ReadOwner | QFile::WriteOwner);
    const auto with = [](const char *key, const QString &value) {
        QProcessEnvironment env;
        env.insert(key, value);
        return env;
    };
    const struct {
        QProcessEnvironment env;
        const char *password;
    } sources[] = {
        {{}, "# password: none\n"},
        {with("KVEX_MQTT_PASSWORD", "s3cret-Word"), "# password: from KVEX_MQTT_PASSWORD\n"},
        {with("CREDENTIALS_DIRECTORY", credentials), "/credentials/mqtt-password\n"},
    };
    for (const auto &s : sources) {
        const Finished shown = Kvex(
            {"publish", "--config", conf, "--mqtt-queue", "700", "--print-config"}, nullptr, s.env);
        EXPECT_EQ(shown.code, 0) << shown.err.toStdString();
        for (const char *line :
             {"port = /dev/ttyUSB7\n", "mqtt = mqtts://station@broker/plant/g1\n",
              "mqtt-queue = 700\n", "quiet = yes\n", "duration = 5\n", "exit-on-line-lost = no\n",
              s.password})
            EXPECT_TRUE(shown.out.contains(line)) << line << " in\n" << shown.out.toStdString();
        EXPECT_FALSE(shown.out.contains("s3cret")) << "never the password itself";
    }

    const struct {
        QByteArray text;
        const char *why;
    } refused[] = {
        {"port = /dev/ttyUSB7\npassword = s3cret-Word\n", "line 2: no password"},
        {"mqtt-password = s3cret-Word\n", "line 1: no password"},
        {"port = /dev/ttyUSB7\nspeed = 9600\n", "line 2: no option speed"},
        {"quiet = maybe\n", "line 1: quiet is yes or no"},
        {"port /dev/ttyUSB7\n", "line 1: no \"key = value\""},
        {"samples = 5\n", "line 1: no option samples"},  // not an option of publish
    };
    for (const auto &r : refused) {
        write(conf, r.text);
        const Finished f = Kvex({"publish", "--config", conf, "--mqtt", "mqtts://h/x"});
        EXPECT_EQ(f.code, 2) << r.text.toStdString() << f.err.toStdString();
        EXPECT_TRUE(f.err.contains(r.why)) << f.err.toStdString();
        EXPECT_FALSE(f.err.contains("s3cret")) << f.err.toStdString();
    }
    const Finished missing = Kvex({"publish", "--config", dir + "/none.conf", "--print-config"});
    EXPECT_EQ(missing.code, 4) << missing.err.toStdString();
    EXPECT_TRUE(missing.err.contains("no such file")) << missing.err.toStdString();
}

// The service's files: the example configuration is one that kvex takes,
// and systemd (where it is installed) accepts the unit, run from this build.
TEST(CommandLine, TheStationsExampleConfigurationAndUnitAreAccepted) {
    const QString packaging = QStringLiteral(KVEX_SOURCE_DIR "/packaging/");
    const Finished example =
        Kvex({"publish", "--config", packaging + "station.conf.example", "--print-config"});
    EXPECT_EQ(example.code, 0) << example.err.toStdString();
    EXPECT_TRUE(example.out.contains("port = /dev/ttyUSB0\n")) << example.out.toStdString();

    if (QProcess::execute("sh", {"-c", "command -v systemd-analyze >/dev/null"}) != 0)
        GTEST_SKIP() << "systemd-analyze is not installed";
    QFile unit(packaging + "kvex-station@.service");
    ASSERT_TRUE(unit.open(QIODevice::ReadOnly));
    QByteArray text = unit.readAll();
    ASSERT_TRUE(text.contains("ExecStart=/usr/bin/kvex publish --config /etc/kvex/%i.conf\n"));
    // verify wants the program it starts to be there.
    text.replace("/usr/bin/kvex", KvexProgram().toUtf8());
    const QString dir = Dir("unit");
    QFile instance(dir + "/kvex-station@line3.service");
    ASSERT_TRUE(instance.open(QIODevice::WriteOnly));
    instance.write(text);
    instance.close();
    QProcess verify;
    verify.setWorkingDirectory(dir);
    verify.start("systemd-analyze", {"verify", "--man=no", "./kvex-station@line3.service"});
    ASSERT_TRUE(verify.waitForFinished(60000));
    const QString said =
        QString::fromUtf8(verify.readAllStandardError() + verify.readAllStandardOutput());
    EXPECT_EQ(verify.exitCode(), 0) << said.toStdString();
    EXPECT_TRUE(said.trimmed().isEmpty()) << said.toStdString();
}
