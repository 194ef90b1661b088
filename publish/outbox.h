// What the broker link holds for the broker, without the network: the bound
// queue of measurements, the window handed to the client library but not yet
// acknowledged, the retained slots, and when to try a connection again. The
// link keeps one under its lock and drives it from the network's events; on
// its own it is plain state, so every path can be walked without a broker.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

class Outbox {
  public:
    static constexpr int kSlots = 2;  // retained topics (state, info)

    // limit bounds everything held, the window included; the window is at
    // most windowMost and at most half the limit, so one always waits.
    Outbox(std::size_t limit, std::size_t windowMost);

    // One measurement to the end of the queue; when the bound is reached the
    // oldest that waits and is not kept makes room, counted as dropped.
    void Add(std::string payload, bool keep = false);
    // The latest text of a retained topic; an older one not yet out is replaced.
    void Retain(int slot, std::string topic, std::string payload);

    struct Message {
        int slot = -1;  // a retained slot, or -1 for a measurement
        std::string topic, payload;
        std::uint64_t id = 0;  // the measurement's place in the stream
    };
    // What goes out next on this connection: retained texts first, then
    // measurements while the window has room. False when nothing may go.
    bool Next(Message &out);
    // The client library took the message under its message id. A message
    // it acknowledged already, while taking it (QoS 0 is done once written),
    // is acknowledged now: true, with its payload in acked as below.
    bool Handed(const Message &m, int mid, std::string *acked = nullptr);
    // The broker acknowledged a message id; a measurement's payload is
    // handed out in acked (when given). An id not known yet is kept for
    // the Handed that follows.
    void Acknowledged(int mid, std::string *acked = nullptr);
    // A connection began with a newer text of the topic: what its slot still
    // holds from before that connection would go out after it and turn the
    // broker's retained text back in time, so it does not go.
    void Superseded(const std::string &topic);
    // The connection ended: what was taken but not acknowledged goes back to
    // the front, in order, and retained texts not acknowledged go again.
    void TakeBack();
    // Nothing waits, nothing is unacknowledged.
    bool AllOut() const;

    std::size_t Held() const { return waiting_.size() + window_.size(); }
    std::size_t InWindow() const { return window_.size(); }
    bool WindowRoomy() const { return 2 * window_.size() < windowMost_; }
    unsigned long Dropped() const { return dropped_; }
    unsigned long Delivered() const { return delivered_; }

  private:
    struct Entry {
        std::uint64_t id = 0;
        int mid = -1;  // -1: taken, not yet handed over
        std::string payload;
        bool keep = false;
    };
    struct Slot {
        std::string topic, payload;
        bool dirty = false;  // a text not yet taken
        bool taken = false;  // taken, not yet handed over
        int mid = -1;        // handed over, not yet acknowledged
    };
    std::size_t limit_, windowMost_;
    std::deque<Entry> waiting_, window_;
    std::deque<int> early_;  // acknowledged before they were known, newest last
    Slot slots_[kSlots];
    std::uint64_t nextId_ = 1;
    unsigned long dropped_ = 0, delivered_ = 0;
};

// Whether a failure can pass by itself (a lost connection, a refusal, an
// unknown host: the broker or the network may mend) or never will for this
// configuration (a topic or user name that is no UTF-8, a payload too big, a
// TLS set-up the library refuses).
enum class LinkFault { None, Transient, Permanent };

// When to try a connection again: 1 s, doubling to 30 s, 1 s again after a
// connection that the broker accepted; never again after a permanent fault.
class Retry {
  public:
    // Seconds to wait before the next attempt, or a negative value: none.
    double After(bool accepted, LinkFault fault);
    bool GaveUp() const { return gaveUp_; }

  private:
    double delay_ = 1;
    bool gaveUp_ = false;
};
