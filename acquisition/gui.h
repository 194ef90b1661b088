// Drawing: video curves, bar graphs, tolerance windows, numeric displays and
// the raw strip chart.
#pragma once

extern unsigned short tVal, curposA, curposB;
extern double arrayNORM[500];
// Samples drawn into the history since the mode started: its x axis.
extern int historySamples;

void PlotVIDEOCurveA(const unsigned short *samples, const unsigned short *thresholds,
                     const double *x);
void PlotVIDEOCurveB(const unsigned short *samples, const unsigned short *thresholds,
                     const double *x);
void PlotVIDEOBarGraph();
void PlotTOLWindow(unsigned short mode, unsigned short posA, unsigned short posB);
void PlotRAWGraph();
// The measured value's verdict colour turns grey once nothing live stands
// behind it (mode ended without a reply, line lost); the next reply colours it.
void ShowDisplaysStale();
int Copy1D(const double *input, int n, double *output);
int Shift(const double *input, int n, int shifts, double *output);
