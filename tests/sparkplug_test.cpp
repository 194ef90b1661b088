// The station as a Sparkplug B edge node, seen by a host: the plant decodes
// every payload with another library than the station's and checks the
// session rules on what it heard.
#include "sparkplug.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QThread>
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "sensor_sim.h"
#include "sparkplug_host.h"

using namespace kvextest;

// An unpaced sensor through a broker that restarts, with QoS 1 (the
// delivery guarantee that QoS 0 does not give): births before data on
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
                              "line/cell-7",
                              "--sparkplug-qos",
                              "1"};
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
// later, a rebirth asked by the host, the sensor pulled and back, the host's
// word older than its last, the host gone and back (in Sparkplug 3's JSON
// and in older hosts' plain words), and a kill -9: each is told as a host
// expects it.
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
    EXPECT_TRUE(broker.Logged(" 1 spBv1.0/plant/NCMD/edge")) << "the node hears its commands";
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
    // The node's connections, counted by its subscriptions to the host's state.
    const auto connections = [&] {
        QFile f(broker.log());
        return f.open(QIODevice::ReadOnly) ? f.readAll().count(" 1 spBv1.0/STATE/scada") : 0;
    };
    ASSERT_EQ(connections(), 1);
    // A word older than the host's last online one changes nothing.
    Publish(broker, state, "{\"online\": false, \"timestamp\": 0}", true);
    ASSERT_TRUE(until("DDATA", Count(messages(), "DDATA") + 10));
    EXPECT_EQ(Count(messages(), "NDEATH"), 0) << "an older offline STATE ends nothing";
    // The host gone: NDEATH, a new connection, no births until it is back.
    Publish(broker, state, "{\"online\": false, \"timestamp\": 2}", true);
    ASSERT_TRUE(until("NDEATH", 1));
    ASSERT_TRUE(Within(60, [&] { return connections() == 2; }));
    const int dataWhileAway = Count(messages(), "DDATA");
    EXPECT_EQ(Count(messages(), "NBIRTH"), 2) << "births wait for the host";
    Publish(broker, state, "{\"online\": true, \"timestamp\": 3}", true);
    ASSERT_TRUE(until("NBIRTH", 3)) << "births again when the host is back";
    ASSERT_TRUE(until("DBIRTH", 4));
    // An older host's plain words are understood the same way.
    Publish(broker, state, "OFFLINE", true);
    ASSERT_TRUE(until("NDEATH", 2));
    ASSERT_TRUE(Within(60, [&] { return connections() == 3; }));
    Publish(broker, state, "ONLINE", true);
    ASSERT_TRUE(until("NBIRTH", 4));
    ASSERT_TRUE(until("DBIRTH", 5));
    EXPECT_GT(Count(messages(), "DDATA"), dataWhileAway);
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
    EXPECT_EQ(check.births, 4);
    ASSERT_EQ(check.bdSeqs.size(), 4u);
    EXPECT_EQ(check.bdSeqs[0], check.bdSeqs[1]) << "a rebirth keeps the connection's bdSeq";
    EXPECT_EQ(check.bdSeqs[2], (check.bdSeqs[1] + 1) % 256) << "a new session after the host";
    EXPECT_EQ(check.bdSeqs[3], (check.bdSeqs[2] + 1) % 256);
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

// Seen by the broker, not by a subscriber (which gets the lesser of the two
// QoS): births, data and device deaths go with QoS 0, the node's deaths (its
// will and the one it says at its end) with QoS 1, none retained; a burst
// of rebirth commands brings one rebirth, a later one another. With
// --sparkplug-qos 1 births and data go with QoS 1.
TEST(Sparkplug, EachMessageGoesWithTheQosTheStandardGivesItAndABurstOfRebirthsIsOne) {
    Broker broker("spark-qos", "allow_anonymous true\nlog_type all\n");
    ASSERT_TRUE(broker.Start());
    Subscriber plant(broker, "spBv1.0/qos", true);
    kvexsim::SensorSim sim(Sensor(true));
    ASSERT_TRUE(sim.start());
    const QString url = QString("mqtt://127.0.0.1:%1").arg(broker.port());
    const QString device = QString::fromStdString(sim.devicePath());
    const QString settings = Scratch("spark-qos-settings.ini");
    QProcess node;
    PrepareKvex(node, Env({{"KVEX_SETTINGS", settings}}));
    node.start(KvexProgram(),
               {"publish", "--port", device, "--mqtt", url, "--sparkplug", "qos/edge/gauge"});
    ASSERT_TRUE(node.waitForStarted(30000));
    const auto count = [&](const QString &type) { return Count(SparkplugMessages(plant), type); };
    ASSERT_TRUE(HeardSparkplug(plant, "DDATA", 5));
    const QByteArray rebirth = QByteArray::fromStdString(RebirthCommand());
    Publish(broker, "spBv1.0/qos/NCMD/edge", rebirth, false, 4);
    ASSERT_TRUE(HeardSparkplug(plant, "NBIRTH", 2));
    // Well past a second of data: a second rebirth would have come by now.
    ASSERT_TRUE(HeardSparkplug(plant, "DDATA", count("DDATA") + 60));
    EXPECT_EQ(count("NBIRTH"), 2) << "a burst of commands is one rebirth";
    Publish(broker, "spBv1.0/qos/NCMD/edge", rebirth, false);
    ASSERT_TRUE(HeardSparkplug(plant, "NBIRTH", 3));
    sim.vanish();
    ASSERT_TRUE(HeardSparkplug(plant, "DDEATH", 1));
    ASSERT_TRUE(HeardSparkplug(plant, "NDATA", 1));
    kill(static_cast<pid_t>(node.processId()), SIGTERM);
    ASSERT_TRUE(node.waitForFinished(60000));
    ASSERT_TRUE(HeardSparkplug(plant, "NDEATH", 1));

    const std::set<QString> qos0 = {"q0 r0"}, qos1 = {"q1 r0"};
    std::map<QString, std::set<QString>> seen = AsPublished(broker, "qos");
    for (const char *type : {"NBIRTH", "DBIRTH", "DDATA", "DDEATH", "NDATA"})
        EXPECT_EQ(seen[type], qos0) << type;
    EXPECT_EQ(seen["NDEATH"], qos1);
    EXPECT_EQ(seen["will"], qos1);
    QFile log(broker.log());
    ASSERT_TRUE(log.open(QIODevice::ReadOnly));
    EXPECT_TRUE(QString::fromUtf8(log.readAll())
                    .contains(QRegularExpression(R"(as kvex-\S+ \(p2, c1, k\d+\))")))
        << "MQTT 3.1.1 with a clean session";
    EXPECT_TRUE(broker.Logged("Received DISCONNECT from kvex-")) << "NDEATH, then DISCONNECT";

    // The plant's choice of the broker's delivery guarantee.
    sim.stop();
    ASSERT_TRUE(sim.start());
    const Finished sure =
        RunKvex({"publish", "--port", QString::fromStdString(sim.devicePath()), "--mqtt", url,
                 "--sparkplug", "qos1/edge/gauge", "--sparkplug-qos", "1", "--duration", "2"},
                Env({{"KVEX_SETTINGS", settings}}));
    EXPECT_EQ(sure.code, 0) << sure.err.toStdString();
    seen = AsPublished(broker, "qos1");
    for (const char *type : {"NBIRTH", "DBIRTH", "DDATA", "NDEATH", "will"})
        EXPECT_EQ(seen[type], qos1) << type;
}

// ----------------------------------------------------------- the node alone

namespace {

SparkplugName TestName() {
    SparkplugName n;
    char why[200];
    EXPECT_TRUE(ParseSparkplugName("plant/edge/gauge", "", n, why, sizeof why)) << why;
    return n;
}

spb::Payload Decoded(const BrokerMessage &m) {
    spb::Payload p;
    EXPECT_TRUE(p.ParseFromString(m.payload)) << m.topic;
    return p;
}

std::string DataEvent(std::uint64_t timeMs, double mm, std::uint64_t sample) {
    SparkplugEvent e;
    e.kind = SparkplugEvent::Data;
    e.timeMs = timeMs;
    e.values[kSpValue].set = true;
    e.values[kSpValue].number = mm;
    e.values[kSpSample].set = true;
    e.values[kSpSample].count = sample;
    return PackEvent(e);
}

std::string Kind(SparkplugEvent::Kind kind, std::uint64_t timeMs) {
    SparkplugEvent e;
    e.kind = kind;
    e.timeMs = timeMs;
    return PackEvent(e);
}

}  // namespace

// One session as the link drives it, without a broker: the will and the
// births, a device born by its first data with a birth no older than the
// node's, seq through its wrap, and the deaths, each with the QoS and
// retain flag the standard gives it; bdSeq an Int64 that moves on only
// for a session that was born.
TEST(SparkplugNode, BirthsDataAndDeathsCarryTheSessionRulesAndTheirQos) {
    for (const int qos : {0, 1}) {
        SCOPED_TRACE(qos);
        SparkplugNode node(TestName(), 7, "", qos);
        const BrokerMessage will = node.Will();
        EXPECT_EQ(will.topic, "spBv1.0/plant/NDEATH/edge");
        EXPECT_EQ(will.qos, 1);
        EXPECT_FALSE(will.retain);
        const spb::Payload willPayload = Decoded(will);
        const spb::Payload_Metric *bd = Named(willPayload, "bdSeq");
        ASSERT_TRUE(bd);
        EXPECT_EQ(bd->datatype(), 4u) << "Int64";
        EXPECT_EQ(bd->long_value(), 7u);
        EXPECT_FALSE(willPayload.has_seq());
        EXPECT_EQ(willPayload.metrics_size(), 1) << "bdSeq and nothing else";

        const std::uint64_t bornAt = 1'800'000'000'000;
        const std::vector<BrokerMessage> births = node.Births(bornAt);
        ASSERT_EQ(births.size(), 1u) << "no device has measured yet";
        EXPECT_EQ(births[0].topic, "spBv1.0/plant/NBIRTH/edge");
        const spb::Payload nbirth = Decoded(births[0]);
        EXPECT_EQ(nbirth.seq(), 0u);
        EXPECT_EQ(nbirth.timestamp(), bornAt);
        ASSERT_TRUE(Named(nbirth, "bdSeq"));
        EXPECT_EQ(Named(nbirth, "bdSeq")->datatype(), 4u);
        EXPECT_EQ(Named(nbirth, "bdSeq")->long_value(), 7u);
        const spb::Payload_Metric *rebirth = Named(nbirth, "Node Control/Rebirth");
        ASSERT_TRUE(rebirth);
        EXPECT_FALSE(rebirth->has_alias()) << "the rebirth metric is named, never aliased";
        EXPECT_EQ(rebirth->datatype(), 11u);
        EXPECT_FALSE(rebirth->boolean_value());
        for (const auto &m : nbirth.metrics()) {
            EXPECT_TRUE(m.has_timestamp()) << m.name();
            EXPECT_TRUE(m.has_datatype()) << m.name();
            if (m.name() != "bdSeq" && m.name() != "Node Control/Rebirth") {
                EXPECT_TRUE(m.has_alias()) << m.name();
            }
        }

        // A sample that waited in the queue since before the birth.
        std::vector<BrokerMessage> sent = node.Encode(DataEvent(bornAt - 3000, 37.0, 1));
        const spb::Payload dbirth = Decoded(sent.at(0));
        for (int i = 2; i <= 300; ++i) {
            const std::vector<BrokerMessage> more =
                node.Encode(DataEvent(bornAt + i, 37.0 + i / 1000.0, i));
            sent.insert(sent.end(), more.begin(), more.end());
        }
        sent.push_back(node.Encode(Kind(SparkplugEvent::DeviceDeath, bornAt + 400)).at(0));
        ASSERT_EQ(sent.size(), 301u);
        EXPECT_EQ(sent[0].topic, "spBv1.0/plant/DBIRTH/edge/gauge");
        // Each alias names one metric of the node and its device.
        std::set<uint64_t> aliases;
        for (const spb::Payload *birth : {&nbirth, &dbirth})
            for (const auto &m : birth->metrics())
                if (m.has_alias()) {
                    EXPECT_TRUE(aliases.insert(m.alias()).second) << m.name();
                }
        EXPECT_GE(Decoded(sent[0]).timestamp(), bornAt) << "a birth older than its node's";
        EXPECT_EQ(sent.back().topic, "spBv1.0/plant/DDEATH/edge/gauge");
        std::uint64_t seq = 0;
        for (const BrokerMessage &m : sent) {
            EXPECT_EQ(m.qos, qos) << m.topic;
            EXPECT_FALSE(m.retain) << m.topic;
            seq = (seq + 1) % 256;
            const spb::Payload p = Decoded(m);
            EXPECT_EQ(p.seq(), seq) << m.topic;
            EXPECT_TRUE(p.has_timestamp()) << m.topic;
            for (const auto &metric : p.metrics()) {
                EXPECT_TRUE(metric.has_timestamp()) << m.topic;
                // Data name their metrics by alias alone, without a datatype.
                if (m.topic.find("DDATA") != std::string::npos) {
                    EXPECT_FALSE(metric.has_name() || metric.has_datatype()) << metric.name();
                }
            }
        }
        for (const BrokerMessage &b : births) EXPECT_EQ(b.qos, qos);

        const BrokerMessage death = node.Death();
        EXPECT_EQ(death.topic, "spBv1.0/plant/NDEATH/edge");
        EXPECT_EQ(death.qos, 1);
        EXPECT_EQ(Named(Decoded(death), "bdSeq")->long_value(), 7u);
        EXPECT_EQ(node.NextBdSeq(), 8);
        EXPECT_EQ(Named(Decoded(node.Will()), "bdSeq")->long_value(), 8u);
        EXPECT_EQ(Named(Decoded(node.Will()), "bdSeq")->long_value(), 8u)
            << "a connection never born keeps its bdSeq for the next try";
    }
}

// What comes from the broker, in the order it comes: rebirth commands
// within a second of the last are one, a primary host's STATE older than
// the newest seen changes nothing, an offline one not older than the last
// online ends the session, and older hosts' plain words are understood.
TEST(SparkplugNode, RebirthCommandsAndTheHostsStateAreTakenInTheirOrder) {
    SparkplugNode node(TestName(), 0, "scada");
    const std::string ncmd = "spBv1.0/plant/NCMD/edge", state = "spBv1.0/STATE/scada";
    EXPECT_EQ(node.Heard(ncmd, RebirthCommand(), 10.0), LinkCommand::Rebirth);
    EXPECT_EQ(node.Heard(ncmd, RebirthCommand(), 10.4), LinkCommand::None);
    EXPECT_EQ(node.Heard(ncmd, RebirthCommand(), 10.9), LinkCommand::None);
    EXPECT_EQ(node.Heard(ncmd, RebirthCommand(), 11.1), LinkCommand::Rebirth);
    EXPECT_EQ(node.Heard(ncmd, "\x0a\xff garbage", 20.0), LinkCommand::None);
    EXPECT_EQ(node.Heard("spBv1.0/STATE/other", "{\"online\": false}", 20.0), LinkCommand::None);

    const struct {
        const char *payload;
        LinkCommand expected;
    } kStates[] = {
        {"{\"online\": false, \"timestamp\": 5}", LinkCommand::None},  // not online yet
        {"{\"online\" : true,\"timestamp\":100}", LinkCommand::Rebirth},
        {"{\"online\": false, \"timestamp\": 50}", LinkCommand::None},  // older
        {"{\"online\": true, \"timestamp\": 100}", LinkCommand::None},  // the same again
        {"{\"online\": false, \"timestamp\": 200}", LinkCommand::Reconnect},
        {"{\"online\": false, \"timestamp\": 300}", LinkCommand::None},  // offline already
        {"{\"online\": true, \"timestamp\": 250}", LinkCommand::None},   // older than 300
        {"{\"online\": maybe, \"timestamp\": 400}", LinkCommand::None},
        {"{\"online\": true, \"timestamp\": \"400\"}", LinkCommand::None},
        {"{\"timestamp\": 400}", LinkCommand::None},
        {"{\"online\": true, \"timestamp\": 400}", LinkCommand::Rebirth},
        {"{\"online\": false, \"timestamp\": 400}", LinkCommand::Reconnect},  // not older
        {"ONLINE", LinkCommand::Rebirth},
        {"OFFLINE", LinkCommand::Reconnect},
        {"{\"online\": true, \"timestamp\": 399}", LinkCommand::None},
        {"{\"online\": true, \"timestamp\": 99999999999999999999}", LinkCommand::None},
    };
    for (const auto &s : kStates)
        EXPECT_EQ(node.Heard(state, s.payload, 30.0), s.expected) << s.payload;
}

// Ids that a topic could not carry are refused with the reason; a port's
// device becomes an id a topic can carry.
TEST(SparkplugNode, IdsATopicCannotCarryAreRefused) {
    SparkplugName n;
    char why[240];
    for (const char *bad :
         {"g", "g/", "/n", "g/n/d/x", "g+/n", "g/n#", "g/\x01n", "g/n/\xff\xfe"}) {
        EXPECT_FALSE(ParseSparkplugName(bad, "/dev/ttyUSB0", n, why, sizeof why)) << bad;
        EXPECT_GT(std::strlen(why), 10u) << bad;
    }
    EXPECT_FALSE(
        ParseSparkplugName(("g/" + std::string(101, 'n')).c_str(), "", n, why, sizeof why));
    ASSERT_TRUE(ParseSparkplugName("plant/edge", "/dev/pts/3", n, why, sizeof why)) << why;
    EXPECT_STREQ(n.device, "pts_3");
    EXPECT_NE(SparkplugIdFault("a/b"), nullptr);
    EXPECT_EQ(SparkplugIdFault("line-3_gauge.1"), nullptr);
}
