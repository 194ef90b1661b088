// kvex info, and the start that the verbs without a window share: the
// run-time's core, the link, the session and the sample stream.
#include <sys/stat.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "cli_verb.h"
#include "com232.h"
#include "exchange.h"
#include "file_checks.h"
#include "kvex_cli.h"
#include "kvex_main.h"
#include "rs232.h"
#include "service.h"
#include "ui.h"

namespace kvexcli {

const char *const kInfoHelp =
    "Usage: kvex info --port DEVICE [--quiet]\n"
    "Prints the sensor's hardware and firmware information on standard output.\n\n";

bool g_quiet = false;
volatile std::sig_atomic_t g_signal = 0;

bool StatusStartsWith(const char *prefix) {
    return std::strncmp(szStatus, prefix, std::strlen(prefix)) == 0;
}

// Sensor texts may be Latin-1 (its micro sign is one byte); a terminal
// wants UTF-8.
std::string Utf8(const char *text) {
    char out[512];
    TextAsUtf8(text, out, sizeof out);
    return out;
}

// What the operator would read in the status line goes to standard error,
// but for the file texts that the verbs give in their own words.
void SayStatus(const char *text) {
    // The verb says how a recording ended in its own last line.
    for (const char *own : {"Cannot write record file", "Record file gone", "Recording ",
                            "Timeout RS232-Line, recording", "Line lost, recording", "Not loaded",
                            "Cannot write parameter file", "Parameters saved", "Port in use"})
        if (std::strncmp(text, own, std::strlen(own)) == 0) return;
    if (!g_quiet) Say(kLogInfo, "%s", text);
}

// Start-up questions in all, the first included: enough that a sensor whose
// replies a noisy line garbles now and then gets through, few enough that a
// port with only noise on it is called sensor-less soon.
constexpr int kStartAttempts = 6;

void KeepQuiet(const char *) {}

// A garbled reply is asked again, as the window asks a sensor that came back
// after a lost line; a silent line or a port that did not open is not: no
// sensor is there to answer.
void AskAgainWhileGarbled() {
    for (int attempt = 1; attempt < kStartAttempts && !LinkReady(); ++attempt) {
        if (line_lost || ReceivedBytes() == 0 || g_signal != 0) return;
        if (!BeginLinkOperation()) return;
        // The first attempt said what went wrong; its repeats would only echo it.
        void (*status)(const char *) = link_display.status;
        link_display.status = KeepQuiet;
        CloseCom(com);
        InitRS232(com);
        link_display.status = status;
        EndLinkOperation();
        NoteLinkOpened();
    }
}

// A remembered value that cannot be kept is said once, in the log.
void SayNotKept(const char *file, const char *why) {
    Say(kLogWarning, "settings cannot be kept in %s: %s", file, why);
}

// What the window's status line would show goes to the log; the start-up
// handshake's texts stay out of it, as they stay on the window's status
// line: a failure is said once, in the verb's own words.
void StartWithoutWindow() {
    link_display = LinkDisplay{};
    link_display.status = KeepQuiet;
    link_display.lineLost = StationLineLost;
    SetSettingsFaultHandler(SayNotKept);
    InitSessionVars();
    if (BeginLinkOperation()) {
        InitRS232(com);
        EndLinkOperation();
    }
    NoteLinkOpened();
    link_display.status = SayStatus;
}

int StartLink(const Verb &v) {
    if (InitCoreRunTime() < 0) return CLI_PANEL_FILE;
    UsePort(v);
    StartWithoutWindow();
    return SensorAnswered(v);
}

void UsePort(const Verb &v) {
    ClearComPortDevices();
    SetComPortDevice(1, v.port.c_str());
}

int SensorAnswered(const Verb &v) {
    AskAgainWhileGarbled();
    if (!LinkReady()) {
        static const char kInUse[] = "Port in use by ";
        if (StatusStartsWith(kInUse))
            Say(kLogError, "%s is in use by %s", v.port.c_str(), szStatus + sizeof kInUse - 1);
        else
            Say(kLogError, "no sensor on %s: %s", v.port.c_str(), szStatus);
        return CLI_NO_SENSOR;
    }
    return 0;
}

int Info(const Verb &v) {
    std::printf("port: %s\n", v.port.c_str());
    for (int line = 0; line < 3; ++line)
        std::printf("%s%s\n", line == 0 ? "hardware: " : "          ",
                    Utf8(sensorHardware[line]).c_str());
    std::printf("firmware: %s\n", Utf8(sensorFirmware).c_str());
    return 0;
}

std::string Absolute(const std::string &path) {
    std::error_code error;
    const std::filesystem::path p = std::filesystem::absolute(path, error);
    return error ? path : p.string();
}

// The name a new file goes to: FILE itself when it is free or --force was
// given, else the next free name, which is said.
bool OutputName(const Verb &v, const std::string &file, char *out, std::size_t size) {
    struct stat st {};
    if (v.force || stat(file.c_str(), &st) != 0) {
        std::snprintf(out, size, "%s", file.c_str());
        return true;
    }
    if (!NextFreeName(file.c_str(), out, size)) {
        Say(kLogError, "%s exists and no free name is beside it (--force replaces it)",
            file.c_str());
        return false;
    }
    Say(kLogWarning, "%s exists; writing %s instead (--force replaces it)", file.c_str(), out);
    return true;
}

// A signal ends the recording as its stop button does: after the pass that
// runs, with the file whole.

void OnStopSignal(int signal) {
    g_signal = signal;
    StopMeasuring();
}

}  // namespace kvexcli
