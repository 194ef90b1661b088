// Process entry: starts the run-time, reads the options and hands over to
// WinMain. With --simulate the simulated sensor serves port 1 from inside
// this process.
#include <QCoreApplication>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "kvex_cli.h"
#include "kvex_main.h"
#include "replay.h"
#include "rs232.h"
#include "sensor_sim.h"
#include "stats_window.h"
#include "ui.h"

namespace {

constexpr const char *kUsage =
    "Usage: kvex [options]\n"
    "Front-end of the K-VEX line-scan laser position sensor on an RS-232 line.\n\n"
    "  --simulate       talk to the built-in simulated sensor (it becomes port 1)\n"
    "  --port DEVICE    make DEVICE (e.g. /dev/ttyUSB0 or /dev/pts/3) port 1\n"
    "  --start MODE     start run mode (run) or video mode (video) once the window is up\n"
    "  --statistics     open the statistics window once the window is up\n"
    "  --replay FILE    replay a recording (text or CSV) once the window is up\n"
    "  --help           show this text and exit\n"
    "  --version        show the version and exit\n\n"
    "Without a window (kvex VERB --help explains each):\n"
    "  kvex info --port DEVICE [--quiet]\n"
    "  kvex params get|put --port DEVICE --memory ram|eeprom [--force] [--quiet] FILE\n"
    "  kvex record --port DEVICE --samples N --interval S [--csv] [--force] [--quiet]\n"
    "              [--mqtt URL ...] FILE\n"
    "  kvex publish --port DEVICE --mqtt URL [--duration SECONDS] [--quiet] [MQTT options]\n"
    "  kvex stats [--lower MM] [--upper MM] [--json] FILE...\n"
    "  kvex stats --events [--lower MM] [--upper MM] FILE\n"
    "  kvex report FILE... -o OUT.pdf [--part P ...] [--lower MM] [--upper MM]\n"
    "  kvex gauge-study --reference MM --tolerance MM [--n N] [--json] (--port DEVICE | FILE)\n";

struct Options {
    bool simulate = false;
    std::string port;
    int start = START_NONE;
};

// Returns -1 to go on, otherwise the exit code.
int ParseOptions(int argc, char **argv, Options &opt) {
    for (int i = 1; i < argc; ++i) {
        const char *a = argv[i];
        if (!std::strcmp(a, "--help") || !std::strcmp(a, "-h")) {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (!std::strcmp(a, "--version")) {
            std::printf("K-VEX-RB-ZD-Vedoz Version 3.00b\n");
            return 0;
        }
        if (!std::strcmp(a, "--simulate")) {
            opt.simulate = true;
        } else if (!std::strcmp(a, "--port") && i + 1 < argc) {
            opt.port = argv[++i];
        } else if (!std::strcmp(a, "--replay") && i + 1 < argc) {
            std::snprintf(replayAtStart, sizeof replayAtStart, "%s", argv[++i]);
        } else if (!std::strcmp(a, "--start") && i + 1 < argc &&
                   (!std::strcmp(argv[i + 1], "run") || !std::strcmp(argv[i + 1], "video"))) {
            opt.start = !std::strcmp(argv[++i], "run") ? START_RUN : START_VIDEO;
        } else if (!std::strcmp(a, "--statistics")) {
            statisticsAtStart = true;
        } else {
            std::fprintf(stderr, "kvex: unknown option '%s'\n\n%s", a, kUsage);
            return 2;
        }
    }
    return -1;
}

// The demo target rests on the sensor's factory teach values and swings in
// and out of its tolerances, so run mode shows both colours of the display.
kvexsim::SimConfig DemoSensor() {
    kvexsim::SimConfig cfg;
    cfg.restA = 2000.0 / 4096.0;
    cfg.restB = 2100.0 / 4096.0;
    cfg.swing = 0.02;
    return cfg;
}

void KeepToolkitQuiet(QtMsgType type, const QMessageLogContext &, const QString &message) {
    if (type == QtFatalMsg) std::fprintf(stderr, "kvex: %s\n", message.toLocal8Bit().constData());
}

}  // namespace

int main(int argc, char **argv) {
    if (argc > 1 && IsKVexVerb(argv[1])) {
        // A verb that needs no window runs in the program that links none;
        // without it beside this one, here.
        if (IsWindowlessVerb(argv[1])) HandOver("kvex-headless", argv);
        // Unattended: no window is needed, and none may be there to use.
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
        // A script reads the verbs' standard error: the toolkit's own notes
        // (such as a missing XDG_RUNTIME_DIR when run as root) stay off it.
        qInstallMessageHandler(KeepToolkitQuiet);
        const int code = RunKVexVerb(argc, argv);
        CloseRunTime();
        return code;
    }
    Options opt;
    const int done = ParseOptions(argc, argv, opt);
    if (done >= 0) return done;

    if (InitRunTime(argc, argv) < 0) return -1;

    std::unique_ptr<kvexsim::SensorSim> sim;
    if (opt.simulate) {
        sim = std::make_unique<kvexsim::SensorSim>(DemoSensor());
        if (!sim->start()) {
            std::fprintf(stderr, "kvex: the simulated sensor could not open a pseudo-terminal\n");
            return -1;
        }
        SetComPortDevice(1, sim->devicePath().c_str());
    } else if (!opt.port.empty()) {
        SetComPortDevice(1, opt.port.c_str());
    }

    portFromCommandLine = opt.simulate || !opt.port.empty();
    startMode = opt.start;
    const int code = WinMain(nullptr, nullptr, nullptr, 1);
    if (sim) sim->stop();
    CloseRunTime();
    return code;
}
