// Panel resource ids and control ids of the panel file
// K-VEX-RB-ZD-VedudU300.uir. A test checks that this list and the file agree.
#pragma once

// X(panel constant, resource id)
#define KVEX_PANELS(X) \
    X(CALIB, 1)        \
    X(PANEL, 2)        \
    X(PARA1, 3)        \
    X(PARA2, 4)        \
    X(POPUP, 5)

// X(panel constant, control name, control id)
#define KVEX_CONTROLS(X)           \
    X(PANEL, DropDCom, 2)          \
    X(PANEL, CmdButton3, 3)        \
    X(PANEL, CmdButton4, 4)        \
    X(PANEL, RBTFile, 8)           \
    X(PANEL, RBTEeprom, 9)         \
    X(PANEL, RBTRam, 10)           \
    X(PANEL, CmdButton11, 11)      \
    X(PANEL, CmdButton13, 13)      \
    X(PANEL, Display14, 14)        \
    X(PANEL, Display15, 15)        \
    X(PANEL, Display16, 16)        \
    X(PANEL, Display17, 17)        \
    X(PANEL, LogoFrame, 18)        \
    X(PANEL, NEDITeachB, 19)       \
    X(PANEL, NEDITeachA, 20)       \
    X(PANEL, StatusLine, 21)       \
    X(PANEL, GraphVideoB, 22)      \
    X(PANEL, GraphVideoA, 23)      \
    X(PANEL, GraphBarB, 24)        \
    X(PANEL, GraphBarA, 25)        \
    X(PANEL, StripChartRaw, 26)    \
    X(PANEL, LogoPicture, 27)      \
    X(PANEL, TOGGBTN_Recorder, 28) \
    X(PANEL, TOGBTN_Zoom, 29)      \
    X(PANEL, TOGGBTN_Calib, 30)    \
    X(PANEL, TOGGBTN_Para2, 31)    \
    X(PANEL, TOGGBTN_Para1, 32)    \
    X(PANEL, Display33, 33)        \
    X(PANEL, Display34, 34)        \
    X(PANEL, Display35, 35)        \
    X(PANEL, Display36, 36)        \
    X(PANEL, BTNStop, 37)          \
    X(PANEL, ButtonReset, 38)      \
    X(PANEL, ButtonTeach, 39)      \
    X(PANEL, NEDITTolLeff, 40)     \
    X(PARA1, Para1Edit3, 3)        \
    X(PARA1, Para1Edit4, 4)        \
    X(PARA1, Para1Edit5, 5)        \
    X(PARA1, DropEvalMode, 6)      \
    X(PARA1, Para1Edit15, 15)      \
    X(PARA1, DROPHardwareMode, 16) \
    X(PARA1, Para1Edit17, 17)      \
    X(PARA1, Para1Edit18, 18)      \
    X(PARA2, SLIDEVideoTHD_B, 3)   \
    X(PARA2, Para2Edit4, 4)        \
    X(PARA2, SLIDEVideoTHD_A, 9)   \
    X(PARA2, Para2Edit13, 13)      \
    X(PARA2, Para2Edit14, 14)      \
    X(PARA2, Para2Edit15, 15)      \
    X(PARA2, Para2Edit16, 16)      \
    X(PARA2, Para2Edit17, 17)      \
    X(PARA2, Para2Edit18, 18)      \
    X(CALIB, SensorInfoBox, 7)     \
    X(CALIB, CalibEdit8, 8)        \
    X(CALIB, CalibEdit9, 9)        \
    X(POPUP, RecordFileName, 2)    \
    X(POPUP, RecorderLog, 3)       \
    X(POPUP, NEDITRecSamples, 4)   \
    X(POPUP, NEDITRecTime, 5)      \
    X(POPUP, RecSeconds, 6)        \
    X(POPUP, RecMinutes, 7)        \
    X(POPUP, RecHours, 8)          \
    X(POPUP, RecDays, 9)           \
    X(POPUP, RecCounter, 10)       \
    X(POPUP, RecButton13, 13)      \
    X(POPUP, BTNStopRecord, 14)    \
    X(POPUP, RecordFileNameBtn, 15)

#define KVEX_PANEL_ENUM(panel, id) panel = id,
enum KVexPanelResource { KVEX_PANELS(KVEX_PANEL_ENUM) };
#undef KVEX_PANEL_ENUM

#define KVEX_CONTROL_ENUM(panel, name, id) panel##_##name = id,
enum KVexControlId { KVEX_CONTROLS(KVEX_CONTROL_ENUM) };
#undef KVEX_CONTROL_ENUM

// The operator's functions sit on the command buttons whose dimming keeps a
// second loop from starting inside a running one: run mode dims Run, video
// mode and recording dim Run, Video and Get.
enum {
    PANEL_BTNSend = PANEL_CmdButton3,
    PANEL_BTNGet = PANEL_CmdButton4,
    PANEL_BTNVideo = PANEL_CmdButton11,
    PANEL_BTNRun = PANEL_CmdButton13,
    POPUP_BTNStartRecord = POPUP_RecButton13,
};
