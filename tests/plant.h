// The plant's side of publishing tests: a mosquitto of the test's own on
// 127.0.0.1 and a free port, stopped by its process id, and mosquitto_sub
// standing for the plant. Where the broker goes away it keeps the plant's
// session in a file of the test's own, as a plant's broker would: what it
// took from the station before it stopped still reaches the plant, and the
// plant's subscription stands before the station is back.
//
// Nothing here waits for a time: each wait polls for what the test needs
// (a connection, a message, a count) within a bound only a fault reaches.
#pragma once

#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <unistd.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QThread>
#include <algorithm>
#include <functional>
#include <memory>
#include <set>

#include "kvex_process.h"
#include "sensor_sim.h"

namespace kvextest {

inline QString Scratch(const QString &name) {
    const QString dir = QStringLiteral(KVEX_TEST_OUTPUT "/publish");
    QDir().mkpath(dir);
    return dir + "/" + name;
}

inline void WriteFile(const QString &path, const QByteArray &text) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    ASSERT_EQ(f.write(text), text.size());
}

inline bool Accepts(int port);

// A mosquitto with a configuration of the test's own; extra lines add
// listeners, a password file, TLS. Its log (connections and subscriptions
// among it) is the file log() names.
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
        QFile::remove(log());
        WriteFile(conf_, persistence +
                             "log_type error\nlog_type warning\nlog_type notice\n"
                             "log_type information\nlog_type subscribe\n"
                             "max_queued_messages 0\nlistener " +
                             QByteArray::number(port_) + " 127.0.0.1\n" +
                             (extra.isEmpty() ? "allow_anonymous true\n" : extra));
    }
    ~Broker() { Stop(); }
    bool Start() {
        proc_ = std::make_unique<QProcess>();
        proc_->setProcessChannelMode(QProcess::MergedChannels);
        proc_->setStandardOutputFile(log(), QIODevice::Append);
        proc_->start("mosquitto", {"-c", conf_});
        if (!proc_->waitForStarted(30000)) return false;
        return Within(30, [&] { return Accepts(port_); });
    }
    void Stop() {
        if (!proc_) return;
        kill(static_cast<pid_t>(proc_->processId()), SIGTERM);
        proc_->waitForFinished(30000);
        proc_.reset();
    }
    int port() const { return port_; }
    QString url(const QString &root) const {
        return QString("mqtt://127.0.0.1:%1/%2").arg(port_).arg(root);
    }
    QString log() const { return conf_ + ".log"; }
    // Whether the broker's log has said it yet.
    bool Logged(const QString &text) const {
        QFile f(log());
        return f.open(QIODevice::ReadOnly) && f.readAll().contains(text.toUtf8());
    }

  private:
    int port_;
    QString conf_;
    std::unique_ptr<QProcess> proc_;
};

inline bool Accepts(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = fd >= 0 && connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    if (fd >= 0) close(fd);
    return ok;
}

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
        proc_.waitForStarted(30000);
        // Subscribed before the first sample goes out: a probe came through.
        const bool subscribed = Within(30, [&] {
            QProcess::execute("mosquitto_pub",
                              {"-h", "127.0.0.1", "-p", port, "-t", root + "/probe", "-m", "{}"});
            return QFileInfo(file_).size() > 0;
        });
        EXPECT_TRUE(subscribed) << "the plant never heard its probe on " << root.toStdString();
    }
    ~Subscriber() {
        kill(static_cast<pid_t>(proc_.processId()), SIGTERM);
        proc_.waitForFinished(30000);
    }
    QString file() const { return file_; }
    // What came so far, one message a line.
    QStringList Lines() const {
        QFile f(file_);
        if (!f.open(QIODevice::ReadOnly)) return {};
        QStringList lines = QString::fromUtf8(f.readAll()).split('\n');
        lines.removeLast();  // the one still being written, or the empty one after the last
        lines.removeAll(QString());
        return lines;
    }
    // The payloads of one topic so far, in the order they came.
    QList<QJsonObject> Of(const QString &topic) const {
        QList<QJsonObject> out;
        for (const QString &line : Lines()) {
            const int space = line.indexOf(' ');
            if (line.left(space) == topic)
                out.append(QJsonDocument::fromJson(line.mid(space + 1).toUtf8()).object());
        }
        return out;
    }
    // Waits until a message of the topic came that matches.
    bool Heard(const QString &topic, const std::function<bool(const QJsonObject &)> &matches,
               double seconds = 60) const {
        return Within(seconds, [&] {
            const QList<QJsonObject> got = Of(topic);
            return std::any_of(got.begin(), got.end(), matches);
        });
    }
    // Waits for the station's last word on a clean end: everything it sent
    // before came before it.
    bool HeardTheEnd(const QString &root, double seconds = 60) const {
        return Heard(
            root + "/state", [](const QJsonObject &s) { return s["reason"] == "stopped"; },
            seconds);
    }

  private:
    QString file_;
    QProcess proc_;
};

// A mosquitto password file that knows the user station by s3cret-Word;
// empty when mosquitto_passwd could not make it.
inline QString StationPasswords(const QString &name) {
    const QString passwords = Scratch(name);
    QFile::remove(passwords);
    const int made =
        QProcess::execute("mosquitto_passwd", {"-b", "-c", passwords, "station", "s3cret-Word"});
    return made == 0 ? passwords : QString();
}

// The retained message of a topic as a newcomer gets it.
inline QJsonObject Retained(const Broker &b, const QString &topic) {
    QProcess p;
    p.start("mosquitto_sub", {"-h", "127.0.0.1", "-p", QString::number(b.port()), "-t", topic, "-C",
                              "1", "-W", "3"});
    p.waitForFinished(30000);
    return QJsonDocument::fromJson(p.readAllStandardOutput().trimmed()).object();
}

// kvex run to its end, with the broker's password in the environment when
// one is given.
inline Finished Kvex(const QStringList &args, const QString &password = {}) {
    return RunKvex(
        args, password.isEmpty() ? QProcessEnvironment() : Env({{"KVEX_MQTT_PASSWORD", password}}));
}

inline kvexsim::SimConfig Sensor(bool paced) {
    kvexsim::SimConfig cfg;
    cfg.paced = paced;
    if (!paced) cfg.latencySeconds = 0.0;
    return cfg;
}

// "kvex: N samples measured, ..." of the verb's last words.
inline long Measured(const QString &err) {
    const auto m = QRegularExpression("(\\d+) samples? measured").match(err);
    return m.hasMatch() ? m.captured(1).toLong() : -1;
}

// Sample numbers as the plant got them: each at least once, none missing
// from first to last, and each new one after the ones before it (QoS 1
// repeats a sample whose acknowledgement a broken connection took).
inline void ExpectWholeAndInOrder(const QList<QJsonObject> &got, long first, long last) {
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

}  // namespace kvextest
