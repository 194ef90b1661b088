// Main module: start-up, shutdown, the panels and the operator's callbacks.
// The state that several subsystems share lives in the session below it.
#pragma once

#include <cstddef>

#include "parameter_panels.h"
#include "session.h"

// Registers every callback that the panel file may name.
void RegisterKVexCallbacks();

// Reads both parameter frames from the target memory onto the panels, 0.1 s
// apart; true when both came.
bool GetParameterFrames();
// Writes the panels' parameter words to the target memory (RAM or EEPROM) and
// reads them back: 0 when the sensor holds them, the number of differing
// words, or -1 when nothing came back; the status line says which.
int SendToSensor();
// ---------------------------------------------------------------- remembered
// Port, recorder settings, zoom and window place as the last
// run left them; called once the panels hold their start values.
void RestoreRememberedSettings();
void RememberPort();  // the device of com, for the next start

// The last status texts, oldest first, one a line with the time each came;
// returns how many.
int StatusLog(char *out, int size);

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

// Stops any loop, says which port was lost and greys the live displays.
void OnLineLost();
// Start-up once the panels are loaded: start values, the link (unless
// openPort is false), the sub-panels' place, then the main panel and pPara1.
void StartKVex(bool openPort);

// Loads the six panels in their order and checks that every control the
// program uses is there; -1, with the reason on standard error, as soon as
// something is wrong.
int LoadKVexPanels(const char *file = kPanelFile);
// The line that the last refused panel file gave, or "".
const char *PanelFileRefusal();
// Where the handle of the panel with this resource id is kept.
int *PanelHandle(int resourceId);
// Discards the six panels, the main panel last.
void DiscardKVexPanels();

int WinMain(void *instance, void *previousInstance, char *commandLine, int showMode);
void InitVars();
void InitGUI();

// Control and panel callbacks, found by name through the panel file.
int CC_PANEL(int panel, int event, void *callbackData, int eventData1, int eventData2);
int CC_POPUP(int panel, int event, void *callbackData, int eventData1, int eventData2);
int CC_PUBLISH(int panel, int event, void *callbackData, int eventData1, int eventData2);

// The Publish window's fields from the settings; publishing starts again
// when it was on at the last end. And its end, with the offline state out.
void RestorePublishing();
void EndPublishing();

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
KVEX_DECLARE_CC(CC_BTNPublish)
KVEX_DECLARE_CC(CC_PublishOn)
KVEX_DECLARE_CC(CC_KeepPassword)
KVEX_DECLARE_CC(CC_CaFileBtn)
KVEX_DECLARE_CC(CC_PublishClose)
#undef KVEX_DECLARE_CC
