// Send, get, reset, teach and the memory-target radio buttons.
#include "com232.h"
#include "kvex_main.h"
#include "parafile.h"
#include "rs232.h"
#include "ui.h"

int CC_BTNGet(int, int, int event, void *, int, int) {
    if (event != EVENT_COMMIT) return 0;
    if (target == 3) ReadParaFromFile();
    PushGET(static_cast<unsigned short>(target), 0);
    Delay(0.1);
    PushGET(static_cast<unsigned short>(target), 1);
    return 0;
}

namespace {

// Writes one frame to the sensor; no answer is awaited.
void SendFrame(unsigned short command, unsigned short frame, const char *doneText) {
    parameter[PW_SUBARG] = frame;
    CopyVarsToPP(frame);
    FlushQueues();
    rx_flag = 0;
    FillTxBuf(command, frame, pp);
    nBytesW = ComWrt(com, reinterpret_cast<const char *>(szWriteBuf), 36);
    if (nBytesW == 36) ShowText(doneText);
}

}  // namespace

int CC_BTNSend(int, int, int event, void *, int, int) {
    if (event != EVENT_COMMIT) return 0;
    ShowText("Transmit...");
    if (target == 3) {
        if (FileSelectPopup(proj_dir, "KVEXpara.cfg", "*.cfg", "K-VEX-RB-Series Parameter File",
                            VAL_OK_BUTTON, 0, 1, 1, 1, file_name) > 0)
            SendParaToFile();
        return 0;
    }
    parameter[PW_HEADER] = 0x0055;
    const unsigned short command = (target == 2) ? 3 : 1;
    parameter[PW_COMMAND] = command;
    GetPanelValues();
    SendFrame(command, 0, "Sending Para-Frame 1 ...");
    Delay(0.1);
    SendFrame(command, 1, "Line Ok!");
    return 0;
}

int CC_ButtonReset(int, int, int event, void *, int, int) {
    if (event == EVENT_COMMIT) ResetMaxMin();
    return 0;
}

int CC_ButtonTeach(int, int, int event, void *, int, int) {
    if (event != EVENT_COMMIT) return 0;
    parameter[PW_COMMAND] = 6;
    FlushQueues();
    GetPanelValues();
    CopyVarsToPP(0);
    FillTxBuf(6, 0, pp);
    nBytesW = ComWrt(com, reinterpret_cast<const char *>(szWriteBuf), 36);
    ShowText("New setpoint value teached!");

    rx_flag = 0;
    const double t0 = Timer();
    for (;;) {
        if (rx_flag == 1) {
            // The sensor took the edge positions: read them back from RAM.
            PushGET(1, 0);
            Delay(0.1);
            PushGET(1, 1);
            Delay(0.1);
            break;
        }
        if (Timer() - t0 > TIMEOUT) {
            ShowText("Timeout RS232-Line!");
            stop_flag = 1;
            break;
        }
        ProcessSystemEvents();
    }
    SetGraphCursor(pHandle, PANEL_GraphBarA, 1, parameter[PW_TEACH_A], 0.75);
    SetGraphCursor(pHandle, PANEL_GraphBarB, 1, parameter[PW_TEACH_B], 0.75);
    return 0;
}

namespace {

struct TargetButton {
    int control;
    int target;
};
const TargetButton kTargets[] = {
    {PANEL_RBTRam, 1},
    {PANEL_RBTEeprom, 2},
    {PANEL_RBTFile, 3},
};

// Exactly one target is on; switching the active one off falls back to RAM.
int SelectTarget(int control, int event) {
    if (event != EVENT_VAL_CHANGED) return 0;
    int on = 0;
    GetCtrlVal(pHandle, control, &on);
    if (on) {
        for (const auto &t : kTargets) {
            SetCtrlVal(pHandle, t.control, t.control == control ? 1 : 0);
            if (t.control == control) target = t.target;
        }
    } else {
        target = 1;
        SetCtrlVal(pHandle, PANEL_RBTRam, 1);
    }
    return 0;
}

}  // namespace

int CC_RBTRam(int, int, int event, void *, int, int) { return SelectTarget(PANEL_RBTRam, event); }
int CC_RBTEeprom(int, int, int event, void *, int, int) {
    return SelectTarget(PANEL_RBTEeprom, event);
}
int CC_RBTFile(int, int, int event, void *, int, int) { return SelectTarget(PANEL_RBTFile, event); }
