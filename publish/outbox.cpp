#include "outbox.h"

#include <algorithm>

namespace {
constexpr double kFirstDelay = 1, kLongestDelay = 30;
}

Outbox::Outbox(std::size_t limit, std::size_t windowMost)
    : limit_(std::max<std::size_t>(1, limit)),
      windowMost_(std::max<std::size_t>(1, std::min(windowMost, limit / 2))) {}

void Outbox::Add(std::string payload, bool keep) {
    const std::uint64_t id = nextId_++;
    if (Held() >= limit_) {
        // What is on the wire stays there; with the window at most half the
        // bound this is only a bound of 1, whose one place is in flight.
        // Kept messages are few (a device's birth and death), so the bound
        // holds but for them.
        const auto oldest =
            std::find_if(waiting_.begin(), waiting_.end(), [](const Entry &e) { return !e.keep; });
        if (oldest != waiting_.end()) {
            ++dropped_;
            waiting_.erase(oldest);
        } else if (!keep) {
            ++dropped_;
            return;
        }
    }
    waiting_.push_back({id, -1, std::move(payload), keep});
}

void Outbox::Retain(int slot, std::string topic, std::string payload) {
    if (slot < 0 || slot >= kSlots) return;
    Slot &s = slots_[slot];
    s.topic = std::move(topic);
    s.payload = std::move(payload);
    s.dirty = true;
}

bool Outbox::Next(Message &out) {
    for (int i = 0; i < kSlots; ++i) {
        Slot &s = slots_[i];
        // A newer text may follow one not yet acknowledged: on one
        // connection the broker takes them in the order they went.
        if (!s.dirty || s.taken) continue;
        s.dirty = false;
        s.taken = true;
        out.slot = i;
        out.topic = s.topic;
        out.payload = s.payload;
        out.id = 0;
        return true;
    }
    if (window_.size() >= windowMost_ || waiting_.empty()) return false;
    window_.push_back(std::move(waiting_.front()));
    waiting_.pop_front();
    out.slot = -1;
    out.topic.clear();
    out.payload = window_.back().payload;
    out.id = window_.back().id;
    return true;
}

namespace {
// Early acknowledgements kept: a message's own comes before its Handed, and
// those of what a protocol sends before it (births) are never claimed.
constexpr std::size_t kEarlyKept = 64;
}  // namespace

bool Outbox::Handed(const Message &m, int mid, std::string *acked) {
    if (m.slot >= 0 && m.slot < kSlots) {
        Slot &s = slots_[m.slot];
        if (!s.taken) return false;
        s.taken = false;
        s.mid = mid;
    } else {
        // The newest in the window, almost always the last one.
        for (auto it = window_.rbegin(); it != window_.rend(); ++it)
            if (it->id == m.id) {
                it->mid = mid;
                break;
            }
    }
    const auto early = std::find(early_.begin(), early_.end(), mid);
    if (mid < 0 || early == early_.end()) return false;
    early_.erase(early);
    Acknowledged(mid, acked);
    return true;
}

void Outbox::Acknowledged(int mid, std::string *acked) {
    if (mid < 0) return;
    for (Slot &s : slots_)
        if (s.mid == mid) {
            s.mid = -1;
            return;
        }
    // Acknowledgements come in the order the messages went out: the front.
    for (auto it = window_.begin(); it != window_.end(); ++it)
        if (it->mid == mid) {
            if (acked) *acked = std::move(it->payload);
            window_.erase(it);
            ++delivered_;
            return;
        }
    early_.push_back(mid);
    if (early_.size() > kEarlyKept) early_.pop_front();
}

void Outbox::Superseded(const std::string &topic) {
    for (Slot &s : slots_)
        if (s.topic == topic && !s.taken && s.mid == -1) s.dirty = false;
}

void Outbox::TakeBack() {
    early_.clear();
    while (!window_.empty()) {
        window_.back().mid = -1;
        waiting_.push_front(std::move(window_.back()));
        window_.pop_back();
    }
    for (Slot &s : slots_) {
        if (s.taken || s.mid != -1) s.dirty = true;
        s.taken = false;
        s.mid = -1;
    }
}

bool Outbox::AllOut() const {
    if (!waiting_.empty() || !window_.empty()) return false;
    for (const Slot &s : slots_)
        if (s.dirty || s.taken || s.mid != -1) return false;
    return true;
}

double Retry::After(bool accepted, LinkFault fault) {
    if (gaveUp_ || fault == LinkFault::Permanent) {
        gaveUp_ = true;
        return -1;
    }
    if (accepted) delay_ = kFirstDelay;
    const double wait = delay_;
    if (!accepted) delay_ = std::min(delay_ * 2, kLongestDelay);
    return wait;
}
