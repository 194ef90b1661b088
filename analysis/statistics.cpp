#include "statistics.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "distributions.h"

Limits LimitsOf(const Sample &s) {
    Limits l;
    l.hasLower = s.hasLower, l.hasUpper = s.hasUpper;
    l.hasSetpoint = s.hasLower || s.hasUpper;
    l.lowerUm = s.hasLower ? s.lowerUm : 0;
    l.upperUm = s.hasUpper ? s.upperUm : 0;
    l.setpointUm = l.hasSetpoint ? s.setpointUm : 0;
    return l;
}

namespace {

constexpr double kD2 = 1.128;  // d2 of moving ranges of two

// One pair of indices (Cp and Cpk, or Pp and Ppk) from one σ.
struct Indices {
    bool has = false, hasK = false;
    double index = 0, k = 0;
    const char *why = "", *kWhy = "";
};

Indices IndicesOf(double mean, bool hasSigma, double sigma, const char *sigmaWhy,
                  const Limits &limits, const char *oneSided) {
    Indices r;
    const char *why = nullptr;
    if (!hasSigma)
        why = sigmaWhy;
    else if (!(sigma > 0))
        why = "no spread: every value is the same (\xCF\x83 = 0)";
    else if (!limits.hasLower && !limits.hasUpper)
        why = "no tolerance limits";
    if (why) {
        r.why = r.kWhy = why;
        return r;
    }
    if (limits.hasLower && limits.hasUpper) {
        r.has = true;
        r.index = (limits.upperUm - limits.lowerUm) / (6 * sigma);
    } else {
        r.why = oneSided;
    }
    double k = HUGE_VAL;
    if (limits.hasUpper) k = std::min(k, (limits.upperUm - mean) / (3 * sigma));
    if (limits.hasLower) k = std::min(k, (mean - limits.lowerUm) / (3 * sigma));
    r.hasK = true;
    r.k = k;
    return r;
}

}  // namespace

namespace {

// Cp or Pp times the roots of χ²(0.025; ν)/ν and χ²(0.975; ν)/ν, ν = n - 1.
void RatioInterval(double index, uint64_t n, double &low, double &high) {
    const double nu = static_cast<double>(n - 1);
    low = index * std::sqrt(ChiSquareQuantile(0.025, nu) / nu);
    high = index * std::sqrt(ChiSquareQuantile(0.975, nu) / nu);
}

// Cpk or Ppk ± 1.96 · √(1/(9n) + k²/(2(n - 1))) (Bissell).
void BissellInterval(double k, uint64_t n, double &low, double &high) {
    const double count = static_cast<double>(n);
    const double half = 1.96 * std::sqrt(1 / (9 * count) + k * k / (2 * (count - 1)));
    low = k - half, high = k + half;
}

void SetShares(Figures &f, const Limits &limits) {
    const double n = static_cast<double>(f.n);
    f.hasPpmBelow = f.n > 0 && limits.hasLower;
    f.hasPpmAbove = f.n > 0 && limits.hasUpper;
    f.ppmBelow = f.hasPpmBelow ? 1e6 * static_cast<double>(f.below) / n : 0;
    f.ppmAbove = f.hasPpmAbove ? 1e6 * static_cast<double>(f.above) / n : 0;
    const bool spread = f.hasSigma && f.sigmaUm > 0;
    f.hasExpectedBelow = spread && limits.hasLower;
    f.hasExpectedAbove = spread && limits.hasUpper;
    f.ppmExpectedBelow =
        f.hasExpectedBelow ? 1e6 * NormalCdf((limits.lowerUm - f.meanUm) / f.sigmaUm) : 0;
    f.ppmExpectedAbove =
        f.hasExpectedAbove ? 1e6 * NormalUpperTail((limits.upperUm - f.meanUm) / f.sigmaUm) : 0;
}

}  // namespace

void SetCapability(Figures &f, const Limits &limits) {
    const Indices c = IndicesOf(f.meanUm, f.hasSigmaWithin, f.sigmaWithinUm, f.sigmaWithinWhy,
                                limits, "one tolerance limit only: Cp needs both");
    f.hasCp = c.has, f.cp = c.index, f.cpWhy = c.why;
    f.hasCpk = c.hasK, f.cpk = c.k, f.cpkWhy = c.kWhy;
    const Indices p = IndicesOf(f.meanUm, f.hasSigma, f.sigmaUm, f.sigmaWhy, limits,
                                "one tolerance limit only: Pp needs both");
    f.hasPp = p.has, f.pp = p.index, f.ppWhy = p.why;
    f.hasPpk = p.hasK, f.ppk = p.k, f.ppkWhy = p.kWhy;
    // Every index needs two values (a σ), so ν = n - 1 is at least 1.
    if (f.hasCp) RatioInterval(f.cp, f.n, f.cpLow, f.cpHigh);
    if (f.hasPp) RatioInterval(f.pp, f.n, f.ppLow, f.ppHigh);
    if (f.hasCpk) BissellInterval(f.cpk, f.n, f.cpkLow, f.cpkHigh);
    if (f.hasPpk) BissellInterval(f.ppk, f.n, f.ppkLow, f.ppkHigh);
    SetShares(f, limits);
}

void SetNormality(Figures &f, std::vector<double> &valuesUm) {
    f.hasNormality = false;
    if (valuesUm.size() != f.n) {
        f.normalityWhy = "not every value is kept";
    } else if (f.n < 8) {
        f.normalityWhy = "fewer than 8 values";
    } else if (!(f.hasSigma && f.sigmaUm > 0)) {
        f.normalityWhy = "no spread: every value is the same";
    } else {
        const NormalityCheck c =
            AndersonDarling(valuesUm.data(), valuesUm.size(), f.meanUm, f.sigmaUm);
        f.hasNormality = true;
        f.adA2 = c.a2, f.adP = c.p;
        f.normalityWhy = "";
    }
}

void SetSigmaWithin(Figures &f, double movingRangeSum) {
    f.hasSigmaWithin = false;
    f.sigmaWithinUm = 0;
    if (f.n < 2) {
        f.sigmaWithinWhy = f.n == 0 ? "no values" : "fewer than two values";
        return;
    }
    const double meanMovingRange = movingRangeSum / static_cast<double>(f.n - 1);
    if (!(meanMovingRange > 0)) {
        f.sigmaWithinWhy =
            "no spread from value to value: mean moving range 0 (within \xCF\x83 = 0)";
        return;
    }
    f.hasSigmaWithin = true;
    f.sigmaWithinUm = meanMovingRange / kD2;
    f.sigmaWithinWhy = "";
}

// ---------------------------------------------------------------- run rules
const char *RuleName(int rule) {
    static const char *const kNames[kRules] = {
        "1 beyond 3\xCF\x83",
        "9 in a row on one side",
        "6 in a row rising or falling",
        "14 in a row alternating up and down",
        "2 of 3 beyond 2\xCF\x83 on one side",
        "4 of 5 beyond 1\xCF\x83 on one side",
        "15 in a row within 1\xCF\x83",
        "8 in a row beyond 1\xCF\x83, either side",
    };
    return rule >= 1 && rule <= kRules ? kNames[rule - 1] : "no such rule";
}

bool ParseRules(const char *text, uint8_t &rules, const char **why) {
    uint8_t chosen = 0;
    const char *p = text ? text : "";
    for (;;) {
        if (*p < '1' || *p > '0' + kRules || (p[1] != ',' && p[1] != '\0')) {
            *why = "the rules are numbers 1 to 8 separated by commas, e.g. 1,2,3,5";
            return false;
        }
        const uint8_t bit = static_cast<uint8_t>(1u << (*p - '1'));
        if (chosen & bit) {
            *why = "a rule is named twice";
            return false;
        }
        chosen |= bit;
        if (p[1] == '\0') break;
        p += 2;
    }
    rules = chosen;
    return true;
}

void RulesText(char *out, std::size_t size, uint8_t rules, const char *separator) {
    if (size == 0) return;
    std::snprintf(out, size, "%s", rules ? "" : "none");
    std::size_t used = std::strlen(out);
    for (int r = 1; r <= kRules; ++r) {
        if (!(rules & (1u << (r - 1)))) continue;
        const int n = std::snprintf(out + used, size - used, "%s%d", used ? separator : "", r);
        if (n < 0 || used + static_cast<std::size_t>(n) >= size) return;
        used += static_cast<std::size_t>(n);
    }
}

RuleCheck::RuleCheck(double centre, double sigma, uint8_t rules)
    : centre_(centre), sigma_(sigma > 0 ? sigma : 0), rules_(rules) {}

namespace {

// Points marked in a history of five: a table, since a processor without a
// population-count instruction makes std::popcount a library call.
int Ones(unsigned history) {
    static constexpr uint8_t kOnes[32] = {0, 1, 1, 2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4,
                                          1, 2, 2, 3, 2, 3, 3, 4, 2, 3, 3, 4, 3, 4, 4, 5};
    return kOnes[history & 0x1F];
}

}  // namespace

uint8_t RuleCheck::Next(double value) {
    const double d = value - centre_;
    const bool spread = sigma_ > 0;
    uint8_t m = 0;
    if (spread && std::fabs(d) > 3 * sigma_) m |= 1;
    const int side = d > 0 ? 1 : d < 0 ? -1 : 0;
    sideRun_ = side == 0 ? 0 : side == side_ ? sideRun_ + 1 : 1;
    side_ = side;
    if (sideRun_ >= 9) m |= 2;
    const int step = first_ ? 0 : value > previous_ ? 1 : value < previous_ ? -1 : 0;
    trendRun_ = step == 0 ? 1 : step == step_ ? trendRun_ + 1 : 2;
    alternatingRun_ = step == 0 ? 1 : step == -step_ ? alternatingRun_ + 1 : 2;
    step_ = step;
    previous_ = value;
    first_ = false;
    if (trendRun_ >= 6) m |= 4;
    if (alternatingRun_ >= 14) m |= 8;
    if (!(rules_ & 0xF0)) return m & rules_;  // the zone rules cost the most: only when chosen
    auto shift = [](uint8_t &history, bool now) {
        history = static_cast<uint8_t>(((history << 1) | (now ? 1 : 0)) & 0x1F);
        return now;
    };
    const bool up2 = shift(above2_, spread && d > 2 * sigma_);
    const bool down2 = shift(below2_, spread && d < -2 * sigma_);
    const bool up1 = shift(above1_, spread && d > sigma_);
    const bool down1 = shift(below1_, spread && d < -sigma_);
    if ((up2 && Ones(above2_ & 0x7) >= 2) || (down2 && Ones(below2_ & 0x7) >= 2)) m |= 16;
    if ((up1 && Ones(above1_) >= 4) || (down1 && Ones(below1_) >= 4)) m |= 32;
    withinRun_ = spread && std::fabs(d) < sigma_ ? withinRun_ + 1 : 0;
    if (withinRun_ >= 15) m |= 64;
    outsideRun_ = spread && std::fabs(d) > sigma_ ? outsideRun_ + 1 : 0;
    if (outsideRun_ >= 8) m |= 128;
    return m & rules_;
}

void MarkRuleBreaks(const double *values, int count, double centre, double sigma, uint8_t rules,
                    uint8_t *marks) {
    RuleCheck check(centre, sigma, rules);
    for (int i = 0; i < count; ++i) marks[i] = check.Next(values[i]);
}

// ---------------------------------------------------------------- histogram
// A value with a fraction counts in the bin of its whole µm below it.
void Histogram::Add(double value) {
    const auto um = static_cast<int64_t>(std::floor(value));
    if (widthUm == 0) {
        widthUm = 1;
        originUm = um - kBins / 2;
    }
    while (um < originUm || um >= originUm + widthUm * kBins) Widen(um);
    ++count[(um - originUm) / widthUm];
}

// Twice the width: toward the value, so that the bins already there keep
// their edges and merge in pairs.
void Histogram::Widen(int64_t um) {
    uint64_t merged[kBins] = {};
    const bool down = um < originUm;
    const int shift = down ? kBins : 0;
    for (int i = 0; i < kBins; ++i) merged[(i + shift) / 2] += count[i];
    if (down) originUm -= widthUm * kBins;
    widthUm *= 2;
    std::memcpy(count, merged, sizeof count);
}

uint64_t Histogram::Total() const {
    uint64_t total = 0;
    for (const uint64_t c : count) total += c;
    return total;
}

void Histogram::Occupied(int &first, int &last) const {
    first = 0;
    while (first < kBins && count[first] == 0) ++first;
    last = kBins;
    while (last > first && count[last - 1] == 0) --last;
    if (first == kBins) first = last = 0;
}

// Few values over many 1-µm bins would stand as needles, one or two counts
// each: √n bars (Excel's and Minitab's default) show the shape of n values.
Histogram::Bars Histogram::BarsToDraw() const {
    Bars bars;
    int first = 0, last = 0;
    Occupied(first, last);
    if (first == last) return bars;
    const int occupied = last - first;
    const double n = static_cast<double>(Total());
    const int wanted = std::min(occupied, std::max(5, static_cast<int>(std::ceil(std::sqrt(n)))));
    const int merge = (occupied + wanted - 1) / wanted;
    bars.widthUm = static_cast<double>(widthUm) * merge;
    bars.startUm = static_cast<double>(originUm) + static_cast<double>(first) * widthUm;
    for (int b = first; b < last; b += merge) {
        uint64_t sum = 0;
        for (int i = b; i < std::min(b + merge, last); ++i) sum += count[i];
        bars.counts.push_back(sum);
    }
    return bars;
}

// ---------------------------------------------------------------- control chart
ControlLines ControlLinesFrom(double meanUm, double meanMovingRangeUm) {
    ControlLines c;
    if (!(meanMovingRangeUm > 0)) return c;
    c.defined = true;
    c.centreUm = meanUm;
    c.sigmaUm = meanMovingRangeUm / kD2;
    c.lowerUm = meanUm - 3 * c.sigmaUm;
    c.upperUm = meanUm + 3 * c.sigmaUm;
    c.mrCentreUm = meanMovingRangeUm;
    c.mrUpperUm = 3.267 * meanMovingRangeUm;
    return c;
}

// ---------------------------------------------------------------- samples
SampleStatistics::SampleStatistics() : ring_(kMaxWindow) {}

void SampleStatistics::Reset() {
    moments_ = {};
    minUm_ = maxUm_ = shiftUm_ = 0;
    std::fill(std::begin(counts_), std::end(counts_), 0);
    movingRangeSum_ = 0;
    previous_ = 0;
    histogram_ = {};
    ringNext_ = 0;
    limits_ = {};
    limitsChanged_ = false;
}

void SampleStatistics::Add(double um, Verdict verdict, const Limits &limits) {
    if (moments_.n == 0) {
        minUm_ = maxUm_ = shiftUm_ = um;
        limits_ = limits;
    } else {
        minUm_ = std::min<double>(minUm_, um);
        maxUm_ = std::max<double>(maxUm_, um);
        movingRangeSum_ += std::fabs(um - previous_);
        if (!(limits == limits_)) limitsChanged_ = true;
        limits_ = limits;
    }
    moments_.Add(um - shiftUm_);
    ++counts_[static_cast<int>(verdict) & 3];
    previous_ = um;
    histogram_.Add(um);
    ring_[ringNext_] = Kept{um, verdict};
    ringNext_ = ringNext_ + 1 == ring_.size() ? 0 : ringNext_ + 1;
}

const SampleStatistics::Kept &SampleStatistics::KeptAt(std::size_t back) const {
    return ring_[(ringNext_ + ring_.size() - 1 - back) % ring_.size()];
}

namespace {

void SetCounts(Figures &f, const uint64_t *byVerdict) {
    f.inside = byVerdict[static_cast<int>(Verdict::Inside)];
    f.below = byVerdict[static_cast<int>(Verdict::Below)];
    f.above = byVerdict[static_cast<int>(Verdict::Above)];
    f.unjudged = byVerdict[static_cast<int>(Verdict::None)];
}

void SetSigma(Figures &f, double sumOfSquares) {
    f.hasSigma = f.n >= 2;
    f.sigmaUm = f.hasSigma ? std::sqrt(sumOfSquares / static_cast<double>(f.n - 1)) : 0;
    f.sigmaWhy = f.n == 0 ? "no values" : f.hasSigma ? "" : "fewer than two values";
}

}  // namespace

Figures SampleStatistics::FiguresOf(std::size_t window) const {
    const uint64_t kept = std::min<uint64_t>(moments_.n, ring_.size());
    if (window != 0 && std::min<uint64_t>(window, kept) < moments_.n)
        return WindowFigures(std::min<uint64_t>(window, kept));
    Figures f;
    f.n = moments_.n;
    f.meanUm = shiftUm_ + moments_.mean;
    f.minUm = minUm_;
    f.maxUm = maxUm_;
    SetSigma(f, moments_.m2);
    SetSigmaWithin(f, movingRangeSum_);
    SetCounts(f, counts_);
    SetCapability(f, limits_);
    return f;
}

// Two passes over the kept values, each taken from the newest one so that a
// large common offset costs no digits.
Figures SampleStatistics::WindowFigures(std::size_t n) const {
    Figures f;
    f.n = n;
    const double offset = KeptAt(0).um;
    double sum = 0;
    uint64_t byVerdict[4] = {};
    f.minUm = f.maxUm = offset;
    for (std::size_t i = 0; i < n; ++i) {
        const Kept &k = KeptAt(i);
        sum += k.um - offset;
        f.minUm = std::min<double>(f.minUm, k.um);
        f.maxUm = std::max<double>(f.maxUm, k.um);
        ++byVerdict[static_cast<int>(k.verdict) & 3];
    }
    const double meanOffset = sum / static_cast<double>(n);
    double squares = 0, ranges = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const double d = (KeptAt(i).um - offset) - meanOffset;
        squares += d * d;
        if (i > 0) ranges += std::fabs(KeptAt(i - 1).um - KeptAt(i).um);
    }
    f.meanUm = offset + meanOffset;
    SetSigma(f, squares);
    SetSigmaWithin(f, ranges);
    SetCounts(f, byVerdict);
    SetCapability(f, limits_);
    return f;
}

Histogram SampleStatistics::HistogramOf(std::size_t window) const {
    const std::size_t kept = std::min<uint64_t>(moments_.n, ring_.size());
    if (window == 0 || std::min(window, kept) >= moments_.n) return histogram_;
    Histogram h;
    for (std::size_t i = std::min(window, kept); i-- > 0;) h.Add(KeptAt(i).um);
    return h;
}

ControlLines SampleStatistics::LinesOf(std::size_t window) const {
    const std::size_t kept = std::min<uint64_t>(moments_.n, ring_.size());
    if (window == 0 || std::min(window, kept) >= moments_.n) {
        if (moments_.n < 2) return {};
        return ControlLinesFrom(shiftUm_ + moments_.mean,
                                movingRangeSum_ / static_cast<double>(moments_.n - 1));
    }
    const std::size_t n = std::min(window, kept);
    if (n < 2) return {};
    double ranges = 0;
    for (std::size_t i = 1; i < n; ++i) ranges += std::fabs(KeptAt(i - 1).um - KeptAt(i).um);
    return ControlLinesFrom(WindowFigures(n).meanUm, ranges / static_cast<double>(n - 1));
}

void SampleStatistics::CountRuleBreaks(std::size_t window, uint8_t rules, Figures &f) const {
    f.rules = rules;
    f.hasRuleBreaks = false;
    std::fill(std::begin(f.ruleBreaks), std::end(f.ruleBreaks), 0);
    const uint64_t kept = std::min<uint64_t>(moments_.n, ring_.size());
    const uint64_t covered = window ? std::min<uint64_t>(window, kept) : moments_.n;
    const ControlLines c = LinesOf(window);
    if (covered > kept)
        f.ruleBreaksWhy = "not every value of the run is kept (the newest 100000 are)";
    else if (!c.defined)
        f.ruleBreaksWhy = covered < 2 ? "fewer than two values"
                                      : "no spread from value to value (mean moving range 0)";
    if (covered > kept || !c.defined) return;
    RuleCheck check(c.centreUm, c.sigmaUm, rules);
    f.ruleBreakPoints = 0;
    for (std::size_t i = covered; i-- > 0;) {
        const uint8_t marks = check.Next(KeptAt(i).um);
        for (int r = 0; r < kRules; ++r) f.ruleBreaks[r] += (marks >> r) & 1;
        f.ruleBreakPoints += marks != 0;
    }
    f.hasRuleBreaks = true;
    f.ruleBreaksWhy = "";
}

void SampleStatistics::CheckNormality(std::size_t window, Figures &f) const {
    const uint64_t kept = std::min<uint64_t>(moments_.n, ring_.size());
    const uint64_t covered = window ? std::min<uint64_t>(window, kept) : moments_.n;
    std::vector<double> values;
    if (covered <= kept) {
        values.reserve(covered);
        for (std::size_t i = 0; i < covered; ++i) values.push_back(KeptAt(i).um);
    }
    SetNormality(f, values);
}

int SampleStatistics::Newest(double *values, int capacity) const {
    const std::size_t kept = std::min<uint64_t>(moments_.n, ring_.size());
    const int n = static_cast<int>(std::min<std::size_t>(kept, std::max(capacity, 0)));
    for (int i = 0; i < n; ++i) values[i] = KeptAt(static_cast<std::size_t>(n - 1 - i)).um;
    return n;
}

// ---------------------------------------------------------------- output
namespace {

// A figure that another program reads: the shortest text of the same double.
void Exact(char *out, std::size_t size, bool defined, double value) {
    if (!defined || ShortestNumber(out, size, value) < 0) std::snprintf(out, size, "null");
}

}  // namespace

namespace {

// {"1": 0, "2": 3} for the chosen rules, null when not told.
void RuleBreaksJson(char *out, std::size_t size, const Figures &f) {
    if (!f.hasRuleBreaks) {
        std::snprintf(out, size, "null");
        return;
    }
    std::size_t used = 0;
    out[used++] = '{';
    for (int r = 1; r <= kRules && used < size; ++r) {
        if (!(f.rules & (1u << (r - 1)))) continue;
        const int n = std::snprintf(out + used, size - used, "%s\"%d\": %llu", used > 1 ? ", " : "",
                                    r, static_cast<unsigned long long>(f.ruleBreaks[r - 1]));
        if (n < 0) break;
        used += static_cast<std::size_t>(n);
    }
    if (used + 1 < size) {
        out[used++] = '}';
        out[used] = '\0';
    } else {
        std::snprintf(out, size, "null");  // never cut a map in two
    }
}

}  // namespace

namespace {

bool Any(const Figures &f) { return f.n > 0; }
bool Always(const Figures &) { return true; }
double Mm(double um) { return um / 1000; }

// Appends to out; false, leaving out as it was, when it does not fit.
class Line {
  public:
    Line(char *out, std::size_t size) : out_(out), size_(size) {
        if (size_) out_[0] = '\0';
    }
    __attribute__((format(printf, 2, 3))) bool Put(const char *format, ...) {
        if (!ok_) return false;
        va_list args;
        va_start(args, format);
        const int n = std::vsnprintf(out_ + used_, size_ - used_, format, args);
        va_end(args);
        if (n < 0 || used_ + static_cast<std::size_t>(n) >= size_) {
            out_[used_] = '\0';
            return ok_ = false;
        }
        used_ += static_cast<std::size_t>(n);
        return true;
    }
    int Length() const { return ok_ ? static_cast<int>(used_) : -1; }

  private:
    char *out_;
    std::size_t size_, used_ = 0;
    bool ok_ = true;
};

// A field's value at the given decimals, or none where it is not told.
void FieldText(char *out, std::size_t size, const FigureField &field, const Figures &f,
               uint64_t badLines, int decimals, const char *none) {
    if (!field.told(f))
        std::snprintf(out, size, "%s", none);
    else if (field.csvDecimals == kCount)
        std::snprintf(out, size, "%llu", static_cast<unsigned long long>(field.value(f, badLines)));
    else
        std::snprintf(out, size, "%.*f", decimals, field.value(f, badLines));
}

// A pair's upper end as FieldText gives a value.
void UpperText(char *out, std::size_t size, const FigureField &field, const Figures &f,
               int decimals, const char *none) {
    if (!field.told(f))
        std::snprintf(out, size, "%s", none);
    else
        std::snprintf(out, size, "%.*f", decimals, field.upper(f));
}

// "1:0 2:3 3:1": each chosen rule's number and its count; "-" when not told.
void RuleBreaksText(char *out, std::size_t size, const Figures &f) {
    std::snprintf(out, size, "-");
    std::size_t used = 0;
    for (int r = 1; r <= kRules && f.hasRuleBreaks; ++r) {
        if (!(f.rules & (1u << (r - 1)))) continue;
        const int n = std::snprintf(out + used, size - used, "%s%d:%llu", used ? " " : "", r,
                                    static_cast<unsigned long long>(f.ruleBreaks[r - 1]));
        if (n < 0 || used + static_cast<std::size_t>(n) >= size) return;
        used += static_cast<std::size_t>(n);
    }
}

}  // namespace

// Counts pass through a double: exact below 2^53 values.
const FigureField kFigureFields[] = {
    {"n", "n", "n", 9, kCount, kCount, Always,
     [](const Figures &f, uint64_t) { return static_cast<double>(f.n); }},
    {"mean_mm", "mean [mm]", "mean [mm]", 10, 6, 4, Any,
     [](const Figures &f, uint64_t) { return Mm(f.meanUm); }},
    {"sigma_mm", "sigma [mm]", "sigma [mm]", 10, 6, 4, [](const Figures &f) { return f.hasSigma; },
     [](const Figures &f, uint64_t) { return Mm(f.sigmaUm); }},
    {"sigma_within_mm", "sigma within [mm]", "within [mm]", 11, 6, 4,
     [](const Figures &f) { return f.hasSigmaWithin; },
     [](const Figures &f, uint64_t) { return Mm(f.sigmaWithinUm); }},
    {"min_mm", "min [mm]", "min [mm]", 10, 4, 4, Any,
     [](const Figures &f, uint64_t) { return Mm(f.minUm); }},
    {"max_mm", "max [mm]", "max [mm]", 10, 4, 4, Any,
     [](const Figures &f, uint64_t) { return Mm(f.maxUm); }},
    {"cp", "Cp", "Cp", 7, 4, 3, [](const Figures &f) { return f.hasCp; },
     [](const Figures &f, uint64_t) { return f.cp; }},
    {"cpk", "Cpk", "Cpk", 7, 4, 3, [](const Figures &f) { return f.hasCpk; },
     [](const Figures &f, uint64_t) { return f.cpk; }},
    {"pp", "Pp", "Pp", 7, 4, 3, [](const Figures &f) { return f.hasPp; },
     [](const Figures &f, uint64_t) { return f.pp; }},
    {"ppk", "Ppk", "Ppk", 7, 4, 3, [](const Figures &f) { return f.hasPpk; },
     [](const Figures &f, uint64_t) { return f.ppk; }},
    {"below", "below", "below", 9, kCount, kCount, Always,
     [](const Figures &f, uint64_t) { return static_cast<double>(f.below); }},
    {"inside", "inside", "inside", 9, kCount, kCount, Always,
     [](const Figures &f, uint64_t) { return static_cast<double>(f.inside); }},
    {"above", "above", "above", 9, kCount, kCount, Always,
     [](const Figures &f, uint64_t) { return static_cast<double>(f.above); }},
    {"bad_lines", "bad lines", "bad", 6, kCount, kCount, Always,
     [](const Figures &, uint64_t badLines) { return static_cast<double>(badLines); }},
    {"cp_ci95", "Cp 95% low", "Cp 95%", 12, 4, 3, [](const Figures &f) { return f.hasCp; },
     [](const Figures &f, uint64_t) { return f.cpLow; }, [](const Figures &f) { return f.cpHigh; },
     "Cp 95% high"},
    {"cpk_ci95", "Cpk 95% low", "Cpk 95%", 12, 4, 3, [](const Figures &f) { return f.hasCpk; },
     [](const Figures &f, uint64_t) { return f.cpkLow; },
     [](const Figures &f) { return f.cpkHigh; }, "Cpk 95% high"},
    {"pp_ci95", "Pp 95% low", "Pp 95%", 12, 4, 3, [](const Figures &f) { return f.hasPp; },
     [](const Figures &f, uint64_t) { return f.ppLow; }, [](const Figures &f) { return f.ppHigh; },
     "Pp 95% high"},
    {"ppk_ci95", "Ppk 95% low", "Ppk 95%", 12, 4, 3, [](const Figures &f) { return f.hasPpk; },
     [](const Figures &f, uint64_t) { return f.ppkLow; },
     [](const Figures &f) { return f.ppkHigh; }, "Ppk 95% high"},
    {"ppm_observed_below", "ppm below", "ppm below", 9, 1, 0,
     [](const Figures &f) { return f.hasPpmBelow; },
     [](const Figures &f, uint64_t) { return f.ppmBelow; }},
    {"ppm_observed_above", "ppm above", "ppm above", 9, 1, 0,
     [](const Figures &f) { return f.hasPpmAbove; },
     [](const Figures &f, uint64_t) { return f.ppmAbove; }},
    {"ppm_expected_below", "ppm expected below", "exp below", 9, 3, 1,
     [](const Figures &f) { return f.hasExpectedBelow; },
     [](const Figures &f, uint64_t) { return f.ppmExpectedBelow; }},
    {"ppm_expected_above", "ppm expected above", "exp above", 9, 3, 1,
     [](const Figures &f) { return f.hasExpectedAbove; },
     [](const Figures &f, uint64_t) { return f.ppmExpectedAbove; }},
    {"ad_a2", "Anderson-Darling A2", "AD A2", 7, 4, 3,
     [](const Figures &f) { return f.hasNormality; },
     [](const Figures &f, uint64_t) { return f.adA2; }},
    {"ad_p", "Anderson-Darling p", "AD p", 7, 4, 3, [](const Figures &f) { return f.hasNormality; },
     [](const Figures &f, uint64_t) { return f.adP; }},
};
const std::size_t kFigureFieldCount = sizeof kFigureFields / sizeof kFigureFields[0];

int FiguresJson(char *out, std::size_t size, const char *file, const Figures &f,
                uint64_t badLines) {
    char name[1100];
    if (JsonString(name, sizeof name, file ? file : "") < 0) return -1;
    Line line(out, size);
    line.Put("{\"file\": %s", name);
    for (const FigureField &field : kFigureFields) {
        char text[40];
        if (field.csvDecimals == kCount)
            FieldText(text, sizeof text, field, f, badLines, 0, "null");
        else
            Exact(text, sizeof text, field.told(f), field.value(f, badLines));
        if (field.upper && field.told(f)) {
            char high[40];
            Exact(high, sizeof high, true, field.upper(f));
            line.Put(", \"%s\": [%s, %s]", field.key, text, high);
        } else {
            line.Put(", \"%s\": %s", field.key, text);
        }
    }
    char rules[256];
    RuleBreaksJson(rules, sizeof rules, f);
    line.Put(", \"rule_breaks\": %s}", rules);
    return line.Length();
}

const char *FiguresCsvHeader() {
    static const std::string header = [] {
        std::string h = "file";
        for (const FigureField &field : kFigureFields) {
            h += std::string(",") + field.header;
            if (field.upper) h += std::string(",") + field.headerHigh;
        }
        for (int r = 1; r <= kRules; ++r) h += ",rule " + std::to_string(r);
        return h;
    }();
    return header.c_str();
}

int FiguresCsvRow(char *out, std::size_t size, const char *file, const Figures &f,
                  uint64_t badLines) {
    char name[1100];
    // A name is quoted, its quotes doubled, as spreadsheets read them.
    std::size_t used = 0;
    name[used++] = '"';
    for (const char *p = file ? file : ""; *p && used < sizeof name - 3; ++p) {
        if (*p == '"') name[used++] = '"';
        name[used++] = *p;
    }
    name[used++] = '"';
    name[used] = '\0';
    Line line(out, size);
    line.Put("%s", name);
    for (const FigureField &field : kFigureFields) {
        char text[40];
        FieldText(text, sizeof text, field, f, badLines, field.csvDecimals, "");
        line.Put(",%s", text);
        if (!field.upper) continue;
        UpperText(text, sizeof text, field, f, field.csvDecimals, "");
        line.Put(",%s", text);
    }
    // A rule not chosen, or not told, leaves its column empty.
    for (int i = 0; i < kRules; ++i) {
        if (f.hasRuleBreaks && (f.rules & (1u << i)))
            line.Put(",%llu", static_cast<unsigned long long>(f.ruleBreaks[i]));
        else
            line.Put(",");
    }
    return line.Length();
}

int FiguresTableHead(char *out, std::size_t size) {
    Line line(out, size);
    for (const FigureField &field : kFigureFields)
        line.Put("%s%*s", &field == kFigureFields ? "" : " ", field.width, field.column);
    line.Put("  %-16s %s", "rule breaks", "file");
    return line.Length();
}

int FiguresTableRow(char *out, std::size_t size, const char *file, const Figures &f,
                    uint64_t badLines) {
    Line line(out, size);
    for (const FigureField &field : kFigureFields) {
        char text[40], high[40] = "";
        FieldText(text, sizeof text, field, f, badLines, field.tableDecimals, "-");
        if (field.upper && field.told(f)) {
            UpperText(high, sizeof high, field, f, field.tableDecimals, "");
            std::snprintf(text + std::strlen(text), sizeof text - std::strlen(text), "..%s", high);
        }
        line.Put("%s%*s", &field == kFigureFields ? "" : " ", field.width, text);
    }
    char rules[128];
    RuleBreaksText(rules, sizeof rules, f);
    line.Put("  %-16s %s", rules, file ? file : "");
    return line.Length();
}
