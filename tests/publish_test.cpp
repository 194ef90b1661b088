// Publishing through a real broker: the kvex program as a process of its own
// (or, for runs one after another, the front-end in the test's process), the
// simulated sensor on a real pseudo-terminal, and a mosquitto of the test's
// own on 127.0.0.1 and a free port, stopped by its process id.
// mosquitto_sub stands for the plant. Where the broker goes away, it keeps
// the plant's session in a file of the test's own, as a plant's broker
// would: what it took from the station before it stopped still reaches the
// plant, and the plant's subscription stands before the station is back.
#include "publish.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>

#include "broker_link.h"
#include "kvex_app.h"
#include "sensor_sim.h"
#include "sparkplug_b.pb.h"
#include "ui_qt.h"

namespace {

QString Scratch(const QString &name) {
    const QString dir = QStringLiteral(KVEX_TEST_OUTPUT "/publish");
    QDir().mkpath(dir);
    return dir + "/" + name;
}

void WriteFile(const QString &path, const QByteArray &text) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(text);
}

int FreePort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
    getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
    close(fd);
    return ntohs(a.sin_port);
}

bool Accepts(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    close(fd);
    return ok;
}

void Wait(double seconds) { QThread::msleep(static_cast<unsigned long>(seconds * 1000)); }

// A mosquitto with a configuration of the test's own; extra lines add
// listeners, a password file, TLS.
class Broker {
  public:
    explicit Broker(const QString &name, const QByteArray &extra = "", bool keepsSessions = false)
        : port_(FreePort()), conf_(Scratch(name + ".conf")) {
        QByteArray persistence = "persistence false\n";
        if (keepsSessions) {
            const QString dir = Scratch(name + "-db/");
            QDir(dir).removeRecursively();
            QDir().mkpath(dir);
            persistence = "persistence true\npersistence_location " + dir.toUtf8() + "\n";
        }
        // A subscriber that lags must not lose messages in the broker's
        // queue for it (1000 by default): the test counts them all. Started
        // by root, mosquitto would become its own user and could not write
        // the test's files: it stays who started it.
        const passwd *self = getpwuid(getuid());
        persistence += "user " + QByteArray(self ? self->pw_name : "root") + "\n";
        WriteFile(conf_, persistence + "max_queued_messages 0\nlistener " +
                             QByteArray::number(port_) + " 127.0.0.1\n" +
                             (extra.isEmpty() ? "allow_anonymous true\n" : extra));
    }
    ~Broker() { Stop(); }
    bool Start() {
        proc_ = std::make_unique<QProcess>();
        proc_->setProcessChannelMode(QProcess::MergedChannels);
        proc_->setStandardOutputFile(conf_ + ".log", QIODevice::Append);
        proc_->start("mosquitto", {"-c", conf_});
        if (!proc_->waitForStarted(5000)) return false;
        for (int i = 0; i < 100 && !Accepts(port_); ++i) Wait(0.05);
        return Accepts(port_);
    }
    void Stop() {
        if (!proc_) return;
        kill(static_cast<pid_t>(proc_->processId()), SIGTERM);
        proc_->waitForFinished(5000);
        proc_.reset();
    }
    int port() const { return port_; }
    QString url(const QString &root) const {
        return QString("mqtt://127.0.0.1:%1/%2").arg(port_).arg(root);
    }

  private:
    int port_;
    QString conf_;
    std::unique_ptr<QProcess> proc_;
};

// The plant's side: every message under the topic root, one line each,
// "topic payload" (binary payloads in hex); it reconnects by itself when the
// broker comes back, to the session it had when the broker keeps sessions.
class Subscriber {
  public:
    Subscriber(const Broker &b, const QString &root, bool binary = false)
        : file_(Scratch(
              QString("sub-%1-%2.txt").arg(b.port()).arg(QString(root).replace("/", "_")))) {
        QFile::remove(file_);
        proc_.setStandardOutputFile(file_);
        const QString port = QString::number(b.port());
        QStringList format = {"-v"};
        if (binary) format = QStringList{"-F", "%t %x"};
        proc_.start("mosquitto_sub",
                    QStringList{"-h", "127.0.0.1", "-p", port, "-q", "1", "-c", "-i",
                                "plant-" + QString(root).replace("/", "-"), "-t", root + "/#"} +
                        format);
        proc_.waitForStarted(5000);
        // Subscribed before the first sample goes out: a probe came through.
        for (int i = 0; i < 50 && !QFileInfo(file_).size(); ++i) {
            QProcess::execute("mosquitto_pub",
                              {"-h", "127.0.0.1", "-p", port, "-t", root + "/probe", "-m", "{}"});
            Wait(0.1);
        }
    }
    ~Subscriber() {
        kill(static_cast<pid_t>(proc_.processId()), SIGTERM);
        proc_.waitForFinished(3000);
    }
    // The payloads of one topic, in the order they came.
    // With settle, what it wrote until it has been quiet for a moment.
    QList<QJsonObject> Of(const QString &topic, bool settle = true) {
        QList<QJsonObject> out;
        for (const QString &line : Lines(settle)) {
            const int space = line.indexOf(' ');
            if (line.left(space) == topic)
                out.append(QJsonDocument::fromJson(line.mid(space + 1).toUtf8()).object());
        }
        return out;
    }
    QStringList Lines(bool settle = true) {
        qint64 size = -1;
        while (settle && QFileInfo(file_).size() != size) {
            size = QFileInfo(file_).size();
            Wait(0.3);
        }
        QFile f(file_);
        f.open(QIODevice::ReadOnly);
        return QString::fromUtf8(f.readAll()).split('\n', Qt::SkipEmptyParts);
    }

  private:
    QString file_;
    QProcess proc_;
};

// The retained message of a topic as a newcomer gets it.
QJsonObject Retained(const Broker &b, const QString &topic) {
    QProcess p;
    p.start("mosquitto_sub", {"-h", "127.0.0.1", "-p", QString::number(b.port()), "-t", topic, "-C",
                              "1", "-W", "3"});
    p.waitForFinished(5000);
    return QJsonDocument::fromJson(p.readAllStandardOutput().trimmed()).object();
}

// Polls until what returns true, at most seconds: the test's own patience,
// not a bound the station must meet.
bool Within(double seconds, const std::function<bool()> &what) {
    for (int i = 0; i < seconds * 10; ++i) {
        if (what()) return true;
        Wait(0.1);
    }
    return what();
}

QString KvexProgram() { return QCoreApplication::applicationDirPath() + "/kvex"; }

void Prepare(QProcess &p, const QString &password = {}) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("ASAN_OPTIONS", "detect_leaks=0");
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.remove("XDG_RUNTIME_DIR");
    env.remove("KVEX_MQTT_PASSWORD");
    if (!password.isEmpty()) env.insert("KVEX_MQTT_PASSWORD", password);
    p.setProcessEnvironment(env);
}

struct Finished {
    int code = -1;
    QString err;
};

Finished Kvex(const QStringList &args, const QString &password = {}) {
    QProcess p;
    Prepare(p, password);
    p.start(KvexProgram(), args);
    p.waitForFinished(90000);
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1,
            QString::fromUtf8(p.readAllStandardError())};
}

kvexsim::SimConfig Sensor(bool paced) {
    kvexsim::SimConfig cfg;
    cfg.paced = paced;
    if (!paced) cfg.latencySeconds = 0.0;
    return cfg;
}

// "kvex: N samples measured, ..." of the verb's last words.
long Measured(const QString &err) {
    const auto m = QRegularExpression("(\\d+) samples? measured").match(err);
    return m.hasMatch() ? m.captured(1).toLong() : -1;
}

// Sample numbers as the plant got them: each at least once, none missing
// from first to last, and each new one after the ones before it (QoS 1
// repeats a sample whose acknowledgement a broken connection took).
void ExpectWholeAndInOrder(const QList<QJsonObject> &got, long first, long last) {
    std::set<long> seen;
    long newest = first - 1;
    for (const QJsonObject &m : got) {
        const long n = m["sample"].toInteger();
        if (seen.count(n)) continue;
        EXPECT_EQ(n, newest + 1) << "after sample " << newest;
        newest = n;
        seen.insert(n);
    }
    EXPECT_EQ(newest, last);
    EXPECT_EQ(static_cast<long>(seen.size()), last - first + 1);
}

}  // namespace

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
    ASSERT_GT(measured, 50);
    Wait(0.3);

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
        Wait(0.3);
        const QList<QJsonObject> samples = plant.Of("rec/measurement");
        ASSERT_EQ(samples.size(), 7);
        EXPECT_EQ(samples.back()["sample"].toInteger(), 7);
    }

    QProcess station;
    Prepare(station);
    station.start(KvexProgram(), {"publish", "--port", port, "--mqtt", broker.url("killed")});
    ASSERT_TRUE(station.waitForStarted(5000));
    QJsonObject state;
    for (int i = 0; i < 40 && !state["online"].toBool(); ++i) {
        Wait(0.25);
        state = Retained(broker, "killed/state");
    }
    EXPECT_TRUE(state["online"].toBool()) << "online while it runs";
    kill(static_cast<pid_t>(station.processId()), SIGKILL);
    station.waitForFinished(5000);
    Wait(1.0);
    EXPECT_EQ(Retained(broker, "killed/state"),
              QJsonObject({{"online", false}, {"reason", "died"}}))
        << "the broker's last will stands for the front-end that died";
}

TEST(Publishing, ABrokerAwayForTenSecondsLosesNoSampleAndKeepsTheOrder) {
    Broker broker("restart", "", true);
    ASSERT_TRUE(broker.Start());
    kvexsim::SensorSim sim(Sensor(true));  // the line's own pace
    ASSERT_TRUE(sim.start());
    Subscriber plant(broker, "restart");

    QProcess station;
    Prepare(station);
    station.start(KvexProgram(), {"publish", "--port", QString::fromStdString(sim.devicePath()),
                                  "--mqtt", broker.url("restart"), "--duration", "24"});
    ASSERT_TRUE(station.waitForStarted(5000));
    Wait(4);
    ASSERT_FALSE(plant.Of("restart/measurement", false).isEmpty());
    broker.Stop();
    Wait(10);
    ASSERT_TRUE(broker.Start());
    ASSERT_TRUE(station.waitForFinished(60000));
    const QString err = QString::fromUtf8(station.readAllStandardError());
    EXPECT_EQ(station.exitCode(), 0) << err.toStdString();
    EXPECT_TRUE(err.contains(QRegularExpression("MQTT broker .* (unreachable|refused): .* queued")))
        << err.toStdString();
    Wait(0.5);
    ExpectWholeAndInOrder(plant.Of("restart/measurement"), 1, Measured(err));
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
    Prepare(station);
    station.start(KvexProgram(), {"publish", "--port", QString::fromStdString(sim.devicePath()),
                                  "--mqtt", broker.url("amnesia"), "--duration", "30"});
    ASSERT_TRUE(station.waitForStarted(5000));
    ASSERT_TRUE(Within(15, [&] { return !Retained(broker, "amnesia/info").isEmpty(); }));
    broker.Stop();
    ASSERT_TRUE(broker.Start());
    Subscriber plant(broker, "amnesia");
    EXPECT_TRUE(Within(15, [&] { return !Retained(broker, "amnesia/info").isEmpty(); }))
        << "the sensor told again";
    EXPECT_EQ(Retained(broker, "amnesia/info")["hardware"].toArray().size(), 3);
    EXPECT_TRUE(Within(15, [&] {
        const QJsonObject s = Retained(broker, "amnesia/state");
        return s["online"].toBool() && s["mode"] == "run" && !s.contains("reason");
    })) << QJsonDocument(Retained(broker, "amnesia/state")).toJson().toStdString();
    kill(static_cast<pid_t>(station.processId()), SIGTERM);
    ASSERT_TRUE(station.waitForFinished(30000));
    const QList<QJsonObject> states = plant.Of("amnesia/state");
    EXPECT_TRUE(std::any_of(states.begin(), states.end(), [](const QJsonObject &s) {
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
    Prepare(station);
    station.start(KvexProgram(),
                  {"publish", "--port", QString::fromStdString(sim.devicePath()), "--mqtt",
                   broker.url("full"), "--duration", "6", "--mqtt-queue", "20"});
    ASSERT_TRUE(station.waitForStarted(5000));
    Wait(2);
    ASSERT_TRUE(broker.Start());
    ASSERT_TRUE(station.waitForFinished(60000));
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
    Wait(0.5);
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
        EXPECT_GT(Measured(f.err), 10) << "the measurement went on";
    };

    // A wildcard root is refused before anything starts.
    const Finished wildcard = Kvex({"publish", "--port", port, "--mqtt", "mqtt://h/line/#"});
    EXPECT_EQ(wildcard.code, 2);
    EXPECT_TRUE(wildcard.err.contains("wildcard")) << wildcard.err.toStdString();

    expectFault(publish("mqtt://no-such-host.invalid/x"),
                "unreachable: no host named no-such-host.invalid");

    // A broker that knows one user by a password file of mosquitto_passwd.
    const QString passwords = Scratch("passwords");
    QFile::remove(passwords);
    ASSERT_EQ(
        QProcess::execute("mosquitto_passwd", {"-b", "-c", passwords, "station", "s3cret-Word"}),
        0);
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
    Wait(0.3);
    EXPECT_EQ(plant.Of("t/measurement").size(), Measured(trusted.err));

    // A broker that asks each client for its certificate: without one the
    // station is refused and says so; with its own, under the id it was
    // given, it publishes.
    const QString clientsUrl = QString("mqtts://localhost:%1/c").arg(clientsPort);
    expectFault(publish(clientsUrl, trust), "wants the station's own certificate");
    Subscriber clients(secure, "c");
    const Finished own = publish(
        clientsUrl, trust + QStringList{"--mqtt-cert", dir + "/client.pem", "--mqtt-key",
                                        dir + "/client.key", "--mqtt-client-id", "line3-gauge1"});
    EXPECT_EQ(own.code, 0) << own.err.toStdString();
    Wait(0.3);
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
        QTimer::singleShot(300, [] { RequestStop(); });
        kvextest::KVexApp::Commit(CC_BTNRun, pHandle, PANEL_BTNRun);
        // Switched off and on between the runs, as an operator may.
        EXPECT_EQ(StopPublishing(5, true), 0ul);
        if (run == 0) {
            ASSERT_TRUE(StartPublishing(o, why, sizeof why)) << why;
        }
    }

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
    Prepare(bytes);
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

// Type the password, tick Remember, close the window: the running publisher
// takes the password at once, the choice and the password are kept for the
// next start, and from the first password on the process leaves no core dump.
TEST(PublishWindow, ClosingItAppliesAndKeepsThePasswordAndAPasswordKeepsCoreDumpsOff) {
    const QString passwords = Scratch("window-passwords");
    QFile::remove(passwords);
    ASSERT_EQ(
        QProcess::execute("mosquitto_passwd", {"-b", "-c", passwords, "station", "s3cret-Word"}),
        0);
    Broker broker("window", "allow_anonymous false\npassword_file " + passwords.toUtf8() + "\n");
    ASSERT_TRUE(broker.Start());
    kvextest::KVexApp app;
    ASSERT_TRUE(app.Start());
    char settings[300] = "";
    ASSERT_TRUE(GetSettingsFile(settings, sizeof settings));
    const QString kept = QString(settings) + ".mqtt-password";
    QFile::remove(kept);
    EXPECT_EQ(prctl(PR_GET_DUMPABLE, 0, 0, 0, 0), 1);

    const QByteArray url = QString("mqtt://station@127.0.0.1:%1/w").arg(broker.port()).toUtf8();
    SetCtrlVal(pPublish, PUBLISH_BrokerUrl, url.constData());
    SetCtrlVal(pPublish, PUBLISH_PublishOn, 1);
    kvextest::KVexApp::Commit(CC_PublishOn, pPublish, PUBLISH_PublishOn);
    EXPECT_TRUE(kvextest::PumpUntil(
        [] { return std::strstr(PublishingFigures().reason, "not authorised") != nullptr; }, 5));
    EXPECT_EQ(prctl(PR_GET_DUMPABLE, 0, 0, 0, 0), 1) << "no password yet";

    SetCtrlVal(pPublish, PUBLISH_BrokerPassword, "s3cret-Word");
    SetCtrlVal(pPublish, PUBLISH_KeepPassword, 1);
    SetCtrlVal(pPublish, PUBLISH_PlainPassword, 1);  // the test's broker has no TLS
    kvextest::KVexApp::Commit(CC_PublishClose, pPublish, PUBLISH_PublishClose);
    EXPECT_EQ(prctl(PR_GET_DUMPABLE, 0, 0, 0, 0), 0);
    EXPECT_TRUE(kvextest::PumpUntil([] { return PublishingFigures().connected; }, 5))
        << PublishingFigures().reason;
    EXPECT_EQ(GetSettingNumber("publish/keep_password", 0), 1);
    QFile file(kept);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), "s3cret-Word");
    EXPECT_EQ(file.permissions() & (QFile::ReadGroup | QFile::ReadOther), QFile::Permissions());
    StopPublishing(3, true);
    QFile::remove(kept);
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
    Wait(0.3);
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

// Remember password acts when it is switched, publishing on or off: on, the
// password typed is kept; off, the kept file goes at once and the settings
// say so, and the next start finds no password.
TEST(PublishWindow, RememberPasswordSwitchedOffDeletesTheKeptPasswordAtOnce) {
    Broker broker("remember");
    ASSERT_TRUE(broker.Start());
    QString kept;
    {
        kvextest::KVexApp app;
        ASSERT_TRUE(app.Start());
        char settings[300] = "";
        ASSERT_TRUE(GetSettingsFile(settings, sizeof settings));
        kept = QString(settings) + ".mqtt-password";
        QFile::remove(kept);
        DisplayPanel(pPublish);
        const QByteArray url = broker.url("remember").toUtf8();
        SetCtrlVal(pPublish, PUBLISH_BrokerUrl, url.constData());
        SetCtrlVal(pPublish, PUBLISH_BrokerPassword, "s3cret-Word");
        SetCtrlVal(pPublish, PUBLISH_PlainPassword, 1);
        QWidget *remember = UiControlWidget(pPublish, PUBLISH_KeepPassword);
        ASSERT_NE(remember, nullptr);
        const auto keptText = [&] {
            QFile f(kept);
            return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("(none)");
        };
        for (const bool publishing : {false, true}) {
            if (publishing) {
                SetCtrlVal(pPublish, PUBLISH_PublishOn, 1);
                kvextest::KVexApp::Commit(CC_PublishOn, pPublish, PUBLISH_PublishOn);
            }
            ASSERT_EQ(PublishingOn(), publishing);
            QTest::mouseClick(remember, Qt::LeftButton);
            EXPECT_EQ(kvextest::KVexApp::U16(pPublish, PUBLISH_KeepPassword), 1);
            EXPECT_EQ(keptText(), "s3cret-Word") << "publishing " << publishing;
            EXPECT_EQ(GetSettingNumber("publish/keep_password", 0), 1);
            QTest::mouseClick(remember, Qt::LeftButton);
            EXPECT_FALSE(QFile::exists(kept)) << "publishing " << publishing;
            EXPECT_EQ(GetSettingNumber("publish/keep_password", 1), 0);
            EXPECT_EQ(PublishingOn(), publishing) << "publishing goes on as it was";
        }
        StopPublishing(3, true);
    }
    kvextest::KVexApp again;
    ASSERT_TRUE(again.Start(true, true));
    char password[64] = "?";
    GetCtrlVal(pPublish, PUBLISH_BrokerPassword, password, sizeof password);
    EXPECT_STREQ(password, "");
    EXPECT_EQ(kvextest::KVexApp::U16(pPublish, PUBLISH_KeepPassword), 0);
    StopPublishing(3, true);
}

// The window refuses what the command line refuses: a CA file with mqtt://,
// and a password over it unless Send password without TLS is on; it says
// why in its state and leaves Publishing off.
TEST(PublishWindow, APasswordOrACaFileOverPlainMqttIsRefusedUnlessAllowed) {
    Broker broker("plainwindow");
    ASSERT_TRUE(broker.Start());
    kvextest::KVexApp app;
    ASSERT_TRUE(app.Start());
    const QByteArray url = broker.url("pw").toUtf8();
    SetCtrlVal(pPublish, PUBLISH_BrokerUrl, url.constData());
    const auto switchOn = [] {
        SetCtrlVal(pPublish, PUBLISH_PublishOn, 1);
        kvextest::KVexApp::Commit(CC_PublishOn, pPublish, PUBLISH_PublishOn);
        char state[400] = "";
        GetCtrlVal(pPublish, PUBLISH_PublishState, state, sizeof state);
        return std::string(state);
    };
    SetCtrlVal(pPublish, PUBLISH_CaFile, "/etc/ssl/certs/ca-certificates.crt");
    const std::string refused = switchOn();
    EXPECT_EQ(refused.rfind("Cannot publish: a CA file is for TLS", 0), 0u) << refused;
    EXPECT_FALSE(PublishingOn());
    EXPECT_EQ(kvextest::KVexApp::U16(pPublish, PUBLISH_PublishOn), 0);

    SetCtrlVal(pPublish, PUBLISH_CaFile, "");
    SetCtrlVal(pPublish, PUBLISH_BrokerPassword, "s3cret-Word");
    EXPECT_EQ(switchOn().rfind("Cannot publish: mqtt:// is not encrypted", 0), 0u);
    EXPECT_FALSE(PublishingOn());

    SetCtrlVal(pPublish, PUBLISH_PlainPassword, 1);
    switchOn();
    EXPECT_TRUE(PublishingOn());
    StopPublishing(3, true);
}

namespace {

// Polls what the link says until it holds; false when it never did.
template <class Condition>
bool Until(Condition holds, double seconds = 20) {
    for (int i = 0; i < seconds * 20 && !holds(); ++i) Wait(0.05);
    return holds();
}

QSet<QString> Runs(const QList<QJsonObject> &samples) {
    QSet<QString> runs;
    for (const QJsonObject &s : samples) runs.insert(s["run"].toString());
    return runs;
}

}  // namespace

// The link on its own against a real broker. A fault no reconnect mends (a
// last will on a topic that is no UTF-8) stops it with the reason, after one
// try. Otherwise each connection gets the will of its own asked just before
// it, and says its births before anything that waits, also after the broker
// came back; a link let go without a finish leaves that connection's will.
TEST(BrokerLinkWithABroker, APermanentFaultStopsItAndEachConnectionSaysItsBirthsFirst) {
    Broker broker("births", "", true);
    ASSERT_TRUE(broker.Start());
    Subscriber plant(broker, "births");
    std::atomic<int> wills{0};
    BrokerLinkConfig c;
    c.host = "127.0.0.1";
    c.port = broker.port();
    c.clientId = "births-test";
    c.measurementTopic = "births/m";
    c.stateTopic = "births/state";
    c.queueLimit = 100;
    {
        BrokerLinkConfig bad = c;
        bad.will = [&] {
            ++wills;
            return BrokerMessage{"births/\xe9tat", "{}", true};
        };
        BrokerLink link;
        ASSERT_TRUE(link.Start(bad));
        link.Enqueue("{\"n\": 0}");
        EXPECT_TRUE(Until([&] { return link.Figures().state == BrokerState::Stopped; }));
        const BrokerLink::Left left = link.Finish(0, "births/state", "{}", 30, true);
        EXPECT_EQ(left.unsent, 1u);
        EXPECT_TRUE(std::strstr(link.Figures().reason, "stopped: the last will"))
            << link.Figures().reason;
        EXPECT_TRUE(std::strstr(link.Figures().reason, "UTF-8")) << link.Figures().reason;
        EXPECT_EQ(wills, 1) << "tried once, never again";
    }

    // Asked before every attempt, also those the broker was not there for.
    wills = 0;
    std::mutex mu;
    std::string lastWill;
    std::atomic<int> births{0};
    c.will = [&] {
        std::lock_guard<std::mutex> lock(mu);
        lastWill = "{\"will\": " + std::to_string(++wills) + "}";
        return BrokerMessage{"births/state", lastWill, true};
    };
    c.onConnect = [&] {
        return std::vector<BrokerMessage>{
            {"births/birth", "{\"birth\": " + std::to_string(++births) + "}", false}};
    };
    auto link = std::make_unique<BrokerLink>();
    ASSERT_TRUE(link->Start(c));
    for (int n = 1; n <= 3; ++n) link->Enqueue("{\"n\": " + std::to_string(n) + "}");
    ASSERT_TRUE(Until([&] { return link->Figures().delivered == 3; }));
    broker.Stop();
    ASSERT_TRUE(Until([&] { return link->Figures().state != BrokerState::Connected; }));
    for (int n = 4; n <= 6; ++n) link->Enqueue("{\"n\": " + std::to_string(n) + "}");
    ASSERT_TRUE(broker.Start());
    ASSERT_TRUE(Until([&] { return link->Figures().delivered == 6; }));
    link.reset();  // no finish: the broker hands out this connection's will
    EXPECT_GE(wills, 2);
    EXPECT_EQ(births, 2);

    QStringList order;
    plant.Of("births/m");  // until the plant's file is quiet
    QFile file(Scratch(QString("sub-%1-births.txt").arg(broker.port())));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    for (const QByteArray &line : file.readAll().split('\n'))
        if (line.startsWith("births/birth ") || line.startsWith("births/m "))
            order.append(QString::fromUtf8(line));
    EXPECT_EQ(order, QStringList({"births/birth {\"birth\": 1}", "births/m {\"n\": 1}",
                                  "births/m {\"n\": 2}", "births/m {\"n\": 3}",
                                  "births/birth {\"birth\": 2}", "births/m {\"n\": 4}",
                                  "births/m {\"n\": 5}", "births/m {\"n\": 6}"}));
    const QJsonObject will = QJsonDocument::fromJson(QByteArray::fromStdString(lastWill)).object();
    EXPECT_TRUE(Until([&] { return Retained(broker, "births/state") == will; }))
        << lastWill << " vs "
        << QJsonDocument(Retained(broker, "births/state")).toJson().toStdString();

    // Let go while it finishes on its own (the window's switch): it still
    // sends what waits and its last text, and the process joins it after.
    c.will = nullptr;
    c.onConnect = nullptr;
    c.clientId = "births-finish";
    link = std::make_unique<BrokerLink>();
    ASSERT_TRUE(link->Start(c));
    for (int n = 7; n <= 9; ++n) link->Enqueue("{\"n\": " + std::to_string(n) + "}");
    link->Finish(0, "births/state", "{\"online\": false}", 10, false);
    link.reset();
    const QJsonObject offline({{"online", false}});
    EXPECT_TRUE(Until([&] { return Retained(broker, "births/state") == offline; }));
    EXPECT_EQ(plant.Of("births/m").size(), 9);
}

// The station with a fault no retry mends (a user name that is no UTF-8):
// it says why once, ends by itself long before its duration with the
// samples it could not publish, and its network thread ends with it (a
// thread left running would abort the process instead of this exit code).
TEST(Publishing, AStationWhoseLinkCannotWorkSaysWhyAndEnds) {
    Broker broker("permanent");
    ASSERT_TRUE(broker.Start());
    kvexsim::SensorSim sim(Sensor(false));
    ASSERT_TRUE(sim.start());
    QProcess station;  // words that are no UTF-8 cannot travel in a QString
    Prepare(station);
    station.start("sh", {"-c",
                         "exec \"$0\" publish --port \"$1\" --duration 600 --mqtt "
                         "\"$(printf 'mqtt://st\\351@127.0.0.1:%s/perm' \"$2\")\"",
                         KvexProgram(), QString::fromStdString(sim.devicePath()),
                         QString::number(broker.port())});
    ASSERT_TRUE(station.waitForFinished(60000)) << "it ended by itself";
    const QString err = QString::fromUtf8(station.readAllStandardError());
    EXPECT_EQ(station.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(station.exitCode(), 6) << err.toStdString();
    // Its last line names the fault, whether or not a sample was measured.
    const QString last = err.trimmed().split('\n').last();
    EXPECT_TRUE(last.contains(QRegularExpression("stopped: the user name.*UTF-8")))
        << err.toStdString();
}

// The station is started before its sensor is plugged in, loses it, gets it
// back at the same device path a few seconds later, then finds another
// sensor there. It never ends by itself: it waits, says why in its retained
// state, tries again, and measures each sensor that answers as a new run;
// the other sensor is named in the state and on standard error. Its options
// come from a configuration file and its password from the service
// manager's credentials (the broker refuses the user without it).
TEST(Station, RidesThroughALostSensorAndNamesAnotherOne) {
    const QString passwords = Scratch("station-passwords");
    QFile::remove(passwords);
    ASSERT_EQ(
        QProcess::execute("mosquitto_passwd", {"-b", "-c", passwords, "station", "s3cret-Word"}),
        0);
    Broker broker("station", "allow_anonymous true\npassword_file " + passwords.toUtf8() + "\n");
    ASSERT_TRUE(broker.Start());
    Subscriber plant(broker, "st");
    const QString link = Scratch("station-sensor");
    QFile::remove(link);
    const QString credentials = Scratch("station-credentials");
    QDir(credentials).removeRecursively();
    QDir().mkpath(credentials);
    WriteFile(credentials + "/mqtt-password", "s3cret-Word\n");
    QFile::setPermissions(credentials + "/mqtt-password", QFile::ReadOwner | QFile::WriteOwner);
    const QString conf = Scratch("station.conf");
    WriteFile(conf, "port = " + link.toUtf8() +
                        "\nmqtt = mqtt://station@127.0.0.1:" + QByteArray::number(broker.port()) +
                        "/st\nmqtt-allow-plain-password = yes\n");

    QProcess station;
    Prepare(station);
    QProcessEnvironment env = station.processEnvironment();
    env.insert("CREDENTIALS_DIRECTORY", credentials);
    station.setProcessEnvironment(env);
    station.start(KvexProgram(), {"publish", "--config", conf});
    ASSERT_TRUE(station.waitForStarted(5000));
    const auto state = [&] { return Retained(broker, "st/state"); };
    const auto waitingBecause = [&](const char *reason) {
        return Within(20, [&] {
            const QJsonObject s = state();
            return s["mode"] == "waiting" && s["reason"] == reason && s["online"].toBool();
        });
    };
    const auto runsArrived = [&](int runs) {
        return Within(20, [&] { return Runs(plant.Of("st/measurement", false)).size() >= runs; });
    };
    EXPECT_TRUE(waitingBecause("waiting for sensor")) << "no sensor at the start";

    kvexsim::SensorSim sim(Sensor(false));
    ASSERT_TRUE(sim.start());
    ASSERT_TRUE(QFile::link(QString::fromStdString(sim.devicePath()), link));
    ASSERT_TRUE(runsArrived(1)) << "the sensor plugged in later is measured";

    sim.vanish();
    QFile::remove(link);
    EXPECT_TRUE(waitingBecause("line lost"));
    Wait(3);
    EXPECT_EQ(station.state(), QProcess::Running);
    sim.stop();
    ASSERT_TRUE(sim.start());
    ASSERT_TRUE(QFile::link(QString::fromStdString(sim.devicePath()), link));
    ASSERT_TRUE(runsArrived(2)) << "the same sensor back at the same path";
    EXPECT_TRUE(Within(10, [&] {
        const QJsonObject s = state();
        return s["mode"] == "run" && !s.contains("reason");
    })) << "the same sensor needs no reason";

    sim.vanish();
    QFile::remove(link);
    EXPECT_TRUE(waitingBecause("line lost"));
    kvexsim::SimConfig other = Sensor(false);
    other.firmware = "K-VEX other sensor 2.00";
    kvexsim::SensorSim second(other);
    ASSERT_TRUE(second.start());
    ASSERT_TRUE(QFile::link(QString::fromStdString(second.devicePath()), link));
    ASSERT_TRUE(runsArrived(3));
    QJsonObject named;
    EXPECT_TRUE(Within(10, [&] {
        named = state();
        return named["mode"] == "run" && named["reason"] == "another sensor";
    })) << QJsonDocument(named).toJson().toStdString();
    EXPECT_EQ(named["sensor"], "K-VEX other sensor 2.00");

    kill(static_cast<pid_t>(station.processId()), SIGTERM);
    ASSERT_TRUE(station.waitForFinished(30000));
    const QString err = QString::fromUtf8(station.readAllStandardError());
    EXPECT_EQ(station.exitCode(), 0) << err.toStdString();
    EXPECT_TRUE(err.contains("another sensor on " + link + ": K-VEX other sensor 2.00"))
        << err.toStdString();
    EXPECT_EQ(err.count("trying once a second"), 3) << "one line per wait, not per attempt";
    QFile::remove(link);

    // Before and after each loss every sample arrived, each run counting
    // from 1 in order, and seq going on across the runs.
    const QList<QJsonObject> got = plant.Of("st/measurement");
    std::map<QString, QList<QJsonObject>> byRun;
    std::set<long long> seqs;
    for (const QJsonObject &m : got) {
        byRun[m["run"].toString()].append(m);
        seqs.insert(m["seq"].toInteger());
    }
    ASSERT_EQ(byRun.size(), 3u);
    long total = 0;
    for (const auto &[run, samples] : byRun) {
        const long last = samples.back()["sample"].toInteger();
        ExpectWholeAndInOrder(samples, 1, last);
        total += last;
    }
    EXPECT_EQ(total, Measured(err)) << err.toStdString();
    EXPECT_EQ(static_cast<long>(seqs.size()), total);
    EXPECT_EQ(*seqs.rbegin() - *seqs.begin() + 1, total) << "no seq left out";
    const QList<QJsonObject> states = plant.Of("st/state");
    ASSERT_FALSE(states.isEmpty());
    EXPECT_EQ(states.back()["reason"], "stopped");
}

// A recording that publishes waits for its lost sensor as the station
// does, and writes the samples still wanted to the next free name, as a
// run of its own: the files and the plant hold every sample asked for.
TEST(Station, ARecordingThatPublishesWaitsForItsSensorAndGoesOnInTheNextFile) {
    Broker broker("recwait");
    ASSERT_TRUE(broker.Start());
    Subscriber plant(broker, "rw");
    kvexsim::SensorSim sim(Sensor(true));  // the line's pace: the recording takes seconds
    ASSERT_TRUE(sim.start());
    const QString link = Scratch("recording-sensor");
    QFile::remove(link);
    ASSERT_TRUE(QFile::link(QString::fromStdString(sim.devicePath()), link));
    const QString file = Scratch("waited.csv"), next = Scratch("waited-2.csv");
    QFile::remove(file);
    QFile::remove(next);
    QProcess rec;
    Prepare(rec);
    rec.start(KvexProgram(), {"record", "--port", link, "--samples", "120", "--interval", "0",
                              "--csv", "--mqtt", broker.url("rw"), file});
    ASSERT_TRUE(rec.waitForStarted(5000));
    ASSERT_TRUE(Within(20, [&] { return plant.Of("rw/measurement", false).size() >= 10; }));
    sim.vanish();
    QFile::remove(link);
    Wait(2);
    EXPECT_EQ(rec.state(), QProcess::Running);
    sim.stop();
    ASSERT_TRUE(sim.start());
    ASSERT_TRUE(QFile::link(QString::fromStdString(sim.devicePath()), link));
    ASSERT_TRUE(rec.waitForFinished(60000));
    const QString err = QString::fromUtf8(rec.readAllStandardError());
    EXPECT_EQ(rec.exitCode(), 0) << err.toStdString();
    EXPECT_TRUE(err.contains("120 samples recorded, all published")) << err.toStdString();
    QFile::remove(link);

    const auto samplesIn = [](const QString &path) {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll().count("\r\n") - 1 : -1;
    };
    const long first = samplesIn(file), second = samplesIn(next);
    EXPECT_GT(first, 0);
    EXPECT_GT(second, 0);
    EXPECT_EQ(first + second, 120);
    std::map<QString, QList<QJsonObject>> byRun;
    for (const QJsonObject &m : plant.Of("rw/measurement")) byRun[m["run"].toString()].append(m);
    ASSERT_EQ(byRun.size(), 2u);
    std::set<long> lasts;
    for (const auto &[run, samples] : byRun) {
        const long last = samples.back()["sample"].toInteger();
        ExpectWholeAndInOrder(samples, 1, last);
        lasts.insert(last);
    }
    EXPECT_EQ(lasts, (std::set<long>{first, second})) << "each file's lines, under their numbers";
}

// --exit-on-line-lost keeps the verb's old end: no sensor at the start is
// exit 3, a sensor lost while measuring exit 5.
TEST(Station, ExitOnLineLostEndsTheVerbInstead) {
    Broker broker("exits");
    ASSERT_TRUE(broker.Start());
    const Finished none = Kvex({"publish", "--port", Scratch("no-such-sensor"), "--mqtt",
                                broker.url("exits"), "--exit-on-line-lost"});
    EXPECT_EQ(none.code, 3) << none.err.toStdString();
    kvexsim::SensorSim sim(Sensor(false));
    ASSERT_TRUE(sim.start());
    QProcess station;
    Prepare(station);
    station.start(KvexProgram(), {"publish", "--port", QString::fromStdString(sim.devicePath()),
                                  "--mqtt", broker.url("exits"), "--exit-on-line-lost"});
    ASSERT_TRUE(station.waitForStarted(5000));
    ASSERT_TRUE(Within(20, [&] { return Retained(broker, "exits/state")["mode"] == "run"; }));
    sim.vanish();
    ASSERT_TRUE(station.waitForFinished(30000));
    const QString err = QString::fromUtf8(station.readAllStandardError());
    EXPECT_EQ(station.exitCode(), 5) << err.toStdString();
    EXPECT_TRUE(err.contains("run mode ended: Line lost")) << err.toStdString();
}

namespace {

// The service manager's end of the notification socket.
class NotifySocket {
  public:
    explicit NotifySocket(const QString &path) : path_(path.toStdString()) {
        std::remove(path_.c_str());
        fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::snprintf(a.sun_path, sizeof a.sun_path, "%s", path_.c_str());
        bound_ = fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    }
    ~NotifySocket() {
        if (fd_ >= 0) close(fd_);
        std::remove(path_.c_str());
    }
    bool bound() const { return bound_; }
    // The messages that came within seconds (or that wait, for 0).
    QStringList Take(double seconds) {
        QStringList got;
        pollfd p{fd_, POLLIN, 0};
        while (poll(&p, 1, static_cast<int>(seconds * 1000)) > 0) {
            char buffer[4096];
            const ssize_t n = recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
            if (n <= 0) break;
            got.append(QString::fromUtf8(buffer, static_cast<int>(n)));
            seconds = 0;
        }
        return got;
    }

  private:
    std::string path_;
    int fd_ = -1;
    bool bound_ = false;
};

char ProcessState(qint64 pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string all((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const std::size_t close = all.rfind(')');
    return close == std::string::npos || close + 2 >= all.size() ? '?' : all[close + 2];
}

}  // namespace

// Under a service manager: READY=1 once measuring, STATUS= lines with the
// state in words, WATCHDOG=1 pings at half the interval it asked for, and
// none while the process is stopped (so a hung station would be
// restarted); its log lines carry the journal's priorities.
TEST(Station, TellsTheServiceManagerItIsReadyItsStateAndThatItLives) {
    Broker broker("notify");
    ASSERT_TRUE(broker.Start());
    kvexsim::SensorSim sim(Sensor(false));
    ASSERT_TRUE(sim.start());
    NotifySocket manager(Scratch("notify.sock"));
    ASSERT_TRUE(manager.bound());
    QProcess station;
    Prepare(station);
    QProcessEnvironment env = station.processEnvironment();
    env.insert("NOTIFY_SOCKET", Scratch("notify.sock"));
    env.insert("WATCHDOG_USEC", "300000");
    station.setProcessEnvironment(env);
    // Standard error is the journal's stream: the service manager names it.
    station.start("sh",
                  {"-c", "JOURNAL_STREAM=$(stat -L -c %d:%i /proc/self/fd/2) exec \"$0\" \"$@\"",
                   KvexProgram(), "publish", "--port", QString::fromStdString(sim.devicePath()),
                   "--mqtt", broker.url("notify")});
    ASSERT_TRUE(station.waitForStarted(5000));

    QStringList before;
    ASSERT_TRUE(Within(30, [&] {
        before += manager.Take(0.1);
        return before.count("WATCHDOG=1") >= 4;
    })) << before.join(" | ").toStdString();
    ASSERT_FALSE(before.isEmpty());
    EXPECT_EQ(before.front(), "READY=1") << "ready before anything else";
    EXPECT_EQ(before.count("READY=1"), 1);
    const QStringList status = before.filter(QRegularExpression("^STATUS="));
    ASSERT_FALSE(status.isEmpty());
    EXPECT_TRUE(status.front().startsWith("STATUS=measuring on " +
                                          QString::fromStdString(sim.devicePath())))
        << status.front().toStdString();
    for (int i = 1; i < status.size(); ++i)
        EXPECT_NE(status[i], status[i - 1]) << "a status goes out when it changes";

    kill(static_cast<pid_t>(station.processId()), SIGSTOP);
    ASSERT_TRUE(Within(10, [&] { return ProcessState(station.processId()) == 'T'; }));
    manager.Take(0);  // what went out before it stopped
    EXPECT_TRUE(manager.Take(1.5).isEmpty()) << "no ping from a stopped process";
    kill(static_cast<pid_t>(station.processId()), SIGCONT);
    QStringList after;
    EXPECT_TRUE(Within(30, [&] {
        after += manager.Take(0.1);
        return after.count("WATCHDOG=1") >= 2;
    })) << "pings again once it runs";

    kill(static_cast<pid_t>(station.processId()), SIGTERM);
    ASSERT_TRUE(station.waitForFinished(30000));
    EXPECT_EQ(station.exitCode(), 0);
    after += manager.Take(0.5);
    EXPECT_EQ(after.back(), "STOPPING=1") << after.join(" | ").toStdString();
    const QStringList lines =
        QString::fromUtf8(station.readAllStandardError()).split('\n', Qt::SkipEmptyParts);
    ASSERT_FALSE(lines.isEmpty());
    for (const QString &line : lines)
        EXPECT_TRUE(QRegularExpression("^<[346]>kvex: ").match(line).hasMatch())
            << line.toStdString();
    EXPECT_TRUE(lines.filter(QRegularExpression("^<6>kvex: publishing to notify/")).size() == 1)
        << lines.join('\n').toStdString();
}

// ----------------------------------------------------------------- Sparkplug
// The plant here is a Sparkplug host's view: every payload decoded with
// Google's protobuf, not the station's library, and checked against the
// session rules a host relies on.
namespace {

struct SpMessage {
    QString type, topic;
    spb::Payload payload;
};

QList<SpMessage> SparkplugMessages(Subscriber &plant, bool settle = true) {
    QList<SpMessage> out;
    for (const QString &line : plant.Lines(settle)) {
        const QStringList words = line.split(' ');
        const QStringList levels = words[0].split('/');
        if (words.size() != 2 || levels.size() < 4 || levels[0] != "spBv1.0") continue;
        SpMessage m;
        m.type = levels[2];
        m.topic = words[0];
        const QByteArray bytes = QByteArray::fromHex(words[1].toLatin1());
        EXPECT_TRUE(m.payload.ParseFromArray(bytes.constData(), static_cast<int>(bytes.size())))
            << line.toStdString();
        out.append(m);
    }
    return out;
}

const spb::Payload_Metric *Named(const spb::Payload &p, const std::string &name) {
    for (const auto &m : p.metrics())
        if (m.name() == name) return &m;
    return nullptr;
}

// What a host learns from the births: each alias's name.
struct Host {
    std::map<uint64_t, std::string> names;
    void Learn(const spb::Payload &birth) {
        for (const auto &m : birth.metrics())
            if (m.has_alias()) names[m.alias()] = m.name();
    }
    // The metric of that name in a data message, which names by alias only.
    const spb::Payload_Metric *Get(const spb::Payload &data, const std::string &name) const {
        for (const auto &m : data.metrics()) {
            EXPECT_FALSE(m.has_name()) << "a name after the birth: " << m.name();
            const auto it = names.find(m.alias());
            if (it != names.end() && it->second == name) return &m;
        }
        return nullptr;
    }
};

// The session rules over one stream of messages: NBIRTH with seq 0 and the
// bdSeq of its will, each following message one seq on (255 then 0), DBIRTH
// before any DDATA of a connection or after a DDEATH, and the samples whole
// and in order (repeated only after a new birth: QoS 1 sends again what a
// broken connection left unacknowledged). Returns the samples' numbers.
struct SessionCheck {
    Host host;
    int births = 0, deviceBirths = 0, deviceDeaths = 0, wraps = 0;
    std::vector<uint64_t> bdSeqs;
    std::vector<long> samples;  // in the order they came, repeats left out
    std::vector<double> values;
    std::set<std::string> seen;
    void Run(const QList<SpMessage> &messages) {
        bool nodeBorn = false, deviceBorn = false;
        uint64_t seq = 0;
        for (const SpMessage &m : messages) {
            const spb::Payload &p = m.payload;
            if (m.type == "NCMD") continue;  // the host's word, not the node's
            // What a restarting broker had in flight to the plant it hands
            // over again: the very same message, not a new one of the node.
            if (!seen.insert(m.topic.toStdString() + p.SerializeAsString()).second) continue;
            if (m.type == "NDEATH") {
                const spb::Payload_Metric *bd = Named(p, "bdSeq");
                ASSERT_TRUE(bd);
                ASSERT_FALSE(bdSeqs.empty());
                EXPECT_EQ(bd->long_value(), bdSeqs.back()) << "a death of another session";
                EXPECT_FALSE(p.has_seq());
                nodeBorn = deviceBorn = false;
                continue;
            }
            ASSERT_TRUE(p.has_seq()) << m.topic.toStdString();
            ASSERT_TRUE(p.has_timestamp());
            if (m.type == "NBIRTH") {
                EXPECT_EQ(p.seq(), 0u);
                const spb::Payload_Metric *bd = Named(p, "bdSeq");
                const spb::Payload_Metric *rebirth = Named(p, "Node Control/Rebirth");
                ASSERT_TRUE(bd && rebirth);
                EXPECT_FALSE(rebirth->boolean_value());
                bdSeqs.push_back(bd->long_value());
                host.Learn(p);
                ++births;
                nodeBorn = true;
                deviceBorn = false;
                seq = 0;
                continue;
            }
            ASSERT_TRUE(nodeBorn) << m.type.toStdString() << " before NBIRTH";
            EXPECT_EQ(p.seq(), (seq + 1) % 256) << m.type.toStdString();
            if (p.seq() == 0) ++wraps;
            seq = p.seq();
            if (m.type == "DBIRTH") {
                host.Learn(p);
                const spb::Payload_Metric *v = Named(p, "Measurement/Value");
                ASSERT_TRUE(v);
                EXPECT_EQ(v->datatype(), 10u);
                ASSERT_EQ(v->properties().keys_size(), 1);
                EXPECT_EQ(v->properties().keys(0), "engUnit");
                EXPECT_EQ(v->properties().values(0).string_value(), "mm");
                deviceBorn = true;
                ++deviceBirths;
                if (!v->is_null()) Sample(Named(p, "Measurement/Sample"), v, true);
            } else if (m.type == "DDEATH") {
                deviceBorn = false;
                ++deviceDeaths;
            } else if (m.type == "DDATA") {
                ASSERT_TRUE(deviceBorn) << "DDATA before DBIRTH";
                const spb::Payload_Metric *v = host.Get(p, "Measurement/Value");
                const spb::Payload_Metric *um = host.Get(p, "Measurement/Value um");
                ASSERT_TRUE(v && um);
                EXPECT_NEAR(v->double_value() * 1000, um->double_value(), 1e-6);
                Sample(host.Get(p, "Measurement/Sample"), v, false);
            }
        }
    }
    // A new run counts from 1 again; within a run, numbers go up by one. A
    // birth tells the latest sample again, and a new one only as the next.
    void Sample(const spb::Payload_Metric *n, const spb::Payload_Metric *v, bool birth) {
        ASSERT_TRUE(n);
        const long number = static_cast<long>(n->long_value());
        if (birth && (samples.empty() || number != samples.back() + 1)) return;
        if (!samples.empty() && number != 1 && number <= samples.back()) return;  // a repeat
        if (!samples.empty() && number != 1) {
            EXPECT_EQ(number, samples.back() + 1) << "a sample left out";
        }
        samples.push_back(number);
        values.push_back(v->double_value());
    }
};

std::string RebirthCommand() {
    spb::Payload p;
    p.set_timestamp(1);
    spb::Payload_Metric *m = p.add_metrics();
    m->set_name("Node Control/Rebirth");
    m->set_datatype(11);
    m->set_boolean_value(true);
    return p.SerializeAsString();
}

void Publish(const Broker &b, const QString &topic, const QByteArray &payload, bool retain) {
    QStringList args = {"-h", "127.0.0.1", "-p", QString::number(b.port()), "-q", "1",
                        "-t", topic,       "-s"};
    if (retain) args << "-r";
    QProcess p;
    p.start("mosquitto_pub", args);
    ASSERT_TRUE(p.waitForStarted(5000));
    p.write(payload);
    p.closeWriteChannel();
    ASSERT_TRUE(p.waitForFinished(5000));
}

int Count(const QList<SpMessage> &messages, const QString &type) {
    return static_cast<int>(std::count_if(messages.begin(), messages.end(),
                                          [&](const SpMessage &m) { return m.type == type; }));
}

}  // namespace

// An unpaced sensor through a broker that restarts: births before data on
// both connections, seq wrapping past 255, every sample once and in order,
// NDEATH with the session's bdSeq at the end, and the next start's bdSeq one
// on from the last, read back from the settings.
TEST(Sparkplug, ANodeKeepsTheSessionRulesThroughABrokerRestartAndAcrossStarts) {
    Broker broker("spark", "", true);
    ASSERT_TRUE(broker.Start());
    Subscriber plant(broker, "spBv1.0/line", true);
    kvexsim::SensorSim sim(Sensor(false));
    ASSERT_TRUE(sim.start());
    const QString settings = Scratch("spark-settings.ini");
    QFile::remove(settings);
    QProcess node;
    Prepare(node);
    QProcessEnvironment env = node.processEnvironment();
    env.insert("KVEX_SETTINGS", settings);
    node.setProcessEnvironment(env);
    const QString device = QString::fromStdString(sim.devicePath());
    const QStringList args = {"publish",
                              "--port",
                              device,
                              "--mqtt",
                              QString("mqtt://127.0.0.1:%1").arg(broker.port()),
                              "--sparkplug",
                              "line/cell-7"};
    node.start(KvexProgram(), args + QStringList{"--duration", "12"});
    ASSERT_TRUE(node.waitForStarted(5000));
    ASSERT_TRUE(Within(30, [&] { return Count(SparkplugMessages(plant, false), "DDATA") > 600; }));
    broker.Stop();
    Wait(2);
    ASSERT_TRUE(broker.Start());
    ASSERT_TRUE(node.waitForFinished(60000));
    const QString err = QString::fromUtf8(node.readAllStandardError());
    EXPECT_EQ(node.exitCode(), 0) << err.toStdString();

    const QList<SpMessage> got = SparkplugMessages(plant);
    ASSERT_FALSE(got.isEmpty());
    EXPECT_EQ(got.front().type, "NBIRTH");
    EXPECT_EQ(got.back().type, "NDEATH");
    const QString pts = device.mid(QString("/dev/").size()).replace('/', '_');
    for (const SpMessage &m : got) {
        if (m.type.startsWith('D')) {
            EXPECT_EQ(m.topic, "spBv1.0/line/" + m.type + "/cell-7/" + pts);
        }
    }
    SessionCheck check;
    check.Run(got);
    EXPECT_EQ(check.births, 2) << "one birth per connection";
    ASSERT_EQ(check.bdSeqs.size(), 2u);
    EXPECT_EQ(check.bdSeqs[1], (check.bdSeqs[0] + 1) % 256);
    EXPECT_EQ(check.deviceBirths, 2);
    EXPECT_GE(check.wraps, 2) << "seq wraps after 255";
    ASSERT_FALSE(check.samples.empty());
    EXPECT_EQ(check.samples.front(), 1);
    EXPECT_EQ(static_cast<long>(check.samples.size()), Measured(err)) << err.toStdString();
    EXPECT_EQ(check.samples.back(), Measured(err));

    // The next start: its will and birth take the bdSeq after the last one.
    const Finished again = [&] {
        QProcess p;
        p.setProcessEnvironment(env);
        p.start(KvexProgram(), args + QStringList{"--duration", "1"});
        p.waitForFinished(60000);
        return Finished{p.exitCode(), QString::fromUtf8(p.readAllStandardError())};
    }();
    EXPECT_EQ(again.code, 0) << again.err.toStdString();
    SessionCheck next;
    next.Run(SparkplugMessages(plant).mid(got.size()));
    ASSERT_EQ(next.bdSeqs.size(), 1u);
    EXPECT_EQ(next.bdSeqs[0], (check.bdSeqs[1] + 1) % 256);
}

// A station that waits for its primary host, then a sensor plugged in
// later, a rebirth asked by the host, the sensor pulled and back, the host
// gone and back, and a kill -9: each is told as a host expects it.
TEST(Sparkplug, HostRebirthPulledSensorAndKillAreToldAsAHostExpects) {
    Broker broker("spark-host");
    ASSERT_TRUE(broker.Start());
    Subscriber plant(broker, "spBv1.0/plant", true);
    const QString link = Scratch("spark-sensor");
    QFile::remove(link);
    QProcess node;
    Prepare(node);
    QProcessEnvironment env = node.processEnvironment();
    env.insert("KVEX_SETTINGS", Scratch("spark-host-settings.ini"));
    node.setProcessEnvironment(env);
    node.start(KvexProgram(), {"publish", "--port", link, "--mqtt",
                               QString("mqtt://127.0.0.1:%1").arg(broker.port()), "--sparkplug",
                               "plant/edge/gauge", "--sparkplug-host", "scada"});
    ASSERT_TRUE(node.waitForStarted(5000));
    const auto messages = [&] { return SparkplugMessages(plant, false); };
    const auto until = [&](const QString &type, int count) {
        return Within(30, [&] { return Count(messages(), type) >= count; });
    };
    Wait(3);
    EXPECT_EQ(Count(messages(), "NBIRTH"), 0) << "no birth before the host is online";
    const QString state = "spBv1.0/STATE/scada";
    Publish(broker, state, "{\"online\": true, \"timestamp\": 1}", true);
    ASSERT_TRUE(until("NBIRTH", 1));
    EXPECT_EQ(Count(messages(), "DBIRTH"), 0) << "no sensor yet";

    kvexsim::SensorSim sim(Sensor(true));
    ASSERT_TRUE(sim.start());
    ASSERT_TRUE(QFile::link(QString::fromStdString(sim.devicePath()), link));
    ASSERT_TRUE(until("DDATA", 5));
    Publish(broker, "spBv1.0/plant/NCMD/edge", QByteArray::fromStdString(RebirthCommand()), false);
    ASSERT_TRUE(until("NBIRTH", 2));
    ASSERT_TRUE(until("DBIRTH", 2));
    sim.vanish();
    QFile::remove(link);
    ASSERT_TRUE(until("DDEATH", 1));
    sim.stop();
    ASSERT_TRUE(sim.start());
    ASSERT_TRUE(QFile::link(QString::fromStdString(sim.devicePath()), link));
    ASSERT_TRUE(until("DBIRTH", 3));
    Publish(broker, state, "{\"online\": false, \"timestamp\": 2}", true);
    Wait(1);
    Publish(broker, state, "{\"online\": true, \"timestamp\": 3}", true);
    ASSERT_TRUE(until("NBIRTH", 3)) << "births again when the host is back";
    ASSERT_TRUE(until("DBIRTH", 4));
    const int dataBefore = Count(messages(), "DDATA");
    ASSERT_TRUE(Within(30, [&] { return Count(messages(), "DDATA") > dataBefore + 5; }));
    kill(static_cast<pid_t>(node.processId()), SIGKILL);
    ASSERT_TRUE(node.waitForFinished(10000));
    ASSERT_TRUE(until("NDEATH", 1)) << "the broker tells the will";
    QFile::remove(link);
    Publish(broker, state, "", true);  // the retained state is the test's, not the broker's

    const QList<SpMessage> got = SparkplugMessages(plant);
    EXPECT_EQ(got.back().type, "NDEATH");
    SessionCheck check;
    check.Run(got);
    EXPECT_EQ(check.births, 3);
    ASSERT_EQ(check.bdSeqs.size(), 3u);
    EXPECT_EQ(check.bdSeqs[0], check.bdSeqs[2]) << "a rebirth keeps the connection's bdSeq";
    EXPECT_EQ(check.deviceDeaths, 1);
    // Two runs, each whole from sample 1.
    EXPECT_EQ(std::count(check.samples.begin(), check.samples.end(), 1L), 2);
    // The node's metrics: waiting without a sensor, run with one.
    std::vector<std::string> modes;
    for (const SpMessage &m : got)
        if (m.type == "NDATA" || m.type == "NBIRTH")
            for (const auto &metric : m.payload.metrics())
                if (check.host.names[metric.alias()] == "Station/Mode" && !metric.is_null())
                    modes.push_back(metric.string_value());
    EXPECT_NE(std::find(modes.begin(), modes.end(), "waiting"), modes.end());
    EXPECT_NE(std::find(modes.begin(), modes.end(), "run"), modes.end());
}

// The window's choice: Sparkplug B without a name is refused in words, with
// one the node is born on the broker and says its death when switched off.
TEST(PublishWindow, SparkplugChosenInTheWindowBirthsTheNodeAndAnUnnamedOneIsRefused) {
    Broker broker("window-spark");
    ASSERT_TRUE(broker.Start());
    Subscriber plant(broker, "spBv1.0/win", true);
    kvextest::KVexApp app;
    ASSERT_TRUE(app.Start());
    const QByteArray url = QString("mqtt://127.0.0.1:%1").arg(broker.port()).toUtf8();
    SetCtrlVal(pPublish, PUBLISH_BrokerUrl, url.constData());
    SetCtrlVal(pPublish, PUBLISH_PublishFormat, 1);
    SetCtrlVal(pPublish, PUBLISH_SparkplugName, "");
    SetCtrlVal(pPublish, PUBLISH_PublishOn, 1);
    kvextest::KVexApp::Commit(CC_PublishOn, pPublish, PUBLISH_PublishOn);
    char state[400] = "";
    GetCtrlVal(pPublish, PUBLISH_PublishState, state, sizeof state);
    EXPECT_STREQ(state, "Cannot publish: Sparkplug B needs GROUP/EDGE_NODE[/DEVICE]");
    EXPECT_FALSE(PublishingOn());

    SetCtrlVal(pPublish, PUBLISH_SparkplugName, "win/station-2");
    SetCtrlVal(pPublish, PUBLISH_PublishOn, 1);
    kvextest::KVexApp::Commit(CC_PublishOn, pPublish, PUBLISH_PublishOn);
    ASSERT_TRUE(kvextest::PumpUntil([] { return PublishingFigures().connected; }, 10));
    char text[320];
    BrokerStateText(text, sizeof text);
    EXPECT_TRUE(std::strstr(text, "Sparkplug B node win/station-2")) << text;
    // The window as the operator sees it, under the build tree.
    DisplayPanel(pPublish);
    EXPECT_EQ(SavePanelImage(pPublish, KVEX_TEST_OUTPUT "/publish_window.png"), 0);
    ASSERT_TRUE(Within(10, [&] { return Count(SparkplugMessages(plant, false), "NBIRTH") == 1; }));
    EXPECT_EQ(GetSettingNumber("publish/format", 0), 1);
    SetCtrlVal(pPublish, PUBLISH_PublishOn, 0);
    kvextest::KVexApp::Commit(CC_PublishOn, pPublish, PUBLISH_PublishOn);
    ASSERT_TRUE(Within(10, [&] { return Count(SparkplugMessages(plant, false), "NDEATH") == 1; }));
    const QList<SpMessage> got = SparkplugMessages(plant);
    EXPECT_EQ(got.front().topic, "spBv1.0/win/NBIRTH/station-2");
    EXPECT_EQ(got.back().topic, "spBv1.0/win/NDEATH/station-2");
}
