// Parameter reads, max/min reset.
#include "com232.h"
#include "gui.h"
#include "kvex_main.h"
#include "rs232.h"
#include "ui.h"

void PushGET(unsigned short source, unsigned short frame) {
    if (source != 3) {
        const unsigned short command = (source == 1) ? 2 : 4;
        parameter[PW_COMMAND] = command;
        CopyVarsToPP(frame);
        FlushQueues();
        if (WriteFrame(com, command, frame, pp) == 36) ShowText("Waiting for parameter-frame ...");
        rx_flag = 0;

        const double t0 = Timer();
        for (;;) {
            ProcessSystemEvents();
            if (rx_flag == 1) {
                GetRxBuf();
                CopyPPtoVars(frame);
                SetStatus("Parameter-frame received! - Line Ok!");
                break;
            }
            if (Timer() - t0 > TIMEOUT) {
                SetStatus("Timeout-RS-232...");
                break;
            }
        }
    }
    ShowStatus();
    if (frame == 1) {
        SetPanelValues();
        unsigned short mode = 0;
        GetCtrlVal(pPara1, PARA1_DropEvalMode, &mode);
        PlotTOLWindow(mode, parameter[PW_TEACH_A], parameter[PW_TEACH_B]);
    }
}

void ResetMaxMin() {
    parameter[PW_COMMAND] = 11;
    FlushQueues();
    rx_flag = 0;
    WriteFrame(com, 11, 0, pp);
    ShowText("Reset Max/Min values...");

    const double t0 = Timer();
    double elapsed = 0.0;
    do {
        if (rx_flag == 1) break;
        ProcessSystemEvents();
        elapsed = Timer() - t0;
    } while (elapsed < TIMEOUT);
    SetStatus(elapsed > TIMEOUT ? "Timeout-RS-232..." : "Reset Max/Min OK!");
    ShowStatus();
}
