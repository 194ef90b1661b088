// Every callback that the panel file may name, under that name.
#include "gauge_dialog.h"
#include "history_tool.h"
#include "kvex_main.h"
#include "recorder.h"
#include "replay.h"
#include "stats_window.h"
#include "ui.h"

void RegisterKVexCallbacks() {
    RegisterPanelCallback("CC_PANEL", CC_PANEL);
    RegisterPanelCallback("CC_POPUP", CC_POPUP);
    RegisterPanelCallback("CC_STATS", CC_STATS);
    RegisterPanelCallback("CC_GAUGE", CC_GAUGE);
    RegisterPanelCallback("CC_PUBLISH", CC_PUBLISH);
#define KVEX_REGISTER(name) RegisterCtrlCallback(#name, name);
    KVEX_REGISTER(CC_BTNRun)
    KVEX_REGISTER(CC_BTNVideo)
    KVEX_REGISTER(CC_BTNStop)
    KVEX_REGISTER(CC_DropDCom)
    KVEX_REGISTER(CC_SLIDEVideoTHD_A)
    KVEX_REGISTER(CC_SLIDEVideoTHD_B)
    KVEX_REGISTER(CC_NEDITeachA)
    KVEX_REGISTER(CC_NEDITeachB)
    KVEX_REGISTER(CC_DropEvalMode)
    KVEX_REGISTER(CC_DROPHardwareMode)
    KVEX_REGISTER(CC_TOGGBTN_Para1)
    KVEX_REGISTER(CC_TOGGBTN_Para2)
    KVEX_REGISTER(CC_TOGGBTN_Calib)
    KVEX_REGISTER(CC_TOGBTN_Zoom)
    KVEX_REGISTER(CC_NEDITTolLeff)
    KVEX_REGISTER(CC_BTNSend)
    KVEX_REGISTER(CC_BTNGet)
    KVEX_REGISTER(CC_ButtonReset)
    KVEX_REGISTER(CC_ButtonTeach)
    KVEX_REGISTER(CC_RBTRam)
    KVEX_REGISTER(CC_RBTEeprom)
    KVEX_REGISTER(CC_RBTFile)
    KVEX_REGISTER(CC_BTNStatusLog)
    KVEX_REGISTER(CC_TOGGBTN_Recorder)
    KVEX_REGISTER(CC_NEDITRecTime)
    KVEX_REGISTER(CC_NEDITRecSamples)
    KVEX_REGISTER(CC_RecordFileNameBtn)
    KVEX_REGISTER(CC_BTNStartRecord)
    KVEX_REGISTER(CC_BTNStopRecord)
    KVEX_REGISTER(CC_BTNStatistics)
    KVEX_REGISTER(CC_StatsScope)
    KVEX_REGISTER(CC_StatsReset)
    KVEX_REGISTER(CC_StatsSave)
    KVEX_REGISTER(CC_StatsReport)
    KVEX_REGISTER(CC_StatsClose)
    KVEX_REGISTER(CC_StatsEvent)
    KVEX_REGISTER(CC_BTNPublish)
    KVEX_REGISTER(CC_PublishOn)
    KVEX_REGISTER(CC_KeepPassword)
    KVEX_REGISTER(CC_CaFileBtn)
    KVEX_REGISTER(CC_PublishClose)
    KVEX_REGISTER(CC_BTNReplay)
    KVEX_REGISTER(CC_ReplaySlider)
    KVEX_REGISTER(CC_ReplayPrevOut)
    KVEX_REGISTER(CC_ReplayBack)
    KVEX_REGISTER(CC_ReplayPlay)
    KVEX_REGISTER(CC_ReplayForward)
    KVEX_REGISTER(CC_ReplayNextOut)
    KVEX_REGISTER(CC_ReplaySpeed)
    KVEX_REGISTER(CC_ReplayLoop)
    KVEX_REGISTER(CC_ReplayEnd)
    KVEX_REGISTER(CC_ReplayLimitSource)
    KVEX_REGISTER(CC_ReplayLimitEdit)
    KVEX_REGISTER(CC_ReplayGoTo)
    KVEX_REGISTER(CC_BTNGauge)
    KVEX_REGISTER(CC_GaugeStart)
    KVEX_REGISTER(CC_GaugeFromFile)
    KVEX_REGISTER(CC_GaugeClose)
    KVEX_REGISTER(CC_GaugeReport)
    KVEX_REGISTER(CC_HistoryXAxis)
#undef KVEX_REGISTER
}
