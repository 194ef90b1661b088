// kvex report, and the out-of-tolerance events of kvex stats --events.
#pragma once

// kvex report FILE... -o OUT.pdf [title options] [--lower MM] [--upper MM]
// [--rules LIST]: the exit code.
int ReportVerb(int argc, char **argv);
// kvex stats --events [--lower MM] [--upper MM] FILE, when the words hold
// --events: the exit code; -1 when they do not.
int StatsEventsVerb(int argc, char **argv);
