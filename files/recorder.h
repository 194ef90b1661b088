// Data recorder: the recorder pop-up and the record file.
#pragma once

#include "session.h"

extern char szDate[24];
extern char szTime[12];

void CalcRecTime();

// How the last recording went, for callers that started it unattended.
struct RecordingOutcome {
    bool started = false;    // a usable file was found and the recording ran
    bool fileFault = false;  // the file could not be written or went away
    unsigned samples = 0;    // samples written
    char path[260] = "";     // the file they went to
    char why[64] = "";       // what went wrong with the file
};
const RecordingOutcome &LastRecording();
// The file of the next recording; replace lets it replace an existing file
// (the operator agreed, or the command line was told to).
void SetRecordFile(const char *path, bool replace);
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
