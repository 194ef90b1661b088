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

// What the views showed before the replay: put back at its end.
struct LiveViews {
    double history[500];
    int64_t historyWallMs[100];
    int historySamples = 0;
    unsigned short a, b, m, tolUp, tolLow, edgesA, edgesB, peakA, peakB, anaMax, anaMin;
    int um = 0;
    double displays[11];
    bool subPanelShown[3] = {};
    bool videoGraphs = false;  // video mode's curves stood in the history's place
};

constexpr int kDisplays[11] = {PANEL_Display14, PANEL_Display15, PANEL_Display16, PANEL_Display17,
                               PANEL_Display33, PANEL_Display34, PANEL_Display35, PANEL_Display36,
                               PANEL_Display43, PANEL_Display44, PANEL_Display45};
// What could start an exchange with the sensor, or a recording.
constexpr int kDimmedMain[] = {PANEL_BTNRun,        PANEL_BTNVideo,         PANEL_BTNGet,
                               PANEL_BTNSend,       PANEL_ButtonTeach,      PANEL_ButtonReset,
                               PANEL_DropDCom,      PANEL_TOGGBTN_Recorder, PANEL_TOGGBTN_Para1,
                               PANEL_TOGGBTN_Para2, PANEL_TOGGBTN_Calib};

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
LiveViews live;

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
// Whole µm, as the file's values are: a value on a limit is inside.
Limits LimitsFor(ReplayLimitSource source) {
    const RecordingHeader &h = r.index->Header();
    Limits l;
    l.hasSetpoint = h.hasSetpoint;
    l.setpointUm = h.setpointUm;
    if (source == ReplayLimitSource::Parameters) {
        const double scale = ScaleFactor() / 16384.0;
        if (scale <= 0) return l;
        const int32_t setpoint =
            h.hasSetpoint ? h.setpointUm : static_cast<int32_t>(SetpointValue());
        l.hasSetpoint = l.hasLower = l.hasUpper = true;
        l.setpointUm = setpoint;
        l.lowerUm = setpoint - static_cast<int32_t>(std::lround(scale * parameter[PW_TOLLO]));
        l.upperUm = setpoint + static_cast<int32_t>(std::lround(scale * parameter[PW_TOLUP]));
    } else if (source == ReplayLimitSource::Entered) {
        const long lower = std::lround(r.enteredLower * 1000);
        const long upper = std::lround(r.enteredUpper * 1000);
        if (lower > upper) return l;
        l.hasLower = l.hasUpper = l.hasSetpoint = true;
        l.lowerUm = static_cast<double>(lower), l.upperUm = static_cast<double>(upper);
        const bool inside = h.hasSetpoint && h.setpointUm >= lower && h.setpointUm <= upper;
        l.setpointUm = inside ? h.setpointUm : static_cast<double>(lower + (upper - lower) / 2);
    }
    return l;
}

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
    const Limits l = LimitsFor(r.source);
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
    const Limits held = LimitsFor(ReplayLimitSource::Parameters);
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

// ---------------------------------------------------------------- views
void KeepLiveViews() {
    std::memcpy(live.history, arrayNORM, sizeof live.history);
    std::memcpy(live.historyWallMs, historyWallMs, sizeof live.historyWallMs);
    live.historySamples = historySamples;
    live.a = Aval, live.b = Bval, live.m = Mvalue, live.um = umValue;
    live.tolUp = tolup, live.tolLow = tollo;
    live.edgesA = edcntA, live.edgesB = edcntB, live.peakA = peakwA, live.peakB = peakwB;
    live.anaMax = anaMax, live.anaMin = anaMin;
    for (int i = 0; i < 11; ++i) GetCtrlVal(pHandle, kDisplays[i], &live.displays[i]);
    // After video mode its curves stand where the history belongs.
    HistoryOfRecording(true);
    live.videoGraphs = VideoGraphsShown();
    ShowGraphsOf(false);
    const int subPanels[3] = {pPara1, pPara2, pCalib};
    for (int i = 0; i < 3; ++i) {
        int visible = 0;
        GetPanelAttribute(subPanels[i], ATTR_VISIBLE, &visible);
        live.subPanelShown[i] = visible != 0;
        HidePanel(subPanels[i]);
    }
}

void PutBackLiveViews() {
    std::memcpy(arrayNORM, live.history, sizeof live.history);
    std::memcpy(historyWallMs, live.historyWallMs, sizeof live.historyWallMs);
    historySamples = live.historySamples;
    Aval = live.a, Bval = live.b, Mvalue = live.m, umValue = live.um;
    tolup = live.tolUp, tollo = live.tolLow;
    edcntA = live.edgesA, edcntB = live.edgesB, peakwA = live.peakA, peakwB = live.peakB;
    anaMax = live.anaMax, anaMin = live.anaMin;
    UpdateSetpoint(parameter[PW_EVALMODE]);
    HistoryOfRecording(false);
    RedrawHistory();
    ShowGraphsOf(live.videoGraphs);
    ShowDisplaysStale();
    for (int i = 0; i < 11; ++i) SetCtrlVal(pHandle, kDisplays[i], live.displays[i]);
    const int subPanels[3] = {pPara1, pPara2, pCalib};
    for (int i = 0; i < 3; ++i)
        if (live.subPanelShown[i]) DisplayPanel(subPanels[i]);
}

void DimForReplay(int dimmed) {
    for (int id : kDimmedMain) SetCtrlAttribute(pHandle, id, ATTR_DIMMED, dimmed);
    SetCtrlAttribute(panelPopUp, POPUP_BTNStartRecord, ATTR_DIMMED, dimmed);
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

namespace {

// A typed time: "19:23", "19:23:00", "19:23:00.5", each after a date
// "2026-12-08" and a space or a T, or alone. Out of range fields are no time.
bool ParseTypedTime(const char *text, bool &hasDate, std::tm &when, double &seconds) {
    while (*text == ' ' || *text == '\t' || *text == '\n' || *text == '\r') ++text;
    char trimmed[64];
    std::size_t len = std::strlen(text);
    while (len > 0 && (text[len - 1] == ' ' || text[len - 1] == '\n' || text[len - 1] == '\r' ||
                       text[len - 1] == '\t'))
        --len;
    if (len == 0 || len >= sizeof trimmed) return false;
    std::memcpy(trimmed, text, len);
    trimmed[len] = '\0';
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, used = 0;
    const char *clock = trimmed;
    hasDate = std::sscanf(trimmed, "%4d-%2d-%2d%n", &year, &month, &day, &used) == 3 &&
              (trimmed[used] == ' ' || trimmed[used] == 'T');
    if (hasDate) {
        clock = trimmed + used + 1;
        if (year < 1970 || month < 1 || month > 12 || day < 1 || day > 31) return false;
    }
    if (std::sscanf(clock, "%2d:%2d%n", &hour, &minute, &used) != 2 || hour > 23 || minute > 59 ||
        hour < 0 || minute < 0)
        return false;
    seconds = 0;
    const char *rest = clock + used;
    if (*rest == ':') {
        char *end = nullptr;
        if (rest[1] < '0' || rest[1] > '9') return false;
        seconds = std::strtod(rest + 1, &end);
        if (*end != '\0' || !(seconds >= 0 && seconds < 60)) return false;
    } else if (*rest != '\0') {
        return false;
    }
    when = std::tm{};
    when.tm_year = year - 1900, when.tm_mon = month - 1, when.tm_mday = day;
    when.tm_hour = hour, when.tm_min = minute;
    when.tm_isdst = -1;
    return true;
}

// Local time of a day and a clock as milliseconds since 1970; false when the
// system cannot tell it.
bool LocalMs(std::tm when, double seconds, int64_t &ms) {
    when.tm_sec = 0;
    when.tm_isdst = -1;
    const std::time_t t = std::mktime(&when);
    if (t == static_cast<std::time_t>(-1)) return false;
    ms = static_cast<int64_t>(t) * 1000 + std::llround(seconds * 1000);
    return true;
}

// The sample nearest to wallMs among the first count, their times rising
// as the recorder wrote them: its index, and how far it lies.
bool NearestSample(int64_t wallMs, unsigned long count, unsigned long &index, int64_t &apart) {
    unsigned long low = 0, high = count;
    Sample s;
    while (low < high) {
        const unsigned long mid = low + (high - low) / 2;
        if (!r.index->Read(mid, s)) return false;
        if (s.wallMs < wallMs)
            low = mid + 1;
        else
            high = mid;
    }
    bool found = false;
    for (const unsigned long i : {low > 0 ? low - 1 : low, low}) {
        if (i >= count || !r.index->Read(i, s)) continue;
        const int64_t d = s.wallMs > wallMs ? s.wallMs - wallMs : wallMs - s.wallMs;
        if (!found || d < apart) index = i, apart = d, found = true;
    }
    return found;
}

}  // namespace

bool ReplayGoToTime(const char *text, Sample &landed, const char **why) {
    if (!shown || r.index->Count() == 0) {
        *why = "no replay is shown";
        return false;
    }
    const RecordingHeader &h = r.index->Header();
    if (h.format == RecordingFormat::Text && h.startWallMs < 0) {
        *why = "the file holds no times of day";
        return false;
    }
    bool hasDate = false;
    std::tm when{};
    double seconds = 0;
    if (!ParseTypedTime(text, hasDate, when, seconds)) {
        *why = "type a time of day as 19:23:00 or a date and time as 2026-12-08 19:23:00";
        return false;
    }
    const unsigned long count = r.index->Count();
    Sample first, last;
    if (!r.index->Read(0, first) || !r.index->Read(count - 1, last)) {
        *why = "the file cannot be read";
        return false;
    }
    unsigned long best = 0;
    int64_t bestApart = -1;
    auto consider = [&](const std::tm &day) {
        int64_t ms = 0;
        unsigned long i = 0;
        int64_t apart = 0;
        if (LocalMs(day, seconds, ms) && NearestSample(ms, count, i, apart) &&
            (bestApart < 0 || apart < bestApart))
            best = i, bestApart = apart;
    };
    if (hasDate) {
        consider(when);
    } else {
        // A time of day alone means that time on each day the file covers.
        const std::time_t from = static_cast<std::time_t>(first.wallMs / 1000),
                          to = static_cast<std::time_t>(last.wallMs / 1000);
        std::tm day{}, end{};
        if (!localtime_r(&from, &day) || !localtime_r(&to, &end)) {
            *why = "the file's times cannot be read as local times";
            return false;
        }
        for (int days = 0; days < 4000; ++days) {
            std::tm at = day;
            at.tm_mday += days;
            at.tm_hour = when.tm_hour, at.tm_min = when.tm_min;
            std::tm normal = at;
            normal.tm_isdst = -1;
            if (std::mktime(&normal) == static_cast<std::time_t>(-1)) break;
            consider(at);
            if (normal.tm_year > end.tm_year ||
                (normal.tm_year == end.tm_year && normal.tm_yday >= end.tm_yday))
                break;
        }
    }
    if (bestApart < 0) {
        *why = "the file cannot be read";
        return false;
    }
    SetPlaying(false);
    ReplaySeek(best);
    return r.index->Read(best, landed);
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
