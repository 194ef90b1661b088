// Verbs for unattended work: kvex info, kvex params get|put, kvex record,
// kvex stats, kvex publish.
#pragma once

#include <string>

enum CliExit {
    CLI_PANEL_FILE = 1,     // the panel file beside the program is unusable
    CLI_BAD_ARGUMENTS = 2,  // the words do not make a verb (usage on standard error)
    CLI_NO_SENSOR = 3,      // the port cannot be opened or the sensor does not answer
    CLI_FILE = 4,           // the file cannot be read or written
    CLI_NOT_CONFIRMED = 5,  // the sensor did not send or confirm what was asked
    CLI_NOT_PUBLISHED = 6,  // samples were left that the broker never took
};

// True when the first word names a verb rather than an option.
bool IsKVexVerb(const char *word);
// True for a verb that needs no window (info, record, publish): the program
// hands it over to kvex-headless, which links none.
bool IsWindowlessVerb(const char *word);
// Replaces this process with the program of that name beside this one, with
// the same words; returns only when it could not (it is not there).
void HandOver(const char *program, char **argv);
// Runs the verb of argv[1] with the rest as its arguments: the exit code. The
// run-time must not be started yet; the caller chooses the offscreen platform.
int RunKVexVerb(int argc, char **argv);

// A path as the verbs name it: tabs, line ends and other control characters
// escaped, as the shell would need it typed.
std::string Shown(const std::string &path);
// Millimetres from text into µm, to the nanometre (37.0245 stays 37024.5 µm):
// false for anything but a finite number of at most 2,000,000 mm.
bool Millimetres(const char *text, double &um);
// A whole argument as a finite number of at most 2e6 in size.
bool PlainNumber(const char *text, double &out);
