// kvex stats: the figures of recordings as a table or JSON, and with
// --events the out-of-tolerance moments.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cli_verb.h"
#include "kvex_cli.h"
#include "kvex_report_cli.h"
#include "recording_statistics.h"
#include "service.h"

namespace kvexcli {

const char *const kStatsHelp =
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
    // Capability from a normal model wants values that look normal.
    if (f.hasNormality && f.adP < 0.05)
        Say(kLogWarning,
            "%s: the values do not look normal (Anderson-Darling p = %.4f): the expected ppm "
            "and the indices' intervals assume they do",
            name.c_str(), f.adP);
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
        if (!CountRecordingRuleBreaks(file.c_str(), stats, r, v.rules, f, &why) ||
            !CheckRecordingNormality(file.c_str(), stats, r, f, &why)) {
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

// The events list reads its own words, from the report's module.
int StatsOrEvents(const Verb &v) {
    const int events = StatsEventsVerb(v.argc, v.argv);
    return events >= 0 ? events : Stats(v);
}

}  // namespace kvexcli
