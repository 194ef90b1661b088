// A replay borrows the views of run mode: it keeps what they showed before
// it began and puts it back when it ends, so the live front-end returns as
// the operator left it. Samples are read from the file when they are shown;
// only the index stays in memory.
#include "replay.h"

#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <vector>

#include "com232.h"
#include "file_checks.h"
#include "gui.h"
#include "history_tool.h"
#include "modes.h"
#include "replay_limits.h"
#include "replay_views.h"
#include "statistics.h"
#include "stats_window.h"
#include "tolerance_events.h"
#include "ui.h"

namespace {

constexpr int kHistoryLength = 100;  // samples the history chart holds
// A text recording with interval 0 was taken as fast as the line carried
// replies: 72 bytes of 10 bits at 19200 baud.
constexpr double kLinePace = 72 * 10 / 19200.0;
// A longer pause in a recording (the recorder was held, the line was lost)
// is shortened to this many recorded seconds, so a replay never stands still.
constexpr double kMaxGap = 2.0;
constexpr double kFirstPass = 0.1;   // indexing before the first frame, seconds
constexpr double kIndexPass = 0.03;  // each later pass while the replay is shown
constexpr double kPlaySlice = 0.02;  // samples drawn per pass, at most this long
constexpr int kRed = 0xE00000;

struct Replay {
    std::unique_ptr<RecordingIndex> index;
    char name[260] = "";
    unsigned long pos = 0;
    bool playing = false, loop = false;
    double speed = 1;
    double lastDue = 0;   // Timer() at which the sample shown was due
    double lastTime = 0;  // its recorded time, seconds
    ReplayLimitSource source = ReplayLimitSource::Parameters;
    double enteredLower = 0, enteredUpper = 0;
    unsigned long shownOut = ULONG_MAX, shownCount = ULONG_MAX;
    unsigned long firstNumber = 1;  // the number of the file's first sample
};

Replay r;
// The figures of the whole file, grown with its index: a growing file costs
// only its new samples, and nothing is read from it again to give them.
SampleStatistics fileFigures;
ToleranceEvents fileEvents;
int64_t fileFirstMs = 0, fileLastMs = 0;
bool shown = false;
intptr_t replayId = 0;  // a timer of an earlier replay or play finds another id and stops
intptr_t playId = 0;

const char *BaseName(const char *path) {
    const char *slash = std::strrchr(path, '/');
    return slash ? slash + 1 : path;
}

// ---------------------------------------------------------------- samples
double RecordedTime(const Sample &s, unsigned long i) {
    const RecordingHeader &h = r.index->Header();
    if (h.format == RecordingFormat::Csv) return s.wallMs / 1000.0;
    return h.intervalS > 0 ? s.monotonic : static_cast<double>(i) * kLinePace;
}

// Sample i with what the drawing needs in sensor units: the setpoint and the
// tolerances that its limits stand for. Only a file that carries its scale
// tells them; any other is drawn without unit lines rather than with guessed
// ones.
bool ReadShown(unsigned long i, Sample &s) {
    if (!r.index->Read(i, s)) return false;
    if (!(s.umPerUnit > 0)) {
        s.setpointUnits = s.units;
        s.tolUp = s.tolLow = 0;
        return true;
    }
    const auto units = [&](double um) {
        const long v = std::lround(um / s.umPerUnit);
        return static_cast<unsigned short>(v < 0 ? 0 : v > 65535 ? 65535 : v);
    };
    s.tolUp = units(s.upperUm - s.setpointUm);
    s.tolLow = units(s.setpointUm - s.lowerUm);
    return true;
}

void FormatTime(const Sample &s, char *out, std::size_t size) {
    const RecordingHeader &h = r.index->Header();
    if (h.format == RecordingFormat::Text && h.startWallMs < 0) {
        std::snprintf(out, size, "%.1f s after the start", s.monotonic);
        return;
    }
    if (WallTimeText(s.wallMs, WallStyle::DateMs, out, size) == 0)
        std::snprintf(out, size, "time unknown");
}

// The verdict stands in the main display; here the place and the time.
void ShowPosition(const Sample &s) {
    SetCtrlVal(pReplay, REPLAY_ReplaySlider, static_cast<int>(r.pos + 1));
    char when[64], text[200];
    FormatTime(s, when, sizeof when);
    if (s.number == r.pos + 1)
        std::snprintf(text, sizeof text, "Sample %lu of %lu, %s", s.number, r.index->Count(), when);
    else
        std::snprintf(text, sizeof text, "Sample %lu (%lu of %lu), %s", s.number, r.pos + 1,
                      r.index->Count(), when);
    SetCtrlVal(pReplay, REPLAY_ReplayPosition, text);
}

// A file with limits of its own shows them in the (dimmed) limit edits, as
// the sample shown was judged: never limits the file did not use.
void ShowRecordedLimits(const Sample &s) {
    if (!r.index->RecordedVerdicts()) return;
    const double limitsMm[2] = {s.lowerUm / 1000, s.upperUm / 1000};
    const int decimals = DecimalsApart(s.mm, limitsMm, 2);
    for (int k = 0; k < 2; ++k) {
        const int id = k == 0 ? REPLAY_ReplayLower : REPLAY_ReplayUpper;
        SetCtrlAttribute(pReplay, id, ATTR_PRECISION, decimals);
        SetCtrlVal(pReplay, id, limitsMm[k]);
    }
}

void Show(unsigned long i, const Sample &s) {
    r.pos = i;
    PublishSample(s);
    ShowPosition(s);
    ShowRecordedLimits(s);
}

void ShowTrack();

// A file cut short under the replay ends the track where the file ends now;
// what stays is shown as any other sample. False when nothing was cut.
bool FollowCutFile() {
    const unsigned long before = r.index->Count();
    const unsigned long left = r.index->KeepWhole();
    if (left == before) return false;
    char text[600];
    if (left == 0) {
        std::snprintf(text, sizeof text, "Replay of %s ended: the file holds no sample any more",
                      r.name);
        EndReplay();
        ShowStatusText(text);
        return true;
    }
    ShowTrack();
    std::snprintf(text, sizeof text,
                  "Replay of %s: %lu samples, the file was cut short (it held %lu)", r.name, left,
                  before);
    ShowStatusText(text);
    ReplaySeek(r.pos < left ? r.pos : left - 1);
    return true;
}

// A file written over in place holds other values under the old index:
// nothing of it is shown as if it were the file that was opened.
void EndChangedFile() {
    char text[600];
    std::snprintf(text, sizeof text,
                  "Cannot replay %s any further: the file was written over while it was "
                  "replayed; open it again to replay what it holds now",
                  r.name);
    EndReplay();
    ShowStatusText(text);
}

void CannotRead(unsigned long i) {
    if (r.index->ChangedInPlace()) return EndChangedFile();
    if (FollowCutFile()) return;
    char text[400];
    std::snprintf(text, sizeof text, "Cannot read sample %lu of %s: the file changed", i + 1,
                  r.name);
    ShowStatusText(text);
}

// ---------------------------------------------------------------- status
void ShowReplayStatus() {
    const RecordingIndex &x = *r.index;
    char text[600];
    int n = std::snprintf(text, sizeof text, "Replay of %s: %lu samples%s", r.name, x.Count(),
                          x.Complete() ? "" : " so far, reading on");
    if (x.SkippedLines() > 0 && n > 0 && n < static_cast<int>(sizeof text))
        n += std::snprintf(
            text + n, sizeof text - n, "; %lu unreadable line%s skipped, the first is line %lu",
            x.SkippedLines(), x.SkippedLines() == 1 ? "" : "s", x.FirstSkippedLine());
    if (x.Complete() && x.PartialTail() > 0 && n > 0 && n < static_cast<int>(sizeof text))
        std::snprintf(text + n, sizeof text - n,
                      "; up to its last whole line (still being written?)");
    ShowStatusText(text);
}

void ShowTrack() {
    const RecordingIndex &x = *r.index;
    if (x.Count() == 0) return;
    if (x.Count() != r.shownCount) {
        SetSliderRange(pReplay, REPLAY_ReplaySlider, 1, static_cast<int>(x.Count()));
        r.shownCount = x.Count();
        r.shownOut = ULONG_MAX;
    }
    if (x.OutCount() == r.shownOut) return;
    r.shownOut = x.OutCount();
    std::vector<int> marks = x.OutMarks(344);
    for (int &m : marks) ++m;  // slider values count from 1
    SetSliderMarks(pReplay, REPLAY_ReplaySlider, marks.data(), static_cast<int>(marks.size()),
                   kRed);
    char text[120];
    std::snprintf(text, sizeof text, "%lu sample%s out of tolerance (red marks)", x.OutCount(),
                  x.OutCount() == 1 ? "" : "s");
    SetCtrlVal(pReplay, REPLAY_ReplayCounts, text);
}

// ---------------------------------------------------------------- limits

void ShowLimits(const Limits &l) {
    char text[200];
    if (r.index->RecordedVerdicts()) {
        std::snprintf(text, sizeof text, "Limits and verdicts as recorded in the file");
    } else if (!l.hasLower || !l.hasUpper) {
        std::snprintf(text, sizeof text, "%s",
                      r.source == ReplayLimitSource::Entered
                          ? "No limits: the lower limit lies above the upper one"
                          : "No limits: no sensor parameters read; enter limits");
    } else {
        std::snprintf(text, sizeof text, "%s: %.3f to %.3f mm",
                      r.source == ReplayLimitSource::Entered ? "Limits entered" : "Parameters held",
                      l.lowerUm / 1000.0, l.upperUm / 1000.0);
    }
    SetCtrlVal(pReplay, REPLAY_ReplayLimits, text);
}

void AddJudged(const Sample &s, void *) {
    fileFigures.Add(s.exactUm, s.verdict, LimitsOf(s));
    fileEvents.Add(fileFigures.Count(), s.wallMs, s.exactUm, s.verdict);
}

void AddToFileFigures(const Sample &s, void *) {
    if (fileFigures.Count() == 0) fileFirstMs = s.wallMs;
    fileLastMs = s.wallMs;
    AddJudged(s, nullptr);
}

void ApplyLimits() {
    const Limits l = LimitsForReplay(r.index->Header(), r.source, r.enteredLower, r.enteredUpper);
    r.index->Judge(l);
    // Judged anew, the file's figures are made again from the index in
    // memory; a file that carries its verdicts keeps them.
    if (!r.index->RecordedVerdicts()) {
        fileFigures.Reset();
        fileEvents.Reset();
        r.index->ForEachJudged(AddJudged, nullptr);
    }
    ShowLimits(l);
    r.shownOut = ULONG_MAX;
    ShowTrack();
}

// The choice offered first: the file's own limits where it has them,
// otherwise the parameters; the edits start from the parameters' limits.
void SetUpLimits() {
    const bool recorded = r.index->RecordedVerdicts();
    r.source = recorded ? ReplayLimitSource::Recorded : ReplayLimitSource::Parameters;
    const Limits held = LimitsForReplay(r.index->Header(), ReplayLimitSource::Parameters, 0, 0);
    r.enteredLower = held.lowerUm / 1000.0, r.enteredUpper = held.upperUm / 1000.0;
    for (int id : {REPLAY_ReplayLower, REPLAY_ReplayUpper})
        SetCtrlAttribute(pReplay, id, ATTR_PRECISION, 3);
    SetCtrlVal(pReplay, REPLAY_ReplayLower, r.enteredLower);
    SetCtrlVal(pReplay, REPLAY_ReplayUpper, r.enteredUpper);
    SetCtrlVal(pReplay, REPLAY_ReplayLimitSource, static_cast<int>(r.source));
    for (int id : {REPLAY_ReplayLimitSource, REPLAY_ReplayLower, REPLAY_ReplayUpper})
        SetCtrlAttribute(pReplay, id, ATTR_DIMMED, recorded ? 1 : 0);
    ApplyLimits();
}

void SetPlaying(bool on) {
    r.playing = on;
    ++playId;
    SetCtrlAttribute(pReplay, REPLAY_ReplayPlay, ATTR_LABEL_TEXT, on ? "Pause" : "Play");
    UpdateHistoryTool();
}

// ---------------------------------------------------------------- passes
void ScheduleTick(double seconds);

// Shows the samples that are due by now at the chosen pace, then waits for
// the next one; drawing that cannot keep the pace sets it from there on.
void PlayTick(void *id) {
    if (reinterpret_cast<intptr_t>(id) != playId || !shown || !r.playing) return;
    const double start = Timer();
    for (;;) {
        if (r.pos + 1 >= r.index->Count()) {
            if (!r.index->Complete()) return ScheduleTick(0.05);
            if (!r.loop) {
                SetPlaying(false);
                return;
            }
            ReplaySeek(0);
            SetPlaying(true);
            r.lastDue = Timer();
            return ScheduleTick(0);
        }
        Sample next;
        if (!ReadShown(r.pos + 1, next)) {
            SetPlaying(false);
            CannotRead(r.pos + 1);
            return;
        }
        const double t = RecordedTime(next, r.pos + 1);
        const double now = Timer();
        double due = now;
        if (r.speed > 0) {
            double gap = t - r.lastTime;
            gap = gap < 0 ? 0 : gap > kMaxGap ? kMaxGap : gap;
            due = r.lastDue + gap / r.speed;
            if (due > now) return ScheduleTick(due - now);
            if (now - due > 0.25) due = now;
        }
        r.lastDue = due, r.lastTime = t;
        Show(r.pos + 1, next);
        if (Timer() - start > kPlaySlice) return ScheduleTick(0);
    }
}

void ScheduleTick(double seconds) {
    void *id = reinterpret_cast<void *>(playId);
    if (seconds <= 0)
        PostDeferredCall(PlayTick, id);
    else
        PostDelayedCall(seconds, PlayTick, id);
}

void FinishRefused(const char *why) {
    char text[600];
    std::snprintf(text, sizeof text, "Cannot replay %s: %s", r.name, why);
    EndReplay();
    ShowStatusText(text);
}

void IndexPass(void *id) {
    if (reinterpret_cast<intptr_t>(id) != replayId || !shown) return;
    const bool more = r.index->IndexMore(kIndexPass);
    if (r.index->Refused()) return FinishRefused(r.index->RefusalText());
    ShowTrack();
    ShowReplayStatus();
    StatisticsChanged(!more);  // the file's figures grew, or are whole
    if (more) PostDeferredCall(IndexPass, id);
}

void DropReplay(int, const char *path) { BeginReplay(path); }

}  // namespace

// ---------------------------------------------------------------- operations
bool BeginReplay(const char *path) {
    const char *name = BaseName(path);
    char text[600];
    if (MeasuringLoopRuns()) {
        std::snprintf(text, sizeof text,
                      "Cannot replay %s while a mode or a recording runs: press Stop first", name);
        ShowStatusText(text);
        return false;
    }
    auto index = std::make_unique<RecordingIndex>();
    char why[200] = "";
    if (!index->Open(path, why, sizeof why)) {
        std::snprintf(text, sizeof text, "Cannot replay %s: %s", name, why);
        ShowStatusText(text);
        return false;
    }
    if (shown) EndReplay();
    KeepLiveViews();
    shown = true;
    ++replayId;
    r = Replay{};
    r.index = std::move(index);
    fileFigures.Reset();
    fileEvents.Reset();
    fileFirstMs = fileLastMs = 0;
    r.index->SetSampleSink(AddToFileFigures, nullptr);
    std::snprintf(r.name, sizeof r.name, "%s", name);
    HoldFile(kHeldReplay, path);
    SetReplaySource(r.name);
    SetActivity(Activity::Replay);
    ShowLinkState();
    DimForReplay(1);
    SetCtrlVal(pReplay, REPLAY_ReplayFile, r.name);
    SetCtrlVal(pReplay, REPLAY_ReplayLoop, 0);
    SetCtrlVal(pReplay, REPLAY_ReplaySpeed, 10);
    SetPlaying(false);
    DisplayPanel(pReplay);
    SetUpLimits();
    // The first frame comes after one bounded pass, or after the first
    // sample when bad lines fill the whole pass.
    bool more = r.index->IndexMore(kFirstPass);
    while (more && r.index->Count() == 0) more = r.index->IndexMore(kIndexPass);
    if (r.index->Refused()) {
        FinishRefused(r.index->RefusalText());
        return false;
    }
    if (r.index->Count() == 0) {
        FinishRefused(r.index->SkippedLines() ? "no line of it is a sample" : "it holds no sample");
        return false;
    }
    Sample first;
    if (r.index->Read(0, first)) r.firstNumber = first.number;
    ShowTrack();
    ReplaySeek(0);
    ShowReplayStatus();
    // A statistics window that is open already shows the file, not the run
    // before it, without waiting for the replay to move.
    StatisticsChanged(true);
    if (more) PostDeferredCall(IndexPass, reinterpret_cast<void *>(replayId));
    return true;
}

void EndReplay() {
    if (!shown) return;
    shown = false;
    ++replayId;
    SetPlaying(false);
    r.index.reset();
    HoldFile(kHeldReplay, nullptr);
    HidePanel(pReplay);
    SetActivity(Activity::Idle);
    ShowLinkState();
    DimForReplay(0);
    PutBackLiveViews();
    ShowStatusText("Replay ended: live front-end");
}

bool ReplayShown() { return shown; }
bool ReplayPlaying() { return shown && r.playing; }
unsigned long ReplayPosition() { return shown ? r.pos : 0; }
unsigned long ReplayCount() { return shown ? r.index->Count() : 0; }
const char *ReplayName() { return shown ? r.name : ""; }
bool ReplayIndexComplete() { return shown && r.index->Complete(); }
ReplayLimitSource CurrentReplayLimitSource() { return r.source; }

void ReplayPlayPause() {
    if (!shown) return;
    if (r.playing) {
        SetPlaying(false);
        return;
    }
    if (r.pos + 1 >= r.index->Count() && r.index->Complete())
        ReplaySeek(0);  // again from the start
    SetPlaying(true);
    Sample s;
    r.lastDue = Timer();
    r.lastTime = ReadShown(r.pos, s) ? RecordedTime(s, r.pos) : 0;
    ScheduleTick(0);
}

void ReplaySeek(unsigned long index) {
    if (!shown || r.index->Count() == 0) return;
    if (index >= r.index->Count()) index = r.index->Count() - 1;
    ClearHistory();
    const unsigned long from = index >= kHistoryLength - 1 ? index - (kHistoryLength - 1) : 0;
    Sample s;
    for (unsigned long k = from; k < index; ++k)
        if (ReadShown(k, s)) AddRecordedHistoryPoint(s);
    if (!ReadShown(index, s)) {
        CannotRead(index);
        return;
    }
    r.lastDue = Timer(), r.lastTime = RecordedTime(s, index);
    Show(index, s);
}

void ReplayStep(long delta) {
    if (!shown) return;
    SetPlaying(false);
    const long last = static_cast<long>(r.index->Count()) - 1;
    long to = static_cast<long>(r.pos) + delta;
    to = to < 0 ? 0 : to > last ? last : to;
    Sample s;
    // One step forward is one more sample in the history; anything else is a seek.
    if (to == static_cast<long>(r.pos) + 1 && ReadShown(static_cast<unsigned long>(to), s))
        Show(static_cast<unsigned long>(to), s);
    else if (to != static_cast<long>(r.pos))
        ReplaySeek(static_cast<unsigned long>(to));
}

bool ReplayJumpOut(bool forward) {
    if (!shown) return false;
    const long to = forward ? r.index->NextOut(r.pos) : r.index->PreviousOut(r.pos);
    if (to < 0) {
        ShowStatusText(forward ? "No out-of-tolerance sample after this one"
                               : "No out-of-tolerance sample before this one");
        return false;
    }
    SetPlaying(false);
    ReplaySeek(static_cast<unsigned long>(to));
    return true;
}

void SetReplaySpeed(double factor) {
    r.speed = factor < 0 ? 0 : factor;
    r.lastDue = Timer();  // the new pace counts from now
}

void SetReplayLoop(bool on) { r.loop = on; }

void SetReplayLimits(ReplayLimitSource source, double lowerMm, double upperMm) {
    if (!shown || r.index->RecordedVerdicts()) return;
    r.source = source == ReplayLimitSource::Recorded ? ReplayLimitSource::Parameters : source;
    r.enteredLower = lowerMm, r.enteredUpper = upperMm;
    ApplyLimits();
    ReplaySeek(r.pos);  // the sample shown and the history as now judged
}

unsigned long ForEachReplaySample(unsigned long first, unsigned long last, ReplaySampleFn fn,
                                  void *data) {
    if (!shown || !fn || r.index->Count() == 0) return 0;
    if (last >= r.index->Count()) last = r.index->Count() - 1;
    unsigned long handed = 0;
    Sample s;
    for (unsigned long i = first; i <= last; ++i)
        if (ReadShown(i, s)) {
            fn(s, data);
            ++handed;
        }
    return handed;
}

const RecordingIndex *ShownRecordingIndex() { return shown ? r.index.get() : nullptr; }

const SampleStatistics *ReplayFileFigures(int64_t &firstMs, int64_t &lastMs) {
    if (!shown) return nullptr;
    firstMs = fileFirstMs, lastMs = fileLastMs;
    return &fileFigures;
}

const ToleranceEvents *ReplayFileEvents() { return shown ? &fileEvents : nullptr; }

bool ReplayHistorySpan(unsigned long &first, unsigned long &last) {
    if (!shown) return false;
    last = r.pos;
    first = r.pos >= kHistoryLength - 1 ? r.pos - (kHistoryLength - 1) : 0;
    return true;
}

void InitReplay() {
    SetPanelFileDrop(pHandle, DropReplay);
    InitHistoryTool();
}

bool ReplaySampleNumbered(long number, Sample &s) {
    if (!shown || number < static_cast<long>(r.firstNumber)) return false;
    const unsigned long i = static_cast<unsigned long>(number) - r.firstNumber;
    return i < r.index->Count() && ReadShown(i, s) &&
           s.number == static_cast<unsigned long>(number);
}

// The history chart shows the samples of the range the operator dragged or
// zoomed to, as many as a strip chart holds.
void ReplayShowSpan(double xMin, double xMax) {
    if (!shown || r.playing || r.index->Count() == 0) return;
    constexpr long kMost = 10000;
    const long count = static_cast<long>(r.index->Count());
    long first = std::lround(std::ceil(xMin)) - static_cast<long>(r.firstNumber);
    long last = std::lround(std::floor(xMax)) - static_cast<long>(r.firstNumber);
    if (last - first + 1 > kMost) first = last - kMost + 1;
    first = first < 0 ? 0 : first;
    last = last >= count ? count - 1 : last;
    if (last - first < 1) return;
    std::vector<double> points;
    points.reserve(static_cast<std::size_t>(last - first + 1) * 5);
    Sample s;
    const double nan = std::nan("");
    for (long i = first; i <= last; ++i) {
        const bool ok = ReadShown(static_cast<unsigned long>(i), s);
        const bool judged = ok && s.verdict != Verdict::None;
        points.insert(points.end(),
                      {judged ? s.setpointUnits + s.tolUp + 0.0 : nan,
                       judged ? s.setpointUnits - s.tolLow + 0.0 : nan,
                       judged ? s.setpointUnits + 0.0 : nan, ok ? s.units + 0.0 : nan, nan});
    }
    const int n = static_cast<int>(last - first + 1);
    SetCtrlAttribute(pHandle, PANEL_StripChartRaw, ATTR_POINTS_PER_SCREEN, n);
    PlotStripChart(pHandle, PANEL_StripChartRaw, points.data(), 5 * n, 0, 0, VAL_DOUBLE);
    SetCtrlAttribute(pHandle, PANEL_StripChartRaw, ATTR_NEWEST_POINT_NUMBER,
                     static_cast<int>(static_cast<unsigned long>(last) + r.firstNumber));
}
