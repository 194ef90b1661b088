// The report of recordings without a window, for scripts and end-of-shift
// jobs, and the out-of-tolerance events of a recording as CSV.
#include "kvex_report_cli.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "file_checks.h"
#include "kvex_cli.h"
#include "report.h"
#include "ui.h"

namespace {

constexpr const char *kReportHelp =
    "Usage: kvex report FILE... -o OUT.pdf [--part P] [--characteristic C] [--order O]\n"
    "                   [--operator N] [--comment T] [--lower MM] [--upper MM] [--rules LIST]\n"
    "Writes the report of the recordings (one after the other, as one run) to OUT.pdf: an A4\n"
    "document with the title block, the files, the sensor, the limits, the time span, every\n"
    "figure of kvex stats, the histogram, the I-MR chart with its rule breaks, the rule\n"
    "breaks by rule and the out-of-tolerance events. No sensor or window is needed.\n\n"
    "  -o, --output OUT.pdf  the report to write (replaced if it exists and is none of the\n"
    "                   recordings; a FIFO, device or folder is refused: exit 4)\n"
    "  --part, --characteristic, --order, --operator, --comment TEXT  the title block\n"
    "  --lower MM, --upper MM, --rules LIST  as kvex stats --help explains\n"
    "  --quiet          say nothing on standard error but failures and the result\n"
    "  --help           show this text and exit\n"
    "Exit codes: 0 done, 2 bad arguments, 4 a file cannot be read or is no recording, or\n"
    "the report cannot be written.\n";

constexpr const char *kEventsHelp =
    "Usage: kvex stats --events [--lower MM] [--upper MM] FILE\n"
    "Prints the out-of-tolerance events of the recording as CSV: a header row, then one\n"
    "row per run of consecutive samples beyond the same limit: its first and last time\n"
    "(ISO 8601), first and last sample number (from 1), count, side (below or above) and\n"
    "the worst value in mm. At most 100000 events are listed; beyond them standard error\n"
    "says how many there were in all (unless --quiet).\n"
    "Exit codes: 0 done, 2 bad arguments, 4 the file cannot be read or is no recording.\n";

int Refuse(const char *help, const std::string &why) {
    std::fprintf(stderr, "kvex: %s\n\n%s", why.c_str(), help);
    return CLI_BAD_ARGUMENTS;
}

struct Words {
    std::vector<std::string> files;
    std::string output;
    ReportTitle title;
    Limits limits;
    uint8_t rules = kDefaultRules;
    bool events = false, quiet = false;
};

// -1 when the words make the verb, otherwise the exit code.
int Read(int argc, char **argv, Words &w, bool report) {
    const char *help = report ? kReportHelp : kEventsHelp;
    for (int i = 2; i < argc; ++i) {
        const std::string a = argv[i];
        const bool hasValue = i + 1 < argc;
        std::string *text = !report                          ? nullptr
                            : a == "--part"                  ? &w.title.part
                            : a == "--characteristic"        ? &w.title.characteristic
                            : a == "--order"                 ? &w.title.order
                            : a == "--operator"              ? &w.title.operatorName
                            : a == "--comment"               ? &w.title.comment
                            : (a == "-o" || a == "--output") ? &w.output
                                                             : nullptr;
        if (a == "--help" || a == "-h") {
            std::fputs(help, stdout);
            return 0;
        }
        if (text && hasValue) {
            *text = argv[++i];
        } else if ((a == "--lower" || a == "--upper") && hasValue) {
            const bool lower = a == "--lower";
            if (!Millimetres(argv[++i], lower ? w.limits.lowerUm : w.limits.upperUm))
                return Refuse(help, a + " wants millimetres, not " + argv[i]);
            (lower ? w.limits.hasLower : w.limits.hasUpper) = true;
        } else if (a == "--rules" && hasValue && report) {
            const char *why = "";
            if (!ParseRules(argv[++i], w.rules, &why))
                return Refuse(help, std::string("--rules ") + argv[i] + ": " + why);
        } else if (a == "--events" && !report) {
            w.events = true;
        } else if (a == "--quiet" || a == "--no-quiet") {
            w.quiet = a == "--quiet";
        } else if (a.rfind("-", 0) != 0) {
            w.files.push_back(a);
        } else {
            return Refuse(help, "unexpected argument " + a);
        }
    }
    if (w.files.empty()) return Refuse(help, "FILE is missing");
    if (!report && w.files.size() > 1) return Refuse(help, "--events reads one FILE");
    if (report && w.output.empty()) return Refuse(help, "-o OUT.pdf is missing");
    if (report) {
        if (const char *why = OutputRefused(w.output.c_str(), w.files)) {
            std::fprintf(stderr, "kvex: cannot write %s: %s; no report written\n",
                         Shown(w.output).c_str(), why);
            return CLI_FILE;
        }
    }
    if (w.limits.hasLower && w.limits.hasUpper && w.limits.lowerUm > w.limits.upperUm)
        return Refuse(help, "--lower lies above --upper");
    return -1;
}

}  // namespace

int StatsEventsVerb(int argc, char **argv) {
    bool asked = false;
    for (int i = 2; i < argc; ++i) asked = asked || !std::strcmp(argv[i], "--events");
    if (!asked) return -1;
    Words w;
    if (const int code = Read(argc, argv, w, false); code >= 0) return code;
    const bool given = w.limits.hasLower || w.limits.hasUpper;
    ReportData data;
    const char *why = "";
    if (!data.AddRecording(w.files[0].c_str(), given ? &w.limits : nullptr, &why)) {
        std::fprintf(stderr, "kvex: cannot read %s: %s\n", Shown(w.files[0]).c_str(), why);
        return CLI_FILE;
    }
    std::printf("%s\n", ToleranceEventsCsvHeader());
    for (const ToleranceEvent &e : data.Events().Events()) {
        char row[256];
        if (ToleranceEventCsvRow(row, sizeof row, e) > 0) std::printf("%s\n", row);
    }
    const ToleranceEvents &events = data.Events();
    if (events.Total() > events.Events().size() && !w.quiet)
        std::fprintf(stderr, "kvex: %llu events in all; the first %zu are listed\n",
                     static_cast<unsigned long long>(events.Total()), events.Events().size());
    return 0;
}

int ReportVerb(int argc, char **argv) {
    Words w;
    if (const int code = Read(argc, argv, w, true); code >= 0) return code;
    const bool given = w.limits.hasLower || w.limits.hasUpper;
    ReportData data;
    data.title = w.title;
    data.rules = w.rules;
    for (const std::string &file : w.files) {
        const char *why = "";
        if (!data.AddRecording(file.c_str(), given ? &w.limits : nullptr, &why)) {
            std::fprintf(stderr, "kvex: cannot read %s: %s; no report written\n",
                         Shown(file).c_str(), why);
            return CLI_FILE;
        }
        data.source += (data.source.empty() ? "" : ", ") + file;
    }
    // A recording names no sensor, and without a window none is connected.
    data.sensor = "not named in the recording; no sensor connected";
    if (InitRunTime(0, nullptr) < 0) return CLI_PANEL_FILE;
    const char *why = "";
    if (!WriteReport(data, w.output.c_str(), &why)) {
        std::fprintf(stderr, "kvex: cannot write %s: %s\n", Shown(w.output).c_str(), why);
        return CLI_FILE;
    }
    return 0;
}
