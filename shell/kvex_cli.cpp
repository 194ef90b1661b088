// Unattended work from the command line: recording, parameter transfer and
// sensor information, with no window. The panels are loaded as for the
// operator (hidden, offscreen), so every verb goes through the same link
// code, checks and file formats as the buttons do.
#include "kvex_cli.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "com232.h"
#include "exchange.h"
#include "kvex_main.h"
#include "parafile.h"
#include "recorder.h"
#include "rs232.h"
#include "ui.h"

namespace {

constexpr const char *kVerbUsage =
    "Usage:\n"
    "  kvex info --port DEVICE\n"
    "  kvex params get --port DEVICE --memory ram|eeprom FILE\n"
    "  kvex params put --port DEVICE --memory ram|eeprom FILE\n"
    "  kvex record --port DEVICE --samples N --interval S [--csv] FILE\n"
    "Exit codes: 0 done, 1 panel file unusable, 2 bad arguments, 3 no sensor,\n"
    "4 file cannot be read or written, 5 the sensor did not confirm.\n";

struct Verb {
    std::string name, action, port, file;
    int memory = 0;  // 1 RAM, 2 EEPROM
    long samples = -1, interval = -1;
    bool csv = false;
};

int Refuse(const char *why, const char *what = "") {
    std::fprintf(stderr, "kvex: %s%s\n\n%s", why, what, kVerbUsage);
    return CLI_BAD_ARGUMENTS;
}

bool WholeNumber(const char *text, long &out) {
    char *end = nullptr;
    errno = 0;
    const long v = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || v < 0 || v > 65535) return false;
    out = v;
    return true;
}

// Returns -1 when the words make a verb, otherwise the exit code.
int ReadWords(int argc, char **argv, Verb &v) {
    v.name = argv[1];
    int i = 2;
    if (v.name == "params") {
        if (i >= argc || (std::strcmp(argv[i], "get") && std::strcmp(argv[i], "put")))
            return Refuse("params wants get or put");
        v.action = argv[i++];
    }
    for (; i < argc; ++i) {
        const std::string a = argv[i];
        const bool hasValue = i + 1 < argc;
        if (a == "--help") {
            std::fputs(kVerbUsage, stdout);
            return 0;
        }
        if (a == "--port" && hasValue) {
            v.port = argv[++i];
        } else if (a == "--memory" && hasValue) {
            const std::string m = argv[++i];
            if (m != "ram" && m != "eeprom")
                return Refuse("--memory is ram or eeprom, not ", argv[i]);
            v.memory = m == "ram" ? 1 : 2;
        } else if (a == "--samples" && hasValue) {
            if (!WholeNumber(argv[++i], v.samples) || v.samples < 1)
                return Refuse("--samples wants 1 to 65535, not ", argv[i]);
        } else if (a == "--interval" && hasValue) {
            if (!WholeNumber(argv[++i], v.interval))
                return Refuse("--interval wants whole seconds, 0 to 65535, not ", argv[i]);
        } else if (a == "--csv" && v.name == "record") {
            v.csv = true;
        } else if (a.rfind("--", 0) != 0 && v.file.empty() && v.name != "info") {
            v.file = a;
        } else {
            return Refuse("unexpected argument ", argv[i]);
        }
    }
    if (v.port.empty()) return Refuse("--port DEVICE is missing");
    if (v.name == "info") return -1;
    if (v.file.empty()) return Refuse("FILE is missing");
    if (v.name == "params" && v.memory == 0) return Refuse("--memory ram|eeprom is missing");
    if (v.name == "record" && (v.samples < 0 || v.interval < 0))
        return Refuse("--samples N and --interval S are both needed");
    return -1;
}

// Sensor texts may be Latin-1 (its micro sign is one byte); a terminal
// wants UTF-8.
std::string Utf8(const char *text) {
    char out[512];
    TextAsUtf8(text, out, sizeof out);
    return out;
}

// What the operator would read in the status line goes to standard error.
void SayStatus(const char *text) {
    SetCtrlVal(pHandle, PANEL_StatusLine, text);
    std::fprintf(stderr, "kvex: %s\n", text);
}

void SayProgress(unsigned done, unsigned wanted) {
    std::fprintf(stderr, "kvex: sample %u of %u\n", done, wanted);
}

// The panels, hidden, and the start-up handshake on port 1.
int StartLink(const Verb &v) {
    if (LoadKVexPanels() < 0) return CLI_PANEL_FILE;
    ClearComPortDevices();
    SetComPortDevice(1, v.port.c_str());
    StartKVex(true);
    HidePanel(pHandle);
    link_display.status = SayStatus;
    if (!LinkReady()) {
        std::fprintf(stderr, "kvex: no sensor on %s: %s\n", v.port.c_str(), szStatus);
        return CLI_NO_SENSOR;
    }
    return 0;
}

int Info(const Verb &v) {
    std::printf("port: %s\n", v.port.c_str());
    for (int line = 0; line < 3; ++line) {
        char text[256] = "";
        GetTextBoxLine(pCalib, CALIB_SensorInfoBox, line, text, sizeof text);
        std::printf("%s%s\n", line == 0 ? "hardware: " : "          ", Utf8(text).c_str());
    }
    std::printf("firmware: %s\n", Utf8(sensorFirmware).c_str());
    return 0;
}

std::string Absolute(const std::string &path) {
    std::error_code error;
    const std::filesystem::path p = std::filesystem::absolute(path, error);
    return error ? path : p.string();
}

bool StatusStartsWith(const char *prefix) {
    return std::strncmp(szStatus, prefix, std::strlen(prefix)) == 0;
}

int ParamsGet(const Verb &v) {
    if (!BeginLinkOperation()) return CLI_NOT_CONFIRMED;
    target = v.memory;
    const bool answered = GetParameterFrames();
    EndLinkOperation();
    if (!answered) {
        std::fprintf(stderr, "kvex: the sensor did not send its parameters: %s\n", szStatus);
        return CLI_NOT_CONFIRMED;
    }
    std::snprintf(file_name, sizeof file_name, "%s", Absolute(v.file).c_str());
    SendParaToFile();
    return StatusStartsWith("Parameters saved") ? 0 : CLI_FILE;
}

int ParamsPut(const Verb &v) {
    if (!ReadParaFromPath(Absolute(v.file).c_str())) {
        std::fprintf(stderr, "kvex: %s\n", szStatus);
        return CLI_FILE;
    }
    SetPanelValues();  // as Get from a file leaves them: the panels hold what is sent
    if (!BeginLinkOperation()) return CLI_NOT_CONFIRMED;
    target = v.memory;
    const int differ = SendToSensor();
    EndLinkOperation();
    return differ == 0 ? 0 : CLI_NOT_CONFIRMED;
}

int Record(const Verb &v) {
    SetCtrlVal(panelPopUp, POPUP_NEDITRecSamples, static_cast<unsigned short>(v.samples));
    SetCtrlVal(panelPopUp, POPUP_NEDITRecTime, static_cast<unsigned short>(v.interval));
    SetCtrlVal(panelPopUp, POPUP_RecFormat, v.csv ? 1 : 0);
    ResetTextBox(panelPopUp, POPUP_RecordFileName, Absolute(v.file).c_str());
    recordProgress = SayProgress;
    CC_BTNStartRecord(panelPopUp, POPUP_BTNStartRecord, EVENT_COMMIT, nullptr, 0, 0);
    recordProgress = nullptr;
    const RecordingOutcome &r = LastRecording();
    if (!r.started || r.fileFault) return CLI_FILE;
    std::fprintf(stderr, "kvex: %u samples recorded to %s\n", r.samples, r.path);
    return r.samples >= static_cast<unsigned>(v.samples) ? 0 : CLI_NOT_CONFIRMED;
}

}  // namespace

bool IsKVexVerb(const char *word) {
    return word && (!std::strcmp(word, "info") || !std::strcmp(word, "params") ||
                    !std::strcmp(word, "record"));
}

int RunKVexVerb(int argc, char **argv) {
    Verb v;
    const int refused = ReadWords(argc, argv, v);
    if (refused >= 0) return refused;
    if (InitRunTime(0, nullptr) < 0) return CLI_PANEL_FILE;
    portFromCommandLine = unattended = true;
    int code = StartLink(v);
    if (code == 0) {
        if (v.name == "info")
            code = Info(v);
        else if (v.name == "record")
            code = Record(v);
        else
            code = v.action == "get" ? ParamsGet(v) : ParamsPut(v);
    }
    stop_flag = 1;
    CloseCom(com);
    if (pHandle > 0) DiscardKVexPanels();
    return code;
}
