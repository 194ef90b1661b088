#include "gauge_study.h"

#include <cmath>
#include <cstdarg>
#include <cstdio>

#include "session.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

// Appends to a bounded buffer; the first overflow sticks.
struct Writer {
    char *out;
    std::size_t size, used = 0;
    bool full = false;
    void Add(const char *format, ...) __attribute__((format(printf, 2, 3))) {
        if (full) return;
        va_list args;
        va_start(args, format);
        const int n = std::vsnprintf(out + used, size - used, format, args);
        va_end(args);
        if (n < 0 || static_cast<std::size_t>(n) >= size - used) {
            full = true;
            return;
        }
        used += static_cast<std::size_t>(n);
    }
    int Length() const { return full ? -1 : static_cast<int>(used); }
};

// The shortest exact text of a figure, or null.
void JsonNumber(Writer &w, const char *key, bool has, double value) {
    char number[40];
    if (has && ShortestNumber(number, sizeof number, value) > 0)
        w.Add(",\"%s\":%s", key, number);
    else
        w.Add(",\"%s\":null", key);
}

}  // namespace

double StudentTwoSidedP(double t, uint64_t df) {
    if (df == 0 || !std::isfinite(t)) return std::isnan(t) ? NAN : 0.0;
    t = std::fabs(t);
    // A(t) = P(|T| <= t) in closed form for whole df, with theta = atan(t / sqrt(df)).
    const double theta = std::atan(t / std::sqrt(static_cast<double>(df)));
    const double s = std::sin(theta), c = std::cos(theta), c2 = c * c;
    double inside;
    if (df % 2 == 0) {
        double term = 1, sum = 1;
        for (uint64_t k = 1; k <= (df - 2) / 2; ++k) {
            term *= c2 * static_cast<double>(2 * k - 1) / static_cast<double>(2 * k);
            sum += term;
            if (term < 1e-18 * sum) break;
        }
        inside = s * sum;
    } else {
        double sum = 0;
        if (df > 1) {
            double term = 1;
            sum = 1;
            for (uint64_t k = 1; k <= (df - 3) / 2; ++k) {
                term *= c2 * static_cast<double>(2 * k) / static_cast<double>(2 * k + 1);
                sum += term;
                if (term < 1e-18 * sum) break;
            }
        }
        inside = 2 / kPi * (theta + s * c * sum);
    }
    const double p = 1 - inside;
    return p < 0 ? 0 : (p > 1 ? 1 : p);
}

double StudentCritical(double p, uint64_t df) {
    if (df == 0 || !(p > 0 && p < 1)) return NAN;
    // The tail shrinks as t grows: bisect until the bounds meet in doubles.
    double low = 0, high = 1;
    while (StudentTwoSidedP(high, df) > p && high < 1e12) high *= 2;
    for (int i = 0; i < 200 && high - low > 1e-15 * high; ++i) {
        const double mid = (low + high) / 2;
        (StudentTwoSidedP(mid, df) > p ? low : high) = mid;
    }
    return (low + high) / 2;
}

GaugeStudy StudyGauge(const double *valuesMm, std::size_t count, double referenceMm,
                      double toleranceMm) {
    GaugeStudy g;
    g.referenceMm = referenceMm;
    g.toleranceMm = toleranceMm;
    g.n = count;
    if (count == 0) {
        g.why = "no values";
        return g;
    }
    // Two passes about the first value: the values of one part lie close
    // together far from zero, where one-pass sums lose their digits.
    const double origin = valuesMm[0];
    double sum = 0;
    g.minMm = g.maxMm = valuesMm[0];
    for (std::size_t i = 0; i < count; ++i) {
        sum += valuesMm[i] - origin;
        g.minMm = std::fmin(g.minMm, valuesMm[i]);
        g.maxMm = std::fmax(g.maxMm, valuesMm[i]);
    }
    const double offset = sum / static_cast<double>(count);
    g.hasMean = true;
    g.meanMm = origin + offset;
    g.biasMm = (origin - referenceMm) + offset;
    if (count >= 2) {
        double squares = 0;
        for (std::size_t i = 0; i < count; ++i) {
            const double d = (valuesMm[i] - origin) - offset;
            squares += d * d;
        }
        g.hasS = true;
        g.sMm = std::sqrt(squares / static_cast<double>(count - 1));
    }
    if (count < kGaugeLeastValues) {
        g.why = "fewer than 10 values: Cg, Cgk and the t-test need at least 10";
        return g;
    }
    if (!(g.sMm > 0) || g.minMm == g.maxMm) {
        g.why = "no spread (s = 0): every value is the same, Cg and Cgk divide by s";
        return g;
    }
    if (!(toleranceMm > 0)) {
        g.why = "no tolerance width";
        return g;
    }
    g.hasIndices = true;
    g.cg = 0.2 * toleranceMm / (6 * g.sMm);
    g.cgk = (0.1 * toleranceMm - std::fabs(g.biasMm)) / (3 * g.sMm);
    g.capable = g.cg >= kGaugeCapableLimit && g.cgk >= kGaugeCapableLimit;
    g.t = std::fabs(g.biasMm) / (g.sMm / std::sqrt(static_cast<double>(count)));
    g.tCritical = StudentCritical(0.05, count - 1);
    g.pValue = StudentTwoSidedP(g.t, count - 1);
    g.biasSignificant = g.pValue < 0.05;
    return g;
}

int GaugeStudyJson(char *out, std::size_t size, const GaugeStudy &g) {
    if (size == 0) return -1;
    Writer w{out, size};
    w.Add("{\"n\":%llu", static_cast<unsigned long long>(g.n));
    JsonNumber(w, "mean_mm", g.hasMean, g.meanMm);
    JsonNumber(w, "bias_mm", g.hasMean, g.biasMm);
    JsonNumber(w, "s_mm", g.hasS, g.sMm);
    JsonNumber(w, "cg", g.hasIndices, g.cg);
    JsonNumber(w, "cgk", g.hasIndices, g.cgk);
    w.Add(",\"capable\":%s", !g.hasIndices ? "null" : g.capable ? "true" : "false");
    JsonNumber(w, "t", g.hasIndices, g.t);
    JsonNumber(w, "t_critical", g.hasIndices, g.tCritical);
    w.Add(",\"bias_significant\":%s", !g.hasIndices       ? "null"
                                      : g.biasSignificant ? "true"
                                                          : "false");
    JsonNumber(w, "reference_mm", true, g.referenceMm);
    JsonNumber(w, "tolerance_mm", true, g.toleranceMm);
    char why[240];
    if (g.why[0] && JsonString(why, sizeof why, g.why) > 0)
        w.Add(",\"undefined\":%s}", why);
    else
        w.Add(",\"undefined\":null}");
    return w.Length();
}

int GaugeStudyText(char *out, std::size_t size, const GaugeStudy &g) {
    if (size == 0) return -1;
    Writer w{out, size};
    char a[40], b[40], c[40];
    auto mm = [](char *text, std::size_t n, double v) {
        if (ShortestNumber(text, n, v) < 0) std::snprintf(text, n, "?");
        return text;
    };
    // A person reads the figures to the nanometre; the JSON keeps them exact.
    auto nm = [](char *text, std::size_t n, double v) {
        std::snprintf(text, n, "%.6f", std::fabs(v) < 5e-7 ? 0.0 : v);
        return text;
    };
    w.Add("reference     %s mm, tolerance %s mm (+-0.1 T: +-%s mm)\n",
          mm(a, sizeof a, g.referenceMm), mm(b, sizeof b, g.toleranceMm),
          nm(c, sizeof c, 0.1 * g.toleranceMm));
    w.Add("n             %llu\n", static_cast<unsigned long long>(g.n));
    if (g.hasMean) {
        w.Add("mean          %s mm\n", nm(a, sizeof a, g.meanMm));
        w.Add("bias          %s mm\n", nm(a, sizeof a, g.biasMm));
    }
    if (g.hasS) w.Add("s             %s mm\n", nm(a, sizeof a, g.sMm));
    if (!g.hasIndices) {
        w.Add("Cg, Cgk       not defined: %s\n", g.why);
        return w.Length();
    }
    w.Add("Cg            %.3f\n", g.cg);
    w.Add("Cgk           %.3f\n", g.cgk);
    w.Add("verdict       %s (capable needs Cg and Cgk both at least 1.33)\n",
          g.capable ? "capable" : "NOT capable");
    w.Add("bias t-test   t = %.3f, critical %.3f at %llu df: the bias is %s at 5 %%\n", g.t,
          g.tCritical, static_cast<unsigned long long>(g.n - 1),
          g.biasSignificant ? "significant" : "not significant");
    return w.Length();
}
