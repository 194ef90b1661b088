// Main module: start-up, shutdown and the two panel callbacks.
#include "kvex_main.h"

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "com232.h"
#include "exchange.h"
#include "file_checks.h"
#include "gauge_dialog.h"
#include "gui.h"
#include "logo.h"
#include "modes.h"
#include "publish.h"
#include "recorder.h"
#include "replay.h"
#include "rs232.h"
#include "stats_window.h"
#include "ui.h"

bool portRingShowsLoss = false;

// Lists the known ports by number and device, so the operator sees what each
// number stands for.
void FillComPortRing() {
    ClearListCtrl(pHandle, PANEL_DropDCom);
    portRingShowsLoss = false;
    const int count = GetComPortCount();
    for (int n = 1; n <= count; ++n) {
        char device[200] = "", about[200] = "";
        GetComPortDevice(n, device, sizeof device);
        GetComPortDescription(n, about, sizeof about);
        char label[420];
        if (about[0] != '\0')
            std::snprintf(label, sizeof label, "%d: %s - %s", n, device, about);
        else
            std::snprintf(label, sizeof label, "%d: %s", n, device);
        InsertListItem(pHandle, PANEL_DropDCom, -1, label, n);
    }
    if (count < com) {
        // Keep the current number choosable even when no device stands behind it.
        char label[32];
        std::snprintf(label, sizeof label, "%d: (none)", com);
        InsertListItem(pHandle, PANEL_DropDCom, -1, label, com);
    }
    InsertListItem(pHandle, PANEL_DropDCom, -1, "Rescan ports", kRescanPorts);
    InsertListItem(pHandle, PANEL_DropDCom, -1, "Other device...", kOtherDevice);
    SetCtrlVal(pHandle, PANEL_DropDCom, com);
}

void InitVars() {
    InitSessionVars();

    ShowStatusText("InitVars");
    SetCtrlVal(pHandle, PANEL_TOGGBTN_Recorder, 0);

    InitRecordFile();
    CalcRecTime();
    ShowLogo(2);

    GetPanelValues();

    DeleteGraphPlot(pHandle, PANEL_GraphBarA, -1, VAL_IMMEDIATE_DRAW);
    DeleteGraphPlot(pHandle, PANEL_GraphBarB, -1, VAL_IMMEDIATE_DRAW);
    SetGraphCursor(pHandle, PANEL_GraphBarA, 1, 0.0, 1.0);
    SetGraphCursor(pHandle, PANEL_GraphBarB, 1, 0.0, 1.0);
    SetCursorAttribute(pHandle, PANEL_GraphBarA, 2, ATTR_CURSOR_POINT_STYLE, VAL_NO_POINT);
    SetCursorAttribute(pHandle, PANEL_GraphBarB, 2, ATTR_CURSOR_POINT_STYLE, VAL_NO_POINT);
    PlotTOLWindow(parameter[PW_EVALMODE], 0, 0);

    FillThresholdArray(thdArrayA, parameter[PW_THD_A]);
    FillThresholdArray(thdArrayB, parameter[PW_THD_B]);
    ClearHistory();
}

void InitGUI() {
    for (int panel : {pPara1, pPara2, pCalib}) {
        SetPanelAttribute(panel, ATTR_LEFT, 8);
        SetPanelAttribute(panel, ATTR_TOP, 72);
    }
    DimToleranceEdits();
    FillComPortRing();
}

namespace {

// One line on standard error: the operator of a program that will not start
// learns which file, which panel and what is wrong.
char panelFileRefusal[400];
// The first callback name of the file that the program does not have.
char unknownCallback[200];

void NoteUnknownCallback(const char *report) {
    if (unknownCallback[0] == '\0')
        std::snprintf(unknownCallback, sizeof unknownCallback, "%s", report);
}

int RefusePanelFile(const char *file, const char *panel, int resourceId, const char *what) {
    std::snprintf(panelFileRefusal, sizeof panelFileRefusal,
                  "kvex: panel file %s, panel %s (%d): %s", file, panel, resourceId, what);
    // Names and kinds quoted from the file may hold line breaks of their own.
    for (char *c = panelFileRefusal; *c; ++c)
        if (static_cast<unsigned char>(*c) < 0x20 || *c == 0x7F) *c = '?';
    std::fprintf(stderr, "%s\n", panelFileRefusal);
    return -1;
}

// Every control the program uses is there and of the kind it expects, so
// that no text or value goes nowhere.
int CheckRequiredControls(const char *file) {
    struct Required {
        int panel;
        const char *panelName;
        int id;
        const char *name;
        const char *kind;
    };
#define KVEX_REQUIRED(panel, name, id, kind) {panel, #panel, id, #name, #kind},
    static const Required kRequired[] = {KVEX_CONTROLS(KVEX_REQUIRED)};
#undef KVEX_REQUIRED
    for (const Required &r : kRequired) {
        const char *kind = GetCtrlKind(*PanelHandle(r.panel), r.id);
        if (kind && std::strcmp(kind, r.kind) == 0) continue;
        char what[160];
        if (!kind)
            std::snprintf(what, sizeof what, "control %s (id %d) is missing", r.name, r.id);
        else
            std::snprintf(what, sizeof what, "control %s (id %d) is a %s, not a %s", r.name, r.id,
                          kind, r.kind);
        return RefusePanelFile(file, r.panelName, r.panel, what);
    }
    return 0;
}

}  // namespace

// Each panel must load with every control the program uses; otherwise the
// program ends before anything runs, saying why on standard error.
int LoadKVexPanels(const char *file) {
    panelFileRefusal[0] = '\0';
    RegisterKVexCallbacks();
    struct Load {
        int resourceId;
        const char *name;
        bool child;
    };
    static const Load kLoads[] = {
        {PANEL, "PANEL", false},  {PARA1, "PARA1", true},  {PARA2, "PARA2", true},
        {CALIB, "CALIB", true},   {POPUP, "POPUP", false}, {PUBLISH, "PUBLISH", false},
        {REPLAY, "REPLAY", true}, {STATS, "STATS", false}, {GAUGE, "GAUGE", false},
    };
    // A control whose callback the program lacks would do nothing when used:
    // such a file is refused like one that lacks the control.
    SetUnknownCallbackHandler(NoteUnknownCallback);
    for (const Load &l : kLoads) {
        int &handle = *PanelHandle(l.resourceId);
        unknownCallback[0] = '\0';
        handle = LoadPanel(l.child ? pHandle : 0, file, l.resourceId);
        if (handle > 0 && unknownCallback[0] != '\0') {
            DiscardPanel(handle);
            handle = -2;
        }
        if (handle < 0) {
            SetUnknownCallbackHandler(nullptr);
            return RefusePanelFile(file, l.name, l.resourceId,
                                   unknownCallback[0] ? unknownCallback : GetPanelFileError());
        }
    }
    SetUnknownCallbackHandler(nullptr);
    return CheckRequiredControls(file);
}

const char *PanelFileRefusal() { return panelFileRefusal; }

int *PanelHandle(int resourceId) {
    switch (resourceId) {
        case PANEL:
            return &pHandle;
        case PARA1:
            return &pPara1;
        case PARA2:
            return &pPara2;
        case CALIB:
            return &pCalib;
        case STATS:
            return &pStats;
        case PUBLISH:
            return &pPublish;
        case REPLAY:
            return &pReplay;
        case GAUGE:
            return &pGauge;
        default:
            return &panelPopUp;
    }
}

void DiscardKVexPanels() {
    EndReplay();  // its file and timers go with the panels
    DiscardPanel(pPara1);
    DiscardPanel(pPara2);
    DiscardPanel(pCalib);
    DiscardPanel(panelPopUp);
    DiscardPanel(pStats);
    DiscardPanel(pPublish);
    DiscardPanel(pReplay);
    DiscardPanel(pGauge);
    DiscardPanel(pHandle);
}

namespace {

constexpr int kErrorRed = 0xC00000, kTextBlack = 0x000000;

// What went wrong reads in red. The texts come from every module through the
// one status line, so they are told apart by how they begin.
bool IsErrorText(const char *text) {
    static const char *const kErrorStarts[] = {
        "Timeout",   "Error",       "read error", "Cannot",           "Not loaded",
        "Line lost", "No such",     "Send to",    "Record file gone", "Unknown",
        "Invalid",   "Port is not", "No serial",  "RS-232 error",     "Port in use",
    };
    for (const char *start : kErrorStarts)
        if (std::strncmp(text, start, std::strlen(start)) == 0) return true;
    // "COM 1 (...) is back: Cannot open port" and the like.
    return std::strstr(text, ": Cannot") != nullptr || std::strstr(text, "failed") != nullptr;
}

// The last texts with the time they came, for the operator who looked away.
constexpr int kLogEntries = 60;
// An entry holds a whole status text: one naming a file keeps its path.
char statusLog[kLogEntries][1024 + 12];
int statusLogNext = 0, statusLogCount = 0;
int statusColour = -1;

void LogStatusText(const char *text) {
    // Video mode's block texts come many times a second and tell nothing new.
    if (std::strncmp(text, "Waiting for", 11) == 0) return;
    if (statusLogCount > 0) {
        const char *last = statusLog[(statusLogNext + kLogEntries - 1) % kLogEntries];
        if (std::strcmp(last + 9, text) == 0) return;
    }
    std::snprintf(statusLog[statusLogNext], sizeof statusLog[0], "%s %s", TimeStr(), text);
    statusLogNext = (statusLogNext + 1) % kLogEntries;
    if (statusLogCount < kLogEntries) ++statusLogCount;
}

void ShowOnStatusLine(const char *text) {
    const int colour = IsErrorText(text) ? kErrorRed : kTextBlack;
    if (colour != statusColour)
        SetCtrlAttribute(pHandle, PANEL_StatusLine, ATTR_TEXT_COLOR, colour);
    statusColour = colour;
    SetCtrlVal(pHandle, PANEL_StatusLine, text);
    LogStatusText(text);
}

void ShowParameterSet() {
    SetPanelValues();
    unsigned short mode = 0;
    GetCtrlVal(pPara1, PARA1_DropEvalMode, &mode);
    PlotTOLWindow(mode, parameter[PW_TEACH_A], parameter[PW_TEACH_B]);
}

void ShowSensorIdentity(double axisEnd, const char *line0, const char *line1, const char *line2) {
    SetAxisScalingMode(pHandle, PANEL_GraphVideoA, VAL_XAXIS, VAL_MANUAL, 1.0, axisEnd);
    SetAxisScalingMode(pHandle, PANEL_GraphVideoB, VAL_XAXIS, VAL_MANUAL, 1.0, axisEnd);
    ReplaceTextBoxLine(pCalib, CALIB_SensorInfoBox, 0, line0);
    ReplaceTextBoxLine(pCalib, CALIB_SensorInfoBox, 1, line1);
    ReplaceTextBoxLine(pCalib, CALIB_SensorInfoBox, 2, line2);
}

}  // namespace

// The ring commits only on a new choice: with the lost port no longer
// selected, choosing it again reopens it.
void ShowPortLostInRing() {
    FillComPortRing();
    InsertListItem(pHandle, PANEL_DropDCom, 0, "Line lost - choose a port", 0);
    SetCtrlVal(pHandle, PANEL_DropDCom, 0);
    portRingShowsLoss = true;
}

namespace {

// The device of the lost port, watched until a sensor answers on it again or
// the operator chooses a port; a newer watch makes an older one end. What the
// lost sensor said of itself tells whether the one that answers is the same.
char lostDevice[260];
std::intptr_t reconnectWatch = 0;
char lostIdentity[200];
bool reconnectTold = false;  // the first failed attempt said so; the others are quiet

void SensorIdentity(char *out, std::size_t size) {
    std::snprintf(out, size, "%u/%u/%u/%u/%u/%u|%s", ccdtype, ccdmaxpixel, pcbtype, ccdvirtpixel,
                  softversion, refdistance, szVersion);
}

void KeepQuiet(const char *) {}

// One attempt: the start-up questions on the device, with their texts held
// back, since they would repeat once a second while no sensor answers.
bool TryReconnect(const char *device) {
    void (*status)(const char *) = link_display.status;
    link_display.status = KeepQuiet;
    CloseCom(com);
    InitRS232(com);
    link_display.status = status;
    if (!LinkReady()) {
        if (!reconnectTold) {
            char text[400];
            std::snprintf(text, sizeof text,
                          "COM %d (%s) is back, no sensor answers yet: %s - trying again", com,
                          device, szStatus);
            ShowText(text);
            reconnectTold = true;
        }
        return false;
    }
    NoteLinkOpened();
    FillComPortRing();
    char identity[200], text[400];
    SensorIdentity(identity, sizeof identity);
    if (std::strcmp(identity, lostIdentity) == 0)
        std::snprintf(text, sizeof text, "Reconnected to COM %d (%s)", com, device);
    else
        std::snprintf(text, sizeof text, "Another sensor on COM %d (%s): %s", com, device,
                      sensorFirmware);
    SetStatus(text);  // kept cut to its buffer; the status line shows it whole
    ShowText(text);
    return true;
}

// Looks once a second until a sensor answers the start-up questions on the
// lost device: it may come back busy (another program holds it for a while)
// or silent (a sensor still starting), and either may last.
void WatchForLostDevice(void *watch) {
    if (reinterpret_cast<std::intptr_t>(watch) != reconnectWatch) return;
    char device[260] = "";
    GetComPortDevice(com, device, sizeof device);
    const bool back =
        device[0] != '\0' && std::strcmp(device, lostDevice) == 0 && access(device, F_OK) == 0;
    // A replay promises silence on the line: the look waits for its end.
    if (!back || ReplayShown() || !BeginLinkOperation()) {
        PostDelayedCall(1.0, WatchForLostDevice, watch);
        return;
    }
    const bool done = TryReconnect(device);
    EndLinkOperation();
    if (!done && reinterpret_cast<std::intptr_t>(watch) == reconnectWatch)
        PostDelayedCall(1.0, WatchForLostDevice, watch);
}

}  // namespace

void StopReconnecting() { ++reconnectWatch; }

// The log opens over a running mode without holding it up: a mode goes on
// under a dialog.
int CC_BTNStatusLog(int, int, int event, void *, int, int) {
    if (event != EVENT_COMMIT) return 0;
    static char log[kLogEntries * sizeof statusLog[0]];
    if (StatusLog(log, sizeof log) == 0) std::snprintf(log, sizeof log, "No status text yet.");
    MessagePopup("Status log", log);
    return 0;
}

int StatusLog(char *out, int size) {
    int used = 0;
    out[0] = '\0';
    for (int i = 0; i < statusLogCount && used < size - 1; ++i) {
        const int at = (statusLogNext - statusLogCount + i + kLogEntries) % kLogEntries;
        const int n = std::snprintf(out + used, static_cast<std::size_t>(size - used), "%s%s",
                                    i ? "\n" : "", statusLog[at]);
        if (n < 0) break;
        used += n;
    }
    return statusLogCount;
}

int PortNumberFor(const char *device) {
    const int count = GetComPortCount();
    for (int n = 1; n <= count; ++n) {
        char known[260] = "";
        if (GetComPortDevice(n, known, sizeof known) == 0 && std::strcmp(known, device) == 0)
            return n;
    }
    if (count >= kComMaxPorts) return 0;
    SetComPortDevice(count + 1, device);
    return count + 1;
}

void RelistPorts() {
    if (portRingShowsLoss)
        ShowPortLostInRing();
    else
        FillComPortRing();
}

void OnLineLost() {
    StopMeasuring();
    ReadLinkDevice();
    std::snprintf(lostDevice, sizeof lostDevice, "%s", LinkDevice());
    SensorIdentity(lostIdentity, sizeof lostIdentity);
    reconnectTold = false;
    // The adapter may come back (cable plugged in again): look once a second.
    PostDelayedCall(1.0, WatchForLostDevice, reinterpret_cast<void *>(++reconnectWatch));
    char text[120];
    // Without a window there is no port to choose: the device is what counts.
    if (unattended)
        std::snprintf(text, sizeof text, "Line lost on %.60s", LinkDevice());
    else
        std::snprintf(text, sizeof text, "Line lost on COM %d (%.39s) - choose the port again!",
                      com, LinkDevice());
    ShowStatusText(text);  // kept in szStatus, so later repeats show it again
    ShowDisplaysStale();
    ShowLinkState();
    ShowPortLostInRing();
}

namespace {

// The operator's changes to the parameter fields are marked as they are made.
void OnControlEvent(int panel, int control, int event) {
    if (event == EVENT_VAL_CHANGED) NoteParameterEdit(panel, control);
}

// An export from a chart's menu says where it went, or in red that it failed.
void ReportExport(const char *text, int) { ShowText(text); }

// A remembered value that cannot be kept is said once: the next start would
// come up without it, and nobody would know why.
void SayNotKept(const char *file, const char *why) {
    char text[600];
    std::snprintf(text, sizeof text, "Settings cannot be kept in %s: %s", file, why);
    ShowStatusText(text);
}

}  // namespace

namespace {

// Everything that starts a mode or an exchange of its own is dimmed while a
// mode or a recording runs, and all of it comes back once that has ended,
// however it ended: by Stop, by itself or by a time-out.
void DimStartControls(int dimmed) {
    static const int kStartControls[] = {PANEL_BTNRun,   PANEL_BTNVideo,    PANEL_BTNGet,
                                         PANEL_BTNSend,  PANEL_ButtonTeach, PANEL_ButtonReset,
                                         PANEL_DropDCom, PANEL_BTNReplay};
    for (int id : kStartControls) SetCtrlAttribute(pHandle, id, ATTR_DIMMED, dimmed);
    SetCtrlAttribute(panelPopUp, POPUP_BTNStartRecord, ATTR_DIMMED, dimmed);
}

void ShowLinkStateText(const char *text, int colour) {
    SetCtrlAttribute(pHandle, PANEL_LinkState, ATTR_TEXT_COLOR, colour);
    SetCtrlVal(pHandle, PANEL_LinkState, text);
}

}  // namespace

void StartKVex(bool openPort) {
    link_display = {ShowOnStatusLine, OnLineLost, ShowParameterSet, ShowSensorIdentity};
    SetSettingsFaultHandler(SayNotKept);
    session_hooks = {ShowDisplaysStale, BrokerIndicator, ShowLinkStateText, DimStartControls};
    SubscribeSamples(DrawSample);  // the displays, graphs and history show every sample
    InitStatistics();
    SetExportReport(ReportExport);
    SetExportPathCheck(WindowOutputRefused);
    SetControlEventObserver(OnControlEvent);
    InitReplay();
    InitGaugeWindow();
    GetProjectDir(proj_dir);
    InitVars();
    RestoreRememberedSettings();
    if (openPort && BeginLinkOperation()) {
        InitRS232(com);
        if (LinkReady()) RememberPort();
        EndLinkOperation();
    }
    NoteLinkOpened();
    InitGUI();
    RestorePublishing();
    DisplayPanel(pHandle);
    DisplayPanel(pPara1);
}

namespace {

void ReplayAtStart(void *) { BeginReplay(replayAtStart); }

void PressStartButton(void *) {
    if (startMode == START_RUN)
        CC_BTNRun(pHandle, PANEL_BTNRun, EVENT_COMMIT, nullptr, 0, 0);
    else if (startMode == START_VIDEO)
        CC_BTNVideo(pHandle, PANEL_BTNVideo, EVENT_COMMIT, nullptr, 0, 0);
}

}  // namespace

int WinMain(void *, void *, char *, int) {
    if (InitRunTime(0, nullptr) < 0) return -1;
    if (LoadKVexPanels() < 0) return -1;

    StartKVex(true);
    if (statisticsAtStart)
        CC_BTNStatistics(pHandle, PANEL_BTNStatistics, EVENT_COMMIT, nullptr, 0, 0);
    if (startMode != START_NONE) PostDeferredCall(PressStartButton, nullptr);
    if (replayAtStart[0] != '\0') PostDeferredCall(ReplayAtStart, nullptr);
    RunUserInterface();

    EndPublishing();
    CloseCom(com);
    DiscardKVexPanels();
    return 0;
}

int CC_PANEL(int, int event, void *, int, int) {
    if (event != EVENT_CLOSE) return 0;
    char names[400];
    const int changed = ChangedParameterFields(names, sizeof names);
    if (changed > 0) {
        char question[600];
        std::snprintf(question, sizeof question,
                      "%d field%s changed and not sent: %s.\n\nClose the program and lose %s?",
                      changed, changed == 1 ? "" : "s", names, changed == 1 ? "it" : "them");
        if (ConfirmChoicePopup("Close K-VEX", question, "Close without sending", "Keep editing") !=
            1)
            return 0;
    }
    RememberPanelGeometry(pHandle);
    StopMeasuring();
    CloseCom(com);
    QuitUserInterface(0);
    return 0;
}

int CC_POPUP(int, int event, void *, int, int) {
    if (event != EVENT_CLOSE) return 0;
    StopMeasuring();
    HidePanel(panelPopUp);
    SetCtrlVal(pHandle, PANEL_TOGGBTN_Recorder, 0);
    return 0;
}
