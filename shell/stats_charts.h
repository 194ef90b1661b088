// The statistics window's charts, drawn from the figures it shows (a run's
// or a replayed file's).
#pragma once

#include <cstddef>
#include <cstdint>

#include "statistics.h"

// The points of the individuals chart in view that break a chosen rule: how
// many in all, and by rule how many and the number of the last.
struct InView {
    uint8_t rules = 0;
    int points = 0;
    int byRule[kRules] = {};
    uint64_t lastAt[kRules] = {};
};

// The histogram with the limits, the mean and the setpoint.
void DrawHistogram(const SampleStatistics &view, const Histogram &h, const Figures &f);
// The newest window of points with their centre lines and limits; the rule
// breaks among them.
InView DrawControlCharts(const SampleStatistics &view, const ControlLines &c, std::size_t window,
                         uint8_t rules);
