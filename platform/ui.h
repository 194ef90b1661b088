// The user-interface run-time that the system's modules call: panels from the
// panel resource file, controls with typed values, graphs, strip charts, the
// event loop, timing, dates, file dialogs and array files. Nothing of Qt shows
// through this header; the implementation lives in ui.cpp.
#pragma once

#include <cstddef>

// ---------------------------------------------------------------- events
enum {
    EVENT_COMMIT = 1,
    EVENT_VAL_CHANGED = 2,
    EVENT_LEFT_CLICK = 3,
    EVENT_CLOSE = 11,
};

using CtrlCallbackPtr = int (*)(int panel, int control, int event, void *callbackData,
                                int eventData1, int eventData2);
using PanelCallbackPtr = int (*)(int panel, int event, void *callbackData, int eventData1,
                                 int eventData2);

// Callbacks are found by the name the panel file gives them. The program
// registers its callbacks before it loads a panel; a name in the file that is
// not registered is reported on standard error and the control gets none.
void RegisterCtrlCallback(const char *name, CtrlCallbackPtr fn);
void RegisterPanelCallback(const char *name, PanelCallbackPtr fn);

// ---------------------------------------------------------------- run-time
// Creates the application object. Returns 0, or a negative value when the
// window system cannot be reached. A second call returns 0 and does nothing.
int InitRunTime(int argc, char **argv);
void CloseRunTime();

int RunUserInterface();           // returns the code given to QuitUserInterface
int QuitUserInterface(int code);  // ends RunUserInterface once callbacks unwind
// Runs what is pending and returns; with nothing pending it waits at most
// about a millisecond for the next event, so polling loops never spin a core.
int ProcessSystemEvents();

// ---------------------------------------------------------------- panels
// file: a bare name is looked up in the program's directory.
// Returns a handle > 0, or a negative code: -1 file missing or unreadable,
// -2 damaged file, -3 no panel with that resource id, -4 bad parent handle.
int LoadPanel(int parentPanel, const char *file, int resourceId);
int DisplayPanel(int panel);
int HidePanel(int panel);
int DiscardPanel(int panel);

enum {
    ATTR_LEFT = 1,
    ATTR_TOP = 2,
    ATTR_WIDTH = 3,
    ATTR_HEIGHT = 4,
    ATTR_VISIBLE = 5,
    ATTR_DIMMED = 6,
    ATTR_FRAME_COLOR = 7,
    ATTR_TEXT_COLOR = 8,
    ATTR_TEXT_BGCOLOR = 9,
    ATTR_TEXT_FONT = 10,        // string
    ATTR_TEXT_POINT_SIZE = 11,
    ATTR_LABEL_TEXT = 12,       // string
    ATTR_DATA_TYPE = 13,        // read only
    // strip charts
    ATTR_SCROLL_MODE = 1088,
    ATTR_NUM_TRACES = 1170,
    ATTR_POINTS_PER_SCREEN = 1171,
    // strip-chart traces (SetTraceAttribute)
    ATTR_TRACE_COLOR = 1230,
    ATTR_TRACE_VISIBLE = 1234,
    // graph cursors (SetCursorAttribute)
    ATTR_CURSOR_POINT_STYLE = 1300,
    ATTR_CURSOR_COLOR = 1301,
};

int GetPanelAttribute(int panel, int attribute, int *value);
int SetPanelAttribute(int panel, int attribute, int value);

// ---------------------------------------------------------------- controls
// Data types of control values and of arrays handed to the layer.
enum {
    VAL_CHAR = 0,
    VAL_INTEGER = 1,                 // 32-bit signed
    VAL_SHORT_INTEGER = 2,           // 16-bit signed
    VAL_FLOAT = 3,
    VAL_DOUBLE = 4,
    VAL_STRING = 5,
    VAL_UNSIGNED_SHORT_INTEGER = 6,  // 16-bit unsigned
    VAL_UNSIGNED_INTEGER = 7,        // 32-bit unsigned
    VAL_UNSIGNED_CHAR = 8,
};

// A value is converted to the control's data type as C converts it (integers
// wrap, doubles are cut toward zero) and then held within the control's range.
int SetCtrlVal(int panel, int control, int value);
int SetCtrlVal(int panel, int control, unsigned int value);
int SetCtrlVal(int panel, int control, double value);
int SetCtrlVal(int panel, int control, const char *value);
// The value is read in the control's data type and converted to the caller's.
// A string control copies at most 'size' bytes including the terminator.
int GetCtrlVal(int panel, int control, int *value);
int GetCtrlVal(int panel, int control, unsigned int *value);
int GetCtrlVal(int panel, int control, short *value);
int GetCtrlVal(int panel, int control, unsigned short *value);
int GetCtrlVal(int panel, int control, double *value);
int GetCtrlVal(int panel, int control, float *value);
int GetCtrlVal(int panel, int control, char *value, std::size_t size = 260);

int SetCtrlAttribute(int panel, int control, int attribute, int value);
int SetCtrlAttribute(int panel, int control, int attribute, const char *value);
int GetCtrlAttribute(int panel, int control, int attribute, int *value);
int GetCtrlAttribute(int panel, int control, int attribute, char *value, std::size_t size);

// Rings: items carry a label and an integer value.
int ClearListCtrl(int panel, int control);
int InsertListItem(int panel, int control, int index, const char *label, int value);
int GetNumListItems(int panel, int control, int *count);

enum { CTRL_TEXT_MSG = 1 };
// Creates a control at run time; returns its id (> 0) or a negative code.
int NewCtrl(int panel, int kind, const char *label, int top, int left);

// ---------------------------------------------------------------- text boxes
int ReplaceTextBoxLine(int panel, int control, int line, const char *text);
int ResetTextBox(int panel, int control, const char *text);
int GetTextBoxLine(int panel, int control, int line, char *text, std::size_t size);
int GetNumTextBoxLines(int panel, int control, int *count);

// ---------------------------------------------------------------- graphs
enum { VAL_IMMEDIATE_DRAW = 1, VAL_DELAYED_DRAW = 2, VAL_NO_DRAW = 0 };
enum { VAL_XAXIS = 0, VAL_LEFT_YAXIS = 1, VAL_RIGHT_YAXIS = 2 };
enum { VAL_MANUAL = 0, VAL_AUTOSCALE = 1 };
enum { VAL_SOLID = 0, VAL_DASH = 1, VAL_DOT = 2 };
enum {
    VAL_THIN_LINE = 0,
    VAL_CONNECTED_POINTS = 5,
};
enum {
    VAL_SOLID_SQUARE = 10,
    VAL_SOLID_CIRCLE = 13,
    VAL_NO_POINT = 24,
};

// Returns a plot handle > 0 that stays valid until the plot is deleted.
int PlotXY(int panel, int control, const void *x, const void *y, int count, int xType,
           int yType, int plotStyle, int pointStyle, int lineStyle, int pointFrequency,
           int color);
int PlotRectangle(int panel, int control, double x1, double y1, double x2, double y2,
                  int color, int fillColor);
// plotHandle -1 deletes every plot of the graph.
int DeleteGraphPlot(int panel, int control, int plotHandle, int refresh);
int GetNumGraphPlots(int panel, int control, int *count);
int SetAxisScalingMode(int panel, int control, int axis, int mode, double min, double max);
int GetAxisScalingMode(int panel, int control, int axis, int *mode, double *min,
                       double *max);
int SetGraphCursor(int panel, int control, int cursor, double x, double y);
int GetGraphCursor(int panel, int control, int cursor, double *x, double *y);
int SetCursorAttribute(int panel, int control, int cursor, int attribute, int value);
int GetCursorAttribute(int panel, int control, int cursor, int attribute, int *value);

// ---------------------------------------------------------------- strip charts
// count values of dataType, read as points for each trace in turn (interleaved
// in trace order), starting at 'start' and skipping 'skip' values after each.
int PlotStripChart(int panel, int control, const void *data, int count, int start,
                   int skip, int dataType);
int ClearStripChart(int panel, int control);
int SetTraceAttribute(int panel, int control, int trace, int attribute, int value);
int GetTraceAttribute(int panel, int control, int trace, int attribute, int *value);
// For tests and benchmarks: the points that trace 'trace' (1-based) holds now.
int GetStripChartTrace(int panel, int control, int trace, double *values, int capacity);

// ---------------------------------------------------------------- picture
// file: a bare name is looked up in the program's directory.
int DisplayImageFile(int panel, int control, const char *file);

// Renders a panel, with its visible child panels, into a PNG file.
int SavePanelImage(int panel, const char *file);

// ---------------------------------------------------------------- timing, dates
double Timer();            // monotonic seconds since an arbitrary origin
void Delay(double seconds);  // waits without running any callback
const char *DateStr();     // "MM-DD-YYYY"
const char *TimeStr();     // "HH:MM:SS"

// ---------------------------------------------------------------- files
int GetProjectDir(char *dir);  // the program's directory, at most 260 bytes
int MakePathname(const char *dir, const char *file, char *path);  // path: 260 bytes
int RT_DeleteFile(const char *path);

enum { VAL_OK_BUTTON = 0, VAL_SAVE_BUTTON = 1, VAL_LOAD_BUTTON = 2, VAL_SELECT_BUTTON = 3 };
enum { VAL_NO_FILE_SELECTED = 0, VAL_EXISTING_FILE_SELECTED = 1, VAL_NEW_FILE_SELECTED = 2 };
// Returns 0 when cancelled, 1 for an existing file, 2 for a new name, and a
// negative value on error. path: 260 bytes.
int FileSelectPopup(const char *defaultDirectory, const char *defaultFileSpec,
                    const char *fileTypeList, const char *title, int buttonLabel,
                    int restrictDirectory, int restrictExtension, int allowCancel,
                    int allowMakeDirectory, char *path);

// Array files. Layout and file type as the callers use them.
enum { VAL_GROUPS_TOGETHER = 0, VAL_DATA_MULTIPLEXED = 1 };
enum { VAL_GROUPS_AS_COLUMNS = 0, VAL_GROUPS_AS_ROWS = 1 };
enum { VAL_SEP_BY_COMMA = 0, VAL_SEP_BY_TAB = 1 };
enum { VAL_CONST_WIDTH = 0, VAL_VARIABLE_WIDTH = 1 };
enum { VAL_ASCII = 0, VAL_BINARY = 1 };
enum { VAL_TRUNCATE = 0, VAL_APPEND = 1 };
// Writes numElements values as numGroups groups; in a text file each row ends
// with CR LF. Returns 0, or a negative code when the file cannot be written.
int ArrayToFile(const char *file, const void *array, int dataType, int numElements,
                int numGroups, int dataOrder, int fileLayout, int separator, int fieldWidth,
                int fileType, int fileAction);
// Reads numElements values; returns 0, or a negative code when the file cannot
// be read or holds fewer readable numbers than asked for.
int FileToArray(const char *file, void *array, int dataType, int numElements, int numGroups,
                int dataOrder, int fileLayout, int fileType);

// ---------------------------------------------------------------- text
// Formatted copy into target. Supports the forms the system uses:
//   "%<n>c<%<m>i": m integers, each giving two characters (high byte, low byte),
//                  at most n characters, stopping at the first zero byte.
//   "%s<%s" and "%s<%i" / "%s<%d": plain copy and decimal text.
// Returns the number of characters written, or a negative value for an
// unknown format.
int Fmt(char *target, const char *format, ...);
int StringLength(const char *text);
