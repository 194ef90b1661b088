// The normal and χ² distributions that capability's confidence intervals,
// expected shares and the normality check need, in double precision.
#pragma once

#include <cstddef>

// P(Z <= z) of the standard normal; and its upper tail P(Z > z), exact far
// out where 1 - NormalCdf would round to 0.
double NormalCdf(double z);
double NormalUpperTail(double z);
// The χ² quantile: x with P(X <= x) = p for ν degrees of freedom (ν > 0,
// 0 < p < 1); NaN outside.
double ChiSquareQuantile(double p, double nu);

// The Anderson–Darling A² of n values against the normal with their own
// mean and σ (n - 1), and its p-value for A²·(1 + 0.75/n + 2.25/n²) by
// D'Agostino and Stephens' piecewise formula. values is sorted in place.
struct NormalityCheck {
    double a2 = 0, p = 0;
};
NormalityCheck AndersonDarling(double *values, std::size_t n, double mean, double sigma);
