// Hardware and firmware replies of any content, for both board types: the
// decoded identity stays usable (a known pixel count, rising video x
// positions, a full scale of 256 or 1024) and the firmware text always fits
// its buffers.
//
// Input: byte 0 the board type's pick and the chunk pattern, then the
// hardware reply's bytes up to a 0xFF 0xFE marker, then the firmware reply's.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "com232.h"
#include "exchange.h"
#include "fake_line.h"

namespace {

void Check(bool ok) {
    if (!ok) __builtin_trap();
}

std::vector<std::size_t> Chunks(std::uint8_t pattern) {
    return {static_cast<std::size_t>(1 + pattern % 40), 0,
            static_cast<std::size_t>(1 + pattern / 7)};
}

bool KnownCount(unsigned short n) {
    for (unsigned short k : {256, 512, 768, 1024, 1280, 1536, 2048, 2560, 4096, 8192})
        if (n == k) return true;
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size < 1 || size > 2048) return 0;
    const std::uint8_t *end = data + size;
    const std::uint8_t marker[2] = {0xFF, 0xFE};
    const std::uint8_t *split = std::search(data + 1, end, marker, marker + 2);
    const std::vector<std::uint8_t> hardware(data + 1, split);
    const std::vector<std::uint8_t> firmware(split == end ? end : split + 2, end);

    ResetReceiver();
    InstallRxNotification(com);
    fakeline::Play(hardware.data(), hardware.size(), Chunks(data[0]));
    ccdvirtpixel = 4096;
    if (GetHARDWAREInfo() == 1) {
        Check(KnownCount(ccdvirtpixel));
        Check(YMAXADC == 256 || YMAXADC == 1024);
        for (int i = 1; i < 128; ++i) Check(xArray8[i] > xArray8[i - 1]);
    }
    pcbtype = data[0] & 1 ? 0 : pcbtype;
    fakeline::Play(firmware.data(), firmware.size(), Chunks(data[0] >> 1));
    const int n = GetVERSIONInfo();
    Check(n >= 0);
    Check(std::memchr(szStatus, '\0', sizeof szStatus) != nullptr);
    Check(std::memchr(szVersion, '\0', sizeof szVersion) != nullptr);
    return 0;
}
