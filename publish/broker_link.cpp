// The network side of publishing. Each connection is a fresh libmosquitto
// client driven from our own thread through its socket, so that
//  - what waits is ours alone (an Outbox): a reconnect re-sends our
//    unacknowledged window once, in order, instead of libmosquitto's copy
//    and ours both;
//  - a refused certificate or an unknown host name is retried like any other
//    passing failure (libmosquitto's own loop thread gives up on those for
//    good), while a fault no retry mends stops the link with its reason;
//  - the connection is made without blocking (only a host-name lookup
//    waits), so a quit is seen within one poll;
//  - the back-off is ours: 1 s, doubling to 30 s, back to 1 s after a
//    connection that worked.
// The caller's thread only appends to the queue under the lock and pokes an
// eventfd; it never touches the socket.
#include "broker_link.h"

#include <dlfcn.h>
#include <mosquitto.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <system_error>

#include "outbox.h"

namespace {

constexpr int kKeepAliveSeconds = 10;
constexpr double kConnackSeconds = 10;
// While samples keep coming, what the broker sends (acknowledgements above
// all) is read when the next sample wakes the thread, not on a wake-up of
// its own; a pause this long, or a window filling up, has the socket watched.
constexpr double kReadWithNextSeconds = 0.25;
constexpr std::size_t kWindowMost = 1000;
// How long the end of the process waits for a link that was told to quit,
// and at most for one that finishes on its own.
constexpr double kQuitSeconds = 3, kFinishingSeconds = 10;

double Now() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace

const char *ConnackReason(int code) {
    switch (code) {
        case 1:
            return "refused: the broker does not speak MQTT 3.1.1";
        case 2:
            return "refused: the broker rejects this client id";
        case 3:
            return "refused: the broker is unavailable";
        case 4:
        case 5:  // what mosquitto answers a wrong password with
            return "not authorised: the broker refused the user name or password";
        default:
            return "refused by the broker";
    }
}

struct BrokerLink::Shared {
    BrokerLinkConfig cfg;

    mutable std::mutex mu;
    std::condition_variable changed;
    Outbox box{1, 1};
    BrokerFigures figures;
    bool finishing = false, quit = false, cleanEnd = false, exited = false;
    double finishBy = 0;  // a finish left to run on its own gives up then
    int connack = -1;
    // On this connection: the births went out; nothing goes out until a
    // protocol's word (a primary host that is not online).
    bool born = false, held = false;
    bool reconnect = false;  // a protocol asked for the connection to be made anew
    int wakeFd = -1;
    char tlsNote[200] = "";  // the library's last word on a failed handshake
    long tlsVerify = 0;      // OpenSSL's verification result then (X509_V_OK is 0)

    ~Shared() {
        if (wakeFd >= 0) close(wakeFd);
    }

    void Wake() const {
        const uint64_t one = 1;
        if (write(wakeFd, &one, sizeof one) < 0) {
            // The counter cannot overflow here; nothing to do.
        }
    }
    void SetReason(BrokerState state, const char *text) {
        std::lock_guard<std::mutex> lock(mu);
        figures.state = state;
        std::snprintf(figures.reason, sizeof figures.reason, "%s", text);
    }
};

namespace {

using Shared = BrokerLink::Shared;

// Faults that no reconnect mends: the configuration or a message is one the
// library refuses by itself (malformed UTF-8, a payload or packet too big, a
// bad argument, a feature it was built without).
LinkFault FaultOf(int rc) {
    switch (rc) {
        case MOSQ_ERR_SUCCESS:
            return LinkFault::None;
        case MOSQ_ERR_INVAL:
        case MOSQ_ERR_NOT_SUPPORTED:
        case MOSQ_ERR_MALFORMED_UTF8:
        case MOSQ_ERR_PAYLOAD_SIZE:
        case MOSQ_ERR_OVERSIZE_PACKET:
        case MOSQ_ERR_QOS_NOT_SUPPORTED:
        case MOSQ_ERR_RETAIN_NOT_SUPPORTED:
            return LinkFault::Permanent;
        default:
            return LinkFault::Transient;
    }
}

// The link ends for good: the reason stays in the state for every reader.
LinkFault Stop(Shared &s, const char *what, int rc) {
    char text[sizeof s.figures.reason];
    std::snprintf(text, sizeof text, "stopped: %.160s (%.60s)", what, mosquitto_strerror(rc));
    s.SetReason(BrokerState::Stopped, text);
    return LinkFault::Permanent;
}

void OnConnect(mosquitto *, void *obj, int rc) {
    auto *s = static_cast<Shared *>(obj);
    std::lock_guard<std::mutex> lock(s->mu);
    s->connack = rc;
    if (rc != 0) return;
    s->figures.state = BrokerState::Connected;
    s->figures.everConnected = true;
    s->figures.reason[0] = '\0';
}

// A subscribed topic's message, on the network thread inside the library's
// step; what it asks is done on the next pass of the connection's loop.
void OnMessage(mosquitto *, void *obj, const mosquitto_message *msg) {
    auto *s = static_cast<Shared *>(obj);
    if (!msg || !msg->topic || !s->cfg.onMessage) return;
    const std::string payload(static_cast<const char *>(msg->payload),
                              msg->payload ? static_cast<std::size_t>(msg->payloadlen) : 0);
    const LinkCommand c = s->cfg.onMessage(msg->topic, payload);
    if (c == LinkCommand::None) return;
    std::lock_guard<std::mutex> lock(s->mu);
    s->born = false;
    s->held = c != LinkCommand::Rebirth;
    if (c == LinkCommand::Reconnect) s->reconnect = true;
}

void OnPublish(mosquitto *, void *obj, int mid) {
    auto *s = static_cast<Shared *>(obj);
    std::string acked;
    {
        std::lock_guard<std::mutex> lock(s->mu);
        s->box.Acknowledged(mid, s->cfg.onAcknowledged ? &acked : nullptr);
        s->changed.notify_all();
    }
    if (!acked.empty()) s->cfg.onAcknowledged(acked);
}

// The verification's result of the failed handshake, from the OpenSSL that
// libmosquitto loaded (found at run time: no build depends on its headers).
// The codes are OpenSSL's X509_V_ERR_* values, fixed in its ABI.
long VerifyResult(mosquitto *m) {
    using Getter = long (*)(const void *);
    static const auto get = reinterpret_cast<Getter>(dlsym(RTLD_DEFAULT, "SSL_get_verify_result"));
    const void *ssl = m ? mosquitto_ssl_get(m) : nullptr;
    return get && ssl ? get(ssl) : 0;
}

// libmosquitto says why a handshake failed only in its log: OpenSSL's error
// text, or its own word on a host name the certificate does not name.
void OnLog(mosquitto *m, void *obj, int level, const char *text) {
    if (!(level & MOSQ_LOG_ERR) || !text) return;
    auto *s = static_cast<Shared *>(obj);
    // Asked while the handshake's state is still there: the library may
    // free it before it returns the failure.
    const long verify = VerifyResult(m);
    std::lock_guard<std::mutex> lock(s->mu);
    if (verify != 0) s->tlsVerify = verify;
    // The first cause stays: the broker's alert, not the closed socket after it.
    if (std::strstr(s->tlsNote, "host name") || std::strstr(s->tlsNote, " alert ")) return;
    std::snprintf(s->tlsNote, sizeof s->tlsNote, "%s", text);
}

// Which part of TLS failed, as OpenSSL knows it.
void TlsFailure(Shared &s, mosquitto *m, char *text, std::size_t size) {
    const char *host = s.cfg.host.c_str();
    const int port = s.cfg.port;
    char note[sizeof s.tlsNote];
    long verify = VerifyResult(m);
    {
        std::lock_guard<std::mutex> lock(s.mu);
        std::snprintf(note, sizeof note, "%s", s.tlsNote);
        if (verify == 0) verify = s.tlsVerify;
    }
    const std::string ca = s.cfg.caFile.empty() ? "the system's CAs" : s.cfg.caFile;
    switch (verify) {
        case 10:  // certificate has expired
            std::snprintf(text, size, "certificate: the broker's certificate on %s:%d has expired",
                          host, port);
            return;
        case 9:  // not yet valid
            std::snprintf(text, size,
                          "certificate: the broker's certificate on %s:%d is not valid yet", host,
                          port);
            return;
        case 2:   // unable to get issuer certificate
        case 18:  // self-signed
        case 19:  // self-signed in the chain
        case 20:  // unable to get local issuer certificate
        case 21:  // unable to verify the first certificate
            std::snprintf(text, size,
                          "certificate: the broker's certificate on %s:%d is signed by an unknown "
                          "CA (not in %s)",
                          host, port, ca.c_str());
            return;
        case 62:  // host name mismatch
            break;
        default:
            if (std::strstr(note, "alert certificate required") ||
                std::strstr(note, "alert bad certificate") ||
                std::strstr(note, "alert unknown ca") ||
                std::strstr(note, "alert certificate unknown")) {
                if (s.cfg.certFile.empty())
                    std::snprintf(text, size,
                                  "certificate: the broker on %s:%d wants the station's own "
                                  "certificate (--mqtt-cert, --mqtt-key)",
                                  host, port);
                else
                    std::snprintf(text, size,
                                  "certificate: the broker on %s:%d refused the station's "
                                  "certificate %s",
                                  host, port, s.cfg.certFile.c_str());
                return;
            }
            if (!std::strstr(note, "host name")) {
                if (std::strstr(note, "wrong version number") ||
                    std::strstr(note, "packet length too long") ||
                    std::strstr(note, "record layer failure") ||
                    std::strstr(note, "unexpected eof"))
                    std::snprintf(text, size,
                                  "wrong protocol: %s:%d does not speak TLS (a plain port wants "
                                  "mqtt://)",
                                  host, port);
                else
                    std::snprintf(text, size,
                                  "certificate: the broker on %s:%d is not trusted, or TLS failed",
                                  host, port);
                return;
            }
    }
    std::snprintf(text, size,
                  "certificate: the broker's certificate on %s:%d is not made out to %s (name "
                  "mismatch)",
                  host, port, host);
}

// Why the connection could not be made, in the operator's words.
// Under TLS 1.3 a broker's refusal of our certificate (or of its absence)
// comes as an alert after the handshake, on the first read, whatever the
// library then calls the failure.
bool TlsAlert(Shared &s) {
    std::lock_guard<std::mutex> lock(s.mu);
    return s.cfg.tls && std::strstr(s.tlsNote, " alert ") != nullptr;
}

// TLS that failed with no word from OpenSSL: the broker closed the
// connection in or right after the handshake, and our write of CONNECT met
// the closed socket before the broker's alert could be read. Whether that
// happens or the alert comes first is a matter of timing, so the likely
// cause is named either way, as likely.
bool TlsEndedWithoutReason(Shared &s, int error) {
    std::lock_guard<std::mutex> lock(s.mu);
    return s.cfg.tls && error == EPROTO && s.tlsNote[0] == '\0';
}

void TlsEndedText(const Shared &s, char *text, std::size_t size) {
    const char *host = s.cfg.host.c_str();
    const int port = s.cfg.port;
    if (s.cfg.certFile.empty())
        std::snprintf(text, size,
                      "certificate: the broker on %s:%d ended the TLS connection without a "
                      "reason: it may want the station's own certificate (--mqtt-cert, "
                      "--mqtt-key)",
                      host, port);
    else
        std::snprintf(text, size,
                      "certificate: the broker on %s:%d ended the TLS connection without a "
                      "reason: it may have refused the station's certificate %s",
                      host, port, s.cfg.certFile.c_str());
}

void ConnectFailure(Shared &s, int rc, int error, mosquitto *m) {
    char text[sizeof s.figures.reason];
    const char *host = s.cfg.host.c_str();
    const int port = s.cfg.port;
    if (TlsAlert(s)) rc = MOSQ_ERR_TLS;
    if (rc == MOSQ_ERR_ERRNO && TlsEndedWithoutReason(s, error))
        TlsEndedText(s, text, sizeof text);
    else if (rc == MOSQ_ERR_EAI)
        std::snprintf(text, sizeof text, "unreachable: no host named %s", host);
    else if (rc == MOSQ_ERR_ERRNO && error == ECONNREFUSED)
        std::snprintf(text, sizeof text, "refused: nothing accepts connections on %s:%d", host,
                      port);
    else if (rc == MOSQ_ERR_ERRNO)
        std::snprintf(text, sizeof text, "unreachable: %s:%d: %s", host, port,
                      std::strerror(error));
    else if (rc == MOSQ_ERR_TLS)
        TlsFailure(s, m, text, sizeof text);
    else
        std::snprintf(text, sizeof text, "unreachable: %s:%d: %s", host, port,
                      mosquitto_strerror(rc));
    s.SetReason(BrokerState::Waiting, text);
}

// Sets the client up for one connection; every setter's word is checked, as
// a will that silently failed would leave the plant without our last word.
LinkFault Configure(Shared &s, mosquitto *m) {
    const BrokerLinkConfig &c = s.cfg;
    int rc = mosquitto_int_option(m, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    if (rc != MOSQ_ERR_SUCCESS) return Stop(s, "the client library refuses MQTT 3.1.1", rc);
    mosquitto_connect_callback_set(m, OnConnect);
    mosquitto_publish_callback_set(m, OnPublish);
    mosquitto_log_callback_set(m, OnLog);
    mosquitto_message_callback_set(m, OnMessage);
    // Our window bounds what is in flight; libmosquitto must not hold any back.
    rc = mosquitto_max_inflight_messages_set(m, 0);
    if (rc != MOSQ_ERR_SUCCESS) return Stop(s, "the client library refuses our window", rc);
    if (!c.user.empty()) {
        rc = mosquitto_username_pw_set(m, c.user.c_str(),
                                       c.password.empty() ? nullptr : c.password.c_str());
        if (rc != MOSQ_ERR_SUCCESS)
            return Stop(s, "the user name or password cannot be sent (not UTF-8?)", rc);
    }
    const BrokerMessage will = c.will ? c.will() : BrokerMessage{c.stateTopic, c.willPayload, true};
    rc = mosquitto_will_set(m, will.topic.c_str(), static_cast<int>(will.payload.size()),
                            will.payload.data(), will.qos, will.retain);
    if (rc != MOSQ_ERR_SUCCESS) return Stop(s, "the last will cannot be set", rc);
    if (!c.tls) return LinkFault::None;
    const bool ownCertificate = !c.certFile.empty() || !c.keyFile.empty();
    if (c.caFile.empty()) {
        rc = mosquitto_int_option(m, MOSQ_OPT_TLS_USE_OS_CERTS, 1);
        if (rc != MOSQ_ERR_SUCCESS) return Stop(s, "TLS with the system's CAs is not possible", rc);
    }
    if (!c.caFile.empty() || ownCertificate) {
        // The client library takes a client's certificate only beside a CA
        // file or folder: the system's folder stands in for a CA file.
        const char *ca = c.caFile.empty() ? nullptr : c.caFile.c_str();
        const char *caFolder = c.caFile.empty() ? "/etc/ssl/certs" : nullptr;
        rc = mosquitto_tls_set(m, ca, caFolder, ownCertificate ? c.certFile.c_str() : nullptr,
                               ownCertificate ? c.keyFile.c_str() : nullptr, nullptr);
        if (rc != MOSQ_ERR_SUCCESS) {
            char text[sizeof s.figures.reason];
            if (ownCertificate)
                std::snprintf(text, sizeof text,
                              "certificate: the client certificate %s or its key %s cannot be "
                              "used",
                              c.certFile.c_str(), c.keyFile.c_str());
            else
                std::snprintf(text, sizeof text, "certificate: the CA file %s cannot be used",
                              c.caFile.c_str());
            return Stop(s, text, rc);
        }
    }
    if (c.insecure) {
        rc = mosquitto_tls_opts_set(m, 0 /* SSL_VERIFY_NONE */, nullptr, nullptr);
        if (rc == MOSQ_ERR_SUCCESS) rc = mosquitto_tls_insecure_set(m, true);
        if (rc != MOSQ_ERR_SUCCESS) return Stop(s, "TLS without checking cannot be set", rc);
    }
    return LinkFault::None;
}

// Hands the broker one message; the fault when the library refused it.
LinkFault Send(Shared &s, mosquitto *m, const char *topic, const std::string &payload, bool retain,
               int &mid, int qos = 1) {
    const int rc = mosquitto_publish(m, &mid, topic, static_cast<int>(payload.size()),
                                     payload.data(), qos, retain);
    if (FaultOf(rc) != LinkFault::Permanent) return FaultOf(rc);
    char text[sizeof s.figures.reason];
    std::snprintf(text, sizeof text, "the broker cannot be sent a message on %s", topic);
    return Stop(s, text, rc);
}

// Hands the broker what waits: retained texts first, then measurements up to
// the window. Each message is copied out under the lock and sent without it.
// A broker's acknowledgement is read on this thread only, after the outbox
// learnt the message id; a QoS 0 message is done as the library writes it,
// inside the call that takes it, and the outbox keeps that for its Handed.
LinkFault Pump(Shared &s, mosquitto *m, double &handedAt) {
    Outbox::Message msg;
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(s.mu);
            if (!s.box.Next(msg)) return LinkFault::None;
        }
        handedAt = Now();
        const bool retained = msg.slot >= 0;
        int mid = -1;
        if (s.cfg.encode) {
            // All but the last are what the message needs before it (a birth).
            for (const BrokerMessage &b : s.cfg.encode(msg.slot, msg.payload)) {
                const LinkFault fault =
                    Send(s, m, b.topic.c_str(), b.payload, b.retain, mid, b.qos);
                if (fault != LinkFault::None) return fault;  // taken back with the window
            }
        } else {
            const LinkFault fault =
                Send(s, m, retained ? msg.topic.c_str() : s.cfg.measurementTopic.c_str(),
                     msg.payload, retained, mid);
            if (fault != LinkFault::None) return fault;  // taken back with the window
        }
        std::string acked;
        bool done = false;
        {
            std::lock_guard<std::mutex> lock(s.mu);
            done = s.box.Handed(msg, mid, s.cfg.onAcknowledged ? &acked : nullptr);
            if (done) s.changed.notify_all();
        }
        if (done && !acked.empty()) s.cfg.onAcknowledged(acked);
    }
}

// The topics a protocol listens to, asked again on every connection (the
// session is a clean one).
LinkFault Subscribe(Shared &s, mosquitto *m) {
    for (const std::string &topic : s.cfg.subscriptions) {
        const int rc = mosquitto_subscribe(m, nullptr, topic.c_str(), 1);
        if (FaultOf(rc) == LinkFault::Permanent) {
            char text[sizeof s.figures.reason];
            std::snprintf(text, sizeof text, "the broker cannot be asked for %s", topic.c_str());
            return Stop(s, text, rc);
        }
        if (rc != MOSQ_ERR_SUCCESS) return LinkFault::Transient;
    }
    return LinkFault::None;
}

// Whether births are due now, and whether what waits may go.
bool Due(Shared &s, bool &births) {
    std::lock_guard<std::mutex> lock(s.mu);
    births = !s.held && !s.born;
    if (births) s.born = true;
    return !s.held;
}

// What a protocol says first on every connection.
LinkFault SayBirths(Shared &s, mosquitto *m) {
    if (!s.cfg.onConnect) return LinkFault::None;
    const std::vector<BrokerMessage> births = s.cfg.onConnect();
    {
        // A retained birth is the topic's newest text, unless the link is
        // finishing: its last text was set after any birth could be made.
        std::lock_guard<std::mutex> lock(s.mu);
        if (!s.finishing)
            for (const BrokerMessage &b : births)
                if (b.retain) s.box.Superseded(b.topic);
    }
    for (const BrokerMessage &b : births) {
        int mid = -1;
        const LinkFault fault = Send(s, m, b.topic.c_str(), b.payload, b.retain, mid, b.qos);
        if (fault != LinkFault::None) return fault;
    }
    return LinkFault::None;
}

bool AllOut(Shared &s) {
    std::lock_guard<std::mutex> lock(s.mu);
    return s.finishing && s.box.AllOut();
}

// What was handed over but not acknowledged goes back to the front of the
// queue, in order, for the next connection.
void TakeBackWindow(Shared &s) {
    std::lock_guard<std::mutex> lock(s.mu);
    s.box.TakeBack();
    s.connack = -1;
    s.born = false;
    s.held = s.cfg.holdAtConnect;
    s.reconnect = false;
    s.tlsNote[0] = '\0';
    s.tlsVerify = 0;
}

bool Quitting(const Shared &s) {
    std::lock_guard<std::mutex> lock(s.mu);
    return s.quit || (s.finishing && Now() > s.finishBy);
}

void DrainWake(const Shared &s) {
    uint64_t count = 0;
    if (read(s.wakeFd, &count, sizeof count) < 0) {
        // Nothing was pending.
    }
}

struct Outcome {
    bool accepted = false;
    LinkFault fault = LinkFault::None;
};

bool TakeReconnect(Shared &s) {
    std::lock_guard<std::mutex> lock(s.mu);
    const bool asked = s.reconnect;
    s.reconnect = false;
    return asked;
}

// Ends the connection on a protocol's word: its death goes out, then a clean
// DISCONNECT. A death that cannot be handed over is the broker's to say: it
// sends the will when a connection ends without a DISCONNECT.
void EndToReconnect(Shared &s, mosquitto *m) {
    const BrokerMessage death = s.cfg.death ? s.cfg.death() : BrokerMessage{};
    int mid = -1;
    const bool said =
        s.cfg.death &&
        mosquitto_publish(m, &mid, death.topic.c_str(), static_cast<int>(death.payload.size()),
                          death.payload.data(), death.qos, death.retain) == MOSQ_ERR_SUCCESS;
    if (said && mosquitto_disconnect(m) == MOSQ_ERR_SUCCESS)
        for (int i = 0; i < 50 && mosquitto_want_write(m); ++i)
            if (mosquitto_loop_write(m, 1) != MOSQ_ERR_SUCCESS) break;
}

// Whether the socket's input may wait for the next sample's wake-up (a
// hang-up or an error still wakes the thread at once).
bool ReadWithNext(Shared &s, mosquitto *m, bool up, double handedAt) {
    if (!up || Now() - handedAt >= kReadWithNextSeconds || mosquitto_want_write(m)) return false;
    std::lock_guard<std::mutex> lock(s.mu);
    return s.box.WindowRoomy() && !s.quit && !s.finishing;
}

// Runs one connection until it fails or ends cleanly.
Outcome Session(Shared &s, mosquitto *m) {
    Outcome out;
    const int rc = mosquitto_connect_async(m, s.cfg.host.c_str(), s.cfg.port, kKeepAliveSeconds);
    if (rc != MOSQ_ERR_SUCCESS) {
        const int error = errno;
        if (FaultOf(rc) == LinkFault::Permanent) {
            out.fault = Stop(s, "the broker's address cannot be used", rc);
            return out;
        }
        ConnectFailure(s, rc, error, m);
        out.fault = LinkFault::Transient;
        return out;
    }
    out.fault = LinkFault::Transient;  // unless it ends cleanly below
    char lost[sizeof s.figures.reason];
    std::snprintf(lost, sizeof lost, "unreachable: the connection to %s:%d was lost",
                  s.cfg.host.c_str(), s.cfg.port);
    // A listener that ends the connection before any MQTT answer is no
    // MQTT listener of that kind: a TLS port for mqtt://, a plain one for mqtts://.
    char unanswered[sizeof s.figures.reason];
    std::snprintf(unanswered, sizeof unanswered,
                  s.cfg.tls
                      ? "wrong protocol: %s:%d does not speak TLS (a plain port wants mqtt://)"
                      : "wrong protocol: %s:%d ended the connection without an MQTT answer "
                        "(a TLS port wants mqtts://)",
                  s.cfg.host.c_str(), s.cfg.port);
    const double deadline = Now() + kConnackSeconds;
    bool tcpUp = false;
    double handedAt = -1e9;
    for (;;) {
        if (Quitting(s)) return out;
        int connack = -1;
        {
            std::lock_guard<std::mutex> lock(s.mu);
            connack = s.connack;
        }
        if (connack > 0) {
            s.SetReason(BrokerState::Waiting, ConnackReason(connack));
            return out;
        }
        if (connack == 0 && !out.accepted) {
            out.accepted = true;
            if (const LinkFault f = Subscribe(s, m); f != LinkFault::None) {
                if (f == LinkFault::Transient) s.SetReason(BrokerState::Waiting, lost);
                out.fault = f;
                return out;
            }
        }
        if (out.accepted && TakeReconnect(s)) {
            EndToReconnect(s, m);
            s.SetReason(BrokerState::Waiting, "the primary host went offline: connecting again");
            return out;
        }
        bool births = false, mayPump = false;
        if (out.accepted) mayPump = Due(s, births);
        if (births) {
            if (const LinkFault f = SayBirths(s, m); f != LinkFault::None) {
                if (f == LinkFault::Transient) s.SetReason(BrokerState::Waiting, lost);
                out.fault = f;
                return out;
            }
        }
        if (!out.accepted && Now() > deadline) {
            std::snprintf(lost, sizeof lost, "unreachable: no answer from %s:%d",
                          s.cfg.host.c_str(), s.cfg.port);
            s.SetReason(BrokerState::Waiting, lost);
            return out;
        }
        if (mayPump) {
            if (const LinkFault f = Pump(s, m, handedAt); f != LinkFault::None) {
                if (f == LinkFault::Transient) s.SetReason(BrokerState::Waiting, lost);
                out.fault = f;
                return out;
            }
        }
        if (out.accepted && AllOut(s)) {
            // All was acknowledged: a DISCONNECT that cannot go out only
            // makes the broker send our will, which says offline as well.
            if (mosquitto_disconnect(m) == MOSQ_ERR_SUCCESS)
                for (int i = 0; i < 50 && mosquitto_want_write(m); ++i)
                    if (mosquitto_loop_write(m, 1) != MOSQ_ERR_SUCCESS) break;
            std::lock_guard<std::mutex> lock(s.mu);
            s.cleanEnd = true;
            s.figures.state = BrokerState::Off;
            s.changed.notify_all();
            out.fault = LinkFault::None;
            return out;
        }
        const int sock = mosquitto_socket(m);
        const bool readWithNext = ReadWithNext(s, m, out.accepted && tcpUp, handedAt);
        pollfd fds[2] = {{sock, readWithNext ? short{0} : short{POLLIN}, 0}, {s.wakeFd, POLLIN, 0}};
        if (!tcpUp || mosquitto_want_write(m)) fds[0].events |= POLLOUT;
        const int waitMs = readWithNext ? static_cast<int>(kReadWithNextSeconds * 1000)
                                        : (out.accepted ? 1000 : 200);
        if (poll(fds, 2, waitMs) < 0 && errno != EINTR) {
            s.SetReason(BrokerState::Waiting, lost);
            return out;
        }
        if (fds[1].revents & POLLIN) DrainWake(s);
        // The connection is being made while we poll: its outcome is the
        // socket's pending error once it is writable or failed.
        if (!tcpUp && fds[0].revents) {
            int error = 0;
            socklen_t len = sizeof error;
            if (getsockopt(sock, SOL_SOCKET, SO_ERROR, &error, &len) != 0) error = errno;
            // Made and ended at once by the far end: a listener of another
            // kind, which got our first bytes before we polled.
            if (error == ECONNRESET || error == EPIPE) {
                s.SetReason(BrokerState::Waiting, unanswered);
                return out;
            }
            if (error != 0) {
                ConnectFailure(s, MOSQ_ERR_ERRNO, error, m);
                return out;
            }
            tcpUp = (fds[0].revents & POLLOUT) != 0;
        }
        // libmosquitto's own step: the TLS handshake as it goes, what can be
        // read and written now, and its keep-alive; it does not wait.
        const int step = tcpUp ? mosquitto_loop(m, 0, 1) : mosquitto_loop_misc(m);
        if (step != MOSQ_ERR_SUCCESS) {
            const int error = errno;
            {
                std::lock_guard<std::mutex> lock(s.mu);
                connack = s.connack;
            }
            if (connack > 0) continue;  // said above, on the next pass
            if ((step == MOSQ_ERR_TLS || TlsAlert(s)) && !out.accepted)
                ConnectFailure(s, MOSQ_ERR_TLS, 0, m);
            else if (!out.accepted && step == MOSQ_ERR_ERRNO && TlsEndedWithoutReason(s, error))
                ConnectFailure(s, step, error, m);
            else if (!out.accepted)
                s.SetReason(BrokerState::Waiting, unanswered);
            else
                s.SetReason(BrokerState::Waiting, lost);
            return out;
        }
    }
}

void WaitBeforeRetry(Shared &s, double seconds) {
    const double until = Now() + seconds;
    while (!Quitting(s)) {
        const double left = until - Now();
        if (left <= 0) return;
        pollfd fd = {s.wakeFd, POLLIN, 0};
        if (poll(&fd, 1, static_cast<int>(left * 1000) + 1) > 0 && (fd.revents & POLLIN))
            DrainWake(s);
    }
}

void Run(std::shared_ptr<Shared> s) {
    Retry retry;
    while (!Quitting(*s)) {
        {
            std::lock_guard<std::mutex> lock(s->mu);
            if (s->figures.state != BrokerState::Waiting)
                s->figures.state = BrokerState::Connecting;
        }
        Outcome o;
        mosquitto *m = mosquitto_new(s->cfg.clientId.c_str(), true, s.get());
        if (!m) {
            o.fault = FaultOf(errno == EINVAL ? MOSQ_ERR_INVAL : MOSQ_ERR_NOMEM);
            if (o.fault == LinkFault::Permanent)
                Stop(*s, "the client id is refused", MOSQ_ERR_INVAL);
        } else if ((o.fault = Configure(*s, m)) == LinkFault::None) {
            o = Session(*s, m);
        }
        if (m) mosquitto_destroy(m);
        TakeBackWindow(*s);
        {
            std::lock_guard<std::mutex> lock(s->mu);
            if (s->cleanEnd) break;
        }
        const double wait = retry.After(o.accepted, o.fault);
        if (wait < 0) break;
        WaitBeforeRetry(*s, wait);
    }
    std::lock_guard<std::mutex> lock(s->mu);
    s->exited = true;
    s->changed.notify_all();
}

// The process's share: libmosquitto set up once and cleaned up once at the
// end, every running link, and the links that finish on their own after
// their owner let them go (joined once done, or at the end).
struct Process {
    std::mutex mu;
    bool ready = false, atExit = false;
    std::vector<std::shared_ptr<Shared>> running;
    struct Retired {
        std::shared_ptr<Shared> shared;
        std::thread thread;
    };
    std::vector<Retired> retired;
};
// Never destroyed: a link may end after the statics that would hold it.
Process &Proc() {
    static Process *p = new Process;
    return *p;
}

bool Exited(const Shared &s) {
    std::lock_guard<std::mutex> lock(s.mu);
    return s.exited;
}

void Forget(Process &p, const Shared *s) {
    p.running.erase(std::remove_if(p.running.begin(), p.running.end(),
                                   [s](const auto &r) { return r.get() == s; }),
                    p.running.end());
}

// Links whose own finish is over are joined.
void JoinRetired(Process &p, bool all) {
    for (auto it = p.retired.begin(); it != p.retired.end();) {
        if (!all && !Exited(*it->shared)) {
            ++it;
            continue;
        }
        it->thread.join();
        Forget(p, it->shared.get());
        it = p.retired.erase(it);
    }
}

// At the process's end every link is told to quit; the retired are joined
// (their owner is gone) and the library cleaned up once none runs.
void EndAtExit() {
    Process &p = Proc();
    std::lock_guard<std::mutex> lock(p.mu);
    // A link that finishes on its own keeps the time it was given: its last
    // samples and its offline state are what it finishes for.
    for (const auto &r : p.retired) {
        std::unique_lock<std::mutex> l(r.shared->mu);
        const double left = std::min(r.shared->finishBy - Now(), kFinishingSeconds);
        if (left > 0)
            r.shared->changed.wait_for(l, std::chrono::duration<double>(left),
                                       [&] { return r.shared->exited; });
    }
    for (const auto &s : p.running) {
        std::unique_lock<std::mutex> l(s->mu);
        s->quit = true;
        s->Wake();
        s->changed.wait_for(l, std::chrono::duration<double>(kQuitSeconds),
                            [&] { return s->exited; });
    }
    JoinRetired(p, true);
    const bool allEnded =
        std::all_of(p.running.begin(), p.running.end(), [](const auto &s) { return Exited(*s); });
    if (p.ready && allEnded) {
        mosquitto_lib_cleanup();
        p.ready = false;
    }
}

}  // namespace

BrokerLink::BrokerLink() : shared_(std::make_shared<Shared>()) {
    shared_->wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

BrokerLink::~BrokerLink() {
    if (!thread_.joinable()) return;
    bool onItsOwn = false;
    {
        std::lock_guard<std::mutex> lock(shared_->mu);
        onItsOwn = shared_->finishing && !shared_->exited && !shared_->quit;
        if (!onItsOwn) shared_->quit = true;
    }
    shared_->Wake();
    Process &p = Proc();
    std::lock_guard<std::mutex> lock(p.mu);
    if (onItsOwn) {
        p.retired.push_back({shared_, std::move(thread_)});
        return;
    }
    // The thread sees the quit within one poll; only a host-name lookup
    // that runs can keep it longer.
    thread_.join();
    Forget(p, shared_.get());
}

bool BrokerLink::Start(const BrokerLinkConfig &config) {
    if (shared_->wakeFd < 0 || thread_.joinable()) return false;
    Process &p = Proc();
    {
        std::lock_guard<std::mutex> lock(p.mu);
        JoinRetired(p, false);
        if (!p.ready) {
            if (mosquitto_lib_init() != MOSQ_ERR_SUCCESS) return false;
            p.ready = true;
        }
        if (!p.atExit) p.atExit = std::atexit(EndAtExit) == 0;
        p.running.push_back(shared_);
    }
    shared_->cfg = config;
    shared_->box = Outbox(config.queueLimit, kWindowMost);
    shared_->held = config.holdAtConnect;
    shared_->figures.state = BrokerState::Connecting;
    try {
        thread_ = std::thread(Run, shared_);
    } catch (const std::system_error &) {
        std::lock_guard<std::mutex> lock(p.mu);
        Forget(p, shared_.get());
        return false;
    }
    return true;
}

void BrokerLink::Enqueue(std::string payload, bool keep) {
    bool wasEmpty = false;
    {
        std::lock_guard<std::mutex> lock(shared_->mu);
        wasEmpty = shared_->box.Held() == shared_->box.InWindow();
        shared_->box.Add(std::move(payload), keep);
    }
    // A queue that holds more is being taken already, or waits for the window.
    if (wasEmpty) shared_->Wake();
}

void BrokerLink::SetRetained(int slot, const std::string &topic, std::string payload) {
    if (slot < 0 || slot >= kRetainedSlots) return;
    {
        std::lock_guard<std::mutex> lock(shared_->mu);
        shared_->box.Retain(slot, topic, std::move(payload));
    }
    shared_->Wake();
}

BrokerFigures BrokerLink::Figures() const {
    std::lock_guard<std::mutex> lock(shared_->mu);
    BrokerFigures f = shared_->figures;
    f.queued = shared_->box.Held();
    f.dropped = shared_->box.Dropped();
    f.delivered = shared_->box.Delivered();
    return f;
}

BrokerLink::Left BrokerLink::Finish(int lastSlot, const std::string &topic, std::string lastPayload,
                                    double seconds, bool wait) {
    SetRetained(lastSlot, topic, std::move(lastPayload));
    std::unique_lock<std::mutex> lock(shared_->mu);
    shared_->finishing = true;
    shared_->finishBy = Now() + seconds;
    shared_->Wake();
    if (wait && thread_.joinable()) {
        const auto limit = std::chrono::duration<double>(seconds + 0.5);
        if (!shared_->changed.wait_for(lock, limit, [this] { return shared_->exited; })) {
            shared_->quit = true;  // the owner's wait is over: so is the link's
            shared_->Wake();
        }
    }
    return {static_cast<unsigned long>(shared_->box.Held()), shared_->box.Dropped()};
}
