#include "tolerance_events.h"

#include <cstdio>

void ToleranceEvents::Reset() {
    events_.clear();
    total_ = 0;
    open_ = false;
    side_ = Verdict::None;
}

void ToleranceEvents::Add(uint64_t number, int64_t wallMs, double um, Verdict verdict) {
    const bool out = verdict == Verdict::Below || verdict == Verdict::Above;
    if (!out) {
        open_ = false;
        return;
    }
    if (!open_ || verdict != side_) {
        open_ = true;
        side_ = verdict;
        ++total_;
        current_ = ToleranceEvent{number, number, wallMs, wallMs, 0, verdict, um};
        if (events_.size() < kKept) events_.push_back(current_);
    }
    // Past the bound the open event is counted but not kept.
    ToleranceEvent &e = total_ <= kKept ? events_.back() : current_;
    e.lastSample = number;
    e.lastMs = wallMs;
    ++e.count;
    if (verdict == Verdict::Below ? um < e.worstUm : um > e.worstUm) e.worstUm = um;
}

const char *ToleranceEventsCsvHeader() {
    return "first_time,last_time,first_sample,last_sample,count,side,worst_mm";
}

int ToleranceEventCsvRow(char *out, std::size_t size, const ToleranceEvent &e) {
    char first[48] = "", last[48] = "", worst[40];
    if (e.firstMs >= 0) IsoTimestamp(first, sizeof first, e.firstMs);
    if (e.lastMs >= 0) IsoTimestamp(last, sizeof last, e.lastMs);
    if (ShortestNumber(worst, sizeof worst, e.worstUm / 1000) < 0) return -1;
    const int n = std::snprintf(out, size, "%s,%s,%llu,%llu,%llu,%s,%s", first, last,
                                static_cast<unsigned long long>(e.firstSample),
                                static_cast<unsigned long long>(e.lastSample),
                                static_cast<unsigned long long>(e.count),
                                e.side == Verdict::Below ? "below" : "above", worst);
    return n < 0 || static_cast<std::size_t>(n) >= size ? -1 : n;
}
