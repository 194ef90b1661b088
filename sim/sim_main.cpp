// kvex-sensor-sim: the simulated sensor as a program of its own. It prints
// the device that a front-end can open and serves until SIGINT or SIGTERM.
#include <pthread.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "sensor_sim.h"

namespace {

const char kUsage[] =
    "usage: kvex-sensor-sim [options]\n"
    "Simulates the line-scan laser position sensor on a pseudo-terminal and\n"
    "prints the device to open. Serves until interrupted.\n"
    "\n"
    "  --fast               send replies at once instead of at 19200 baud\n"
    "  --no-motion          the target stands still\n"
    "  --silent             take requests in, never answer\n"
    "  --wrong-sync         replies start with 00 AB instead of 00 AA\n"
    "  --wrong-command      replies carry command code 12\n"
    "  --reply-code N       replies carry command code N\n"
    "  --short-reply        replies are cut to 20 bytes\n"
    "  --long-reply         10 extra bytes follow every reply\n"
    "  --garbage            a few random bytes follow every reply\n"
    "  --leading N          N random bytes go out before every reply\n"
    "  --ignore-writes      parameter frames sent to RAM or EEPROM are not stored\n"
    "  --every-second       only every second request is answered\n"
    "  --flood              random bytes at the line's full rate between replies\n"
    "  --firmware-no-text   the firmware reply has its 72 bytes, all zero\n"
    "  --late SECONDS       wait before every reply\n"
    "  --latency SECONDS    the sensor's processing time before it answers (0.0015)\n"
    "  --only-command N     the faults above touch only replies to command N\n"
    "  --firmware-length N  the firmware reply has N bytes instead of 72\n"
    "  --firmware TEXT      the firmware text\n"
    "  --board-type N       board type (0 sends the firmware text as words)\n"
    "  --ccd-type N         CCD type (20 is the known one)\n"
    "  --virtual-pixels N   length of the measuring line\n"
    "  --ref-distance N     reference distance in mm\n"
    "  --adc-max N          ADC full scale (256 or 1024)\n"
    "  --help               this text\n"
    "\n"
    "SIGUSR1 prints the requests received so far, by command code, on one line:\n"
    "  requests: total N cmd0 N cmd1 N ... cmd15 N\n";

constexpr int kShortReplyBytes = 20;
constexpr int kLongReplyExtra = 10;
constexpr int kWrongCommand = 12;

bool parseNumber(const char *text, long low, long high, long &out) {
    if (text == nullptr) return false;
    char *end = nullptr;
    const long v = std::strtol(text, &end, 0);
    if (end == text || *end != '\0' || v < low || v > high) return false;
    out = v;
    return true;
}

bool parseSeconds(const char *text, double &out) {
    if (text == nullptr) return false;
    char *end = nullptr;
    const double v = std::strtod(text, &end);
    if (end == text || *end != '\0' || !(v >= 0.0 && v <= 3600.0)) return false;
    out = v;
    return true;
}

bool applyFlag(const std::string &opt, kvexsim::SimConfig &cfg) {
    kvexsim::Faults &f = cfg.faults;
    if (opt == "--fast")
        cfg.paced = false;
    else if (opt == "--no-motion")
        cfg.motion = false;
    else if (opt == "--silent")
        f.silent = true;
    else if (opt == "--wrong-sync")
        f.wrongSync = true;
    else if (opt == "--wrong-command")
        f.replyCommand = kWrongCommand;
    else if (opt == "--short-reply")
        f.shortReply = kShortReplyBytes;
    else if (opt == "--long-reply")
        f.extraBytes = kLongReplyExtra;
    else if (opt == "--garbage")
        f.garbage = true;
    else if (opt == "--ignore-writes")
        f.ignoreWrites = true;
    else if (opt == "--flood")
        f.flood = true;
    else if (opt == "--every-second")
        f.everySecond = true;
    else if (opt == "--firmware-no-text")
        f.firmwareNoText = true;
    else
        return false;
    return true;
}

// Options with a number: false if the option is unknown or its value bad.
bool applyNumber(const std::string &opt, const char *value, kvexsim::SimConfig &cfg) {
    long v = 0;
    kvexsim::HardwareInfo &h = cfg.hardware;
    const auto word = [&](std::uint16_t &field) {
        if (!parseNumber(value, 0, 65535, v)) return false;
        field = static_cast<std::uint16_t>(v);
        return true;
    };
    if (opt == "--board-type") return word(h.boardType);
    if (opt == "--ccd-type") return word(h.ccdType);
    if (opt == "--virtual-pixels") return word(h.virtualPixels);
    if (opt == "--ref-distance") return word(h.refDistance);
    if (opt == "--adc-max") return word(h.adcMax);
    if (!parseNumber(value, 0, 1024, v)) return false;
    if (opt == "--reply-code")
        cfg.faults.replyCommand = static_cast<int>(v);
    else if (opt == "--only-command")
        cfg.faults.onlyCommand = static_cast<int>(v);
    else if (opt == "--firmware-length")
        cfg.faults.firmwareLength = static_cast<int>(v);
    else if (opt == "--leading")
        cfg.faults.leadingBytes = static_cast<int>(v);
    else
        return false;
    return true;
}

bool takesValue(const std::string &opt) {
    static const char *const kWithValue[] = {
        "--late",       "--latency",        "--firmware",        "--board-type",
        "--ccd-type",   "--virtual-pixels", "--ref-distance",    "--adc-max",
        "--reply-code", "--only-command",   "--firmware-length", "--leading"};
    for (const char *o : kWithValue)
        if (opt == o) return true;
    return false;
}

// 0: go on; 1: help shown; 2: bad command line.
int parseArgs(int argc, char **argv, kvexsim::SimConfig &cfg) {
    for (int i = 1; i < argc; ++i) {
        const std::string opt = argv[i];
        if (opt == "--help" || opt == "-h") {
            std::fputs(kUsage, stdout);
            return 1;
        }
        if (applyFlag(opt, cfg)) continue;
        if (!takesValue(opt)) {
            std::fprintf(stderr, "kvex-sensor-sim: unknown option %s\n\n%s", opt.c_str(), kUsage);
            return 2;
        }
        const char *value = i + 1 < argc ? argv[++i] : nullptr;
        bool ok = true;
        if (opt == "--late")
            ok = parseSeconds(value, cfg.faults.lateSeconds);
        else if (opt == "--latency")
            ok = parseSeconds(value, cfg.latencySeconds);
        else if (opt == "--firmware")
            cfg.firmware = value ? value : "";
        else
            ok = applyNumber(opt, value, cfg);
        if (!ok || value == nullptr) {
            std::fprintf(stderr, "kvex-sensor-sim: bad value for %s\n", opt.c_str());
            return 2;
        }
    }
    return 0;
}

// What a benchmark reads to learn the rates that the sensor saw.
void printRequests(const kvexsim::SensorSim &sim) {
    std::printf("requests: total %zu", sim.requestCount());
    for (std::uint16_t c = 0; c < 16; ++c) std::printf(" cmd%u %d", c, sim.commandCount(c));
    std::printf("\n");
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char **argv) {
    kvexsim::SimConfig cfg;
    if (const int r = parseArgs(argc, argv, cfg); r != 0) return r == 1 ? 0 : 2;

    // The serving thread inherits the blocked signals; only sigwait below
    // takes them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    kvexsim::SensorSim sim(cfg);
    if (!sim.start()) {
        std::fprintf(stderr, "kvex-sensor-sim: cannot open a pseudo-terminal: %s\n",
                     std::strerror(errno));
        return 1;
    }
    std::printf("kvex-sensor-sim: serving on %s\n", sim.devicePath().c_str());
    std::fflush(stdout);

    int signal = 0;
    while (sigwait(&stopSignals, &signal) == 0 && signal == SIGUSR1) printRequests(sim);
    sim.stop();
    std::printf("kvex-sensor-sim: stopped after %zu requests\n", sim.requestCount());
    return 0;
}
