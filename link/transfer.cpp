// Parameter reads, max/min reset.
#include "com232.h"
#include "exchange.h"
#include "frame.h"
#include "rs232.h"

void PushGET(unsigned short source, unsigned short frame) {
    if (source != 3) {
        const unsigned short command = (source == 1) ? CMD_READ_RAM : CMD_READ_EEPROM;
        parameter[PW_COMMAND] = command;
        CopyVarsToPP(frame);
        FlushQueues();
        if (SendRequest(com, command, frame, pp) == FRAME_BYTES)
            ShowText("Waiting for parameter-frame ...");
        // Only a reply to this very request reaches the frame's words.
        if (WaitRxFull()) {
            CopyPPtoVars(frame);
            SetStatus("Parameter-frame received! - Line Ok!");
        }
    }
    if (line_lost) return;  // the text of the lost line stays
    ShowStatus();
    if (frame == 1 && link_display.parameterSet) link_display.parameterSet();
}

void ResetMaxMin() {
    parameter[PW_COMMAND] = CMD_RESET_MAXMIN;
    FlushQueues();
    if (!RequestWentOut(SendRequest(com, CMD_RESET_MAXMIN, 0, pp))) {
        ShowStatus();
        return;
    }
    ShowText("Reset Max/Min values...");
    if (AwaitReply(TIMEOUT) == EXCHANGE_LINE_LOST) return;
    SetStatus(rx_flag ? "Reset Max/Min OK!" : "Timeout-RS-232...");
    ShowStatus();
}
