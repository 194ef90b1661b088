// Panel resource ids and control ids of the panel file
// K-VEX-RB-ZD-VedudU300.uir. A test checks that this list and the file agree.
#pragma once

// X(panel constant, resource id)
#define KVEX_PANELS(X) \
    X(CALIB, 1)        \
    X(PANEL, 2)        \
    X(PARA1, 3)        \
    X(PARA2, 4)        \
    X(POPUP, 5)        \
    X(STATS, 6)        \
    X(PUBLISH, 8)      \
    X(REPLAY, 7)       \
    X(GAUGE, 12)

// X(panel constant, control name, control id, kind as the panel file names it)
#define KVEX_CONTROLS(X)                            \
    X(PANEL, DropDCom, 2, ring)                     \
    X(PANEL, CmdButton3, 3, command_button)         \
    X(PANEL, CmdButton4, 4, command_button)         \
    X(PANEL, RBTFile, 8, radio_button)              \
    X(PANEL, RBTEeprom, 9, radio_button)            \
    X(PANEL, RBTRam, 10, radio_button)              \
    X(PANEL, CmdButton11, 11, command_button)       \
    X(PANEL, CmdButton13, 13, command_button)       \
    X(PANEL, Display14, 14, numeric_display)        \
    X(PANEL, Display15, 15, numeric_display)        \
    X(PANEL, Display16, 16, numeric_display)        \
    X(PANEL, Display17, 17, numeric_display)        \
    X(PANEL, LogoFrame, 18, decoration)             \
    X(PANEL, NEDITeachB, 19, numeric)               \
    X(PANEL, NEDITeachA, 20, numeric)               \
    X(PANEL, StatusLine, 21, text_msg)              \
    X(PANEL, GraphVideoB, 22, graph)                \
    X(PANEL, GraphVideoA, 23, graph)                \
    X(PANEL, GraphBarB, 24, graph)                  \
    X(PANEL, GraphBarA, 25, graph)                  \
    X(PANEL, StripChartRaw, 26, strip_chart)        \
    X(PANEL, LogoPicture, 27, picture)              \
    X(PANEL, TOGGBTN_Recorder, 28, toggle_button)   \
    X(PANEL, TOGBTN_Zoom, 29, toggle_button)        \
    X(PANEL, TOGGBTN_Calib, 30, toggle_button)      \
    X(PANEL, TOGGBTN_Para2, 31, toggle_button)      \
    X(PANEL, TOGGBTN_Para1, 32, toggle_button)      \
    X(PANEL, Display33, 33, numeric_display)        \
    X(PANEL, Display34, 34, numeric_display)        \
    X(PANEL, Display35, 35, numeric_display)        \
    X(PANEL, Display36, 36, numeric_display)        \
    X(PANEL, BTNStop, 37, command_button)           \
    X(PANEL, ButtonReset, 38, command_button)       \
    X(PANEL, ButtonTeach, 39, command_button)       \
    X(PANEL, NEDITTolLeff, 40, numeric)             \
    X(PANEL, ToleranceVerdict, 41, text_msg)        \
    X(PANEL, LinkState, 42, text_msg)               \
    X(PANEL, Display43, 43, numeric_display)        \
    X(PANEL, Display44, 44, numeric_display)        \
    X(PANEL, Display45, 45, numeric_display)        \
    X(PANEL, BTNStatusLog, 46, command_button)      \
    X(PANEL, BTNStatistics, 47, command_button)     \
    X(PANEL, BTNPublish, 60, command_button)        \
    X(PARA1, Para1Edit3, 3, numeric)                \
    X(PARA1, Para1Edit4, 4, numeric)                \
    X(PARA1, Para1Edit5, 5, numeric)                \
    X(PARA1, DropEvalMode, 6, ring)                 \
    X(PARA1, Para1Edit15, 15, numeric)              \
    X(PARA1, DROPHardwareMode, 16, ring)            \
    X(PARA1, Para1Edit17, 17, numeric)              \
    X(PARA1, Para1Edit18, 18, numeric)              \
    X(PARA2, SLIDEVideoTHD_B, 3, slider)            \
    X(PARA2, Para2Edit4, 4, numeric)                \
    X(PARA2, SLIDEVideoTHD_A, 9, slider)            \
    X(PARA2, Para2Edit13, 13, numeric)              \
    X(PARA2, Para2Edit14, 14, numeric)              \
    X(PARA2, Para2Edit15, 15, numeric)              \
    X(PARA2, Para2Edit16, 16, numeric)              \
    X(PARA2, Para2Edit17, 17, numeric)              \
    X(PARA2, Para2Edit18, 18, numeric)              \
    X(CALIB, SensorInfoBox, 7, text_box)            \
    X(CALIB, CalibEdit8, 8, numeric)                \
    X(CALIB, CalibEdit9, 9, numeric)                \
    X(POPUP, RecordFileName, 2, text_box)           \
    X(POPUP, RecorderLog, 3, text_box)              \
    X(POPUP, NEDITRecSamples, 4, numeric)           \
    X(POPUP, NEDITRecTime, 5, numeric)              \
    X(POPUP, RecSeconds, 6, numeric_display)        \
    X(POPUP, RecMinutes, 7, numeric_display)        \
    X(POPUP, RecHours, 8, numeric_display)          \
    X(POPUP, RecDays, 9, numeric_display)           \
    X(POPUP, RecCounter, 10, numeric_display)       \
    X(POPUP, RecButton13, 13, command_button)       \
    X(POPUP, BTNStopRecord, 14, command_button)     \
    X(POPUP, RecordFileNameBtn, 15, command_button) \
    X(POPUP, RecFormat, 16, ring)                   \
    X(STATS, ScopeRing, 2, ring)                    \
    X(STATS, WindowSize, 3, numeric)                \
    X(STATS, BTNStatsReset, 4, command_button)      \
    X(STATS, BTNStatsSave, 5, command_button)       \
    X(STATS, BTNStatsReport, 6, command_button)     \
    X(STATS, StatsSource, 7, text_msg)              \
    X(STATS, StatN, 8, text_msg)                    \
    X(STATS, StatMean, 9, text_msg)                 \
    X(STATS, StatSigma, 10, text_msg)               \
    X(STATS, StatMin, 11, text_msg)                 \
    X(STATS, StatMax, 12, text_msg)                 \
    X(STATS, StatRange, 13, text_msg)               \
    X(STATS, StatCp, 14, text_msg)                  \
    X(STATS, StatCpk, 15, text_msg)                 \
    X(STATS, StatLower, 16, text_msg)               \
    X(STATS, StatUpper, 17, text_msg)               \
    X(STATS, StatSetpoint, 18, text_msg)            \
    X(STATS, StatLimitsNote, 19, text_msg)          \
    X(STATS, StatBelow, 20, text_msg)               \
    X(STATS, StatInside, 21, text_msg)              \
    X(STATS, StatAbove, 22, text_msg)               \
    X(STATS, StatUnjudged, 23, text_msg)            \
    X(STATS, StatControlSigma, 24, text_msg)        \
    X(STATS, StatRuleBreaks, 25, text_msg)          \
    X(STATS, Histogram, 26, graph)                  \
    X(STATS, IChart, 27, graph)                     \
    X(STATS, MRChart, 28, graph)                    \
    X(STATS, StatPp, 29, text_msg)                  \
    X(STATS, StatPpk, 30, text_msg)                 \
    X(STATS, StatsRulesLabel, 31, text_msg)         \
    X(STATS, StatsRule1, 32, toggle_button)         \
    X(STATS, StatsRule2, 33, toggle_button)         \
    X(STATS, StatsRule3, 34, toggle_button)         \
    X(STATS, StatsRule4, 35, toggle_button)         \
    X(STATS, StatsRule5, 36, toggle_button)         \
    X(STATS, StatsRule6, 37, toggle_button)         \
    X(STATS, StatsRule7, 38, toggle_button)         \
    X(STATS, StatsRule8, 39, toggle_button)         \
    X(STATS, StatsClose, 40, command_button)        \
    X(STATS, StatsEvents, 41, ring)                 \
    X(PUBLISH, BrokerUrl, 2, text_box)              \
    X(PUBLISH, TopicRoot, 3, text_box)              \
    X(PUBLISH, BrokerUser, 4, text_box)             \
    X(PUBLISH, BrokerPassword, 5, text_box)         \
    X(PUBLISH, KeepPassword, 6, toggle_button)      \
    X(PUBLISH, CaFile, 7, text_box)                 \
    X(PUBLISH, CaFileBtn, 8, command_button)        \
    X(PUBLISH, PublishOn, 9, toggle_button)         \
    X(PUBLISH, PublishState, 10, text_box)          \
    X(PUBLISH, PublishClose, 11, command_button)    \
    X(PUBLISH, PlainPassword, 12, toggle_button)    \
    X(PUBLISH, PublishFormat, 13, ring)             \
    X(PUBLISH, SparkplugName, 14, text_box)         \
    X(PUBLISH, SparkplugHost, 15, text_box)         \
    X(PUBLISH, SparkplugQos, 16, toggle_button)     \
    X(PANEL, BTNReplay, 50, command_button)         \
    X(PANEL, HistoryXAxis, 51, toggle_button)       \
    X(REPLAY, ReplayFile, 1, text_msg)              \
    X(REPLAY, ReplaySlider, 2, slider)              \
    X(REPLAY, ReplayPosition, 3, text_msg)          \
    X(REPLAY, ReplayPrevOut, 4, command_button)     \
    X(REPLAY, ReplayBack, 5, command_button)        \
    X(REPLAY, ReplayPlay, 6, command_button)        \
    X(REPLAY, ReplayForward, 7, command_button)     \
    X(REPLAY, ReplayNextOut, 8, command_button)     \
    X(REPLAY, ReplaySpeed, 9, ring)                 \
    X(REPLAY, ReplayLoop, 10, toggle_button)        \
    X(REPLAY, ReplayEnd, 11, command_button)        \
    X(REPLAY, ReplayLimitSource, 12, ring)          \
    X(REPLAY, ReplayLower, 13, numeric)             \
    X(REPLAY, ReplayUpper, 14, numeric)             \
    X(REPLAY, ReplayLimits, 15, text_msg)           \
    X(REPLAY, ReplayCounts, 16, text_msg)           \
    X(REPLAY, ReplayGoTime, 17, text_box)           \
    X(REPLAY, ReplayGoTo, 18, command_button)       \
    X(PANEL, BTNGauge, 70, command_button)          \
    X(GAUGE, GaugeReference, 1, numeric)            \
    X(GAUGE, GaugeTolerance, 2, numeric)            \
    X(GAUGE, GaugeN, 3, numeric)                    \
    X(GAUGE, GaugePace, 4, numeric)                 \
    X(GAUGE, GaugeStart, 5, command_button)         \
    X(GAUGE, GaugeFromFile, 6, command_button)      \
    X(GAUGE, GaugeSource, 7, text_msg)              \
    X(GAUGE, GaugeVerdict, 8, text_msg)             \
    X(GAUGE, GaugeChart, 9, graph)                  \
    X(GAUGE, GaugeResult, 10, text_box)             \
    X(GAUGE, GaugeClose, 11, command_button)        \
    X(GAUGE, GaugeReport, 12, command_button)       \
    X(GAUGE, GaugeReportSaid, 13, text_msg)

#define KVEX_PANEL_ENUM(panel, id) panel = id,
enum KVexPanelResource { KVEX_PANELS(KVEX_PANEL_ENUM) };
#undef KVEX_PANEL_ENUM

#define KVEX_CONTROL_ENUM(panel, name, id, kind) panel##_##name = id,
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
