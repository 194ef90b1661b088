// Publishing through a real broker: the kvex program as a process of its own
// (or, for runs one after another, the front-end in the test's process), the
// simulated sensor on a real pseudo-terminal, and the plant's broker and
// subscriber of the test's own.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QThread>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <set>

#include "kvex_app.h"
#include "plant.h"
#include "publish.h"
#include "sensor_sim.h"
#include "ui_qt.h"

using namespace kvextest;

TEST(Publishing, EverySampleArrivesOnceInOrderWithEveryFieldAndTheStateGoesOnlineThenOffline) {
    Broker broker("delivery");
    ASSERT_TRUE(broker.Start());
    kvexsim::SensorSim sim(Sensor(false));
    ASSERT_TRUE(sim.start());
    const QString port = QString::fromStdString(sim.devicePath());
    Subscriber plant(broker, "line/gauge1");

    const Finished run =
        Kvex({"publish", "--port", port, "--mqtt", broker.url("line/gauge1"), "--duration", "2"});
    ASSERT_EQ(run.code, 0) << run.err.toStdString();
    EXPECT_TRUE(run.err.contains("all published")) << run.err.toStdString();
    const long measured = Measured(run.err);
    ASSERT_GT(measured, 10);
    ASSERT_TRUE(plant.HeardTheEnd("line/gauge1"));

    const QList<QJsonObject> samples = plant.Of("line/gauge1/measurement");
    ASSERT_EQ(samples.size(), measured) << "each sample exactly once";
    const QRegularExpression iso(
        "^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}[+-]\\d\\d:\\d\\d$");
    const std::set<QString> verdicts = {"inside", "below", "above", "none"};
    const QString runId = samples.value(0)["run"].toString();
    EXPECT_TRUE(
        QRegularExpression(iso.pattern().chopped(1) + " line/gauge1$").match(runId).hasMatch())
        << "the run is named by its start and the station's topic root: " << runId.toStdString();
    for (int i = 0; i < samples.size(); ++i) {
        const QJsonObject &s = samples[i];
        EXPECT_EQ(s["run"].toString(), runId);
        EXPECT_EQ(s["seq"].toInteger(), i + 1) << "the process's first messages";
        EXPECT_EQ(s["sample"].toInteger(), i + 1);
        EXPECT_TRUE(iso.match(s["time"].toString()).hasMatch())
            << s["time"].toString().toStdString();
        const double um = s["value_um"].toDouble();
        EXPECT_DOUBLE_EQ(s["value_mm"].toDouble() * 1000, um);
        EXPECT_GT(um, 0);
        EXPECT_LT(std::abs(um - s["sensor_um"].toInteger()), 1.0);
        EXPECT_TRUE(s["a"].isDouble() && s["b"].isDouble());
        EXPECT_TRUE(verdicts.count(s["verdict"].toString()));
        EXPECT_LT(s["lower_um"].toDouble(), s["upper_um"].toDouble());
        EXPECT_TRUE(s["setpoint_um"].isDouble());
        EXPECT_EQ(s.size(), 13);
    }

    const QList<QJsonObject> states = plant.Of("line/gauge1/state");
    ASSERT_GE(states.size(), 2);
    // While samples flow the queue's figures change all along; the retained
    // state goes again only when what it means does.
    const auto meaning = [](QJsonObject o) {
        o.remove("queued");
        o.remove("dropped");
        return o;
    };
    for (int i = 1; i < states.size(); ++i)
        EXPECT_NE(meaning(states[i]), meaning(states[i - 1]))
            << "state " << i << ": " << QJsonDocument(states[i]).toJson().toStdString();
    EXPECT_TRUE(states.front()["online"].toBool());
    for (const QJsonObject &s : states)  // each says when it was said, with the zone
        EXPECT_TRUE(QRegularExpression(
                        "^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}[+-]\\d\\d:\\d\\d$")
                        .match(s["time"].toString())
                        .hasMatch())
            << QJsonDocument(s).toJson().toStdString();
    EXPECT_EQ(states.front()["port"].toString(), port);
    EXPECT_TRUE(states.front()["sensor"].toString().contains("K-VEX sensor simulator"));
    EXPECT_TRUE(std::any_of(states.begin(), states.end(),
                            [](const QJsonObject &s) { return s["mode"] == "run"; }));
    EXPECT_FALSE(states.back()["online"].toBool());
    EXPECT_EQ(states.back()["reason"], "stopped");
    EXPECT_EQ(Retained(broker, "line/gauge1/state")["reason"], "stopped");

    const QJsonObject info = Retained(broker, "line/gauge1/info");
    EXPECT_EQ(info["hardware"].toArray().size(), 3);
    EXPECT_TRUE(info["hardware"].toArray()[0].toString().contains("µm"));
    EXPECT_EQ(info["parameters"]["frame0"].toArray().size(), 15);
    EXPECT_EQ(info["parameters"]["frame1"].toArray().size(), 15);
}

TEST(Publishing, RecordPublishesWhatItRecordsAndAKilledPublisherLeavesItsLastWill) {
    Broker broker("will");
    ASSERT_TRUE(broker.Start());
    kvexsim::SensorSim sim(Sensor(false));
    ASSERT_TRUE(sim.start());
    const QString port = QString::fromStdString(sim.devicePath());
    {
        Subscriber plant(broker, "rec");
        const QString file = Scratch("recorded.csv");
        QFile::remove(file);
        const Finished rec = Kvex({"record", "--port", port, "--samples", "7", "--interval", "0",
                                   "--csv", "--mqtt", broker.url("rec"), file});
        ASSERT_EQ(rec.code, 0) << rec.err.toStdString();
        ASSERT_TRUE(plant.HeardTheEnd("rec"));
        const QList<QJsonObject> samples = plant.Of("rec/measurement");
        ASSERT_EQ(samples.size(), 7);
        EXPECT_EQ(samples.back()["sample"].toInteger(), 7);
    }

    QProcess station;
    PrepareKvex(station);
    station.start(KvexProgram(), {"publish", "--port", port, "--mqtt", broker.url("killed")});
    ASSERT_TRUE(station.waitForStarted(30000));
    EXPECT_TRUE(Within(60, [&] { return Retained(broker, "killed/state")["online"].toBool(); }))
        << "online while it runs";
    kill(static_cast<pid_t>(station.processId()), SIGKILL);
    station.waitForFinished(30000);
    const QJsonObject will({{"online", false}, {"reason", "died"}});
    EXPECT_TRUE(Within(60, [&] { return Retained(broker, "killed/state") == will; }))
        << "the broker's last will stands for the front-end that died: "
        << QJsonDocument(Retained(broker, "killed/state")).toJson().toStdString();
}

TEST(Publishing, ABrokerAwayForTenSecondsLosesNoSampleAndKeepsTheOrder) {
    Broker broker("restart", "", true);
    ASSERT_TRUE(broker.Start());
    kvexsim::SensorSim sim(Sensor(true));  // the line's own pace
    ASSERT_TRUE(sim.start());
    Subscriber plant(broker, "restart");

    QProcess station;
    PrepareKvex(station);
    station.start(KvexProgram(), {"publish", "--port", QString::fromStdString(sim.devicePath()),
                                  "--mqtt", broker.url("restart"), "--duration", "24"});
    ASSERT_TRUE(station.waitForStarted(30000));
    ASSERT_TRUE(Within(60, [&] { return plant.Of("restart/measurement").size() >= 20; }));
    broker.Stop();
    QThread::sleep(10);  // the fault itself: the broker away while samples go on
    ASSERT_TRUE(broker.Start());
    ASSERT_TRUE(station.waitForFinished(120000));
    const QString err = QString::fromUtf8(station.readAllStandardError());
    EXPECT_EQ(station.exitCode(), 0) << err.toStdString();
    EXPECT_TRUE(err.contains(QRegularExpression("MQTT broker .* (unreachable|refused): .* queued")))
        << err.toStdString();
    ASSERT_TRUE(plant.HeardTheEnd("restart"));
    ExpectWholeAndInOrder(plant.Of("restart/measurement"), 1, Measured(err));
    // The retained state never goes back in time: what the state said while
    // the broker was away does not follow the reconnect's own word. (A
    // message the restarted broker hands the plant again is the same one;
    // the will it tells for the connection it lost says no time.)
    QDateTime newest;
    QSet<QString> heard;
    for (const QJsonObject &state : plant.Of("restart/state")) {
        const QString text = QJsonDocument(state).toJson(QJsonDocument::Compact);
        if (heard.contains(text) || !state.contains("time")) continue;
        heard.insert(text);
        const QDateTime said = QDateTime::fromString(state["time"].toString(), Qt::ISODateWithMs);
        EXPECT_GE(said, newest) << text.toStdString();
        newest = std::max(newest, said);
    }
}

// A broker that restarts without its store has lost the retained state and
// info, and took the station for dead: the station tells both again as soon
// as it is back, the state saying why, and the present state follows.
TEST(Publishing, ABrokerThatLostItsStoreHearsTheStateAndTheSensorAgain) {
    Broker broker("amnesia");
    ASSERT_TRUE(broker.Start());
    kvexsim::SensorSim sim(Sensor(true));
    ASSERT_TRUE(sim.start());
    QProcess station;
    PrepareKvex(station);
    station.start(KvexProgram(), {"publish", "--port", QString::fromStdString(sim.devicePath()),
                                  "--mqtt", broker.url("amnesia"), "--duration", "30"});
    ASSERT_TRUE(station.waitForStarted(30000));
    ASSERT_TRUE(Within(60, [&] { return !Retained(broker, "amnesia/info").isEmpty(); }));
    broker.Stop();
    ASSERT_TRUE(broker.Start());
    Subscriber plant(broker, "amnesia");
    EXPECT_TRUE(Within(60, [&] { return !Retained(broker, "amnesia/info").isEmpty(); }))
        << "the sensor told again";
    EXPECT_EQ(Retained(broker, "amnesia/info")["hardware"].toArray().size(), 3);
    EXPECT_TRUE(Within(60, [&] {
        const QJsonObject s = Retained(broker, "amnesia/state");
        return s["online"].toBool() && s["mode"] == "run" && !s.contains("reason");
    })) << QJsonDocument(Retained(broker, "amnesia/state")).toJson().toStdString();
    kill(static_cast<pid_t>(station.processId()), SIGTERM);
    ASSERT_TRUE(station.waitForFinished(30000));
    EXPECT_TRUE(plant.Heard("amnesia/state", [](const QJsonObject &s) {
        return s["online"].toBool() && s["reason"] == "broker reconnect";
    })) << "the first word after the restart says why";
}

TEST(Publishing, AFullQueueDropsTheOldestAndCountsThem) {
    Broker broker("full", "", true);
    ASSERT_TRUE(broker.Start());
    std::unique_ptr<Subscriber> plant = std::make_unique<Subscriber>(broker, "full");
    broker.Stop();
    kvexsim::SensorSim sim(Sensor(true));
    ASSERT_TRUE(sim.start());

    // No broker for the first seconds: 20 samples fit the queue, the older go.
    QProcess station;
    PrepareKvex(station);
    station.start(KvexProgram(),
                  {"publish", "--port", QString::fromStdString(sim.devicePath()), "--mqtt",
                   broker.url("full"), "--duration", "6", "--mqtt-queue", "20"});
    ASSERT_TRUE(station.waitForStarted(30000));
    // The broker comes once more samples were measured than the queue holds.
    ASSERT_TRUE(Within(60, [&] { return sim.commandCount(kvexsim::kRawValues) > 30; }));
    ASSERT_TRUE(broker.Start());
    ASSERT_TRUE(station.waitForFinished(120000));
    const QString err = QString::fromUtf8(station.readAllStandardError());
    EXPECT_EQ(station.exitCode(), 6) << "dropped samples are no success: " << err.toStdString();
    // The first drop is said when it happens, once, long before the last line.
    const QString dropping = "the oldest samples are being dropped";
    EXPECT_EQ(err.count(dropping), 1) << err.toStdString();
    EXPECT_LT(err.indexOf(dropping), err.indexOf("samples measured")) << err.toStdString();
    const auto m = QRegularExpression("(\\d+) dropped \\(queue full\\)").match(err);
    ASSERT_TRUE(m.hasMatch()) << err.toStdString();
    const long dropped = m.captured(1).toLong();
    EXPECT_GT(dropped, 0);
    // The queue was emptied at the end: the line names no sample as unpublished.
    EXPECT_FALSE(err.contains("not published")) << err.toStdString();
    const auto published = QRegularExpression("(\\d+) published").match(err);
    ASSERT_TRUE(published.hasMatch()) << err.toStdString();
    EXPECT_EQ(published.captured(1).toLong() + dropped, Measured(err)) << err.toStdString();
    ASSERT_TRUE(plant->HeardTheEnd("full"));
    const QList<QJsonObject> samples = plant->Of("full/measurement");
    ASSERT_FALSE(samples.isEmpty());
    // What is on the wire stays there: the oldest not yet sent make room, so
    // what the plant misses is exactly what was counted, and the newest came.
    std::set<long> seen;
    long newest = 0;
    for (const QJsonObject &s : samples) {
        const long n = s["sample"].toInteger();
        EXPECT_EQ(s["seq"].toInteger(), n) << "the dropped had theirs";
        if (seen.count(n)) continue;
        EXPECT_GT(n, newest) << "in order";
        newest = n;
        seen.insert(n);
    }
    EXPECT_EQ(newest, Measured(err));
    EXPECT_EQ(static_cast<long>(seen.size()) + dropped, Measured(err));
}

TEST(Publishing, EachBrokerFaultSaysWhyWhileMeasuringGoesOnAndTlsWorksWithTheTestsCa) {
    kvexsim::SensorSim sim(Sensor(false));
    ASSERT_TRUE(sim.start());
    const QString port = QString::fromStdString(sim.devicePath());
    const auto publish = [&](const QString &url, const QStringList &more = {},
                             const QString &password = {}) {
        return Kvex(
            QStringList{"publish", "--port", port, "--mqtt", url, "--duration", "1.5"} + more,
            password);
    };
    const auto expectFault = [](const Finished &f, const char *why) {
        EXPECT_EQ(f.code, 6) << f.err.toStdString();
        EXPECT_TRUE(f.err.contains(why)) << f.err.toStdString();
        EXPECT_GT(Measured(f.err), 0) << "the measurement went on";
    };

    // A wildcard root is refused before anything starts.
    const Finished wildcard = Kvex({"publish", "--port", port, "--mqtt", "mqtt://h/line/#"});
    EXPECT_EQ(wildcard.code, 2);
    EXPECT_TRUE(wildcard.err.contains("wildcard")) << wildcard.err.toStdString();

    expectFault(publish("mqtt://no-such-host.invalid/x"),
                "unreachable: no host named no-such-host.invalid");

    // A broker that knows one user by a password file of mosquitto_passwd.
    const QString passwords = StationPasswords("passwords");
    ASSERT_FALSE(passwords.isEmpty());
    Broker guarded("guarded", "allow_anonymous false\npassword_file " + passwords.toUtf8() + "\n");
    ASSERT_TRUE(guarded.Start());
    const QString user = QString("mqtt://station@127.0.0.1:%1/g").arg(guarded.port());
    const QStringList plain = {"--mqtt-allow-plain-password"};
    const Finished wrong = publish(user, plain, "wrong-word");
    expectFault(wrong, "not authorised: the broker refused the user name or password");
    EXPECT_FALSE(wrong.err.contains("wrong-word")) << "a password is never shown";
    const QString passwordFile = Scratch("password");
    WriteFile(passwordFile, "s3cret-Word\n");
    QFile::setPermissions(passwordFile, QFile::ReadOwner | QFile::WriteOwner);
    const Finished right = publish(user, plain + QStringList{"--mqtt-password-file", passwordFile});
    EXPECT_EQ(right.code, 0) << right.err.toStdString();

    // A CA of the test's own signs the broker's certificate; another CA does not.
    const QString dir = Scratch("tls");
    QDir(dir).removeRecursively();
    QDir().mkpath(dir);
    const auto ssl = [&](const QString &args) {
        return QProcess::execute(
            "sh", {"-c", "cd '" + dir + "' && openssl " + args + " >/dev/null 2>&1"});
    };
    ASSERT_EQ(ssl("req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=TestCA -keyout ca.key "
                  "-out ca.pem"),
              0);
    ASSERT_EQ(ssl("req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=OtherCA -keyout other.key "
                  "-out other.pem"),
              0);
    ASSERT_EQ(ssl("req -newkey rsa:2048 -nodes -subj /CN=localhost -keyout server.key "
                  "-out server.csr"),
              0);
    WriteFile(dir + "/san.ext", "subjectAltName=DNS:localhost,IP:127.0.0.1\n");
    ASSERT_EQ(ssl("x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2 "
                  "-extfile san.ext -out server.pem"),
              0);
    // Beside it one that expired at once and one made out to another name.
    ASSERT_EQ(ssl("x509 -req -in server.csr -CA ca.pem -CAkey ca.key -days 0 -out expired.pem"), 0);
    WriteFile(dir + "/elsewhere.ext", "subjectAltName=DNS:elsewhere.example\n");
    ASSERT_EQ(ssl("x509 -req -in server.csr -CA ca.pem -CAkey ca.key -days 2 "
                  "-extfile elsewhere.ext -out elsewhere.pem"),
              0);
    // The station's own certificate, for a broker that wants one of each client.
    ASSERT_EQ(ssl("req -newkey rsa:2048 -nodes -subj /CN=station -keyout client.key "
                  "-out client.csr"),
              0);
    ASSERT_EQ(ssl("x509 -req -in client.csr -CA ca.pem -CAkey ca.key -days 2 -out client.pem"), 0);
    // The broker may run as another user than the test (root hands it over).
    QFile::setPermissions(dir + "/server.key", QFile::ReadOwner | QFile::ReadOther);
    const int tlsPort = FreePort(), expiredPort = FreePort(), elsewherePort = FreePort();
    const int clientsPort = FreePort();
    const auto tlsListener = [&](int at, const char *cert) {
        return "listener " + QByteArray::number(at) + " 127.0.0.1\ncafile " +
               (dir + "/ca.pem").toUtf8() + "\ncertfile " + (dir + "/" + cert).toUtf8() +
               "\nkeyfile " + (dir + "/server.key").toUtf8() + "\n";
    };
    Broker secure("secure", "allow_anonymous true\n" + tlsListener(tlsPort, "server.pem") +
                                tlsListener(expiredPort, "expired.pem") +
                                tlsListener(elsewherePort, "elsewhere.pem") +
                                tlsListener(clientsPort, "server.pem") +
                                "require_certificate true\n");
    ASSERT_TRUE(secure.Start());
    const QString tlsUrl = QString("mqtts://localhost:%1/t").arg(tlsPort);
    const QStringList trust = {"--mqtt-ca", dir + "/ca.pem"};
    // Each TLS fault says which it is, as OpenSSL knows it.
    const Finished unknown = publish(tlsUrl, {"--mqtt-ca", dir + "/other.pem"});
    expectFault(unknown, "certificate: the broker's certificate on localhost:");
    EXPECT_TRUE(unknown.err.contains("signed by an unknown CA")) << unknown.err.toStdString();
    expectFault(publish(QString("mqtts://localhost:%1/t").arg(expiredPort), trust), "has expired");
    expectFault(publish(QString("mqtts://localhost:%1/t").arg(elsewherePort), trust),
                "name mismatch");
    expectFault(publish(QString("mqtts://localhost:%1/t").arg(secure.port()), trust),
                "wrong protocol: localhost:");
    expectFault(publish(QString("mqtt://localhost:%1/t").arg(tlsPort)),
                "a TLS port wants mqtts://");
    Subscriber plant(secure, "t");
    const Finished trusted = publish(tlsUrl, {"--mqtt-ca", dir + "/ca.pem"});
    EXPECT_EQ(trusted.code, 0) << trusted.err.toStdString();
    ASSERT_TRUE(plant.HeardTheEnd("t"));
    EXPECT_EQ(plant.Of("t/measurement").size(), Measured(trusted.err));

    // A broker that asks each client for its certificate: without one the
    // station is refused and says so; with its own, under the id it was
    // given, it publishes.
    const QString clientsUrl = QString("mqtts://localhost:%1/c").arg(clientsPort);
    expectFault(publish(clientsUrl, trust), "the station's own certificate (--mqtt-cert");
    Subscriber clients(secure, "c");
    const Finished own = publish(
        clientsUrl, trust + QStringList{"--mqtt-cert", dir + "/client.pem", "--mqtt-key",
                                        dir + "/client.key", "--mqtt-client-id", "line3-gauge1"});
    EXPECT_EQ(own.code, 0) << own.err.toStdString();
    ASSERT_TRUE(clients.HeardTheEnd("c"));
    EXPECT_EQ(clients.Of("c/measurement").size(), Measured(own.err));
    QFile log(Scratch("secure.conf.log"));
    ASSERT_TRUE(log.open(QIODevice::ReadOnly));
    EXPECT_TRUE(log.readAll().contains(" as line3-gauge1 ")) << "the broker knew it by its id";
    // Half a pair, or the pair over mqtt://, is refused before anything starts.
    EXPECT_EQ(publish(clientsUrl, {"--mqtt-cert", dir + "/client.pem"}).code, 2);
    EXPECT_EQ(publish(QString("mqtt://localhost:%1/c").arg(secure.port()),
                      {"--mqtt-cert", dir + "/client.pem", "--mqtt-key", dir + "/client.key"})
                  .code,
              2);
}

// Two run-mode runs in one front-end, publishing all along, the target
// standing one unit above the upper limit: each run has an id of its own,
// the samples count from 1 in each, seq goes on over both (and over
// publishing switched off and on between them), and the value
// reads at the sensor's resolution, apart from the limit it is beyond.
TEST(Publishing, EachRunHasItsOwnIdSeqGoesOnAcrossRunsAndAValueBeyondALimitReadsApart) {
    Broker broker("runs");
    ASSERT_TRUE(broker.Start());
    Subscriber plant(broker, "plant/line3/kvex");
    // The factory's frames: teach A 2000 units = setpoint 37000 µm, 0.25 µm a
    // unit, upper tolerance 40 units; edge A stands at 2041.
    constexpr int kTeach = 2000, kUnits = 2041, kTolUp = 40, kSetpointUm = 37000;
    constexpr double kScale = 0.25;
    kvexsim::SimConfig cfg = kvextest::FastSensor();
    cfg.restA = kUnits / 4096.0;
    kvextest::KVexApp app(cfg);
    ASSERT_TRUE(app.Start());
    PublishOptions o;
    std::snprintf(o.url, sizeof o.url, "%s", broker.url("plant/line3/kvex").toUtf8().constData());
    char why[240] = "";
    ASSERT_TRUE(StartPublishing(o, why, sizeof why)) << why;
    for (int run = 0; run < 2; ++run) {
        kvextest::StopAfterRequests(app.sensor(), kvexsim::kRawValues, 5);
        kvextest::KVexApp::Commit(CC_BTNRun, pHandle, PANEL_BTNRun);
        // Switched off and on between the runs, as an operator may.
        EXPECT_EQ(StopPublishing(60, true), 0ul);
        if (run == 0) {
            ASSERT_TRUE(StartPublishing(o, why, sizeof why)) << why;
        }
    }

    // Each switch-off ends with the stopped state, after everything before it.
    ASSERT_TRUE(Within(60, [&] {
        const QList<QJsonObject> states = plant.Of("plant/line3/kvex/state");
        return std::count_if(states.begin(), states.end(),
                             [](const QJsonObject &s) { return s["reason"] == "stopped"; }) >= 2;
    }));
    const QList<QJsonObject> got = plant.Of("plant/line3/kvex/measurement");
    ASSERT_GT(got.size(), 4);
    QStringList runs;
    for (int i = 0; i < got.size(); ++i) {
        const QJsonObject &s = got[i];
        if (runs.isEmpty() || runs.back() != s["run"].toString()) {
            runs.append(s["run"].toString());
            EXPECT_EQ(s["sample"].toInteger(), 1) << "a run's samples count from 1";
        }
        if (i > 0) {
            EXPECT_EQ(s["seq"].toInteger(), got[i - 1]["seq"].toInteger() + 1);
        }
        EXPECT_EQ(s["value_um"].toDouble(), kSetpointUm + (kUnits - kTeach) * kScale);
        EXPECT_EQ(s["value_mm"].toDouble(), (kSetpointUm + (kUnits - kTeach) * kScale) / 1000);
        EXPECT_EQ(s["sensor_um"].toInteger(), kSetpointUm + (kUnits - kTeach) / 4);
        EXPECT_EQ(s["upper_um"].toDouble(), kSetpointUm + kTolUp * kScale);
        EXPECT_EQ(s["verdict"].toString(), "above");
    }
    ASSERT_EQ(runs.size(), 2) << runs.join(" | ").toStdString();
    EXPECT_NE(runs[0], runs[1]);
    for (const QString &run : runs)
        EXPECT_TRUE(run.endsWith(" plant/line3/kvex")) << run.toStdString();
}

// Without a root each device gets its own: the bytes a topic level cannot
// hold are escaped, never merged, and ordinary names stay as they are.
TEST(Publishing, DefaultRootsOfDifferentDevicesNeverMeet) {
    char host[256] = "";
    ASSERT_EQ(gethostname(host, sizeof host - 1), 0);
    const std::string shortHost(host, std::strcspn(host, "."));
    const auto root = [](const char *device) {
        char r[256];
        DefaultTopicRoot(device, r, sizeof r);
        return std::string(r);
    };
    EXPECT_EQ(root("/dev/pts/14"), "kvex/" + shortHost + "/pts/14");
    EXPECT_EQ(root("/dev/ttyUSB0"), "kvex/" + shortHost + "/ttyUSB0");
    std::set<std::string> roots;
    for (const char *device : {"sensor+1", "sensor#1", "sensor_1", "sensor%2B1", "sensor\x01"}) {
        const std::string r = root(device);
        EXPECT_EQ(TopicRootFault(r.c_str()), nullptr) << r;
        EXPECT_TRUE(roots.insert(r).second) << device << " shares " << r;
    }
}

// What cannot work is refused before anything is measured: topic roots with
// an empty level, an address with a port that is no port (exit 2), and a
// password file that is no file, holds nothing or others may read (exit 4).
TEST(Publishing, MalformedAddressesAndOddPasswordFilesAreRefusedBeforeAnythingStarts) {
    BrokerAddress a;
    char why[240] = "";
    for (const char *url : {"mqtt://h/plant/", "mqtt://h//plant", "mqtt://h/plant//x"}) {
        EXPECT_FALSE(ParseBrokerUrl(url, a, why, sizeof why)) << url;
        EXPECT_TRUE(std::strstr(why, "empty level")) << url << ": " << why;
    }
    for (const char *url : {"mqtt://127.0.0.1:45941:5/x", "mqtt://h:/x", "mqtt://[::1]:/x"})
        EXPECT_FALSE(ParseBrokerUrl(url, a, why, sizeof why)) << url;
    ASSERT_TRUE(ParseBrokerUrl("mqtts://u@[::1]:8884/plant/line", a, why, sizeof why)) << why;
    EXPECT_EQ(std::string(a.host) + " " + std::to_string(a.port), "::1 8884");

    Broker broker("odd");
    ASSERT_TRUE(broker.Start());
    kvexsim::SensorSim sim(Sensor(false));
    ASSERT_TRUE(sim.start());
    const QString port = QString::fromStdString(sim.devicePath());
    const QString badPort = QString("mqtt://127.0.0.1:%1:5/x").arg(broker.port());
    const Finished colon = Kvex({"publish", "--port", port, "--mqtt", badPort});
    EXPECT_EQ(colon.code, 2) << colon.err.toStdString();

    // A root the broker would refuse on every message (a Latin-1 byte, given
    // or taken from the device's name) is refused now; UTF-8 text is taken.
    EXPECT_TRUE(ParseBrokerUrl("mqtt://h/plant/M\xc3\xbchle", a, why, sizeof why)) << why;
    EXPECT_FALSE(ParseBrokerUrl("mqtt://h/plant/M\xfchle", a, why, sizeof why));
    EXPECT_TRUE(std::strstr(why, "UTF-8")) << why;
    const QByteArray latin1 = Scratch("sensor").toUtf8() + "\xe9";
    ::unlink(latin1.constData());
    ASSERT_EQ(::symlink(sim.devicePath().c_str(), latin1.constData()), 0);
    QProcess bytes;  // words that are no UTF-8 cannot travel in a QString
    PrepareKvex(bytes);
    bytes.start("sh", {"-c",
                       "exec \"$0\" publish --port \"$(printf '%s\\351' \"$1\")\" --mqtt \"$2\" "
                       "--duration 1",
                       KvexProgram(), Scratch("sensor"),
                       QString("mqtt://127.0.0.1:%1").arg(broker.port())});
    ASSERT_TRUE(bytes.waitForFinished(60000));
    const QString latin1Err = QString::fromUtf8(bytes.readAllStandardError());
    EXPECT_EQ(bytes.exitCode(), 2) << latin1Err.toStdString();
    EXPECT_TRUE(latin1Err.contains("UTF-8")) << latin1Err.toStdString();

    const QString empty = Scratch("empty-password"), open = Scratch("open-password");
    WriteFile(empty, "");
    WriteFile(open, "s3cret-Word\n");
    QFile::setPermissions(empty, QFile::ReadOwner | QFile::WriteOwner);
    QFile::setPermissions(open, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther);
    const struct {
        QString file;
        const char *why;
    } odd[] = {{Scratch(""), "folder"},
               {"/dev/zero", "device"},
               {empty, "empty"},
               {open, "others may read"}};
    for (const auto &o : odd) {
        const Finished f =
            Kvex({"publish", "--port", port, "--mqtt", broker.url("odd"), "--duration", "1",
                  "--mqtt-allow-plain-password", "--mqtt-password-file", o.file});
        EXPECT_EQ(f.code, 4) << f.err.toStdString();
        EXPECT_TRUE(f.err.contains(o.why)) << f.err.toStdString();
        EXPECT_FALSE(f.err.contains("s3cret")) << "a password is never shown";
    }
}

// What must not cross a line without TLS, and files that cannot serve, are
// refused before the sensor's port is opened: a CA file or an unchecked
// certificate with mqtt://, and a password over it unless allowed (exit 2);
// a CA or password file that is missing, a FIFO (never waited on), a folder,
// a device or empty (exit 4). The sensor is asked nothing meanwhile.
TEST(Publishing, SecretsOverPlainMqttAndUnusableFilesAreRefusedBeforeThePortOpens) {
    Broker broker("plain");
    ASSERT_TRUE(broker.Start());
    kvexsim::SensorSim sim(Sensor(false));
    ASSERT_TRUE(sim.start());
    const QString port = QString::fromStdString(sim.devicePath());
    const QString dir = Scratch("refused");
    QDir(dir).removeRecursively();
    QDir().mkpath(dir);
    const QString password = dir + "/password", ca = dir + "/ca.pem", empty = dir + "/empty.pem",
                  fifo = dir + "/fifo";
    WriteFile(password, "s3cret-Word\n");
    QFile::setPermissions(password, QFile::ReadOwner | QFile::WriteOwner);
    WriteFile(ca, "-----BEGIN CERTIFICATE-----\n");
    WriteFile(empty, "");
    ASSERT_EQ(mkfifo(fifo.toUtf8().constData(), 0600), 0);
    const QString plain = QString("mqtt://station@127.0.0.1:%1/p").arg(broker.port());
    const QString tls = QString("mqtts://station@127.0.0.1:%1/p").arg(broker.port());
    const auto run = [&](const QString &url, const QStringList &more, const QString &env = {}) {
        return Kvex(QStringList{"publish", "--port", port, "--mqtt", url, "--duration", "1"} + more,
                    env);
    };
    const struct {
        QString url;
        QStringList more;
        QString env;
        int code;
        const char *why;
    } refused[] = {
        {plain, {"--mqtt-ca", ca}, {}, 2, "give mqtts://"},
        {plain, {"--mqtt-insecure"}, {}, 2, "give mqtts://"},
        {plain, {"--mqtt-password-file", password}, {}, 2, "--mqtt-allow-plain-password"},
        {plain, {}, "s3cret-Word", 2, "--mqtt-allow-plain-password"},
        {tls, {"--mqtt-password-file", fifo}, {}, 4, "FIFO"},
        {tls, {"--mqtt-password-file", dir + "/none"}, {}, 4, "no such file"},
        {tls, {"--mqtt-ca", fifo}, {}, 4, "FIFO"},
        {tls, {"--mqtt-ca", dir + "/none.pem"}, {}, 4, "no such file"},
        {tls, {"--mqtt-ca", empty}, {}, 4, "empty"},
        {tls, {"--mqtt-ca", dir}, {}, 4, "folder"},
        {tls, {"--mqtt-ca", "/dev/null"}, {}, 4, "device"},
    };
    for (const auto &r : refused) {
        const Finished f = run(r.url, r.more, r.env);
        const std::string said = (r.url + " " + r.more.join(' ') + ": " + f.err).toStdString();
        EXPECT_EQ(f.code, r.code) << said;
        EXPECT_TRUE(f.err.contains(r.why)) << said;
        EXPECT_FALSE(f.err.contains("s3cret")) << "a password is never shown";
    }
    EXPECT_EQ(sim.commandCount(kvexsim::kLineCheck), 0) << "the sensor was asked nothing";

    const Finished allowed =
        run(plain, {"--mqtt-allow-plain-password", "--mqtt-password-file", password});
    EXPECT_EQ(allowed.code, 0) << allowed.err.toStdString();
    EXPECT_GT(Measured(allowed.err), 0) << allowed.err.toStdString();
}

// A recording with an interval measures many replies and keeps one a
// second: the plant gets what the file holds, one message per line, under
// the line's number and with its time and value.
TEST(Publishing, ARecordingPublishesExactlyItsLinesWhateverTheInterval) {
    Broker broker("lines");
    ASSERT_TRUE(broker.Start());
    kvexsim::SensorSim sim(Sensor(false));
    ASSERT_TRUE(sim.start());
    Subscriber plant(broker, "kept");
    const QString file = Scratch("kept.csv");
    QFile::remove(file);
    const Finished rec =
        Kvex({"record", "--port", QString::fromStdString(sim.devicePath()), "--samples", "3",
              "--interval", "1", "--csv", "--mqtt", broker.url("kept"), file});
    ASSERT_EQ(rec.code, 0) << rec.err.toStdString();
    EXPECT_TRUE(rec.err.contains("3 samples recorded, all published")) << rec.err.toStdString();
    EXPECT_GT(sim.commandCount(kvexsim::kRawValues), 3) << "more replies came than were kept";
    QFile f(file);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QStringList lines = QString::fromUtf8(f.readAll()).split("\r\n", Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 4) << "the header and three samples";
    ASSERT_TRUE(plant.HeardTheEnd("kept"));
    const QList<QJsonObject> got = plant.Of("kept/measurement");
    ASSERT_EQ(got.size(), 3);
    for (int i = 0; i < got.size(); ++i) {
        const QStringList cells = lines[i + 1].split(',');
        ASSERT_EQ(cells.size(), 15) << lines[i + 1].toStdString();
        EXPECT_EQ(got[i]["sample"].toInteger(), cells[0].toLongLong());
        EXPECT_EQ(got[i]["time"].toString(), cells[1]);
        EXPECT_EQ(got[i]["value_um"].toDouble(), cells[14].toDouble());
        EXPECT_EQ(got[i]["seq"].toInteger(), i + 1);
    }
}

// A line that garbles replies (stray bytes before and after each, or random
// bytes at the line's full rate between them) still gets its sensor through
// the start-up questions, asked again as the window's reconnect asks: info
// and publish go through. A line of noise with no sensor behind it is called
// sensor-less after a bounded number of questions.
TEST(Publishing, StartUpAsksAgainThroughGarbledRepliesAndGivesUpOnNoise) {
    Broker broker("noisy");
    ASSERT_TRUE(broker.Start());
    kvexsim::Faults flood, garbage, noise;
    flood.flood = true;
    garbage.garbage = true;
    garbage.leadingBytes = 5;
    noise.flood = true;
    noise.silent = true;
    for (const kvexsim::Faults &faults : {flood, garbage}) {
        kvexsim::SimConfig cfg;  // paced as a real line
        cfg.faults = faults;
        kvexsim::SensorSim sim(cfg);
        ASSERT_TRUE(sim.start());
        const QString port = QString::fromStdString(sim.devicePath());
        const Finished info = Kvex({"info", "--port", port});
        EXPECT_EQ(info.code, 0) << info.err.toStdString();
        const Finished run =
            Kvex({"publish", "--port", port, "--mqtt", broker.url("noisy"), "--duration", "2"});
        EXPECT_EQ(run.code, 0) << run.err.toStdString();
        EXPECT_GT(Measured(run.err), 0) << run.err.toStdString();
    }
    kvexsim::SimConfig cfg;
    cfg.faults = noise;
    kvexsim::SensorSim sim(cfg);
    ASSERT_TRUE(sim.start());
    const Finished none = Kvex({"info", "--port", QString::fromStdString(sim.devicePath())});
    EXPECT_EQ(none.code, 3) << none.err.toStdString();
    EXPECT_TRUE(none.err.contains("no sensor on")) << none.err.toStdString();
    const int asked = sim.commandCount(kvexsim::kLineCheck);
    EXPECT_GT(asked, 1) << "noise is a garbled reply: asked again";
    EXPECT_LE(asked, 10) << "but not for ever";
}
