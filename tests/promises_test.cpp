// What the program promises to keep, it keeps or says it cannot: the
// Sparkplug bdSeq, the strings it hands a broker, and the options a station
// is configured with, as the service manager starts it.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QString>
#include <QStringList>

#include "csv_recording.h"
#include "kvex_process.h"
#include "plant.h"
#include "sensor_sim.h"

using namespace kvextest;

namespace {

QString Dir(const char *name) { return kvextest::FreshDir(QStringLiteral("promises_") + name); }

QString Write(const QString &path, const QByteArray &text) {
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate)) return {};
    f.write(text);
    return path;
}

}  // namespace

// A node whose bdSeq cannot be kept would birth with the same one at every
// start: it does not start, says where and why, and ends with exit 4 before
// the broker hears of it. Kept, the next start births with the next bdSeq.
TEST(KeptState, ASparkplugNodeThatCannotKeepItsBdSeqRefusesToStart) {
    Broker broker("kept");
    ASSERT_TRUE(broker.Start());
    kvexsim::SensorSim sim(Sensor(false));
    ASSERT_TRUE(sim.start());
    const QString dir = Dir("kept");
    const QString notAFolder = Write(dir + "/file", "x");
    const QStringList publish = {"publish",
                                 "--port",
                                 QString::fromStdString(sim.devicePath()),
                                 "--mqtt",
                                 QString("mqtt://127.0.0.1:%1").arg(broker.port()),
                                 "--sparkplug",
                                 "kept/node",
                                 "--duration",
                                 "1"};
    const QString unkeepable = notAFolder + "/settings.conf";
    const Finished refused = RunKvex(publish, Env({{"KVEX_SETTINGS", unkeepable}}));
    EXPECT_EQ(refused.code, 4) << refused.err.toStdString();
    EXPECT_TRUE(refused.err.contains("the Sparkplug bdSeq cannot be kept in " + unkeepable +
                                     ": Not a directory"))
        << refused.err.toStdString();
    EXPECT_FALSE(broker.Logged("New client connected")) << "nothing went to the broker";

    const QString settings = dir + "/settings.conf";
    for (int start = 0; start < 2; ++start) {
        const Finished kept = RunKvex(publish, Env({{"KVEX_SETTINGS", settings}}));
        EXPECT_EQ(kept.code, 0) << kept.err.toStdString();
    }
    QFile f(settings);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_TRUE(f.readAll().contains("bdSeq=2")) << "two starts, each with its own bdSeq";
    const Finished printed = RunKvex({"publish", "--port", "/dev/null", "--mqtt", "mqtt://h/x",
                                      "--sparkplug", "kept/node", "--print-config"},
                                     Env({{"KVEX_SETTINGS", settings}}));
    EXPECT_TRUE(printed.out.contains("# kept across starts (the Sparkplug bdSeq) in: " + settings))
        << printed.out.toStdString();
}

// The unit starts a station without a password as shipped: it names no
// credential whose file could be missing, and keeps its settings in a state
// folder of its own, which the hardening leaves writable.
TEST(ServiceUnit, NamesNoCredentialThatMayBeMissingAndKeepsItsStateInItsOwnFolder) {
    QFile unit(QStringLiteral(KVEX_SOURCE_DIR "/packaging/kvex-station@.service"));
    ASSERT_TRUE(unit.open(QIODevice::ReadOnly));
    QStringList settings;
    QString stateFolder;
    for (const QString &line : QString::fromUtf8(unit.readAll()).split('\n')) {
        EXPECT_FALSE(line.startsWith("LoadCredential")) << line.toStdString();
        if (line.startsWith("StateDirectory=")) stateFolder = line.mid(15);
        if (line.startsWith("Environment=KVEX_SETTINGS=")) settings << line.mid(26);
    }
    ASSERT_EQ(stateFolder, "kvex-station/%i");
    ASSERT_EQ(settings.size(), 1);
    EXPECT_TRUE(settings[0].startsWith("/var/lib/" + stateFolder + "/"))
        << settings[0].toStdString();
}

// What would never connect, and never say why, is refused before the
// sensor or the broker hears anything: a client id with a control
// character, a user name that is no UTF-8 text.
TEST(BrokerStrings, AClientIdOrUserTheBrokerCannotTakeIsRefusedFirst) {
    Broker broker("strings");
    ASSERT_TRUE(broker.Start());
    kvexsim::SensorSim sim(Sensor(false));
    ASSERT_TRUE(sim.start());
    const QString port = QString::fromStdString(sim.devicePath());
    const QString url = QString("mqtt://127.0.0.1:%1/s").arg(broker.port());
    const Finished id = RunKvex({"publish", "--port", port, "--mqtt", url, "--mqtt-client-id",
                                 "line\x01gauge", "--duration", "1"});
    EXPECT_EQ(id.code, 2) << id.err.toStdString();
    EXPECT_TRUE(
        id.err.contains("--mqtt-client-id cannot go to the broker: it holds a control "
                        "character"))
        << id.err.toStdString();
    // Words that are no UTF-8 cannot travel in a QString: the shell makes them.
    const Finished user =
        RunProgram("sh", {"-c",
                          "exec \"$0\" publish --port \"$1\" --duration 1 --mqtt \"$(printf "
                          "'mqtt://st\\351@127.0.0.1:%s/s' \"$2\")\"",
                          KvexProgram(), port, QString::number(broker.port())});
    EXPECT_EQ(user.code, 2) << user.err.toStdString();
    EXPECT_TRUE(user.err.contains("the user name cannot go to the broker: it is not valid UTF-8"))
        << user.err.toStdString();
    EXPECT_EQ(sim.commandCount(kvexsim::kLineCheck), 0) << "the sensor was asked nothing";
    EXPECT_FALSE(broker.Logged("New client connected")) << "the broker saw no one";
}

// A configuration file read as a person wrote it: a key set twice is
// refused with both lines; a switch it sets can be undone on the command
// line; an editor's byte-order mark is no part of the first key; what
// --print-config writes reads back as the same options, or is refused.
TEST(Config, DuplicatesAreRefusedSwitchesUndoneAndThePrintReadsBack) {
    const QString dir = Dir("config");
    const auto publish = [](const QString &conf, const QStringList &more = {},
                            const QProcessEnvironment &env = {}) {
        return RunKvex(QStringList{"publish", "--config", conf} + more, env);
    };
    const Finished twice = publish(Write(dir + "/twice.conf",
                                         "port = /dev/a\nmqtt = mqtt://h/x\n"
                                         "# the sensor moved\nport = /dev/b\n"),
                                   {"--print-config"});
    EXPECT_EQ(twice.code, 2) << twice.err.toStdString();
    EXPECT_TRUE(twice.err.contains("line 4: port is set twice, on lines 1 and 4"))
        << twice.err.toStdString();

    const QString quiet = Write(dir + "/quiet.conf",
                                "\xEF\xBB\xBFport = /dev/a\n"
                                "mqtt = mqtt://h/x\nquiet = yes\n");
    EXPECT_TRUE(publish(quiet, {"--print-config"}).out.contains("quiet = yes\n"));
    const Finished loud = publish(quiet, {"--no-quiet", "--print-config"});
    EXPECT_EQ(loud.code, 0) << loud.err.toStdString();
    EXPECT_TRUE(loud.out.contains("port = /dev/a\n")) << "the first key after the BOM";
    EXPECT_TRUE(loud.out.contains("quiet = no\n")) << loud.out.toStdString();
    EXPECT_TRUE(publish(Write(dir + "/no.conf", "port = /dev/a\nmqtt = mqtt://h/x\nquiet = no\n"),
                        {"--print-config"})
                    .out.contains("quiet = no\n"));

    // A value with a line break would print as an option of its own.
    const Finished injected =
        publish(quiet, {"--mqtt-client-id", "a\nport = /evil", "--print-config"});
    EXPECT_EQ(injected.code, 2) << injected.err.toStdString();
    EXPECT_FALSE(injected.out.contains("/evil")) << injected.out.toStdString();
    // Read back, the print gives the same print.
    const Finished first = publish(quiet, {"--print-config"});
    const Finished again =
        publish(Write(dir + "/printed.conf", first.out.toUtf8()), {"--print-config"});
    EXPECT_EQ(again.code, 0) << again.err.toStdString();
    EXPECT_EQ(again.out, first.out);

    // What needs another option says so; the print tells where a password
    // would come from, and what the station would refuse.
    const Finished host = publish(quiet, {"--sparkplug-host", "scada"});
    EXPECT_EQ(host.code, 2);
    EXPECT_TRUE(host.err.contains("--sparkplug-host needs --sparkplug")) << host.err.toStdString();
    const Finished password =
        publish(quiet, {"--print-config"}, Env({{"KVEX_MQTT_PASSWORD", "s3cret-Word"}}));
    EXPECT_EQ(password.code, 0) << password.err.toStdString();
    EXPECT_TRUE(password.out.contains("# password: from KVEX_MQTT_PASSWORD"));
    EXPECT_TRUE(password.out.contains("# refused as it stands: mqtt:// is not encrypted"));
    EXPECT_FALSE(password.out.contains("s3cret")) << "a password is never shown";
}

// Every verb takes --quiet, as the usage promises: the ones that read
// recordings too.
TEST(Config, EveryVerbTakesQuiet) {
    const QString dir = Dir("quiet");
    QByteArray text = kCsvRecordingHead;
    for (int i = 1; i <= 5; ++i)
        text += QString(
                    "%1,2026-12-08T06:00:0%1.000+00:00,2075,2205,49333,37000,1,1,36980,37060,"
                    "37000,inside,0.75,49333,36999.75\r\n")
                    .arg(i)
                    .toUtf8();
    const QString file = Write(dir + "/run.csv", text);
    for (const QStringList &args :
         {QStringList{"stats", "--quiet", file},
          {"stats", "--events", "--quiet", file},
          {"report", "--quiet", file, "-o", dir + "/r.pdf"},
          {"gauge-study", "--quiet", "--reference", "37", "--tolerance", "0.1", file}}) {
        const Finished f = RunKvex(args);
        EXPECT_EQ(f.code, 0) << args.join(' ').toStdString() << ": " << f.err.toStdString();
    }
}
