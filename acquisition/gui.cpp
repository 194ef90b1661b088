#include "gui.h"

unsigned short tVal, curposA, curposB;
double arrayNORM[500];

// Drawing arrives with the drawing work; until then these draw nothing.
void PlotVIDEOCurveA(const unsigned short *, const unsigned short *, const double *) {}
void PlotVIDEOCurveB(const unsigned short *, const unsigned short *, const double *) {}
void PlotVIDEOBarGraph() {}
void PlotTOLWindow(unsigned short, unsigned short, unsigned short) {}
void PlotRAWGraph() {}
int Copy1D(const double *, int, double *) { return -20003; }
int Shift(const double *, int, int, double *) { return -20003; }
