// What the operator set comes back at the next start, from a settings file of
// the test's own.
#include <gtest/gtest.h>

#include <QWidget>
#include <string>

#include "kvex_app.h"
#include "kvex_ids.h"
#include "recorder.h"
#include "ui_qt.h"

using kvextest::KVexApp;

TEST(Remembered, TargetZoomRecorderAndWindowSurviveARestart) {
    ForgetSettings();
    QSize windowSize;
    {
        KVexApp app;
        ASSERT_TRUE(app.Start(true, true));
        EXPECT_EQ(target, 1);  // a first start: the defaults
        SetCtrlVal(pHandle, PANEL_RBTEeprom, 1);
        CC_RBTEeprom(pHandle, PANEL_RBTEeprom, EVENT_VAL_CHANGED, nullptr, 0, 0);
        SetCtrlVal(pHandle, PANEL_TOGBTN_Zoom, 1);
        KVexApp::Commit(CC_TOGBTN_Zoom, pHandle, PANEL_TOGBTN_Zoom);
        SetCtrlVal(panelPopUp, POPUP_NEDITRecSamples, static_cast<unsigned short>(50));
        SetCtrlVal(panelPopUp, POPUP_NEDITRecTime, static_cast<unsigned short>(2));
        KVexApp::Commit(CC_NEDITRecSamples, panelPopUp, POPUP_NEDITRecSamples);
        UiPanelWidget(pHandle)->resize(700, 500);
        windowSize = UiPanelWidget(pHandle)->size();
        CC_PANEL(pHandle, EVENT_CLOSE, nullptr, 0, 0);  // the close box
    }
    KVexApp again;
    ASSERT_TRUE(again.Start(true, true));
    // The memory target is not remembered: no send after a restart writes
    // the EEPROM unawares.
    EXPECT_EQ(target, 1);
    EXPECT_EQ(KVexApp::U16(pHandle, PANEL_RBTEeprom), 0);
    EXPECT_EQ(KVexApp::U16(pHandle, PANEL_RBTRam), 1);
    EXPECT_EQ(KVexApp::U16(pHandle, PANEL_TOGBTN_Zoom), 1);
    EXPECT_EQ(KVexApp::U16(panelPopUp, POPUP_NEDITRecSamples), 50);
    EXPECT_EQ(KVexApp::U16(panelPopUp, POPUP_NEDITRecTime), 2);
    EXPECT_EQ(KVexApp::U16(panelPopUp, POPUP_RecMinutes), 1);  // 50 x 2 s
    EXPECT_EQ(UiPanelWidget(pHandle)->size(), windowSize);
    HidePanel(pHandle);
    ForgetSettings();
}

TEST(Remembered, ThePortUsedLastIsFoundByItsDeviceWhateverItsNumber) {
    kvexsim::SensorSim a(kvextest::FastSensor()), b(kvextest::FastSensor());
    ASSERT_TRUE(a.start());
    ASSERT_TRUE(b.start());
    ForgetSettings();
    SetSettingText("port/device", b.devicePath().c_str());
    ASSERT_EQ(LoadKVexPanels(), 0);
    ClearComPortDevices();
    SetComPortDevice(1, a.devicePath().c_str());
    SetComPortDevice(2, b.devicePath().c_str());
    StartKVex(true);
    EXPECT_EQ(com, 2);
    EXPECT_EQ(b.commandCount(kvexsim::kHardware), 1);
    EXPECT_EQ(a.requestCount(), 0u);
    CloseCom(com);
    DiscardKVexPanels();

    // Gone from the machine: port 1 it is.
    b.stop();
    ASSERT_EQ(LoadKVexPanels(), 0);
    ClearComPortDevices();
    SetComPortDevice(1, a.devicePath().c_str());
    StartKVex(true);
    EXPECT_EQ(com, 1);
    EXPECT_EQ(a.commandCount(kvexsim::kHardware), 1);
    CloseCom(com);
    DiscardKVexPanels();
    ForgetSettings();
}
