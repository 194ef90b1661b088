// Frames, receive notification, line check, port opening and the start-up
// handshake.
#include "com232.h"

#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "exchange.h"
#include "frame.h"
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
LinkDisplay link_display;

namespace {

constexpr int kEventChar = 0x55;

bool g_notificationOn = false;
int g_notifyCount = FRAME_BYTES;

// Start-up failures, so that the last text of the start-up still names them.
char g_startupFailure[72];
bool g_linkReady = false;

void NoteStartupFailure() {
    if (g_startupFailure[0] == '\0')
        std::snprintf(g_startupFailure, sizeof g_startupFailure, "%s", szStatus);
}

void Notify(int port) {
    InstallComCallback(port, eventMask, g_notifyCount, kEventChar, RX_Receive_Function, nullptr);
}

// szStatus holds what the sensor's protocol names, in its own fixed size; a
// text of the program's own (a file name, a count, a reason) is kept whole
// beside it, so the status line and the log never show half of it.
char g_ownStatus[1024];

}  // namespace

void SetStatus(const char *text) {
    std::snprintf(szStatus, sizeof szStatus, "%s", text);
    g_ownStatus[0] = '\0';
}

void ShowStatus() {
    // A module may write szStatus itself: the whole text stands behind it
    // only while szStatus still holds its beginning.
    const bool own =
        g_ownStatus[0] != '\0' && std::strncmp(szStatus, g_ownStatus, sizeof szStatus - 1) == 0;
    if (link_display.status) link_display.status(own ? g_ownStatus : szStatus);
}

void ShowStatusText(const char *text) {
    SetStatus(text);
    std::snprintf(g_ownStatus, sizeof g_ownStatus, "%s", text);
    ShowStatus();
}

void ShowText(const char *text) {
    if (link_display.status) link_display.status(text);
}

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
        case -8:
            return "Port in use by another program";
        case -13:
            return "Invalid parameter";
        case -99:
            return "Timeout";
        default:
            return "RS-232 error!";
    }
}

// No reply can come to a request that did not go out, and a time-out would
// blame a sensor that was never asked.
bool RequestWentOut(int written) {
    if (written == FRAME_BYTES) return true;
    if (!line_lost) SetStatus(written < 0 ? ComErrorText(written) : "RS-232 write incomplete!");
    return false;
}

void FillTxBuf(unsigned short command, unsigned short subArgument, const unsigned short *words) {
    EncodeRequest(szWriteBuf, command, subArgument, words);
}

int GetRxBuf() { return DecodeReply(szReadBuf, pp); }

void RX_Receive_Function(int, int eventBits, void *) {
    if (eventBits & COM_EV_LINE_LOST) ReportLineLost();
    if (eventBits & COM_EV_RECEIVE) TakeInReply(com);
}

void FlushQueues() {
    FlushInput(com);
    FlushOutQ(com);
}

void InstallRxNotification(int port) {
    g_notificationOn = true;
    g_notifyCount = FRAME_BYTES;
    Notify(port);
}

void RemoveRxNotification(int port) {
    g_notificationOn = false;
    InstallComCallback(port, 0, FRAME_BYTES, kEventChar, nullptr, nullptr);
}

void SetRxNotifyCount(int port, int count) {
    if (!g_notificationOn || count == g_notifyCount) return;
    g_notifyCount = count;
    Notify(port);
}

int WaitRxFull() {
    const int result = AwaitReply(TIMEOUT);
    if (result == EXCHANGE_TIMEOUT) SetStatus("Timeout-RS-232...");
    return result == EXCHANGE_OK ? 1 : 0;
}

// A reply with another sync word is never taken; bytes that came without
// making a reply tell that case from a silent line.
int CheckComLine(int port) {
    parameter[PW_COMMAND] = CMD_LINE_CHECK;
    parameter[PW_SUBARG] = 0;
    CopyVarsToPP(0);
    FlushOutQ(port);
    FlushInput(port);
    const long before = ReceivedBytes();
    const bool sent = RequestWentOut(SendRequest(port, CMD_LINE_CHECK, 0, pp));

    int result = 0;
    if (sent && WaitRxFull()) {
        pp[0] = FrameWord(szReadBuf);
        SetStatus("Echo Check - Line Ok!");
        result = 1;
    } else if (sent && !line_lost && DroppedReplyCommand() >= 0) {
        // The sync word was right: the reply answered another request.
        char text[72];
        std::snprintf(text, sizeof text, "read error - reply to command %d, not to the line check!",
                      DroppedReplyCommand());
        SetStatus(text);
    } else if (sent && !line_lost && ReceivedBytes() > before) {
        SetStatus("read error - not sync byte 0xAA!");
    }
    ShowStatus();
    return result;
}

void InitRS232(int port) {
    ResetReceiver();
    g_startupFailure[0] = '\0';
    g_linkReady = false;
    const int opened = OpenComConfig(port, "", 19200, 0, 8, 1, 4096, 4096);
    char holder[48];
    if (opened == kComPortInUse && GetComPortHolder(port, holder, sizeof holder)) {
        char text[sizeof szStatus];
        std::snprintf(text, sizeof text, "Port in use by %s", holder);
        ShowStatusText(text);
        return;
    }
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
    // A line lost during a question keeps the text that says so.
    if (GetHARDWAREInfo() == 0 && !line_lost) {
        SetStatus("Error reading HARDWARE-info!");
        NoteStartupFailure();
    }
    for (unsigned short frame : {0, 1}) {
        if (line_lost) return;
        Delay(0.1);
        PushGET(1, frame);
        if (rx_flag == 0) {
            // Frame 1's request could only be answered by frame 0's late reply.
            NoteStartupFailure();
            break;
        }
    }
    if (line_lost) return;
    Delay(0.1);
    const bool firmware = GetVERSIONInfo() != 0;
    if (line_lost) return;
    if (!firmware) {
        SetStatus("Error reading firmware-info!");
        NoteStartupFailure();
    }
    if (g_startupFailure[0] != '\0') SetStatus(g_startupFailure);
    g_linkReady = g_startupFailure[0] == '\0';
    ShowStatus();
}

bool LinkReady() { return g_linkReady && !line_lost; }
