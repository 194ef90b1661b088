// Main module: start-up, shutdown, the panels and the operator's callbacks.
// Owns the panel handles and the global state that several subsystems share.
#pragma once

#include <cstddef>

#include "kvex_ids.h"

// Panel handles, valid from start-up to shutdown.
extern int pHandle, pPara1, pPara2, pCalib, panelPopUp;

extern int target;     // memory target of send and get: 1 RAM, 2 EEPROM, 3 file
extern int stop_flag;  // 0 while a run, video or recording loop runs

// The mode that starts by itself once the window is up, as if its button had
// been pressed (demos, kiosks, benchmarks).
enum StartMode { START_NONE, START_RUN, START_VIDEO };
extern int startMode;

extern const int MAXPOINT;  // points of a video curve and of a threshold array
extern unsigned short yaxisMAX;
extern unsigned short thdArrayA[128], thdArrayB[128];

extern char szSoftName[72];
extern char szSoftVersion[72];
extern char proj_dir[260];
extern char recfile_name[260];
extern char file_name[260];

extern const char *const kPanelFile;  // "K-VEX-RB-ZD-VedudU300.uir"

// Registers every callback that the panel file may name.
void RegisterKVexCallbacks();

// Fills the 128 levels of a threshold line from a percentage of YMAXADC.
void FillThresholdArray(unsigned short *levels, unsigned short percent);
// Dims the tolerance edits in hardware modes 1 and 3, undims them otherwise.
void DimToleranceEdits();
// Reads both parameter frames from the target memory onto the panels, 0.1 s
// apart; true when both came.
bool GetParameterFrames();
// Writes the panels' parameter words to the target memory (RAM or EEPROM) and
// reads them back: 0 when the sensor holds them, the number of differing
// words, or -1 when nothing came back; the status line says which.
int SendToSensor();
// The parameter words from the panels' controls, and back onto them.
void GetPanelValues();
// The 30 words of a parameter file (both frames, in file order) as the panels
// would take them: 0 when every control can show its word unchanged, else 1
// with why naming the line, the value and what the control allows.
int RefuseWordsOutsideControls(const unsigned short *words, char *why, std::size_t whySize);
void SetPanelValues();
// The tolerances of the parameter words on the main panel, in mm.
void ShowSensorLimits();

// ---------------------------------------------------------------- edits
// Fields the operator changed and has not sent are marked. The values shown
// now (after a get, load or confirmed send) are what the sensor holds; or the
// words the sensor holds, when the panels keep edits it did not take.
void NoteShownParameters();
void NoteSensorParameters(const unsigned short *words);
void MarkChangedParameterFields();
// A control changed by the operator: its mark follows.
void NoteParameterEdit(int panel, int control);
// How many fields are changed, and their labels, comma-separated.
int ChangedParameterFields(char *names, int size);
// True when nothing is changed, or the operator agrees that what (e.g. "Get
// parameters") replaces the changes.
bool ConfirmDiscardEdits(const char *what);

// ---------------------------------------------------------------- remembered
// The port was given on the command line (--port, --simulate): it wins over
// the one remembered.
extern bool portFromCommandLine;
// A command-line verb runs: what it sets is not the operator's choice and is
// not remembered.
extern bool unattended;
// Port, memory target, recorder settings, zoom and window place as the last
// run left them; called once the panels hold their start values.
void RestoreRememberedSettings();
void RememberPort();  // the device of com, for the next start
void RememberRecorderSettings();
// The folder of path under key; and the remembered one (260 bytes), or the
// program's folder when none is.
void RememberFolder(const char *key, const char *path);
void RememberedFolder(const char *key, char *dir);

// The last status texts, oldest first, one a line with the time each came;
// returns how many.
int StatusLog(char *out, int size);

// ---------------------------------------------------------------- link state
// The firmware text of the sensor on com, once the start-up questions passed.
extern char sensorFirmware[72];
// The indicator beside the status line: no sensor, connected (device and
// firmware) or line lost; during and after a mode, exchanges per second,
// time-outs and discarded bytes since the mode started.
void ShowLinkState();
void NoteLinkOpened();    // after InitRS232: a new connection, new counts
void BeginLinkFigure();   // a mode starts
void EndLinkFigure();     // it ended; its figure stays in view
void NoteLinkActivity();  // an exchange passed: the figure shows it once a second
void NoteLinkTimeout();   // a reply did not come

// Ring entries beyond the port numbers: list the ports again; open a device
// by its path.
constexpr int kRescanPorts = 256;
constexpr int kOtherDevice = 257;
// The port number of a device path, made known as the next free number when
// the machine's list lacks it; 0 when no number is left.
int PortNumberFor(const char *device);
// The operator chose a port: a lost one is no longer watched for.
void StopReconnecting();

// Lists the ports again as they are now, keeping the entry of a lost line.
void RelistPorts();
// Lists the known ports by number and device in DropDCom and selects com.
void FillComPortRing();
// The ring holds an entry that tells of a lost line (value 0) and shows it.
extern bool portRingShowsLoss;

// The stop buttons' request: ends a running loop at its next pass, undims
// the command buttons (once the loop has ended, if one runs) and waits 0.1 s.
void RequestStop();
// A run, video or recording loop starts or has ended. While one runs the
// commands that would start an exchange of their own are dimmed.
void BeginMeasuringLoop();
void EndMeasuringLoop();
bool MeasuringLoopRuns();
// Stops any loop, says which port was lost and greys the live displays.
void OnLineLost();
// Start-up once the panels are loaded: start values, the link (unless
// openPort is false), the sub-panels' place, then the main panel and pPara1.
void StartKVex(bool openPort);

// Loads the five panels in their order and checks that every control the
// program uses is there; -1, with the reason on standard error, as soon as
// something is wrong.
int LoadKVexPanels(const char *file = kPanelFile);
// The line that the last refused panel file gave, or "".
const char *PanelFileRefusal();
// Where the handle of the panel with this resource id is kept.
int *PanelHandle(int resourceId);
// Discards the five panels, the main panel last.
void DiscardKVexPanels();

int WinMain(void *instance, void *previousInstance, char *commandLine, int showMode);
void InitVars();
void InitGUI();

// Control and panel callbacks, found by name through the panel file.
int CC_PANEL(int panel, int event, void *callbackData, int eventData1, int eventData2);
int CC_POPUP(int panel, int event, void *callbackData, int eventData1, int eventData2);

#define KVEX_DECLARE_CC(name) \
    int name(int panel, int control, int event, void *callbackData, int eventData1, int eventData2);
KVEX_DECLARE_CC(CC_BTNRun)
KVEX_DECLARE_CC(CC_BTNVideo)
KVEX_DECLARE_CC(CC_BTNStop)
KVEX_DECLARE_CC(CC_DropDCom)
KVEX_DECLARE_CC(CC_SLIDEVideoTHD_A)
KVEX_DECLARE_CC(CC_SLIDEVideoTHD_B)
KVEX_DECLARE_CC(CC_NEDITeachA)
KVEX_DECLARE_CC(CC_NEDITeachB)
KVEX_DECLARE_CC(CC_DropEvalMode)
KVEX_DECLARE_CC(CC_DROPHardwareMode)
KVEX_DECLARE_CC(CC_TOGGBTN_Para1)
KVEX_DECLARE_CC(CC_TOGGBTN_Para2)
KVEX_DECLARE_CC(CC_TOGGBTN_Calib)
KVEX_DECLARE_CC(CC_TOGBTN_Zoom)
KVEX_DECLARE_CC(CC_NEDITTolLeff)
KVEX_DECLARE_CC(CC_BTNSend)
KVEX_DECLARE_CC(CC_BTNGet)
KVEX_DECLARE_CC(CC_ButtonReset)
KVEX_DECLARE_CC(CC_ButtonTeach)
KVEX_DECLARE_CC(CC_RBTRam)
KVEX_DECLARE_CC(CC_RBTEeprom)
KVEX_DECLARE_CC(CC_RBTFile)
KVEX_DECLARE_CC(CC_BTNStatusLog)
#undef KVEX_DECLARE_CC
