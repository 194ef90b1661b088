// What the statistics window's own files share: the samples its figures
// cover now, and the helpers its outputs use. Nothing else includes it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "session.h"
#include "statistics.h"

class ReportData;

namespace statsview {

// Chooses what the window shows (the run, the replayed file or a span of it)
// and reads a file's samples when needed.
void ChooseView();
struct View {
    const SampleStatistics *stats = nullptr;  // the figures shown
    int64_t firstMs = 0, lastMs = 0;          // their samples' span
    const ToleranceEvents *events = nullptr;  // of the samples the figures cover
    long eventsAt = -1;                       // index in the file of their sample 1; -1: the run's
    bool file = false;  // a replayed file's samples first to last, not the run's
    unsigned long first = 0, last = 0;
};
View Current();
// The run's values for its report, which the window's own figures do not keep.
ReportData &Live();
std::string RunSource();  // "run mode, run ...": where the run's values came from
std::string RunName();    // "run mode ..." as saved figures name the run
std::size_t Window();     // the newest samples the figures cover, 0: all
uint8_t ChosenRules();
void ShowEventCount();
void ClockText(char *out, std::size_t size, int64_t wallMs, WallStyle style);
void SayWritten(const char *path, bool ok, const char *why = "");
// A file to save to (path: 260 bytes), in the window's remembered folder;
// false when cancelled or refused (said).
bool ChooseFile(const char *name, const char *types, const char *title, char *path);

}  // namespace statsview
