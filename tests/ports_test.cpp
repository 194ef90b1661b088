// Ports as they come and go: a port that appears after start-up is listed
// when the ring opens or is rescanned, and a device that vanishes and comes
// back at the same path is reconnected by itself.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QComboBox>
#include <cstdio>
#include <string>

#include "exchange.h"
#include "kvex_app.h"
#include "kvex_ids.h"
#include "modes.h"
#include "ui_qt.h"
#include "ui_testing.h"

using kvextest::KVexApp;
using kvextest::LinkState;
using kvextest::PumpUntil;
using kvextest::StartOnLink;

namespace {

QStringList RingTexts() {
    auto *box = static_cast<QComboBox *>(UiControlWidget(pHandle, PANEL_DropDCom));
    QStringList texts;
    for (int i = 0; i < box->count(); ++i) texts << box->itemText(i);
    return texts;
}

}  // namespace

TEST(Ports, APortThatAppearsLaterIsListedWhenTheRingOpensOrIsRescanned) {
    KVexApp app;
    ASSERT_TRUE(app.Start(true));
    kvexsim::SensorSim later(kvextest::FastSensor());
    ASSERT_TRUE(later.start());
    const QString device = QString::fromStdString(later.devicePath());
    EXPECT_FALSE(RingTexts().join('|').contains(device));
    EXPECT_EQ(RingTexts().mid(RingTexts().size() - 2),
              QStringList({"Rescan ports", "Other device..."}));

    // Plugged in: listed as soon as the operator opens the ring.
    SetComPortDevice(2, later.devicePath().c_str());
    static_cast<QComboBox *>(UiControlWidget(pHandle, PANEL_DropDCom))->showPopup();
    EXPECT_TRUE(RingTexts().contains(QStringLiteral("2: ") + device))
        << RingTexts().join('|').toStdString();
    static_cast<QComboBox *>(UiControlWidget(pHandle, PANEL_DropDCom))->hidePopup();

    // Rescan: the list follows the machine, the open port stays chosen.
    SetComPortDevice(2, nullptr);
    SetCtrlVal(pHandle, PANEL_DropDCom, kRescanPorts);
    KVexApp::Commit(CC_DropDCom, pHandle, PANEL_DropDCom);
    EXPECT_FALSE(RingTexts().join('|').contains(device));
    EXPECT_EQ(com, 1);
    int shown = 0;
    GetCtrlVal(pHandle, PANEL_DropDCom, &shown);
    EXPECT_EQ(shown, 1);
}

TEST(Ports, ADeviceThatVanishesAndComesBackIsReconnected) {
    // The program knows the sensor by a path that outlives the pseudo-terminal,
    // as /dev/serial/by-id/... outlives a USB adapter that is pulled.
    const std::string link = std::string(KVEX_TEST_OUTPUT) + "/sensor-by-id";
    kvexsim::SensorSim sensor(kvextest::FastSensor());
    ASSERT_TRUE(sensor.start());
    ASSERT_TRUE(StartOnLink(link, sensor));

    sensor.vanish();
    std::remove(link.c_str());
    EXPECT_TRUE(PumpUntil([] { return line_lost != 0; }, 3.0));
    EXPECT_NE(KVexApp::Status().find("Line lost"), std::string::npos) << KVexApp::Status();
    EXPECT_NE(LinkState().find("Line lost: " + link), std::string::npos) << LinkState();
    EXPECT_EQ(KVexApp::Attr(pHandle, PANEL_Display17, ATTR_TEXT_COLOR), 0x808080)
        << "a display with nothing live behind it is grey";

    sensor.stop();
    ASSERT_TRUE(sensor.start());
    ASSERT_EQ(symlink(sensor.devicePath().c_str(), link.c_str()), 0);
    EXPECT_TRUE(PumpUntil([] { return LinkReady(); }, 5.0)) << KVexApp::Status();
    EXPECT_EQ(KVexApp::Status().rfind("Reconnected to COM 1", 0), 0u) << KVexApp::Status();
    EXPECT_GE(sensor.commandCount(kvexsim::kHardware), 1);
    EXPECT_NE(LinkState().find("Stopped: connected to " + link + ", K-VEX sensor simulator"),
              std::string::npos)
        << LinkState();

    CloseCom(com);
    DiscardKVexPanels();
    std::remove(link.c_str());
}

TEST(Ports, TheIndicatorTellsNoSensorConnectedAndTheLinkFigureOfAMode) {
    kvexsim::SimConfig mute = kvextest::FastSensor();
    mute.faults.silent = true;
    {
        KVexApp app(mute);
        ASSERT_TRUE(app.Start(true));
        EXPECT_EQ(LinkState().rfind("\xE2\x97\x8F No data: no sensor on /dev/", 0), 0u)
            << LinkState();
    }
    KVexApp app;
    ASSERT_TRUE(app.Start(true));
    EXPECT_NE(LinkState().find("Stopped: connected to " + app.sensor().devicePath()),
              std::string::npos)
        << LinkState();
    // A second of run mode: exchanges per second, nothing lost.
    PostDelayedCall(
        1.2, [](void *) { stop_flag = 1; }, nullptr);
    PushRUN();
    const std::string figure = LinkState();
    EXPECT_NE(figure.find(" exchanges/s, 0 time-outs, 0 bytes discarded"), std::string::npos)
        << figure;
    const std::string stopped = "Stopped: " + app.sensor().devicePath() + ", ";
    ASSERT_NE(figure.find(stopped), std::string::npos) << figure;
    const double rate = std::stod(figure.substr(figure.find(stopped) + stopped.size()));
    EXPECT_GT(rate, 10.0) << figure;
}

TEST(Ports, ATypedDevicePathIsOpenedAndReopenedAtTheNextStart) {
    kvexsim::SensorSim other(kvextest::FastSensor());
    ASSERT_TRUE(other.start());
    const std::string typed = other.devicePath();
    {
        KVexApp app;
        ASSERT_TRUE(app.Start(true));
        SetFileSelectScript([&](const FileSelectRequest &, std::string &path) {
            path = typed;
            return true;
        });
        SetCtrlVal(pHandle, PANEL_DropDCom, kOtherDevice);
        KVexApp::Commit(CC_DropDCom, pHandle, PANEL_DropDCom);
        SetFileSelectScript({});
        EXPECT_TRUE(LinkReady()) << KVexApp::Status();
        char device[260] = "";
        GetComPortDevice(com, device, sizeof device);
        EXPECT_EQ(device, typed);
        EXPECT_EQ(other.commandCount(kvexsim::kHardware), 1);
        EXPECT_TRUE(RingTexts().join('|').contains(QString::fromStdString(typed)));
    }
    // The machine does not list it, yet the next start opens it again.
    KVexApp again;
    ASSERT_TRUE(again.Start(true, true));
    char device[260] = "";
    GetComPortDevice(com, device, sizeof device);
    EXPECT_EQ(device, typed);
    EXPECT_EQ(other.commandCount(kvexsim::kHardware), 2);
    ForgetSettings();
}

TEST(PortOpening, ADeviceThatIsNoSerialLineGivesTheGenericTextThenAnotherPortWorks) {
    KVexApp app;
    ASSERT_TRUE(app.Start(false));
    ClearComPortDevices();
    SetComPortDevice(1, "/dev/null");
    SetComPortDevice(2, app.sensor().devicePath().c_str());
    FillComPortRing();
    com = 1;
    InitRS232(com);
    EXPECT_EQ("RS-232 error!", app.Status());
    EXPECT_EQ(0u, app.sensor().requestCount());

    // The operator picks the sensor's port in the ring.
    SetCtrlVal(pHandle, PANEL_DropDCom, 2);
    KVexApp::Commit(CC_DropDCom, pHandle, PANEL_DropDCom);
    EXPECT_EQ(2, com);
    EXPECT_EQ(5u, app.sensor().requestCount());
    EXPECT_EQ(std::string("K-VEX sensor simulator firmware 1.04 (simulated)"), app.Status());
}

TEST(PortRing, ListsEveryPortByNumberAndDevice) {
    KVexApp app;
    ASSERT_TRUE(app.Start(false));
    int items = 0;
    GetNumListItems(pHandle, PANEL_DropDCom, &items);
    EXPECT_EQ(GetComPortCount() + 2, items);  // and "Rescan ports", "Other device..."
    EXPECT_EQ(1, KVexApp::U16(pHandle, PANEL_DropDCom));
}
