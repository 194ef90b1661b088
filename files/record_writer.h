// Between the recorder's window and the recording it starts: what the
// window shows of a recording, and the steps of one that the Start button
// takes as the command line's RecordTo does.
#pragma once

#include "recorder.h"

// What the recorder's window shows of a recording; an entry left empty
// shows nothing (the command line installs none).
struct RecorderView {
    void (*begin)() = nullptr;                  // a recording from the window starts
    void (*path)(const char *path) = nullptr;   // the file it goes to
    void (*counter)(unsigned n) = nullptr;      // samples written so far
    void (*fault)(const char *text) = nullptr;  // why it cannot go on, in the operator's words
    void (*idle)() = nullptr;                   // it ended
};
extern RecorderView recorderView;

// An existing file is replaced only when replace is set, else the next free
// name goes to path. False, with the reason said, when the path is no use.
bool UsableRecordPath(char *path, bool replace);
// Records to the usable path as asked, inside a link operation that the
// caller began; onScreen lets the window show it from the start.
void RunRecording(const char *path, const RecordingRequest &req, bool onScreen);
// A new recording's outcome starts empty.
void ResetRecordingOutcome();
// A recording runs now.
bool RecordingRuns();
