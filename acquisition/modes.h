// Run mode and video mode: the measuring loops.
#pragma once

extern unsigned short adcbufA[128], adcbufB[128];
extern double databuf[128];

// Shared with the recorder, which runs the same exchange.
// Strip chart and bar graphs shown, video graphs hidden.
void ShowRunModeGraphs();
// Flushes both queues and sends the next raw-values request, carrying
// parameter frame 0; returns the bytes written.
int SendRawRequest();
// A raw-values reply into the raw values, the bar graphs and the strip chart.
void DrawRawReply();
// The raw values already taken from the reply onto the bar graphs and the
// strip chart.
void DrawRawValues();

void PushRUN();
int PushGETRAW();
void PushVIDEO();
int ReadData64(int offset, int channel);
