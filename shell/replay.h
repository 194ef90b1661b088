// Replay: a recording played back through the sample stream into the views
// of run mode, paused, stepped, sought and sped up, with its out-of-tolerance
// samples marked on the seek slider and one key away. Nothing goes to the
// sensor while a replay is shown.
#pragma once

#include "recording_index.h"
#include "session.h"
#include "statistics.h"

// Opens a recording and shows its first sample, paused; the rest of a large
// file is indexed while it is shown. False, with the reason in the status
// line, when the file cannot be replayed (or a mode runs).
bool BeginReplay(const char *path);
// Back to the live front-end as the replay found it.
void EndReplay();
bool ReplayShown();

void ReplayPlayPause();
bool ReplayPlaying();
// delta samples on (negative: back), held within the file; pauses.
void ReplayStep(long delta);
// Shows sample index (from 0): the history holds the samples before it.
void ReplaySeek(unsigned long index);
// To the next (or previous) out-of-tolerance sample; false when none is.
bool ReplayJumpOut(bool forward);
// Shows the sample nearest to a local time typed as "2026-12-08 19:23:00"
// or, as a time of day alone, "19:23:00" (on any day the file's samples
// cover, the nearest across them); minutes without seconds and a fraction of
// a second are taken too. Pauses; landed is the sample shown. False, with why
// set, for a text that is no time or a file without times.
bool ReplayGoToTime(const char *text, Sample &landed, const char **why);
// factor times the recorded pace; 0: as fast as drawing allows.
void SetReplaySpeed(double factor);
void SetReplayLoop(bool on);

unsigned long ReplayPosition();  // the index of the sample shown
// The replayed file's name ("" when none is shown).
// The index of the recording shown, or nullptr when no replay is shown.
class RecordingIndex;
const RecordingIndex *ShownRecordingIndex();
const char *ReplayName();
unsigned long ReplayCount();  // samples indexed so far
bool ReplayIndexComplete();

// What judges a recording without recorded limits.
enum class ReplayLimitSource { Recorded = 1, Parameters = 2, Entered = 3 };
void SetReplayLimits(ReplayLimitSource source, double lowerMm, double upperMm);
ReplayLimitSource CurrentReplayLimitSource();

// For statistics over the file: hands the samples first..last (indices,
// inclusive, held within the file) to fn in order, as they are shown;
// returns how many it handed.
using ReplaySampleFn = void (*)(const Sample &sample, void *data);
unsigned long ForEachReplaySample(unsigned long first, unsigned long last, ReplaySampleFn fn,
                                  void *data);
// The samples the history chart shows now, as indices; false without a replay.
bool ReplayHistorySpan(unsigned long &first, unsigned long &last);
// The figures of the whole file as indexed so far, and the times of its first
// and last sample; nullptr without a replay.
const SampleStatistics *ReplayFileFigures(int64_t &firstMs, int64_t &lastMs);
// Its out-of-tolerance events, grown with those figures; nullptr without a
// replay.
class ToleranceEvents;
const ToleranceEvents *ReplayFileEvents();

// At start-up: a file dropped onto the main window is replayed.
void InitReplay();
// The file that --replay names, replayed once the window is up ("" none).
extern char replayAtStart[4096];

// The sample with that number as the replay shows it; false when the file
// has none.
bool ReplaySampleNumbered(long number, Sample &s);
// The history chart shows the file's samples from xMin to xMax (sample
// numbers, at most 10000 of them); only while paused.
void ReplayShowSpan(double xMin, double xMax);

// Control callbacks of the replay panel and the main panel's Replay button.
#define KVEX_REPLAY_CC(name) \
    int name(int panel, int control, int event, void *callbackData, int eventData1, int eventData2);
KVEX_REPLAY_CC(CC_BTNReplay)
KVEX_REPLAY_CC(CC_ReplaySlider)
KVEX_REPLAY_CC(CC_ReplayPrevOut)
KVEX_REPLAY_CC(CC_ReplayBack)
KVEX_REPLAY_CC(CC_ReplayPlay)
KVEX_REPLAY_CC(CC_ReplayForward)
KVEX_REPLAY_CC(CC_ReplayNextOut)
KVEX_REPLAY_CC(CC_ReplaySpeed)
KVEX_REPLAY_CC(CC_ReplayLoop)
KVEX_REPLAY_CC(CC_ReplayEnd)
KVEX_REPLAY_CC(CC_ReplayLimitSource)
KVEX_REPLAY_CC(CC_ReplayLimitEdit)
KVEX_REPLAY_CC(CC_ReplayGoTo)
#undef KVEX_REPLAY_CC
