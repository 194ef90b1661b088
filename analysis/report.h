// The report to hand over: a one- or two-page A4 document made from the
// values themselves (never a picture of the window), with a title block, the
// source and sensor, the limits, the span, every figure, the histogram, the
// I-MR chart with its rule breaks, the rule breaks by rule and the
// out-of-tolerance events. The window and `kvex report` make the same one.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "gauge_study.h"
#include "recording_statistics.h"
#include "statistics.h"
#include "tolerance_events.h"

// What the engineer enters before writing.
struct ReportTitle {
    std::string part, characteristic, order, operatorName, comment;
};

// More to say after the report's own sections, e.g. a study over the same
// data: a heading, lines of text, and at most one chart of values in order
// with named horizontal lines (chartValues empty: no chart).
struct ReportSection {
    std::string heading;
    std::vector<std::string> lines;
    std::string chartTitle, chartUnit;
    std::vector<double> chartValues;
    std::vector<std::pair<double, std::string>> chartLines;
    double chartHeightPt = 110;
};

// The values of one report, gathered sample by sample.
class ReportData {
  public:
    // Past this many values the I-MR chart and its rule breaks cover the
    // first of them only.
    static constexpr std::size_t kChartValues = RecordingStatistics::kKeptValues;

    ReportData();
    // number: the sample's number (from 1) in what the report covers;
    // wallMs -1 when not known.
    void Add(uint64_t number, int64_t wallMs, double um, Verdict verdict, const Limits &limits);
    // Reads a recording into the report as `kvex stats` reads it, judged by
    // given when not null. False, with why set, when it cannot be read.
    bool AddRecording(const char *path, const Limits *given, const char **why);

    ReportTitle title;
    std::string source;  // the recording file(s) or the run
    std::string sensor;  // the sensor that made it, as the report names it
    std::string scope;   // what the figures cover, when not all of the source
    uint8_t rules = kDefaultRules;
    uint64_t badLines = 0;
    std::vector<ReportSection> extra;

    const SampleStatistics &Statistics() const { return *stats_; }
    const ToleranceEvents &Events() const { return events_; }
    // The figures with the rule breaks over the chart's values.
    Figures FiguresWithRules() const;
    const std::vector<double> &Values() const { return values_; }
    int64_t FirstMs() const { return firstMs_; }
    int64_t LastMs() const { return lastMs_; }

  private:
    std::unique_ptr<SampleStatistics> stats_;
    ToleranceEvents events_;
    std::vector<double> values_;
    bool valuesAll_ = true;
    int64_t firstMs_ = -1, lastMs_ = -1;
    uint64_t sampleNumber_ = 0;  // across the recordings read
};

// Writes the report to file: true, or false with why set.
bool WriteReport(const ReportData &data, const char *file, const char **why);

// A type-1 gauge study as the same form: title block, what was measured and
// by which sensor, the reference and tolerance, the result and the run chart.
struct GaugeStudyReport {
    ReportTitle title;
    std::string source, sensor;
    std::vector<double> valuesMm;
    GaugeStudy study;
};
bool WriteGaugeStudyReport(const GaugeStudyReport &report, const char *file, const char **why);
