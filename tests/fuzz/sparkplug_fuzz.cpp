// What an edge node hears from the broker, of any content and in any order:
// rebirth commands and its primary host's STATE. Nothing read crashes it,
// and what it asks of the link keeps the session's rules: a rebirth by
// command at most once a second; births by the host only while it was not
// online, a new session only while it was; and every birth and death it
// then makes reads back as a Sparkplug B payload.
//
// The input is a run of messages: a head byte (bit 0: a command, else a
// STATE; the rest: twentieths of a second since the message before), a
// length byte, and the payload.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "sparkplug.h"
#include "sparkplug_b.pb-c.h"

namespace {

void Check(bool ok) {
    if (!ok) __builtin_trap();
}

void CheckDecodes(const BrokerMessage &m) {
    Spb__Payload *p = spb__payload__unpack(nullptr, m.payload.size(),
                                           reinterpret_cast<const uint8_t *>(m.payload.data()));
    Check(p != nullptr);
    spb__payload__free_unpacked(p, nullptr);
}

const SparkplugName &Name() {
    static const SparkplugName name = [] {
        SparkplugName n;
        char why[200];
        Check(ParseSparkplugName("fuzz/edge/gauge", "", n, why, sizeof why));
        return n;
    }();
    return name;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    SparkplugNode node(Name(), 0, "scada", size > 0 ? data[0] & 1 : 0);
    const std::string ncmd = node.Topic("NCMD", false), state = "spBv1.0/STATE/scada";
    CheckDecodes(node.Will());
    bool hostOnline = false;
    double now = 100.0, lastRebirth = -1e9;
    for (size_t at = 0; at + 2 <= size;) {
        const uint8_t head = data[at];
        const size_t length = std::min<size_t>(data[at + 1], size - at - 2);
        const std::string payload(reinterpret_cast<const char *>(data + at + 2), length);
        at += 2 + length;
        now += (head >> 1) / 20.0;
        const bool command = (head & 1) != 0;
        const LinkCommand c = node.Heard(command ? ncmd : state, payload, now);
        if (command) {
            Check(c == LinkCommand::None || c == LinkCommand::Rebirth);
            if (c == LinkCommand::Rebirth) {
                Check(now - lastRebirth >= 1.0);
                lastRebirth = now;
            }
        } else if (c == LinkCommand::Rebirth) {
            Check(!hostOnline);
            hostOnline = true;
        } else if (c == LinkCommand::Reconnect) {
            Check(hostOnline);
            hostOnline = false;
            CheckDecodes(node.Death());
            CheckDecodes(node.Will());
        } else {
            Check(c == LinkCommand::None);
        }
        if (c == LinkCommand::Rebirth)
            for (const BrokerMessage &m : node.Births(static_cast<std::uint64_t>(now * 1000)))
                CheckDecodes(m);
    }
    return 0;
}
