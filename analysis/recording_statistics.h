// The statistics of a recording, read from its file line by line: the same
// figures as the live window, with each line judged as it was recorded or
// against limits given by the caller.
#pragma once

#include <cstdint>
#include <vector>

#include "recording_reader.h"
#include "statistics.h"

struct RecordingStatistics {
    RecordingHeader header;
    uint64_t badLines = 0;
    unsigned long firstBadLine = 0;     // its number in the file, from 1; 0 if none
    std::size_t partialTail = 0;        // bytes of a last line still being written
    int64_t firstMs = -1, lastMs = -1;  // the span of the samples, when their times are known
    // The values in the file's order, kept for the run rules while they number
    // at most kKeptValues (32 MB); a larger file is read a second time instead.
    static constexpr std::size_t kKeptValues = 4000000;
    std::vector<double> kept;
    bool keptAll = true;
};

// Each sample as it is read, judged as the figures take it, with the limits
// it was judged by; its wallMs is -1 when the file tells no times.
using RecordingSampleFn = void (*)(void *data, const Sample &s, const Limits &limits);

// Reads the file at path into stats (reset first), and hands each sample to
// each when one is given. limits, when given, win
// over what the file says: each value is judged against them. False, with
// why set, when the file cannot be read, is no recording or has lines of
// which none is a sample; a line that cannot be read is counted and passed
// over.
bool ReadRecordingStatistics(const char *path, const Limits *limits, SampleStatistics &stats,
                             RecordingStatistics &out, const char **why,
                             RecordingSampleFn each = nullptr, void *eachData = nullptr);
// Counts into f the points that break each of the chosen rules, against the
// individuals chart of all the values (stats and read as the first reading
// left them): from the values kept, or from a second reading of the file.
// False, with why set, when the file cannot be read again or no longer holds
// the values it held.
bool CountRecordingRuleBreaks(const char *path, const SampleStatistics &stats,
                              const RecordingStatistics &read, uint8_t rules, Figures &f,
                              const char **why);
// The normality check of all the values into f, in the same way.
bool CheckRecordingNormality(const char *path, const SampleStatistics &stats,
                             const RecordingStatistics &read, Figures &f, const char **why);
