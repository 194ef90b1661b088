// Drawing: video curves, bar graphs, tolerance windows, numeric displays and
// the raw strip chart.
#pragma once

#include <cstdint>

#include "modes.h"
#include "session.h"

extern unsigned short curposA, curposB;
extern double arrayNORM[500];
// Samples drawn into the history since the mode started: its x axis.
extern int historySamples;
// When each of the history's samples was taken (ms since 1970 UTC, oldest
// first, -1 for none), beside arrayNORM.
extern int64_t historyWallMs[100];
// The time of the history's point with that number, -1 when it holds none.
int64_t HistoryPointTime(long number);

void PlotVIDEOCurveA(const unsigned short *samples, const unsigned short *thresholds,
                     const double *x);
void PlotVIDEOCurveB(const unsigned short *samples, const unsigned short *thresholds,
                     const double *x);
void PlotVIDEOBarGraph();
void PlotTOLWindow(unsigned short mode, unsigned short posA, unsigned short posB);
void PlotRAWGraph();
// The measured value and its verdict turn grey with "no live value" and the
// time of the last live one, and the bar graphs lose their live marks, once
// nothing live stands behind them (a mode stopped or timed out, the port
// changed, the line lost); the next reply colours them again.
void ShowDisplaysStale();
// The lower and upper tolerance, the nominal and both limits (given in µm,
// shown in mm); the limits with the decimals given (3 and up).
void ShowToleranceLimits(double setpointUm, double lowerUm, double upperUm, int decimals);
// The bar graphs as every state without data shows them.
void ShowBarGraphsIdle();
// The max/min displays after the sensor reset them: the last measured value,
// grey until a reply brings the sensor's own.
void ShowResetMaxMin();
// The history shows a recording (on) or the live values: a recording's axis
// follows its own values and limits, whatever range the sensor connected has;
// back to live, the limit displays a recording without limits dimmed come back.
void HistoryOfRecording(bool on);
// The history's y range as the zoom toggle asks, at once.
void ApplyHistoryScale();
// No sample kept; and a new run, set apart from the kept samples by a gap.
void ClearHistory();
void BeginHistoryRun();
// The history drawn again as arrayNORM and historySamples hold it (after a
// replay put back what it found).
void RedrawHistory();
// The sample that the next drawing shows: the history keeps the time it was
// taken. A recorded one (asRecorded) is shown as it was judged (its verdict,
// setpoint and limits, its number on the history's axis), not by the limits
// in force now, and it is no live value. nullptr: the globals alone, drawn
// as live at the present time.
void DrawingSample(const Sample *sample, bool asRecorded);
// A recorded sample into the history without drawing anything (a seek fills
// the history this way, then draws it once).
void AddRecordedHistoryPoint(const Sample &sample);
int Copy1D(const double *input, int n, double *output);
int Shift(const double *input, int n, int shifts, double *output);
