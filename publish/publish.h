// Measured values to the plant: every sample of the stream, the front-end's
// state and the sensor's identity, published to an MQTT broker.
//   <root>/measurement  one message per sample, QoS 1, in order; named by its
//                       run and sample number, with seq counting the
//                       process's measurement messages
//   <root>/state        retained: online, mode, reason (when there is one),
//                       port, sensor, queued, dropped; sent when one of the
//                       first five changes, and at most every 10 s when only
//                       the queue's figures do;
//                       {"online": false} on a clean end, and as the last will
//   <root>/info         retained: hardware and firmware texts, parameter words
// Or, with a Sparkplug name, as a Sparkplug B edge node (sparkplug.h).
#pragma once

#include <cstddef>

#include "session.h"

// mqtt://[user@]host[:port][/topic/root], mqtts://... for TLS (8883).
struct BrokerAddress {
    bool tls = false;
    char user[128] = "";
    char host[256] = "";
    int port = 0;
    bool hasRoot = false;  // the URL named a topic root
    char root[256] = "";
};
// False with the reason in why when the URL cannot be used.
bool ParseBrokerUrl(const char *url, BrokerAddress &out, char *why, std::size_t size);
// Why a topic root cannot be used, or nullptr: empty, a wildcard, a broker's
// own ($...), a control character, too long, not UTF-8.
const char *TopicRootFault(const char *root);
// Why a text cannot go to the broker as a client id or user name ("it holds a
// control character", "it is not valid UTF-8 text"), or nullptr. Such a
// text would never connect, and nothing would say why.
const char *BrokerTextFault(const char *text);
// kvex/<host name>/<device without /dev/>; +, #, % and control bytes as
// %2B, %23, %25, %XX, so that no two devices share a root.
void DefaultTopicRoot(const char *device, char *root, std::size_t size);

struct PublishOptions {
    char url[512] = "";
    char root[256] = "";  // overrides the URL's, when not empty (the dialog's field)
    char user[128] = "";  // overrides the URL's, when not empty
    char password[256] = "";
    char caFile[260] = "";
    char certFile[260] = "", keyFile[260] = "";  // the client's certificate, for TLS
    char clientId[128] = "";                     // "": one made of host, process and start
    bool insecure = false;
    // mqtt:// carries the password in clear: only when the operator said so.
    bool allowPlainPassword = false;
    // Only the samples the recorder writes, numbered as in its file, instead
    // of every sample of the stream.
    bool recordedOnly = false;
    unsigned long queueLimit = 100000;
    // GROUP/EDGE_NODE[/DEVICE]: a Sparkplug B edge node instead of plain JSON.
    char sparkplug[400] = "";
    char sparkplugHost[128] = "";  // the primary host whose word the births wait for
    // QoS of Sparkplug's births and data: 0 as the standard says, 1 for
    // the broker's delivery guarantee (the will is always 1).
    int sparkplugQos = 0;
};
constexpr unsigned long kLeastQueue = 10, kMostQueue = 10000000;

// Subscribes to the samples and the activity and starts the link to the
// broker; false, with the reason, when the options cannot be used. The topic
// root becomes the station in the ids of the runs that follow.
bool StartPublishing(const PublishOptions &options, char *why, std::size_t size);
// Whether the last refusal of StartPublishing was for state it must keep
// (the Sparkplug bdSeq) that cannot be kept, rather than for its options.
bool PublishingRefusedForKeptState();
// Sends what waits and the offline state, then disconnects, giving up after
// seconds. With wait the caller waits for that end (at the program's end);
// without, it runs on by itself and the window goes on at once. Returns the
// samples unsent when it returns, and in dropped (when given) all the
// samples a full queue gave up. Nothing happens when not on.
unsigned long StopPublishing(double seconds, bool wait, unsigned long *dropped = nullptr);
bool PublishingOn();
// From the first password on, the process leaves no core dump (and no one of
// its user may attach to it): copies of a password outlive every wipe of
// ours (the environment, the client library's, a finishing link's). False
// when the system refused.
bool KeepSecretsOutOfDumps();
// What a headless station says of itself beyond the activity: while it
// waits for a sensor, mode "waiting" and why ("line lost", "waiting for
// sensor"); why a run is what it is ("another sensor"). An empty mode says
// the activity's name, an empty reason none. It goes out with the next
// state message: at the next activity change, or within a second.
void SetStationState(const char *mode, const char *reason);
// The topic root in use ("" when off): spBv1.0/<group> for Sparkplug.
const char *PublishTopicRoot();

struct PublishFigures {
    bool on = false, connected = false;
    bool stopped = false;  // a fault no retry mends: nothing more goes out
    unsigned long published = 0, queued = 0, dropped = 0;
    char reason[240] = "";  // why not connected
};
PublishFigures PublishingFigures();
// For the indicator beside the sensor's state: "MQTT connected",
// "MQTT queued 120: unreachable"; "" when publishing is off.
void BrokerIndicator(char *text, std::size_t size);
// The whole state in words, for the dialog and the command line.
void BrokerStateText(char *text, std::size_t size);
// Told once a second, on the front-end's thread, the broker's state in words
// ("" once publishing ended); newState when the connection or its reason
// changed since the last time.
void SetBrokerStateListener(void (*listener)(const char *text, bool newState));
