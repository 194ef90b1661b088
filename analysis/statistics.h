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

// The limits a sample carries: only those it holds, and its setpoint with them.
Limits LimitsOf(const Sample &s);

// The eight run rules of an individuals chart (Nelson's; the first four of
// Western Electric's among them). Rule n is bit n - 1 of a selection.
constexpr int kRules = 8;
constexpr uint8_t kDefaultRules = 0x07;  // rules 1, 2 and 3
// "2 of 3 beyond 2σ": what rule n (1 to 8) looks for, in a few words.
const char *RuleName(int rule);
// A selection from "1,2,3,5": numbers 1 to 8, each once, comma-separated,
// nothing else. False, with why set, otherwise.
bool ParseRules(const char *text, uint8_t &rules, const char **why);
// "1, 2, 3" (or "none"), the numbers apart by separator.
void RulesText(char *out, std::size_t size, uint8_t rules, const char *separator = ", ");

// The figures of a set of values. A figure that cannot be told is marked
// undefined, with the reason in a few words. σ is the overall sample
// standard deviation (n - 1); the within σ is the short-term one of the
// individuals chart, mean moving range / d2.
struct Figures {
    uint64_t n = 0;
    double meanUm = 0, sigmaUm = 0, sigmaWithinUm = 0, minUm = 0, maxUm = 0;
    uint64_t below = 0, inside = 0, above = 0, unjudged = 0;
    bool hasSigma = false, hasSigmaWithin = false;
    bool hasCp = false, hasCpk = false, hasPp = false, hasPpk = false;
    double cp = 0, cpk = 0, pp = 0, ppk = 0;
    const char *sigmaWhy = "", *sigmaWithinWhy = "";
    const char *cpWhy = "", *cpkWhy = "", *ppWhy = "", *ppkWhy = "";
    // The points that break each chosen rule, against the centre line (the
    // mean) and the within σ of the same values.
    uint8_t rules = 0;
    bool hasRuleBreaks = false;
    uint64_t ruleBreaks[kRules] = {};
    uint64_t ruleBreakPoints = 0;  // the points that break any of them
    const char *ruleBreaksWhy = "";
    // 95 % confidence intervals, told with their index: Cp and Pp from χ²
    // with ν = n - 1, Cpk and Ppk by Bissell's approximation.
    double cpLow = 0, cpHigh = 0, ppLow = 0, ppHigh = 0;
    double cpkLow = 0, cpkHigh = 0, ppkLow = 0, ppkHigh = 0;
    // Parts per million below and above the limits: counted by the verdicts,
    // and expected from the normal with the mean and the overall σ; each
    // told where its limit is.
    bool hasPpmBelow = false, hasPpmAbove = false;
    bool hasExpectedBelow = false, hasExpectedAbove = false;
    double ppmBelow = 0, ppmAbove = 0, ppmExpectedBelow = 0, ppmExpectedAbove = 0;
    // Anderson–Darling against the normal with the values' own mean and σ.
    bool hasNormality = false;
    double adA2 = 0, adP = 0;
    const char *normalityWhy = "not checked";
};
// Cp and Cpk from the within σ, Pp and Ppk from the overall σ, of figures
// whose n, mean and both σ are set, against limits: Cp and Pp need both
// limits, Cpk and Ppk take the side or sides there are; none is told with
// fewer than two values or without spread.
void SetCapability(Figures &f, const Limits &limits);
// The within σ from the sum of the n - 1 moving ranges of f.n values.
void SetSigmaWithin(Figures &f, double movingRangeSum);
// The normality check of f's values (all f.n of them, in µm; else untold
// with why): sorts them.
void SetNormality(Figures &f, std::vector<double> &valuesUm);

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
    // The bars a chart draws: the occupied bins merged in runs of equal
    // length, so that there are about √n of them (at least 5 where there are
    // that many bins); startUm and widthUm of the first bar, counts of each.
    struct Bars {
        double startUm = 0, widthUm = 0;
        std::vector<uint64_t> counts;
    };
    Bars BarsToDraw() const;

  private:
    void Widen(int64_t um);
};

// Tells, one value at a time, which of the chosen rules each point of an
// individuals chart breaks: the point that completes a pattern, and every
// later one while the pattern goes on. A point on the centre line ends a run
// on one side, an equal neighbour ends a trend and an alternation; a point
// counts toward "2 of 3" or "4 of 5" only when it lies beyond itself. Each
// rule looks back at most 5 points, so a file of any length is checked in
// fixed memory. Without spread (sigma 0) the rules that measure in σ break
// nowhere.
class RuleCheck {
  public:
    RuleCheck(double centre, double sigma, uint8_t rules);
    // The rules (bit n - 1 for rule n) the next value breaks.
    uint8_t Next(double value);

  private:
    double centre_, sigma_;
    uint8_t rules_;
    bool first_ = true;
    double previous_ = 0;
    int side_ = 0, sideRun_ = 0;   // rule 2
    int step_ = 0, trendRun_ = 1;  // rule 3: points in the trend
    int alternatingRun_ = 1;       // rule 4: points that alternate
    // Rules 5 and 6: bit i tells whether the point i back lay beyond 2σ (1σ)
    // above, or below, the centre.
    uint8_t above2_ = 0, below2_ = 0, above1_ = 0, below1_ = 0;
    int withinRun_ = 0, outsideRun_ = 0;  // rules 7, 8
};
// Marks each of count values with the rules it breaks (0: none).
void MarkRuleBreaks(const double *values, int count, double centre, double sigma, uint8_t rules,
                    uint8_t *marks);

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
    // The rule breaks over the values the figures of window cover, into f;
    // untold when not all of them are kept or the chart's lines are not.
    void CountRuleBreaks(std::size_t window, uint8_t rules, Figures &f) const;
    // The normality check over the values the figures of window cover, into
    // f; untold when not all of them are kept. Sorts a copy of them: asked
    // for where the figures are written, not on every refresh.
    void CheckNormality(std::size_t window, Figures &f) const;

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
// JSON with the keys file, n, mean_mm, sigma_mm, sigma_within_mm, min_mm,
// max_mm, cp, cpk, pp, ppk, below, inside, above, bad_lines, cp_ci95,
// cpk_ci95, pp_ci95, ppk_ci95 ([lower, upper]), ppm_observed_below,
// ppm_observed_above, ppm_expected_below, ppm_expected_above, ad_a2, ad_p,
// rule_breaks (the chosen rules' numbers to their counts; null where undefined), each
// number the shortest text of its double; or a CSV header row and one row of
// the same at display precision. Return the length, or -1 when out is too
// small.
int FiguresJson(char *out, std::size_t size, const char *file, const Figures &f, uint64_t badLines);
const char *FiguresCsvHeader();
int FiguresCsvRow(char *out, std::size_t size, const char *file, const Figures &f,
                  uint64_t badLines);
// The command line's table: a head and one row a file, columns apart by
// spaces, undefined figures as "-", the rule breaks ("1:0 2:3") and the name
// last.
int FiguresTableHead(char *out, std::size_t size);
int FiguresTableRow(char *out, std::size_t size, const char *file, const Figures &f,
                    uint64_t badLines);

// One figure as every output gives it. A new figure is one line of
// kFigureFields: the JSON, the CSV and the command line's table take it from
// there (the window shows its own controls).
struct FigureField {
    const char *key;     // JSON: "mean_mm"
    const char *header;  // CSV: "mean [mm]"
    const char *column;  // the command line's table: "mean [mm]"
    int width;           // of that column
    // Decimals of the CSV and of the table; a count (kCount) prints whole.
    int csvDecimals, tableDecimals;
    bool (*told)(const Figures &f);
    double (*value)(const Figures &f, uint64_t badLines);  // mm for lengths
    // A pair's upper end (an interval): JSON gives [value, upper], the CSV a
    // column more (headerHigh), the table "value..upper".
    double (*upper)(const Figures &f) = nullptr;
    const char *headerHigh = nullptr;
};
constexpr int kCount = -1;
extern const FigureField kFigureFields[];
extern const std::size_t kFigureFieldCount;
