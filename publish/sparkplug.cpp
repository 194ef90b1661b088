#include "sparkplug.h"

#include <mosquitto.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <utility>

#include "sparkplug_b.pb-c.h"

namespace {

constexpr const char *kNamespace = "spBv1.0";
constexpr const char *kRebirth = "Node Control/Rebirth";
constexpr std::uint64_t kRebirthAlias = 1;

enum DataType : std::uint32_t {
    kInt64 = 4,
    kUInt64 = 8,
    kDouble = 10,
    kBoolean = 11,
    kString = 12
};

// The names a SCADA tag browser shows; the alias replaces the name in every
// message after a birth. Aliases are unique across the node and its device.
struct MetricDef {
    const char *name;
    std::uint64_t alias;
    DataType type;
    const char *unit;  // engUnit, or nullptr
};
const MetricDef kMetricTable[kSpMetrics] = {
    {"Measurement/Value", 10, kDouble, "mm"},
    {"Measurement/Value um", 11, kDouble, "\xC2\xB5m"},
    {"Measurement/Verdict", 12, kString, nullptr},
    {"Measurement/Sample", 13, kUInt64, nullptr},
    {"Measurement/Run", 14, kString, nullptr},
    {"Limits/Lower", 15, kDouble, "mm"},
    {"Limits/Upper", 16, kDouble, "mm"},
    {"Limits/Setpoint", 17, kDouble, "mm"},
    {"Sensor/Firmware", 18, kString, nullptr},
    {"Sensor/Hardware", 19, kString, nullptr},
    {"Station/Mode", 2, kString, nullptr},
    {"Station/Queued", 3, kUInt64, nullptr},
    {"Station/Dropped", 4, kUInt64, nullptr},
};

// ----------------------------------------------------------------- packing
void PutBytes(std::string &out, const void *data, std::size_t n) {
    out.append(static_cast<const char *>(data), n);
}

bool TakeBytes(const std::string &in, std::size_t &at, void *data, std::size_t n) {
    if (at + n > in.size()) return false;
    std::memcpy(data, in.data() + at, n);
    at += n;
    return true;
}

// ------------------------------------------------------------- the payload
// The metrics of one payload and what they point to, alive while it is packed.
struct Builder {
    Spb__Payload payload = SPB__PAYLOAD__INIT;
    std::vector<std::unique_ptr<Spb__Payload__Metric>> metrics;
    std::vector<Spb__Payload__Metric *> pointers;
    std::vector<std::unique_ptr<Spb__Payload__PropertySet>> sets;
    std::vector<std::unique_ptr<Spb__Payload__PropertyValue>> values;
    std::vector<Spb__Payload__PropertyValue *> valuePointers;
    std::vector<char *> keys;

    Spb__Payload__Metric &Add() {
        metrics.push_back(std::make_unique<Spb__Payload__Metric>());
        *metrics.back() = SPB__PAYLOAD__METRIC__INIT;
        return *metrics.back();
    }
    void Unit(Spb__Payload__Metric &m, const char *unit) {
        sets.push_back(std::make_unique<Spb__Payload__PropertySet>());
        values.push_back(std::make_unique<Spb__Payload__PropertyValue>());
        Spb__Payload__PropertyValue &v = *values.back();
        v = SPB__PAYLOAD__PROPERTY_VALUE__INIT;
        v.has_type = 1;
        v.type = kString;
        v.value_case = SPB__PAYLOAD__PROPERTY_VALUE__VALUE_STRING_VALUE;
        v.string_value = const_cast<char *>(unit);
        Spb__Payload__PropertySet &set = *sets.back();
        set = SPB__PAYLOAD__PROPERTY_SET__INIT;
        // Each set has one key and one value; the arrays live as long as the builder.
        keys.push_back(const_cast<char *>("engUnit"));
        valuePointers.push_back(&v);
        set.n_keys = 1;
        set.n_values = 1;
        m.properties = &set;
    }
    std::string Pack() {
        // Pointers into the vectors are taken only now, when no more grow.
        std::size_t k = 0;
        for (auto &set : sets) {
            set->keys = &keys[k];
            set->values = &valuePointers[k];
            ++k;
        }
        pointers.clear();
        for (auto &m : metrics) pointers.push_back(m.get());
        payload.n_metrics = pointers.size();
        payload.metrics = pointers.empty() ? nullptr : pointers.data();
        std::string out(spb__payload__get_packed_size(&payload), '\0');
        spb__payload__pack(&payload, reinterpret_cast<uint8_t *>(out.data()));
        return out;
    }
};

void SetValue(Spb__Payload__Metric &m, const MetricDef &def, const SparkplugValue &v) {
    if (v.isNull) {
        m.has_is_null = 1;
        m.is_null = 1;
        return;
    }
    switch (def.type) {
        case kDouble:
            m.value_case = SPB__PAYLOAD__METRIC__VALUE_DOUBLE_VALUE;
            m.double_value = v.number;
            break;
        case kInt64:  // two's complement in the long value
        case kUInt64:
            m.value_case = SPB__PAYLOAD__METRIC__VALUE_LONG_VALUE;
            m.long_value = v.count;
            break;
        case kBoolean:
            m.value_case = SPB__PAYLOAD__METRIC__VALUE_BOOLEAN_VALUE;
            m.boolean_value = v.count != 0;
            break;
        case kString:
            m.value_case = SPB__PAYLOAD__METRIC__VALUE_STRING_VALUE;
            m.string_value = const_cast<char *>(v.text.c_str());
            break;
    }
}

void AddBdSeq(Builder &b, int bdSeq, std::uint64_t timeMs) {
    Spb__Payload__Metric &m = b.Add();
    m.name = const_cast<char *>("bdSeq");
    m.has_datatype = 1;
    m.datatype = kInt64;
    if (timeMs) {
        m.has_timestamp = 1;
        m.timestamp = timeMs;
    }
    m.value_case = SPB__PAYLOAD__METRIC__VALUE_LONG_VALUE;
    m.long_value = static_cast<std::uint64_t>(bdSeq);
}

// What a primary host's STATE says: online or not, and when (ms, -1 when
// it does not say). Sparkplug 3's JSON, or the plain word of older hosts.
struct HostState {
    bool online = false;
    std::int64_t timeMs = -1;
};

// The value after "key": in a flat JSON object, or npos.
std::size_t ValueOf(const std::string &json, const char *key) {
    const std::size_t at = json.find(key);
    if (at == std::string::npos) return at;
    const std::size_t colon = json.find_first_not_of(" \t\r\n", at + std::strlen(key));
    if (colon == std::string::npos || json[colon] != ':') return std::string::npos;
    return json.find_first_not_of(" \t\r\n", colon + 1);
}

bool ReadHostState(const std::string &payload, HostState &out) {
    out = HostState{};
    if (payload == "ONLINE" || payload == "OFFLINE") {
        out.online = payload == "ONLINE";
        return true;
    }
    const std::size_t online = ValueOf(payload, "\"online\"");
    if (online == std::string::npos) return false;
    if (payload.compare(online, 4, "true") == 0)
        out.online = true;
    else if (payload.compare(online, 5, "false") != 0)
        return false;
    const std::size_t stamp = ValueOf(payload, "\"timestamp\"");
    if (stamp == std::string::npos) return true;
    // Digits only: a time that does not read as one is no time.
    std::int64_t ms = 0;
    std::size_t i = stamp;
    for (; i < payload.size() && payload[i] >= '0' && payload[i] <= '9'; ++i) {
        if (ms > (INT64_MAX - 9) / 10) return false;
        ms = ms * 10 + (payload[i] - '0');
    }
    if (i == stamp) return false;
    out.timeMs = ms;
    return true;
}

bool AsksRebirth(const std::string &payload) {
    Spb__Payload *p = spb__payload__unpack(nullptr, payload.size(),
                                           reinterpret_cast<const uint8_t *>(payload.data()));
    if (!p) return false;
    bool asks = false;
    for (std::size_t i = 0; i < p->n_metrics; ++i) {
        const Spb__Payload__Metric *m = p->metrics[i];
        const bool named = m->name ? std::strcmp(m->name, kRebirth) == 0
                                   : m->has_alias && m->alias == kRebirthAlias;
        if (named && m->value_case == SPB__PAYLOAD__METRIC__VALUE_BOOLEAN_VALUE && m->boolean_value)
            asks = true;
    }
    spb__payload__free_unpacked(p, nullptr);
    return asks;
}

}  // namespace

const char *SparkplugMetricName(int metric) {
    return metric >= 0 && metric < kSpMetrics ? kMetricTable[metric].name : "";
}

const char *SparkplugIdFault(const char *id) {
    if (!id || id[0] == '\0') return "an empty id";
    if (std::strpbrk(id, "/+#")) return "a / + or # in an id";
    if (std::strlen(id) > 100) return "an id longer than 100 characters";
    for (const char *c = id; *c; ++c)
        if (static_cast<unsigned char>(*c) < 0x20 || *c == 0x7F) return "a control character";
    if (mosquitto_validate_utf8(id, static_cast<int>(std::strlen(id))) != MOSQ_ERR_SUCCESS)
        return "an id that is not UTF-8 text";
    return nullptr;
}

void SparkplugDeviceId(const char *port, char *out, std::size_t size) {
    if (size == 0) return;
    const char *p = port && port[0] ? port : "sensor";
    if (std::strncmp(p, "/dev/", 5) == 0) p += 5;
    while (*p == '/') ++p;
    std::size_t n = 0;
    for (; *p && n + 1 < size && n < 100; ++p) {
        const unsigned char c = static_cast<unsigned char>(*p);
        const bool plain = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') ||
                           (c >= 'A' && c <= 'Z') || c == '-' || c == '_' || c == '.';
        out[n++] = plain ? static_cast<char>(c) : '_';
    }
    out[n] = '\0';
    if (n == 0) std::snprintf(out, size, "sensor");
}

bool ParseSparkplugName(const char *text, const char *port, SparkplugName &out, char *why,
                        std::size_t size) {
    out = SparkplugName{};
    const std::string t = text ? text : "";
    const std::size_t first = t.find('/');
    const std::size_t second = first == std::string::npos ? first : t.find('/', first + 1);
    if (first == std::string::npos ||
        (second != std::string::npos && t.find('/', second + 1) != std::string::npos)) {
        std::snprintf(why, size, "Sparkplug names GROUP/EDGE_NODE or GROUP/EDGE_NODE/DEVICE");
        return false;
    }
    const std::string group = t.substr(0, first);
    const std::string node =
        t.substr(first + 1, second == std::string::npos ? second : second - first - 1);
    std::string device;
    if (second != std::string::npos) {
        device = t.substr(second + 1);
    } else {
        char id[sizeof out.device];
        SparkplugDeviceId(port, id, sizeof id);
        device = id;
    }
    const char *what[3] = {"group", "edge node", "device"};
    const std::string *ids[3] = {&group, &node, &device};
    for (int i = 0; i < 3; ++i)
        if (const char *fault = SparkplugIdFault(ids[i]->c_str())) {
            std::snprintf(why, size, "the Sparkplug %s id \"%s\" cannot be used: %s", what[i],
                          ids[i]->c_str(), fault);
            return false;
        }
    std::snprintf(out.group, sizeof out.group, "%s", group.c_str());
    std::snprintf(out.node, sizeof out.node, "%s", node.c_str());
    std::snprintf(out.device, sizeof out.device, "%s", device.c_str());
    return true;
}

// --------------------------------------------------------------- events
std::string PackEvent(const SparkplugEvent &e) {
    std::string out;
    out.reserve(64);
    PutBytes(out, &e.kind, 1);
    PutBytes(out, &e.timeMs, sizeof e.timeMs);
    for (std::uint8_t i = 0; i < kSpMetrics; ++i) {
        const SparkplugValue &v = e.values[i];
        if (!v.set) continue;
        const std::uint8_t isNull = v.isNull ? 1 : 0;
        PutBytes(out, &i, 1);
        PutBytes(out, &isNull, 1);
        if (isNull) continue;
        switch (kMetricTable[i].type) {
            case kDouble:
                PutBytes(out, &v.number, sizeof v.number);
                break;
            case kString: {
                const std::uint16_t n =
                    static_cast<std::uint16_t>(std::min<std::size_t>(v.text.size(), 1000));
                PutBytes(out, &n, sizeof n);
                PutBytes(out, v.text.data(), n);
                break;
            }
            default:
                PutBytes(out, &v.count, sizeof v.count);
        }
    }
    return out;
}

bool UnpackEvent(const std::string &in, SparkplugEvent &e) {
    e = SparkplugEvent{};
    std::size_t at = 0;
    std::uint8_t kind = 0;
    if (!TakeBytes(in, at, &kind, 1) || kind > SparkplugEvent::NodeDeath) return false;
    e.kind = static_cast<SparkplugEvent::Kind>(kind);
    if (!TakeBytes(in, at, &e.timeMs, sizeof e.timeMs)) return false;
    while (at < in.size()) {
        std::uint8_t i = 0, isNull = 0;
        if (!TakeBytes(in, at, &i, 1) || i >= kSpMetrics || !TakeBytes(in, at, &isNull, 1))
            return false;
        SparkplugValue &v = e.values[i];
        v.set = true;
        v.isNull = isNull != 0;
        if (v.isNull) continue;
        bool ok = true;
        switch (kMetricTable[i].type) {
            case kDouble:
                ok = TakeBytes(in, at, &v.number, sizeof v.number);
                break;
            case kString: {
                std::uint16_t n = 0;
                ok = TakeBytes(in, at, &n, sizeof n) && at + n <= in.size();
                if (ok) v.text.assign(in, at, n);
                at += ok ? n : 0;
                break;
            }
            default:
                ok = TakeBytes(in, at, &v.count, sizeof v.count);
        }
        if (!ok) return false;
    }
    return true;
}

// ------------------------------------------------------------------ the node
SparkplugNode::SparkplugNode(const SparkplugName &name, int bdSeq, const std::string &hostId,
                             int qos)
    : name_(name), nextBdSeq_(bdSeq & 255), bdSeq_(bdSeq & 255), qos_(qos == 1 ? 1 : 0) {
    ncmdTopic_ = Topic("NCMD", false);
    if (!hostId.empty()) stateTopic_ = std::string(kNamespace) + "/STATE/" + hostId;
}

std::string SparkplugNode::Topic(const char *type, bool device) const {
    std::string t = std::string(kNamespace) + "/" + name_.group + "/" + type + "/" + name_.node;
    if (device) t += std::string("/") + name_.device;
    return t;
}

std::vector<std::string> SparkplugNode::Subscriptions() const {
    std::vector<std::string> out{ncmdTopic_};
    if (!stateTopic_.empty()) out.push_back(stateTopic_);
    return out;
}

std::uint64_t SparkplugNode::NextSeq() {
    const std::uint64_t seq = seq_;
    seq_ = (seq_ + 1) & 255;
    return seq;
}

void SparkplugNode::Apply(const SparkplugEvent &e, int from, int to, Told &told) {
    for (int i = from; i < to; ++i)
        if (e.values[i].set) {
            told.values[i] = e.values[i];
            told.times[i] = e.timeMs;
        }
    if (e.kind == SparkplugEvent::Data || e.kind == SparkplugEvent::DeviceBirth)
        told.deviceThere = true;
    // What a sensor that went measured is not the next one's: its birth
    // tells them as unknown until it measures.
    if (e.kind == SparkplugEvent::DeviceDeath) {
        told.deviceThere = false;
        for (int i = 0; i < kSpFirmware; ++i) told.values[i] = SparkplugValue{};
    }
}

void SparkplugNode::Acknowledged(const std::string &packed) {
    SparkplugEvent e;
    if (UnpackEvent(packed, e)) Apply(e, 0, kSpDeviceMetrics, acked_);
}

BrokerMessage SparkplugNode::Message(const char *type, bool device, std::string payload) const {
    return {Topic(type, device), std::move(payload), false, qos_};
}

// A birth is never older than the birth before it: a device's birth made
// of an event that waited in the queue goes after its node's.
std::uint64_t SparkplugNode::BirthTime(std::uint64_t timeMs) {
    lastBirthMs_ = std::max(lastBirthMs_, timeMs);
    return lastBirthMs_;
}

std::string SparkplugNode::Payload(std::uint64_t timeMs, const std::vector<int> &metrics,
                                   bool birth, bool withSeq, bool withBdSeq, bool rebirthFlag) {
    Builder b;
    if (timeMs) {
        b.payload.has_timestamp = 1;
        b.payload.timestamp = timeMs;
    }
    if (withBdSeq) AddBdSeq(b, bdSeq_, timeMs);
    if (rebirthFlag) {
        // Named only: a host asks for a rebirth by this name, and a birth
        // that gave it an alias would break the standard's rule for it.
        Spb__Payload__Metric &m = b.Add();
        m.name = const_cast<char *>(kRebirth);
        m.has_datatype = 1;
        m.datatype = kBoolean;
        m.has_timestamp = timeMs != 0;
        m.timestamp = timeMs;
        m.value_case = SPB__PAYLOAD__METRIC__VALUE_BOOLEAN_VALUE;
        m.boolean_value = 0;
    }
    for (const int i : metrics) {
        const MetricDef &def = kMetricTable[i];
        Spb__Payload__Metric &m = b.Add();
        m.has_alias = 1;
        m.alias = def.alias;
        const std::uint64_t when = sent_.times[i] ? sent_.times[i] : timeMs;
        m.has_timestamp = when != 0;
        m.timestamp = when;
        if (birth) {
            m.name = const_cast<char *>(def.name);
            m.has_datatype = 1;
            m.datatype = def.type;
            if (def.unit) b.Unit(m, def.unit);
        }
        // A metric never told is born without a value, as null.
        SparkplugValue unknown;
        unknown.isNull = true;
        SetValue(m, def, sent_.values[i].set ? sent_.values[i] : unknown);
    }
    if (withSeq) {
        b.payload.has_seq = 1;
        b.payload.seq = NextSeq();
    }
    return b.Pack();
}

// A connection the broker accepted used its will's bdSeq; one that failed
// registered no will, and the next attempt says the same bdSeq again, so
// that the host sees them count by one.
BrokerMessage SparkplugNode::Will() {
    if (bdSeqUsed_) bdSeq_ = (bdSeq_ + 1) & 255;
    bdSeqUsed_ = false;
    hostOnline_ = false;
    newConnection_ = true;
    return {Topic("NDEATH", false), Payload(0, {}, false, false, true, false), false, 1};
}

BrokerMessage SparkplugNode::Death() {
    return {Topic("NDEATH", false), Payload(0, {}, false, false, true, false), false, 1};
}

void SparkplugNode::Know(const SparkplugEvent &nodeData) {
    std::lock_guard<std::mutex> hold(knownLock_);
    for (int i = kSpDeviceMetrics; i < kSpMetrics; ++i)
        if (nodeData.values[i].set) known_.values[i] = nodeData.values[i];
    known_.timeMs = nodeData.timeMs;
    known_.kind = SparkplugEvent::NodeData;
}

std::vector<BrokerMessage> SparkplugNode::Births(std::uint64_t nowMs) {
    std::vector<BrokerMessage> out;
    {
        std::lock_guard<std::mutex> hold(knownLock_);
        Apply(known_, kSpDeviceMetrics, kSpMetrics, sent_);
    }
    // What the last connection sent but the broker did not acknowledge goes
    // again after these births: they tell the device as it was before it.
    // A rebirth on the same connection follows all that went already.
    if (newConnection_) {
        bdSeqUsed_ = true;
        nextBdSeq_.store((bdSeq_ + 1) & 255);
        for (int i = 0; i < kSpDeviceMetrics; ++i) {
            sent_.values[i] = acked_.values[i];
            sent_.times[i] = acked_.times[i];
        }
        sent_.deviceThere = acked_.deviceThere;
        newConnection_ = false;
    }
    seq_ = 0;
    std::vector<int> node, device;
    for (int i = kSpDeviceMetrics; i < kSpMetrics; ++i) node.push_back(i);
    for (int i = 0; i < kSpDeviceMetrics; ++i) device.push_back(i);
    const std::uint64_t at = BirthTime(nowMs);
    out.push_back(Message("NBIRTH", false, Payload(at, node, true, true, true, true)));
    deviceBorn_ = sent_.deviceThere;
    if (sent_.deviceThere)
        out.push_back(Message("DBIRTH", true, Payload(at, device, true, true, false, false)));
    return out;
}

std::vector<BrokerMessage> SparkplugNode::Encode(const std::string &packed) {
    SparkplugEvent e;
    if (!UnpackEvent(packed, e)) e.kind = SparkplugEvent::NodeData;  // said as the node's state
    std::vector<int> told, all;
    for (int i = 0; i < kSpDeviceMetrics; ++i) all.push_back(i);
    switch (e.kind) {
        case SparkplugEvent::Data:
            Apply(e, 0, kSpDeviceMetrics, sent_);
            for (int i = 0; i < kSpDeviceMetrics; ++i)
                if (e.values[i].set) told.push_back(i);
            // A device that measures is there: one whose birth this
            // connection has not told (a death in a window that came back
            // after a reconnect) is born again before its data.
            sent_.deviceThere = true;
            if (!deviceBorn_) {
                deviceBorn_ = true;
                return {Message("DBIRTH", true,
                                Payload(BirthTime(e.timeMs), all, true, true, false, false))};
            }
            return {Message("DDATA", true, Payload(e.timeMs, told, false, true, false, false))};
        case SparkplugEvent::DeviceBirth:
            Apply(e, 0, kSpDeviceMetrics, sent_);
            sent_.deviceThere = deviceBorn_ = true;
            return {Message("DBIRTH", true,
                            Payload(BirthTime(e.timeMs), all, true, true, false, false))};
        case SparkplugEvent::DeviceDeath:
            Apply(e, 0, kSpDeviceMetrics, sent_);
            sent_.deviceThere = deviceBorn_ = false;
            return {Message("DDEATH", true, Payload(e.timeMs, {}, false, true, false, false))};
        case SparkplugEvent::NodeDeath:
            return {{Topic("NDEATH", false), Payload(e.timeMs, {}, false, false, true, false),
                     false, 1}};
        case SparkplugEvent::NodeData:
            break;
    }
    Apply(e, kSpDeviceMetrics, kSpMetrics, sent_);
    for (int i = kSpDeviceMetrics; i < kSpMetrics; ++i)
        if (e.values[i].set) told.push_back(i);
    if (told.empty()) told.push_back(kSpMode);
    return {Message("NDATA", false, Payload(e.timeMs, told, false, true, false, false))};
}

LinkCommand SparkplugNode::Heard(const std::string &topic, const std::string &payload,
                                 double nowSeconds) {
    if (topic == ncmdTopic_) {
        if (!AsksRebirth(payload) || nowSeconds - lastRebirthAsked_ < 1.0) return LinkCommand::None;
        lastRebirthAsked_ = nowSeconds;
        return LinkCommand::Rebirth;
    }
    if (stateTopic_.empty() || topic != stateTopic_) return LinkCommand::None;
    return HostSaid(payload);
}

// A STATE older than the newest seen is a retained or delayed word that no
// longer holds. Online: births (again). Offline, not older than the last
// online: this session ends as the host knows it, with NDEATH, and the next
// one waits for the host.
LinkCommand SparkplugNode::HostSaid(const std::string &payload) {
    HostState said;
    if (!ReadHostState(payload, said)) return LinkCommand::None;
    if (said.timeMs >= 0) {
        if (said.timeMs < hostNewestMs_) return LinkCommand::None;
        hostNewestMs_ = said.timeMs;
    }
    if (said.online) {
        if (said.timeMs >= 0) hostOnlineMs_ = said.timeMs;
        const bool was = hostOnline_;
        hostOnline_ = true;
        return was ? LinkCommand::None : LinkCommand::Rebirth;
    }
    if (!hostOnline_) return LinkCommand::None;
    if (said.timeMs >= 0 && said.timeMs < hostOnlineMs_) return LinkCommand::None;
    hostOnline_ = false;
    return LinkCommand::Reconnect;
}
