#include "frame_assembler.h"

#include <algorithm>

namespace kvexsim {

bool FrameAssembler::startsFrame(std::size_t at) const {
    // Only as many bytes as are there can be checked; a lone 00 or 00 55 may
    // still become a frame.
    const std::size_t have = buffer_.size() - at;
    if (have >= 1 && buffer_[at] != 0x00) return false;
    if (have >= 2 && buffer_[at + 1] != 0x55) return false;
    if (have >= 3 && buffer_[at + 2] != 0x00) return false;
    return true;
}

void FrameAssembler::resync() {
    std::size_t drop = 0;
    while (drop < buffer_.size() && !startsFrame(drop)) ++drop;
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(drop));
    discarded_ += drop;
}

void FrameAssembler::expire(double t) {
    if (!buffer_.empty() && t - last_ > gap_) {
        discarded_ += buffer_.size();
        buffer_.clear();
    }
}

std::vector<Frame> FrameAssembler::feed(const std::uint8_t *data, std::size_t n, double t) {
    expire(t);
    last_ = t;
    buffer_.insert(buffer_.end(), data, data + n);
    std::vector<Frame> frames;
    for (;;) {
        resync();
        if (buffer_.size() < kFrameBytes) break;
        Frame f;
        std::copy_n(buffer_.begin(), kFrameBytes, f.begin());
        buffer_.erase(buffer_.begin(), buffer_.begin() + kFrameBytes);
        frames.push_back(f);
    }
    return frames;
}

}  // namespace kvexsim
