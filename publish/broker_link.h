// One connection to an MQTT broker on a thread of its own: measurements wait
// in a bounded queue of ours, go out in order with QoS 1 and leave it only
// once the broker acknowledged them; retained messages (state, info) go out
// as their latest text. Nothing here blocks the caller on the network.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

struct BrokerLinkConfig {
    std::string host;
    int port = 1883;
    bool tls = false;
    bool insecure = false;  // TLS without checking the broker's certificate
    std::string caFile;     // empty: the system's certificate authorities
    std::string user, password;
    std::string clientId;
    std::string measurementTopic, stateTopic;
    std::string willPayload;  // retained on the state topic by the broker if we vanish
    std::size_t queueLimit = 100000;
};

enum class BrokerState { Off, Connecting, Connected, Waiting };

// What the link can tell at any moment, copied out under its lock.
struct BrokerFigures {
    BrokerState state = BrokerState::Off;
    bool everConnected = false;
    unsigned long queued = 0;     // measurements not yet acknowledged by the broker
    unsigned long dropped = 0;    // the oldest, given up for a full queue
    unsigned long delivered = 0;  // acknowledged by the broker
    char reason[240] = "";        // why the link is not connected, in the operator's words
};

class BrokerLink {
  public:
    BrokerLink();
    ~BrokerLink();  // ends the link at once, unless it is finishing
    BrokerLink(const BrokerLink &) = delete;
    BrokerLink &operator=(const BrokerLink &) = delete;

    // Starts the network thread, which connects and keeps reconnecting
    // (1 s, doubling to 30 s) until Finish.
    bool Start(const BrokerLinkConfig &config);
    // One measurement to the end of the queue; a full queue drops its oldest.
    void Enqueue(std::string payload);
    // The latest text of a retained topic; an older one not yet out is replaced.
    void SetRetained(int slot, const std::string &topic, std::string payload);
    static constexpr int kRetainedSlots = 2;
    BrokerFigures Figures() const;
    // Sends what waits, then the last retained text of slot, and disconnects
    // cleanly; gives up after seconds. With wait the caller waits for that
    // end; without, it goes on by itself. Returns the measurements unsent
    // when it returns.
    unsigned long Finish(int lastSlot, const std::string &topic, std::string lastPayload,
                         double seconds, bool wait);

    struct Shared;

  private:
    std::shared_ptr<Shared> shared_;
};

// The broker's reason for refusing a connection (CONNACK code) in words.
const char *ConnackReason(int code);
