// Run mode and video mode: the measuring loops.
#pragma once

#include "session.h"

extern unsigned short adcbufA[128], adcbufB[128];
// The setpoint in sensor units that the evaluation mode compares with.
extern unsigned short tVal;

// ---------------------------------------------------------------- the judge
// The verdict on a measured value (sensor units) by tVal and the tolerances
// tolup and tollo as they stand.
Verdict JudgeValue(unsigned short value);
// tVal for the evaluation mode; a mode outside 0 to 4 keeps the last one.
void UpdateSetpoint(unsigned short mode);
// The limits that the setpoint value and tolerances in units give at the
// scale of the parameter words, in µm: the one place they are worked out.
struct LimitsUm {
    double umPerUnit, setpointUm, lowerUm, upperUm;
};
LimitsUm LimitsInForce(unsigned short tolLow, unsigned short tolUp);

// ---------------------------------------------------------------- run mode
// (run_mode.cpp: no window; the rest of this header is the window's modes)
extern double databuf[128];

// Shared with the recorder, which runs the same exchange.
// Strip chart and bar graphs shown, video graphs hidden.
void ShowRunModeGraphs();
// Which graphs show: run mode's (the history and its time axis) or video
// mode's (the two CCD signals); the bar graphs show in both.
void ShowGraphsOf(bool videoMode);
bool VideoGraphsShown();
// Flushes both queues and sends the next raw-values request, carrying
// parameter frame 0; returns the bytes written.
int SendRawRequest();
// The raw values just taken from a run-mode reply (CopyPPtoRAWVars) as one
// Sample, judged against the limits in force now.
Sample MakeSample();
// The sample onto the displays, the bar graphs and the strip chart: the
// display's subscriber of the sample stream.
void DrawSample(const Sample &sample);
// The raw-values reply just taken in, as a sample to every subscriber.
void PublishRawReply();
// No reply came in time: the loop ends and nothing live stands behind the
// values any more.
void EndForMissingReply();

// Run mode from the window: its graphs shown, then the loop.
void PushRUN();
// Run mode without a window, until a stop, a lost line or a missing reply:
// the same exchange, every sample to the stream. False when another link
// operation runs.
bool MeasureInRunMode();
// The loop of run mode, inside a link operation that the caller began.
void RunModeLoop();
int PushGETRAW();
void PushVIDEO();
int ReadData64(int offset, int channel);
