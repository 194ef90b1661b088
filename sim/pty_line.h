// The sensor's end of the serial line: the master side of a pseudo-terminal
// pair. The front-end opens the slave device like any serial port.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace kvexsim {

class PtyLine {
  public:
    PtyLine() = default;
    ~PtyLine() { close(); }
    PtyLine(const PtyLine &) = delete;
    PtyLine &operator=(const PtyLine &) = delete;

    // Creates the pair and puts the slave into raw mode. The line keeps a
    // descriptor of the slave itself, so that the master never sees a hang-up
    // while the front-end closes and reopens the port.
    bool open();
    void close();
    bool isOpen() const { return master_ >= 0; }

    int masterFd() const { return master_; }
    const std::string &slavePath() const { return slavePath_; }

    // Reads what is waiting without blocking: the byte count, 0 when nothing
    // is there, -1 when the line is broken.
    ssize_t read(std::uint8_t *buffer, std::size_t size);
    // Writes all bytes, waiting a little for room; bytes that find no room
    // (nobody reads the other end) are dropped. False when the line is broken.
    bool writeAll(const std::uint8_t *data, std::size_t size);

  private:
    int master_ = -1;
    int slave_ = -1;
    std::string slavePath_;
};

}  // namespace kvexsim
