// The station as a Sparkplug B edge node: births and deaths, sequence
// numbers, the protobuf payload, the rebirth command and a primary host's
// state. The front-end's thread says what happened as events, in the order
// it happened; the network thread turns each into the message that belongs
// to the session as it stands when the message goes out, so that a queue
// that waited through a reconnect is told after the births of the new
// connection, with that connection's sequence numbers.
//   spBv1.0/<group>/NBIRTH|NDATA|NDEATH|NCMD/<node>
//   spBv1.0/<group>/DBIRTH|DDATA|DDEATH/<node>/<device>
//   spBv1.0/STATE/<primary host>
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "broker_link.h"

struct SparkplugName {
    char group[128] = "", node[128] = "", device[128] = "";
};
// Why an id cannot name a group, node, device or host, or nullptr: empty,
// a level separator or wildcard (/ + #), a control character, too long, not UTF-8.
const char *SparkplugIdFault(const char *id);
// A port's device made an id: /dev/ttyUSB0 is ttyUSB0, /dev/pts/3 is pts_3.
void SparkplugDeviceId(const char *port, char *out, std::size_t size);
// GROUP/EDGE_NODE[/DEVICE]; without a device, the port's. False with why.
bool ParseSparkplugName(const char *text, const char *port, SparkplugName &out, char *why,
                        std::size_t size);

// Every metric the node and its device tell, in the order of the table in
// sparkplug.cpp.
enum SparkplugMetric : int {
    kSpValue,
    kSpValueUm,
    kSpVerdict,
    kSpSample,
    kSpRun,
    kSpLower,
    kSpUpper,
    kSpSetpoint,
    kSpFirmware,
    kSpHardware,
    kSpDeviceMetrics,  // those above belong to the device, those below to the node
    kSpMode = kSpDeviceMetrics,
    kSpQueued,
    kSpDropped,
    kSpMetrics
};
const char *SparkplugMetricName(int metric);

struct SparkplugValue {
    bool set = false;         // told by this event
    bool isNull = false;      // told as having no value (a limit that does not hold)
    double number = 0;        // Double
    std::uint64_t count = 0;  // UInt64
    std::string text;         // String, UTF-8
};

// What the front-end's thread hands the network thread, through the queue.
struct SparkplugEvent {
    enum Kind : std::uint8_t { Data, DeviceBirth, DeviceDeath, NodeData, NodeDeath };
    Kind kind = Data;
    std::uint64_t timeMs = 0;  // when it happened, ms since 1970
    SparkplugValue values[kSpMetrics];
};
std::string PackEvent(const SparkplugEvent &event);
bool UnpackEvent(const std::string &packed, SparkplugEvent &event);

// The node's side of the session. Everything but NextBdSeq runs on the
// network thread.
class SparkplugNode {
  public:
    // bdSeq: the first connection's; with a primary host (hostId) no birth
    // goes before it said it is online. qos: of births, data and DDEATH (0
    // as the standard says, 1 for the broker's delivery guarantee); a death
    // of the node always goes with 1.
    SparkplugNode(const SparkplugName &name, int bdSeq, const std::string &hostId, int qos = 0);

    // The will of the next connection: NDEATH with a new bdSeq.
    BrokerMessage Will();
    // NDEATH of this connection, said before the node ends it on purpose.
    BrokerMessage Death();
    // NBIRTH (seq 0, this connection's bdSeq) and, when the device is
    // there, DBIRTH: what every connection and every rebirth begins with.
    std::vector<BrokerMessage> Births(std::uint64_t nowMs);
    // The message (or messages: a device that was not born is born first)
    // of one queued event.
    std::vector<BrokerMessage> Encode(const std::string &packed);
    // A queued event the broker has: a new connection's births tell the
    // device as of the last of those, as what followed goes again after them.
    void Acknowledged(const std::string &packed);
    // A command or the primary host's state; nowSeconds on a steady clock.
    // A rebirth asked within a second of the last one asked is the same one.
    LinkCommand Heard(const std::string &topic, const std::string &payload, double nowSeconds);
    std::vector<std::string> Subscriptions() const;
    // The primary host named: births wait for its word.
    bool WaitsForHost() const { return !stateTopic_.empty(); }
    // The bdSeq the next connection takes (kept across restarts by the caller).
    int NextBdSeq() const { return nextBdSeq_.load(); }
    // From the front-end's thread: the node's metrics as they are now, for
    // a birth that goes out before their NDATA.
    void Know(const SparkplugEvent &nodeData);

    std::string Topic(const char *type, bool device) const;

  private:
    std::string Payload(std::uint64_t timeMs, const std::vector<int> &metrics, bool birth,
                        bool withSeq, bool withBdSeq, bool rebirthFlag);
    std::uint64_t NextSeq();
    BrokerMessage Message(const char *type, bool device, std::string payload) const;
    std::uint64_t BirthTime(std::uint64_t timeMs);
    LinkCommand HostSaid(const std::string &payload);

    SparkplugName name_;
    std::string stateTopic_, ncmdTopic_;
    std::atomic<int> nextBdSeq_;
    int bdSeq_ = 0;
    bool bdSeqUsed_ = false;
    unsigned seq_ = 0;
    // The metrics as of the last event encoded (sent_), and as of the last
    // one the broker acknowledged.
    struct Told {
        SparkplugValue values[kSpMetrics];
        std::uint64_t times[kSpMetrics] = {};
        bool deviceThere = false;
    };
    static void Apply(const SparkplugEvent &e, int from, int to, Told &told);
    Told sent_, acked_;
    bool newConnection_ = false;  // a will was asked: births follow a reconnect
    bool deviceBorn_ = false;     // on this connection
    bool hostOnline_ = false;
    // The newest STATE's timestamp, and the last online one's (ms, -1: none).
    std::int64_t hostNewestMs_ = -1, hostOnlineMs_ = -1;
    int qos_ = 0;
    std::uint64_t lastBirthMs_ = 0;
    double lastRebirthAsked_ = -1e9;
    std::mutex knownLock_;
    SparkplugEvent known_;
};
