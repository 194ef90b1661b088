#include "distributions.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <limits>

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// The regularized lower incomplete gamma P(a, x): its series below a + 1,
// else 1 less the continued fraction of the upper one (Lentz's method).
double LowerGammaRatio(double a, double x) {
    if (x <= 0) return 0;
    const double logFront = a * std::log(x) - x - std::lgamma(a);
    if (x < a + 1) {
        double term = 1 / a, sum = term;
        for (int k = 1; k < 1000; ++k) {
            term *= x / (a + k);
            sum += term;
            if (std::fabs(term) < std::fabs(sum) * 1e-16) break;
        }
        return sum * std::exp(logFront);
    }
    constexpr double kTiny = 1e-300;
    double b = x + 1 - a, c = 1 / kTiny, d = 1 / b, h = d;
    for (int k = 1; k < 1000; ++k) {
        const double an = -k * (k - a);
        b += 2;
        d = an * d + b;
        if (std::fabs(d) < kTiny) d = kTiny;
        c = b + an / c;
        if (std::fabs(c) < kTiny) c = kTiny;
        d = 1 / d;
        const double step = d * c;
        h *= step;
        if (std::fabs(step - 1) < 1e-16) break;
    }
    return 1 - std::exp(logFront) * h;
}

// The standard normal quantile (Acklam's rational approximation, then one
// Halley step on the exact CDF).
double NormalQuantile(double p) {
    static const double a[] = {-3.969683028665376e+01, 2.209460984245205e+02,
                               -2.759285104469687e+02, 1.383577518672690e+02,
                               -3.066479806614716e+01, 2.506628277459239e+00};
    static const double b[] = {-5.447609879822406e+01, 1.615858368580409e+02,
                               -1.556989798598866e+02, 6.680131188771972e+01,
                               -1.328068155288572e+01};
    static const double c[] = {-7.784894002430293e-03, -3.223964580411365e-01,
                               -2.400758277161838e+00, -2.549732539343734e+00,
                               4.374664141464968e+00,  2.938163982698783e+00};
    static const double d[] = {7.784695709041462e-03, 3.224671290700398e-01, 2.445134137142996e+00,
                               3.754408661907416e+00};
    double x;
    if (p < 0.02425) {
        const double q = std::sqrt(-2 * std::log(p));
        x = (((((c[0] * q + c[1]) * q + c[2]) * q + c[3]) * q + c[4]) * q + c[5]) /
            ((((d[0] * q + d[1]) * q + d[2]) * q + d[3]) * q + 1);
    } else if (p <= 1 - 0.02425) {
        const double q = p - 0.5, r = q * q;
        x = (((((a[0] * r + a[1]) * r + a[2]) * r + a[3]) * r + a[4]) * r + a[5]) * q /
            (((((b[0] * r + b[1]) * r + b[2]) * r + b[3]) * r + b[4]) * r + 1);
    } else {
        const double q = std::sqrt(-2 * std::log1p(-p));
        x = -(((((c[0] * q + c[1]) * q + c[2]) * q + c[3]) * q + c[4]) * q + c[5]) /
            ((((d[0] * q + d[1]) * q + d[2]) * q + d[3]) * q + 1);
    }
    const double e = NormalCdf(x) - p;
    const double u = e * std::sqrt(2 * M_PI) * std::exp(x * x / 2);
    return x - u / (1 + x * u / 2);
}

}  // namespace

double NormalCdf(double z) { return 0.5 * std::erfc(-z / std::sqrt(2.0)); }

double NormalUpperTail(double z) { return 0.5 * std::erfc(z / std::sqrt(2.0)); }

// Wilson and Hilferty's start, then Newton's steps on P(ν/2, x/2) = p, kept
// inside a bracket that each step narrows, so that no step leaves it.
double ChiSquareQuantile(double p, double nu) {
    if (!(nu > 0) || !(p > 0) || !(p < 1)) return kNaN;
    const double a = nu / 2;
    const double z = NormalQuantile(p), h = 2 / (9 * nu);
    double x = nu * std::pow(std::max(1 - h + z * std::sqrt(h), 1e-3), 3);
    double low = 0, high = HUGE_VAL;
    for (int i = 0; i < 200; ++i) {
        const double f = LowerGammaRatio(a, x / 2) - p;
        if (f < 0)
            low = x;
        else
            high = x;
        // The χ² density at x.
        const double density = std::exp((a - 1) * std::log(x / 2) - x / 2 - std::lgamma(a)) / 2;
        double next = density > 0 ? x - f / density : HUGE_VAL;
        if (!(next > low && next < high))
            next = std::isfinite(high) ? (low + high) / 2 : std::max(2 * x, x + 1);
        if (std::fabs(next - x) <= 1e-14 * std::max(1.0, x)) return next;
        x = next;
    }
    return x;
}

NormalityCheck AndersonDarling(double *values, std::size_t n, double mean, double sigma) {
    NormalityCheck out;
    if (n == 0 || !(sigma > 0)) return out;
    std::sort(values, values + n);
    // The logs of the tails from erfc itself: a value far out keeps its
    // weight instead of a log of 0.
    const auto logCdf = [&](double x) {
        return std::log(std::max(NormalCdf((x - mean) / sigma), DBL_TRUE_MIN));
    };
    const auto logUpper = [&](double x) {
        return std::log(std::max(NormalUpperTail((x - mean) / sigma), DBL_TRUE_MIN));
    };
    long double sum = 0;
    for (std::size_t i = 0; i < n; ++i)
        sum +=
            static_cast<long double>(2 * i + 1) * (logCdf(values[i]) + logUpper(values[n - 1 - i]));
    const double count = static_cast<double>(n);
    out.a2 = static_cast<double>(-static_cast<long double>(count) - sum / count);
    // The first piece's quadratic turns up past its least, 153.47: beyond it
    // the p-value stays at that least (about 1e-190).
    const double a = std::min(out.a2 * (1 + 0.75 / count + 2.25 / (count * count)), 153.47);
    if (a >= 0.6)
        out.p = std::exp(1.2937 - 5.709 * a + 0.0186 * a * a);
    else if (a >= 0.34)
        out.p = std::exp(0.9177 - 4.279 * a - 1.38 * a * a);
    else if (a >= 0.2)
        out.p = 1 - std::exp(-8.318 + 42.796 * a - 59.938 * a * a);
    else
        out.p = 1 - std::exp(-13.436 + 101.14 * a - 223.73 * a * a);
    out.p = std::clamp(out.p, 0.0, 1.0);
    return out;
}
