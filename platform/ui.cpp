// Placeholder: the run-time layer on Qt replaces this file.
#include "ui.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QThread>

#include <cstdarg>
#include <cstring>

namespace {
QApplication *app = nullptr;
}

void RegisterCtrlCallback(const char *, CtrlCallbackPtr) {}
void RegisterPanelCallback(const char *, PanelCallbackPtr) {}
int InitRunTime(int argc, char **argv) {
    if (app) return 0;
    static int s_argc = argc;
    app = new QApplication(s_argc, argv);
    return 0;
}
void CloseRunTime() {}
int RunUserInterface() { return QApplication::exec(); }
int QuitUserInterface(int code) { QApplication::exit(code); return 0; }
int ProcessSystemEvents() { QApplication::processEvents(); QThread::usleep(200); return 0; }
int LoadPanel(int, const char *, int) { return -1; }
int DisplayPanel(int) { return -1; }
int HidePanel(int) { return -1; }
int DiscardPanel(int) { return -1; }
int GetPanelAttribute(int, int, int *) { return -1; }
int SetPanelAttribute(int, int, int) { return -1; }
int SetCtrlVal(int, int, int) { return -1; }
int SetCtrlVal(int, int, unsigned int) { return -1; }
int SetCtrlVal(int, int, double) { return -1; }
int SetCtrlVal(int, int, const char *) { return -1; }
int GetCtrlVal(int, int, int *) { return -1; }
int GetCtrlVal(int, int, unsigned int *) { return -1; }
int GetCtrlVal(int, int, short *) { return -1; }
int GetCtrlVal(int, int, unsigned short *) { return -1; }
int GetCtrlVal(int, int, double *) { return -1; }
int GetCtrlVal(int, int, float *) { return -1; }
int GetCtrlVal(int, int, char *, std::size_t) { return -1; }
int SetCtrlAttribute(int, int, int, int) { return -1; }
int SetCtrlAttribute(int, int, int, const char *) { return -1; }
int GetCtrlAttribute(int, int, int, int *) { return -1; }
int GetCtrlAttribute(int, int, int, char *, std::size_t) { return -1; }
int ClearListCtrl(int, int) { return -1; }
int InsertListItem(int, int, int, const char *, int) { return -1; }
int GetNumListItems(int, int, int *) { return -1; }
int NewCtrl(int, int, const char *, int, int) { return -1; }
int ReplaceTextBoxLine(int, int, int, const char *) { return -1; }
int ResetTextBox(int, int, const char *) { return -1; }
int GetTextBoxLine(int, int, int, char *, std::size_t) { return -1; }
int GetNumTextBoxLines(int, int, int *) { return -1; }
int PlotXY(int, int, const void *, const void *, int, int, int, int, int, int, int, int) { return -1; }
int PlotRectangle(int, int, double, double, double, double, int, int) { return -1; }
int DeleteGraphPlot(int, int, int, int) { return -1; }
int GetNumGraphPlots(int, int, int *) { return -1; }
int SetAxisScalingMode(int, int, int, int, double, double) { return -1; }
int GetAxisScalingMode(int, int, int, int *, double *, double *) { return -1; }
int SetGraphCursor(int, int, int, double, double) { return -1; }
int GetGraphCursor(int, int, int, double *, double *) { return -1; }
int SetCursorAttribute(int, int, int, int, int) { return -1; }
int GetCursorAttribute(int, int, int, int, int *) { return -1; }
int PlotStripChart(int, int, const void *, int, int, int, int) { return -1; }
int ClearStripChart(int, int) { return -1; }
int SetTraceAttribute(int, int, int, int, int) { return -1; }
int GetTraceAttribute(int, int, int, int, int *) { return -1; }
int GetStripChartTrace(int, int, int, double *, int) { return -1; }
int DisplayImageFile(int, int, const char *) { return -1; }
int SavePanelImage(int, const char *) { return -1; }
double Timer() { static QElapsedTimer t; if (!t.isValid()) t.start(); return t.nsecsElapsed() / 1e9; }
void Delay(double s) { QThread::usleep((unsigned long)(s * 1e6)); }
const char *DateStr() { return "01-01-2000"; }
const char *TimeStr() { return "00:00:00"; }
int GetProjectDir(char *dir) { dir[0] = 0; return -1; }
int MakePathname(const char *, const char *, char *path) { path[0] = 0; return -1; }
int RT_DeleteFile(const char *) { return -1; }
int FileSelectPopup(const char *, const char *, const char *, const char *, int, int, int, int, int, char *) { return -1; }
int ArrayToFile(const char *, const void *, int, int, int, int, int, int, int, int, int) { return -1; }
int FileToArray(const char *, void *, int, int, int, int, int, int) { return -1; }
int Fmt(char *target, const char *, ...) { target[0] = 0; return -1; }
int StringLength(const char *t) { return (int)std::strlen(t); }
