// The type-1 gauge study: repeated measurements of one master part against
// its reference value xm and the tolerance width T of the feature the gauge
// is to judge. Bias = mean - xm, s the sample standard deviation (n - 1),
// Cg = 0.2 T / 6 s, Cgk = (0.1 T - |bias|) / 3 s; the gauge is capable when
// both reach 1.33. The bias is tested against zero with Student's t at 5 %,
// two-sided. What cannot be told (too few values, no spread) is said in
// words, never shown as a number. Nothing here draws or reads a file.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr double kGaugeCapableLimit = 1.33;
// Fewer values than this make no study: Cg, Cgk, the verdict and the t-test
// are left undefined.
constexpr uint64_t kGaugeLeastValues = 10;
constexpr uint64_t kGaugeDefaultValues = 50;

struct GaugeStudy {
    double referenceMm = 0, toleranceMm = 0;
    uint64_t n = 0;
    bool hasMean = false, hasS = false;
    double meanMm = 0, biasMm = 0, sMm = 0, minMm = 0, maxMm = 0;
    // Cg, Cgk, the verdict and the t-test stand or fall together.
    bool hasIndices = false;
    double cg = 0, cgk = 0;
    bool capable = false;
    double t = 0, tCritical = 0, pValue = 1;
    bool biasSignificant = false;
    const char *why = "";  // why the indices are undefined, "" when they are not
};

// The study of count values in mm against reference and tolerance (T > 0).
GaugeStudy StudyGauge(const double *valuesMm, std::size_t count, double referenceMm,
                      double toleranceMm);

// P(|T| > t) of Student's t with df degrees of freedom (df >= 1), exact for
// whole df: the closed sums of the distribution's integral.
double StudentTwoSidedP(double t, uint64_t df);
// The t that two-sided probability p leaves beyond +-t, for df >= 1.
double StudentCritical(double p, uint64_t df);

// One JSON object, one line, numbers read back exactly, null for what is
// undefined: n, mean_mm, bias_mm, s_mm, cg, cgk, capable, t, t_critical,
// bias_significant, reference_mm, tolerance_mm, undefined (the reason or
// null). Returns the length, or -1 when out is too small.
int GaugeStudyJson(char *out, std::size_t size, const GaugeStudy &g);
// The study as a few lines of text for a person ("Cg   1.52"), each ended
// by '\n'. Returns the length, or -1 when out is too small.
int GaugeStudyText(char *out, std::size_t size, const GaugeStudy &g);
