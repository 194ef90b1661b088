// Helpers for tests on a real serial line: the far end of a pseudo-terminal
// pair, a raw terminal on a device path, and waiting with or without event
// processing.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "ui.h"

namespace simtest {

using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

inline double secondsSince(Clock::time_point t0) {
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

inline void sleepFor(double seconds) {
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

// Reads from fd until n bytes came or the time ran out; returns what came.
inline Bytes readBytes(int fd, std::size_t n, double timeoutSeconds) {
    Bytes out;
    const auto t0 = Clock::now();
    while (out.size() < n) {
        const double left = timeoutSeconds - secondsSince(t0);
        if (left <= 0.0) break;
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left * 1000) + 1) <= 0) continue;
        if (!(p.revents & POLLIN)) break;
        std::uint8_t buf[512];
        const std::size_t want = std::min(sizeof buf, n - out.size());
        const ssize_t got = ::read(fd, buf, want);
        if (got <= 0) break;
        out.insert(out.end(), buf, buf + got);
    }
    return out;
}

inline bool writeBytes(int fd, const Bytes &bytes) {
    return ::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
}

// A device path opened raw, as a front-end would open it.
class RawTty {
  public:
    explicit RawTty(const std::string &path) {
        fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        termios tio{};
        if (fd_ >= 0 && tcgetattr(fd_, &tio) == 0) {
            cfmakeraw(&tio);
            tcsetattr(fd_, TCSANOW, &tio);
        }
    }
    ~RawTty() { close(); }
    RawTty(const RawTty &) = delete;
    RawTty &operator=(const RawTty &) = delete;
    bool ok() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    void close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    bool write(const Bytes &bytes) { return writeBytes(fd_, bytes); }
    Bytes read(std::size_t n, double timeoutSeconds) { return readBytes(fd_, n, timeoutSeconds); }

  private:
    int fd_ = -1;
};

// Processes events until pred() holds or the time runs out; returns pred().
template <class Pred>
bool pumpUntil(Pred pred, double timeoutSeconds) {
    const auto t0 = Clock::now();
    while (!pred()) {
        if (secondsSince(t0) > timeoutSeconds) return pred();
        ProcessSystemEvents();
    }
    return true;
}

inline void pumpFor(double seconds) {
    pumpUntil([] { return false; }, seconds);
}

// A 36-byte request frame: header 00 55, command, sub-argument, 15 words.
inline Bytes requestFrame(std::uint16_t command, std::uint16_t sub = 0,
                          const std::vector<std::uint16_t> &words = {}) {
    Bytes f(36, 0);
    f[1] = 0x55;
    f[2] = static_cast<std::uint8_t>(command >> 8);
    f[3] = static_cast<std::uint8_t>(command);
    f[4] = static_cast<std::uint8_t>(sub >> 8);
    f[5] = static_cast<std::uint8_t>(sub);
    for (std::size_t i = 0; i < words.size() && i < 15; ++i) {
        f[6 + 2 * i] = static_cast<std::uint8_t>(words[i] >> 8);
        f[7 + 2 * i] = static_cast<std::uint8_t>(words[i]);
    }
    return f;
}

inline std::uint16_t wordAt(const Bytes &b, std::size_t at) {
    return static_cast<std::uint16_t>((b.at(at) << 8) | b.at(at + 1));
}

}  // namespace simtest
