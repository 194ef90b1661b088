// What the verbs of the command line share: the words a verb was given, its
// entry in the verb table, and the state of an unattended run. Each verb
// family lives in a file of its own; the table and the start are in
// kvex_cli.cpp.
#pragma once

#include <csignal>
#include <cstddef>
#include <string>
#include <vector>

namespace kvexcli {

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
    // Needs no window: the program without one (kvex-headless) runs it.
    kWindowless = 1u << 12,
};

struct Verb;
// One verb of the command line: a new verb is one more entry in kVerbs.
struct VerbEntry {
    const char *name;
    unsigned options;   // VerbOption bits
    const char *usage;  // its lines in the usage of every refusal
    const char *help;   // kvex VERB --help, before the common options
    int (*run)(const Verb &v);
    // Starts the run-time and the link before run (not for kOwnWords): 0,
    // or the exit code with its reason said; end undoes what it made.
    int (*start)(const Verb &v);
    void (*end)();
};

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
    int sparkplugQos = 0;
    bool insecure = false, plainPassword = false;
    bool exitOnLineLost = false, printConfig = false;
    unsigned long queue = 100000;
    double duration = 0;  // 0: until a signal
};

// ---------------------------------------------------------------- the words
// One reader for the words of every verb but those that read their own, and
// one for the configuration file, whose lines become words before them.
int ConfigWords(Verb &v, int argc, char **argv, std::vector<std::string> &words);
// -1 when the words make the verb, else the exit code (usage said).
int ReadWords(int argc, char **argv, Verb &v);
int PrintConfig(const Verb &v);
int Refuse(const char *why, const char *what = "");
bool Takes(const Verb &v, unsigned option);
int Help(const Verb &v);
// The password file that will be read, from an option or systemd.
std::string PasswordFileInForce(const Verb &v);
// The usage lines of every verb in the table.
std::string VerbUsage();

// ---------------------------------------------------------------- the sensor
extern const char *const kInfoHelp;
extern const char *const kParamsHelp;
extern bool g_quiet;
extern volatile std::sig_atomic_t g_signal;  // the stop signal that came, or 0
// Sensor texts may be Latin-1 (its micro sign is one byte); a terminal
// wants UTF-8.
std::string Utf8(const char *text);
void KeepQuiet(const char *);
void AskAgainWhileGarbled();
// The run-time without windows and the start-up handshake on port 1.
int StartLink(const Verb &v);
// The link, the session and the sample stream on port 1, and nothing of the
// window: the run-time must be up.
void StartWithoutWindow();
// The device of port 1, as the words name it.
void UsePort(const Verb &v);
// 0 once the sensor answered the start-up questions (a garbled reply is
// asked again); else the exit code, its reason said.
int SensorAnswered(const Verb &v);
// What the window's status line would show, in the log.
void SayStatus(const char *text);
std::string Absolute(const std::string &path);
// The name a new file goes to: FILE itself when it is free or --force was
// given, else the next free name, which is said.
bool OutputName(const Verb &v, const std::string &file, char *out, std::size_t size);
void OnStopSignal(int signal);
int Info(const Verb &v);

// ---------------------------------------------------------------- parameters
int Params(const Verb &v);
// The window's panels, hidden, and the handshake as the window makes it.
int StartOnPanels(const Verb &v);
void EndOnPanels();

// ---------------------------------------------------------------- recording
extern const char *const kRecordHelp;
extern unsigned g_recorded;  // samples written to the files of the verb
int Record(const Verb &v);

// ---------------------------------------------------------------- the station
extern const char *const kPublishHelp;
extern bool g_waitForSensor;  // a lost sensor is waited for, not the end
extern bool g_serviceReady;
// The password and CA files, read before the port is opened.
int ReadPublishingFiles(const Verb &v, char *password, std::size_t size);
int BeginPublishing(const Verb &v, const char *password);
int EndPublishing(const Verb &v);
void TellServiceReady();
void StationLineLost();
// Tries the device once a second until a sensor answers; false when a
// signal or the duration ended the wait.
bool AwaitSensor(const Verb &v, const char *reason);
void NameTheSensor(const Verb &v, std::string &measured, const char *doing);
int Publish(const Verb &v);

// ---------------------------------------------------------------- statistics
extern const char *const kStatsHelp;
int StatsOrEvents(const Verb &v);

}  // namespace kvexcli
