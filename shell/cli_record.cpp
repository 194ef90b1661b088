// kvex record: samples to a file, as the recorder writes them, and with
// --mqtt to the plant too.
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <string>

#include "cli_verb.h"
#include "com232.h"
#include "file_checks.h"
#include "kvex_cli.h"
#include "recorder.h"
#include "service.h"

namespace kvexcli {

const char *const kRecordHelp =
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

unsigned g_recorded = 0;

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
        // A stop that came before this part began ends the verb as one in the
        // wait does; there is no outcome of a recording that never started.
        if (g_signal != 0) break;
        await = true;
        const unsigned wanted = static_cast<unsigned>(v.samples) - g_recorded;
        request.samples = static_cast<unsigned short>(wanted);
        NameTheSensor(v, measured, "recording");
        recordProgress = SayProgress;
        const RecordingOutcome &r = RecordTo(path, replace, request);
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

}  // namespace kvexcli
