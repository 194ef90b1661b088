// The network side of publishing. Each connection is a fresh libmosquitto
// client driven from our own thread through its socket, so that
//  - what waits is ours alone: a reconnect re-sends our unacknowledged
//    window once, in order, instead of libmosquitto's copy and ours both;
//  - a refused certificate or an unknown host name is retried like any other
//    failure (libmosquitto's own loop thread gives up on those for good);
//  - the back-off is ours: 1 s, doubling to 30 s, back to 1 s after a
//    connection that worked.
// The caller's thread only appends to the queue under the lock and pokes an
// eventfd; it never touches the socket.
#include "broker_link.h"

#include <dlfcn.h>
#include <mosquitto.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

namespace {

constexpr int kKeepAliveSeconds = 10;
constexpr double kConnackSeconds = 10;
constexpr double kFirstDelay = 1, kLongestDelay = 30;
constexpr std::size_t kWindowMost = 1000;

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
    std::size_t window = 1;

    mutable std::mutex mu;
    std::condition_variable changed;
    std::deque<std::string> queue;  // not yet handed to the broker
    struct InFlight {
        int mid = -1;
        std::string payload;
    };
    std::deque<InFlight> inFlight;  // handed over, not yet acknowledged
    struct Retained {
        std::string topic, payload;
        bool dirty = false;  // a text not yet handed over
        int mid = -1;        // handed over, not yet acknowledged
    } retained[kRetainedSlots];
    BrokerFigures figures;
    bool finishing = false, quit = false, cleanEnd = false, exited = false;
    double finishBy = 0;  // a finish left to run on its own gives up then
    int connack = -1;
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

void OnConnect(mosquitto *, void *obj, int rc) {
    auto *s = static_cast<Shared *>(obj);
    std::lock_guard<std::mutex> lock(s->mu);
    s->connack = rc;
    if (rc != 0) return;
    s->figures.state = BrokerState::Connected;
    s->figures.everConnected = true;
    s->figures.reason[0] = '\0';
}

void OnPublish(mosquitto *, void *obj, int mid) {
    auto *s = static_cast<Shared *>(obj);
    std::lock_guard<std::mutex> lock(s->mu);
    for (auto &r : s->retained)
        if (r.mid == mid) {
            r.mid = -1;
            return;
        }
    // Acknowledgements come in the order the messages went out: the front.
    for (auto it = s->inFlight.begin(); it != s->inFlight.end(); ++it)
        if (it->mid == mid) {
            s->inFlight.erase(it);
            ++s->figures.delivered;
            break;
        }
    s->changed.notify_all();
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
    if (std::strstr(s->tlsNote, "host name")) return;  // the first cause stays
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
void ConnectFailure(Shared &s, int rc, int error, mosquitto *m) {
    char text[sizeof s.figures.reason];
    const char *host = s.cfg.host.c_str();
    const int port = s.cfg.port;
    if (rc == MOSQ_ERR_EAI)
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

bool Configure(Shared &s, mosquitto *m) {
    const BrokerLinkConfig &c = s.cfg;
    mosquitto_int_option(m, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    mosquitto_connect_callback_set(m, OnConnect);
    mosquitto_publish_callback_set(m, OnPublish);
    mosquitto_log_callback_set(m, OnLog);
    // Our window bounds what is in flight; libmosquitto must not hold any back.
    mosquitto_max_inflight_messages_set(m, 0);
    if (!c.user.empty())
        mosquitto_username_pw_set(m, c.user.c_str(),
                                  c.password.empty() ? nullptr : c.password.c_str());
    mosquitto_will_set(m, c.stateTopic.c_str(), static_cast<int>(c.willPayload.size()),
                       c.willPayload.data(), 1, true);
    if (!c.tls) return true;
    if (c.caFile.empty()) {
        mosquitto_int_option(m, MOSQ_OPT_TLS_USE_OS_CERTS, 1);
    } else if (mosquitto_tls_set(m, c.caFile.c_str(), nullptr, nullptr, nullptr, nullptr) !=
               MOSQ_ERR_SUCCESS) {
        char text[sizeof s.figures.reason];
        std::snprintf(text, sizeof text, "certificate: the CA file %s cannot be read",
                      c.caFile.c_str());
        s.SetReason(BrokerState::Waiting, text);
        return false;
    }
    if (c.insecure) {
        mosquitto_tls_opts_set(m, 0 /* SSL_VERIFY_NONE */, nullptr, nullptr);
        mosquitto_tls_insecure_set(m, true);
    }
    return true;
}

// Hands the broker what waits: retained texts first, then measurements up to
// the window. False when the connection failed on the way.
bool Pump(Shared &s, mosquitto *m) {
    std::string topic, payload;
    for (int slot = 0; slot < BrokerLink::kRetainedSlots; ++slot) {
        {
            std::lock_guard<std::mutex> lock(s.mu);
            Shared::Retained &r = s.retained[slot];
            if (!r.dirty) continue;
            r.dirty = false;
            topic = r.topic;
            payload = r.payload;
        }
        int mid = -1;
        const int rc = mosquitto_publish(m, &mid, topic.c_str(), static_cast<int>(payload.size()),
                                         payload.data(), 1, true);
        std::lock_guard<std::mutex> lock(s.mu);
        if (rc != MOSQ_ERR_SUCCESS) {
            s.retained[slot].dirty = true;
            return false;
        }
        if (!s.retained[slot].dirty) s.retained[slot].mid = mid;
    }
    std::size_t from = 0, to = 0;
    {
        std::lock_guard<std::mutex> lock(s.mu);
        from = s.inFlight.size();
        while (s.inFlight.size() < s.window && !s.queue.empty()) {
            s.inFlight.push_back({-1, std::move(s.queue.front())});
            s.queue.pop_front();
        }
        to = s.inFlight.size();
    }
    // Only this thread changes the window, so its entries stay put here.
    const char *measurements = s.cfg.measurementTopic.c_str();
    for (std::size_t i = from; i < to; ++i) {
        Shared::InFlight &f = s.inFlight[i];
        int mid = -1;
        const int rc = mosquitto_publish(m, &mid, measurements, static_cast<int>(f.payload.size()),
                                         f.payload.data(), 1, false);
        if (rc != MOSQ_ERR_SUCCESS) return false;
        std::lock_guard<std::mutex> lock(s.mu);
        f.mid = mid;
    }
    return true;
}

// Everything handed over and acknowledged, and the end was asked for.
bool AllOut(Shared &s) {
    std::lock_guard<std::mutex> lock(s.mu);
    if (!s.finishing || !s.queue.empty() || !s.inFlight.empty()) return false;
    for (const auto &r : s.retained)
        if (r.dirty || r.mid != -1) return false;
    return true;
}

// What was handed over but not acknowledged goes back to the front of the
// queue, in order, for the next connection; the bound then holds again.
void TakeBackWindow(Shared &s) {
    std::lock_guard<std::mutex> lock(s.mu);
    while (!s.inFlight.empty()) {
        s.queue.push_front(std::move(s.inFlight.back().payload));
        s.inFlight.pop_back();
    }
    while (s.queue.size() > s.cfg.queueLimit) {
        s.queue.pop_front();
        ++s.figures.dropped;
    }
    for (auto &r : s.retained)
        if (r.mid != -1) {
            r.mid = -1;
            r.dirty = true;
        }
    s.connack = -1;
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

// Runs one connection until it fails or ends cleanly. True when the broker
// accepted it.
bool Session(Shared &s, mosquitto *m) {
    const int rc = mosquitto_connect(m, s.cfg.host.c_str(), s.cfg.port, kKeepAliveSeconds);
    if (rc != MOSQ_ERR_SUCCESS) {
        ConnectFailure(s, rc, errno, m);
        return false;
    }
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
    bool accepted = false;
    for (;;) {
        if (Quitting(s)) break;
        int connack = -1;
        {
            std::lock_guard<std::mutex> lock(s.mu);
            connack = s.connack;
        }
        if (connack > 0) {
            s.SetReason(BrokerState::Waiting, ConnackReason(connack));
            break;
        }
        accepted = connack == 0;
        if (!accepted && Now() > deadline) {
            std::snprintf(lost, sizeof lost, "unreachable: no answer from %s:%d",
                          s.cfg.host.c_str(), s.cfg.port);
            s.SetReason(BrokerState::Waiting, lost);
            break;
        }
        if (accepted && !Pump(s, m)) {
            s.SetReason(BrokerState::Waiting, lost);
            break;
        }
        if (accepted && AllOut(s)) {
            mosquitto_disconnect(m);
            for (int i = 0; i < 50 && mosquitto_want_write(m); ++i)
                if (mosquitto_loop_write(m, 1) != MOSQ_ERR_SUCCESS) break;
            std::lock_guard<std::mutex> lock(s.mu);
            s.cleanEnd = true;
            s.figures.state = BrokerState::Off;
            s.changed.notify_all();
            break;
        }
        pollfd fds[2] = {{mosquitto_socket(m), POLLIN, 0}, {s.wakeFd, POLLIN, 0}};
        if (mosquitto_want_write(m)) fds[0].events |= POLLOUT;
        poll(fds, 2, accepted ? 1000 : 200);
        if (fds[1].revents & POLLIN) DrainWake(s);
        int step = MOSQ_ERR_SUCCESS;
        if (fds[0].revents & (POLLIN | POLLERR | POLLHUP)) step = mosquitto_loop_read(m, 1);
        if (step == MOSQ_ERR_SUCCESS && mosquitto_want_write(m)) step = mosquitto_loop_write(m, 1);
        if (step == MOSQ_ERR_SUCCESS) step = mosquitto_loop_misc(m);
        if (step != MOSQ_ERR_SUCCESS) {
            {
                std::lock_guard<std::mutex> lock(s.mu);
                connack = s.connack;
            }
            if (connack > 0) continue;  // said above, on the next pass
            if (step == MOSQ_ERR_TLS && !accepted)
                ConnectFailure(s, step, 0, m);
            else if (!accepted)
                s.SetReason(BrokerState::Waiting, unanswered);
            else
                s.SetReason(BrokerState::Waiting, lost);
            break;
        }
    }
    return accepted;
}

void WaitBeforeRetry(Shared &s, double seconds) {
    const double until = Now() + seconds;
    while (!Quitting(s)) {
        const double left = until - Now();
        if (left <= 0) return;
        pollfd fd = {s.wakeFd, POLLIN, 0};
        poll(&fd, 1, static_cast<int>(left * 1000) + 1);
        if (fd.revents & POLLIN) DrainWake(s);
    }
}

void Run(std::shared_ptr<Shared> s) {
    double delay = kFirstDelay;
    while (!Quitting(*s)) {
        {
            std::lock_guard<std::mutex> lock(s->mu);
            if (s->figures.state != BrokerState::Waiting)
                s->figures.state = BrokerState::Connecting;
        }
        mosquitto *m = mosquitto_new(s->cfg.clientId.c_str(), true, s.get());
        bool accepted = false;
        if (m && Configure(*s, m)) accepted = Session(*s, m);
        if (m) mosquitto_destroy(m);
        TakeBackWindow(*s);
        {
            std::lock_guard<std::mutex> lock(s->mu);
            if (s->cleanEnd) break;
        }
        if (accepted) delay = kFirstDelay;
        WaitBeforeRetry(*s, delay);
        if (!accepted) delay = std::min(delay * 2, kLongestDelay);
    }
    std::lock_guard<std::mutex> lock(s->mu);
    s->exited = true;
    s->changed.notify_all();
}

std::once_flag libraryReady;

}  // namespace

BrokerLink::BrokerLink() : shared_(std::make_shared<Shared>()) {
    shared_->wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

// A finish goes on by itself until it is done or its time is up; anything
// else ends. The thread owns its share of the state, so nothing waits here.
BrokerLink::~BrokerLink() {
    std::lock_guard<std::mutex> lock(shared_->mu);
    if (!shared_->finishing) shared_->quit = true;
    shared_->Wake();
}

bool BrokerLink::Start(const BrokerLinkConfig &config) {
    if (shared_->wakeFd < 0) return false;
    std::call_once(libraryReady, [] { mosquitto_lib_init(); });
    shared_->cfg = config;
    shared_->window = std::max<std::size_t>(1, std::min(kWindowMost, config.queueLimit / 2));
    shared_->figures.state = BrokerState::Connecting;
    std::thread(Run, shared_).detach();
    return true;
}

void BrokerLink::Enqueue(std::string payload) {
    bool wasEmpty = false;
    {
        std::lock_guard<std::mutex> lock(shared_->mu);
        // The bound covers everything held, the window on the wire too: a
        // user sizes it by memory. The oldest waiting one makes room; the
        // window is never more than half the bound, so one always waits.
        if (shared_->queue.size() + shared_->inFlight.size() >= shared_->cfg.queueLimit) {
            ++shared_->figures.dropped;
            if (shared_->queue.empty()) return;
            shared_->queue.pop_front();
        }
        wasEmpty = shared_->queue.empty();
        shared_->queue.push_back(std::move(payload));
    }
    // A queue that holds more is being taken already, or waits for the window.
    if (wasEmpty) shared_->Wake();
}

void BrokerLink::SetRetained(int slot, const std::string &topic, std::string payload) {
    if (slot < 0 || slot >= kRetainedSlots) return;
    {
        std::lock_guard<std::mutex> lock(shared_->mu);
        Shared::Retained &r = shared_->retained[slot];
        r.topic = topic;
        r.payload = std::move(payload);
        r.dirty = true;
    }
    shared_->Wake();
}

BrokerFigures BrokerLink::Figures() const {
    std::lock_guard<std::mutex> lock(shared_->mu);
    BrokerFigures f = shared_->figures;
    f.queued = shared_->queue.size() + shared_->inFlight.size();
    return f;
}

unsigned long BrokerLink::Finish(int lastSlot, const std::string &topic, std::string lastPayload,
                                 double seconds, bool wait) {
    SetRetained(lastSlot, topic, std::move(lastPayload));
    std::unique_lock<std::mutex> lock(shared_->mu);
    shared_->finishing = true;
    shared_->finishBy = Now() + seconds;
    shared_->Wake();
    if (wait) {
        const auto limit = std::chrono::duration<double>(seconds + 0.5);
        shared_->changed.wait_for(lock, limit, [this] { return shared_->exited; });
    }
    return shared_->queue.size() + shared_->inFlight.size();
}
