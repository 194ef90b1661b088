// Send, get, reset, teach and the memory-target radio buttons.
#include <cstdio>
#include <initializer_list>

#include "com232.h"
#include "exchange.h"
#include "frame.h"
#include "gui.h"
#include "kvex_main.h"
#include "parafile.h"
#include "rs232.h"
#include "ui.h"

// A first frame that did not come ends the get: the second request could
// only be answered by the first one's late reply, and the panels stay as
// they were.
bool GetParameterFrames() {
    const bool fromSensor = target != 3;
    PushGET(static_cast<unsigned short>(target), 0);
    if (fromSensor && (rx_flag != 1 || line_lost)) return false;
    Delay(0.1);
    PushGET(static_cast<unsigned short>(target), 1);
    return !fromSensor || (rx_flag == 1 && !line_lost);
}

int CC_BTNGet(int, int, int event, void *, int, int) {
    if (event != EVENT_COMMIT || !BeginLinkOperation()) return 0;
    if (!ConfirmDiscardEdits(target == 3 ? "Loading the parameter file" : "Get parameters")) {
        EndLinkOperation();
        return 0;
    }
    // A file that was refused, or a dialog that was cancelled, leaves the
    // panels as the operator had them.
    if (target != 3 || ReadParaFromFile() == 1)
        GetParameterFrames();
    else if (szStatus[0] != '\0')
        ShowStatus();
    EndLinkOperation();
    return 0;
}

namespace {

// Writes one frame to the sensor; no answer is awaited.
int SendFrame(unsigned short command, unsigned short frame, const char *doneText) {
    parameter[PW_SUBARG] = frame;
    CopyVarsToPP(frame);
    FlushQueues();
    const int written = SendRequest(com, command, frame, pp);
    if (RequestWentOut(written) && doneText) ShowText(doneText);
    return written;
}

// Reads both frames back from the memory just written, without touching the
// parameter words: what the sensor holds goes to readBack, and which words
// differ from what was sent to differs (frame * 15 + word). Returns the
// number that differ, or -1 when a frame did not come back.
int CountDifferingWords(unsigned short readCommand, unsigned short readBack[2][FRAME_WORDS],
                        bool differs[2 * FRAME_WORDS]) {
    int differ = 0;
    for (unsigned short frame : {0, 1}) {
        if (frame == 1) Delay(0.1);
        unsigned short sent[FRAME_WORDS];
        CopyVarsToPP(frame);
        for (int i = 0; i < FRAME_WORDS; ++i) sent[i] = pp[i];
        FlushQueues();
        if (!RequestWentOut(SendRequest(com, readCommand, frame, pp)) || !WaitRxFull()) return -1;
        for (int i = 0; i < FRAME_WORDS; ++i) {
            readBack[frame][i] = pp[i];
            differs[frame * FRAME_WORDS + i] = pp[i] != sent[i];
            differ += pp[i] != sent[i];
        }
    }
    return differ;
}

// "frame 0 words 5, 6; frame 1 word 2", cut with "..." where it is long.
void NameDifferingWords(const bool differs[2 * FRAME_WORDS], char *out, std::size_t size) {
    std::size_t used = 0;
    out[0] = '\0';
    for (int frame = 0; frame < 2; ++frame) {
        int inFrame = 0;
        for (int i = 0; i < FRAME_WORDS; ++i) inFrame += differs[frame * FRAME_WORDS + i];
        if (inFrame == 0) continue;
        int n = std::snprintf(out + used, size - used, "%sframe %d word%s", used ? "; " : "", frame,
                              inFrame == 1 ? "" : "s");
        int listed = 0;
        for (int i = 0; i < FRAME_WORDS && n > 0 && used + n < size; ++i) {
            if (!differs[frame * FRAME_WORDS + i]) continue;
            used += n;
            n = std::snprintf(out + used, size - used, "%s %d", listed++ ? "," : "", i);
        }
        if (n > 0 && used + n < size) used += n;
        if (used + 4 >= size) {
            std::snprintf(out + (size > 4 ? size - 4 : 0), 4, "...");
            return;
        }
    }
}

// The sensor did not take all that was sent: from now on the program
// measures with what the sensor holds, and the panels keep the operator's
// values, marked as not sent.
void TakeSensorsWords(unsigned short readBack[2][FRAME_WORDS]) {
    for (unsigned short frame : {0, 1}) {
        for (int i = 0; i < FRAME_WORDS; ++i) pp[i] = readBack[frame][i];
        CopyPPtoVars(frame);
    }
    NoteSensorParameters(parameter);
    ShowSensorLimits();
}

// A send that the line's loss cut off: in the EEPROM that may leave a set
// that is neither the old one nor the new one, which the sensor would start
// with from then on.
int SendCutOff(bool eeprom) {
    if (line_lost && eeprom)
        ShowText(
            "Line lost during the send to EEPROM: it may now hold a mix of old and new words - "
            "send again once the line is back");
    return -1;
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
    if (SendFrame(command, 1, nullptr) != FRAME_BYTES) return SendCutOff(eeprom);

    // The sensor says nothing to a write: only reading the words back shows
    // that they arrived.
    Delay(0.1);
    ShowText("Checking the parameters sent ...");
    unsigned short readBack[2][FRAME_WORDS] = {};
    bool differs[2 * FRAME_WORDS] = {};
    const int differ =
        CountDifferingWords(eeprom ? CMD_READ_EEPROM : CMD_READ_RAM, readBack, differs);
    const char *memory = eeprom ? "EEPROM" : "RAM";
    char text[200];
    if (line_lost) return SendCutOff(eeprom);
    if (differ == 0) {
        SetStatus("Line Ok!");
        std::snprintf(text, sizeof text, "Line Ok! - Sent to %s: 30 of 30 words confirmed", memory);
        ShowText(text);
        NoteShownParameters();
        ShowSensorLimits();  // the limits in force now, not at the next run
        return 0;
    }
    if (differ < 0) {
        std::snprintf(text, sizeof text, "Send to %s not confirmed: no read-back!", memory);
        ShowStatusText(text);
        return -1;
    }
    std::snprintf(text, sizeof text, "Send to %s failed: %d of 30 words differ!", memory, differ);
    SetStatus(text);
    char which[120];
    NameDifferingWords(differs, which, sizeof which);
    char full[400];
    std::snprintf(full, sizeof full, "%s (%s); the sensor's words are in use", text, which);
    TakeSensorsWords(readBack);
    ShowText(full);
    return differ;
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
    } else if (target != 2 ||
               ConfirmChoicePopup(
                   "Send to EEPROM",
                   "Write both parameter frames into the sensor's EEPROM?\n\nThe EEPROM keeps "
                   "them through a power cycle: they replace the sensor's permanent parameters.",
                   "Write EEPROM", "Cancel") == 1) {
        SendToSensor();
    } else {
        ShowText("Not sent: writing the EEPROM was cancelled");
    }
    EndLinkOperation();
    return 0;
}

int CC_ButtonReset(int, int, int event, void *, int, int) {
    if (event != EVENT_COMMIT || !BeginLinkOperation()) return 0;
    ResetMaxMin();
    if (rx_flag == 1 && !line_lost) ShowResetMaxMin();
    EndLinkOperation();
    return 0;
}

int CC_ButtonTeach(int, int, int event, void *, int, int) {
    if (event != EVENT_COMMIT || !BeginLinkOperation()) return 0;
    parameter[PW_COMMAND] = CMD_TEACH;
    FlushQueues();
    GetPanelValues();
    CopyVarsToPP(0);
    const bool sent = RequestWentOut(SendRequest(com, CMD_TEACH, 0, pp));
    if (sent) ShowText("New setpoint value teached!");

    const int result = sent ? AwaitReply(TIMEOUT) : EXCHANGE_LINE_LOST;
    if (!sent) {
        ShowStatus();
    } else if (result == EXCHANGE_OK) {
        // The sensor took the edge positions: read them back from RAM,
        // frame 1 only when frame 0 came.
        PushGET(1, 0);
        Delay(0.1);
        if (rx_flag == 1 && !line_lost) {
            PushGET(1, 1);
            Delay(0.1);
        }
        if (rx_flag == 1 && !line_lost) {
            char text[200];
            // What was taught first: on a narrow status line it stays in view.
            std::snprintf(text, sizeof text, "Taught: teach A %u, teach B %u - %s",
                          static_cast<unsigned>(parameter[PW_TEACH_A]),
                          static_cast<unsigned>(parameter[PW_TEACH_B]), szStatus);
            ShowText(text);
        }
    } else if (result == EXCHANGE_TIMEOUT) {
        ShowText("Timeout RS232-Line!");
        StopMeasuring();
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
