// The publisher: a subscriber of the sample stream and of the activity that
// turns each into JSON and hands it to the broker link. It runs on the
// front-end's thread and never waits on the network.
#include "publish.h"

#include <mosquitto.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

#include "broker_link.h"
#include "com232.h"
#include "recorder.h"
#include "sparkplug.h"
#include "ui.h"

namespace {

enum { kStateSlot = 0, kInfoSlot = 1 };
constexpr double kTickSeconds = 1.0;
constexpr double kFiguresSeconds = 10.0;

// What the network thread says on every connection after the first: a
// broker that restarted without its store has lost our retained state and
// info, and would give a newcomer none until they next change.
struct ConnectSay {
    std::mutex lock;
    std::string stateTopic, infoTopic, state, info;  // state: its meaning, without reason
    int connections = 0;
};

// What the front-end's thread last told the Sparkplug node, so that it
// tells what changed: a sensor that came or went, a new run, new limits.
struct SparkplugTold {
    std::shared_ptr<SparkplugNode> node;
    SparkplugName name;
    std::string bdSeqKey;
    int bdSeqStored = -1;
    bool device = false;
    std::string identity, run, mode;
    SparkplugValue limits[3];  // lower, upper, setpoint
    bool limitsTold = false;
};

struct Publisher {
    BrokerLink link;
    std::unique_ptr<SparkplugTold> sp;  // a Sparkplug edge node, else plain JSON
    std::shared_ptr<ConnectSay> connectSay = std::make_shared<ConnectSay>();
    BrokerAddress address;
    std::string root, measurementTopic, stateTopic, infoTopic;
    std::string lastState, lastFigures, lastInfo;  // the state's meaning and figures
    double figuresSent = 0;
    int connectionsSeen = 0;
    char lastText[320] = "";
    unsigned long lastQueued = 0, lastDropped = 0;
};
std::unique_ptr<Publisher> publisher;
// Measurement messages queued since the process started: never restarts,
// not with a run, not with publishing switched off and on.
unsigned long long messagesQueued = 0;
int tickToken = 0;
void (*stateListener)(const char *text, bool newState) = nullptr;
char stationMode[32] = "", stationReason[64] = "";

// A JSON string of a text that may be Latin-1 (the sensor's micro sign).
std::string JsonText(const char *text) {
    char utf8[512], json[6 * sizeof utf8 + 3];  // \u00XX for each byte at most
    TextAsUtf8(text, utf8, sizeof utf8);
    return JsonString(json, sizeof json, utf8) < 0 ? "\"\"" : json;
}

// Every figure in its shortest exact form: a subscriber reads the double
// that was judged, so a value beyond a limit never reads as equal to it, in
// µm or in mm. The run and the sample name the measurement across restarts
// (a redelivery repeats both); seq, counted over the whole process, shows a
// subscriber what it missed, the oldest dropped from a full queue included.
std::string SamplePayload(const Sample &s, unsigned long long seq) {
    char time[40], json[600], mm[40], value[40], lower[40], upper[40];
    IsoTimestamp(time, sizeof time, s.wallMs);
    if (ShortestNumber(mm, sizeof mm, s.mm) < 0 ||
        ShortestNumber(value, sizeof value, s.exactUm) < 0 ||
        ShortestNumber(lower, sizeof lower, s.lowerUm) < 0 ||
        ShortestNumber(upper, sizeof upper, s.upperUm) < 0)
        return "{}";
    std::snprintf(json, sizeof json,
                  ", \"seq\": %llu, \"sample\": %lu, \"time\": \"%s\", \"value_mm\": %s, "
                  "\"value_um\": %s, \"sensor_um\": %d, \"a\": %u, \"b\": %u, "
                  "\"verdict\": \"%s\", \"lower_um\": %s, \"upper_um\": %s, "
                  "\"setpoint_um\": %d}",
                  seq, s.number, time, mm, value, s.sensorUm, static_cast<unsigned>(s.a),
                  static_cast<unsigned>(s.b), VerdictName(s.verdict), lower, upper, s.setpointUm);
    return "{\"run\": " + JsonText(CurrentRunId()) + json;
}

// "time": now, as the state is sent: when the station said it.
std::string TimeNow() {
    using namespace std::chrono;
    const auto ms = duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
    char time[48];
    IsoTimestamp(time, sizeof time, static_cast<int64_t>(ms));
    return std::string(", \"time\": \"") + time + "\"";
}

// What the state means (online, mode, reason, port, sensor), without its
// time and the queue's figures; reason stands in when the station gives none.
std::string StateMeaning(const char *reason = "") {
    const char *why = stationReason[0] ? stationReason : reason;
    const std::string said = why[0] ? ", \"reason\": " + JsonText(why) : std::string();
    return std::string("{\"online\": true, \"mode\": \"") +
           (stationMode[0] ? stationMode : ActivityName(CurrentActivity())) + "\"" + said +
           ", \"port\": " + JsonText(LinkDevice()) + ", \"sensor\": " + JsonText(sensorFirmware);
}

// The end of a station that stopped, and the broker's word for one that died.
std::string OfflineState(const char *reason, bool withTime) {
    return std::string("{\"online\": false, \"reason\": \"") + reason + "\"" +
           (withTime ? TimeNow() : std::string()) + "}";
}

std::string QueueFigures() {
    const BrokerFigures f = publisher->link.Figures();
    char figures[96];
    std::snprintf(figures, sizeof figures, ", \"queued\": %lu, \"dropped\": %lu}", f.queued,
                  f.dropped);
    return figures;
}

std::string WordList(unsigned short frame) {
    std::string out = "[";
    for (int i = 0; i < 15; ++i) {
        out += i ? ", " : "";
        out += std::to_string(parameter[ParameterWordOfFrame(frame, i)]);
    }
    return out + "]";
}

std::string InfoPayload() {
    std::string hardware = "[";
    for (int line = 0; line < 3; ++line)
        hardware += (line ? ", " : "") + JsonText(sensorHardware[line]);
    return "{\"hardware\": " + hardware + "], \"firmware\": " + JsonText(sensorFirmware) +
           ", \"parameters\": {\"frame0\": " + WordList(0) + ", \"frame1\": " + WordList(1) + "}}";
}

double Seconds() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

// State and info go out when their meaning changed. The state's queue
// figures alone change with every sample while the broker lags: each retained
// copy is stored by the broker and handed to every newcomer, so those go out
// at most every kFiguresSeconds.
void RetainChanges() {
    const std::string meaning = StateMeaning(), figures = QueueFigures();
    const double now = Seconds();
    {
        // After a reconnect a state of before it may go out again behind the
        // one the connection began with: the present one follows it.
        ConnectSay &say = *publisher->connectSay;
        const std::lock_guard<std::mutex> hold(say.lock);
        if (say.connections > 1 && say.connections != publisher->connectionsSeen)
            publisher->lastState.clear();
        publisher->connectionsSeen = say.connections;
    }
    if (meaning != publisher->lastState ||
        (figures != publisher->lastFigures && now - publisher->figuresSent >= kFiguresSeconds)) {
        publisher->lastState = meaning;
        publisher->lastFigures = figures;
        publisher->figuresSent = now;
        publisher->link.SetRetained(kStateSlot, publisher->stateTopic,
                                    meaning + TimeNow() + figures);
    }
    std::string info = InfoPayload();
    if (info != publisher->lastInfo) {
        publisher->lastInfo = info;
        publisher->link.SetRetained(kInfoSlot, publisher->infoTopic, info);
    }
    ConnectSay &say = *publisher->connectSay;
    const std::lock_guard<std::mutex> hold(say.lock);
    say.state = StateMeaning("broker reconnect") + TimeNow() + figures;
    say.info = publisher->lastInfo;
}

// ------------------------------------------------------------- Sparkplug
std::uint64_t NowMs() {
    using namespace std::chrono;
    return static_cast<std::uint64_t>(
        duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count());
}

SparkplugValue Number(double v) {
    SparkplugValue out;
    out.set = true;
    out.number = v;
    return out;
}

SparkplugValue Count(std::uint64_t v) {
    SparkplugValue out;
    out.set = true;
    out.count = v;
    return out;
}

SparkplugValue Text(const char *text) {
    char utf8[512];
    TextAsUtf8(text, utf8, sizeof utf8);
    SparkplugValue out;
    out.set = true;
    out.text = utf8;
    return out;
}

SparkplugValue Nothing() {
    SparkplugValue out;
    out.set = true;
    out.isNull = true;
    return out;
}

bool SameValue(const SparkplugValue &a, const SparkplugValue &b) {
    return a.set == b.set && a.isNull == b.isNull && a.number == b.number;
}

// The sensor is there while the link knows who it is and the station does
// not wait for it.
bool SensorThere() { return sensorFirmware[0] != '\0' && std::strcmp(stationMode, "waiting") != 0; }

std::string HardwareText() {
    std::string out;
    for (const auto &line : sensorHardware)
        if (line[0]) out += (out.empty() ? "" : ", ") + std::string(line);
    return out;
}

// A sensor that came is born, one that went dies, another one at the same
// port is born anew: kept messages, which a full queue never drops.
void TellDevice(SparkplugTold &sp, std::uint64_t nowMs) {
    const bool there = SensorThere();
    const std::string identity = there ? std::string(sensorFirmware) + "|" + HardwareText() : "";
    if (there == sp.device && identity == sp.identity) return;
    SparkplugEvent e;
    e.timeMs = nowMs;
    e.kind = there ? SparkplugEvent::DeviceBirth : SparkplugEvent::DeviceDeath;
    if (there) {
        e.values[kSpFirmware] = Text(sensorFirmware);
        e.values[kSpHardware] = Text(HardwareText().c_str());
    }
    sp.device = there;
    sp.identity = identity;
    // The next sensor's first sample tells its run and limits anew.
    if (!there) {
        sp.run.clear();
        sp.limitsTold = false;
    }
    publisher->link.Enqueue(PackEvent(e), true);
}

// One sample as DDATA: the measurement, and the run and limits when they changed.
void TellSample(SparkplugTold &sp, const Sample &s) {
    TellDevice(sp, static_cast<std::uint64_t>(s.wallMs));
    SparkplugEvent e;
    e.timeMs = static_cast<std::uint64_t>(s.wallMs);
    e.values[kSpValue] = Number(s.mm);
    e.values[kSpValueUm] = Number(s.exactUm);
    e.values[kSpVerdict] = Text(VerdictName(s.verdict));
    e.values[kSpSample] = Count(s.number);
    if (sp.run != CurrentRunId()) {
        sp.run = CurrentRunId();
        e.values[kSpRun] = Text(sp.run.c_str());
    }
    const SparkplugValue limits[3] = {s.hasLower ? Number(s.lowerUm / 1000) : Nothing(),
                                      s.hasUpper ? Number(s.upperUm / 1000) : Nothing(),
                                      Number(s.setpointUm / 1000.0)};
    for (int i = 0; i < 3; ++i)
        if (!sp.limitsTold || !SameValue(limits[i], sp.limits[i])) {
            sp.limits[i] = limits[i];
            e.values[kSpLower + i] = limits[i];
        }
    sp.limitsTold = true;
    publisher->link.Enqueue(PackEvent(e));
}

// The node's own metrics, as the state in JSON: the mode when it changes,
// the queue's figures at most every kFiguresSeconds. They go out in the
// link's slot: only the latest waits.
void TellNode(SparkplugTold &sp) {
    const std::uint64_t now = NowMs();
    TellDevice(sp, now);
    const char *mode = stationMode[0] ? stationMode : ActivityName(CurrentActivity());
    const BrokerFigures f = publisher->link.Figures();
    char figures[64];
    std::snprintf(figures, sizeof figures, "%lu %lu", f.queued, f.dropped);
    const double seconds = Seconds();
    const bool modeChanged = sp.mode != mode;
    if (!modeChanged &&
        (figures == publisher->lastFigures || seconds - publisher->figuresSent < kFiguresSeconds))
        return;
    SparkplugEvent e;
    e.kind = SparkplugEvent::NodeData;
    e.timeMs = now;
    if (modeChanged) e.values[kSpMode] = Text(mode);
    e.values[kSpQueued] = Count(f.queued);
    e.values[kSpDropped] = Count(f.dropped);
    sp.mode = mode;
    sp.node->Know(e);
    publisher->lastFigures = figures;
    publisher->figuresSent = seconds;
    publisher->link.SetRetained(kStateSlot, "", PackEvent(e));
}

// The next connection's bdSeq outlives the process, so that a restart
// never says a bdSeq that the host saw die already.
void KeepBdSeq(SparkplugTold &sp) {
    const int next = sp.node->NextBdSeq();
    if (next == sp.bdSeqStored) return;
    // Not kept, it is tried again at the next tick; the settings' fault
    // handler has said why.
    if (SetSettingNumber(sp.bdSeqKey.c_str(), next) == 0) sp.bdSeqStored = next;
}

// The listener hears every tick; newState says whether the connection's
// state or reason changed since the last one (the counts change all along).
void TellState() {
    const PublishFigures f = PublishingFigures();
    char key[sizeof f.reason + 4];
    std::snprintf(key, sizeof key, "%d %s", f.connected ? 1 : 0, f.reason);
    const bool newState = std::strcmp(key, publisher->lastText) != 0;
    if (newState) std::snprintf(publisher->lastText, sizeof publisher->lastText, "%s", key);
    char text[320];
    BrokerStateText(text, sizeof text);
    if (newState || f.queued != publisher->lastQueued || f.dropped != publisher->lastDropped)
        ShowLinkState();
    publisher->lastQueued = f.queued;
    publisher->lastDropped = f.dropped;
    if (stateListener) stateListener(text, newState);
}

void Tick(void *token) {
    if (!publisher || reinterpret_cast<std::intptr_t>(token) != tickToken) return;
    if (publisher->sp) {
        TellNode(*publisher->sp);
        KeepBdSeq(*publisher->sp);
    } else {
        RetainChanges();
    }
    TellState();
    PostDelayedCall(kTickSeconds, Tick, token);
}

// A replayed sample was measured long ago and published then: the plant
// hears only new measurements, and the state says a replay is shown.
void OnSample(const Sample &sample) {
    if (!publisher || CurrentActivity() == Activity::Replay) return;
    if (publisher->sp)
        TellSample(*publisher->sp, sample);
    else
        publisher->link.Enqueue(SamplePayload(sample, ++messagesQueued));
}

// A recording with an interval measures far more than it keeps: the plant
// hears what the file holds, under the number of its line there.
void OnRecorded(const Sample &sample, unsigned number) {
    if (!publisher) return;
    Sample kept = sample;
    kept.number = number;
    if (publisher->sp)
        TellSample(*publisher->sp, kept);
    else
        publisher->link.Enqueue(SamplePayload(kept, ++messagesQueued));
}

void OnActivity(Activity) {
    if (!publisher) return;
    if (publisher->sp)
        TellNode(*publisher->sp);
    else
        RetainChanges();
}

void ShortHostName(char *out, std::size_t size) {
    char host[256] = "";
    if (gethostname(host, sizeof host - 1) != 0 || host[0] == '\0')
        std::snprintf(host, sizeof host, "localhost");
    host[sizeof host - 1] = '\0';
    if (char *dot = std::strchr(host, '.')) *dot = '\0';
    std::snprintf(out, size, "%s", host);
}

// Topic levels may hold anything but the wildcards. They and the bytes no
// topic may hold become %XX, and so does % itself: two names that differ
// never meet in one root, and the name can be read back from it.
void EscapeLevels(const char *text, char *out, std::size_t size) {
    std::size_t n = 0;
    for (const char *c = text; *c && n + 4 <= size; ++c) {
        const unsigned char b = static_cast<unsigned char>(*c);
        if (b == '+' || b == '#' || b == '%' || b < 0x20 || b == 0x7F)
            n += static_cast<std::size_t>(std::snprintf(out + n, size - n, "%%%02X", b));
        else
            out[n++] = *c;
    }
    out[n] = '\0';
}

bool Refuse(char *why, std::size_t size, const char *text) {
    std::snprintf(why, size, "%s", text);
    return false;
}

// A CA file or an unchecked certificate means TLS, which mqtt:// never
// uses; and a password would cross mqtt:// in clear for anyone on the way.
const char *PlainConnectionFault(const BrokerAddress &a, const PublishOptions &o) {
    if (a.tls) return nullptr;
    if (o.caFile[0] || o.insecure)
        return "a CA file is for TLS (mqtts://); mqtt:// is not encrypted";
    if (o.password[0] && !o.allowPlainPassword)
        return "mqtt:// is not encrypted: the password would cross the network in clear "
               "(use mqtts://, or allow the password without TLS)";
    return nullptr;
}

bool ReadPort(const char *text, int &port) {
    char *end = nullptr;
    const long v = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || v < 1 || v > 65535) return false;
    port = static_cast<int>(v);
    return true;
}

// host, host:port, [v6], [v6]:port
bool ReadHostPort(std::string hostPort, BrokerAddress &out) {
    std::string port;
    if (!hostPort.empty() && hostPort[0] == '[') {
        const std::size_t close = hostPort.find(']');
        if (close == std::string::npos) return false;
        if (close + 1 < hostPort.size()) {
            if (hostPort[close + 1] != ':' || close + 2 == hostPort.size()) return false;
            port = hostPort.substr(close + 2);
        }
        hostPort = hostPort.substr(1, close - 1);
    } else if (const std::size_t colon = hostPort.find(':'); colon != std::string::npos) {
        // One colon, then the port: a second one is no host name (an IPv6
        // address goes in brackets), so it is said now, not on connecting.
        port = hostPort.substr(colon + 1);
        hostPort.resize(colon);
        if (port.empty()) return false;
    }
    if (hostPort.empty() || hostPort.size() >= sizeof out.host) return false;
    if (!port.empty() && !ReadPort(port.c_str(), out.port)) return false;
    std::snprintf(out.host, sizeof out.host, "%s", hostPort.c_str());
    return true;
}

// The link speaks for the node: its will is NDEATH, every connection and
// rebirth begins with the births, each queued event is encoded when it goes.
// The node lives on the network thread; only its next bdSeq is read here.
// A node whose bdSeq cannot be kept would say the same one at every start,
// which a host takes for a session it saw die: it does not start at all.
bool StartSparkplug(SparkplugTold &sp, BrokerLinkConfig &c, const char *host, int qos, char *why,
                    std::size_t size) {
    sp.bdSeqKey = std::string("sparkplug/") + sp.name.group + "/" + sp.name.node + "/bdSeq";
    const int stored = GetSettingNumber(sp.bdSeqKey.c_str(), 0);
    if (SetSettingNumber(sp.bdSeqKey.c_str(), stored & 255) != 0) {
        char file[260] = "", fault[200] = "";
        GetSettingsFile(file, sizeof file);
        GetSettingsFault(fault, sizeof fault);
        std::snprintf(why, size, "the Sparkplug bdSeq cannot be kept in %s: %s",
                      file[0] ? file : "the settings", fault);
        return false;
    }
    sp.node = std::make_shared<SparkplugNode>(sp.name, stored, host ? host : "", qos);
    sp.bdSeqStored = stored & 255;
    auto node = sp.node;
    c.will = [node] { return node->Will(); };
    c.death = [node] { return node->Death(); };
    c.onConnect = [node] { return node->Births(NowMs()); };
    c.encode = [node](int, const std::string &queued) { return node->Encode(queued); };
    c.onAcknowledged = [node](const std::string &queued) { node->Acknowledged(queued); };
    c.subscriptions = node->Subscriptions();
    c.onMessage = [node](const std::string &topic, const std::string &payload) {
        const auto now = std::chrono::steady_clock::now().time_since_epoch();
        return node->Heard(topic, payload, std::chrono::duration<double>(now).count());
    };
    c.holdAtConnect = node->WaitsForHost();
    return true;
}

}  // namespace

const char *TopicRootFault(const char *root) {
    if (!root || root[0] == '\0') return "the topic root is empty";
    if (std::strchr(root, '#') || std::strchr(root, '+'))
        return "the topic root holds a wildcard (+ or #); a publisher needs one exact topic";
    if (root[0] == '$') return "topics starting with $ belong to the broker";
    // plant//measurement is a topic of its own that no subscriber of plant/... expects.
    if (root[0] == '/' || root[std::strlen(root) - 1] == '/' || std::strstr(root, "//"))
        return "the topic root has an empty level (a / at its start or end, or //)";
    if (std::strlen(root) > 200) return "the topic root is longer than 200 characters";
    for (const char *c = root; *c; ++c)
        if (static_cast<unsigned char>(*c) < 0x20 || *c == 0x7F)
            return "the topic root holds a control character";
    // The broker takes topics as UTF-8 only; a Latin-1 byte (a device or
    // line named in another code page) would be refused on every message.
    if (mosquitto_validate_utf8(root, static_cast<int>(std::strlen(root))) != MOSQ_ERR_SUCCESS)
        return "the topic root is not valid UTF-8 text (or holds a character MQTT forbids)";
    return nullptr;
}

const char *BrokerTextFault(const char *text) {
    if (!text) return nullptr;
    for (const char *c = text; *c; ++c)
        if (static_cast<unsigned char>(*c) < 0x20 || *c == 0x7F)
            return "it holds a control character";
    if (std::strlen(text) > 65535) return "it is longer than MQTT allows";
    if (mosquitto_validate_utf8(text, static_cast<int>(std::strlen(text))) != MOSQ_ERR_SUCCESS)
        return "it is not valid UTF-8 text";
    return nullptr;
}

void DefaultTopicRoot(const char *device, char *root, std::size_t size) {
    char host[128], dev[200], hostLevel[sizeof host * 3], devLevels[sizeof dev * 3];
    ShortHostName(host, sizeof host);
    const char *d = device && device[0] ? device : "no-port";
    if (std::strncmp(d, "/dev/", 5) == 0) d += 5;
    while (*d == '/') ++d;
    // One / between levels and none at the end: an empty level is refused.
    std::size_t n = 0;
    for (; *d && n + 1 < sizeof dev; ++d)
        if (*d != '/' || (n > 0 && dev[n - 1] != '/')) dev[n++] = *d;
    while (n > 0 && dev[n - 1] == '/') --n;
    dev[n] = '\0';
    if (n == 0) std::snprintf(dev, sizeof dev, "no-port");
    EscapeLevels(host, hostLevel, sizeof hostLevel);
    EscapeLevels(dev, devLevels, sizeof devLevels);
    std::snprintf(root, size, "kvex/%s/%s", hostLevel, devLevels);
}

bool ParseBrokerUrl(const char *url, BrokerAddress &out, char *why, std::size_t size) {
    out = BrokerAddress{};
    std::string rest = url ? url : "";
    if (rest.rfind("mqtts://", 0) == 0) {
        out.tls = true;
        rest = rest.substr(8);
    } else if (rest.rfind("mqtt://", 0) == 0) {
        rest = rest.substr(7);
    } else {
        return Refuse(why, size, "the broker URL must start with mqtt:// or mqtts://");
    }
    out.port = out.tls ? 8883 : 1883;
    const std::size_t slash = rest.find('/');
    std::string authority = rest.substr(0, slash);
    if (slash != std::string::npos) {
        const std::string root = rest.substr(slash + 1);
        if (const char *fault = TopicRootFault(root.c_str())) return Refuse(why, size, fault);
        out.hasRoot = true;
        std::snprintf(out.root, sizeof out.root, "%s", root.c_str());
    }
    if (const std::size_t at = authority.rfind('@'); at != std::string::npos) {
        const std::string user = authority.substr(0, at);
        if (user.find(':') != std::string::npos)
            return Refuse(why, size,
                          "no password in the URL (others can read it): use KVEX_MQTT_PASSWORD "
                          "or --mqtt-password-file");
        if (user.empty() || user.size() >= sizeof out.user)
            return Refuse(why, size, "the user name in the URL is empty or too long");
        std::snprintf(out.user, sizeof out.user, "%s", user.c_str());
        authority = authority.substr(at + 1);
    }
    if (!ReadHostPort(authority, out))
        return Refuse(why, size, "the broker URL needs a host and a port from 1 to 65535");
    return true;
}

namespace {
bool refusedForKeptState = false;
}  // namespace

bool PublishingRefusedForKeptState() { return refusedForKeptState; }

bool StartPublishing(const PublishOptions &o, char *why, std::size_t size) {
    refusedForKeptState = false;
    if (publisher) return Refuse(why, size, "publishing is on already");
    auto p = std::make_unique<Publisher>();
    if (!ParseBrokerUrl(o.url, p->address, why, size)) return false;
    if (const char *fault = PlainConnectionFault(p->address, o)) return Refuse(why, size, fault);
    char root[256];
    if (o.root[0])
        std::snprintf(root, sizeof root, "%s", o.root);
    else if (p->address.hasRoot)
        std::snprintf(root, sizeof root, "%s", p->address.root);
    else
        DefaultTopicRoot(LinkDevice(), root, sizeof root);
    if (const char *fault = TopicRootFault(root)) return Refuse(why, size, fault);
    const char *user = o.user[0] ? o.user : p->address.user;
    for (const auto &[what, text] : {std::pair{"client id", o.clientId}, {"user name", user}})
        if (const char *fault = BrokerTextFault(text)) {
            std::snprintf(why, size, "the MQTT %s cannot be used: %s", what, fault);
            return false;
        }
    if (o.queueLimit < kLeastQueue || o.queueLimit > kMostQueue)
        return Refuse(why, size, "the queue holds 10 to 10000000 samples");
    if (o.password[0] && !KeepSecretsOutOfDumps())
        return Refuse(why, size, "the password cannot be kept out of core dumps");
    if (o.sparkplug[0]) {
        p->sp = std::make_unique<SparkplugTold>();
        if (!ParseSparkplugName(o.sparkplug, LinkDevice(), p->sp->name, why, size)) return false;
        if (o.sparkplugHost[0])
            if (const char *fault = SparkplugIdFault(o.sparkplugHost)) {
                std::snprintf(why, size, "the Sparkplug host id \"%s\" cannot be used: %s",
                              o.sparkplugHost, fault);
                return false;
            }
        std::snprintf(root, sizeof root, "spBv1.0/%s", p->sp->name.group);
    } else if (o.sparkplugHost[0]) {
        return Refuse(why, size, "a Sparkplug host needs a Sparkplug name (GROUP/EDGE_NODE)");
    }
    p->root = root;
    p->measurementTopic = p->root + "/measurement";
    p->stateTopic = p->root + "/state";
    p->infoTopic = p->root + "/info";

    BrokerLinkConfig c;
    c.host = p->address.host;
    c.port = p->address.port;
    c.tls = p->address.tls;
    c.insecure = o.insecure;
    c.caFile = o.caFile;
    c.user = o.user[0] ? o.user : p->address.user;
    c.password = o.password;
    char host[128];
    ShortHostName(host, sizeof host);
    // A new id for every start: a finishing link of the last start keeps its own.
    static int starts = 0;
    c.clientId = "kvex-" + std::string(host) + "-" + std::to_string(getpid()) + "-" +
                 std::to_string(++starts);
    if (o.clientId[0]) c.clientId = o.clientId;
    c.certFile = o.certFile;
    c.keyFile = o.keyFile;
    c.measurementTopic = p->measurementTopic;
    c.stateTopic = p->stateTopic;
    c.willPayload = OfflineState("died", false);
    {
        ConnectSay &say = *p->connectSay;
        say.stateTopic = p->stateTopic;
        say.infoTopic = p->infoTopic;
    }
    // On the network thread: it reads only what RetainChanges left under the lock.
    c.onConnect = [say = p->connectSay] {
        const std::lock_guard<std::mutex> hold(say->lock);
        if (say->connections++ == 0 || say->state.empty()) return std::vector<BrokerMessage>{};
        return std::vector<BrokerMessage>{{say->stateTopic, say->state, true},
                                          {say->infoTopic, say->info, true}};
    };
    c.queueLimit = o.queueLimit;
    if (p->sp && !StartSparkplug(*p->sp, c, o.sparkplugHost, o.sparkplugQos, why, size)) {
        refusedForKeptState = true;
        return false;
    }
    if (!p->link.Start(c)) return Refuse(why, size, "the network thread cannot start");
    publisher = std::move(p);
    // The station's name in every run id from the next run on, so that runs
    // of stations on one host never share an id; cut whole characters only.
    char station[400];
    if (publisher->sp)
        std::snprintf(station, sizeof station, "%s/%s/%s", publisher->sp->name.group,
                      publisher->sp->name.node, publisher->sp->name.device);
    else
        TextAsUtf8(root, station, sizeof station);
    SetRunStation(station);
    if (o.recordedOnly)
        recordedSample = OnRecorded;
    else
        SubscribeSamples(OnSample);
    SubscribeActivity(OnActivity);
    if (!publisher->sp) RetainChanges();
    Tick(reinterpret_cast<void *>(static_cast<std::intptr_t>(++tickToken)));
    return true;
}

unsigned long StopPublishing(double seconds, bool wait, unsigned long *dropped) {
    if (dropped) *dropped = 0;
    if (!publisher) return 0;
    UnsubscribeSamples(OnSample);
    if (recordedSample == OnRecorded) recordedSample = nullptr;
    UnsubscribeActivity(OnActivity);
    ++tickToken;
    BrokerLink::Left left;
    if (SparkplugTold *sp = publisher->sp.get()) {
        // The node's death goes out after every sample before it.
        SparkplugEvent death;
        death.kind = SparkplugEvent::NodeDeath;
        death.timeMs = NowMs();
        publisher->link.Enqueue(PackEvent(death), true);
        left = publisher->link.Finish(-1, "", "", seconds, wait);
        KeepBdSeq(*sp);
    } else {
        left = publisher->link.Finish(kStateSlot, publisher->stateTopic,
                                      OfflineState("stopped", true), seconds, wait);
    }
    if (dropped) *dropped = left.dropped;
    publisher.reset();
    ShowLinkState();
    if (stateListener) stateListener("", true);
    return left.unsent;
}

bool KeepSecretsOutOfDumps() { return prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) == 0; }

bool PublishingOn() { return publisher != nullptr; }

void SetStationState(const char *mode, const char *reason) {
    std::snprintf(stationMode, sizeof stationMode, "%s", mode ? mode : "");
    std::snprintf(stationReason, sizeof stationReason, "%s", reason ? reason : "");
}

const char *PublishTopicRoot() { return publisher ? publisher->root.c_str() : ""; }

PublishFigures PublishingFigures() {
    PublishFigures p;
    if (!publisher) return p;
    const BrokerFigures f = publisher->link.Figures();
    p.on = true;
    p.connected = f.state == BrokerState::Connected;
    p.stopped = f.state == BrokerState::Stopped;
    p.published = f.delivered;
    p.queued = f.queued;
    p.dropped = f.dropped;
    std::snprintf(p.reason, sizeof p.reason, "%s", f.reason);
    return p;
}

void BrokerIndicator(char *text, std::size_t size) {
    text[0] = '\0';
    if (!publisher) return;
    const PublishFigures f = PublishingFigures();
    char dropped[48] = "";
    if (f.dropped) std::snprintf(dropped, sizeof dropped, ", %lu dropped", f.dropped);
    if (f.connected) {
        std::snprintf(text, size, "MQTT connected%s", dropped);
        return;
    }
    // The reason's first words name it: refused, not authorised, ...
    const char *reason = f.reason[0] ? f.reason : "connecting";
    const int words = static_cast<int>(std::strcspn(reason, ":"));
    std::snprintf(text, size, "MQTT queued %lu%s: %.*s", f.queued, dropped, words, reason);
}

void BrokerStateText(char *text, std::size_t size) {
    text[0] = '\0';
    if (!publisher) return;
    const PublishFigures f = PublishingFigures();
    const BrokerAddress &a = publisher->address;
    char dropped[80] = "";
    if (f.dropped)
        std::snprintf(dropped, sizeof dropped, "; %lu oldest dropped (queue full)", f.dropped);
    if (f.connected && publisher->sp)
        std::snprintf(text, size, "broker %s:%d connected, Sparkplug B node %s/%s, device %s%s",
                      a.host, a.port, publisher->sp->name.group, publisher->sp->name.node,
                      publisher->sp->name.device, dropped);
    else if (f.connected)
        std::snprintf(text, size, "broker %s:%d connected, topics %s/...%s", a.host, a.port,
                      publisher->root.c_str(), dropped);
    else
        std::snprintf(text, size, "broker %s:%d %s; %lu queued%s", a.host, a.port,
                      f.reason[0] ? f.reason : "connecting", f.queued, dropped);
}

void SetBrokerStateListener(void (*listener)(const char *text, bool newState)) {
    stateListener = listener;
}
