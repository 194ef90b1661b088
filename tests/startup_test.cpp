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
#include <cstring>
#include <functional>
#include <string>

#include "kvex_app.h"
#include "kvex_process.h"

using kvextest::KVexApp;

namespace {

QWidget *MainWindow() {
    for (QWidget *w : QApplication::topLevelWidgets())
        if (w->isVisible() && w->windowTitle().startsWith("K-VEX-RB-ZD")) return w;
    return nullptr;
}

// Closes the main window from the event loop, as the operator's close box
// does, once it is shown and the given time has passed.
// Closes the main window once it is there, ms have passed and, if given,
// ready() says so.
void CloseMainWindowAfter(int ms, std::function<bool()> ready = {}) {
    auto *timer = new QTimer;
    const double due = Timer() + ms / 1000.0;
    QObject::connect(timer, &QTimer::timeout, [timer, due, ready] {
        QWidget *w = MainWindow();
        if (!w || Timer() < due || (ready && !ready())) return;
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

    QString errors;  // what the last run wrote to standard error

    int Run(const QStringList &args) {
        const kvextest::Finished r = kvextest::RunProgram(program, args);
        errors = r.err;
        return r.code;
    }
};

// The panel file with one control of the main panel changed by edit, or
// taken out when edit returns false.
QByteArray PanelFileWithControl(const char *name, bool (*edit)(QJsonObject &)) {
    QFile f(PanelFileSource());
    f.open(QIODevice::ReadOnly);
    QJsonObject root = QJsonDocument::fromJson(f.readAll()).object();
    QJsonArray panels;
    for (const auto &pv : root["panels"].toArray()) {
        QJsonObject p = pv.toObject();
        QJsonArray controls;
        for (const auto &cv : p["controls"].toArray()) {
            QJsonObject c = cv.toObject();
            if (c["name"].toString() == QLatin1String(name) && !edit(c)) continue;
            controls.append(c);
        }
        p["controls"] = controls;
        panels.append(p);
    }
    root["panels"] = panels;
    return QJsonDocument(root).toJson();
}

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

TEST(Handshake, FirstFrameIsTheLineCheckCarryingParameterFrameZero) {
    KVexApp app;
    ASSERT_TRUE(app.Start());
    const auto requests = app.sensor().requests();
    ASSERT_FALSE(requests.empty());
    const auto &b = requests[0].bytes;
    const unsigned char head[6] = {0x00, 0x55, 0x00, 0x05, 0x00, 0x00};
    EXPECT_EQ(0, std::memcmp(b.data(), head, 6));
    // The panel file's defaults: the start values of frame 0.
    const unsigned short frame0[15] = {500, 50, 512, 1, 2048, 50, 50, 1, 1, 1, 1, 0, 1, 1, 0};
    for (int i = 0; i < 15; ++i)
        EXPECT_EQ(frame0[i], b[6 + 2 * i] << 8 | b[7 + 2 * i]) << "payload word " << i;
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
        EXPECT_EQ(72, top);
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
    // On a busy machine the start-up may take a while: the close comes once
    // run mode has made a few exchanges.
    CloseMainWindowAfter(300, [&sensor] { return sensor.commandCount(8) > 3; });
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

// Whatever is wrong with the panel file, the program ends with -1 before it
// opens the port, and one line on standard error says which file, which
// panel and what.
TEST(BrokenPanelFile, EndsWithMinusOneAndOneLineSayingWhy) {
    Listener line;
    const QStringList args = {"--port", QString::fromStdString(line.slave)};
    const struct {
        QByteArray file;
        const char *said;
    } cases[] = {
        {QByteArray(), "cannot be opened"},
        {PanelFileWithout(4), "PARA2 (4): no panel 4"},
        {QByteArray("{\"format\": \"kvex-panels\", \"panels\": [ {\"resour"), "no JSON object"},
        {PanelFileWithControl("StatusLine", [](QJsonObject &) { return false; }),
         "PANEL (2): control StatusLine (id 21) is missing"},
        {PanelFileWithControl("StatusLine",
                              [](QJsonObject &c) {
                                  c["kind"] = "picture";
                                  return true;
                              }),
         "control StatusLine (id 21) is a picture, not a text_msg"},
        // Found by the panel-file fuzzer: a line break in the file's own text.
        {PanelFileWithControl("TOGBTN_Zoom",
                              [](QJsonObject &c) {
                                  c["kind"] = "toggle\nbutton";
                                  return true;
                              }),
         "unknown kind \"toggle?button\""},
        {PanelFileWithControl("DropDCom",
                              [](QJsonObject &c) {
                                  c["top"] = "high";
                                  return true;
                              }),
         "control \"DropDCom\" (id 2): bad or missing \"top\""},
        // Found by the start-up fuzzer: Teach B would do nothing when used.
        {PanelFileWithControl("NEDITeachB",
                              [](QJsonObject &c) {
                                  c["callback"] = "CC_NEDITeach";
                                  return true;
                              }),
         "PANEL (2): unknown callback CC_NEDITeach for control NEDITeachB"},
    };
    for (const auto &c : cases) {
        ProgramCopy copy(c.file);
        EXPECT_EQ(255, copy.Run(args)) << c.said;
        QStringList said;  // Qt may add warnings of its own
        for (const QString &l : copy.errors.split('\n'))
            if (l.startsWith("kvex: ")) said << l;
        ASSERT_EQ(1, said.size()) << copy.errors.toStdString();
        EXPECT_TRUE(said[0].startsWith("kvex: panel file K-VEX-RB-ZD-VedudU300.uir, panel "))
            << said[0].toStdString();
        EXPECT_TRUE(said[0].contains(QLatin1String(c.said))) << said[0].toStdString();
    }
    EXPECT_FALSE(line.Heard()) << "no panel, no port: the line stays quiet";
}

TEST(CommandLine, HelpAndVersionAnswerWithoutStartingTheWindows) {
    const kvextest::Finished version = kvextest::RunKvex({"--version"});
    EXPECT_EQ(0, version.code);
    EXPECT_TRUE(version.out.contains("Version 3.00b"));
    const kvextest::Finished usage = kvextest::RunKvex({"--help"});
    const QByteArray help = usage.out.toUtf8();
    EXPECT_TRUE(help.contains("--simulate"));
    for (const char *verb : {"info", "params", "record", "publish", "stats"})
        EXPECT_TRUE(help.contains(QByteArray("kvex ") + verb)) << "the help names " << verb;
}
