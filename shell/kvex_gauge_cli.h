// kvex gauge-study: the type-1 gauge study without a window.
#pragma once

// argv[1] is "gauge-study"; returns the exit code (those of kvex_cli.h).
int GaugeStudyVerb(int argc, char **argv);
