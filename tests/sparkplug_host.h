// A Sparkplug host's view of what a node published: every payload decoded
// with Google's protobuf, not the station's library, and checked against
// the session rules a host relies on.
#pragma once

#include <gtest/gtest.h>

#include <QFile>
#include <QList>
#include <QProcess>
#include <QRegularExpression>
#include <QString>
#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "plant.h"
#include "sparkplug_b.pb.h"

namespace kvextest {

struct SpMessage {
    QString type, topic;
    spb::Payload payload;
};

// What the plant has heard so far, decoded.
inline QList<SpMessage> SparkplugMessages(const Subscriber &plant) {
    QList<SpMessage> out;
    for (const QString &line : plant.Lines()) {
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

inline int Count(const QList<SpMessage> &messages, const QString &type) {
    return static_cast<int>(std::count_if(messages.begin(), messages.end(),
                                          [&](const SpMessage &m) { return m.type == type; }));
}

// Waits until the plant has heard at least count messages of the type.
inline bool HeardSparkplug(const Subscriber &plant, const QString &type, int count,
                           double seconds = 60) {
    return Within(seconds, [&] { return Count(SparkplugMessages(plant), type) >= count; });
}

inline const spb::Payload_Metric *Named(const spb::Payload &p, const std::string &name) {
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
// broken connection left unacknowledged). Keeps the samples' numbers.
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

inline std::string RebirthCommand() {
    spb::Payload p;
    p.set_timestamp(1);
    spb::Payload_Metric *m = p.add_metrics();
    m->set_name("Node Control/Rebirth");
    m->set_datatype(11);
    m->set_boolean_value(true);
    return p.SerializeAsString();
}

// A message as the host sends it (repeat times, back to back), taken by the
// broker before this returns.
inline void Publish(const Broker &b, const QString &topic, const QByteArray &payload, bool retain,
                    int repeat = 1) {
    QStringList args = {"-h", "127.0.0.1", "-p", QString::number(b.port()), "-q", "1",
                        "-t", topic,       "-s"};
    if (retain) args << "-r";
    if (repeat > 1) args << "--repeat" << QString::number(repeat);
    QProcess p;
    p.start("mosquitto_pub", args);
    ASSERT_TRUE(p.waitForStarted(30000));
    p.write(payload);
    p.closeWriteChannel();
    ASSERT_TRUE(p.waitForFinished(30000));
}

// How the broker received each of a node's message types, "q0 r0" and the
// like, as its debug log says: the QoS and retain flag as published. The
// will is "will": as the node's CONNECT asked for it.
inline std::map<QString, std::set<QString>> AsPublished(const Broker &b, const QString &group) {
    std::map<QString, std::set<QString>> out;
    QFile f(b.log());
    if (!f.open(QIODevice::ReadOnly)) return out;
    const QStringList lines = QString::fromUtf8(f.readAll()).split('\n');
    static const QRegularExpression publish(
        R"(Received PUBLISH from \S+ \(d\d, q(\d), r(\d), m\d+, 'spBv1\.0/([^/']+)/([A-Z]+)/)");
    static const QRegularExpression will(
        R"(Will message specified \(\d+ bytes\) \(r(\d), q(\d)\))");
    for (int i = 0; i < lines.size(); ++i) {
        const QRegularExpressionMatch p = publish.match(lines[i]);
        if (p.hasMatch() && p.captured(3) == group)
            out[p.captured(4)].insert("q" + p.captured(1) + " r" + p.captured(2));
        const QRegularExpressionMatch w = will.match(lines[i]);
        if (w.hasMatch() && i + 1 < lines.size() &&
            lines[i + 1].contains("spBv1.0/" + group + "/NDEATH/"))
            out["will"].insert("q" + w.captured(2) + " r" + w.captured(1));
    }
    return out;
}

}  // namespace kvextest
