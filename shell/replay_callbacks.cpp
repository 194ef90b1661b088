// The replay panel's controls and the main panel's Replay button.
#include <cstdio>

#include "com232.h"
#include "replay.h"
#include "ui.h"

char replayAtStart[4096] = "";

int CC_BTNReplay(int, int, int event, void *, int, int) {
    if (event != EVENT_COMMIT) return 0;
    char folder[260] = "", path[260] = "";
    RememberedFolder("replay", folder);
    const int chosen = FileSelectPopup(folder, "", "*.dat *.csv", "Replay a recording",
                                       VAL_LOAD_BUTTON, 0, 0, 1, 0, path);
    if (chosen != 1) return 0;
    RememberFolder("replay", path);
    BeginReplay(path);
    return 0;
}

int CC_ReplaySlider(int, int, int event, void *, int, int) {
    if (event != EVENT_VAL_CHANGED && event != EVENT_COMMIT) return 0;
    int value = 1;
    GetCtrlVal(pReplay, REPLAY_ReplaySlider, &value);
    if (value >= 1 && static_cast<unsigned long>(value - 1) != ReplayPosition())
        ReplaySeek(static_cast<unsigned long>(value - 1));
    return 0;
}

int CC_ReplayPrevOut(int, int, int event, void *, int, int) {
    if (event == EVENT_COMMIT) ReplayJumpOut(false);
    return 0;
}

int CC_ReplayBack(int, int, int event, void *, int, int) {
    if (event == EVENT_COMMIT) ReplayStep(-1);
    return 0;
}

int CC_ReplayPlay(int, int, int event, void *, int, int) {
    if (event == EVENT_COMMIT) ReplayPlayPause();
    return 0;
}

int CC_ReplayForward(int, int, int event, void *, int, int) {
    if (event == EVENT_COMMIT) ReplayStep(1);
    return 0;
}

int CC_ReplayNextOut(int, int, int event, void *, int, int) {
    if (event == EVENT_COMMIT) ReplayJumpOut(true);
    return 0;
}

// The ring's values are tenths of the recorded pace; 0 as fast as drawing allows.
int CC_ReplaySpeed(int, int, int event, void *, int, int) {
    if (event != EVENT_COMMIT) return 0;
    int tenths = 10;
    GetCtrlVal(pReplay, REPLAY_ReplaySpeed, &tenths);
    SetReplaySpeed(tenths / 10.0);
    return 0;
}

int CC_ReplayLoop(int, int, int event, void *, int, int) {
    if (event != EVENT_COMMIT) return 0;
    int on = 0;
    GetCtrlVal(pReplay, REPLAY_ReplayLoop, &on);
    SetReplayLoop(on != 0);
    return 0;
}

int CC_ReplayEnd(int, int, int event, void *, int, int) {
    if (event == EVENT_COMMIT) EndReplay();
    return 0;
}

namespace {

void TakeLimitControls() {
    int source = 2;
    double lower = 0, upper = 0;
    GetCtrlVal(pReplay, REPLAY_ReplayLimitSource, &source);
    GetCtrlVal(pReplay, REPLAY_ReplayLower, &lower);
    GetCtrlVal(pReplay, REPLAY_ReplayUpper, &upper);
    SetReplayLimits(static_cast<ReplayLimitSource>(source), lower, upper);
}

}  // namespace

int CC_ReplayLimitSource(int, int, int event, void *, int, int) {
    if (event == EVENT_COMMIT) TakeLimitControls();
    return 0;
}

// Typed limits count as soon as they are committed, and choose themselves.
int CC_ReplayLimitEdit(int, int, int event, void *, int, int) {
    if (event != EVENT_COMMIT) return 0;
    SetCtrlVal(pReplay, REPLAY_ReplayLimitSource, static_cast<int>(ReplayLimitSource::Entered));
    TakeLimitControls();
    return 0;
}

// The field then reads the landed sample's time as the history's hover
// shows it, so the operator sees how near the file came.
int CC_ReplayGoTo(int, int, int event, void *, int, int) {
    if (event != EVENT_COMMIT) return 0;
    char typed[128] = "";
    GetCtrlVal(pReplay, REPLAY_ReplayGoTime, typed, sizeof typed);
    const char *why = "";
    Sample s;
    if (!ReplayGoToTime(typed, s, &why)) {
        char text[200];
        std::snprintf(text, sizeof text, "Go to time: %s", why);
        ShowStatusText(text);
        return 0;
    }
    char when[40];
    if (WallTimeText(s.wallMs, WallStyle::DateMs, when, sizeof when) > 0)
        SetCtrlVal(pReplay, REPLAY_ReplayGoTime, when);
    return 0;
}
