// Sensor identification: hardware information and firmware text.
#include <cstdio>
#include <cstring>

#include "com232.h"
#include "exchange.h"
#include "frame.h"
#include "rs232.h"
#include "ui.h"

unsigned short ccdtype, ccdmaxpixel = 1024, ccdresolution, pcbtype, ccdvirtpixel = 4096,
                        ccdsubpixel = 2048, ccdpixB, ccdpixE, softversion, refdistance, adcmax;
unsigned short YMAXADC = 256;
double xArray8[128];
char szVersion[72];
char szHardware[3][40];

namespace {

unsigned short ReplyWord(int byte) { return FrameWord(szReadBuf + byte); }

void DecodeHardwareFields() {
    ccdtype = ReplyWord(4);
    ccdmaxpixel = ReplyWord(6);
    ccdresolution = ReplyWord(8);
    pcbtype = ReplyWord(10);
    ccdvirtpixel = ReplyWord(12);
    ccdsubpixel = ReplyWord(14);
    ccdpixB = ReplyWord(16);
    ccdpixE = ReplyWord(18);
    softversion = ReplyWord(20);
    refdistance = ReplyWord(22);
    adcmax = ReplyWord(24);
}

// The x positions of the 128 video points. A count the table does not know
// falls back to 2048 virtual pixels at step 16.
void FillVideoXPositions() {
    static const unsigned short kKnownCounts[] = {256,  512,  768,  1024, 1280,
                                                  1536, 2048, 2560, 4096, 8192};
    int step = 16;
    bool known = false;
    for (unsigned short n : kKnownCounts)
        if (ccdvirtpixel == n) known = true;
    if (known)
        step = ccdvirtpixel / 128;
    else
        ccdvirtpixel = 2048;
    for (int i = 0; i < 128; ++i) xArray8[i] = static_cast<double>(i) * step;
}

constexpr const char *kNoInfo = "CCD-SENSOR: No Info Avialable!";
constexpr const char *kBlankLine = "                                ";  // 32 spaces

struct InfoLines {
    const char *line[3];
};

// The texts are Latin-1: 0xB5 is the micro sign.
InfoLines SensorInfoLines() {
    if (ccdtype == 20 && refdistance == 37)
        return {{"1024-pixel; 7.8\xB5m pixel-pitch;", "4096-subpixel; resolution=1\xB5m",
                 "working-range=37mm +/- 2.0mm"}};
    if (ccdtype == 20 && refdistance == 80)
        return {{"1024-pixel; 7.8\xB5m pixel-pitch;", "4096-subpixel; resolution=5\xB5m",
                 "working-range=80mm +/- 10mm"}};
    return {{kNoInfo, kBlankLine, kBlankLine}};
}

// A firmware text fills szVersion and szStatus up to its first zero byte; a
// text without one is cut to what the buffers hold.
void TakeFirmwareText(int pcb, const unsigned char *bytes) {
    if (pcb == 0) {
        int words[36] = {};
        for (int i = 0; i < 36; ++i) words[i] = bytes[2 * i] << 8 | bytes[2 * i + 1];
        Fmt(szVersion, "%72c<%36i", words);
    } else {
        std::memcpy(szVersion, bytes, sizeof szVersion - 1);
        szVersion[sizeof szVersion - 1] = '\0';
    }
    SetStatus(szVersion);
}

// 72 bytes that read as a text: printable characters from the first on,
// then nothing but zero bytes.
bool LooksLikeText(const unsigned char *bytes) {
    int i = 0;
    while (i < FIRMWARE_BYTES && bytes[i] != 0 && (bytes[i] >= 0x20 && bytes[i] != 0x7F)) ++i;
    if (i == 0) return false;
    while (i < FIRMWARE_BYTES && bytes[i] == 0) ++i;
    return i == FIRMWARE_BYTES;
}

// Where in n bytes the 72 of the firmware text lie: all of them when exactly
// 72 came; among more, the one place where 72 bytes read as a text, and
// nowhere when there is no such place or more than one. -1: no text.
int FirmwareTextAt(int n, int pcb) {
    if (n == FIRMWARE_BYTES) return 0;
    if (n < FIRMWARE_BYTES || pcb == 0) return -1;
    int found = -1;
    for (int at = 0; at + FIRMWARE_BYTES <= n; ++at) {
        if (!LooksLikeText(szReadBuf + at)) continue;
        if (found >= 0) return -1;
        found = at;
    }
    return found;
}

}  // namespace

int GetHARDWAREInfo() {
    parameter[PW_COMMAND] = CMD_HARDWARE;
    parameter[PW_SUBARG] = 0;
    FlushOutQ(com);
    FlushInput(com);
    SendRequest(com, CMD_HARDWARE, 0, pp);
    if (!WaitRxFull()) return 0;

    DecodeHardwareFields();
    if (FrameWord(szReadBuf + 2) != CMD_HARDWARE) return 0;

    // A line of 0 or 1 pixels would give an empty or turned-round axis.
    const double axisEnd = ccdvirtpixel >= 2 ? ccdvirtpixel : 2048.0;
    FillVideoXPositions();
    const InfoLines info = SensorInfoLines();
    for (int i = 0; i < 3; ++i)
        std::snprintf(szHardware[i], sizeof szHardware[i], "%s", info.line[i]);
    if (link_display.sensorIdentified)
        link_display.sensorIdentified(axisEnd, info.line[0], info.line[1], info.line[2]);
    YMAXADC = (ccdtype == 20 && adcmax == 1024) ? 1024 : 256;
    return 1;
}

int GetVERSIONInfo() {
    // The 72 raw bytes must not be taken by the frame notification.
    RemoveRxNotification(com);
    FlushInput(com);
    FlushOutQ(com);
    parameter[PW_COMMAND] = CMD_FIRMWARE;
    parameter[PW_SUBARG] = 0;
    SendRequest(com, CMD_FIRMWARE, 0, pp);
    ShowText("Waiting for firmware info ...");

    bool timedOut = false;
    int n = AwaitBytes(com, FIRMWARE_BYTES, TIMEOUT, false, &timedOut);
    if (timedOut) SetStatus("Timeout - reading firmware info!");
    szVersion[0] = '\0';
    const int count = n < 0 ? 0 : (n > 1024 ? 1024 : n);
    nBytesR = ComRd(com, reinterpret_cast<char *>(szReadBuf), count);
    // Stray bytes around the text, or a reply of another length, never let
    // another text stand for the sensor's firmware.
    const int at = FirmwareTextAt(nBytesR, pcbtype);
    if (at >= 0) TakeFirmwareText(pcbtype, szReadBuf + at);
    const bool text = at >= 0 && szVersion[0] != '\0';

    InstallRxNotification(com);
    FlushInput(com);
    FlushOutQ(com);
    rx_flag = 0;
    ShowStatus();
    return text ? FIRMWARE_BYTES : 0;
}
