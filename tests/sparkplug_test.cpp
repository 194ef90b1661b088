// The station as a Sparkplug B edge node, seen by a host: the plant decodes
// every payload with another library than the station's and checks the
// session rules on what it heard.
#include <gtest/gtest.h>
#include <signal.h>

#include <QFile>
#include <QProcess>
#include <QThread>
#include <algorithm>
#include <string>
#include <vector>

#include "sensor_sim.h"
#include "sparkplug_host.h"

using namespace kvextest;

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
    PrepareKvex(node, Env({{"KVEX_SETTINGS", settings}}));
    const QString device = QString::fromStdString(sim.devicePath());
    const QStringList args = {"publish",
                              "--port",
                              device,
                              "--mqtt",
                              QString("mqtt://127.0.0.1:%1").arg(broker.port()),
                              "--sparkplug",
                              "line/cell-7"};
    node.start(KvexProgram(), args);
    ASSERT_TRUE(node.waitForStarted(30000));
    // Past a wrap of seq before the broker goes, and past another after.
    ASSERT_TRUE(HeardSparkplug(plant, "DDATA", 300));
    broker.Stop();
    QThread::sleep(2);  // the fault itself: the broker away while samples go on
    const int dataBefore = Count(SparkplugMessages(plant), "DDATA");
    ASSERT_TRUE(broker.Start());
    ASSERT_TRUE(HeardSparkplug(plant, "DDATA", dataBefore + 300));
    kill(static_cast<pid_t>(node.processId()), SIGTERM);
    ASSERT_TRUE(node.waitForFinished(60000));
    const QString err = QString::fromUtf8(node.readAllStandardError());
    EXPECT_EQ(node.exitCode(), 0) << err.toStdString();

    // The node's death is its last word: everything before it came first.
    const auto endsInDeath = [&](int from) {
        const QList<SpMessage> m = SparkplugMessages(plant).mid(from);
        return !m.isEmpty() && m.back().type == "NDEATH";
    };
    ASSERT_TRUE(Within(60, [&] { return endsInDeath(0); }));
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
    const Finished again =
        RunKvex(args + QStringList{"--duration", "1"}, Env({{"KVEX_SETTINGS", settings}}));
    EXPECT_EQ(again.code, 0) << again.err.toStdString();
    ASSERT_TRUE(Within(60, [&] { return endsInDeath(got.size()); }));
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
    PrepareKvex(node, Env({{"KVEX_SETTINGS", Scratch("spark-host-settings.ini")}}));
    node.start(KvexProgram(), {"publish", "--port", link, "--mqtt",
                               QString("mqtt://127.0.0.1:%1").arg(broker.port()), "--sparkplug",
                               "plant/edge/gauge", "--sparkplug-host", "scada"});
    ASSERT_TRUE(node.waitForStarted(30000));
    const auto messages = [&] { return SparkplugMessages(plant); };
    const auto until = [&](const QString &type, int count) {
        return HeardSparkplug(plant, type, count);
    };
    // Once the node listens for its host, it would have been born already
    // if it did not wait for the host.
    ASSERT_TRUE(Within(60, [&] { return broker.Logged(" spBv1.0/STATE/scada"); }));
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
    Publish(broker, state, "{\"online\": true, \"timestamp\": 3}", true);
    ASSERT_TRUE(until("NBIRTH", 3)) << "births again when the host is back";
    ASSERT_TRUE(until("DBIRTH", 4));
    const int dataBefore = Count(messages(), "DDATA");
    ASSERT_TRUE(until("DDATA", dataBefore + 5));
    kill(static_cast<pid_t>(node.processId()), SIGKILL);
    ASSERT_TRUE(node.waitForFinished(30000));
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
