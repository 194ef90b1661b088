// The statistics window: the figures of the running (or last) run, its
// histogram and I-MR chart, live while run mode, a recording or a replay
// delivers samples. The figures are kept whether the window is open or not;
// they are drawn only while it is: the texts every second, the charts
// every three seconds.
#pragma once

#include <string>

#include "statistics.h"

extern int pStats;  // the statistics window's panel handle
// The window opens by itself once the main window is up (--statistics).
extern bool statisticsAtStart;

// Subscribes the figures to the sample stream and to the loops' starts (each
// start begins a new run). Called once at start-up, after the panels loaded.
void InitStatistics();
// The figures of the run so far.
const SampleStatistics &LiveStatistics();
// Draws the window now, whether a refresh is due or not.
void RefreshStatistics();
// What the window shows changed other than by a sample (a replayed file's
// figures grew as it was indexed): drawn again, if it is open; at once, or
// soon (as a sample has it drawn) while more changes follow.
void StatisticsChanged(bool atOnce);
// Seconds between two redraws of the open window's charts, and of its
// figures' texts, while samples come.
extern double statisticsRefreshSeconds;
extern double statisticsFigureSeconds;

// Called as the window's report is made, after its own sections are set: a
// study of the same data may append sections of its own to data.extra (text
// lines and one chart each).
class ReportData;
extern void (*statisticsReportSections)(ReportData &data);

// What every report of the program asks before it is written, the
// statistics window's and the gauge study's alike: the title block, in a
// small dialog that starts from the last entries and remembers these (false
// when cancelled), and the file, where the last report went (path: 260
// bytes; false when cancelled).
struct ReportTitle;
bool AskReportTitle(ReportTitle &title);
bool ChooseReportFile(const char *name, char *path);
// The connected sensor as a report names it: "connected sensor: ...".
std::string ConnectedSensor();

int CC_STATS(int panel, int event, void *callbackData, int eventData1, int eventData2);
#define KVEX_DECLARE_STATS_CC(name) \
    int name(int panel, int control, int event, void *callbackData, int eventData1, int eventData2);
KVEX_DECLARE_STATS_CC(CC_BTNStatistics)
KVEX_DECLARE_STATS_CC(CC_StatsScope)
KVEX_DECLARE_STATS_CC(CC_StatsReset)
KVEX_DECLARE_STATS_CC(CC_StatsSave)
KVEX_DECLARE_STATS_CC(CC_StatsReport)
KVEX_DECLARE_STATS_CC(CC_StatsClose)
KVEX_DECLARE_STATS_CC(CC_StatsEvent)
#undef KVEX_DECLARE_STATS_CC
