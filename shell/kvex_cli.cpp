// Unattended work from the command line: recording, parameter transfer and
// sensor information, with no window. The panels are loaded as for the
// operator (hidden, offscreen), so every verb goes through the same link
// code, checks and file formats as the buttons do.
#include "kvex_cli.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "com232.h"
#include "exchange.h"
#include "file_checks.h"
#include "kvex_gauge_cli.h"
#include "kvex_main.h"
#include "parafile.h"
#include "publish.h"
#include "recorder.h"
#include "recording_statistics.h"
#include "rs232.h"
#include "ui.h"

namespace {

constexpr const char *kExitCodes =
    "Exit codes: 0 done, 1 panel file unusable, 2 bad arguments, 3 no sensor on the port\n"
    "(or the port is in use), 4 file cannot be read or written, 5 the sensor did not send\n"
    "or confirm, 6 samples left unpublished (the broker could not take them), 130 and 143\n"
    "record ended by SIGINT or SIGTERM.\n";

constexpr const char *kVerbUsage =
    "Usage:\n"
    "  kvex info --port DEVICE [--quiet]\n"
    "  kvex params get --port DEVICE --memory ram|eeprom [--force] [--quiet] FILE\n"
    "  kvex params put --port DEVICE --memory ram|eeprom [--quiet] FILE\n"
    "  kvex record --port DEVICE --samples N --interval S [--csv] [--force] [--quiet]\n"
    "              [--mqtt URL ...] FILE\n"
    "  kvex publish --port DEVICE --mqtt URL [--duration SECONDS] [--quiet] [MQTT options]\n"
    "  kvex stats [--lower MM] [--upper MM] [--json] FILE...\n"
    "  kvex gauge-study --reference MM --tolerance MM [--n N] [--json] (--port DEVICE | FILE)\n"
    "kvex VERB --help explains the options of a verb.\n";

constexpr const char *kCommonOptions =
    "  --port DEVICE    the serial device the sensor is on, e.g. /dev/ttyUSB0\n"
    "  --quiet          say nothing on standard error but failures and the result\n"
    "  --help           show this text and exit\n";

constexpr const char *kInfoHelp =
    "Usage: kvex info --port DEVICE [--quiet]\n"
    "Prints the sensor's hardware and firmware information on standard output.\n\n";

constexpr const char *kParamsHelp =
    "Usage: kvex params get --port DEVICE --memory ram|eeprom [--force] [--quiet] FILE\n"
    "       kvex params put --port DEVICE --memory ram|eeprom [--quiet] FILE\n"
    "get reads both parameter frames from the sensor's memory into FILE (30 numbers, the\n"
    "parameter file of the window); put sends FILE to the memory and reads it back to check\n"
    "it. A file whose numbers a field of the window could not show unchanged is refused\n"
    "with its line and value, and nothing is sent.\n\n"
    "  --memory ram|eeprom  the sensor's RAM or its EEPROM (kept through a power cycle)\n"
    "  --force          get: replace FILE if it exists (else the next free name is taken,\n"
    "                   FILE-2.cfg, ..., and named on standard error)\n";

constexpr const char *kRecordHelp =
    "Usage: kvex record --port DEVICE --samples N --interval S [--csv] [--force] [--quiet]\n"
    "                   [--mqtt URL [MQTT options]] FILE\n"
    "Records N measured values, one every S seconds, to FILE in the recorder's text\n"
    "format. On a terminal one line shows the progress; elsewhere one line per sample.\n"
    "Ctrl+C (SIGINT) or SIGTERM ends the recording after the line being written and\n"
    "says how many samples the file holds.\n\n"
    "  --samples N      1 to 65535 samples\n"
    "  --interval S     0 to 65535 seconds between samples (0: every reply)\n"
    "  --csv            CSV with a header row and a timestamp per sample instead\n"
    "  --force          replace FILE if it exists (else the next free name is taken,\n"
    "                   FILE-2.dat, ..., and named on standard error)\n"
    "  --mqtt URL       publish each recorded sample too: N messages, numbered as the\n"
    "                   lines of FILE, whatever the interval; the replies measured in\n"
    "                   between are not published. The MQTT options (--mqtt-ca,\n"
    "                   --mqtt-insecure, --mqtt-password-file, --mqtt-allow-plain-password,\n"
    "                   --mqtt-queue) as kvex publish --help explains\n";

constexpr const char *kPublishHelp =
    "Usage: kvex publish --port DEVICE --mqtt URL [--duration SECONDS] [--mqtt-ca FILE]\n"
    "                    [--mqtt-insecure] [--mqtt-password-file FILE]\n"
    "                    [--mqtt-allow-plain-password] [--mqtt-queue N] [--quiet]\n"
    "Runs run mode without a window and publishes every sample to an MQTT broker, QoS 1,\n"
    "in order, until the duration ends or SIGINT/SIGTERM comes; then what waits goes\n"
    "out, the retained state turns to {\"online\": false}, and the exit code is 0.\n"
    "Topics: ROOT/measurement (one message per sample), ROOT/state and ROOT/info\n"
    "(retained). While the broker cannot be reached the samples wait in a queue.\n\n"
    "  --mqtt URL       mqtt://[user@]host[:port][/topic/root] (port 1883), or mqtts://\n"
    "                   for TLS (port 8883); without a root: kvex/HOST/DEVICE\n"
    "  --duration SECONDS  how long to measure (default: until a signal)\n"
    "  --mqtt-ca FILE   the CA (PEM) that signed the broker's certificate (default: the\n"
    "                   system's)\n"
    "  --mqtt-insecure  TLS without checking the broker's certificate\n"
    "                   (both need mqtts://; with mqtt:// they are refused, exit 2)\n"
    "  --mqtt-password-file FILE  the password, first line of FILE (a regular file\n"
    "                   that others cannot read, else exit 4); else the environment\n"
    "                   variable KVEX_MQTT_PASSWORD (never an argument: others can read\n"
    "                   those). The files are checked before the port is opened\n"
    "  --mqtt-allow-plain-password  send the password over mqtt:// all the same, in\n"
    "                   clear for anyone on the network (without it: exit 2)\n"
    "  --mqtt-queue N   samples held while the broker is away or slow (those sent\n"
    "                   but not yet acknowledged too), 10 to 10000000 (default\n"
    "                   100000); beyond it the oldest not yet sent are dropped and\n"
    "                   counted, the first drop said at once. Each held sample takes its\n"
    "                   message (~310 bytes) and ~50 bytes more of memory: about\n"
    "                   36 MB for the default, 3.6 GB for the most\n";

struct Verb {
    std::string name, action, port, file;
    int memory = 0;  // 1 RAM, 2 EEPROM
    long samples = -1, interval = -1;
    bool csv = false, force = false, quiet = false;
    std::string mqtt, caFile, passwordFile;
    bool insecure = false, plainPassword = false;
    unsigned long queue = 100000;
    double duration = 0;  // 0: until a signal
};

int Refuse(const char *why, const char *what = "") {
    std::fprintf(stderr, "kvex: %s%s\n\n%s%s", why, what, kVerbUsage, kExitCodes);
    return CLI_BAD_ARGUMENTS;
}

int Help(const Verb &v) {
    const char *head = v.name == "info"      ? kInfoHelp
                       : v.name == "params"  ? kParamsHelp
                       : v.name == "publish" ? kPublishHelp
                                             : kRecordHelp;
    std::printf("%s%s%s", head, kCommonOptions, kExitCodes);
    return 0;
}

bool WholeNumber(const char *text, long &out) {
    char *end = nullptr;
    errno = 0;
    const long v = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || v < 0 || v > 65535) return false;
    out = v;
    return true;
}

// The publishing options: true when argv[i] was one (i moves past its value).
bool ReadMqttWord(int argc, char **argv, int &i, Verb &v, int &refused) {
    const std::string a = argv[i];
    const bool hasValue = i + 1 < argc;
    if (v.name != "record" && v.name != "publish") return false;
    if (a == "--mqtt" && hasValue) {
        v.mqtt = argv[++i];
        BrokerAddress address;
        char why[240];
        if (!ParseBrokerUrl(v.mqtt.c_str(), address, why, sizeof why))
            refused = Refuse("--mqtt: ", why);
    } else if (a == "--mqtt-ca" && hasValue) {
        v.caFile = argv[++i];
    } else if (a == "--mqtt-password-file" && hasValue) {
        v.passwordFile = argv[++i];
    } else if (a == "--mqtt-insecure") {
        v.insecure = true;
    } else if (a == "--mqtt-allow-plain-password") {
        v.plainPassword = true;
    } else if (a == "--mqtt-queue" && hasValue) {
        char *end = nullptr;
        const unsigned long n = std::strtoul(argv[++i], &end, 10);
        if (end == argv[i] || *end != '\0' || n < kLeastQueue || n > kMostQueue)
            refused = Refuse("--mqtt-queue wants 10 to 10000000 samples, not ", argv[i]);
        v.queue = n;
    } else if (a == "--duration" && hasValue && v.name == "publish") {
        char *end = nullptr;
        v.duration = std::strtod(argv[++i], &end);
        if (end == argv[i] || *end != '\0' || !(v.duration > 0) || v.duration > 1e7)
            refused = Refuse("--duration wants seconds above 0, not ", argv[i]);
    } else {
        return false;
    }
    return true;
}

// TLS options on an address without TLS are a contradiction, and a password
// over it is readable by anyone on the way: both refused before anything
// starts, unless the password was allowed in clear.
int RefusePlainConnection(const Verb &v) {
    BrokerAddress address;
    char why[240];
    if (v.mqtt.empty() || !ParseBrokerUrl(v.mqtt.c_str(), address, why, sizeof why) || address.tls)
        return -1;
    if (!v.caFile.empty() || v.insecure)
        return Refuse(
            "--mqtt-ca and --mqtt-insecure are for TLS, and mqtt:// is not encrypted: "
            "give mqtts://");
    const char *env = std::getenv("KVEX_MQTT_PASSWORD");
    const bool password = !v.passwordFile.empty() || (env && env[0]);
    if (password && !v.plainPassword)
        return Refuse(
            "mqtt:// is not encrypted and the password would cross the network in "
            "clear: give mqtts://, or --mqtt-allow-plain-password to send it all the "
            "same");
    return -1;
}

// Returns -1 when the words make a verb, otherwise the exit code.
int ReadWords(int argc, char **argv, Verb &v) {
    v.name = argv[1];
    for (int k = 2; k < argc; ++k)
        if (!std::strcmp(argv[k], "--help") || !std::strcmp(argv[k], "-h")) return Help(v);
    int i = 2;
    if (v.name == "params") {
        if (i >= argc || (std::strcmp(argv[i], "get") && std::strcmp(argv[i], "put")))
            return Refuse("params wants get or put");
        v.action = argv[i++];
    }
    for (; i < argc; ++i) {
        const std::string a = argv[i];
        const bool hasValue = i + 1 < argc;
        int refused = -1;
        if (ReadMqttWord(argc, argv, i, v, refused)) {
            if (refused >= 0) return refused;
        } else if (a == "--port" && hasValue) {
            v.port = argv[++i];
        } else if (a == "--memory" && hasValue && v.name == "params") {
            const std::string m = argv[++i];
            if (m != "ram" && m != "eeprom")
                return Refuse("--memory is ram or eeprom, not ", argv[i]);
            v.memory = m == "ram" ? 1 : 2;
        } else if (a == "--samples" && hasValue && v.name == "record") {
            if (!WholeNumber(argv[++i], v.samples) || v.samples < 1)
                return Refuse("--samples wants 1 to 65535, not ", argv[i]);
        } else if (a == "--interval" && hasValue && v.name == "record") {
            if (!WholeNumber(argv[++i], v.interval))
                return Refuse("--interval wants whole seconds, 0 to 65535, not ", argv[i]);
        } else if (a == "--csv" && v.name == "record") {
            v.csv = true;
        } else if (a == "--force" && (v.name == "record" || v.action == "get")) {
            v.force = true;
        } else if (a == "--quiet") {
            v.quiet = true;
        } else if (a.rfind("--", 0) != 0 && v.file.empty() && v.name != "info" &&
                   v.name != "publish") {
            v.file = a;
        } else {
            return Refuse("unexpected argument ", argv[i]);
        }
    }
    if (v.port.empty()) return Refuse("--port DEVICE is missing");
    if (v.mqtt.empty() &&
        (!v.caFile.empty() || !v.passwordFile.empty() || v.insecure || v.plainPassword))
        return Refuse("the MQTT options need --mqtt URL");
    if (const int refused = RefusePlainConnection(v); refused >= 0) return refused;
    if (v.name == "publish") return v.mqtt.empty() ? Refuse("--mqtt URL is missing") : -1;
    if (v.name == "info") return -1;
    if (v.file.empty()) return Refuse("FILE is missing");
    if (v.name == "params" && v.memory == 0) return Refuse("--memory ram|eeprom is missing");
    if (v.name == "record" && (v.samples < 0 || v.interval < 0))
        return Refuse("--samples N and --interval S are both needed");
    return -1;
}

// A name as the shell would need it typed: control characters escaped.
std::string Shown(const std::string &path) {
    std::string out;
    for (const unsigned char c : path) {
        char esc[8];
        if (c == '\t')
            out += "\\t";
        else if (c == '\n')
            out += "\\n";
        else if (c < 0x20 || c == 0x7F)
            out += (std::snprintf(esc, sizeof esc, "\\x%02X", c), esc);
        else
            out += static_cast<char>(c);
    }
    return out;
}

bool g_quiet = false;
volatile std::sig_atomic_t g_signal = 0;  // the stop signal that came, or 0

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
    SetCtrlVal(pHandle, PANEL_StatusLine, text);
    // The verb says how a recording ended in its own last line.
    for (const char *own : {"Cannot write record file", "Record file gone", "Recording ",
                            "Timeout RS232-Line, recording", "Line lost, recording", "Not loaded",
                            "Cannot write parameter file", "Parameters saved", "Port in use"})
        if (std::strncmp(text, own, std::strlen(own)) == 0) return;
    if (!g_quiet) std::fprintf(stderr, "kvex: %s\n", text);
}

// On a terminal the progress is one line that counts up; in a log, one line
// per sample.
bool g_progressOnTerminal = false;
bool g_progressLineOpen = false;

void SayProgress(unsigned done, unsigned wanted) {
    if (g_quiet) return;
    if (g_progressOnTerminal) {
        std::fprintf(stderr, "\rkvex: sample %u of %u", done, wanted);
        g_progressLineOpen = true;
    } else {
        std::fprintf(stderr, "kvex: sample %u of %u\n", done, wanted);
    }
}

void EndProgressLine() {
    if (g_progressLineOpen) std::fputc('\n', stderr);
    g_progressLineOpen = false;
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
        link_display.status = KeepQuiet;
        CloseCom(com);
        InitRS232(com);
        link_display.status = SayStatus;
        EndLinkOperation();
        NoteLinkOpened();
    }
}

// The panels, hidden, and the start-up handshake on port 1.
int StartLink(const Verb &v) {
    if (LoadKVexPanels() < 0) return CLI_PANEL_FILE;
    ClearComPortDevices();
    SetComPortDevice(1, v.port.c_str());
    link_display.status = SayStatus;
    StartKVex(true);
    HidePanel(pHandle);
    link_display.status = SayStatus;
    AskAgainWhileGarbled();
    if (!LinkReady()) {
        static const char kInUse[] = "Port in use by ";
        if (StatusStartsWith(kInUse))
            std::fprintf(stderr, "kvex: %s is in use by %s\n", v.port.c_str(),
                         szStatus + sizeof kInUse - 1);
        else
            std::fprintf(stderr, "kvex: no sensor on %s: %s\n", v.port.c_str(), szStatus);
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
        std::fprintf(stderr,
                     "kvex: %s exists and no free name is beside it (--force replaces it)\n",
                     file.c_str());
        return false;
    }
    std::fprintf(stderr, "kvex: %s exists; writing %s instead (--force replaces it)\n",
                 file.c_str(), out);
    return true;
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
    char path[sizeof file_name];
    if (!OutputName(v, Absolute(v.file), path, sizeof path)) return CLI_FILE;
    std::snprintf(file_name, sizeof file_name, "%s", path);
    SendParaToFile();
    if (ParameterFileFault()[0] != '\0') {
        std::fprintf(stderr, "kvex: cannot write %s: %s\n", path, ParameterFileFault());
        return CLI_FILE;
    }
    if (!g_quiet) std::fprintf(stderr, "kvex: parameters saved to %s\n", path);
    return 0;
}

int ParamsPut(const Verb &v) {
    const std::string file = Absolute(v.file);
    if (!ReadParaFromPath(file.c_str())) {
        std::fprintf(stderr, "kvex: %s not loaded: %s\n", file.c_str(), ParameterFileFault());
        return CLI_FILE;
    }
    SetPanelValues();  // as Get from a file leaves them: the panels hold what is sent
    if (!BeginLinkOperation()) return CLI_NOT_CONFIRMED;
    target = v.memory;
    const int differ = SendToSensor();
    EndLinkOperation();
    return differ == 0 ? 0 : CLI_NOT_CONFIRMED;
}

// A signal ends the recording as its stop button does: after the pass that
// runs, with the file whole.

void OnStopSignal(int signal) {
    g_signal = signal;
    StopMeasuring();
}

int Record(const Verb &v) {
    SetCtrlVal(panelPopUp, POPUP_NEDITRecSamples, static_cast<unsigned short>(v.samples));
    SetCtrlVal(panelPopUp, POPUP_NEDITRecTime, static_cast<unsigned short>(v.interval));
    SetCtrlVal(panelPopUp, POPUP_RecFormat, v.csv ? 1 : 0);
    const std::string file = Absolute(v.file);
    char path[sizeof recfile_name];
    if (!OutputName(v, file, path, sizeof path)) return CLI_FILE;
    SetRecordFile(path, v.force);
    g_progressOnTerminal = isatty(STDERR_FILENO) != 0;
    recordProgress = SayProgress;
    if (g_signal == 0)
        CC_BTNStartRecord(panelPopUp, POPUP_BTNStartRecord, EVENT_COMMIT, nullptr, 0, 0);
    recordProgress = nullptr;
    EndProgressLine();
    const RecordingOutcome &r = LastRecording();
    if (!r.started) {
        std::fprintf(stderr, "kvex: cannot record to %s: %s\n", Shown(path).c_str(), r.why);
        return CLI_FILE;
    }
    const char *plural = r.samples == 1 ? "" : "s";
    if (r.fileFault) {
        std::fprintf(stderr, "kvex: cannot write %s: %s; the file holds %u sample%s\n", r.path,
                     r.why, r.samples, plural);
        return CLI_FILE;
    }
    if (g_signal != 0) {
        std::fprintf(stderr, "kvex: stopped by %s; %s holds %u sample%s\n",
                     g_signal == SIGINT ? "SIGINT" : "SIGTERM", r.path, r.samples, plural);
        return 128 + g_signal;
    }
    std::fprintf(stderr, "kvex: %u sample%s recorded to %s\n", r.samples, plural, r.path);
    return r.samples >= static_cast<unsigned>(v.samples) ? 0 : CLI_NOT_CONFIRMED;
}

// ---------------------------------------------------------------- publishing
bool g_saidDropping = false;
void SayBrokerState(const char *text, bool newState) {
    if (text[0] == '\0') return;
    const PublishFigures f = PublishingFigures();
    // A stalled broker keeps the connection while the queue overflows: the
    // first loss is said when it happens, not only in the last line.
    if (f.dropped > 0 && !g_saidDropping) {
        g_saidDropping = true;
        std::fprintf(stderr,
                     "kvex: MQTT queue full (%lu held): the oldest samples are being dropped\n",
                     f.queued);
    }
    if (!newState) return;
    if (!f.connected || !g_quiet) std::fprintf(stderr, "kvex: MQTT %s\n", text);
}

unsigned long g_measured = 0;
void CountSample(const Sample &) { ++g_measured; }

// Why the open password file is no password to use, or nullptr: anything
// but a regular file (a folder, /dev/zero), one others may read or change,
// one without a first line to use.
const char *PasswordFileFault(int fd, char *password, std::size_t size) {
    struct stat st {};
    if (fstat(fd, &st) != 0) return std::strerror(errno);
    if (!S_ISREG(st.st_mode)) return "it is no regular file";
    if (st.st_mode & (S_IROTH | S_IWOTH))
        return "others may read or change it (chmod o-rw, as for any secret)";
    const ssize_t n = read(fd, password, size - 1);
    if (n < 0) return std::strerror(errno);
    password[n] = '\0';
    const std::size_t line = std::strcspn(password, "\r\n");
    if (line == static_cast<std::size_t>(n) && n == static_cast<ssize_t>(size - 1))
        return "its first line is too long for a password";
    password[line] = '\0';
    if (line == 0) return "its first line is empty";
    return nullptr;
}

// The password from --mqtt-password-file (its first line) or KVEX_MQTT_PASSWORD.
bool ReadPassword(const Verb &v, char *password, std::size_t size) {
    password[0] = '\0';
    if (v.passwordFile.empty()) {
        if (const char *env = std::getenv("KVEX_MQTT_PASSWORD")) {
            KeepSecretsOutOfDumps();
            std::snprintf(password, size, "%s", env);
        }
        return true;
    }
    KeepSecretsOutOfDumps();
    const char *why = nullptr;
    const int fd = OpenRegularFile(v.passwordFile.c_str(), &why);
    if (fd >= 0) {
        why = PasswordFileFault(fd, password, size);
        close(fd);
    }
    if (!why) return true;
    std::memset(password, 0, size);
    std::fprintf(stderr, "kvex: cannot use the password file %s: %s\n",
                 Shown(v.passwordFile).c_str(), why);
    return false;
}

// The TLS library reads the CA file on every connection attempt: one that
// cannot serve would fail each of them for the whole run.
const char *CaFileFault(const char *path) {
    const char *why = nullptr;
    const int fd = OpenRegularFile(path, &why);
    if (fd < 0) return why;
    struct stat st {};
    if (fstat(fd, &st) != 0)
        why = FileErrorText(errno);
    else if (st.st_size == 0)
        why = "it is empty";
    close(fd);
    return why;
}

// The publishing files are read before the port is opened, so a file that
// cannot serve ends the verb before the sensor is asked anything; the
// password waits in password until publishing starts.
int ReadPublishingFiles(const Verb &v, char *password, std::size_t size) {
    password[0] = '\0';
    if (v.mqtt.empty()) return 0;
    if (!v.caFile.empty()) {
        if (const char *why = CaFileFault(v.caFile.c_str())) {
            std::fprintf(stderr, "kvex: cannot use the CA file %s: %s; nothing was sent\n",
                         Shown(v.caFile).c_str(), why);
            return CLI_FILE;
        }
    }
    return ReadPassword(v, password, size) ? 0 : CLI_FILE;
}

int BeginPublishing(const Verb &v, const char *password) {
    if (v.mqtt.empty()) return 0;
    PublishOptions o;
    std::snprintf(o.url, sizeof o.url, "%s", v.mqtt.c_str());
    std::snprintf(o.caFile, sizeof o.caFile, "%s", v.caFile.c_str());
    o.insecure = v.insecure;
    o.allowPlainPassword = v.plainPassword;
    o.recordedOnly = v.name == "record";
    o.queueLimit = v.queue;
    std::snprintf(o.password, sizeof o.password, "%s", password);
    char why[240];
    const bool on = StartPublishing(o, why, sizeof why);
    std::memset(o.password, 0, sizeof o.password);
    if (!on) {
        std::fprintf(stderr, "kvex: cannot publish: %s\n", why);
        return CLI_BAD_ARGUMENTS;
    }
    g_measured = 0;
    g_saidDropping = false;
    SubscribeSamples(CountSample);
    SetBrokerStateListener(SayBrokerState);
    if (!g_quiet) std::fprintf(stderr, "kvex: publishing to %s/...\n", PublishTopicRoot());
    return 0;
}

// What waits goes out, then the offline state; CLI_NOT_PUBLISHED when
// samples could not be handed over in time.
int EndPublishing(const Verb &v) {
    if (v.mqtt.empty()) return 0;
    // A broker that is there gets time for a long queue; one that is away
    // a short chance to come back.
    const PublishFigures before = PublishingFigures();
    unsigned long dropped = 0;
    const unsigned long unsent = StopPublishing(before.connected ? 10 : 3, true, &dropped);
    UnsubscribeSamples(CountSample);
    // A recording publishes what its file holds, not every reply it saw.
    const bool recording = v.name == "record";
    const unsigned long measured = recording ? LastRecording().samples : g_measured;
    const char *done = recording ? "recorded" : "measured";
    const unsigned long lost = std::min(measured, unsent + dropped);
    const char *plural = measured == 1 ? "" : "s";
    if (lost == 0 && !before.stopped) {
        std::fprintf(stderr, "kvex: %lu sample%s %s, all published\n", measured, plural, done);
        return 0;
    }
    // Each part names only what happened: a queue that overflowed while the
    // broker was away but was emptied at the end left nothing unpublished.
    char line[400];
    int n = std::snprintf(line, sizeof line, "%lu sample%s %s, %lu published", measured, plural,
                          done, measured - lost);
    if (dropped && n > 0 && n < static_cast<int>(sizeof line))
        n += std::snprintf(line + n, sizeof line - n, ", %lu dropped (queue full)", dropped);
    if (unsent && n > 0 && n < static_cast<int>(sizeof line))
        std::snprintf(line + n, sizeof line - n, ", %lu not published: %s", unsent,
                      before.reason[0] ? before.reason : "the broker did not take them in time");
    else if (before.stopped && n > 0 && n < static_cast<int>(sizeof line))
        std::snprintf(line + n, sizeof line - n, "; publishing %s", before.reason);
    std::fprintf(stderr, "kvex: %s\n", line);
    return CLI_NOT_PUBLISHED;
}

bool g_durationOver = false;
void StopAfterDuration(void *) {
    g_durationOver = true;
    StopMeasuring();
}

// A signal that came just before the loop began (which clears the stop)
// still ends it, and so does publishing that stopped for good: nothing
// measured from then on would reach the plant.
bool g_publishingStopped = false;
void WatchForSignal(void *) {
    if (g_signal != 0) StopMeasuring();
    if (PublishingFigures().stopped) {
        g_publishingStopped = true;
        StopMeasuring();
    }
    PostDelayedCall(0.25, WatchForSignal, nullptr);
}

// Run mode until the duration ends or a signal comes; a run that ended by
// itself (the sensor stopped answering) says why.
int Publish(const Verb &v) {
    g_durationOver = g_publishingStopped = false;
    if (v.duration > 0) PostDelayedCall(v.duration, StopAfterDuration, nullptr);
    WatchForSignal(nullptr);
    if (g_signal == 0 && !g_publishingStopped)
        CC_BTNRun(pHandle, PANEL_BTNRun, EVENT_COMMIT, nullptr, 0, 0);
    if (g_signal != 0 || g_durationOver || g_publishingStopped) return 0;  // the end says why
    std::fprintf(stderr, "kvex: run mode ended: %s\n", szStatus);
    return CLI_NOT_CONFIRMED;
}

// What can be told of the file before anything goes to the sensor.
int CheckFileFirst(const Verb &v) {
    if (v.file.empty()) return 0;
    const char *why = ControlCharacterIn(v.file.c_str());
    if (!why && v.action == "put") {
        const int fd = OpenRegularFile(v.file.c_str(), &why);
        if (fd >= 0) close(fd);
    } else if (!why) {
        why = NotARegularFile(v.file.c_str());
    }
    if (!why) return 0;
    std::fprintf(stderr, "kvex: %s: %s; nothing was sent\n", Shown(v.file).c_str(), why);
    return CLI_FILE;
}

// ---------------------------------------------------------------- stats
constexpr const char *kStatsHelp =
    "Usage: kvex stats [--lower MM] [--upper MM] [--rules LIST] [--json] FILE...\n"
    "Prints the statistics of each recording (text or CSV, told apart by the first line):\n"
    "n, mean, the overall standard deviation (n - 1) and the within one (mean moving range\n"
    "/ 1.128), min, max (mm); Cp and Cpk from the within sigma, Pp and Ppk from the overall\n"
    "one; the counts below, inside and above tolerance; and the points of the individuals\n"
    "chart of all values (centre line the mean, within sigma) that break each chosen run\n"
    "rule. A line that cannot be read is counted as a bad line and passed over; the first\n"
    "one's number goes to standard error. No sensor or port is needed.\n\n"
    "  --lower MM       the lower tolerance limit in mm; with --upper, the limits that\n"
    "  --upper MM       judge every value (a CSV recording's own limits otherwise; a text\n"
    "                   recording names none). One of them alone: a one-sided tolerance\n"
    "  --rules LIST     the run rules to check, numbers 1 to 8 separated by commas\n"
    "                   (default 1,2,3): 1 one point beyond 3 sigma; 2 nine in a row on\n"
    "                   one side of the centre line; 3 six in a row rising or falling;\n"
    "                   4 fourteen in a row alternating up and down; 5 two of three beyond\n"
    "                   2 sigma on one side; 6 four of five beyond 1 sigma on one side;\n"
    "                   7 fifteen in a row within 1 sigma; 8 eight in a row beyond 1 sigma\n"
    "  --json           one JSON object per file, one a line, instead of the table; its\n"
    "                   numbers read back to the exact values, rule_breaks maps each\n"
    "                   chosen rule's number to its count\n"
    "  --help           show this text and exit\n"
    "Exit codes: 0 done, 2 bad arguments, 4 a file cannot be read or is no recording.\n";

struct StatsVerb {
    std::vector<std::string> files;
    Limits limits;
    uint8_t rules = kDefaultRules;
    bool json = false;
};

bool Millimetres(const char *text, double &um) {
    char *end = nullptr;
    errno = 0;
    const double mm = std::strtod(text, &end);
    if (errno != 0 || end == text || *end != '\0' || !std::isfinite(mm) || std::fabs(mm) > 2e6)
        return false;
    um = std::round(mm * 1e6) / 1000;  // to the nanometre: 37.0245 stays 37024.5 µm
    return true;
}

int RefuseStats(const char *why, const char *what = "") {
    std::fprintf(stderr, "kvex: %s%s\n\n%s", why, what, kStatsHelp);
    return CLI_BAD_ARGUMENTS;
}

// Returns -1 when the words make the verb, otherwise the exit code.
int ReadStatsWords(int argc, char **argv, StatsVerb &v) {
    for (int i = 2; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            std::fputs(kStatsHelp, stdout);
            return 0;
        }
        if ((a == "--lower" || a == "--upper") && i + 1 < argc) {
            const bool lower = a == "--lower";
            if (!Millimetres(argv[++i], lower ? v.limits.lowerUm : v.limits.upperUm))
                return RefuseStats(
                    lower ? "--lower wants millimetres, not " : "--upper wants millimetres, not ",
                    argv[i]);
            (lower ? v.limits.hasLower : v.limits.hasUpper) = true;
        } else if (a == "--rules" && i + 1 < argc) {
            const char *why = "";
            if (!ParseRules(argv[++i], v.rules, &why)) {
                const std::string said = std::string("--rules ") + argv[i] + ": " + why;
                return RefuseStats(said.c_str());
            }
        } else if (a == "--json") {
            v.json = true;
        } else if (a.rfind("--", 0) != 0 || a == "--") {
            if (a != "--") v.files.push_back(a);
            for (; a == "--" && i + 1 < argc; ++i) v.files.push_back(argv[i + 1]);
        } else {
            return RefuseStats("unexpected argument ", argv[i]);
        }
    }
    if (v.files.empty()) return RefuseStats("FILE is missing");
    if (v.limits.hasLower && v.limits.hasUpper && v.limits.lowerUm > v.limits.upperUm)
        return RefuseStats("--lower lies above --upper");
    return -1;
}

void PrintTableHead() {
    char line[512];
    if (FiguresTableHead(line, sizeof line) > 0) std::printf("%s\n", line);
}

void PrintTableRow(const char *file, const Figures &f, uint64_t badLines) {
    char line[2048];
    if (FiguresTableRow(line, sizeof line, Shown(file).c_str(), f, badLines) > 0)
        std::printf("%s\n", line);
}

// What the figures leave unsaid goes to standard error, one line each.
void TellAbout(const char *file, const Figures &f, const RecordingStatistics &r,
               const SampleStatistics &stats, bool limitsGiven) {
    const std::string name = Shown(file);
    if (r.badLines > 0)
        std::fprintf(stderr, "kvex: %s: %llu line%s could not be read, the first is line %lu\n",
                     name.c_str(), static_cast<unsigned long long>(r.badLines),
                     r.badLines == 1 ? "" : "s", r.firstBadLine);
    if (r.partialTail > 0)
        std::fprintf(stderr,
                     "kvex: %s: read up to its last whole line; the %zu bytes after it are no "
                     "sample (still being written?)\n",
                     name.c_str(), r.partialTail);
    if (f.n > 0 && f.unjudged == f.n && !limitsGiven)
        std::fprintf(stderr,
                     "kvex: %s names no tolerance limits: --lower and --upper judge its values\n",
                     name.c_str());
    if (!limitsGiven && stats.LimitsChanged())
        std::fprintf(stderr,
                     "kvex: %s: the tolerance limits changed during the recording; the counts "
                     "keep each line's verdict, the capability indices use the last limits\n",
                     name.c_str());
    if (f.n > 0 && f.hasSigma && !f.hasCpk && f.cpkWhy[0])
        std::fprintf(stderr, "kvex: %s: no Cp or Cpk: %s\n", name.c_str(), f.cpkWhy);
    if (f.n > 0 && f.hasSigma && !f.hasPpk && f.ppkWhy[0] && std::strcmp(f.ppkWhy, f.cpkWhy))
        std::fprintf(stderr, "kvex: %s: no Pp or Ppk: %s\n", name.c_str(), f.ppkWhy);
    if (f.n > 0 && f.rules && !f.hasRuleBreaks && f.ruleBreaksWhy[0])
        std::fprintf(stderr, "kvex: %s: no run rules checked: %s\n", name.c_str(), f.ruleBreaksWhy);
}

int Stats(int argc, char **argv) {
    StatsVerb v;
    const int refused = ReadStatsWords(argc, argv, v);
    if (refused >= 0) return refused;
    const bool limitsGiven = v.limits.hasLower || v.limits.hasUpper;
    static SampleStatistics stats;  // its ring is large: made once
    int code = 0;
    bool headDone = false;
    for (const std::string &file : v.files) {
        RecordingStatistics r;
        const char *why = "";
        if (!ReadRecordingStatistics(file.c_str(), limitsGiven ? &v.limits : nullptr, stats, r,
                                     &why)) {
            std::fprintf(stderr, "kvex: cannot read %s: %s\n", Shown(file).c_str(), why);
            code = CLI_FILE;
            continue;
        }
        Figures f = stats.FiguresOf(0);
        if (!CountRecordingRuleBreaks(file.c_str(), stats, r, v.rules, f, &why)) {
            std::fprintf(stderr, "kvex: cannot read %s again: %s\n", Shown(file).c_str(), why);
            code = CLI_FILE;
            continue;
        }
        if (v.json) {
            char line[2400];
            if (FiguresJson(line, sizeof line, file.c_str(), f, r.badLines) > 0)
                std::printf("%s\n", line);
        } else {
            if (!headDone) PrintTableHead();
            headDone = true;
            PrintTableRow(file.c_str(), f, r.badLines);
        }
        std::fflush(stdout);
        TellAbout(file.c_str(), f, r, stats, limitsGiven);
    }
    return code;
}

}  // namespace

bool IsKVexVerb(const char *word) {
    return word && (!std::strcmp(word, "info") || !std::strcmp(word, "params") ||
                    !std::strcmp(word, "record") || !std::strcmp(word, "publish") ||
                    !std::strcmp(word, "stats") || !std::strcmp(word, "gauge-study"));
}

int RunKVexVerb(int argc, char **argv) {
    if (!std::strcmp(argv[1], "stats")) return Stats(argc, argv);
    if (!std::strcmp(argv[1], "gauge-study")) return GaugeStudyVerb(argc, argv);
    Verb v;
    const int refused = ReadWords(argc, argv, v);
    if (refused >= 0) return refused;
    g_quiet = v.quiet;
    if (const int code = CheckFileFirst(v)) return code;
    char password[sizeof PublishOptions::password];
    if (const int code = ReadPublishingFiles(v, password, sizeof password)) return code;
    if (InitRunTime(0, nullptr) < 0) {
        std::memset(password, 0, sizeof password);
        return CLI_PANEL_FILE;
    }
    portFromCommandLine = unattended = true;
    // A signal ends a recording or a publishing run as its stop button does:
    // after the pass that runs, with the file whole and what waits sent.
    struct sigaction stop {
    }, oldInt{}, oldTerm{};
    stop.sa_handler = OnStopSignal;
    stop.sa_flags = SA_RESTART;  // a line being written is finished, never cut
    sigemptyset(&stop.sa_mask);
    sigaction(SIGINT, &stop, &oldInt);
    sigaction(SIGTERM, &stop, &oldTerm);
    int code = StartLink(v);
    if (code == 0) code = BeginPublishing(v, password);
    std::memset(password, 0, sizeof password);
    if (code == 0) {
        if (v.name == "info")
            code = Info(v);
        else if (v.name == "record")
            code = Record(v);
        else if (v.name == "publish")
            code = Publish(v);
        else
            code = v.action == "get" ? ParamsGet(v) : ParamsPut(v);
        StopMeasuring();
        const int published = EndPublishing(v);
        if (code == 0) code = published;
    }
    sigaction(SIGINT, &oldInt, nullptr);
    sigaction(SIGTERM, &oldTerm, nullptr);
    StopMeasuring();
    CloseCom(com);
    if (pHandle > 0) DiscardKVexPanels();
    return code;
}
