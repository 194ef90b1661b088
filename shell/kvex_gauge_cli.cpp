// kvex gauge-study: the type-1 gauge study from a recording or the live
// sensor, as a table for a person or one JSON line for a script.
#include "kvex_gauge_cli.h"

#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cli_verb.h"
#include "com232.h"
#include "file_checks.h"
#include "gauge_study.h"
#include "gauge_study_run.h"
#include "kvex_cli.h"
#include "kvex_main.h"
#include "report.h"
#include "rs232.h"
#include "session.h"
#include "ui.h"

namespace {

constexpr const char *kGaugeHelp =
    "Usage: kvex gauge-study --reference MM --tolerance MM [--n N] [--interval SECONDS]\n"
    "                        [--json] [--quiet] (--port DEVICE | FILE)\n"
    "The type-1 gauge study of one master part: n measurements of it, from the sensor on\n"
    "DEVICE in run mode or the first n samples of the recording FILE. Prints n, the mean,\n"
    "the bias (mean - reference), s (n - 1), Cg = 0.2 T / (6 s), Cgk = (0.1 T - |bias|) /\n"
    "(3 s), the verdict (capable when Cg and Cgk are both at least 1.33) and a t-test of\n"
    "the bias (two-sided, 5 %). With fewer than 10 values or no spread Cg, Cgk and the\n"
    "test are not defined, and the output says why.\n\n"
    "  --reference MM   the master part's reference value xm, in mm\n"
    "  --tolerance MM   the tolerance width T of the feature, in mm (above 0)\n"
    "  --n N            the number of measurements, 1 to 1000000 (default 50)\n"
    "  --interval SECONDS  live: at least this long between measurements taken (default\n"
    "                   0: every run-mode reply)\n"
    "  --json           one JSON object on one line: n, mean_mm, bias_mm, s_mm, cg, cgk,\n"
    "                   capable, t, t_critical, bias_significant, reference_mm,\n"
    "                   tolerance_mm, undefined (why the figures are null, or null)\n"
    "  --port DEVICE    measure live on the sensor at DEVICE\n"
    "  --pdf OUT.pdf    also write the study as an A4 report (replaced if it exists and is\n"
    "                   none of the inputs; a FIFO, device or folder is refused: exit 4)\n"
    "  --part, --characteristic, --order, --operator, --comment TEXT  the report's title\n"
    "                   block\n"
    "  --quiet          say nothing on standard error but failures and the result\n"
    "  --help           show this text and exit\n"
    "Exit codes: 0 done, 1 panel file unusable, 2 bad arguments, 3 no sensor on the port,\n"
    "4 the file cannot be read or is no recording, 5 the sensor stopped before n\n"
    "measurements.\n";

struct GaugeWords {
    double referenceMm = 0, toleranceMm = 0, intervalS = 0;
    bool hasReference = false, hasTolerance = false, json = false, quiet = false;
    unsigned long n = kGaugeDefaultValues;
    std::string port, file, pdf;
    ReportTitle title;
};

int RefuseGauge(const char *why, const char *what = "") {
    std::fprintf(stderr, "kvex: %s%s\n\n%s", why, what, kGaugeHelp);
    return CLI_BAD_ARGUMENTS;
}

int ReadGaugeWords(int argc, char **argv, GaugeWords &w) {
    for (int i = 2; i < argc; ++i) {
        const std::string a = argv[i];
        const bool hasValue = i + 1 < argc;
        if (a == "--help" || a == "-h") {
            std::fputs(kGaugeHelp, stdout);
            return 0;
        }
        if (a == "--reference" && hasValue) {
            if (!PlainNumber(argv[++i], w.referenceMm))
                return RefuseGauge("--reference wants millimetres, not ", argv[i]);
            w.hasReference = true;
        } else if (a == "--tolerance" && hasValue) {
            if (!PlainNumber(argv[++i], w.toleranceMm) || !(w.toleranceMm > 0))
                return RefuseGauge("--tolerance wants millimetres above 0, not ", argv[i]);
            w.hasTolerance = true;
        } else if (a == "--n" && hasValue) {
            char *end = nullptr;
            errno = 0;
            const long n = std::strtol(argv[++i], &end, 10);
            if (errno != 0 || end == argv[i] || *end != '\0' || n < 1 || n > 1000000)
                return RefuseGauge("--n wants 1 to 1000000, not ", argv[i]);
            w.n = static_cast<unsigned long>(n);
        } else if (a == "--interval" && hasValue) {
            if (!PlainNumber(argv[++i], w.intervalS) || w.intervalS < 0 || w.intervalS > 86400)
                return RefuseGauge("--interval wants 0 to 86400 seconds, not ", argv[i]);
        } else if (a == "--json") {
            w.json = true;
        } else if (a == "--quiet" || a == "--no-quiet") {
            w.quiet = a == "--quiet";
        } else if (a == "--port" && hasValue) {
            w.port = argv[++i];
        } else if (a == "--pdf" && hasValue) {
            w.pdf = argv[++i];
        } else if (a == "--part" && hasValue) {
            w.title.part = argv[++i];
        } else if (a == "--characteristic" && hasValue) {
            w.title.characteristic = argv[++i];
        } else if (a == "--order" && hasValue) {
            w.title.order = argv[++i];
        } else if (a == "--operator" && hasValue) {
            w.title.operatorName = argv[++i];
        } else if (a == "--comment" && hasValue) {
            w.title.comment = argv[++i];
        } else if (a.rfind("--", 0) != 0 && w.file.empty()) {
            w.file = a;
        } else {
            return RefuseGauge("unexpected argument ", argv[i]);
        }
    }
    if (!w.hasReference) return RefuseGauge("--reference MM is missing");
    if (!w.hasTolerance) return RefuseGauge("--tolerance MM is missing");
    if (w.port.empty() == w.file.empty())
        return RefuseGauge("give either --port DEVICE or a recording FILE, one of them");
    if (w.pdf.empty()) return -1;
    if (const char *why = OutputRefused(w.pdf.c_str(), {w.file, w.port})) {
        std::fprintf(stderr, "kvex: cannot write %s: %s; nothing measured, no report written\n",
                     Shown(w.pdf).c_str(), why);
        return CLI_FILE;
    }
    return -1;
}

bool g_quiet = false;
void SayStatus(const char *text) {
    SetCtrlVal(pHandle, PANEL_StatusLine, text);
    if (!g_quiet) std::fprintf(stderr, "kvex: %s\n", text);
}

void SayTaken(std::size_t taken, std::size_t wanted) {
    if (isatty(STDERR_FILENO))
        std::fprintf(stderr, "\rkvex: measurement %zu of %zu%s", taken, wanted,
                     taken == wanted ? "\n" : "");
    else
        std::fprintf(stderr, "kvex: measurement %zu of %zu\n", taken, wanted);
}

// n measurements of the sensor at port, through the same start-up and run
// loop as the station's: no panels. A report to come needs the run-time that
// draws, though no window.
int MeasureLive(const GaugeWords &w, std::vector<double> &values) {
    if ((w.pdf.empty() ? InitCoreRunTime() : InitRunTime(0, nullptr)) < 0) return CLI_PANEL_FILE;
    portFromCommandLine = unattended = true;
    ClearComPortDevices();
    SetComPortDevice(1, w.port.c_str());
    kvexcli::StartWithoutWindow();
    link_display.status = SayStatus;
    int code = 0;
    if (!LinkReady()) {
        std::fprintf(stderr, "kvex: no sensor on %s: %s\n", w.port.c_str(), szStatus);
        code = CLI_NO_SENSOR;
    } else if (GaugeValuesLive(w.n, w.intervalS, values, SayTaken, false) < w.n) {
        std::fprintf(stderr, "kvex: run mode ended after %zu of %lu measurements: %s\n",
                     values.size(), w.n, szStatus);
        code = CLI_NOT_CONFIRMED;
    }
    StopMeasuring();
    CloseCom(com);
    return code;
}

}  // namespace

int GaugeStudyVerb(int argc, char **argv) {
    GaugeWords w;
    if (const int refused = ReadGaugeWords(argc, argv, w); refused >= 0) return refused;
    g_quiet = w.quiet;
    std::vector<double> values;
    if (!w.file.empty()) {
        const char *why = "";
        unsigned long bad = 0;
        if (!GaugeValuesFromFile(w.file.c_str(), w.n, values, bad, &why)) {
            std::fprintf(stderr, "kvex: cannot read %s: %s\n", w.file.c_str(), why);
            return CLI_FILE;
        }
        // A study of nothing is no study: no figures and no report of "0 samples".
        if (values.empty()) {
            std::fprintf(stderr, "kvex: cannot read %s: %s\n", w.file.c_str(),
                         bad > 0 ? "no line of it is a sample" : "it holds no sample");
            return CLI_FILE;
        }
        if (bad > 0 && !w.quiet)
            std::fprintf(stderr,
                         "kvex: %s: %lu line%s before the last value taken could not "
                         "be read and were passed over\n",
                         w.file.c_str(), bad, bad == 1 ? "" : "s");
        if (values.size() < w.n && !w.quiet)
            std::fprintf(stderr,
                         "kvex: %s holds %zu samples, fewer than the %lu asked for; the "
                         "study takes those\n",
                         w.file.c_str(), values.size(), w.n);
    } else if (const int code = MeasureLive(w, values); code != 0) {
        return code;
    }
    const GaugeStudy g = StudyGauge(values.data(), values.size(), w.referenceMm, w.toleranceMm);
    char text[2048];
    if ((w.json ? GaugeStudyJson(text, sizeof text, g) : GaugeStudyText(text, sizeof text, g)) < 0)
        return CLI_FILE;
    if (w.json)
        std::printf("%s\n", text);
    else
        std::printf("gauge study of %s\n%s", w.file.empty() ? w.port.c_str() : w.file.c_str(),
                    text);
    if (w.pdf.empty()) return 0;
    std::string sensor = "not named in the recording; no sensor connected";
    if (!w.file.empty()) {
        if (InitRunTime(0, nullptr) < 0) return CLI_PANEL_FILE;  // the writer draws through it
    } else {
        char firmware[200];
        TextAsUtf8(sensorFirmware, firmware, sizeof firmware);
        sensor = firmware;
    }
    const GaugeStudyReport r = GaugeReport(
        w.title, values, g, w.file.empty() ? nullptr : w.file.c_str(), w.port.c_str(), sensor);
    const char *why = "";
    if (!WriteGaugeStudyReport(r, w.pdf.c_str(), &why)) {
        std::fprintf(stderr, "kvex: cannot write %s: %s\n", w.pdf.c_str(), why);
        return CLI_FILE;
    }
    return 0;
}
