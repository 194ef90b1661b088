#include "recording_statistics.h"

#include <algorithm>
#include <cstring>

namespace {

// What a reading does with each value: the figures take it on the first
// pass, the run rules on the second.
using TakeValue = void (*)(void *data, double um, Verdict verdict, const Limits &limits);

struct Reading {
    const Limits *given;
    TakeValue take;
    void *data;
    RecordingStatistics &out;
    unsigned long index = 0;  // sample lines so far

    void Take(const RecordingLines &lines, const char *line, std::size_t len, bool overlong) {
        Sample s;
        if (overlong || !ParseRecordingLine(out.header, line, len, index, s)) {
            if (out.badLines++ == 0) out.firstBadLine = lines.LineNumber();
            return;
        }
        ++index;
        Limits limits;
        if (given) {
            limits = *given;
            s.verdict = Judge(s.exactUm, limits);
        } else if (out.header.hasLimits) {
            limits = LimitsOf(s);
        } else {
            limits.hasSetpoint = out.header.hasSetpoint;
            limits.setpointUm = out.header.setpointUm;
        }
        if (given && !given->hasSetpoint && out.header.hasSetpoint) {
            limits.hasSetpoint = true;
            limits.setpointUm = out.header.setpointUm;
        }
        take(data, s.exactUm, s.verdict, limits);
        if (out.header.format == RecordingFormat::Csv || out.header.startWallMs >= 0) {
            if (out.firstMs < 0) out.firstMs = s.wallMs;
            out.lastMs = s.wallMs;
        }
    }
};

bool ReadValues(const char *path, const Limits *limits, TakeValue take, void *data,
                RecordingStatistics &out, const char **why) {
    out = RecordingStatistics{};
    RecordingLines lines;
    if (!lines.Open(path, why)) return false;
    const char *first = nullptr, *line = nullptr;
    std::size_t firstLen = 0, len = 0;
    // The header is read from copies: the reader's lines live only until the
    // next one is asked for.
    char head[2][4096];
    std::size_t headLen[2] = {0, 0};
    int got = 0;
    while (got < 2 && lines.Next(line, len)) {
        headLen[got] = len < sizeof head[got] ? len : sizeof head[got];
        std::memcpy(head[got], line, headLen[got]);
        ++got;
    }
    first = got > 0 ? head[0] : nullptr;
    firstLen = headLen[0];
    if (!first || !ReadRecordingHeader(first, firstLen, got > 1 ? head[1] : nullptr, headLen[1],
                                       out.header)) {
        *why = lines.ReadError() ? lines.ReadError()
               : got == 0        ? "empty, or without a whole line"
                                 : "no recording of the data recorder (neither its text nor its "
                                   "CSV format)";
        return false;
    }
    Reading r{limits, take, data, out};
    // The second line was read ahead: unless it was header, it is a sample.
    if (got > 1 && out.header.headerLines < 2)
        r.Take(lines, head[1], headLen[1], headLen[1] == sizeof head[1]);
    while (lines.Next(line, len)) r.Take(lines, line, len, lines.Overlong());
    if (lines.ReadError()) {
        *why = lines.ReadError();
        return false;
    }
    if (lines.Tail(line, len)) r.Take(lines, line, len, false);
    return true;
}

struct FirstReading {
    SampleStatistics &stats;
    RecordingStatistics &read;
};

void AddToStatistics(void *data, double um, Verdict verdict, const Limits &limits) {
    FirstReading &r = *static_cast<FirstReading *>(data);
    r.stats.Add(um, verdict, limits);
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

void AddToRuleCount(void *data, double um, Verdict, const Limits &) {
    RuleCount &c = *static_cast<RuleCount *>(data);
    const uint8_t marks = c.check.Next(um);
    for (int r = 0; r < kRules; ++r) c.counts[r] += (marks >> r) & 1;
    ++c.values;
}

}  // namespace

bool ReadRecordingStatistics(const char *path, const Limits *limits, SampleStatistics &stats,
                             RecordingStatistics &out, const char **why) {
    stats.Reset();
    FirstReading first{stats, out};
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
        for (const double um : read.kept) AddToRuleCount(&count, um, Verdict::None, Limits{});
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
