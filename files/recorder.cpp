// The data recorder: runs the run-mode exchange and writes the due samples to
// the record file, each line on disk before the next request goes out.
#include "recorder.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "com232.h"
#include "exchange.h"
#include "file_messages.h"
#include "frame.h"
#include "gui.h"
#include "kvex_main.h"
#include "modes.h"
#include "rs232.h"
#include "ui.h"

char szDate[24];
char szTime[12];

namespace {

constexpr int kWhite = 0xFFFFFF, kRed = 0xFF0000, kBlack = 0x000000, kLightGrey = 0xE0E0E0;

// The record file stays open while recording; every line is flushed to the
// system at once, so a crash loses no written sample.
struct RecordFile {
    std::FILE *f = nullptr;

    bool Create(const char *path) {
        RT_DeleteFile(path);
        f = std::fopen(path, "wb");
        return f != nullptr;
    }
    bool Write(const char *bytes, std::size_t n) {
        return f && std::fwrite(bytes, 1, n, f) == n && std::fflush(f) == 0;
    }
    bool WriteLine(const char *text) {
        char line[160];
        const int n = std::snprintf(line, sizeof line, "%s\r\n", text);
        return n > 0 && static_cast<std::size_t>(n) < sizeof line && Write(line, n);
    }
    void Close() {
        if (f) std::fclose(f);
        f = nullptr;
    }
};

unsigned short WholeSeconds(double t) {
    return static_cast<unsigned short>(static_cast<uint64_t>(t < 0 ? 0 : t) & 0xFFFF);
}

void SetRecorderLog(const char *text, int textColour, int background) {
    ResetTextBox(panelPopUp, POPUP_RecorderLog, text);
    SetCtrlAttribute(panelPopUp, POPUP_RecorderLog, ATTR_TEXT_COLOR, textColour);
    SetCtrlAttribute(panelPopUp, POPUP_RecorderLog, ATTR_TEXT_BGCOLOR, background);
}

bool WriteHeader(RecordFile &file, unsigned short interval, uint32_t setpoint) {
    std::snprintf(szDate, sizeof szDate, "%s", DateStr());
    std::snprintf(szTime, sizeof szTime, "%s", TimeStr());
    std::strncat(szDate, " ", sizeof szDate - std::strlen(szDate) - 1);
    std::strncat(szDate, szTime, sizeof szDate - std::strlen(szDate) - 1);

    static const char kLabel1[] = "  K-VEX-RECORDER-FILE: Time-Interval[s]: ";
    static const char kLabel2[] = "SETPOINT-VALUE [\xB5m]: ";  // 0xB5: micro sign, one byte
    char number[16];
    bool ok = file.Write(szDate, StringLength(szDate));
    ok = ok && file.Write(kLabel1, sizeof kLabel1 - 1);
    std::snprintf(number, sizeof number, "%u", static_cast<unsigned>(interval));
    ok = ok && file.WriteLine(number);
    ok = ok && file.Write(kLabel2, sizeof kLabel2 - 1);
    std::snprintf(number, sizeof number, "%u", static_cast<unsigned>(setpoint));
    return ok && file.WriteLine(number);
}

bool WriteSample(RecordFile &file) {
    char line[96];
    std::snprintf(line, sizeof line, "%u\t%u\t%u\t%d\t%u\t%u", static_cast<unsigned>(Aval),
                  static_cast<unsigned>(Bval), static_cast<unsigned>(Mvalue), umValue,
                  static_cast<unsigned>(edcntA), static_cast<unsigned>(edcntB));
    return file.WriteLine(line);
}

void ReportFileFailure() {
    char text[400];
    FormatFileMessage(text, sizeof text, "Cannot write record file ", recfile_name);
    ShowText(text);
    char log[420];
    std::snprintf(log, sizeof log, "DATA-RECORDER\n%s", text);
    SetRecorderLog(log, kWhite, kRed);
}

void EndRecording() {
    rx_flag = graph_flag = 0;
    FlushQueues();
    SetCtrlAttribute(pHandle, PANEL_CmdButton13, ATTR_DIMMED, 0);
    SetCtrlAttribute(panelPopUp, POPUP_RecButton13, ATTR_DIMMED, 0);
    SetRecorderLog("DATA-RECORDER", kBlack, kLightGrey);
}

void PrepareScreen() {
    ShowRunModeGraphs();
    for (int id : {PANEL_CmdButton13, PANEL_CmdButton11, PANEL_CmdButton4})
        SetCtrlAttribute(pHandle, id, ATTR_DIMMED, 1);
    SetCtrlAttribute(panelPopUp, POPUP_RecButton13, ATTR_DIMMED, 1);
    SetRecorderLog("DATA-RECORDER active ...", kWhite, kRed);
}

// Runs until the sample count is reached, a reply is missing or a stop comes.
// Returns false when the file refused a line.
bool RecordLoop(RecordFile &file, unsigned short samples, unsigned short interval) {
    double lastSent = Timer();
    unsigned short reference = WholeSeconds(Timer());
    unsigned short counter = 0;
    stop_flag = 0;
    graph_flag = 0;
    do {
        const unsigned short elapsed = WholeSeconds(Timer() - reference);
        if (graph_flag == 1) {
            DrawRawReply();
            if (elapsed >= interval) {
                ++counter;
                if (!WriteSample(file)) return false;
                SetCtrlVal(panelPopUp, POPUP_RecCounter, static_cast<unsigned int>(counter));
                reference = WholeSeconds(Timer());
            }
            graph_flag = 0;
            FlushQueues();
        }
        if (rx_flag == 1) {
            SendRawRequest();
            lastSent = Timer();
        }
        if (Timer() - lastSent > TIMEOUT) {
            ShowText("Timeout RS232-Line!");
            stop_flag = 1;
            ShowDisplaysStale();
            break;
        }
        if (counter >= samples) stop_flag = 1;
        ProcessSystemEvents();
    } while (stop_flag == 0);
    return true;
}

}  // namespace

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
    if (event == EVENT_COMMIT) CalcRecTime();
    return 0;
}

int CC_NEDITRecSamples(int, int, int event, void *, int, int) {
    if (event == EVENT_COMMIT) CalcRecTime();
    return 0;
}

// An existing file is kept until a recording starts: the dialog has asked
// before it is replaced, and nothing is lost if no recording follows.
int CC_RecordFileNameBtn(int, int, int event, void *, int, int) {
    if (event != EVENT_COMMIT) return 0;
    char path[260] = "";
    const int chosen =
        FileSelectPopup(proj_dir, "KVEXrecord.dat", "*.dat",
                        "K-VEX-Series Recorder-File:", VAL_OK_BUTTON, 0, 1, 1, 1, path);
    if (chosen != 1 && chosen != 2) return 0;
    std::memcpy(recfile_name, path, sizeof recfile_name);
    recfile_name[sizeof recfile_name - 1] = '\0';
    ResetTextBox(panelPopUp, POPUP_RecordFileName, recfile_name);
    return 0;
}

int CC_BTNStartRecord(int, int, int event, void *, int, int) {
    if (event != EVENT_COMMIT || !BeginLinkOperation()) return 0;
    PrepareScreen();
    BeginMeasuringLoop();
    unsigned short samples = 0, interval = 0;
    GetCtrlVal(panelPopUp, POPUP_NEDITRecSamples, &samples);
    GetCtrlVal(panelPopUp, POPUP_NEDITRecTime, &interval);
    ResetTextBox(panelPopUp, POPUP_RecordFileName, recfile_name);

    RecordFile file;
    bool ok = file.Create(recfile_name) && WriteHeader(file, interval, SetpointValue());
    if (ok) {
        parameter[PW_COMMAND] = CMD_RAW_VALUES;
        if (SendRawRequest() == FRAME_BYTES) ShowText("Line Ok!");
        ok = RecordLoop(file, samples, interval);
    }
    file.Close();
    stop_flag = 1;
    EndRecording();
    EndMeasuringLoop();
    EndLinkOperation();
    if (!ok) ReportFileFailure();
    return 0;
}

int CC_BTNStopRecord(int, int, int event, void *, int, int) {
    if (event == EVENT_COMMIT) RequestStop();
    return 0;
}
