#include "recording_statistics.h"

#include <algorithm>
#include <cstring>

namespace {

// What a reading does with each value: the figures take it on the first
// pass, the run rules on the second.
using TakeValue = RecordingSampleFn;

bool ReadValues(const char *path, const Limits *given, TakeValue take, void *data,
                RecordingStatistics &out, const char **why) {
    out = RecordingStatistics{};
    RecordingSource source;
    if (!source.Open(path, why)) return false;
    out.header = source.Header();
    const RecordingHeader &h = out.header;
    const bool timed = h.format == RecordingFormat::Csv || h.startWallMs >= 0;
    Sample s;
    for (RecordingSource::Line got; (got = source.Next(s)) != RecordingSource::Line::End;) {
        if (got == RecordingSource::Line::Bad) continue;
        Limits limits = given ? *given : LimitsOf(s);
        if (given) s.verdict = Judge(s.exactUm, limits);
        if (!limits.hasSetpoint && h.hasSetpoint) {
            limits.hasSetpoint = true;
            limits.setpointUm = h.setpointUm;
        }
        if (!timed) s.wallMs = -1;
        take(data, s, limits);
        if (timed) {
            if (out.firstMs < 0) out.firstMs = s.wallMs;
            out.lastMs = s.wallMs;
        }
    }
    out.badLines = source.BadLines();
    out.firstBadLine = source.FirstBadLine();
    out.partialTail = source.PartialTail();
    if (source.ReadError()) {
        *why = source.ReadError();
        return false;
    }
    return true;
}

struct FirstReading {
    SampleStatistics &stats;
    RecordingStatistics &read;
    RecordingSampleFn each;
    void *eachData;
};

void AddToStatistics(void *data, const Sample &s, const Limits &limits) {
    FirstReading &r = *static_cast<FirstReading *>(data);
    const double um = s.exactUm;
    r.stats.Add(um, s.verdict, limits);
    if (r.each) r.each(r.eachData, s, limits);
    if (!r.read.keptAll) return;
    if (r.read.kept.size() < RecordingStatistics::kKeptValues) {
        r.read.kept.push_back(um);
        return;
    }
    r.read.keptAll = false;
    std::vector<double>().swap(r.read.kept);
}

struct RuleCount {
    RuleCheck check;
    uint64_t values = 0;
    uint64_t *counts;
};

void CountRules(RuleCount &c, double um) {
    const uint8_t marks = c.check.Next(um);
    for (int r = 0; r < kRules; ++r) c.counts[r] += (marks >> r) & 1;
    ++c.values;
}

void AddToRuleCount(void *data, const Sample &s, const Limits &) {
    CountRules(*static_cast<RuleCount *>(data), s.exactUm);
}

}  // namespace

bool ReadRecordingStatistics(const char *path, const Limits *limits, SampleStatistics &stats,
                             RecordingStatistics &out, const char **why, RecordingSampleFn each,
                             void *eachData) {
    stats.Reset();
    FirstReading first{stats, out, each, eachData};
    // ReadValues starts out afresh; the values are kept in first.read.
    if (!ReadValues(path, limits, AddToStatistics, &first, out, why)) return false;
    // Lines but no sample: no figures of a recording, whatever the figures say.
    if (stats.Count() == 0 && out.badLines > 0) {
        *why = "no line of it is a sample";
        return false;
    }
    return true;
}

bool CountRecordingRuleBreaks(const char *path, const SampleStatistics &stats,
                              const RecordingStatistics &read, uint8_t rules, Figures &f,
                              const char **why) {
    f.rules = rules;
    f.hasRuleBreaks = false;
    std::fill(std::begin(f.ruleBreaks), std::end(f.ruleBreaks), 0);
    const ControlLines lines = stats.LinesOf(0);
    if (!lines.defined) {
        f.ruleBreaksWhy = stats.Count() < 2 ? "fewer than two values"
                                            : "no spread from value to value (mean moving range 0)";
        return true;
    }
    RuleCount count{RuleCheck(lines.centreUm, lines.sigmaUm, rules), 0, f.ruleBreaks};
    const bool kept = read.keptAll && read.kept.size() == stats.Count();
    if (kept) {
        for (const double um : read.kept) CountRules(count, um);
    } else {
        RecordingStatistics again;
        if (!ReadValues(path, nullptr, AddToRuleCount, &count, again, why)) return false;
    }
    if (count.values != stats.Count()) {
        std::fill(std::begin(f.ruleBreaks), std::end(f.ruleBreaks), 0);
        *why = "the file changed while it was read";
        return false;
    }
    f.hasRuleBreaks = true;
    f.ruleBreaksWhy = "";
    return true;
}

namespace {

void AddToValues(void *data, const Sample &s, const Limits &) {
    static_cast<std::vector<double> *>(data)->push_back(s.exactUm);
}

}  // namespace

bool CheckRecordingNormality(const char *path, const SampleStatistics &stats,
                             const RecordingStatistics &read, Figures &f, const char **why) {
    // Sorting needs every value at once: 80 MB at this bound.
    constexpr uint64_t kMostValues = 10000000;
    std::vector<double> values;
    if (stats.Count() > kMostValues) {
        f.hasNormality = false;
        f.normalityWhy = "more than 10000000 values";
        return true;
    }
    if (read.keptAll && read.kept.size() == stats.Count()) {
        values = read.kept;
    } else {
        values.reserve(stats.Count());
        RecordingStatistics again;
        if (!ReadValues(path, nullptr, AddToValues, &values, again, why)) return false;
    }
    if (values.size() != stats.Count()) {
        *why = "the file changed while it was read";
        return false;
    }
    SetNormality(f, values);
    return true;
}
