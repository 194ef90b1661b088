// A serial line whose far end plays back what a fuzz input holds, or answers
// the requests as a test scripts it, on a clock of its own: every
// event-processing pass moves the clock on by a millisecond and hands over
// what is due, so waits and time-outs run as they do on a real line, only
// without sleeping.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace fakeline {

// The bytes the far end will send once the next request has gone out, and the
// sizes of the chunks they come in (cycled; a size of 0 means a pass with
// nothing). A far end played anew has no script and no requests.
void Play(const std::uint8_t *bytes, std::size_t size, std::vector<std::size_t> chunks);
// The far end answers the next request with bytes (none: it stays silent)
// that start delay seconds after the request and come at the pace of a
// 19200-baud line. Each call scripts the answer to one more request.
void Answer(std::vector<std::uint8_t> bytes, double delay = 0.0);
// A request the front-end wrote, and when on the line's clock.
struct Request {
    unsigned short command, subArgument;
    double at;
};
const std::vector<Request> &Requests();
// A far end that says nothing: no script, no requests, nothing queued.
void Reset();
// Bytes handed over so far by Play.
std::size_t Delivered();
// The last 36 bytes the front-end wrote.
const std::uint8_t *LastRequest();

}  // namespace fakeline
