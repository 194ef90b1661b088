// Run mode and video mode: loops inside the callback that started them, one
// request in flight, events processed on every pass.
#include "modes.h"

#include <initializer_list>

#include "com232.h"
#include "gui.h"
#include "kvex_main.h"
#include "rs232.h"
#include "ui.h"

unsigned short adcbufA[128], adcbufB[128];
double databuf[128];

namespace {

constexpr int kBlockBytes = 128;

void SetVisible(int control, int visible) {
    SetCtrlAttribute(pHandle, control, ATTR_VISIBLE, visible);
}

void DimCommandButtons(std::initializer_list<int> buttons, int dimmed) {
    for (int id : buttons) SetCtrlAttribute(pHandle, id, ATTR_DIMMED, dimmed);
}

const char *BlockWaitingText(int offset) {
    switch (offset) {
        case 0:
            return "Waiting for Data[64] Block 0 ...";
        case 64:
            return "Waiting for Data[64] Block 1 ...";
        case 128:
            return "Waiting for Data[64] Block 2 ...";
        case 192:
            return "Waiting for Data[64] Block 3 ...";
        default:
            return "Waiting for Data[64] Block x ...";
    }
}

// Bytes 34-35 keep what the last frame left there; the sensor ignores them.
void BuildBlockRequest(int offset, int channel) {
    auto put = [](int byte, unsigned short w) {
        szWriteBuf[byte] = static_cast<unsigned char>(w >> 8);
        szWriteBuf[byte + 1] = static_cast<unsigned char>(w & 0xFF);
    };
    put(0, parameter[PW_HEADER]);
    put(2, 9);
    put(4, static_cast<unsigned short>(offset));
    put(6, static_cast<unsigned short>(channel));
    for (int byte = 8; byte < 34; ++byte) szWriteBuf[byte] = 0;
}

void StoreBlock(int offset, int channel) {
    if (offset < 0 || offset > 64) return;  // each buffer holds 128 samples
    for (int i = 0; i < 64; ++i) {
        const unsigned short w =
            static_cast<unsigned short>(szReadBuf[2 * i] << 8 | szReadBuf[2 * i + 1]);
        if (channel == 1)
            adcbufA[offset + i] = w;
        else if (channel == 0)
            adcbufB[offset + i] = w;
        else if (channel == 2)
            databuf[offset + i] = w;
    }
}

void SetVideoNotification(bool on) {
    if (on)
        InstallRxNotification(com);
    else
        InstallComCallback(com, eventMask, 36, 0x55, nullptr, nullptr);
}

}  // namespace

void ShowRunModeGraphs() {
    SetVisible(PANEL_StripChartRaw, 1);
    SetVisible(PANEL_GraphBarA, 1);
    SetVisible(PANEL_GraphBarB, 1);
    SetVisible(PANEL_GraphVideoA, 0);
    SetVisible(PANEL_GraphVideoB, 0);
}

void PrepareRawRequest() {
    FlushQueues();
    CopyVarsToPP(0);
    FillTxBuf(8, 0, pp);
    rx_flag = 0;
}

void DrawRawReply() {
    CopyPPtoRAWVars();
    PlotVIDEOBarGraph();
    PlotRAWGraph();
}

int PushGETRAW() {
    FlushQueues();
    parameter[PW_COMMAND] = 8;
    parameter[PW_SUBARG] = 0;
    if (WriteFrame(com, parameter[PW_COMMAND], parameter[PW_SUBARG], pp) == 36)
        ShowText("Line Ok!");
    graph_flag = 0;
    const double t0 = Timer();
    for (;;) {
        if (graph_flag == 1) return 1;
        ProcessSystemEvents();
        if (Timer() - t0 > TIMEOUT) {
            ShowText("Timeout RS232-Line!");
            stop_flag = 1;
            return 0;
        }
    }
}

void PushRUN() {
    ShowRunModeGraphs();
    SetCtrlAttribute(panelPopUp, POPUP_RecButton13, ATTR_DIMMED, 1);
    DimCommandButtons({PANEL_CmdButton13}, 1);

    stop_flag = graph_flag = rx_flag = 0;
    double sent = Timer();
    PushGETRAW();
    do {
        if (graph_flag == 1) {
            DrawRawReply();
            graph_flag = 0;
            FlushQueues();
        }
        if (rx_flag == 1) {
            PrepareRawRequest();
            sent = Timer();
            nBytesW = ComWrt(com, reinterpret_cast<const char *>(szWriteBuf), 36);
        }
        if (Timer() - sent > 2 * TIMEOUT) {
            ShowText("Timeout RS232-Line!");
            stop_flag = 1;
            break;
        }
        ProcessSystemEvents();
    } while (stop_flag == 0);

    rx_flag = graph_flag = 0;
    FlushQueues();
    DimCommandButtons({PANEL_CmdButton13}, 0);
}

int ReadData64(int offset, int channel) {
    parameter[PW_COMMAND] = 9;
    FlushOutQ(com);
    FlushInQ(com);
    BuildBlockRequest(offset, channel);
    nBytesW = ComWrt(com, reinterpret_cast<const char *>(szWriteBuf), 36);
    ShowText(BlockWaitingText(offset));

    const double t0 = Timer();
    int waiting = 0;
    for (;;) {
        ProcessSystemEvents();
        waiting = GetInQLen(com);
        if (Timer() - t0 > TIMEOUT) {
            SetStatus("Timeout-RS-232 while reading 64 data-words!");
            break;
        }
        if (waiting >= kBlockBytes) break;
    }
    const int count = waiting < 0 ? 0 : (waiting > 1024 ? 1024 : waiting);
    nBytesR = ComRd(com, reinterpret_cast<char *>(szReadBuf), count);
    int result = 0;
    if (nBytesR == kBlockBytes) {
        SetStatus("Data[64] block received!");
        StoreBlock(offset, channel);
        result = 1;
    }
    ShowStatus();
    return result;
}

void PushVIDEO() {
    SetVisible(PANEL_StripChartRaw, 0);
    SetVisible(PANEL_GraphVideoA, 1);
    SetVisible(PANEL_GraphVideoB, 1);
    DimCommandButtons({PANEL_CmdButton13, PANEL_CmdButton11, PANEL_CmdButton4}, 1);

    stop_flag = 0;
    do {
        if (PushGETRAW() != 1) {
            stop_flag = 1;
        } else {
            CopyPPtoRAWVars();
            SetVideoNotification(false);
            FlushQueues();
            const bool all =
                ReadData64(0, 1) && ReadData64(64, 1) && ReadData64(0, 0) && ReadData64(64, 0);
            SetVideoNotification(true);
            if (all) {
                SetAxisScalingMode(pHandle, PANEL_GraphVideoA, VAL_XAXIS, VAL_MANUAL, 1.0,
                                   ccdvirtpixel);
                SetAxisScalingMode(pHandle, PANEL_GraphVideoB, VAL_XAXIS, VAL_MANUAL, 1.0,
                                   ccdvirtpixel);
                PlotVIDEOCurveA(adcbufA, thdArrayA, xArray8);
                PlotVIDEOCurveB(adcbufB, thdArrayB, xArray8);
                PlotVIDEOBarGraph();
            }
        }
        ProcessSystemEvents();
    } while (stop_flag == 0);

    DimCommandButtons({PANEL_CmdButton13, PANEL_CmdButton11, PANEL_CmdButton4}, 0);
    SetVideoNotification(true);
    FlushOutQ(com);
    FlushInQ(com);
}
