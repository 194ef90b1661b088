// Shared state of the user-interface run-time on Qt: the panel and control
// tables and the helpers the ui_*.cpp files use among themselves. Only the
// run-time's own sources include this header.
#pragma once

#include <QByteArray>
#include <QColor>
#include <QCoreApplication>
#include <QFrame>
#include <QRect>
#include <QSettings>
#include <QString>
#include <QStringList>

class QTimer;
class QAccessibleInterface;
struct FileSelectRequest;
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ui.h"

class QLabel;
class QSlider;
class QCustomPlot;
class QCPGraph;
class QCPItemRect;
class QCPItemStraightLine;
class QCPItemTracer;

namespace kvexui {

enum class Kind {
    CommandButton,
    ToggleButton,
    RadioButton,
    Ring,
    Numeric,
    NumericDisplay,
    Slider,
    TextMsg,
    TextBox,
    Graph,
    StripChart,
    Picture,
    Decoration,
};

struct RingItem {
    QString label;
    int value = 0;
};

// Share of a resized panel's extra width and height by which a control moves
// (x, y) and grows (width, height); all 0 keeps it where the file puts it.
struct Stretch {
    double x = 0, y = 0, width = 0, height = 0;
};

// What the screen does not show at once: tooltips, key, choice group, tab place.
struct Help {
    QString tooltip, dimmedTooltip;  // the latter says why the control is dimmed
    QString shortcut;                // key sequence in portable text, "F5", "Ctrl+G"
    QString group;                   // radio buttons: the choice they belong to
    int tabIndex = -1;               // -1: the layout decides the tab order
};

// One control as the panel file describes it, checked and complete.
struct ControlSpec {
    int id = 0;
    QString name;
    Kind kind = Kind::TextMsg;
    int left = 0, top = 0, width = -1, height = -1;  // -1: size to the content
    QString label;
    int dataType = VAL_INTEGER;
    bool hasMin = false, hasMax = false;
    double min = 0, max = 0;
    bool hasDefault = false, defaultIsText = false;
    double defaultNumber = 0;
    QByteArray defaultText;
    int precision = -1;
    QString callback;
    bool visible = true, dimmed = false;
    bool editable = false;  // text boxes: the operator may type into it
    bool secret = false;    // editable text boxes: one line, shown as dots (a password)
    std::vector<RingItem> items;
    int lines = 0;
    int color = -1, textColor = -1, textBgColor = -1, pointSize = 0;
    double xMin = 0, xMax = 100, yMin = 0, yMax = 100;
    QString xLabel, yLabel;
    bool rightYAxis = false;
    bool yTickLabels = true;  // graphs: numbers on the y axes
    int cursors = 0, traces = 1, pointsPerScreen = 101;
    QStringList traceNames;  // strip-chart traces, graph curves: column names of an export
    Help help;
    Stretch stretch;
};

struct PanelSpec {
    int resourceId = 0;
    QString name, title, callback;
    int left = 0, top = 0, width = 0, height = 0;
    int backgroundColor = -1;
    bool resizable = false;  // top-level panels: the operator may resize the window
    std::vector<ControlSpec> controls;
};

// Reads the panel with that resource id from the file: 0, or the negative
// codes of LoadPanel (-1 unreadable, -2 damaged, -3 no such panel).
int ReadPanelSpec(const QString &path, int resourceId, PanelSpec &desc);
// Why the last ReadPanelSpec failed: file, panel, control and what is wrong.
const QString &PanelFileError();
// The name of a kind as the panel file writes it.
const char *KindText(Kind kind);

// Geometry, visibility and dimming, which panels and controls share; false
// for any other attribute.
bool GetWidgetAttribute(const QWidget &w, int attribute, int &value);

// ---------------------------------------------------------------- graphs
struct PlotEntry {
    int handle = 0;
    QCPGraph *graph = nullptr;    // a PlotXY curve, or
    QCPItemRect *rect = nullptr;  // a PlotRectangle
};

struct GraphCursor {
    QCPItemStraightLine *line = nullptr;
    QCPItemTracer *marker = nullptr;
    double x = 0, y = 0;
    int pointStyle = VAL_SOLID_CIRCLE;
    int color = 0;
};

struct GraphState {
    std::vector<PlotEntry> plots;  // live plots, oldest first
    int nextHandle = 1;
    // Deleted curves and rectangles wait here to be used again, so that the
    // delete-and-redraw of every measurement cycle allocates nothing.
    std::vector<QCPGraph *> spareGraphs;
    std::vector<QCPItemRect *> spareRects;
    std::vector<GraphCursor> cursors;
    int scaling[3] = {VAL_MANUAL, VAL_MANUAL, VAL_MANUAL};
};

struct StripState {
    std::vector<QCPGraph *> traces;
    std::vector<int> colors;
    std::vector<int> shown;
    int pointsPerScreen = 101;
    int scrollMode = 1;
    // The last pointsPerScreen points of every trace, as a ring: point p of
    // trace t is ring[t * pointsPerScreen + (head + p) % pointsPerScreen].
    std::vector<double> ring;
    int head = 0, count = 0;
    long long total = 0;        // points appended since the last clear
    long long numberShift = 0;  // x of a point = its place since the clear + this
    int yScaling = VAL_MANUAL;
};

// ---------------------------------------------------------------- controls
struct Control {
    int panel = 0;
    int id = 0;
    Kind kind = Kind::TextMsg;
    QString name;
    int dataType = VAL_INTEGER;
    bool hasMin = false, hasMax = false;
    double min = 0, max = 0;
    int precision = 2;
    CtrlCallbackPtr callback = nullptr;

    QWidget *widget = nullptr;     // the control itself
    QLabel *caption = nullptr;     // its label, in a line above it
    QLabel *valueLabel = nullptr;  // sliders: the value, at the right of the label line
    QCustomPlot *plot = nullptr;   // graphs and strip charts

    double number = 0;  // numeric value, already in the control's data type
    std::string text;   // string value, the bytes the program gave
    QString label;
    std::vector<RingItem> items;
    int ringIndex = -1;
    std::vector<std::string> lines;  // text boxes, the bytes the program gave
    bool editedSinceCommit = false;
    int refusals = 0;         // numeric edits: typed or pasted input the range could not hold
    bool sizeToText = false;  // text messages without a size in the file

    int frameColor = 0, textColor = 0, textBgColor = 0;
    bool textBgSet = false;  // the file or the program chose the background
    std::string fontName;
    int pointSize = 0;

    std::unique_ptr<GraphState> graph;
    std::unique_ptr<StripState> strip;

    QStringList traceNames;
    QRect home;  // where the panel file puts the widget, before any resize
    Stretch stretch;
    Help help;

    ~Control();
};

// A panel's window, or its frame inside the parent panel. The close box asks
// the panel callback; the window stays as it is.
class PanelWidget : public QFrame {
  public:
    PanelWidget(int handle, QWidget *parent);

  protected:
    void closeEvent(QCloseEvent *event) override;
    bool event(QEvent *event) override;

  private:
    bool FrameDue();

    int handle_;
    qint64 lastFrameNs_ = 0;
    QTimer *frameTimer_ = nullptr;
};

struct Panel {
    int handle = 0;
    int parent = 0;
    QString name;
    PanelWidget *widget = nullptr;
    // What the controls sit on: the widget itself for a sub-panel; in a
    // window, a canvas in a scroll area, so that a screen too small for the
    // panel shows scroll bars instead of cutting controls off.
    QWidget *canvas = nullptr;
    QSize homeSize;  // the size the panel file gives; the canvas never gets smaller
    bool shownOnce = false;
    bool resizable = false;  // a window the operator may make larger than homeSize
    PanelCallbackPtr callback = nullptr;
    std::vector<std::unique_ptr<Control>> controls;
    std::vector<Control *> byId;  // index: control id
};

// ---------------------------------------------------------------- tables
bool RunTimeReady();
// Where the settings are kept (KVEX_SETTINGS, or the platform's usual place).
QSettings &SettingsStore();
// The run-time takes the application object made for it (a window system's
// or a plain one); closing runs before it goes.
int AdoptApplication(QCoreApplication *app, void (*closing)());
// The run-time can show windows: it was started with them (InitRunTime).
bool WindowsReady();
Panel *FindPanel(int handle);
Control *FindControl(int panel, int control);
// Both report the error code in 'code' when they return nullptr.
Control *FindControl(int panel, int control, int &code);
void DiscardAllPanels();
std::vector<Panel *> ChildPanels(int handle);  // the sub-panels loaded into this one

// ---------------------------------------------------------------- callbacks
CtrlCallbackPtr LookupCtrlCallback(const QString &name);
PanelCallbackPtr LookupPanelCallback(const QString &name);
// Calls the control's callback, if it has one, as (panel, control, event,
// nullptr, 0, 0).
void FireControl(int panel, int control, int event);
void FirePanel(int panel, int event);
// True while a callback runs: widgets are then deleted later, not at once.
bool InCallback();

// Held while program code that the event loop calls runs (a report, the
// modal pass): widgets it discards go later, so that the menu or dialog
// whose signal called it outlives its own signal.
class CallbackScope {
  public:
    CallbackScope();
    ~CallbackScope();
    CallbackScope(const CallbackScope &) = delete;
    CallbackScope &operator=(const CallbackScope &) = delete;
};

// Held around every dialog that runs an event loop of its own, and around
// the test script that stands in for one: while any is held, the modal pass
// runs every 2 ms, so that the measuring loop the dialog suspended goes on.
class ModalScope {
  public:
    ModalScope();
    ~ModalScope();
    ModalScope(const ModalScope &) = delete;
    ModalScope &operator=(const ModalScope &) = delete;
};

// ---------------------------------------------------------------- files
// The file dialog without an event loop of its own (ui_files.cpp): it opens
// and returns; once the person chose a file, chosen(file) runs from the event
// loop, with the filter's extension added as FileSelectPopup adds it. A save
// dialog asks before replacing a file, and a "no" leads back to the dialog.
// A cancelled dialog calls nothing. With a test script set, the script
// answers before this returns.
void AskFileLater(QWidget *parent, const FileSelectRequest &req,
                  std::function<void(const QString &file)> chosen);

// ---------------------------------------------------------------- widgets
// Builds the control's widgets on the panel and wires their events.
void BuildControl(Panel &panel, Control &c, const ControlSpec &desc);
// Puts number/text/lines of the control into its widget, without events.
void ShowValue(Control &c);
void ApplyTextColors(Control &c);
// Numeric displays (ui_display.cpp). A display showing the same text again
// costs nothing.
QWidget *MakeNumericDisplay(QWidget *parent);
void SetDisplayText(QWidget *display, const QString &text);
// A display's screen-reader view; nullptr for any other widget.
QAccessibleInterface *DisplayAccessFor(QWidget *w);
// Accessible name from the label; text messages are read by their text.
void NameForScreenReaders(Control &c);
void ApplyFont(Control &c);
void FitText(Control &c);
void PlaceCaption(Control &c);

// Accessibility, keys, tooltips and tab order (ui_access.cpp).
void InstallAccessibility();
// What a click on the button does: left click, the state change, commit.
void ActivateControl(Control &c);
// Adds the control's shortcut, key handling and tooltip.
void SetupHelp(Control &c);
void UpdateToolTip(Control &c);  // after the control's dimming changed
// Lets the screen reader's view of this panel leave out hidden controls.
void MarkPanelWidget(QWidget *w, int panel);
// The tab chain of the window that holds this panel, in layout order.
void OrderTabChain(int panel);
// Moves and grows the controls of the panel for its canvas' current size.
void StretchControls(Panel &p);

// A slider that can carry marks along its track (ui_marks_drop.cpp).
QSlider *NewMarkedSlider(Qt::Orientation orientation, QWidget *parent);

// Graphs and strip charts (ui_graphs.cpp).
QWidget *BuildGraph(Control &c, const ControlSpec &desc, QWidget *parent);
QWidget *BuildStripChart(Control &c, const ControlSpec &desc, QWidget *parent);
int SetStripChartAttribute(Control &c, int attribute, int value);
int GetStripChartAttribute(const Control &c, int attribute, int *value);
// The graph's or strip chart's context menu: save as PNG, SVG or CSV
// (ui_export.cpp).
void OfferExport(Control &c, const QPoint &globalPos);
// The plot engine (ui_plot_engine.cpp).
// Draws a graph or strip chart now, not at the next event processing.
void ReplotNow(Control &c);
// Renders the plots of this window that changed since its last paint.
void DrawMarkedPlots(const QWidget *window);

// ---------------------------------------------------------------- values
// Take a value into the control as SetCtrlVal does, and show it.
int PutInteger(Control &c, long long value);
int PutReal(Control &c, double value);
int PutText(Control &c, const char *text);
QString FormatNumber(const Control &c);  // the number as the control shows it

bool IsIntegerType(int type);
// C conversions into a data type: integers wrap, doubles are cut toward zero.
double ConvertInteger(int type, long long value);
double ConvertDouble(int type, double value);
long long CutToInt64(double value);
// Reads element i of an array of that data type as a double.
double ReadArrayValue(const void *data, int type, long long i);
int DataTypeSize(int type);  // bytes of one element, or 0 for no array type

QString DecodeText(const char *text);  // UTF-8, or Latin-1 when not UTF-8
// What the operator typed into an editable text box becomes its lines.
void TakeTypedText(Control &c, const QString &text);
QString ResolveProgramFile(const char *file);
QColor ToQColor(int rgb);
int FromQColor(const QColor &color);

}  // namespace kvexui
