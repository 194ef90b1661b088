// The words of a verb: the command line's options and the configuration
// file's lines, read by one reader and checked before anything starts.
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "cli_verb.h"
#include "kvex_cli.h"
#include "publish.h"
#include "service.h"
#include "sparkplug.h"
#include "ui.h"

namespace kvexcli {

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

int Refuse(const char *why, const char *what) {
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
    } else if (a == "--sparkplug-qos" && hasValue) {
        const std::string qos = argv[++i];
        if (qos != "0" && qos != "1") refused = Refuse("--sparkplug-qos is 0 or 1, not ", argv[i]);
        v.sparkplugQos = qos == "1" ? 1 : 0;
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
    {"sparkplug-qos", true, kMqtt},
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
    if (!v.sparkplug.empty()) std::printf("sparkplug-qos = %d\n", v.sparkplugQos);
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
    if (v.sparkplugQos != 0 && v.sparkplug.empty())
        return Refuse("--sparkplug-qos needs --sparkplug GROUP/EDGE_NODE[/DEVICE]");
    if (const int refused = RefusePlainConnection(v); refused >= 0) return refused;
    if (Takes(v, kNeedsMqtt)) return v.mqtt.empty() ? Refuse("--mqtt URL is missing") : -1;
    if (!Takes(v, kFile)) return -1;
    if (v.file.empty()) return Refuse("FILE is missing");
    if (Takes(v, kMemory) && v.memory == 0) return Refuse("--memory ram|eeprom is missing");
    if (Takes(v, kSamples) && (v.samples < 0 || v.interval < 0))
        return Refuse("--samples N and --interval S are both needed");
    return -1;
}

}  // namespace kvexcli

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
