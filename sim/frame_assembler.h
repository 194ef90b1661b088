// Cuts the byte stream from the line into 36-byte request frames. A frame
// starts with the header 00 55 and a command word below 256; bytes that cannot
// start a frame are dropped one at a time until one can. A frame that stays
// incomplete for longer than the gap is dropped, so that a torn request never
// swallows the start of the next one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "sim_config.h"

namespace kvexsim {

class FrameAssembler {
  public:
    explicit FrameAssembler(double gapSeconds = 0.05) : gap_(gapSeconds) {}

    // Takes n bytes that arrived at time t (seconds); returns the frames completed.
    std::vector<Frame> feed(const std::uint8_t *data, std::size_t n, double t);
    // Drops an incomplete frame whose last byte came more than the gap before t.
    void expire(double t);

    std::size_t pending() const { return buffer_.size(); }
    std::size_t discarded() const { return discarded_; }

  private:
    bool startsFrame(std::size_t at) const;
    void resync();

    double gap_;
    double last_ = 0.0;
    std::vector<std::uint8_t> buffer_;
    std::size_t discarded_ = 0;
};

}  // namespace kvexsim
