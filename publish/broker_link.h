// One connection to an MQTT broker on a thread of its own: measurements wait
// in a bounded queue of ours, go out in order with QoS 1 and leave it only
// once the broker acknowledged them; retained messages (state, info) go out
// as their latest text. Nothing here blocks the caller on the network.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

// A message the link sends on a protocol's behalf.
struct BrokerMessage {
    std::string topic, payload;
    bool retain = false;
    int qos = 1;
};

// What a message heard on a subscribed topic asks of the link: births again
// (and sending resumes); nothing more sent until the next rebirth; or the
// protocol's death said, the connection ended and made anew, and nothing
// sent on the new one until a rebirth.
enum class LinkCommand { None, Rebirth, Hold, Reconnect };

struct BrokerLinkConfig {
    std::string host;
    int port = 1883;
    bool tls = false;
    bool insecure = false;  // TLS without checking the broker's certificate
    std::string caFile;     // empty: the system's certificate authorities
    std::string user, password;
    std::string clientId;
    std::string certFile, keyFile;  // the client's certificate and key (PEM), for TLS
    std::string measurementTopic, stateTopic;
    std::string willPayload;  // retained on the state topic by the broker if we vanish
    std::size_t queueLimit = 100000;
    // Both run on the network thread, so what they read must be safe there.
    // The last will of the next connection, asked before each one; without
    // it, willPayload on the state topic.
    std::function<BrokerMessage()> will;
    // What the protocol says before the link ends a connection on purpose
    // to reconnect (a Reconnect command): the death the will would have said.
    std::function<BrokerMessage()> death;
    // Once the broker accepted a connection, before anything that waits: what
    // a protocol must say first on every connection (its birth messages).
    std::function<std::vector<BrokerMessage>()> onConnect;
    // What goes out for a queued message (slot -1) or a retained slot's
    // text, made when it is sent: a protocol whose messages depend on the
    // connection (sequence numbers, births) encodes them here: at least one
    // message, the last being the one the queue waits to be acknowledged.
    std::function<std::vector<BrokerMessage>(int slot, const std::string &queued)> encode;
    // Topics subscribed on every connection (QoS 1), and what their
    // messages ask; onConnect waits for a Rebirth when holdAtConnect.
    // A queued message the broker acknowledged, in the order they were
    // queued: what the plant has for certain.
    std::function<void(const std::string &queued)> onAcknowledged;
    std::vector<std::string> subscriptions;
    std::function<LinkCommand(const std::string &topic, const std::string &payload)> onMessage;
    bool holdAtConnect = false;
};

// Stopped: a fault no retry mends (the reason says which); nothing more goes out.
enum class BrokerState { Off, Connecting, Connected, Waiting, Stopped };

// What the link can tell at any moment, copied out under its lock.
struct BrokerFigures {
    BrokerState state = BrokerState::Off;
    bool everConnected = false;
    unsigned long queued = 0;     // measurements not yet acknowledged by the broker
    unsigned long dropped = 0;    // the oldest not yet sent, given up for a full queue
    unsigned long delivered = 0;  // acknowledged by the broker
    char reason[240] = "";        // why the link is not connected, in the operator's words
};

class BrokerLink {
  public:
    BrokerLink();
    // Ends the link and joins its thread; a link that is finishing on its
    // own is handed to the process, which joins it when it is done (or at
    // the latest when the process ends).
    ~BrokerLink();
    BrokerLink(const BrokerLink &) = delete;
    BrokerLink &operator=(const BrokerLink &) = delete;

    // Starts the network thread, which connects and keeps reconnecting
    // (1 s, doubling to 30 s) until Finish or a permanent fault.
    bool Start(const BrokerLinkConfig &config);
    // One measurement to the end of the queue; a full queue drops the oldest
    // not yet sent (what is on the wire stays, so a drop is exactly a loss).
    // A kept message (a birth or a death a protocol depends on) is never
    // the one dropped.
    void Enqueue(std::string payload, bool keep = false);
    // The latest text of a retained topic; an older one not yet out is replaced.
    void SetRetained(int slot, const std::string &topic, std::string payload);
    static constexpr int kRetainedSlots = 2;
    BrokerFigures Figures() const;
    // Sends what waits, then the last retained text of slot, and disconnects
    // cleanly; gives up after seconds. With wait the caller waits for that
    // end; without, it goes on by itself. Says what was left unsent and all
    // that was dropped, as of its return.
    struct Left {
        unsigned long unsent = 0, dropped = 0;
    };
    Left Finish(int lastSlot, const std::string &topic, std::string lastPayload, double seconds,
                bool wait);

    struct Shared;

  private:
    std::shared_ptr<Shared> shared_;
    std::thread thread_;
};

// The broker's reason for refusing a connection (CONNACK code) in words.
const char *ConnackReason(int code);
