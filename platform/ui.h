// The user-interface run-time that the system's modules call: panels from the
// panel resource file, controls with typed values, graphs, strip charts, the
// event loop, timing, dates, file dialogs and array files. Nothing of Qt shows
// through this header; the implementation lives in the ui_*.cpp files.
#pragma once

#include <cstddef>

// ---------------------------------------------------------------- events
enum {
    EVENT_COMMIT = 1,
    EVENT_VAL_CHANGED = 2,
    EVENT_LEFT_CLICK = 3,
    EVENT_CLOSE = 11,
    EVENT_RING_OPENING = 20,  // a ring's list is about to open: its items may change now
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
// LoadPanel reports a callback name that nobody registered on standard error
// ("unknown callback NAME for control NAME") and leaves the control without
// one; a program that would rather refuse such a file takes the report here
// instead (nullptr: back to standard error).
void SetUnknownCallbackHandler(void (*handler)(const char *report));

// Told of every event that the operator's input fires on any control, with a
// callback or without, before the control's callback runs (nullptr: nobody).
using ControlEventObserverPtr = void (*)(int panel, int control, int event);
void SetControlEventObserver(ControlEventObserverPtr observer);

// ---------------------------------------------------------------- run-time
// Creates the application object. Returns 0, or a negative value when the
// window system cannot be reached. A second call returns 0 and does nothing.
int InitRunTime(int argc, char **argv);
// The same without windows, for a program that only talks to ports, files
// and timers: no panel can be loaded, and no window system is needed.
int InitCoreRunTime();
void CloseRunTime();

int RunUserInterface();  // returns the code given to QuitUserInterface
// Ends RunUserInterface once the callbacks under it have returned. Called while
// no RunUserInterface runs, it makes the next one return at once.
int QuitUserInterface(int code);
// Runs what is pending and returns; with nothing pending it waits at most
// about a millisecond for the next event, so polling loops never spin a core.
int ProcessSystemEvents();
// The same for a loop that waits on something with a time-out: with nothing
// pending it sleeps until the next event (a reply, input, a timer) or until
// deadline (on the Timer() clock), whichever comes first, and then returns.
int ProcessSystemEventsUntil(double deadline);
// Runs fn(data) once, from the event loop, after what is pending now.
using DeferredCallbackPtr = void (*)(void *data);
int PostDeferredCall(DeferredCallbackPtr fn, void *data);
// The same after seconds have passed (a watch that must not keep a loop busy).
int PostDelayedCall(double seconds, DeferredCallbackPtr fn, void *data);

// While a modal dialog of the layer is open (the file dialog, the questions
// and messages below), the measuring loop beneath it is suspended; the layer
// then calls this pass every 2 ms instead, so that the exchange with the
// sensor goes on. Never re-entrantly: a pass still running, or one that
// opened the dialog, is not called again. Outside a modal dialog the layer
// never calls it. nullptr: no pass.
using ModalPassPtr = void (*)();
void SetModalPass(ModalPassPtr pass);

// A text as the controls show it (UTF-8, or Latin-1 where it is no UTF-8),
// in UTF-8, cut to size at a character boundary. Returns the bytes written.
int TextAsUtf8(const char *text, char *out, int size);

// ---------------------------------------------------------------- settings
// What the program remembers between runs, by key ("port/device"): in the
// platform's usual place, or in the file that the environment variable
// KVEX_SETTINGS names. Each change is written at once.
int GetSettingText(const char *key, char *value, int size);  // 1 found, 0 none or too long
int GetSettingNumber(const char *key, int fallback);
// Each returns 0 once the change is on disk, UIE_FILE when it is not.
int SetSettingText(const char *key, const char *value);
int SetSettingNumber(const char *key, int value);
// Why the last change did not reach the disk, in the system's words (1), or
// 0 when it did.
int GetSettingsFault(char *why, int size);
// Told once, at the first change that did not reach the disk, with the
// settings file and the reason (nullptr: nobody is told).
void SetSettingsFaultHandler(void (*handler)(const char *file, const char *why));
// A window's place and size, under the panel's name; restoring returns 1
// when a remembered geometry was applied.
int RememberPanelGeometry(int panel);
int RestorePanelGeometry(int panel);
void ForgetSettings();  // everything remembered goes: the next start is a first one
// The file that holds the settings (1), so that what must not stand among
// them (a password) can be kept beside it; 0 when it has no name or is too long.
int GetSettingsFile(char *path, int size);

// ---------------------------------------------------------------- panels
// file: a bare name is looked up in the program's directory.
// Returns a handle > 0, or a negative code: -1 file missing or unreadable,
// -2 damaged file, -3 no panel with that resource id, -4 bad parent handle.
int LoadPanel(int parentPanel, const char *file, int resourceId);
// Why the last LoadPanel failed, as one line of text (empty after a success).
const char *GetPanelFileError();
// The kind of a control as the panel file names it ("ring", "text_msg", ...),
// or nullptr when the panel has no such control.
const char *GetCtrlKind(int panel, int control);
int DisplayPanel(int panel);
int HidePanel(int panel);
// Moves a shown window off the part of another one that runs from one of
// its controls' left edge to its right edge: beside that window where the
// screen has room, else over its part left of the control, narrowed where it
// must be (it scrolls). A window that covers none of that part stays.
int KeepPanelClearOf(int panel, int otherPanel, int control);
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
    ATTR_TEXT_POINT_SIZE = 11,  // text height in pixels, like all panel measures
    ATTR_LABEL_TEXT = 12,       // string
    ATTR_DATA_TYPE = 13,        // read only
    ATTR_MIN_VALUE = 14,        // read only, double: the least value the control holds
    ATTR_MAX_VALUE = 15,        // read only, double: the greatest value the control holds
    ATTR_PRECISION = 16,        // decimals a real number is shown with, 0 to 15
    ATTR_TOOLTIP_TEXT = 1400,   // string: what the tooltip says (range and key are added)
    // strip charts
    ATTR_SCROLL_MODE = 1088,        // stored and reported; every mode scrolls continuously
    ATTR_NUM_TRACES = 1170,         // 1 to 16; a change clears the chart
    ATTR_POINTS_PER_SCREEN = 1171,  // 2 to 10000; a change clears the chart
    // The number the x axis gives the newest point; the others count back from
    // it. Until it is set, points are numbered from the last clear.
    ATTR_NEWEST_POINT_NUMBER = 1172,
    // strip-chart traces (SetTraceAttribute)
    ATTR_TRACE_COLOR = 1230,
    ATTR_TRACE_VISIBLE = 1234,  // 1 shown (the start state), 0 hidden
    // graph cursors (SetCursorAttribute)
    ATTR_CURSOR_POINT_STYLE = 1300,
    ATTR_CURSOR_COLOR = 1301,
};

// Negative results of the panel, control and graph operations.
enum {
    UIE_NOT_INITIALISED = -1,
    UIE_BAD_PANEL = -4,      // no panel with that handle
    UIE_BAD_CONTROL = -5,    // no control with that id on the panel
    UIE_BAD_ATTRIBUTE = -6,  // attribute unknown, read only, or not for this kind
    UIE_BAD_VALUE = -7,      // value outside what the control or operation accepts
    UIE_BAD_KIND = -8,       // operation not for this kind of control
    UIE_BAD_ARGUMENT = -9,   // null pointer, bad count, type or index
    UIE_FILE = -10,          // file missing, unreadable or not writable
    UIE_TOO_LONG = -11,      // text does not fit the buffer
};

// Panel attributes: left, top, width, height, visible.
int GetPanelAttribute(int panel, int attribute, int *value);
int SetPanelAttribute(int panel, int attribute, int value);

// ---------------------------------------------------------------- controls
// Data types of control values and of arrays handed to the layer.
enum {
    VAL_CHAR = 0,
    VAL_INTEGER = 1,        // 32-bit signed
    VAL_SHORT_INTEGER = 2,  // 16-bit signed
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
int GetCtrlAttribute(int panel, int control, int attribute, double *value);

// Rings: items carry a label and an integer value.
int ClearListCtrl(int panel, int control);
int InsertListItem(int panel, int control, int index, const char *label, int value);
int GetNumListItems(int panel, int control, int *count);

enum { CTRL_TEXT_MSG = 1 };
// Creates a control at run time; returns its id (> 0) or a negative code.
int NewCtrl(int panel, int kind, const char *label, int top, int left);

// ---------------------------------------------------------------- sliders
// A slider's range, min to max, set at run time (its value is held within).
int SetSliderRange(int panel, int control, int min, int max);
// Marks across a slider's track at these values, in colour: events along a
// timeline. count 0 takes them away.
int SetSliderMarks(int panel, int control, const int *values, int count, int color);

// ---------------------------------------------------------------- chart as a tool
// While on, the operator drags the x axis of a graph or strip chart with the
// mouse and zooms it with the wheel around the pointer; changed hears each
// new range once a drag or a wheel turn ended (nullptr: nobody). A strip
// chart that gets points follows them again.
using ChartRangePtr = void (*)(int panel, int control, double xMin, double xMax);
int SetChartExploration(int panel, int control, int on, ChartRangePtr changed);
// Texts the program writes for a point of the chart: the tooltip while the
// pointer rests at (x, y), or an x axis' tick label (y 0). It returns the
// length written, 0 for none (a label then shows the number). nullptr: no
// tooltip; the numbers as labels.
using ChartTextPtr = int (*)(int panel, int control, double x, double y, char *text, int size);
int SetChartHover(int panel, int control, ChartTextPtr hover);
// axisName, when given, names the x axis anew (what the labels now count).
int SetChartXLabels(int panel, int control, ChartTextPtr label, const char *axisName = nullptr);
// The x range shown now.
int GetChartXRange(int panel, int control, double *xMin, double *xMax);
// Shows that x range, as if the operator had dragged it there (a strip
// chart that gets points follows them again). xMin must lie below xMax.
int SetChartXRange(int panel, int control, double xMin, double xMax);
// One mark across the chart at x, with text beside it (UTF-8, lines apart by
// '\n'): a point the program shows the operator. text nullptr takes it away.
int SetChartMark(int panel, int control, double x, const char *text);

// ---------------------------------------------------------------- file drop
// A local file dropped onto the panel's window calls fn(panel, path), path in
// UTF-8 (the first file of several). nullptr: the window takes no drops.
using FileDropPtr = void (*)(int panel, const char *path);
int SetPanelFileDrop(int panel, FileDropPtr fn);

// ---------------------------------------------------------------- text boxes
// Lines are counted from 0. Replacing a line beyond the end first adds empty
// lines up to it. ResetTextBox (and SetCtrlVal) make the text the whole
// content, one line per '\n'; "" leaves no line. GetCtrlVal gives all lines
// joined by '\n'.
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
    VAL_SCATTER = 2,  // the points alone, marked with the point style
    VAL_CONNECTED_POINTS = 5,
    // Each y holds from its x to the next x, the area down to zero filled in
    // a light shade of the colour: a histogram's bins from their left edges,
    // with one more x for the right edge of the last.
    VAL_FILLED_STEPS = 7,
};
enum {
    VAL_SOLID_SQUARE = 10,
    VAL_SOLID_CIRCLE = 13,
    VAL_NO_POINT = 24,
};
// Fill colour of PlotRectangle that leaves the inside empty.
enum { VAL_TRANSPARENT = 0x1000000 };

// Returns a plot handle > 0 that stays valid until the plot is deleted.
int PlotXY(int panel, int control, const void *x, const void *y, int count, int xType, int yType,
           int plotStyle, int pointStyle, int lineStyle, int pointFrequency, int color);
int PlotRectangle(int panel, int control, double x1, double y1, double x2, double y2, int color,
                  int fillColor);
// plotHandle -1 deletes every plot of the graph.
int DeleteGraphPlot(int panel, int control, int plotHandle, int refresh);
int GetNumGraphPlots(int panel, int control, int *count);
int SetAxisScalingMode(int panel, int control, int axis, int mode, double min, double max);
int GetAxisScalingMode(int panel, int control, int axis, int *mode, double *min, double *max);
int SetGraphCursor(int panel, int control, int cursor, double x, double y);
int GetGraphCursor(int panel, int control, int cursor, double *x, double *y);
int SetCursorAttribute(int panel, int control, int cursor, int attribute, int value);
int GetCursorAttribute(int panel, int control, int cursor, int attribute, int *value);

// ---------------------------------------------------------------- strip charts
// count values of dataType, read as points for each trace in turn (interleaved
// in trace order), starting at 'start' and skipping 'skip' values after each.
int PlotStripChart(int panel, int control, const void *data, int count, int start, int skip,
                   int dataType);
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
// A one-page PDF (A4 portrait): the heading's lines (UTF-8; the first one
// large), then the panel, with its graphs, drawn as large as the page holds.
// Returns 0, or UIE_FILE when the file cannot be written.
int SavePanelPdf(int panel, const char *file, const char *heading);

// ---------------------------------------------------------------- timing, dates
double Timer();              // monotonic seconds since an arbitrary origin
void Delay(double seconds);  // waits without running any callback
const char *DateStr();       // "MM-DD-YYYY"
const char *TimeStr();       // "HH:MM:SS"

// What a graph or strip chart shows, into a file: an image (PNG, or SVG when
// the name ends in .svg) or its data as CSV with a header row naming the
// columns and their units. The context menu of every graph offers both.
int SaveGraphImage(int panel, int control, const char *file);
int SaveGraphData(int panel, int control, const char *file);
// How an export from the context menu went: "Saved <path>" with failed 0, or
// "Cannot write <path>" (with ": <reason>" when the check below refused it)
// with failed 1, after every one. Without a report function a failure is
// shown in a warning box and a success says nothing.
void SetExportReport(void (*report)(const char *text, int failed));
// Asked before a chart is saved to a file: the reason the path may not be
// written, or nullptr. A refused path is left as it is, and the save returns
// UIE_FILE. The program installs its one check of what it writes, so that a
// chart never lands on a file it reads (nullptr: no check).
void SetExportPathCheck(const char *(*check)(const char *path));

// ---------------------------------------------------------------- files
int GetProjectDir(char *dir);  // the program's directory, at most 260 bytes
// The user's documents folder (made if it does not exist), at most 260 bytes.
int GetDocumentsDir(char *dir);
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

// Questions and messages in a modal box, over the active window. Texts are
// UTF-8, or Latin-1 where they are no UTF-8. A question's default button is
// the one that changes nothing: Enter or Escape never says yes.
// Returns 1 for yes, 0 for no or a closed box (and when no box can be shown).
int ConfirmPopup(const char *title, const char *message);
// The same with the buttons' own texts, e.g. "Discard edits" / "Keep editing".
int ConfirmChoicePopup(const char *title, const char *message, const char *yesText,
                       const char *noText);
// A message with OK; returns 0 once it is closed.
int MessagePopup(const char *title, const char *message);
// A box of count one-line text fields, each named by its label, filled from
// and written back to values (count texts of valueSize bytes each, UTF-8).
// Returns 1 for OK, 0 when cancelled (values unchanged). A confirm script
// answers it instead, with the labels one a line as its message.
int TextFieldsPopup(const char *title, const char *const *labels, char *values, int count,
                    int valueSize);

// Array files. Layout and file type as the callers use them.
// dataOrder: how the groups lie in the array: one after the other, or
// interleaved (element i of every group, then element i + 1, ...).
enum { VAL_GROUPS_TOGETHER = 0, VAL_DATA_MULTIPLEXED = 1 };
// fileLayout: a group is one column of the file (one row per element) or one
// row of the file.
enum { VAL_GROUPS_AS_COLUMNS = 0, VAL_GROUPS_AS_ROWS = 1 };
// separator: what stands between the values of one row. With VAL_CONST_WIDTH
// nothing does, so fieldWidth must be at least 1.
enum { VAL_CONST_WIDTH = 0, VAL_SEP_BY_COMMA = 1, VAL_SEP_BY_TAB = 2 };
// fieldWidth: each value is right-aligned in a field of that many characters
// (a longer number is written whole); VAL_VARIABLE_WIDTH writes no padding.
enum { VAL_VARIABLE_WIDTH = 0 };
enum { VAL_ASCII = 0, VAL_BINARY = 1 };
enum { VAL_TRUNCATE = 0, VAL_APPEND = 1 };
// Writes numElements values as numGroups groups and closes the file, so the
// bytes are on disk when it returns. A text file holds decimal numbers, each
// row ending with CR LF. A binary file holds the array's bytes as they are in
// memory (with VAL_CHAR or VAL_UNSIGNED_CHAR: numElements raw bytes).
// Examples: 30 values in one column of width 10:
//   ArrayToFile(f, a, VAL_UNSIGNED_INTEGER, 30, 1, VAL_GROUPS_TOGETHER,
//               VAL_GROUPS_AS_COLUMNS, VAL_CONST_WIDTH, 10, VAL_ASCII, VAL_TRUNCATE)
// one appended line of six tab-separated numbers:
//   ArrayToFile(f, a, VAL_INTEGER, 6, 1, VAL_GROUPS_TOGETHER, VAL_GROUPS_AS_ROWS,
//               VAL_SEP_BY_TAB, VAL_VARIABLE_WIDTH, VAL_ASCII, VAL_APPEND)
// Returns 0, or a negative code for bad arguments or a file that cannot be
// written.
int ArrayToFile(const char *file, const void *array, int dataType, int numElements, int numGroups,
                int dataOrder, int fileLayout, int separator, int fieldWidth, int fileType,
                int fileAction);
// Reads numElements values. A text file holds numbers separated by white space
// or commas, read in file order as the layout arranges them; integers are read
// as 64-bit numbers and converted as C converts them (70000 into an unsigned
// short gives 4464). Returns 0, or a negative code when the file cannot be
// read, or holds fewer numbers than asked for, or something that is not a
// number before enough were read; the array is then left as it was.
int FileToArray(const char *file, void *array, int dataType, int numElements, int numGroups,
                int dataOrder, int fileLayout, int fileType);

// ---------------------------------------------------------------- text
// Formatted copy into target. Supports the forms the system uses:
//   "%<n>c<%<m>i": m integers (an int array), each giving two characters (high
//                  byte, low byte), stopping at the first zero byte; target
//                  holds n bytes: at most n - 1 characters and the terminator.
//   "%s<%s" and "%s<%i" / "%s<%d": plain copy and decimal text.
//   "%<n>s<%s", "%<n>s<%i": the same into a target of n bytes, cut to fit.
// Returns the number of characters written, or a negative value for an
// unknown format.
int Fmt(char *target, const char *format, ...);
int StringLength(const char *text);
