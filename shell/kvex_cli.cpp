// Unattended work from the command line: the verb table and the start that
// every verb shares. The verbs live in files of their own (cli_*.cpp,
// station.cpp, kvex_report_cli.cpp, kvex_gauge_cli.cpp); info, record and
// publish need no window, params works on the hidden panels.
#include "kvex_cli.h"

#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cli_verb.h"
#include "com232.h"
#include "file_checks.h"
#include "kvex_gauge_cli.h"
#include "kvex_main.h"
#include "kvex_report_cli.h"
#include "publish.h"
#include "rs232.h"
#include "service.h"
#include "ui.h"

namespace kvexcli {

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

// The program without a window (kvex-headless) is built from this same
// table; what a verb that needs the window program runs is left out there,
// and such a verb is handed back to kvex.
#ifdef KVEX_WINDOWLESS
#define IN_WINDOW_PROGRAM(what) nullptr
#else
#define IN_WINDOW_PROGRAM(what) what
int Report(const Verb &v) { return ReportVerb(v.argc, v.argv); }
int GaugeStudy(const Verb &v) { return GaugeStudyVerb(v.argc, v.argv); }
#endif

const VerbEntry kVerbs[] = {
    {"info", kWindowless, "  kvex info --port DEVICE [--quiet]\n", kInfoHelp, Info, StartLink,
     nullptr},
    {"params", kAction | kFile | kMemory | kForce,
     "  kvex params get --port DEVICE --memory ram|eeprom [--force] [--quiet] FILE\n"
     "  kvex params put --port DEVICE --memory ram|eeprom [--quiet] FILE\n",
     IN_WINDOW_PROGRAM(kParamsHelp), IN_WINDOW_PROGRAM(Params), IN_WINDOW_PROGRAM(StartOnPanels),
     IN_WINDOW_PROGRAM(EndOnPanels)},
    {"record",
     kFile | kSamples | kForce | kMqtt | kPublishesRecorded | kWaitsForSensor | kWindowless,
     "  kvex record --port DEVICE --samples N --interval S [--csv] [--force] [--quiet]\n"
     "              [--mqtt URL ...] FILE\n",
     kRecordHelp, Record, StartLink, nullptr},
    {"publish", kMqtt | kNeedsMqtt | kDuration | kStation | kWaitsForSensor | kWindowless,
     "  kvex publish --port DEVICE --mqtt URL [--duration SECONDS] [--quiet] [MQTT options]\n",
     kPublishHelp, Publish, StartLink, nullptr},
    {"stats", kOwnWords,
     "  kvex stats [--lower MM] [--upper MM] [--json] FILE...\n"
     "  kvex stats --events [--lower MM] [--upper MM] FILE\n",
     IN_WINDOW_PROGRAM(kStatsHelp), IN_WINDOW_PROGRAM(StatsOrEvents), nullptr, nullptr},
    {"report", kOwnWords,
     "  kvex report FILE... -o OUT.pdf [--part P ...] [--lower MM] [--upper MM]\n", nullptr,
     IN_WINDOW_PROGRAM(Report), nullptr, nullptr},
    {"gauge-study", kOwnWords,
     "  kvex gauge-study --reference MM --tolerance MM [--n N] [--json] (--port DEVICE | FILE)\n",
     nullptr, IN_WINDOW_PROGRAM(GaugeStudy), nullptr, nullptr},
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

}  // namespace kvexcli

using namespace kvexcli;

bool IsKVexVerb(const char *word) { return FindVerb(word) != nullptr; }

bool IsWindowlessVerb(const char *word) {
    const VerbEntry *e = FindVerb(word);
    return e && (e->options & kWindowless);
}

int RunKVexVerb(int argc, char **argv) {
    Verb v;
    v.entry = FindVerb(argv[1]);
    if (!v.entry) return CLI_BAD_ARGUMENTS;
    if (!v.entry->run) {
        HandOver("kvex", argv);
        std::fprintf(stderr, "kvex: %s runs in kvex, which is not beside this program\n", argv[1]);
        return CLI_BAD_ARGUMENTS;
    }
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
    int code = v.entry->start(v);
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
    if (v.entry->end) v.entry->end();
    return code;
}
