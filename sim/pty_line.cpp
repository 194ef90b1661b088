#include "pty_line.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace kvexsim {

namespace {
constexpr int kWriteWaitMs = 50;
constexpr int kWriteAttempts = 4;

bool makeRaw(int fd) {
    termios tio{};
    if (tcgetattr(fd, &tio) != 0) return false;
    cfmakeraw(&tio);
    cfsetispeed(&tio, B19200);
    cfsetospeed(&tio, B19200);
    return tcsetattr(fd, TCSANOW, &tio) == 0;
}
}  // namespace

bool PtyLine::open() {
    close();
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0) return false;
    const char *name = nullptr;
    if (grantpt(master_) != 0 || unlockpt(master_) != 0 || (name = ptsname(master_)) == nullptr) {
        close();
        return false;
    }
    slavePath_ = name;
    slave_ = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave_ < 0 || !makeRaw(slave_)) {
        close();
        return false;
    }
    const int flags = fcntl(master_, F_GETFL);
    fcntl(master_, F_SETFL, flags | O_NONBLOCK);
    return true;
}

void PtyLine::close() {
    if (master_ >= 0) ::close(master_);
    if (slave_ >= 0) ::close(slave_);
    master_ = slave_ = -1;
    slavePath_.clear();
}

ssize_t PtyLine::read(std::uint8_t *buffer, std::size_t size) {
    if (master_ < 0) return -1;
    const ssize_t n = ::read(master_, buffer, size);
    if (n >= 0) return n;
    return (errno == EAGAIN || errno == EINTR) ? 0 : -1;
}

bool PtyLine::writeAll(const std::uint8_t *data, std::size_t size) {
    int attempts = 0;
    while (size > 0 && master_ >= 0) {
        const ssize_t n = ::write(master_, data, size);
        if (n > 0) {
            data += n;
            size -= static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
        if (++attempts > kWriteAttempts) return true;  // nobody takes them: the bytes are lost
        pollfd p{master_, POLLOUT, 0};
        poll(&p, 1, kWriteWaitMs);
    }
    return master_ >= 0;
}

}  // namespace kvexsim
