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
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "com232.h"
#include "exchange.h"
#include "file_checks.h"
#include "kvex_gauge_cli.h"
#include "kvex_main.h"
#include "kvex_report_cli.h"
#include "modes.h"
#include "parafile.h"
#include "publish.h"
#include "recorder.h"
#include "recording_statistics.h"
#include "rs232.h"
#include "service.h"
#include "sparkplug.h"
#include "ui.h"

namespace {

constexpr const char *kExitCodes =
    "Exit codes: 0 done, 1 panel file unusable, 2 bad arguments, 3 no sensor on the port\n"
    "(or the port is in use), 4 file cannot be read or written, 5 the sensor did not send\n"
    "or confirm, 6 samples left unpublished (the broker could not take them), 130 and 143\n"
    "record ended by SIGINT or SIGTERM.\n";

constexpr const char *kCommonOptions =
    "  --port DEVICE    the serial device the sensor is on, e.g. /dev/ttyUSB0\n"
    "  --quiet          say nothing on standard error but failures and the result\n"
    "  --no-quiet       off again, though --config switched it on; every switch has its\n"
    "                   no- form, and in the file it is yes or no\n"
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
    "                   --mqtt-queue, --sparkplug, --sparkplug-host) as kvex publish\n"
    "                   --help explains. A sensor that\n"
    "                   goes away is then waited for as kvex publish waits, and the\n"
    "                   samples still wanted go to the next free name (FILE-2.dat, ...)\n"
    "                   as a new run\n"
    "  --exit-on-line-lost  with --mqtt: end when the sensor goes away, as without it\n";

constexpr const char *kPublishHelp =
    "Usage: kvex publish --port DEVICE --mqtt URL [--duration SECONDS] [--mqtt-ca FILE]\n"
    "                    [--mqtt-insecure] [--mqtt-password-file FILE]\n"
    "                    [--mqtt-allow-plain-password] [--mqtt-queue N] [--quiet]\n"
    "                    [--exit-on-line-lost] [--config FILE] [--print-config]\n"
    "                    [--sparkplug GROUP/EDGE_NODE[/DEVICE] [--sparkplug-host ID]]\n"
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
    "                   again each time it comes back online\n"
    "  --config FILE    options from FILE: one \"key = value\" a line, the key an option's\n"
    "                   name without the dashes (port = /dev/ttyUSB0, quiet = yes), lines\n"
    "                   starting with # are comments; the command line wins. A password\n"
    "                   is refused there (exit 2): name a file with mqtt-password-file\n"
    "  --print-config   print the options in force in that form (never the password)\n"
    "                   and exit\n";

// What a verb takes and needs, one bit each; the word readers and the
// checks after them ask these instead of the verb's name.
enum VerbOption : unsigned {
    kOwnWords = 1u << 0,   // reads its words itself: no sensor, no port, no run-time
    kAction = 1u << 1,     // a first word says what: get or put
    kFile = 1u << 2,       // a FILE word, needed
    kMemory = 1u << 3,     // --memory ram|eeprom, needed
    kSamples = 1u << 4,    // --samples N and --interval S, needed; --csv
    kForce = 1u << 5,      // --force (params: for get only)
    kMqtt = 1u << 6,       // --mqtt URL and its options
    kNeedsMqtt = 1u << 7,  // --mqtt is no option but the point
    kDuration = 1u << 8,   // --duration SECONDS
    // What it publishes is what its file holds, under each line's number.
    kPublishesRecorded = 1u << 9,
    // Reads a configuration file (--config, --print-config), tells systemd.
    kStation = 1u << 10,
    // Publishing, waits for a lost or missing sensor (--exit-on-line-lost).
    kWaitsForSensor = 1u << 11,
    // Works on the window's hidden panels: the parameter fields hold the
    // limits of each word, and a file goes to the sensor through them.
    kPanels = 1u << 12,
};

struct Verb;
// One verb of the command line: a new verb is one more entry in kVerbs.
struct VerbEntry {
    const char *name;
    unsigned options;   // VerbOption bits
    const char *usage;  // its lines in the usage of every refusal
    const char *help;   // kvex VERB --help, before the common options
    int (*run)(const Verb &v);
};
const VerbEntry *FindVerb(const char *name);

struct Verb {
    const VerbEntry *entry = nullptr;
    int argc = 0;
    char **argv = nullptr;
    std::string action, port, file;
    int memory = 0;  // 1 RAM, 2 EEPROM
    long samples = -1, interval = -1;
    bool csv = false, force = false, quiet = false;
    std::string mqtt, caFile, passwordFile, certFile, keyFile, clientId;
    std::string config;                    // the --config FILE its options came from
    std::string sparkplug, sparkplugHost;  // GROUP/EDGE_NODE[/DEVICE], the primary host
    bool insecure = false, plainPassword = false;
    bool exitOnLineLost = false, printConfig = false;
    unsigned long queue = 100000;
    double duration = 0;  // 0: until a signal
};

std::string VerbUsage();

int Refuse(const char *why, const char *what = "") {
    std::fprintf(stderr, "kvex: %s%s\n\n%s%s", why, what, VerbUsage().c_str(), kExitCodes);
    return CLI_BAD_ARGUMENTS;
}

bool Takes(const Verb &v, unsigned option) { return (v.entry->options & option) != 0; }

int Help(const Verb &v) {
    std::printf("%s%s%s", v.entry->help, kCommonOptions, kExitCodes);
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
    if (!Takes(v, kMqtt)) return false;
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
    } else if (a == "--mqtt-cert" && hasValue) {
        v.certFile = argv[++i];
    } else if (a == "--mqtt-key" && hasValue) {
        v.keyFile = argv[++i];
    } else if (a == "--mqtt-client-id" && hasValue) {
        v.clientId = argv[++i];
        if (v.clientId.empty() || v.clientId.size() > 127)
            refused = Refuse("--mqtt-client-id: 1 to 127 characters");
    } else if (a == "--sparkplug" && hasValue) {
        v.sparkplug = argv[++i];
        SparkplugName name;
        char why[240];
        if (!ParseSparkplugName(v.sparkplug.c_str(), "", name, why, sizeof why))
            refused = Refuse("--sparkplug: ", why);
    } else if (a == "--sparkplug-host" && hasValue) {
        v.sparkplugHost = argv[++i];
        if (const char *fault = SparkplugIdFault(v.sparkplugHost.c_str()))
            refused = Refuse("--sparkplug-host: ", fault);
    } else if (a == "--mqtt-insecure") {
        v.insecure = true;
    } else if (a == "--mqtt-allow-plain-password") {
        v.plainPassword = true;
    } else if (a == "--exit-on-line-lost" && Takes(v, kWaitsForSensor)) {
        v.exitOnLineLost = true;
    } else if (a == "--print-config" && Takes(v, kStation)) {
        v.printConfig = true;
    } else if (a == "--mqtt-queue" && hasValue) {
        char *end = nullptr;
        const unsigned long n = std::strtoul(argv[++i], &end, 10);
        if (end == argv[i] || *end != '\0' || n < kLeastQueue || n > kMostQueue)
            refused = Refuse("--mqtt-queue wants 10 to 10000000 samples, not ", argv[i]);
        v.queue = n;
    } else if (a == "--duration" && hasValue && Takes(v, kDuration)) {
        char *end = nullptr;
        v.duration = std::strtod(argv[++i], &end);
        if (end == argv[i] || *end != '\0' || !(v.duration > 0) || v.duration > 1e7)
            refused = Refuse("--duration wants seconds above 0, not ", argv[i]);
    } else {
        return false;
    }
    return true;
}

// The file the password comes from: the one named, else the service
// manager's credential when it handed one over; "" for neither.
std::string PasswordFileInForce(const Verb &v) {
    if (!v.passwordFile.empty()) return v.passwordFile;
    const char *credentials = std::getenv("CREDENTIALS_DIRECTORY");
    if (!credentials || !credentials[0]) return "";
    const std::string file = std::string(credentials) + "/mqtt-password";
    return access(file.c_str(), F_OK) == 0 ? file : "";
}

// Why a password would cross the network in clear, or nullptr.
const char *PlainPasswordFault(const Verb &v) {
    BrokerAddress address;
    char why[240];
    if (v.mqtt.empty() || !ParseBrokerUrl(v.mqtt.c_str(), address, why, sizeof why) ||
        address.tls || v.plainPassword)
        return nullptr;
    const char *env = std::getenv("KVEX_MQTT_PASSWORD");
    if (PasswordFileInForce(v).empty() && !(env && env[0])) return nullptr;
    return "mqtt:// is not encrypted and the password would cross the network in clear: give "
           "mqtts://, or --mqtt-allow-plain-password to send it all the same";
}

// TLS options on an address without TLS are a contradiction, and a password
// over it is readable by anyone on the way: both refused before anything
// starts, unless the password was allowed in clear. The options in force
// are printed all the same, with what would be refused.
int RefusePlainConnection(const Verb &v) {
    if (v.printConfig) return -1;
    BrokerAddress address;
    char why[240];
    if (v.mqtt.empty() || !ParseBrokerUrl(v.mqtt.c_str(), address, why, sizeof why)) return -1;
    // What would never connect, and say nothing of why, is refused now.
    for (const auto &[what, text] :
         {std::pair{"--mqtt-client-id", v.clientId.c_str()}, {"the user name", address.user}})
        if (const char *fault = BrokerTextFault(text)) {
            const std::string said = std::string(what) + " cannot go to the broker: " + fault;
            return Refuse(said.c_str());
        }
    if (address.tls) return -1;
    if (!v.caFile.empty() || v.insecure || !v.certFile.empty() || !v.keyFile.empty())
        return Refuse(
            "--mqtt-ca, --mqtt-insecure, --mqtt-cert and --mqtt-key are for TLS, and mqtt:// is "
            "not encrypted: give mqtts://");
    if (const char *why = PlainPasswordFault(v)) return Refuse(why);
    return -1;
}

// The options a configuration file may set: the long options without their
// dashes, each for the verbs that take it (0: every verb).
struct OptionWord {
    const char *name;
    bool value;  // takes a value; else a flag: yes or no
    unsigned verbs;
};
constexpr OptionWord kOptionWords[] = {
    {"port", true, 0},
    {"quiet", false, 0},
    {"memory", true, kMemory},
    {"samples", true, kSamples},
    {"interval", true, kSamples},
    {"csv", false, kSamples},
    {"force", false, kForce},
    {"mqtt", true, kMqtt},
    {"mqtt-ca", true, kMqtt},
    {"mqtt-insecure", false, kMqtt},
    {"mqtt-password-file", true, kMqtt},
    {"mqtt-cert", true, kMqtt},
    {"mqtt-key", true, kMqtt},
    {"mqtt-client-id", true, kMqtt},
    {"mqtt-allow-plain-password", false, kMqtt},
    {"mqtt-queue", true, kMqtt},
    {"sparkplug", true, kMqtt},
    {"sparkplug-host", true, kMqtt},
    {"duration", true, kDuration},
    {"exit-on-line-lost", false, kWaitsForSensor},
};

// The switch that --name and --no-name set, for a verb that takes it.
bool *FlagOf(Verb &v, const std::string &name) {
    const OptionWord *option = nullptr;
    for (const OptionWord &o : kOptionWords)
        if (name == o.name && !o.value && (o.verbs == 0 || Takes(v, o.verbs))) option = &o;
    if (!option) return nullptr;
    const std::pair<const char *, bool *> flags[] = {
        {"quiet", &v.quiet},
        {"csv", &v.csv},
        {"force", &v.force},
        {"mqtt-insecure", &v.insecure},
        {"mqtt-allow-plain-password", &v.plainPassword},
        {"exit-on-line-lost", &v.exitOnLineLost}};
    for (const auto &[flagName, flag] : flags)
        if (name == flagName) return flag;
    return nullptr;
}

int RefuseConfig(const std::string &file, int line, const std::string &why) {
    Say(kLogError, "%s, line %d: %s", Shown(file).c_str(), line, why.c_str());
    return CLI_BAD_ARGUMENTS;
}

// The words of --config FILE, as the command line would give them, go
// before the command line's own, so that those win. Returns -1 when words
// holds them (or there was no --config), otherwise the exit code.
int ConfigWords(Verb &v, int argc, char **argv, std::vector<std::string> &words) {
    words.assign(argv, argv + argc);
    if (!Takes(v, kStation)) return -1;
    std::string file;
    for (std::size_t i = 2; i + 1 < words.size(); ++i)
        if (words[i] == "--config") {
            file = words[i + 1];
            words.erase(words.begin() + static_cast<long>(i),
                        words.begin() + static_cast<long>(i) + 2);
            break;
        }
    if (file.empty()) return -1;
    v.config = file;
    std::vector<ConfigEntry> entries;
    std::string why;
    int badLine = 0;
    if (!ReadConfigFile(file.c_str(), entries, why, badLine)) {
        if (badLine > 0) return RefuseConfig(file, badLine, why);
        Say(kLogError, "cannot read the configuration %s: %s", Shown(file).c_str(), why.c_str());
        return CLI_FILE;
    }
    std::vector<std::string> given;
    std::map<std::string, int> lines;  // where each key was set
    for (const ConfigEntry &e : entries) {
        if (const auto [at, first] = lines.emplace(e.key, e.line); !first)
            return RefuseConfig(file, e.line,
                                e.key + " is set twice, on lines " + std::to_string(at->second) +
                                    " and " + std::to_string(e.line) + ": which one is meant?");
        // Others may read a configuration file: a password does not go there.
        if (e.key.find("password") != std::string::npos && e.key != "mqtt-password-file" &&
            e.key != "mqtt-allow-plain-password")
            return RefuseConfig(file, e.line,
                                "no password in a configuration file: name a file that "
                                "holds it with mqtt-password-file, or give it as the "
                                "credential mqtt-password or in KVEX_MQTT_PASSWORD");
        const OptionWord *option = nullptr;
        for (const OptionWord &o : kOptionWords)
            if (e.key == o.name && (o.verbs == 0 || Takes(v, o.verbs))) option = &o;
        if (!option) return RefuseConfig(file, e.line, "no option " + e.key + " here");
        if (option->value) {
            if (e.value.empty()) return RefuseConfig(file, e.line, e.key + " wants a value");
            given.push_back("--" + e.key);
            given.push_back(e.value);
            continue;
        }
        const int flag = ConfigFlag(e.value);
        if (flag < 0)
            return RefuseConfig(file, e.line, e.key + " is yes or no, not \"" + e.value + "\"");
        given.push_back(flag == 1 ? "--" + e.key : "--no-" + e.key);
    }
    words.insert(words.begin() + 2, given.begin(), given.end());
    return -1;
}

// The options in force, in the configuration file's form: what a station
// will do, and where its password comes from, but never the password.
int PrintConfig(const Verb &v) {
    // A line break in a value would read back as another option.
    for (const std::string *value : {&v.port, &v.mqtt, &v.caFile, &v.certFile, &v.keyFile,
                                     &v.clientId, &v.passwordFile, &v.sparkplug, &v.sparkplugHost})
        if (value->find_first_of("\r\n") != std::string::npos)
            return Refuse("a value holds a line break and cannot be written as a configuration: ",
                          Shown(*value).c_str());
    const auto flag = [](bool on) { return on ? "yes" : "no"; };
    std::printf("# kvex %s: the options in force\n", v.entry->name);
    std::printf("port = %s\n", v.port.c_str());
    std::printf("mqtt = %s\n", v.mqtt.c_str());
    if (v.duration > 0) std::printf("duration = %g\n", v.duration);
    if (!v.caFile.empty()) std::printf("mqtt-ca = %s\n", v.caFile.c_str());
    std::printf("mqtt-insecure = %s\n", flag(v.insecure));
    if (!v.certFile.empty()) std::printf("mqtt-cert = %s\n", v.certFile.c_str());
    if (!v.keyFile.empty()) std::printf("mqtt-key = %s\n", v.keyFile.c_str());
    if (!v.clientId.empty()) std::printf("mqtt-client-id = %s\n", v.clientId.c_str());
    if (!v.passwordFile.empty()) std::printf("mqtt-password-file = %s\n", v.passwordFile.c_str());
    std::printf("mqtt-allow-plain-password = %s\n", flag(v.plainPassword));
    std::printf("mqtt-queue = %lu\n", v.queue);
    if (!v.sparkplug.empty()) std::printf("sparkplug = %s\n", v.sparkplug.c_str());
    if (!v.sparkplugHost.empty()) std::printf("sparkplug-host = %s\n", v.sparkplugHost.c_str());
    std::printf("quiet = %s\n", flag(v.quiet));
    std::printf("exit-on-line-lost = %s\n", flag(v.exitOnLineLost));
    const std::string file = PasswordFileInForce(v);
    const char *env = std::getenv("KVEX_MQTT_PASSWORD");
    if (!file.empty())
        std::printf("# password: from the file %s\n", file.c_str());
    else if (env && env[0])
        std::printf("# password: from KVEX_MQTT_PASSWORD\n");
    else
        std::printf("# password: none\n");
    if (const char *why = PlainPasswordFault(v)) std::printf("# refused as it stands: %s\n", why);
    char settings[300] = "";
    if (GetSettingsFile(settings, sizeof settings))
        std::printf("# kept across starts (the Sparkplug bdSeq) in: %s\n", settings);
    return 0;
}

// Returns -1 when the words make a verb, otherwise the exit code.
int ReadWords(int argc, char **argv, Verb &v) {
    for (int k = 2; k < argc; ++k)
        if (!std::strcmp(argv[k], "--help") || !std::strcmp(argv[k], "-h")) return Help(v);
    int i = 2;
    if (Takes(v, kAction)) {
        if (i >= argc || (std::strcmp(argv[i], "get") && std::strcmp(argv[i], "put")))
            return Refuse("params wants get or put");
        v.action = argv[i++];
    }
    for (; i < argc; ++i) {
        const std::string a = argv[i];
        const bool hasValue = i + 1 < argc;
        int refused = -1;
        bool *off = a.rfind("--no-", 0) == 0 ? FlagOf(v, a.substr(5)) : nullptr;
        if (off) {
            *off = false;  // a switch the configuration file set, undone
        } else if (ReadMqttWord(argc, argv, i, v, refused)) {
            if (refused >= 0) return refused;
        } else if (a == "--port" && hasValue) {
            v.port = argv[++i];
        } else if (a == "--memory" && hasValue && Takes(v, kMemory)) {
            const std::string m = argv[++i];
            if (m != "ram" && m != "eeprom")
                return Refuse("--memory is ram or eeprom, not ", argv[i]);
            v.memory = m == "ram" ? 1 : 2;
        } else if (a == "--samples" && hasValue && Takes(v, kSamples)) {
            if (!WholeNumber(argv[++i], v.samples) || v.samples < 1)
                return Refuse("--samples wants 1 to 65535, not ", argv[i]);
        } else if (a == "--interval" && hasValue && Takes(v, kSamples)) {
            if (!WholeNumber(argv[++i], v.interval))
                return Refuse("--interval wants whole seconds, 0 to 65535, not ", argv[i]);
        } else if (a == "--csv" && Takes(v, kSamples)) {
            v.csv = true;
        } else if (a == "--force" && Takes(v, kForce) && v.action != "put") {
            v.force = true;
        } else if (a == "--quiet") {
            v.quiet = true;
        } else if (a.rfind("--", 0) != 0 && v.file.empty() && Takes(v, kFile)) {
            v.file = a;
        } else {
            return Refuse("unexpected argument ", argv[i]);
        }
    }
    if (v.port.empty()) return Refuse("--port DEVICE is missing");
    if (v.mqtt.empty() &&
        (!v.caFile.empty() || !v.passwordFile.empty() || v.insecure || v.plainPassword ||
         !v.certFile.empty() || !v.keyFile.empty() || !v.clientId.empty()))
        return Refuse("the MQTT options need --mqtt URL");
    if (v.certFile.empty() != v.keyFile.empty())
        return Refuse("--mqtt-cert and --mqtt-key go together");
    if (!v.sparkplugHost.empty() && v.sparkplug.empty())
        return Refuse("--sparkplug-host needs --sparkplug GROUP/EDGE_NODE[/DEVICE]");
    if (const int refused = RefusePlainConnection(v); refused >= 0) return refused;
    if (Takes(v, kNeedsMqtt)) return v.mqtt.empty() ? Refuse("--mqtt URL is missing") : -1;
    if (!Takes(v, kFile)) return -1;
    if (v.file.empty()) return Refuse("FILE is missing");
    if (Takes(v, kMemory) && v.memory == 0) return Refuse("--memory ram|eeprom is missing");
    if (Takes(v, kSamples) && (v.samples < 0 || v.interval < 0))
        return Refuse("--samples N and --interval S are both needed");
    return -1;
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
    if (pHandle > 0) SetCtrlVal(pHandle, PANEL_StatusLine, text);
    // The verb says how a recording ended in its own last line.
    for (const char *own : {"Cannot write record file", "Record file gone", "Recording ",
                            "Timeout RS232-Line, recording", "Line lost, recording", "Not loaded",
                            "Cannot write parameter file", "Parameters saved", "Port in use"})
        if (std::strncmp(text, own, std::strlen(own)) == 0) return;
    if (!g_quiet) Say(kLogInfo, "%s", text);
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
        Say(kLogInfo, "sample %u of %u", done, wanted);
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

void StationLineLost();

// The link, the session and the sample stream, and nothing of the window:
// what its status line would show goes to the log.
// The start-up handshake's texts stay out of the log, as they stay on the
// window's status line: a failure is said once, in the verb's own words.
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

// The start-up handshake on port 1; for a verb that works on the panels,
// they are loaded first, hidden.
int StartLink(const Verb &v) {
    if (Takes(v, kPanels) && LoadKVexPanels() < 0) return CLI_PANEL_FILE;
    ClearComPortDevices();
    SetComPortDevice(1, v.port.c_str());
    if (Takes(v, kPanels)) {
        link_display.status = SayStatus;
        StartKVex(true);
        HidePanel(pHandle);
        link_display.status = SayStatus;
    } else {
        StartWithoutWindow();
    }
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

int ParamsGet(const Verb &v) {
    if (!BeginLinkOperation()) return CLI_NOT_CONFIRMED;
    target = v.memory;
    const bool answered = GetParameterFrames();
    EndLinkOperation();
    if (!answered) {
        Say(kLogError, "the sensor did not send its parameters: %s", szStatus);
        return CLI_NOT_CONFIRMED;
    }
    char path[sizeof file_name];
    if (!OutputName(v, Absolute(v.file), path, sizeof path)) return CLI_FILE;
    std::snprintf(file_name, sizeof file_name, "%s", path);
    SendParaToFile();
    if (ParameterFileFault()[0] != '\0') {
        Say(kLogError, "cannot write %s: %s", path, ParameterFileFault());
        return CLI_FILE;
    }
    if (!g_quiet) Say(kLogInfo, "parameters saved to %s", path);
    return 0;
}

int ParamsPut(const Verb &v) {
    const std::string file = Absolute(v.file);
    if (!ReadParaFromPath(file.c_str())) {
        Say(kLogError, "%s not loaded: %s", file.c_str(), ParameterFileFault());
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

bool g_waitForSensor = false;  // a lost sensor is waited for, not the end
bool AwaitSensor(const Verb &v, const char *reason);
void NameTheSensor(const Verb &v, std::string &measured, const char *doing);
unsigned g_recorded = 0;  // samples written to the files of the verb

// A recording of the samples wanted; with --mqtt a sensor that goes away is
// waited for and the samples still wanted go to the next free name, as a
// run of their own.
int Record(const Verb &v) {
    RecordingRequest request;
    request.interval = static_cast<unsigned short>(v.interval);
    request.csv = v.csv;
    const std::string file = Absolute(v.file);
    char path[sizeof recfile_name];
    if (!OutputName(v, file, path, sizeof path)) return CLI_FILE;
    bool replace = v.force;
    g_recorded = 0;
    g_progressOnTerminal = isatty(STDERR_FILENO) != 0;
    // A sensor that went silent answers the start-up questions before it
    // is recorded again.
    bool await = !LinkReady();
    std::string measured;  // the identity of the sensor recorded last
    for (;;) {
        if (await && !AwaitSensor(v, measured.empty() ? "waiting for sensor" : "line lost")) break;
        await = true;
        const unsigned wanted = static_cast<unsigned>(v.samples) - g_recorded;
        request.samples = static_cast<unsigned short>(wanted);
        NameTheSensor(v, measured, "recording");
        recordProgress = SayProgress;
        const RecordingOutcome &r =
            g_signal == 0 ? RecordTo(path, replace, request) : LastRecording();
        recordProgress = nullptr;
        EndProgressLine();
        if (!r.started) {
            Say(kLogError, "cannot record to %s: %s", Shown(path).c_str(), r.why);
            return CLI_FILE;
        }
        g_recorded += r.samples;
        const char *plural = r.samples == 1 ? "" : "s";
        if (r.fileFault) {
            Say(kLogError, "cannot write %s: %s; the file holds %u sample%s", r.path, r.why,
                r.samples, plural);
            return CLI_FILE;
        }
        if (g_signal != 0) {
            Say(kLogInfo, "stopped by %s; %s holds %u sample%s",
                g_signal == SIGINT ? "SIGINT" : "SIGTERM", r.path, r.samples, plural);
            return 128 + g_signal;
        }
        Say(kLogInfo, "%u sample%s recorded to %s", r.samples, plural, r.path);
        if (r.samples >= wanted) return 0;
        if (!g_waitForSensor) return CLI_NOT_CONFIRMED;
        // The samples still wanted go beside the file, never over it.
        if (!NextFreeName(file.c_str(), path, sizeof path)) {
            Say(kLogError, "no free name beside %s for the samples still wanted", file.c_str());
            return CLI_FILE;
        }
        replace = false;
        Say(kLogInfo, "the other %u sample%s go to %s once a sensor answers", wanted - r.samples,
            wanted - r.samples == 1 ? "" : "s", path);
    }
    if (g_signal != 0) {
        Say(kLogInfo, "stopped by %s while waiting for a sensor; %u sample%s recorded",
            g_signal == SIGINT ? "SIGINT" : "SIGTERM", g_recorded, g_recorded == 1 ? "" : "s");
        return 128 + g_signal;
    }
    return CLI_NOT_CONFIRMED;
}

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

// Every file the verb reads: the file it writes must be none of them.
std::vector<std::string> InputsOf(const Verb &v) {
    return {
        v.port, v.config, v.caFile, v.passwordFile, v.certFile, v.keyFile, PasswordFileInForce(v)};
}

// What can be told of the file before anything goes to the sensor.
int CheckFileFirst(const Verb &v) {
    if (v.file.empty()) return 0;
    const char *why = ControlCharacterIn(v.file.c_str());
    if (!why && v.action == "put") {
        const int fd = OpenRegularFile(v.file.c_str(), &why);
        if (fd >= 0) close(fd);
    } else if (!why) {
        why = OutputRefused(v.file.c_str(), InputsOf(v));
    }
    if (!why) return 0;
    Say(kLogError, "%s: %s; nothing was sent", Shown(v.file).c_str(), why);
    return CLI_FILE;
}

// ---------------------------------------------------------------- stats
constexpr const char *kStatsHelp =
    "Usage: kvex stats [--lower MM] [--upper MM] [--rules LIST] [--json] [--quiet] FILE...\n"
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
    "  --events         the out-of-tolerance events of one FILE as CSV instead\n"
    "                   (kvex stats --events --help tells more)\n"
    "  --quiet          say nothing on standard error but failures and the result\n"
    "  --help           show this text and exit\n"
    "Exit codes: 0 done, 2 bad arguments, 4 a file cannot be read or is no recording.\n";

struct StatsVerb {
    std::vector<std::string> files;
    Limits limits;
    uint8_t rules = kDefaultRules;
    bool json = false, quiet = false;
};

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
        } else if (a == "--quiet" || a == "--no-quiet") {
            v.quiet = a == "--quiet";
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
        Say(kLogWarning, "%s: %llu line%s could not be read, the first is line %lu", name.c_str(),
            static_cast<unsigned long long>(r.badLines), r.badLines == 1 ? "" : "s",
            r.firstBadLine);
    if (r.partialTail > 0)
        Say(kLogWarning,
            "%s: read up to its last whole line; the %zu bytes after it are no sample (still "
            "being written?)",
            name.c_str(), r.partialTail);
    if (f.n > 0 && f.unjudged == f.n && !limitsGiven)
        Say(kLogWarning, "%s names no tolerance limits: --lower and --upper judge its values",
            name.c_str());
    if (!limitsGiven && stats.LimitsChanged())
        Say(kLogWarning,
            "%s: the tolerance limits changed during the recording; the counts "
            "keep each line's verdict, the capability indices use the last limits",
            name.c_str());
    if (f.n > 0 && f.hasSigma && !f.hasCpk && f.cpkWhy[0])
        Say(kLogWarning, "%s: no Cp or Cpk: %s", name.c_str(), f.cpkWhy);
    if (f.n > 0 && f.hasSigma && !f.hasPpk && f.ppkWhy[0] && std::strcmp(f.ppkWhy, f.cpkWhy))
        Say(kLogWarning, "%s: no Pp or Ppk: %s", name.c_str(), f.ppkWhy);
    if (f.n > 0 && f.rules && !f.hasRuleBreaks && f.ruleBreaksWhy[0])
        Say(kLogWarning, "%s: no run rules checked: %s", name.c_str(), f.ruleBreaksWhy);
}

int Stats(const Verb &words) {
    StatsVerb v;
    const int refused = ReadStatsWords(words.argc, words.argv, v);
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
            Say(kLogError, "cannot read %s: %s", Shown(file).c_str(), why);
            code = CLI_FILE;
            continue;
        }
        Figures f = stats.FiguresOf(0);
        if (!CountRecordingRuleBreaks(file.c_str(), stats, r, v.rules, f, &why)) {
            Say(kLogError, "cannot read %s again: %s", Shown(file).c_str(), why);
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
        if (!v.quiet) TellAbout(file.c_str(), f, r, stats, limitsGiven);
    }
    return code;
}

int Params(const Verb &v) { return v.action == "get" ? ParamsGet(v) : ParamsPut(v); }

// The verbs that read their own words, from the report's module.
int StatsOrEvents(const Verb &v) {
    const int events = StatsEventsVerb(v.argc, v.argv);
    return events >= 0 ? events : Stats(v);
}
int Report(const Verb &v) { return ReportVerb(v.argc, v.argv); }
int GaugeStudy(const Verb &v) { return GaugeStudyVerb(v.argc, v.argv); }

constexpr VerbEntry kVerbs[] = {
    {"info", 0, "  kvex info --port DEVICE [--quiet]\n", kInfoHelp, Info},
    {"params", kAction | kFile | kMemory | kForce | kPanels,
     "  kvex params get --port DEVICE --memory ram|eeprom [--force] [--quiet] FILE\n"
     "  kvex params put --port DEVICE --memory ram|eeprom [--quiet] FILE\n",
     kParamsHelp, Params},
    {"record", kFile | kSamples | kForce | kMqtt | kPublishesRecorded | kWaitsForSensor,
     "  kvex record --port DEVICE --samples N --interval S [--csv] [--force] [--quiet]\n"
     "              [--mqtt URL ...] FILE\n",
     kRecordHelp, Record},
    {"publish", kMqtt | kNeedsMqtt | kDuration | kStation | kWaitsForSensor,
     "  kvex publish --port DEVICE --mqtt URL [--duration SECONDS] [--quiet] [MQTT options]\n",
     kPublishHelp, Publish},
    {"stats", kOwnWords,
     "  kvex stats [--lower MM] [--upper MM] [--json] FILE...\n"
     "  kvex stats --events [--lower MM] [--upper MM] FILE\n",
     kStatsHelp, StatsOrEvents},
    {"report", kOwnWords,
     "  kvex report FILE... -o OUT.pdf [--part P ...] [--lower MM] [--upper MM]\n", nullptr,
     Report},
    {"gauge-study", kOwnWords,
     "  kvex gauge-study --reference MM --tolerance MM [--n N] [--json] (--port DEVICE | FILE)\n",
     nullptr, GaugeStudy},
};

const VerbEntry *FindVerb(const char *name) {
    for (const VerbEntry &e : kVerbs)
        if (name && !std::strcmp(name, e.name)) return &e;
    return nullptr;
}

std::string VerbUsage() {
    std::string usage = "Usage:\n";
    for (const VerbEntry &e : kVerbs) usage += e.usage;
    return usage + "kvex VERB --help explains the options of a verb.\n";
}

}  // namespace

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

bool PlainNumber(const char *text, double &out) {
    char *end = nullptr;
    errno = 0;
    const double v = std::strtod(text, &end);
    if (errno != 0 || end == text || *end != '\0' || !std::isfinite(v) || std::fabs(v) > 2e6)
        return false;
    out = v;
    return true;
}

bool Millimetres(const char *text, double &um) {
    double mm = 0;
    if (!PlainNumber(text, mm)) return false;
    um = std::round(mm * 1e6) / 1000;  // to the nanometre: 37.0245 stays 37024.5 µm
    return true;
}

bool IsKVexVerb(const char *word) { return FindVerb(word) != nullptr; }

int RunKVexVerb(int argc, char **argv) {
    Verb v;
    v.entry = FindVerb(argv[1]);
    if (!v.entry) return CLI_BAD_ARGUMENTS;
    v.argc = argc;
    v.argv = argv;
    if (v.entry->options & kOwnWords) return v.entry->run(v);
    std::vector<std::string> words;
    if (const int refused = ConfigWords(v, argc, argv, words); refused >= 0) return refused;
    std::vector<char *> wordPointers;
    for (std::string &w : words) wordPointers.push_back(w.data());
    wordPointers.push_back(nullptr);
    const int refused = ReadWords(static_cast<int>(words.size()), wordPointers.data(), v);
    if (refused >= 0) return refused;
    if (v.printConfig) return PrintConfig(v);
    g_quiet = v.quiet;
    const bool station = Takes(v, kStation);
    g_waitForSensor = Takes(v, kWaitsForSensor) && !v.mqtt.empty() && !v.exitOnLineLost;
    if (const int code = CheckFileFirst(v)) return code;
    char password[sizeof PublishOptions::password];
    if (const int code = ReadPublishingFiles(v, password, sizeof password)) return code;
    if ((Takes(v, kPanels) ? InitRunTime(0, nullptr) : InitCoreRunTime()) < 0) {
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
    // A station waits for a sensor that is not there yet (an adapter
    // plugged in later).
    if (code == CLI_NO_SENSOR && g_waitForSensor) {
        code = 0;
        SetStationState("waiting", "waiting for sensor");
    }
    if (code == 0) code = BeginPublishing(v, password);
    std::memset(password, 0, sizeof password);
    if (code == 0 && station) TellServiceReady();
    if (code == 0) {
        code = v.entry->run(v);
        if (g_serviceReady) NotifyServiceManager("STOPPING=1");
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
