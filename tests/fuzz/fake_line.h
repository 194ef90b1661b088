// A serial line whose far end plays back what a fuzz input holds, on a clock
// of its own: every event-processing pass moves the clock on by a millisecond
// and hands over the next chunk, so waits and time-outs run as they do on a
// real line, only without sleeping.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace fakeline {

// The bytes the far end will send once the next request has gone out, and the
// sizes of the chunks they come in (cycled; a size of 0 means a pass with
// nothing).
void Play(const std::uint8_t *bytes, std::size_t size, std::vector<std::size_t> chunks);
// Bytes handed over so far.
std::size_t Delivered();
// The last 36 bytes the front-end wrote.
const std::uint8_t *LastRequest();

}  // namespace fakeline
