// The receiver under arbitrary bytes in arbitrary chunks. Checked on every
// input: an accepted reply opens with the sync word and carries the command
// that was waited for; it is 36 bytes that really came off the line, and the
// words decoded are its words; a valid reply after garbage that holds no
// opening of its own is accepted; a raw wait never reports more than came.
//
// Input: byte 0 the mode, byte 1 the command, byte 2 the chunk pattern, then
// the bytes of the far end.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "com232.h"
#include "exchange.h"
#include "fake_line.h"
#include "frame.h"
#include "rs232.h"

namespace {

constexpr unsigned short kReplying[] = {CMD_READ_RAM,   CMD_READ_EEPROM, CMD_LINE_CHECK,  CMD_TEACH,
                                        CMD_RAW_VALUES, CMD_HARDWARE,    CMD_RESET_MAXMIN};

std::vector<std::size_t> Chunks(std::uint8_t pattern) {
    // From one byte at a time to whole bursts; some passes bring nothing.
    std::vector<std::size_t> c;
    for (int i = 0; i < 8; ++i)
        c.push_back((pattern >> i & 1) ? 1 + (pattern * (i + 3)) % 61 : i % 3);
    if (std::all_of(c.begin(), c.end(), [](std::size_t n) { return n == 0; })) c[0] = 1;
    return c;
}

bool OpensReply(const std::uint8_t *at, unsigned short command) {
    return at[0] == 0x00 && at[1] == 0xAA && FrameWord(at + 2) == command;
}

void Check(bool ok) {
    if (!ok) __builtin_trap();
}

void FrameWait(const std::vector<std::uint8_t> &stream, unsigned short command,
               std::uint8_t pattern, const std::uint8_t *expected) {
    fakeline::Play(stream.data(), stream.size(), Chunks(pattern));
    ResetReceiver();
    InstallRxNotification(com);
    FlushQueues();
    SendRequest(com, command, 0, pp);
    const int result = AwaitReply(TIMEOUT);
    if (result != EXCHANGE_OK) {
        Check(rx_flag == 0);
        // A reply that opened first in the stream and came whole in time
        // must not be missed.
        if (expected) Check(fakeline::Delivered() < stream.size());
        return;
    }
    Check(OpensReply(szReadBuf, command));
    Check(std::search(stream.begin(), stream.end(), szReadBuf, szReadBuf + FRAME_BYTES) !=
          stream.end());
    unsigned short words[16] = {};
    Check(DecodeReply(szReadBuf, words) == graph_flag);
    Check(std::equal(pp, pp + (graph_flag ? 16 : 15), words));
    if (expected) Check(std::memcmp(szReadBuf, expected, FRAME_BYTES) == 0);
}

void RawWait(const std::vector<std::uint8_t> &stream, int count, std::uint8_t pattern) {
    fakeline::Play(stream.data(), stream.size(), Chunks(pattern));
    ResetReceiver();
    RemoveRxNotification(com);
    FlushQueues();
    SendRequest(com, count == FIRMWARE_BYTES ? CMD_FIRMWARE : CMD_DATA_BLOCK, 0, pp);
    bool timedOut = false;
    const int waiting = AwaitBytes(com, count, TIMEOUT, true, &timedOut);
    Check(waiting >= 0 && static_cast<std::size_t>(waiting) <= fakeline::Delivered());
    Check(timedOut || waiting >= count);
    nBytesR = ComRd(com, reinterpret_cast<char *>(szReadBuf), std::min(waiting, 1024));
    Check(nBytesR == std::min(waiting, 1024));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size < 3 || size > 4096) return 0;
    const unsigned short command = kReplying[data[1] % (sizeof kReplying / sizeof *kReplying)];
    const std::vector<std::uint8_t> bytes(data + 3, data + size);
    switch (data[0] % 4) {
        case 0:
            FrameWait(bytes, command, data[2], nullptr);
            break;
        case 1: {
            // Garbage, then a reply built from the input's last bytes.
            std::vector<std::uint8_t> stream(
                bytes.begin(), bytes.begin() + std::min<std::size_t>(bytes.size(), 900));
            std::uint8_t reply[FRAME_BYTES] = {0x00, 0xAA};
            PutFrameWord(reply + 2, command);
            for (int i = 4; i < FRAME_BYTES; ++i)
                reply[i] = bytes.empty() ? 0 : bytes[(i * 7) % bytes.size()];
            stream.insert(stream.end(), reply, reply + FRAME_BYTES);
            std::size_t first = 0;
            while (first + 4 <= stream.size() && !OpensReply(&stream[first], command)) ++first;
            FrameWait(stream, command, data[2],
                      first == stream.size() - FRAME_BYTES ? reply : nullptr);
            break;
        }
        case 2:
            RawWait(bytes, FIRMWARE_BYTES, data[2]);
            break;
        default:
            RawWait(bytes, BLOCK_BYTES, data[2]);
            break;
    }
    return 0;
}
