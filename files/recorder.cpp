// The recorder's window: the record file box, the number of samples and the
// interval, the duration they give, Start and Stop; the recording itself
// runs in record_writer.cpp.
#include "recorder.h"

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "exchange.h"
#include "modes.h"
#include "record_writer.h"
#include "ui.h"

namespace {

constexpr int kWhite = 0xFFFFFF, kRed = 0xFF0000, kBlack = 0x000000, kLightGrey = 0xE0E0E0;

// What the program last put into the Record file box, whole: anything else
// there was typed by the operator.
char g_shownText[320];
constexpr const char *kNextHint = "(used by the next recording)";
// The operator agreed in the dialog to replace the file at recfile_name.
bool g_replaceConfirmed = false;

void CopyPath(char *to, const char *from) { std::snprintf(to, 260, "%s", from); }

void ShowRecordPath(const char *path, bool forNextRecording) {
    std::snprintf(g_shownText, sizeof g_shownText, "%s%s%s", path, forNextRecording ? "\n" : "",
                  forNextRecording ? kNextHint : "");
    ResetTextBox(panelPopUp, POPUP_RecordFileName, g_shownText);
}

// The box as the operator left it, when it is not what the program showed.
bool TypedRecordPath(char *typed, std::size_t size) {
    char all[600] = "";
    GetCtrlVal(panelPopUp, POPUP_RecordFileName, all, sizeof all);
    if (std::strcmp(all, g_shownText) == 0) return false;
    // An edit of the name above the hint leaves the hint standing below it.
    const std::size_t len = std::strlen(all), hint = std::strlen(kNextHint);
    if (len > hint && all[len - hint - 1] == '\n' && std::strcmp(all + len - hint, kNextHint) == 0)
        all[len - hint - 1] = '\0';
    std::snprintf(typed, size, "%s", all);
    return true;
}

void SetRecorderLog(const char *text, int textColour, int background) {
    ResetTextBox(panelPopUp, POPUP_RecorderLog, text);
    SetCtrlAttribute(panelPopUp, POPUP_RecorderLog, ATTR_TEXT_COLOR, textColour);
    SetCtrlAttribute(panelPopUp, POPUP_RecorderLog, ATTR_TEXT_BGCOLOR, background);
}

void PrepareScreen() {
    ShowRunModeGraphs();
    SetRecorderLog("DATA-RECORDER active ...", kWhite, kRed);
}

void ShowRunningPath(const char *path) { ShowRecordPath(path, false); }

void ShowCounter(unsigned n) { SetCtrlVal(panelPopUp, POPUP_RecCounter, n); }

void ShowFault(const char *text) {
    char log[420];
    std::snprintf(log, sizeof log, "DATA-RECORDER\n%s", text);
    SetRecorderLog(log, kWhite, kRed);
}

void ShowIdle() { SetRecorderLog("DATA-RECORDER", kBlack, kLightGrey); }

// The file this recording goes to: a path typed into the box wins over the
// one chosen before; an existing file is replaced only when the operator said
// so in the dialog.
bool ChooseRecordPath(char *path) {
    char typed[260] = "";
    const bool wasTyped = TypedRecordPath(typed, sizeof typed);
    if (wasTyped) {
        if (typed[0] != '\0' && typed[0] != '/')
            MakePathname(proj_dir, typed, path);
        else
            CopyPath(path, typed);
    } else {
        CopyPath(path, recfile_name);
    }
    if (!UsableRecordPath(path, g_replaceConfirmed && !wasTyped)) return false;
    g_replaceConfirmed = false;  // what is recorded now is not to be replaced unasked
    return true;
}

}  // namespace

void InitRecordFile() {
    recorderView = {PrepareScreen, ShowRunningPath, ShowCounter, ShowFault, ShowIdle};
    char folder[260];
    RememberedFolder("recorder/folder", folder);
    if (access(folder, W_OK) != 0) CopyPath(folder, proj_dir);
    if (access(folder, W_OK) != 0 && GetDocumentsDir(folder) != 0) CopyPath(folder, proj_dir);
    MakePathname(folder, "KVexRecord.dat", recfile_name);
    ShowRecordPath(recfile_name, false);
}

void CalcRecTime() {
    unsigned short interval = 0, samples = 0;
    GetCtrlVal(panelPopUp, POPUP_NEDITRecTime, &interval);
    GetCtrlVal(panelPopUp, POPUP_NEDITRecSamples, &samples);
    SetCtrlVal(panelPopUp, POPUP_RecCounter, 0);
    uint32_t t = static_cast<uint32_t>(interval) * samples;
    const uint32_t days = t / 86400;
    t -= days * 86400;
    const uint32_t hours = t / 3600;
    t -= hours * 3600;
    const uint32_t minutes = t / 60;
    SetCtrlVal(panelPopUp, POPUP_RecDays, days);
    SetCtrlVal(panelPopUp, POPUP_RecHours, hours);
    SetCtrlVal(panelPopUp, POPUP_RecMinutes, minutes);
    SetCtrlVal(panelPopUp, POPUP_RecSeconds, t - minutes * 60);
}

int CC_TOGGBTN_Recorder(int, int, int event, void *, int, int) {
    if (event != EVENT_VAL_CHANGED) return 0;
    int on = 0;
    GetCtrlVal(pHandle, PANEL_TOGGBTN_Recorder, &on);
    if (on)
        DisplayPanel(panelPopUp);
    else
        HidePanel(panelPopUp);
    return 0;
}

int CC_NEDITRecTime(int, int, int event, void *, int, int) {
    if (event != EVENT_COMMIT) return 0;
    CalcRecTime();
    RememberRecorderSettings();
    return 0;
}

int CC_NEDITRecSamples(int, int, int event, void *, int, int) {
    if (event != EVENT_COMMIT) return 0;
    CalcRecTime();
    RememberRecorderSettings();
    return 0;
}

// An existing file is kept until a recording starts: the dialog has asked
// before it is replaced, and nothing is lost if no recording follows. A name
// chosen during a recording is for the next one.
int CC_RecordFileNameBtn(int, int, int event, void *, int, int) {
    if (event != EVENT_COMMIT) return 0;
    char path[260] = "";
    char folder[260];
    RememberedFolder("recorder/folder", folder);
    const int chosen =
        FileSelectPopup(folder, "KVEXrecord.dat", "*.dat",
                        "K-VEX-Series Recorder-File:", VAL_OK_BUTTON, 0, 1, 1, 1, path);
    if (chosen != 1 && chosen != 2) return 0;
    CopyPath(recfile_name, path);
    g_replaceConfirmed = chosen == 1;
    ShowRecordPath(recfile_name, RecordingRuns());
    return 0;
}

int CC_BTNStartRecord(int, int, int event, void *, int, int) {
    if (event != EVENT_COMMIT || !BeginLinkOperation()) return 0;
    ResetRecordingOutcome();
    char path[260];
    if (!ChooseRecordPath(path)) {
        EndLinkOperation();
        return 0;
    }
    RememberFolder("recorder/folder", path);
    RememberRecorderSettings();
    RecordingRequest req;
    int csv = 0;
    GetCtrlVal(panelPopUp, POPUP_NEDITRecSamples, &req.samples);
    GetCtrlVal(panelPopUp, POPUP_NEDITRecTime, &req.interval);
    GetCtrlVal(panelPopUp, POPUP_RecFormat, &csv);
    req.csv = csv != 0;
    RunRecording(path, req, true);
    EndLinkOperation();
    // A name typed while the recording ran waits in the box for the next one.
    char typed[260];
    if (!TypedRecordPath(typed, sizeof typed)) ShowRecordPath(recfile_name, false);
    return 0;
}

int CC_BTNStopRecord(int, int, int event, void *, int, int) {
    if (event == EVENT_COMMIT) RequestStop();
    return 0;
}

// The recorder's fields as the next start finds them.
// ---------------------------------------------------------------- remembered
void RememberRecorderSettings() {
    if (unattended) return;
    unsigned short samples = 0, interval = 0;
    int format = 0;
    GetCtrlVal(panelPopUp, POPUP_NEDITRecSamples, &samples);
    GetCtrlVal(panelPopUp, POPUP_NEDITRecTime, &interval);
    GetCtrlVal(panelPopUp, POPUP_RecFormat, &format);
    SetSettingNumber("recorder/samples", samples);
    SetSettingNumber("recorder/interval", interval);
    SetSettingNumber("recorder/format", format);
}
