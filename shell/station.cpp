// kvex publish, the station: run mode without a window, every sample to the
// plant's broker, a lost sensor waited for, and the service manager told.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

#include "cli_verb.h"
#include "com232.h"
#include "exchange.h"
#include "file_checks.h"
#include "kvex_cli.h"
#include "modes.h"
#include "publish.h"
#include "rs232.h"
#include "service.h"
#include "ui.h"

namespace kvexcli {

const char *const kPublishHelp =
    "Usage: kvex publish --port DEVICE --mqtt URL [--duration SECONDS] [--mqtt-ca FILE]\n"
    "                    [--mqtt-insecure] [--mqtt-password-file FILE]\n"
    "                    [--mqtt-allow-plain-password] [--mqtt-queue N] [--quiet]\n"
    "                    [--exit-on-line-lost] [--config FILE] [--print-config]\n"
    "                    [--sparkplug GROUP/EDGE_NODE[/DEVICE] [--sparkplug-host ID]\n"
    "                    [--sparkplug-qos 0|1]]\n"
    "Runs run mode without a window and publishes every sample to an MQTT broker, QoS 1,\n"
    "in order, until the duration ends or SIGINT/SIGTERM comes; then what waits goes\n"
    "out, the retained state turns to {\"online\": false}, and the exit code is 0.\n"
    "Topics: ROOT/measurement (one message per sample), ROOT/state and ROOT/info\n"
    "(retained). While the broker cannot be reached the samples wait in a queue.\n"
    "A sensor that goes away (or is not there yet) is waited for: the state says\n"
    "{\"mode\": \"waiting\", \"reason\": \"line lost\"}, the device is tried once a second,\n"
    "and the sensor that answers starts a new run; another sensor is named.\n"
    "Under systemd (Type=notify) it says READY=1, its state (STATUS=) and WATCHDOG=1.\n\n"
    "  --mqtt URL       mqtt://[user@]host[:port][/topic/root] (port 1883), or mqtts://\n"
    "                   for TLS (port 8883); without a root: kvex/HOST/DEVICE\n"
    "  --duration SECONDS  how long to measure (default: until a signal)\n"
    "  --mqtt-ca FILE   the CA (PEM) that signed the broker's certificate (default: the\n"
    "                   system's)\n"
    "  --mqtt-insecure  TLS without checking the broker's certificate\n"
    "                   (both need mqtts://; with mqtt:// they are refused, exit 2)\n"
    "  --mqtt-cert FILE --mqtt-key FILE  the station's own certificate and its key\n"
    "                   (PEM, both, mqtts:// only), for a broker that asks for one\n"
    "  --mqtt-client-id ID  the client id the broker sees (default: kvex-HOST-PID-N);\n"
    "                   one id per station: a broker drops the older of two alike\n"
    "  --mqtt-password-file FILE  the password, first line of FILE (a regular file\n"
    "                   that others cannot read, else exit 4); else the file\n"
    "                   $CREDENTIALS_DIRECTORY/mqtt-password (systemd's credentials);\n"
    "                   else the environment variable KVEX_MQTT_PASSWORD (never an\n"
    "                   argument: others can read those). The files are checked before\n"
    "                   the port is opened\n"
    "  --mqtt-allow-plain-password  send the password over mqtt:// all the same, in\n"
    "                   clear for anyone on the network (without it: exit 2)\n"
    "  --mqtt-queue N   samples held while the broker is away or slow (those sent\n"
    "                   but not yet acknowledged too), 10 to 10000000 (default\n"
    "                   100000); beyond it the oldest not yet sent are dropped and\n"
    "                   counted, the first drop said at once. Each held sample takes its\n"
    "                   message (~310 bytes) and ~50 bytes more of memory: about\n"
    "                   36 MB for the default, 3.6 GB for the most\n"
    "  --exit-on-line-lost  end with exit 5 when the sensor goes away (3 when there is\n"
    "                   none at the start) instead of waiting for it\n"
    "  --sparkplug GROUP/EDGE_NODE[/DEVICE]  a Sparkplug B edge node instead of JSON:\n"
    "                   spBv1.0/GROUP/NBIRTH|NDATA|NDEATH/EDGE_NODE and\n"
    "                   .../DBIRTH|DDATA|DDEATH/EDGE_NODE/DEVICE, protobuf payloads, NDEATH\n"
    "                   as the will, a DDATA per sample, rebirth on NCMD; DEVICE defaults to\n"
    "                   the port's name (ttyUSB0, pts_3); the topic root is not used\n"
    "  --sparkplug-host ID  births wait for spBv1.0/STATE/ID to say online, and follow\n"
    "                   again each time it comes back online; when it goes offline the\n"
    "                   node says NDEATH, connects anew and waits for it again\n"
    "  --sparkplug-qos 0|1  QoS of births, data and DDEATH: 0 as Sparkplug B says\n"
    "                   (default); 1 has the broker acknowledge each, which the\n"
    "                   standard does not foresee. NDEATH (the will) is always QoS 1\n"
    "  --config FILE    options from FILE: one \"key = value\" a line, the key an option's\n"
    "                   name without the dashes (port = /dev/ttyUSB0, quiet = yes), lines\n"
    "                   starting with # are comments; the command line wins. A password\n"
    "                   is refused there (exit 2): name a file with mqtt-password-file\n"
    "  --print-config   print the options in force in that form (never the password)\n"
    "                   and exit\n";

bool g_waitForSensor = false;

// ---------------------------------------------------------------- publishing
void TellServiceManager();
std::string g_brokerWords;
bool g_saidDropping = false;

void SayBrokerState(const char *text, bool newState) {
    if (text[0] == '\0') return;
    const PublishFigures f = PublishingFigures();
    // A stalled broker keeps the connection while the queue overflows: the
    // first loss is said when it happens, not only in the last line.
    if (f.dropped > 0 && !g_saidDropping) {
        g_saidDropping = true;
        Say(kLogWarning, "MQTT queue full (%lu held): the oldest samples are being dropped",
            f.queued);
    }
    if (!newState) return;
    g_brokerWords = text;
    TellServiceManager();
    const bool fault = !f.connected;
    if (fault || !g_quiet) Say(fault ? kLogWarning : kLogInfo, "MQTT %s", text);
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

// The password from --mqtt-password-file (its first line), the credential
// or KVEX_MQTT_PASSWORD.
bool ReadPassword(const Verb &v, char *password, std::size_t size) {
    password[0] = '\0';
    const std::string file = PasswordFileInForce(v);
    if (file.empty()) {
        if (const char *env = std::getenv("KVEX_MQTT_PASSWORD")) {
            KeepSecretsOutOfDumps();
            std::snprintf(password, size, "%s", env);
        }
        return true;
    }
    KeepSecretsOutOfDumps();
    const char *why = nullptr;
    const int fd = OpenRegularFile(file.c_str(), &why);
    if (fd >= 0) {
        why = PasswordFileFault(fd, password, size);
        close(fd);
    }
    if (!why) return true;
    std::memset(password, 0, size);
    Say(kLogError, "cannot use the password file %s: %s", Shown(file).c_str(), why);
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
    const std::pair<const std::string *, const char *> files[] = {
        {&v.caFile, "CA file"}, {&v.certFile, "certificate"}, {&v.keyFile, "key"}};
    for (const auto &[file, what] : files) {
        if (file->empty()) continue;
        if (const char *why = CaFileFault(file->c_str())) {
            Say(kLogError, "cannot use the %s %s: %s; nothing was sent", what, Shown(*file).c_str(),
                why);
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
    std::snprintf(o.certFile, sizeof o.certFile, "%s", v.certFile.c_str());
    std::snprintf(o.keyFile, sizeof o.keyFile, "%s", v.keyFile.c_str());
    std::snprintf(o.clientId, sizeof o.clientId, "%s", v.clientId.c_str());
    o.insecure = v.insecure;
    o.allowPlainPassword = v.plainPassword;
    o.recordedOnly = Takes(v, kPublishesRecorded);
    o.queueLimit = v.queue;
    std::snprintf(o.sparkplug, sizeof o.sparkplug, "%s", v.sparkplug.c_str());
    std::snprintf(o.sparkplugHost, sizeof o.sparkplugHost, "%s", v.sparkplugHost.c_str());
    o.sparkplugQos = v.sparkplugQos;
    std::snprintf(o.password, sizeof o.password, "%s", password);
    char why[240];
    const bool on = StartPublishing(o, why, sizeof why);
    std::memset(o.password, 0, sizeof o.password);
    if (!on) {
        Say(kLogError, "cannot publish: %s", why);
        return PublishingRefusedForKeptState() ? CLI_FILE : CLI_BAD_ARGUMENTS;
    }
    g_measured = 0;
    g_saidDropping = false;
    SubscribeSamples(CountSample);
    SetBrokerStateListener(SayBrokerState);
    if (g_quiet) return 0;
    if (v.sparkplug.empty()) {
        Say(kLogInfo, "publishing to %s/...", PublishTopicRoot());
    } else {
        char text[320];
        BrokerStateText(text, sizeof text);
        Say(kLogInfo, "publishing as a Sparkplug B edge node: %s", text);
    }
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
    const bool recording = Takes(v, kPublishesRecorded);
    const unsigned long measured = recording ? g_recorded : g_measured;
    const char *done = recording ? "recorded" : "measured";
    const unsigned long lost = std::min(measured, unsent + dropped);
    const char *plural = measured == 1 ? "" : "s";
    if (lost == 0 && !before.stopped) {
        Say(kLogInfo, "%lu sample%s %s, all published", measured, plural, done);
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
    Say(kLogError, "%s", line);
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

// ---------------------------------------------------------------- the station
// What the station does, in words, for the service manager's status line;
// the broker's state in words beside it; the last status sent.
std::string g_stationWords, g_statusSent;
bool g_serviceReady = false;
double g_watchdogSeconds = 0;

void TellServiceManager() {
    if (!g_serviceReady || g_stationWords.empty()) return;
    std::string status = "STATUS=" + g_stationWords;
    if (!g_brokerWords.empty()) status += "; " + g_brokerWords;
    if (status == g_statusSent) return;
    g_statusSent = status;
    NotifyServiceManager(status.c_str());
}

// From the event loop, so that a loop that hangs stops the pings and the
// service manager restarts the station.
void PingWatchdog(void *) {
    NotifyServiceManager("WATCHDOG=1");
    PostDelayedCall(g_watchdogSeconds, PingWatchdog, nullptr);
}

// The sensor and the broker are connected or being waited for: the service
// has started.
void TellServiceReady() {
    g_serviceReady = true;
    NotifyServiceManager("READY=1");
    TellServiceManager();
    g_watchdogSeconds = WatchdogPingSeconds();
    if (g_watchdogSeconds > 0) PingWatchdog(nullptr);
}

void SetStation(const char *mode, const char *reason, const std::string &words) {
    SetStationState(mode, reason);
    g_stationWords = words;
    TellServiceManager();
}

bool StationGoesOn() { return g_signal == 0 && !g_durationOver && !g_publishingStopped; }

// The state turns to waiting before run mode ends, so the plant never reads
// the idle moment in between.
void StationLineLost() {
    StopMeasuring();
    ReadLinkDevice();
    char text[120];
    std::snprintf(text, sizeof text, "Line lost on %.60s", LinkDevice());
    ShowStatusText(text);  // kept in szStatus: the reason a verb gives at its end
    if (g_waitForSensor) SetStationState("waiting", "line lost");
}

// Who the sensor says it is: a sensor of other hardware or firmware that
// answers at the device is another one.
std::string SensorIdentityNow() {
    std::string identity = sensorFirmware;
    for (const auto &line : sensorHardware) identity += std::string("|") + line;
    return identity;
}

// Tries the device once a second, quietly, until a sensor answers every
// start-up question; false when a signal or the duration ended the wait.
bool AwaitSensor(const Verb &v, const char *reason) {
    const std::string words = "waiting for a sensor on " + Shown(v.port) + ": " + reason;
    SetStation("waiting", reason, words);
    Say(kLogWarning, "%s; trying once a second", words.c_str());
    while (StationGoesOn()) {
        const double next = Timer() + 1.0;
        while (StationGoesOn() && Timer() < next) ProcessSystemEventsUntil(next);
        if (!StationGoesOn()) break;
        if (access(v.port.c_str(), F_OK) != 0 || !BeginLinkOperation()) continue;
        void (*status)(const char *) = link_display.status;
        link_display.status = KeepQuiet;
        CloseCom(com);
        InitRS232(com);
        EndLinkOperation();
        // The last sensor's texts stay in the state and the info until
        // another answers, as in the window.
        if (LinkReady())
            NoteLinkOpened();
        else
            AskAgainWhileGarbled();
        link_display.status = status;
        if (LinkReady()) return true;
    }
    return false;
}

// The sensor that answers is the one measured last, or another, which the
// state and the log name; the state says what the station does with it.
void NameTheSensor(const Verb &v, std::string &measured, const char *doing) {
    const std::string identity = SensorIdentityNow();
    const bool another = !measured.empty() && identity != measured;
    const std::string firmware = Utf8(sensorFirmware);
    if (another)
        Say(kLogWarning, "another sensor on %s: %s (hardware %s); %s it as a new run",
            Shown(v.port).c_str(), firmware.c_str(), Utf8(sensorHardware[0]).c_str(), doing);
    else if (!measured.empty() && !g_quiet)
        Say(kLogInfo, "the sensor on %s answers again; %s as a new run", Shown(v.port).c_str(),
            doing);
    measured = identity;
    SetStation("", another ? "another sensor" : "",
               std::string(doing) + " on " + Shown(v.port) + ", " + firmware +
                   (another ? " (another sensor)" : ""));
}

// Run mode until the duration ends or a signal comes. A sensor that goes
// away, or is not there at the start, is waited for and measured again as
// a new run; with --exit-on-line-lost a run that ended by itself (the
// sensor stopped answering) ends the verb and says why.
int Publish(const Verb &v) {
    g_durationOver = g_publishingStopped = false;
    if (v.duration > 0) PostDelayedCall(v.duration, StopAfterDuration, nullptr);
    WatchForSignal(nullptr);
    std::string measured;  // the identity of the sensor measured last
    // A sensor that went silent answers the start-up questions before it
    // is measured again.
    bool await = !LinkReady();
    while (StationGoesOn()) {
        if (await && !AwaitSensor(v, measured.empty() ? "waiting for sensor" : "line lost")) break;
        await = true;
        NameTheSensor(v, measured, "measuring");
        MeasureInRunMode();
        if (!StationGoesOn()) break;
        if (!g_waitForSensor) {
            Say(kLogError, "run mode ended: %s", szStatus);
            return CLI_NOT_CONFIRMED;
        }
    }
    SetStation("", "", "stopping");
    return 0;
}

}  // namespace kvexcli
