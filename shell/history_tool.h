// The history chart as a tool of its own: while nothing feeds it (no mode
// runs, a replay is paused) the operator drags it and zooms it with the
// wheel, reads a point's number, time and value by resting the pointer on it,
// and chooses sample numbers or times of day for its x axis.
#pragma once

#include <cstdint>

// At start-up, once the panels are loaded.
void InitHistoryTool();
// Shows a sample of the live run in the history and marks it: the one taken
// at wallMs. False, with why set, when the history does not hold it.
bool ShowLiveTime(int64_t wallMs, const char **why);
// What feeds the chart may have changed: a mode began or ended, a replay
// started or paused playing.
void UpdateHistoryTool();

int CC_HistoryXAxis(int panel, int control, int event, void *callbackData, int eventData1,
                    int eventData2);
