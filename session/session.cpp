// What more than one subsystem shares: the program's state, the measuring
// loops' life cycle, the link's state on screen and the folders remembered.
#include "session.h"

#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

#include "com232.h"
#include "exchange.h"
#include "rs232.h"
#include "ui.h"

int pHandle, pPara1, pPara2, pCalib, panelPopUp, pPublish;
int pReplay;
int target = 1;
volatile std::sig_atomic_t stop_flag = 1;
int startMode = START_NONE;

const int MAXPOINT = 128;
unsigned short yaxisMAX = 2048;
unsigned short thdArrayA[128], thdArrayB[128];

char szSoftName[72];
char szSoftVersion[72];
char proj_dir[260];
char recfile_name[260];
char file_name[260];

const char *const kPanelFile = "K-VEX-RB-ZD-VedudU300.uir";
SessionHooks session_hooks;
bool portFromCommandLine = false;
bool unattended = false;

namespace {
unsigned long sampleNumber = 0;  // samples of the running (or last) loop
}  // namespace

void StopMeasuring() { stop_flag = 1; }

unsigned long NextSampleNumber() { return ++sampleNumber; }

// The threshold line of a video curve: percent of the video full scale.
void FillThresholdArray(unsigned short *levels, unsigned short percent) {
    const int level = static_cast<int>(percent) * static_cast<int>(YMAXADC) / 100;
    for (int i = 0; i < MAXPOINT; ++i) levels[i] = static_cast<unsigned short>(level);
}

// ---------------------------------------------------------------- loops
namespace {

int loopRunning = 0;

}  // namespace

void BeginMeasuringLoop(Activity what) {
    loopRunning = 1;
    SetActivity(what);
    stop_flag = 0;
    sampleNumber = 0;
    if (session_hooks.startControlsDimmed) session_hooks.startControlsDimmed(1);
    BeginLinkFigure();
}

void EndMeasuringLoop() {
    loopRunning = 0;
    SetActivity(Activity::Idle);
    EndLinkFigure();
    if (session_hooks.startControlsDimmed) session_hooks.startControlsDimmed(0);
    NoteLiveValuesEnded();
}

bool MeasuringLoopRuns() { return loopRunning != 0; }

// Acts on the press, so a stop reaches a running loop even while the button
// is still held. A loop still has its last exchange on the line: its buttons
// come back when it has ended, not before.
void RequestStop() {
    StopMeasuring();
    if (!loopRunning && session_hooks.startControlsDimmed) session_hooks.startControlsDimmed(0);
    Delay(0.1);
}

// ---------------------------------------------------------------- link state
char sensorFirmware[sizeof szStatus];
char sensorHardware[3][sizeof szHardware[0]];

namespace {

constexpr int kStateGrey = 0x808080, kStateGreen = 0x008000, kStateRed = 0xC00000,
              kStateAmber = 0xA04800, kStateDark = 0x303030, kStateBlue = 0x0050A0;

// Counts since the running (or last) mode started; since == 0: no mode yet.
// A mode that ended keeps the counts of its end, whatever the link does later.
struct LinkFigure {
    bool running = false;
    bool answered = true;  // the last request of the mode had its reply
    double since = 0, until = 0, lastShown = 0;
    long replies = 0, discarded = 0;        // the counters at the start
    long endReplies = 0, endDiscarded = 0;  // and at the end
    int timeouts = 0;
} figure;

// The device behind the link's port number. Looking it up lists the
// machine's ports, far too costly for a figure shown once a second, so it is
// read when the link opens or is lost.
char linkDevice[260] = "";
char replaySource[260] = "";

void FormatFigure(char *out, std::size_t size) {
    const double until = figure.running ? Timer() : figure.until;
    const long replies = (figure.running ? AcceptedReplies() : figure.endReplies) - figure.replies;
    const long discarded =
        (figure.running ? DiscardedBytes() : figure.endDiscarded) - figure.discarded;
    const double seconds = until - figure.since;
    const double rate = seconds > 0 ? replies / seconds : 0;
    std::snprintf(out, size, "%.1f exchanges/s, %d time-outs, %ld bytes discarded", rate,
                  figure.timeouts, discarded);
}

}  // namespace

void ReadLinkDevice() {
    linkDevice[0] = '\0';
    GetComPortDevice(com, linkDevice, sizeof linkDevice);
}

const char *LinkDevice() { return linkDevice; }

void SetReplaySource(const char *name) {
    std::snprintf(replaySource, sizeof replaySource, "%s", name);
}

// One of four states, and its colour, leads the text: Running (green) only
// while replies come; Stopped once the operator ended the mode; No data when
// no sensor answers or the last request went unanswered; Line lost (red).
void ShowLinkState() {
    const char *device = linkDevice;
    char text[640], counts[160];
    int colour = kStateDark;
    if (CurrentActivity() == Activity::Replay) {
        std::snprintf(text, sizeof text, "\xE2\x97\x8F Replay: %s (nothing goes to the sensor)",
                      replaySource);
        colour = kStateBlue;
    } else if (line_lost) {
        std::snprintf(text, sizeof text, "\xE2\x97\x8F Line lost: %s", device);
        colour = kStateRed;
    } else if (!LinkReady()) {
        std::snprintf(text, sizeof text, "\xE2\x97\x8F No data: no sensor%s%s",
                      device[0] ? " on " : "", device);
        colour = kStateGrey;
    } else if (figure.since > 0) {
        FormatFigure(counts, sizeof counts);
        if (!figure.answered) {
            std::snprintf(text, sizeof text, "\xE2\x97\x8F No data: %s, time-out; %s", device,
                          counts);
            colour = kStateAmber;
        } else if (figure.running) {
            std::snprintf(text, sizeof text, "\xE2\x97\x8F Running: %s, %s", device, counts);
            colour = kStateGreen;
        } else {
            std::snprintf(text, sizeof text, "\xE2\x97\x8F Stopped: %s, %s", device, counts);
        }
    } else {
        std::snprintf(text, sizeof text, "\xE2\x97\x8F Stopped: connected to %s, %s", device,
                      sensorFirmware);
    }
    char second[160] = "";
    if (session_hooks.secondLinkState) session_hooks.secondLinkState(second, sizeof second);
    if (second[0]) {
        const std::size_t used = std::strlen(text);
        std::snprintf(text + used, sizeof text - used, "  |  %s", second);
    }
    if (session_hooks.linkState) session_hooks.linkState(text, colour);
    figure.lastShown = Timer();
}

void NoteLinkOpened() {
    ReadLinkDevice();
    sensorFirmware[0] = '\0';
    for (auto &line : sensorHardware) line[0] = '\0';
    if (LinkReady()) {
        std::snprintf(sensorFirmware, sizeof sensorFirmware, "%s", szVersion);
        static_assert(sizeof sensorHardware == sizeof szHardware);
        std::memcpy(sensorHardware, szHardware, sizeof sensorHardware);
        for (auto &line : sensorHardware) line[sizeof line - 1] = '\0';
    }
    figure = LinkFigure{};
    ShowLinkState();
    // Whatever was shown came from the link before.
    if (session_hooks.liveValuesEnded) session_hooks.liveValuesEnded();
}

void BeginLinkFigure() {
    figure = LinkFigure{};
    figure.running = true;
    figure.since = Timer();
    figure.replies = AcceptedReplies();
    figure.discarded = DiscardedBytes();
    ShowLinkState();
}

void EndLinkFigure() {
    figure.running = false;
    figure.until = Timer();
    figure.endReplies = AcceptedReplies();
    figure.endDiscarded = DiscardedBytes();
    ShowLinkState();
}

void NoteLinkActivity() {
    if (!figure.running) return;
    const bool wasSilent = !figure.answered;
    figure.answered = true;
    if (wasSilent || Timer() - figure.lastShown >= 1.0) ShowLinkState();
}

void NoteLiveValuesEnded() {
    if (session_hooks.liveValuesEnded) session_hooks.liveValuesEnded();
}

void NoteLinkTimeout() {
    ++figure.timeouts;
    figure.answered = false;
    ShowLinkState();
}

void RememberFolder(const char *key, const char *path) {
    if (unattended) return;
    char folder[260];
    std::snprintf(folder, sizeof folder, "%s", path);
    char *slash = std::strrchr(folder, '/');
    if (!slash) return;
    slash[slash == folder ? 1 : 0] = '\0';
    SetSettingText(key, folder);
}

void RememberedFolder(const char *key, char *dir) {
    if (!GetSettingText(key, dir, 260) || dir[0] == '\0') std::snprintf(dir, 260, "%s", proj_dir);
}

// ---------------------------------------------------------------- subscribers
namespace {

// A list of plain functions, called in the order they came; it grows as
// subscribers come, so none is ever left out. A subscriber that unsubscribes
// itself, or another, while it is called leaves the rest to be called as they
// stood.
template <typename Fn>
class SubscriberList {
  public:
    void Add(Fn fn) {
        if (!fn || std::find(list_.begin(), list_.end(), fn) != list_.end()) return;
        list_.push_back(fn);
    }
    void Remove(Fn fn) {
        const auto at = std::find(list_.begin(), list_.end(), fn);
        if (at != list_.end()) list_.erase(at);
    }
    template <typename Arg>
    void Call(const Arg &arg) const {
        // The usual few are copied on the stack: a sample costs no allocation.
        Fn few[kFew];
        std::vector<Fn> many;
        const std::size_t n = list_.size();
        Fn *now = few;
        if (n > kFew) {
            many = list_;
            now = many.data();
        } else {
            std::copy(list_.begin(), list_.end(), few);
        }
        for (std::size_t i = 0; i < n; ++i) now[i](arg);
    }

  private:
    static constexpr std::size_t kFew = 16;
    std::vector<Fn> list_;
};

SubscriberList<SampleSubscriber> sampleSubscribers;
SubscriberList<ActivitySubscriber> activitySubscribers;
Activity activity = Activity::Idle;

}  // namespace

const char *ActivityName(Activity a) {
    switch (a) {
        case Activity::Run:
            return "run";
        case Activity::Video:
            return "video";
        case Activity::Recording:
            return "recording";
        case Activity::Replay:
            return "replay";
        default:
            return "idle";
    }
}

Activity CurrentActivity() { return activity; }

namespace {

char runStation[128] = "";
char runId[200] = "";

void BeginRunId() {
    if (!runStation[0] && gethostname(runStation, sizeof runStation - 1) != 0)
        std::snprintf(runStation, sizeof runStation, "kvex");
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    char start[48];
    IsoTimestamp(start, sizeof start,
                 static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000);
    std::snprintf(runId, sizeof runId, "%s %s", start, runStation);
}

}  // namespace

const char *CurrentRunId() {
    if (!runId[0]) BeginRunId();
    return runId;
}

void SetRunStation(const char *station) {
    std::snprintf(runStation, sizeof runStation, "%s", station ? station : "");
}

void SetActivity(Activity a) {
    if (a == activity) return;
    activity = a;
    if (a != Activity::Idle) BeginRunId();
    activitySubscribers.Call(a);
}

void SubscribeActivity(ActivitySubscriber subscriber) { activitySubscribers.Add(subscriber); }
void UnsubscribeActivity(ActivitySubscriber subscriber) { activitySubscribers.Remove(subscriber); }

// ---------------------------------------------------------------- samples
std::size_t WallTimeText(int64_t wallMs, WallStyle style, char *out, std::size_t size) {
    if (!out || size == 0) return 0;
    out[0] = '\0';
    int64_t seconds = wallMs / 1000, ms = wallMs % 1000;
    if (ms < 0) --seconds, ms += 1000;
    const std::time_t t = static_cast<std::time_t>(seconds);
    tm local{};
    if (!localtime_r(&t, &local)) return 0;
    const char *format = style == WallStyle::Clock ? "%H:%M:%S"
                         : style == WallStyle::Iso ? "%Y-%m-%dT%H:%M:%S"
                                                   : "%Y-%m-%d %H:%M:%S";
    char whole[64], zone[8] = "";
    if (std::strftime(whole, sizeof whole, format, &local) == 0) return 0;
    int n = 0;
    switch (style) {
        case WallStyle::Iso:
            std::strftime(zone, sizeof zone, "%z", &local);  // +hhmm
            n = std::snprintf(out, size, "%s.%03d%.3s:%.2s", whole, static_cast<int>(ms), zone,
                              zone[0] ? zone + 3 : "");
            break;
        case WallStyle::DateMs:
            n = std::snprintf(out, size, "%s.%03d", whole, static_cast<int>(ms));
            break;
        default:
            n = std::snprintf(out, size, "%s", whole);
    }
    if (n < 0 || static_cast<std::size_t>(n) >= size) {
        out[0] = '\0';
        return 0;
    }
    return static_cast<std::size_t>(n);
}

int JsonString(char *out, std::size_t size, const char *text) {
    std::size_t used = 0;
    auto put = [&](const char *s, std::size_t n) {
        if (used + n >= size) return false;
        std::memcpy(out + used, s, n);
        used += n;
        return true;
    };
    if (!put("\"", 1)) return -1;
    for (const char *p = text; *p; ++p) {
        const unsigned char c = static_cast<unsigned char>(*p);
        char esc[8];
        bool ok;
        if (c == '"' || c == '\\') {
            esc[0] = '\\';
            esc[1] = static_cast<char>(c);
            ok = put(esc, 2);
        } else if (c < 0x20 || c == 0x7F) {
            ok = put(esc, static_cast<std::size_t>(std::snprintf(esc, sizeof esc, "\\u%04x", c)));
        } else {
            ok = put(p, 1);
        }
        if (!ok) return -1;
    }
    if (!put("\"", 1)) return -1;
    out[used] = '\0';
    return static_cast<int>(used);
}

void IsoTimestamp(char *out, std::size_t size, int64_t wallMs) {
    WallTimeText(wallMs, WallStyle::Iso, out, size);
}

Verdict Judge(double um, const Limits &limits) {
    if (!limits.hasLower && !limits.hasUpper) return Verdict::None;
    if (limits.hasLower && um < limits.lowerUm) return Verdict::Below;
    if (limits.hasUpper && um > limits.upperUm) return Verdict::Above;
    return Verdict::Inside;
}

const char *VerdictName(Verdict v) {
    switch (v) {
        case Verdict::Inside:
            return "inside";
        case Verdict::Below:
            return "below";
        case Verdict::Above:
            return "above";
        default:
            return "none";
    }
}

double ExactUm(int32_t setpointUm, int units, int setpointUnits, double umPerUnit) {
    return setpointUm + (units - setpointUnits) * umPerUnit;
}

// ---------------------------------------------------------------- numbers
int ShortestNumber(char *out, std::size_t size, double value) {
    if (!std::isfinite(value) || size == 0) return -1;
    const std::to_chars_result r = std::to_chars(out, out + size - 1, value);
    if (r.ec != std::errc()) return -1;
    *r.ptr = '\0';
    return static_cast<int>(r.ptr - out);
}

int DecimalsApart(double value, const double *others, int count) {
    int decimals = 3;
    for (int i = 0; i < count; ++i) {
        if (others[i] == value) continue;
        for (; decimals < 9; ++decimals) {
            char a[48], b[48];
            std::snprintf(a, sizeof a, "%.*f", decimals, value);
            std::snprintf(b, sizeof b, "%.*f", decimals, others[i]);
            if (std::strcmp(a, b) != 0) break;
        }
    }
    return decimals;
}

void SubscribeSamples(SampleSubscriber subscriber) { sampleSubscribers.Add(subscriber); }
void UnsubscribeSamples(SampleSubscriber subscriber) { sampleSubscribers.Remove(subscriber); }
void PublishSample(const Sample &sample) { sampleSubscribers.Call(sample); }

namespace {

// Start values of the parameter words; words without a control keep them.
// clang-format off
constexpr unsigned short kParameterStart[34] = {
    85,   1,   0,                                             // header, command, sub-arg
    500,  50,  512, 1, 2048, 50, 50, 1, 1, 1, 1, 0, 1, 1, 0,  // frame 0
    500,  50,  512, 1, 2048, 0,  0,  0, 0, 0, 0,              // frame 1 words 0-10
    0,                                                        // unused
    4096, 0,                                                  // scale factor
    37000 & 0xFFFF, 0,                                        // setpoint value
};
// clang-format on

}  // namespace

void InitSessionVars() {
    std::memcpy(parameter, kParameterStart, sizeof parameter);

    com = 1;
    target = 1;
    ccdmaxpixel = 1024;
    ccdsubpixel = 2048;
    ccdvirtpixel = 4096;
    yaxisMAX = 2048;
    rx_flag = 0;
    graph_flag = 0;
    StopMeasuring();
    std::snprintf(szSoftVersion, sizeof szSoftVersion, "Version 3.00b");
    std::snprintf(szSoftName, sizeof szSoftName, "K-VEX-RB-ZD-Vedoz");
    FillThresholdArray(thdArrayA, parameter[PW_THD_A]);
    FillThresholdArray(thdArrayB, parameter[PW_THD_B]);
}
