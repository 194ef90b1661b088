// Run mode and video mode: the measuring loops.
#pragma once

extern unsigned short adcbufA[128], adcbufB[128];
extern double databuf[128];

void PushRUN();
int PushGETRAW();
void PushVIDEO();
int ReadData64(int offset, int channel);
