// Statistics of measured values: mean, spread, extremes, capability, the
// tolerance counts, a histogram and an individuals / moving-range chart.
// Everything is computed in micrometres and held in bounded memory, however
// long a run lasts: running sums (Welford's update, stable with a large common
// offset), fixed histogram bins, and a ring of the newest values for the "last
// N" figures and the chart. Nothing here draws or reads a file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "session.h"

// The tolerance limits a set of values is judged against; a limit may be
// missing (a one-sided tolerance, or a recording that names none).
struct Limits {
    bool hasLower = false, hasUpper = false, hasSetpoint = false;
    double lowerUm = 0, upperUm = 0, setpointUm = 0;
    bool operator==(const Limits &) const = default;
};
// The limits a sample carries.
Limits LimitsOf(const Sample &s);
// The verdict the limits give a value, as the sensor's judgement does: a
// value on a limit is inside. None without any limit.
Verdict Judge(double um, const Limits &limits);

// The figures of a set of values. A figure that cannot be told is marked
// undefined, with the reason in a few words.
struct Figures {
    uint64_t n = 0;
    double meanUm = 0, sigmaUm = 0, minUm = 0, maxUm = 0;
    uint64_t below = 0, inside = 0, above = 0, unjudged = 0;
    bool hasSigma = false, hasCp = false, hasCpk = false;
    double cp = 0, cpk = 0;
    const char *sigmaWhy = "", *cpWhy = "", *cpkWhy = "";
};
// Cp and Cpk of figures whose n, mean and sigma are set, against limits:
// Cp needs both limits, Cpk takes the side or sides there are; neither is
// told with fewer than two values or without spread.
void SetCapability(Figures &f, const Limits &limits);

// Mean and sum of squared deviations, updated one value at a time.
struct RunningMoments {
    uint64_t n = 0;
    double mean = 0, m2 = 0;
    void Add(double x) {
        ++n;
        const double delta = x - mean;
        mean += delta / static_cast<double>(n);
        m2 += delta * (x - mean);
    }
};

// Counts in a fixed number of equal bins. The bins start 1 µm wide around
// the first value; a value beyond them doubles the width (neighbouring bins
// merge) until it fits, so the counts stay exact and the memory fixed.
struct Histogram {
    static constexpr int kBins = 64;
    int64_t originUm = 0, widthUm = 0;  // width 0: no value yet
    uint64_t count[kBins] = {};
    void Add(double um);
    uint64_t Total() const;
    // The occupied bins: first and one past the last; first == last when empty.
    void Occupied(int &first, int &last) const;

  private:
    void Widen(int64_t um);
};

// The control-chart rules a point of an individuals chart can break.
enum RuleBreak : uint8_t {
    RULE_BEYOND_3_SIGMA = 1,  // beyond a 3σ control limit
    RULE_NINE_ONE_SIDE = 2,   // the ninth (or later) in a row on one side of the centre
    RULE_SIX_TRENDING = 4,    // the sixth (or later) in a row rising, or falling
};
// Marks each of count values with the rules it breaks (0: none). A point on
// the centre line ends a run on one side, an equal neighbour ends a trend.
void MarkRuleBreaks(const double *values, int count, double centre, double sigma, uint8_t *marks);

// The I-MR chart's lines: centre and 3σ limits of the individuals, with σ
// from the mean moving range (d2 = 1.128), and the moving range's centre and
// upper limit (D4 = 3.267). Undefined with fewer than two values or a mean
// moving range of zero.
struct ControlLines {
    bool defined = false;
    double centreUm = 0, sigmaUm = 0, lowerUm = 0, upperUm = 0;
    double mrCentreUm = 0, mrUpperUm = 0;
};
ControlLines ControlLinesFrom(double meanUm, double meanMovingRangeUm);

// Everything the statistics window and `kvex stats` show, fed one sample at a
// time. The figures cover the whole run since Reset, or the newest N values.
class SampleStatistics {
  public:
    static constexpr std::size_t kMaxWindow = 100000;  // the largest N for "last N"
    static constexpr int kChartPoints = 300;           // points on the I-MR chart

    SampleStatistics();
    void Reset();
    // One value with its verdict and the limits in force when it was measured.
    void Add(double um, Verdict verdict, const Limits &limits);

    uint64_t Count() const { return moments_.n; }
    // window 0: the whole run; otherwise the newest min(window, kMaxWindow).
    Figures FiguresOf(std::size_t window) const;
    Histogram HistogramOf(std::size_t window) const;
    ControlLines LinesOf(std::size_t window) const;
    // The newest values, oldest first, at most capacity of them.
    int Newest(double *values, int capacity) const;

    // The limits of the newest value; whether any value had others.
    const Limits &CurrentLimits() const { return limits_; }
    bool LimitsChanged() const { return limitsChanged_; }

  private:
    struct Kept {
        double um;
        Verdict verdict;
    };
    const Kept &KeptAt(std::size_t back) const;  // 0: the newest
    Figures WindowFigures(std::size_t n) const;

    // The moments are taken from the first value: near zero, the mean's
    // update keeps the digits that a large offset would take.
    RunningMoments moments_;
    double shiftUm_ = 0, minUm_ = 0, maxUm_ = 0;
    uint64_t counts_[4] = {};  // by Verdict
    double movingRangeSum_ = 0;
    double previous_ = 0;
    Histogram histogram_;
    std::vector<Kept> ring_;
    std::size_t ringNext_ = 0;
    Limits limits_;
    bool limitsChanged_ = false;
};

// The figures as the window and the command line give them out, in mm:
// JSON with the keys file, n, mean_mm, sigma_mm, min_mm, max_mm, cp, cpk,
// below, inside, above, bad_lines (null where undefined); or a CSV header
// row and one row of the same. Return the length, or -1 when out is too small.
int FiguresJson(char *out, std::size_t size, const char *file, const Figures &f, uint64_t badLines);
const char *FiguresCsvHeader();
int FiguresCsvRow(char *out, std::size_t size, const char *file, const Figures &f,
                  uint64_t badLines);
