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

// The places in n bytes where 72 bytes read as a text, the last max of them
// in order: all of them when exactly 72 came. Returns how many there are.
int TextPlaces(const unsigned char *bytes, int n, int pcb, int *places, int max) {
    if (n == FIRMWARE_BYTES) {
        places[0] = 0;
        return 1;
    }
    if (n < FIRMWARE_BYTES || pcb == 0) return 0;
    int found = 0;
    for (int at = 0; at + FIRMWARE_BYTES <= n; ++at) {
        if (!LooksLikeText(bytes + at)) continue;
        if (found >= max) std::memmove(places, places + 1, sizeof(int) * (max - 1));
        places[found < max ? found : max - 1] = at;
        ++found;
    }
    return found;
}

// Stray bytes just before the text that happen to be printable make it read
// as a text from more than one place: the stray bytes differ from one reading
// to the next, the text does not. The text is the one place that both
// readings hold; none when they share no place or several (a reply of
// another length reads the same each time, with all its places).
int AgreedPlace(const unsigned char *earlier, const int *earlierPlaces, int earlierCount,
                const int *places, int count) {
    int agreed = -1, shared = 0;
    for (int i = 0; i < count; ++i)
        for (int j = 0; j < earlierCount; ++j)
            if (std::memcmp(szReadBuf + places[i], earlier + earlierPlaces[j], FIRMWARE_BYTES) ==
                0) {
                agreed = places[i];
                ++shared;
                break;
            }
    return shared == 1 ? agreed : -1;
}

// One firmware question: its raw reply in szReadBuf, the byte count returned.
int ReadFirmwareReply() {
    FlushInput(com);
    FlushOutQ(com);
    parameter[PW_COMMAND] = CMD_FIRMWARE;
    parameter[PW_SUBARG] = 0;
    if (!RequestWentOut(SendRequest(com, CMD_FIRMWARE, 0, pp))) return 0;
    ShowText("Waiting for firmware info ...");

    bool timedOut = false;
    const int n = AwaitBytes(com, FIRMWARE_BYTES, TIMEOUT, false, &timedOut);
    if (timedOut) SetStatus("Timeout - reading firmware info!");
    const int count = n < 0 ? 0 : (n > 1024 ? 1024 : n);
    return ComRd(com, reinterpret_cast<char *>(szReadBuf), count);
}

}  // namespace

int GetHARDWAREInfo() {
    parameter[PW_COMMAND] = CMD_HARDWARE;
    parameter[PW_SUBARG] = 0;
    FlushOutQ(com);
    FlushInput(com);
    if (!RequestWentOut(SendRequest(com, CMD_HARDWARE, 0, pp)) || !WaitRxFull()) return 0;

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

// Stray bytes around the text, or a reply of another length, never let
// another text stand for the sensor's firmware: a text found in one place
// is taken, one found in several is asked for again and taken once a second
// reading holds it too.
int GetVERSIONInfo() {
    constexpr int kReadings = 3, kPlaces = 64;
    static unsigned char earlier[1024];
    int earlierPlaces[kPlaces], places[kPlaces];
    int earlierCount = 0, at = -1;
    // The 72 raw bytes must not be taken by the frame notification.
    RemoveRxNotification(com);
    szVersion[0] = '\0';
    for (int reading = 0; reading < kReadings && at < 0 && !line_lost; ++reading) {
        nBytesR = ReadFirmwareReply();
        const int found = TextPlaces(szReadBuf, nBytesR, pcbtype, places, kPlaces);
        const int count = found < kPlaces ? found : kPlaces;
        if (found == 1) {
            at = places[0];
        } else if (found > 1) {
            at = AgreedPlace(earlier, earlierPlaces, earlierCount, places, count);
            std::memcpy(earlier, szReadBuf, sizeof earlier);
            std::memcpy(earlierPlaces, places, sizeof places);
            earlierCount = count;
        } else {
            break;  // no text at all: asking again would not change that
        }
    }
    if (at >= 0) TakeFirmwareText(pcbtype, szReadBuf + at);
    const bool text = at >= 0 && szVersion[0] != '\0';

    InstallRxNotification(com);
    FlushInput(com);
    FlushOutQ(com);
    rx_flag = 0;
    ShowStatus();
    return text ? FIRMWARE_BYTES : 0;
}
