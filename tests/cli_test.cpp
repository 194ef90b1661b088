// The command-line verbs as a script runs them: the real kvex program as a
// process of its own, against the simulated sensor on a real pseudo-terminal.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QStringList>
#include <string>

#include "sensor_sim.h"

namespace {

struct Finished {
    int code = -1;
    QString out, err;
};

Finished Kvex(const QStringList &args) {
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("ASAN_OPTIONS", "detect_leaks=0");
    p.setProcessEnvironment(env);
    p.start(QCoreApplication::applicationDirPath() + "/kvex", args);
    p.waitForFinished(60000);
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1,
            QString::fromUtf8(p.readAllStandardOutput()),
            QString::fromUtf8(p.readAllStandardError())};
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
                                      "measured value [µm],edges A,edges B"));
    const QRegularExpression sample(
        "^\\d+,\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}[+-]\\d\\d:\\d\\d(,-?\\d+){6}$");
    for (int i = 1; i < rows.size(); ++i) {
        EXPECT_TRUE(sample.match(rows[i]).hasMatch()) << rows[i].toStdString();
        EXPECT_TRUE(rows[i].startsWith(QString::number(i) + ","));
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
