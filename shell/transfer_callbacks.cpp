// Send, get, reset, teach and the memory-target radio buttons.
#include <cstdio>
#include <initializer_list>

#include "com232.h"
#include "exchange.h"
#include "frame.h"
#include "kvex_main.h"
#include "parafile.h"
#include "rs232.h"
#include "ui.h"

bool GetParameterFrames() {
    bool answered = true;
    for (unsigned short frame : {0, 1}) {
        if (frame == 1) Delay(0.1);
        PushGET(static_cast<unsigned short>(target), frame);
        answered = answered && rx_flag == 1 && !line_lost;
    }
    return answered;
}

int CC_BTNGet(int, int, int event, void *, int, int) {
    if (event != EVENT_COMMIT || !BeginLinkOperation()) return 0;
    if (target == 3) ReadParaFromFile();
    GetParameterFrames();
    EndLinkOperation();
    return 0;
}

namespace {

// Writes one frame to the sensor; no answer is awaited.
int SendFrame(unsigned short command, unsigned short frame, const char *doneText) {
    parameter[PW_SUBARG] = frame;
    CopyVarsToPP(frame);
    FlushQueues();
    SendRequest(com, command, frame, pp);
    if (nBytesW == FRAME_BYTES && doneText) ShowText(doneText);
    return nBytesW;
}

// Reads both frames back from the memory just written, without touching the
// parameter words, and counts the words that differ from what was sent.
// Returns -1 when a frame did not come back.
int CountDifferingWords(unsigned short readCommand) {
    int differ = 0;
    for (unsigned short frame : {0, 1}) {
        if (frame == 1) Delay(0.1);
        unsigned short sent[FRAME_WORDS];
        CopyVarsToPP(frame);
        for (int i = 0; i < FRAME_WORDS; ++i) sent[i] = pp[i];
        FlushQueues();
        SendRequest(com, readCommand, frame, pp);
        if (!WaitRxFull()) return -1;
        for (int i = 0; i < FRAME_WORDS; ++i) differ += pp[i] != sent[i];
    }
    return differ;
}

}  // namespace

int SendToSensor() {
    parameter[PW_HEADER] = FRAME_HEADER;
    const bool eeprom = target == 2;
    const unsigned short command = eeprom ? CMD_WRITE_EEPROM : CMD_WRITE_RAM;
    parameter[PW_COMMAND] = command;
    GetPanelValues();
    SendFrame(command, 0, "Sending Para-Frame 1 ...");
    Delay(0.1);
    if (SendFrame(command, 1, nullptr) != FRAME_BYTES) return -1;

    // The sensor says nothing to a write: only reading the words back shows
    // that they arrived.
    Delay(0.1);
    ShowText("Checking the parameters sent ...");
    const int differ = CountDifferingWords(eeprom ? CMD_READ_EEPROM : CMD_READ_RAM);
    const char *memory = eeprom ? "EEPROM" : "RAM";
    char text[72];
    if (line_lost) return -1;
    if (differ == 0) {
        ShowStatusText("Line Ok!");
        return 0;
    }
    if (differ < 0)
        std::snprintf(text, sizeof text, "Send to %s not confirmed: no read-back!", memory);
    else
        std::snprintf(text, sizeof text, "Send to %s failed: %d of 30 words differ!", memory,
                      differ);
    ShowStatusText(text);
    return differ < 0 ? -1 : differ;
}

int CC_BTNSend(int, int, int event, void *, int, int) {
    if (event != EVENT_COMMIT || !BeginLinkOperation()) return 0;
    ShowText("Transmit...");
    if (target == 3) {
        char folder[260];
        RememberedFolder("parameters/folder", folder);
        if (FileSelectPopup(folder, "KVEXpara.cfg", "*.cfg", "K-VEX-RB-Series Parameter File",
                            VAL_OK_BUTTON, 0, 1, 1, 1, file_name) > 0)
            SendParaToFile();
    } else {
        SendToSensor();
    }
    EndLinkOperation();
    return 0;
}

int CC_ButtonReset(int, int, int event, void *, int, int) {
    if (event != EVENT_COMMIT || !BeginLinkOperation()) return 0;
    ResetMaxMin();
    EndLinkOperation();
    return 0;
}

int CC_ButtonTeach(int, int, int event, void *, int, int) {
    if (event != EVENT_COMMIT || !BeginLinkOperation()) return 0;
    parameter[PW_COMMAND] = CMD_TEACH;
    FlushQueues();
    GetPanelValues();
    CopyVarsToPP(0);
    SendRequest(com, CMD_TEACH, 0, pp);
    ShowText("New setpoint value teached!");

    const int result = AwaitReply(TIMEOUT);
    if (result == EXCHANGE_OK) {
        // The sensor took the edge positions: read them back from RAM.
        PushGET(1, 0);
        Delay(0.1);
        PushGET(1, 1);
        Delay(0.1);
    } else if (result == EXCHANGE_TIMEOUT) {
        ShowText("Timeout RS232-Line!");
        stop_flag = 1;
    }
    SetGraphCursor(pHandle, PANEL_GraphBarA, 1, parameter[PW_TEACH_A], 0.75);
    SetGraphCursor(pHandle, PANEL_GraphBarB, 1, parameter[PW_TEACH_B], 0.75);
    EndLinkOperation();
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
        SetSettingNumber("transfer/memory", target);
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
