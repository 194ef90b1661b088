#include "statistics.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

Limits LimitsOf(const Sample &s) {
    Limits l;
    l.hasLower = l.hasUpper = l.hasSetpoint = true;
    l.lowerUm = s.lowerUm;
    l.upperUm = s.upperUm;
    l.setpointUm = s.setpointUm;
    return l;
}

Verdict Judge(double um, const Limits &limits) {
    if (!limits.hasLower && !limits.hasUpper) return Verdict::None;
    if (limits.hasLower && um < limits.lowerUm) return Verdict::Below;
    if (limits.hasUpper && um > limits.upperUm) return Verdict::Above;
    return Verdict::Inside;
}

void SetCapability(Figures &f, const Limits &limits) {
    f.hasCp = f.hasCpk = false;
    const char *why = nullptr;
    if (!f.hasSigma)
        why = f.n == 0 ? "no values" : "fewer than two values";
    else if (!(f.sigmaUm > 0))
        why = "no spread: every value is the same (\xCF\x83 = 0)";
    else if (!limits.hasLower && !limits.hasUpper)
        why = "no tolerance limits";
    if (why) {
        f.cpWhy = f.cpkWhy = why;
        return;
    }
    const double sigma = f.sigmaUm;
    if (limits.hasLower && limits.hasUpper) {
        f.hasCp = true;
        f.cp = (limits.upperUm - limits.lowerUm) / (6 * sigma);
        f.cpWhy = "";
    } else {
        f.cpWhy = "one tolerance limit only: Cp needs both";
    }
    double cpk = HUGE_VAL;
    if (limits.hasUpper) cpk = std::min(cpk, (limits.upperUm - f.meanUm) / (3 * sigma));
    if (limits.hasLower) cpk = std::min(cpk, (f.meanUm - limits.lowerUm) / (3 * sigma));
    f.hasCpk = true;
    f.cpk = cpk;
    f.cpkWhy = "";
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

// ---------------------------------------------------------------- control chart
void MarkRuleBreaks(const double *values, int count, double centre, double sigma, uint8_t *marks) {
    int side = 0, sideRun = 0, trend = 0, trendRun = 1;
    for (int i = 0; i < count; ++i) {
        const double v = values[i];
        uint8_t m = 0;
        if (sigma > 0 && std::fabs(v - centre) > 3 * sigma) m |= RULE_BEYOND_3_SIGMA;
        const int s = v > centre ? 1 : v < centre ? -1 : 0;
        sideRun = s == 0 ? 0 : s == side ? sideRun + 1 : 1;
        side = s;
        if (sideRun >= 9) m |= RULE_NINE_ONE_SIDE;
        const int t = i == 0 ? 0 : v > values[i - 1] ? 1 : v < values[i - 1] ? -1 : 0;
        trendRun = t == 0 ? 1 : t == trend ? trendRun + 1 : 2;  // points in the trend
        trend = t;
        if (trendRun >= 6) m |= RULE_SIX_TRENDING;
        marks[i] = m;
    }
}

ControlLines ControlLinesFrom(double meanUm, double meanMovingRangeUm) {
    ControlLines c;
    if (!(meanMovingRangeUm > 0)) return c;
    c.defined = true;
    c.centreUm = meanUm;
    c.sigmaUm = meanMovingRangeUm / 1.128;
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
    double squares = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const double d = (KeptAt(i).um - offset) - meanOffset;
        squares += d * d;
    }
    f.meanUm = offset + meanOffset;
    SetSigma(f, squares);
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

int SampleStatistics::Newest(double *values, int capacity) const {
    const std::size_t kept = std::min<uint64_t>(moments_.n, ring_.size());
    const int n = static_cast<int>(std::min<std::size_t>(kept, std::max(capacity, 0)));
    for (int i = 0; i < n; ++i) values[i] = KeptAt(static_cast<std::size_t>(n - 1 - i)).um;
    return n;
}

// ---------------------------------------------------------------- output
namespace {

// A file name as a JSON string: quotes, backslashes and control characters
// escaped; bytes from 0x80 pass as they are (UTF-8 stays UTF-8).
int JsonString(char *out, std::size_t size, const char *text) {
    std::size_t used = 0;
    auto put = [&](const char *s, std::size_t n) {
        if (used + n >= size) return false;
        std::memcpy(out + used, s, n);
        used += n;
        return true;
    };
    if (!put("\"", 1)) return -1;
    for (const char *p = text; *p; ++p) {
        const unsigned char c = static_cast<unsigned char>(*p);
        char esc[8];
        bool ok;
        if (c == '"' || c == '\\') {
            esc[0] = '\\';
            esc[1] = static_cast<char>(c);
            ok = put(esc, 2);
        } else if (c < 0x20 || c == 0x7F) {
            ok = put(esc, static_cast<std::size_t>(std::snprintf(esc, sizeof esc, "\\u%04x", c)));
        } else {
            ok = put(p, 1);
        }
        if (!ok) return -1;
    }
    if (!put("\"", 1)) return -1;
    out[used] = '\0';
    return static_cast<int>(used);
}

void Number(char *out, std::size_t size, bool defined, const char *format, double value,
            const char *none) {
    if (defined)
        std::snprintf(out, size, format, value);
    else
        std::snprintf(out, size, "%s", none);
}

struct Texts {
    char mean[40], sigma[40], min[40], max[40], cp[40], cpk[40];
};

Texts TextsOf(const Figures &f, const char *none) {
    Texts t;
    const bool any = f.n > 0;
    Number(t.mean, sizeof t.mean, any, "%.6f", f.meanUm / 1000, none);
    Number(t.sigma, sizeof t.sigma, f.hasSigma, "%.6f", f.sigmaUm / 1000, none);
    Number(t.min, sizeof t.min, any, "%.3f", f.minUm / 1000, none);
    Number(t.max, sizeof t.max, any, "%.3f", f.maxUm / 1000, none);
    Number(t.cp, sizeof t.cp, f.hasCp, "%.4f", f.cp, none);
    Number(t.cpk, sizeof t.cpk, f.hasCpk, "%.4f", f.cpk, none);
    return t;
}

int Fits(int n, std::size_t size) { return n >= 0 && static_cast<std::size_t>(n) < size ? n : -1; }

// A figure that another program reads: the shortest text of the same double.
void Exact(char *out, std::size_t size, bool defined, double value) {
    if (!defined || ShortestNumber(out, size, value) < 0) std::snprintf(out, size, "null");
}

}  // namespace

int FiguresJson(char *out, std::size_t size, const char *file, const Figures &f,
                uint64_t badLines) {
    char name[1100];
    if (JsonString(name, sizeof name, file ? file : "") < 0) return -1;
    Texts t;
    const bool any = f.n > 0;
    Exact(t.mean, sizeof t.mean, any, f.meanUm / 1000);
    Exact(t.sigma, sizeof t.sigma, f.hasSigma, f.sigmaUm / 1000);
    Exact(t.min, sizeof t.min, any, f.minUm / 1000);
    Exact(t.max, sizeof t.max, any, f.maxUm / 1000);
    Exact(t.cp, sizeof t.cp, f.hasCp, f.cp);
    Exact(t.cpk, sizeof t.cpk, f.hasCpk, f.cpk);
    const int n = std::snprintf(
        out, size,
        "{\"file\": %s, \"n\": %llu, \"mean_mm\": %s, \"sigma_mm\": %s, \"min_mm\": %s, "
        "\"max_mm\": %s, \"cp\": %s, \"cpk\": %s, \"below\": %llu, \"inside\": %llu, "
        "\"above\": %llu, \"bad_lines\": %llu}",
        name, static_cast<unsigned long long>(f.n), t.mean, t.sigma, t.min, t.max, t.cp, t.cpk,
        static_cast<unsigned long long>(f.below), static_cast<unsigned long long>(f.inside),
        static_cast<unsigned long long>(f.above), static_cast<unsigned long long>(badLines));
    return Fits(n, size);
}

const char *FiguresCsvHeader() {
    return "file,n,mean [mm],sigma [mm],min [mm],max [mm],Cp,Cpk,below,inside,above,bad lines";
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
    const Texts t = TextsOf(f, "");
    const int n = std::snprintf(
        out, size, "%s,%llu,%s,%s,%s,%s,%s,%s,%llu,%llu,%llu,%llu", name,
        static_cast<unsigned long long>(f.n), t.mean, t.sigma, t.min, t.max, t.cp, t.cpk,
        static_cast<unsigned long long>(f.below), static_cast<unsigned long long>(f.inside),
        static_cast<unsigned long long>(f.above), static_cast<unsigned long long>(badLines));
    return Fits(n, size);
}
