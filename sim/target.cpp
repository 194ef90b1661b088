#include "target.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace kvexsim {

namespace {
constexpr double kBaseline = 0.15;      // of full scale
constexpr double kBaseNoise = 0.03;     // of full scale
constexpr double kPeakHeight = 0.78;    // of full scale, above the baseline
constexpr double kPositionNoise = 1.2;  // virtual pixels
}  // namespace

Target::Target(const SimConfig &config)
    : motion_(config.motion),
      restA_(config.restA),
      restB_(config.restB),
      swing_(config.swing),
      period_(config.motionPeriod > 0.0 ? config.motionPeriod : 8.0),
      rng_(config.seed) {}

double Target::noise(double sigma) {
    std::normal_distribution<double> dist(0.0, sigma);
    return dist(rng_);
}

EdgePositions Target::positions(double t, std::uint16_t n) {
    EdgePositions p{restA_ * n, restB_ * n};
    if (!motion_) return p;
    // Both edges belong to one target: they move together, B a little less
    // and a little later, as a tilted target would.
    const double phase = 2.0 * std::numbers::pi * t / period_;
    p.a += swing_ * n * std::sin(phase) + noise(kPositionNoise);
    p.b += 0.85 * swing_ * n * std::sin(phase - 0.4) + noise(kPositionNoise);
    return p;
}

std::uint16_t Target::peakWidth(std::uint16_t nominal) {
    if (!motion_) return nominal;
    const double w = std::round(nominal + noise(1.0));
    return static_cast<std::uint16_t>(std::clamp(w, 5.0, 15.0));
}

Signal Target::signal(double edge, std::uint16_t n, std::uint16_t fullScale,
                      std::uint16_t widthUnits) {
    Signal s{};
    const double fs = fullScale > 1 ? fullScale : 256;
    const double perSample = n > 0 ? static_cast<double>(n) / kSamples : 32.0;
    const double centre = edge / perSample;
    // A peak a few samples wide, so that it stands out on the video graph.
    const double sigma = std::max(1.0, widthUnits / 4.0);
    for (std::size_t i = 0; i < kSamples; ++i) {
        const double d = (static_cast<double>(i) - centre) / sigma;
        double v =
            kBaseline * fs + noise(kBaseNoise * fs) + kPeakHeight * fs * std::exp(-0.5 * d * d);
        v = std::clamp(std::round(v), 0.0, fs - 1.0);
        s[i] = static_cast<std::uint16_t>(v);
    }
    return s;
}

}  // namespace kvexsim
