// Frames, receive notification, line check, port opening and the start-up
// handshake.
#include "com232.h"

#include <cstdio>

#include "kvex_main.h"
#include "rs232.h"
#include "ui.h"

int com = 1;
unsigned char szWriteBuf[1024];
unsigned char szReadBuf[1024];
unsigned short pp[16];
int rx_flag, graph_flag;
int nBytesW, nBytesR;
char szStatus[72];
const double TIMEOUT = 1.5;
const int eventMask = 0x8006;

namespace {

constexpr int kFrameBytes = 36;
constexpr int kNotifyCount = 36;
constexpr int kEventChar = 0x55;
constexpr unsigned short kSyncWord = 0x00AA;

void PutWord(unsigned char *at, unsigned short w) {
    at[0] = static_cast<unsigned char>(w >> 8);
    at[1] = static_cast<unsigned char>(w & 0xFF);
}

unsigned short WordAt(const unsigned char *at) {
    return static_cast<unsigned short>(at[0] << 8 | at[1]);
}

}  // namespace

void SetStatus(const char *text) { std::snprintf(szStatus, sizeof szStatus, "%s", text); }

void ShowStatus() { SetCtrlVal(pHandle, PANEL_StatusLine, szStatus); }

void ShowStatusText(const char *text) {
    SetStatus(text);
    ShowStatus();
}

void ShowText(const char *text) { SetCtrlVal(pHandle, PANEL_StatusLine, text); }

const char *ComErrorText(int code) {
    switch (code) {
        case -1:
            return "Unknown system error";
        case -2:
            return "Invalid port number";
        case -3:
            return "Port is not open";
        case -4:
            return "Unknown I/0 error";
        case -6:
            return "No serial port found";
        case -7:
            return "Cannot open port";
        case -13:
            return "Invalid parameter";
        case -99:
            return "Timeout";
        default:
            return "RS-232 error!";
    }
}

void FillTxBuf(unsigned short command, unsigned short subArgument, const unsigned short *words) {
    PutWord(szWriteBuf, 0x0055);
    PutWord(szWriteBuf + 2, command);
    PutWord(szWriteBuf + 4, subArgument);
    for (int i = 0; i < 15; ++i) PutWord(szWriteBuf + 6 + 2 * i, words[i]);
}

// A raw-values reply carries 16 words from byte 4; every other reply 15 words
// from byte 6, and pp[15] keeps its value.
int GetRxBuf() {
    if (WordAt(szReadBuf + 2) == 8) {
        for (int i = 0; i < 16; ++i) pp[i] = WordAt(szReadBuf + 4 + 2 * i);
        return 1;
    }
    for (int i = 0; i < 15; ++i) pp[i] = WordAt(szReadBuf + 6 + 2 * i);
    return 0;
}

void RX_Receive_Function(int, int eventBits, void *) {
    if (!(eventBits & COM_EV_RECEIVE)) return;
    ComRd(com, reinterpret_cast<char *>(szReadBuf), kFrameBytes);
    graph_flag = GetRxBuf();
    rx_flag = 1;
    // Whatever came after the 36 bytes belongs to no request of ours.
    FlushInQ(com);
}

void FlushQueues() {
    FlushInQ(com);
    FlushOutQ(com);
}

void InstallRxNotification(int port) {
    InstallComCallback(port, eventMask, kNotifyCount, kEventChar, RX_Receive_Function, nullptr);
}

int WaitRxFull() {
    const double t0 = Timer();
    for (;;) {
        ProcessSystemEvents();
        if (Timer() - t0 > TIMEOUT) {
            SetStatus("Timeout-RS-232...");
            return 0;
        }
        if (rx_flag) return 1;
    }
}

int WriteFrame(int port, unsigned short command, unsigned short subArgument,
               const unsigned short *words) {
    FillTxBuf(command, subArgument, words);
    nBytesW = ComWrt(port, reinterpret_cast<const char *>(szWriteBuf), kFrameBytes);
    return nBytesW;
}

int CheckComLine(int port) {
    parameter[PW_COMMAND] = 5;
    parameter[PW_SUBARG] = 0;
    CopyVarsToPP(0);
    FlushOutQ(port);
    FlushInQ(port);
    rx_flag = 0;
    WriteFrame(port, 5, 0, pp);

    int result = 0;
    if (WaitRxFull()) {
        pp[0] = WordAt(szReadBuf);
        if (pp[0] == kSyncWord) {
            SetStatus("Echo Check - Line Ok!");
            result = 1;
        } else {
            SetStatus("read error - not sync byte 0xAA!");
        }
    }
    ShowStatus();
    return result;
}

void InitRS232(int port) {
    const int opened = OpenComConfig(port, "", 19200, 0, 8, 1, 4096, 4096);
    if (opened < 0) {
        ShowStatusText(ComErrorText(opened));
        return;
    }
    SetComTime(port, TIMEOUT);
    FlushInQ(port);
    FlushOutQ(port);
    SetCTSMode(port, 0);
    InstallRxNotification(port);

    if (CheckComLine(port) != 1) {
        ShowStatus();
        return;
    }
    Delay(0.1);
    if (GetHARDWAREInfo() == 0) SetStatus("Error reading HARDWARE-info!");
    Delay(0.1);
    PushGET(1, 0);
    Delay(0.1);
    PushGET(1, 1);
    Delay(0.1);
    if (GetVERSIONInfo() < 72) SetStatus("Error reading firmware-info!");
    ShowStatus();
}
