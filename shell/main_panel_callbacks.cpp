// The operator's mode, port, threshold, teach and sub-panel controls.
#include <initializer_list>

#include "com232.h"
#include "exchange.h"
#include "gui.h"
#include "kvex_main.h"
#include "modes.h"
#include "replay.h"
#include "rs232.h"
#include "ui.h"

int CC_BTNRun(int, int, int event, void *, int, int) {
    if (event == EVENT_COMMIT && !ReplayShown()) PushRUN();
    return 0;
}

int CC_BTNVideo(int, int, int event, void *, int, int) {
    if (event != EVENT_COMMIT || LinkBusy() || ReplayShown()) return 0;
    SetCtrlVal(pHandle, PANEL_RBTRam, 1);
    target = 1;
    SetCtrlVal(pHandle, PANEL_RBTEeprom, 0);
    SetCtrlVal(pHandle, PANEL_RBTFile, 0);
    PushVIDEO();
    return 0;
}

// Stop (and Esc) also ends a replay: back to the live front-end.
int CC_BTNStop(int, int, int event, void *, int, int) {
    if (event != EVENT_LEFT_CLICK) return 0;
    if (ReplayShown())
        EndReplay();
    else
        RequestStop();
    return 0;
}

int CC_DropDCom(int, int, int event, void *, int, int) {
    if (event == EVENT_RING_OPENING) {
        // A USB adapter plugged in since the last look is listed too.
        RelistPorts();
        return 0;
    }
    if (event != EVENT_COMMIT) return 0;
    if (!BeginLinkOperation()) {
        SetCtrlVal(pHandle, PANEL_DropDCom, com);  // the port in use stays shown
        return 0;
    }
    int chosen = 0;
    GetCtrlVal(pHandle, PANEL_DropDCom, &chosen);
    if (chosen == kRescanPorts) {
        RelistPorts();
        ShowText("Ports listed again");
        EndLinkOperation();
        return 0;
    }
    if (chosen == kOtherDevice) {
        // A device the machine does not list (a by-id path, a network
        // adapter): chosen, or typed, in the file dialog.
        char device[260] = "";
        const int picked = FileSelectPopup("/dev", "", "*", "Serial device of the sensor",
                                           VAL_SELECT_BUTTON, 0, 0, 1, 0, device);
        chosen = picked == 1 ? PortNumberFor(device) : 0;
        if (chosen == 0) {
            if (picked == 2) ShowStatusText("No such device - choose a port");
            RelistPorts();
            EndLinkOperation();
            return 0;
        }
        FillComPortRing();
        SetCtrlVal(pHandle, PANEL_DropDCom, chosen);
    }
    if (chosen < 1) {  // the entry that tells of a lost line
        EndLinkOperation();
        return 0;
    }
    // Opening a port reads the sensor's parameters onto the panels.
    if (!ConfirmDiscardEdits("Opening the port reads the sensor's parameters and")) {
        RelistPorts();
        EndLinkOperation();
        return 0;
    }
    StopReconnecting();
    StopMeasuring();
    CloseCom(com);
    com = chosen;
    if (portRingShowsLoss) FillComPortRing();
    ShowText("Init COM-Port ...");
    InitRS232(com);
    NoteLinkOpened();
    RememberPort();  // the operator's choice, whether or not a sensor answers yet
    EndLinkOperation();
    return 0;
}

int CC_SLIDEVideoTHD_A(int, int, int event, void *, int, int) {
    if (event != EVENT_VAL_CHANGED) return 0;
    unsigned short percent = 0;
    GetCtrlVal(pPara2, PARA2_SLIDEVideoTHD_A, &percent);
    FillThresholdArray(thdArrayA, percent);
    PlotVIDEOCurveA(adcbufA, thdArrayA, xArray8);
    return 0;
}

int CC_SLIDEVideoTHD_B(int, int, int event, void *, int, int) {
    if (event != EVENT_VAL_CHANGED) return 0;
    unsigned short percent = 0;
    GetCtrlVal(pPara2, PARA2_SLIDEVideoTHD_B, &percent);
    FillThresholdArray(thdArrayB, percent);
    PlotVIDEOCurveB(adcbufB, thdArrayB, xArray8);
    return 0;
}

int CC_NEDITeachA(int, int, int event, void *, int, int) {
    if (event != EVENT_COMMIT) return 0;
    unsigned short v = 0;
    GetCtrlVal(pHandle, PANEL_NEDITeachA, &v);
    SetGraphCursor(pHandle, PANEL_GraphBarA, 2, v, 1.0);
    return 0;
}

int CC_NEDITeachB(int, int, int event, void *, int, int) {
    if (event != EVENT_COMMIT) return 0;
    unsigned short v = 0;
    GetCtrlVal(pHandle, PANEL_NEDITeachB, &v);
    SetGraphCursor(pHandle, PANEL_GraphBarB, 2, v, 1.0);
    return 0;
}

namespace {

void SetTeachCursorMarkers(int style) {
    SetCursorAttribute(pHandle, PANEL_GraphBarA, 2, ATTR_CURSOR_POINT_STYLE, style);
    SetCursorAttribute(pHandle, PANEL_GraphBarB, 2, ATTR_CURSOR_POINT_STYLE, style);
}

}  // namespace

int CC_DropEvalMode(int, int, int event, void *, int, int) {
    if (event != EVENT_COMMIT) return 0;
    unsigned short mode = 0;
    GetCtrlVal(pPara1, PARA1_DropEvalMode, &mode);
    // Which teach values the mode uses decides which edits stay live.
    int dimA = 0, dimB = 1;
    bool markers = false;
    unsigned short yMax = ccdvirtpixel;
    switch (mode) {
        case 0:
            dimA = 1, dimB = 0, markers = true;
            break;
        case 1:
            dimA = 0, dimB = 1, markers = true;
            break;
        case 2:
            dimA = 0, dimB = 0, markers = true, yMax = 2 * ccdvirtpixel;
            break;
        case 3:
            dimA = 1, dimB = 1, yMax = 2 * ccdvirtpixel;
            break;
        case 4:
            dimA = 0, dimB = 0, yMax = 2 * ccdvirtpixel;
            break;
        default:
            break;
    }
    SetCtrlAttribute(pHandle, PANEL_NEDITeachA, ATTR_DIMMED, dimA);
    SetCtrlAttribute(pHandle, PANEL_NEDITeachB, ATTR_DIMMED, dimB);
    if (markers) SetTeachCursorMarkers(VAL_NO_POINT);
    yaxisMAX = yMax;
    return 0;
}

int CC_DROPHardwareMode(int, int, int event, void *, int, int) {
    if (event == EVENT_COMMIT) DimToleranceEdits();
    return 0;
}

namespace {

struct SubPanelToggle {
    int toggle;
    int *panel;
};
const SubPanelToggle kSubPanels[] = {
    {PANEL_TOGGBTN_Para1, &pPara1},
    {PANEL_TOGGBTN_Para2, &pPara2},
    {PANEL_TOGGBTN_Calib, &pCalib},
};

// The mouse-down clears the other toggles; the commit shows the toggle's own
// sub-panel, whatever the toggle's state, so exactly one sub-panel is shown.
int SwitchSubPanel(int toggle, int event) {
    if (event == EVENT_LEFT_CLICK) {
        for (const auto &s : kSubPanels)
            if (s.toggle != toggle) SetCtrlVal(pHandle, s.toggle, 0);
    } else if (event == EVENT_COMMIT) {
        int own = 0;
        for (const auto &s : kSubPanels) {
            if (s.toggle != toggle)
                HidePanel(*s.panel);
            else
                own = *s.panel;
        }
        DisplayPanel(own);
    }
    return 0;
}

}  // namespace

int CC_TOGGBTN_Para1(int, int, int event, void *, int, int) {
    return SwitchSubPanel(PANEL_TOGGBTN_Para1, event);
}
int CC_TOGGBTN_Para2(int, int, int event, void *, int, int) {
    return SwitchSubPanel(PANEL_TOGGBTN_Para2, event);
}
int CC_TOGGBTN_Calib(int, int, int event, void *, int, int) {
    return SwitchSubPanel(PANEL_TOGGBTN_Calib, event);
}

// The strip chart reads the zoom toggle each time it draws; the toggle also
// rescales it at once, so a stopped chart follows its button too.
int CC_TOGBTN_Zoom(int, int, int event, void *, int, int) {
    if (event != EVENT_COMMIT) return 0;
    int on = 0;
    GetCtrlVal(pHandle, PANEL_TOGBTN_Zoom, &on);
    SetSettingNumber("chart/zoom", on);
    ApplyHistoryScale();
    return 0;
}

int CC_NEDITTolLeff(int, int, int, void *, int, int) { return 0; }
