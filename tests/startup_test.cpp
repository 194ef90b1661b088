// Start-up and shutdown: the program as a whole, in-process through WinMain
// and as its own process with damaged panel files.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>
#include <QWidget>
#include <string>

#include "kvex_app.h"

using kvextest::KVexApp;

namespace {

QWidget *MainWindow() {
    for (QWidget *w : QApplication::topLevelWidgets())
        if (w->isVisible() && w->windowTitle().startsWith("K-VEX-RB-ZD")) return w;
    return nullptr;
}

// Closes the main window from the event loop, as the operator's close box
// does, once it is shown and the given time has passed.
void CloseMainWindowAfter(int ms) {
    auto *timer = new QTimer;
    const double due = Timer() + ms / 1000.0;
    QObject::connect(timer, &QTimer::timeout, [timer, due] {
        QWidget *w = MainWindow();
        if (!w || Timer() < due) return;
        timer->stop();
        timer->deleteLater();
        w->close();
    });
    timer->start(50);
}

QString PanelFileSource() {
    return QCoreApplication::applicationDirPath() + "/K-VEX-RB-ZD-VedudU300.uir";
}

// A copy of the program in a folder of its own, with the panel file that the
// test gives it (none when contents is empty).
struct ProgramCopy {
    QTemporaryDir dir;
    QString program;

    explicit ProgramCopy(const QByteArray &panelFile) {
        program = dir.path() + "/kvex";
        QFile::copy(QCoreApplication::applicationDirPath() + "/kvex", program);
        QFile::setPermissions(program, QFile::ReadOwner | QFile::ExeOwner);
        if (!panelFile.isEmpty()) {
            QFile f(dir.path() + "/K-VEX-RB-ZD-VedudU300.uir");
            f.open(QIODevice::WriteOnly);
            f.write(panelFile);
        }
    }

    int Run(const QStringList &args) {
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QT_QPA_PLATFORM", "offscreen");
        p.setProcessEnvironment(env);
        p.start(program, args);
        if (!p.waitForFinished(20000)) {
            p.kill();
            return -1000;
        }
        return p.exitCode();
    }
};

QByteArray PanelFileWithout(int resourceId) {
    QFile f(PanelFileSource());
    f.open(QIODevice::ReadOnly);
    QJsonObject root = QJsonDocument::fromJson(f.readAll()).object();
    QJsonArray kept;
    for (const auto &p : root["panels"].toArray())
        if (p.toObject()["resourceId"].toInt() != resourceId) kept.append(p);
    root["panels"] = kept;
    return QJsonDocument(root).toJson();
}

// A pseudo-terminal whose far end is read by the test: whatever the program
// sends arrives here.
struct Listener {
    int master = -1;
    std::string slave;
    Listener() {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        grantpt(master);
        unlockpt(master);
        slave = ptsname(master);
    }
    ~Listener() { close(master); }
    bool Heard() {
        pollfd p{master, POLLIN, 0};
        return poll(&p, 1, 0) > 0 && (p.revents & POLLIN);
    }
};

}  // namespace

TEST(StartUp, StatusShowsInitVarsUntilTheLinkReports) {
    KVexApp app;
    ASSERT_TRUE(app.Start(false));
    EXPECT_EQ("InitVars", app.Status());
    EXPECT_EQ(1, stop_flag);
    EXPECT_EQ(1, target);
    EXPECT_EQ(128, thdArrayA[0]);
    EXPECT_EQ(128, thdArrayB[127]);
    EXPECT_EQ(0, KVexApp::U16(pHandle, PANEL_TOGGBTN_Recorder));
    // The panel file's defaults replaced the controlled words.
    EXPECT_EQ(512, parameter[PW_TEACH_A]);
    EXPECT_EQ(4096, parameter[PW_SCALE_LO]);
    EXPECT_EQ(37000, parameter[PW_SETPOINT_LO]);
}

TEST(StartUp, RecordFileDefaultsToTheProgramsFolderWhateverTheWorkingDirectory) {
    KVexApp app;
    ASSERT_EQ(0, chdir("/tmp"));
    ASSERT_TRUE(app.Start(false));
    const std::string expected =
        QCoreApplication::applicationDirPath().toStdString() + "/KVexRecord.dat";
    EXPECT_EQ(expected, recfile_name);
    char shown[300] = "";
    GetTextBoxLine(panelPopUp, POPUP_RecordFileName, 0, shown, sizeof shown);
    EXPECT_EQ(expected, shown);
}

TEST(StartUp, SubPanelsShareOnePlaceAndTheTolerancesFollowTheHardwareMode) {
    KVexApp app;
    ASSERT_TRUE(app.Start(false));
    for (int panel : {pPara1, pPara2, pCalib}) {
        int left = 0, top = 0;
        GetPanelAttribute(panel, ATTR_LEFT, &left);
        GetPanelAttribute(panel, ATTR_TOP, &top);
        EXPECT_EQ(8, left);
        EXPECT_EQ(98, top);
    }
    // Hardware mode 1 is the panel file's default.
    EXPECT_EQ(1, KVexApp::Attr(pPara1, PARA1_Para1Edit4, ATTR_DIMMED));
    EXPECT_EQ(1, KVexApp::Attr(pPara1, PARA1_Para1Edit3, ATTR_DIMMED));
}

TEST(Shutdown, ClosingTheMainPanelEndsTheProgramWithCodeZero) {
    kvexsim::SensorSim sensor(kvextest::FastSensor());
    ASSERT_TRUE(sensor.start());
    ClearComPortDevices();
    SetComPortDevice(1, sensor.devicePath().c_str());
    CloseMainWindowAfter(300);
    EXPECT_EQ(0, WinMain(nullptr, nullptr, nullptr, 1));
    EXPECT_EQ(1, stop_flag);
    EXPECT_EQ(0, CloseCom(com)) << "a third close is as harmless as the second";
}

TEST(Shutdown, ClosingTheMainPanelDuringRunModeStopsTheLoopFirst) {
    kvexsim::SensorSim sensor(kvextest::FastSensor());
    ASSERT_TRUE(sensor.start());
    ClearComPortDevices();
    SetComPortDevice(1, sensor.devicePath().c_str());
    // The run starts from the event loop, as the operator's click would.
    auto *start = new QTimer;
    QObject::connect(start, &QTimer::timeout, [start] {
        if (!MainWindow()) return;
        start->stop();
        start->deleteLater();
        KVexApp::Commit(CC_BTNRun, pHandle, PANEL_BTNRun);
    });
    start->start(50);
    CloseMainWindowAfter(900);
    EXPECT_EQ(0, WinMain(nullptr, nullptr, nullptr, 1));
    EXPECT_GT(sensor.commandCount(8), 3) << "run mode was running when the panel closed";
}

TEST(Shutdown, ClosingThePopUpStopsARunningLoopAndClearsItsToggle) {
    KVexApp app;
    ASSERT_TRUE(app.Start());
    SetCtrlVal(pHandle, PANEL_TOGGBTN_Recorder, 1);
    DisplayPanel(panelPopUp);
    stop_flag = 0;
    CC_POPUP(panelPopUp, EVENT_CLOSE, nullptr, 0, 0);
    EXPECT_EQ(1, stop_flag);
    EXPECT_EQ(0, KVexApp::U16(pHandle, PANEL_TOGGBTN_Recorder));
    int visible = 1;
    GetPanelAttribute(panelPopUp, ATTR_VISIBLE, &visible);
    EXPECT_EQ(0, visible);
}

TEST(BrokenPanelFile, MissingOrIncompleteFileEndsWithMinusOneBeforeAnythingIsSent) {
    Listener line;
    const QStringList args = {"--port", QString::fromStdString(line.slave)};
    {
        ProgramCopy noFile{QByteArray()};
        EXPECT_EQ(255, noFile.Run(args));
    }
    {
        ProgramCopy withoutFour(PanelFileWithout(4));
        EXPECT_EQ(255, withoutFour.Run(args));
    }
    {
        ProgramCopy damaged(QByteArray("{\"format\": \"kvex-panels\", \"panels\": [ {\"resour"));
        EXPECT_EQ(255, damaged.Run(args));
    }
    EXPECT_FALSE(line.Heard()) << "no panel, no port: the line stays quiet";
}

TEST(CommandLine, HelpAndVersionAnswerWithoutStartingTheWindows) {
    QProcess p;
    p.start(QCoreApplication::applicationDirPath() + "/kvex", {"--version"});
    ASSERT_TRUE(p.waitForFinished(10000));
    EXPECT_EQ(0, p.exitCode());
    EXPECT_TRUE(p.readAllStandardOutput().contains("Version 3.00b"));
    p.start(QCoreApplication::applicationDirPath() + "/kvex", {"--help"});
    ASSERT_TRUE(p.waitForFinished(10000));
    EXPECT_TRUE(p.readAllStandardOutput().contains("--simulate"));
}
