// What the operator set last time comes back at the next start: the port (by
// device path), the recorder's folder, sample count and
// interval, the chart zoom, the main window's place and the parameter-file
// folder.
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "com232.h"
#include "kvex_main.h"
#include "recorder.h"
#include "rs232.h"
#include "ui.h"

namespace {

// The number of the remembered device, if it is there today (a typed path
// the machine does not list gets the next free number), or 0.
int RememberedPortNumber() {
    char device[260] = "";
    if (!GetSettingText("port/device", device, sizeof device) || device[0] == '\0') return 0;
    if (access(device, F_OK) != 0) return 0;
    return PortNumberFor(device);
}

void RestoreRecorder() {
    const int samples = GetSettingNumber("recorder/samples", -1);
    const int interval = GetSettingNumber("recorder/interval", -1);
    if (samples >= 0 && samples <= 65535)
        SetCtrlVal(panelPopUp, POPUP_NEDITRecSamples, static_cast<unsigned short>(samples));
    if (interval >= 0 && interval <= 65535)
        SetCtrlVal(panelPopUp, POPUP_NEDITRecTime, static_cast<unsigned short>(interval));
    const int format = GetSettingNumber("recorder/format", 0);
    SetCtrlVal(panelPopUp, POPUP_RecFormat, format == 1 ? 1 : 0);
    CalcRecTime();
}

}  // namespace

void RestoreRememberedSettings() {
    if (!portFromCommandLine) {
        // The port used last, found by its device; else the first one.
        const int n = RememberedPortNumber();
        com = n > 0 ? n : 1;
    }
    // The memory target is not among them: every start writes to RAM until
    // the operator chooses otherwise, so no send after a restart writes the
    // EEPROM unawares.
    RestoreRecorder();
    SetCtrlVal(pHandle, PANEL_TOGBTN_Zoom, GetSettingNumber("chart/zoom", 0) ? 1 : 0);
    RestorePanelGeometry(pHandle);
}

void RememberPort() {
    if (unattended) return;
    char device[260] = "";
    if (GetComPortDevice(com, device, sizeof device) == 0 && device[0] != '\0')
        SetSettingText("port/device", device);
}
