// Data recorder: the recorder pop-up and the record file.
#pragma once

#include "session.h"

extern char szDate[24];
extern char szTime[12];

void CalcRecTime();
// The recorder's samples, interval and format, remembered for the next start.
void RememberRecorderSettings();

// How the last recording went, for callers that started it unattended.
struct RecordingOutcome {
    bool started = false;    // a usable file was found and the recording ran
    bool fileFault = false;  // the file could not be written or went away
    unsigned samples = 0;    // samples written
    char path[260] = "";     // the file they went to
    char why[64] = "";       // what went wrong with the file
};
const RecordingOutcome &LastRecording();
// What a recording is asked for: from the recorder's controls, or from the
// command line.
struct RecordingRequest {
    unsigned short samples = 0;   // lines wanted
    unsigned short interval = 0;  // seconds between them
    bool csv = false;             // CSV with a header row, else the tab-separated lines
};
// Records to path as the Start button does, without the recorder's window:
// an existing file is replaced only when replace is set, else the next free
// name is taken. The outcome says where the samples went and how it ended.
const RecordingOutcome &RecordTo(const char *path, bool replace, const RecordingRequest &req);
// Called after every sample written, when set (progress of unattended runs).
extern void (*recordProgress)(unsigned done, unsigned wanted);
// Called with every sample written and its number in the file, when set:
// those who want what the file holds, not every reply of the loop.
extern void (*recordedSample)(const Sample &sample, unsigned number);
// The record file at start-up: "KVexRecord.dat" in the program's folder, or in
// the user's documents folder when the program's folder cannot be written.
void InitRecordFile();

#define KVEX_DECLARE_REC_CC(name) \
    int name(int panel, int control, int event, void *callbackData, int eventData1, int eventData2);
KVEX_DECLARE_REC_CC(CC_TOGGBTN_Recorder)
KVEX_DECLARE_REC_CC(CC_NEDITRecTime)
KVEX_DECLARE_REC_CC(CC_NEDITRecSamples)
KVEX_DECLARE_REC_CC(CC_RecordFileNameBtn)
KVEX_DECLARE_REC_CC(CC_BTNStartRecord)
KVEX_DECLARE_REC_CC(CC_BTNStopRecord)
#undef KVEX_DECLARE_REC_CC
