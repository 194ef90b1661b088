// Out-of-tolerance events: a run of consecutive samples judged beyond the
// same limit is one event. A sample inside, unjudged, or beyond the other
// limit ends it. Found one sample at a time; the events themselves are kept
// up to a bound, the count of all of them always.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "session.h"

struct ToleranceEvent {
    uint64_t firstSample = 0, lastSample = 0;  // numbers of the samples, from 1
    int64_t firstMs = -1, lastMs = -1;         // their times; -1 when not known
    uint64_t count = 0;
    Verdict side = Verdict::Below;  // Below or Above
    double worstUm = 0;             // farthest beyond the limit
};

class ToleranceEvents {
  public:
    static constexpr std::size_t kKept = 100000;

    void Reset();
    // The next sample: its number, time (-1: not known), value and verdict.
    void Add(uint64_t number, int64_t wallMs, double um, Verdict verdict);
    // The events kept (the first kKept), the one still open included.
    const std::vector<ToleranceEvent> &Events() const { return events_; }
    uint64_t Total() const { return total_; }

  private:
    std::vector<ToleranceEvent> events_;
    uint64_t total_ = 0;
    bool open_ = false;
    Verdict side_ = Verdict::None;
    ToleranceEvent current_;  // the open event, while it is beyond kKept
};

// "first_time,last_time,first_sample,last_sample,count,side,worst_mm"
const char *ToleranceEventsCsvHeader();
// One event as a CSV row: times ISO 8601 with their offset (empty when not
// known), the side "below" or "above", the worst value in mm in its shortest
// exact text. Returns the length, or -1 when out is too small.
int ToleranceEventCsvRow(char *out, std::size_t size, const ToleranceEvent &e);
