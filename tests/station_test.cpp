// The station as a service runs it: a sensor that comes and goes, a
// recording that waits for it, and the service manager's notifications.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QThread>
#include <cstdio>
#include <fstream>
#include <map>
#include <set>
#include <string>

#include "plant.h"
#include "sensor_sim.h"

using namespace kvextest;

namespace {

QSet<QString> Runs(const QList<QJsonObject> &samples) {
    QSet<QString> runs;
    for (const QJsonObject &s : samples) runs.insert(s["run"].toString());
    return runs;
}

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

// The station is started before its sensor is plugged in, loses it, gets it
// back at the same device path a few seconds later, then finds another
// sensor there. It never ends by itself: it waits, says why in its retained
// state, tries again, and measures each sensor that answers as a new run;
// the other sensor is named in the state and on standard error. Its options
// come from a configuration file and its password from the service
// manager's credentials (the broker refuses the user without it).
TEST(Station, RidesThroughALostSensorAndNamesAnotherOne) {
    const QString passwords = StationPasswords("station-passwords");
    ASSERT_FALSE(passwords.isEmpty());
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
    PrepareKvex(station);
    QProcessEnvironment env = station.processEnvironment();
    env.insert("CREDENTIALS_DIRECTORY", credentials);
    station.setProcessEnvironment(env);
    station.start(KvexProgram(), {"publish", "--config", conf});
    ASSERT_TRUE(station.waitForStarted(30000));
    const auto state = [&] { return Retained(broker, "st/state"); };
    const auto waitingBecause = [&](const char *reason) {
        return Within(60, [&] {
            const QJsonObject s = state();
            return s["mode"] == "waiting" && s["reason"] == reason && s["online"].toBool();
        });
    };
    const auto runsArrived = [&](int runs) {
        return Within(60, [&] { return Runs(plant.Of("st/measurement")).size() >= runs; });
    };
    EXPECT_TRUE(waitingBecause("waiting for sensor")) << "no sensor at the start";

    kvexsim::SensorSim sim(Sensor(false));
    ASSERT_TRUE(sim.start());
    ASSERT_TRUE(QFile::link(QString::fromStdString(sim.devicePath()), link));
    ASSERT_TRUE(runsArrived(1)) << "the sensor plugged in later is measured";

    sim.vanish();
    QFile::remove(link);
    EXPECT_TRUE(waitingBecause("line lost"));
    QThread::sleep(3);  // the sensor stays away for a few of the station's tries
    sim.stop();
    ASSERT_TRUE(sim.start());
    ASSERT_TRUE(QFile::link(QString::fromStdString(sim.devicePath()), link));
    ASSERT_TRUE(runsArrived(2)) << "the same sensor back at the same path";
    EXPECT_TRUE(Within(60, [&] {
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
    EXPECT_TRUE(Within(60, [&] {
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
    ASSERT_TRUE(plant.HeardTheEnd("st"));

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
    PrepareKvex(rec);
    rec.start(KvexProgram(), {"record", "--port", link, "--samples", "120", "--interval", "0",
                              "--csv", "--mqtt", broker.url("rw"), file});
    ASSERT_TRUE(rec.waitForStarted(30000));
    ASSERT_TRUE(Within(60, [&] { return plant.Of("rw/measurement").size() >= 10; }));
    sim.vanish();
    QFile::remove(link);
    QString said;
    EXPECT_TRUE(UntilSaid(rec, said, "waiting for a sensor on " + link)) << said.toStdString();
    sim.stop();
    ASSERT_TRUE(sim.start());
    ASSERT_TRUE(QFile::link(QString::fromStdString(sim.devicePath()), link));
    ASSERT_TRUE(rec.waitForFinished(120000));
    const QString err = said + QString::fromUtf8(rec.readAllStandardError());
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
    ASSERT_TRUE(plant.HeardTheEnd("rw"));
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
    PrepareKvex(station);
    station.start(KvexProgram(), {"publish", "--port", QString::fromStdString(sim.devicePath()),
                                  "--mqtt", broker.url("exits"), "--exit-on-line-lost"});
    ASSERT_TRUE(station.waitForStarted(30000));
    ASSERT_TRUE(Within(60, [&] { return Retained(broker, "exits/state")["mode"] == "run"; }));
    sim.vanish();
    ASSERT_TRUE(station.waitForFinished(30000));
    const QString err = QString::fromUtf8(station.readAllStandardError());
    EXPECT_EQ(station.exitCode(), 5) << err.toStdString();
    EXPECT_TRUE(err.contains("run mode ended: Line lost")) << err.toStdString();
}

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
    PrepareKvex(station);
    QProcessEnvironment env = station.processEnvironment();
    env.insert("NOTIFY_SOCKET", Scratch("notify.sock"));
    env.insert("WATCHDOG_USEC", "300000");
    station.setProcessEnvironment(env);
    // Standard error is the journal's stream: the service manager names it.
    station.start("sh",
                  {"-c", "JOURNAL_STREAM=$(stat -L -c %d:%i /proc/self/fd/2) exec \"$0\" \"$@\"",
                   KvexProgram(), "publish", "--port", QString::fromStdString(sim.devicePath()),
                   "--mqtt", broker.url("notify")});
    ASSERT_TRUE(station.waitForStarted(30000));

    QStringList before;
    ASSERT_TRUE(Within(60, [&] {
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
    EXPECT_TRUE(Within(60, [&] {
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

// The station needs neither the window's panel file nor a display: the
// program alone in a folder, with no display or platform variable, tells
// the sensor, records and publishes. Once that rested on hidden panels, and
// a damaged panel file ended the service.
TEST(Station, RunsWithoutAPanelFileOrADisplay) {
    const QString dir = FreshDir("windowless");
    const QString program = dir + "/kvex";
    ASSERT_TRUE(QFile::copy(KvexProgram(), program));
    ASSERT_TRUE(QFile::setPermissions(program, QFile::ReadOwner | QFile::ExeOwner));
    ASSERT_FALSE(QFile::exists(dir + "/K-VEX-RB-ZD-VedudU300.uir"));
    QProcessEnvironment env = KvexEnvironment();
    for (const char *name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"}) env.remove(name);
    const auto start = [&](QProcess &p, const QStringList &args) {
        p.setProcessEnvironment(env);
        p.setWorkingDirectory(dir);
        p.start(program, args);
        return p.waitForStarted(30000);
    };
    kvexsim::SensorSim sim(Sensor(false));
    ASSERT_TRUE(sim.start());
    const QString port = QString::fromStdString(sim.devicePath());

    QProcess info;
    ASSERT_TRUE(start(info, {"info", "--port", port}));
    ASSERT_TRUE(info.waitForFinished(60000));
    EXPECT_EQ(info.exitCode(), 0) << info.readAllStandardError().toStdString();
    EXPECT_TRUE(info.readAllStandardOutput().contains("firmware: K-VEX sensor simulator"));

    QProcess record;
    ASSERT_TRUE(start(record, {"record", "--port", port, "--samples", "5", "--interval", "0",
                               "--csv", "run.csv"}));
    ASSERT_TRUE(record.waitForFinished(60000));
    EXPECT_EQ(record.exitCode(), 0) << record.readAllStandardError().toStdString();
    QFile csv(dir + "/run.csv");
    ASSERT_TRUE(csv.open(QIODevice::ReadOnly));
    EXPECT_EQ(csv.readAll().count('\n'), 6);

    Broker broker("windowless");
    ASSERT_TRUE(broker.Start());
    QProcess station;
    ASSERT_TRUE(start(station, {"publish", "--port", port, "--mqtt", broker.url("windowless")}));
    EXPECT_TRUE(Within(60, [&] { return Retained(broker, "windowless/state")["mode"] == "run"; }));
    station.terminate();
    ASSERT_TRUE(station.waitForFinished(60000));
    const QString err = QString::fromUtf8(station.readAllStandardError());
    EXPECT_EQ(station.exitCode(), 0) << err.toStdString();
    EXPECT_GT(Measured(err), 0) << err.toStdString();
}

// The station's process holds nothing of the window system: kvex hands the
// verb to the program beside it that links no widgets, in the same process
// (a service manager watches the process id it started).
TEST(Station, ItsProcessMapsNoWidgets) {
    Broker broker("lean");
    ASSERT_TRUE(broker.Start());
    kvexsim::SensorSim sim(Sensor(false));
    ASSERT_TRUE(sim.start());
    QProcess station;
    PrepareKvex(station);
    station.start(KvexProgram(), {"publish", "--port", QString::fromStdString(sim.devicePath()),
                                  "--mqtt", broker.url("lean")});
    ASSERT_TRUE(station.waitForStarted(30000));
    ASSERT_TRUE(Within(60, [&] { return Retained(broker, "lean/state")["mode"] == "run"; }));
    QFile maps(QStringLiteral("/proc/%1/maps").arg(station.processId()));
    ASSERT_TRUE(maps.open(QIODevice::ReadOnly));
    const QByteArray mapped = maps.readAll();
    EXPECT_TRUE(mapped.contains("libQt6Core")) << "the maps of the station's process were read";
    for (const char *library : {"libQt6Widgets", "libQt6Gui", "libQCustomPlot", "libxcb"})
        EXPECT_FALSE(mapped.contains(library)) << library;
    station.terminate();
    ASSERT_TRUE(station.waitForFinished(60000));
    EXPECT_EQ(station.exitCode(), 0) << station.readAllStandardError().toStdString();
}
