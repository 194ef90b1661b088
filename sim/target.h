// The target in front of the sensor: two edge positions along the CCD line
// that swing slowly with a little noise, and the CCD signal they produce.
#pragma once

#include <array>
#include <cstdint>
#include <random>

#include "sim_config.h"

namespace kvexsim {

// Edge positions in virtual pixels (0 .. N); they may leave the line.
struct EdgePositions {
    double a = 0.0;
    double b = 0.0;
};

using Signal = std::array<std::uint16_t, kSamples>;

class Target {
  public:
    explicit Target(const SimConfig &config);

    // Positions at t seconds after power-on on a line of n virtual pixels.
    EdgePositions positions(double t, std::uint16_t n);
    // Peak width in virtual pixels around its nominal value.
    std::uint16_t peakWidth(std::uint16_t nominal);
    // The 128 samples of one channel: a noisy baseline at about 15 % of
    // full scale and a bell-shaped peak at the edge. The peak is widthUnits
    // virtual pixels wide, scaled to the samples.
    Signal signal(double edge, std::uint16_t n, std::uint16_t fullScale, std::uint16_t widthUnits);

  private:
    double noise(double sigma);

    bool motion_;
    double restA_, restB_, swing_, period_;
    std::mt19937 rng_;
};

}  // namespace kvexsim
