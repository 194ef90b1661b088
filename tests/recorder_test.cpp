// The data recorder and the parameter file against the simulated sensor, the
// files checked byte for byte.
#include "recorder.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <QDir>
#include <QPlainTextEdit>
#include <QTest>
#include <QTimer>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "kvex_app.h"
#include "ui_qt.h"
#include "ui_testing.h"

using kvextest::KVexApp;

namespace {

std::string ReadBytes(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

void WriteBytes(const std::string &path, const std::string &bytes) {
    std::ofstream f(path, std::ios::binary);
    f << bytes;
}

// Lines without their CR LF; fails the test on a bare LF.
std::vector<std::string> CrLfLines(const std::string &bytes) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < bytes.size()) {
        const std::size_t end = bytes.find("\r\n", start);
        EXPECT_NE(std::string::npos, end) << "every line ends with CR LF";
        if (end == std::string::npos) break;
        const std::string line = bytes.substr(start, end - start);
        EXPECT_EQ(std::string::npos, line.find('\n'));
        lines.push_back(line);
        start = end + 2;
    }
    return lines;
}

// A disk that is full after this many bytes of any one file: writes beyond
// fail (EFBIG) instead of raising a signal.
class FileSizeLimit {
  public:
    explicit FileSizeLimit(rlim_t bytes) {
        std::signal(SIGXFSZ, SIG_IGN);
        getrlimit(RLIMIT_FSIZE, &saved_);
        rlimit small = saved_;
        small.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &small);
    }
    ~FileSizeLimit() { setrlimit(RLIMIT_FSIZE, &saved_); }
    FileSizeLimit(const FileSizeLimit &) = delete;
    FileSizeLimit &operator=(const FileSizeLimit &) = delete;

  private:
    rlimit saved_{};
};

std::string TempPath(const char *name) {
    const std::string dir = std::string(KVEX_TEST_OUTPUT) + "/recorder";
    mkdir(dir.c_str(), 0755);
    return dir + "/" + name;
}

// The dialog answers with this path, or cancels when it is empty.
void AnswerDialogWith(const std::string &path) {
    SetFileSelectScript([path](const FileSelectRequest &, std::string &answer) {
        answer = path;
        return !path.empty();
    });
}

void UseRecordFile(const std::string &path) {
    std::snprintf(recfile_name, sizeof recfile_name, "%s", path.c_str());
    std::remove(path.c_str());
}

void SetRecorder(int samples, int interval) {
    SetCtrlVal(panelPopUp, POPUP_NEDITRecSamples, samples);
    SetCtrlVal(panelPopUp, POPUP_NEDITRecTime, interval);
}

void StartRecording() { KVexApp::Commit(CC_BTNStartRecord, panelPopUp, POPUP_BTNStartRecord); }

std::string Log() {
    char text[600] = "";
    GetCtrlVal(panelPopUp, POPUP_RecorderLog, text, sizeof text);
    return text;
}

class Recorder : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(app.Start()); }
    void TearDown() override { SetFileSelectScript(nullptr); }
    KVexApp app;
};

}  // namespace

TEST_F(Recorder, TwentySamplesAtIntervalZeroMatchTheFormatByteForByte) {
    const std::string path = TempPath("twenty.dat");
    UseRecordFile(path);
    SetRecorder(20, 0);
    StartRecording();

    const std::string bytes = ReadBytes(path);
    const auto lines = CrLfLines(bytes);
    ASSERT_EQ(22u, lines.size());
    // MM-DD-YYYY HH:MM:SS, two spaces, the label, the interval.
    const std::string &h1 = lines[0];
    ASSERT_EQ(19u + 41u + 1u, h1.size());
    for (int i : {0, 1, 3, 4, 6, 7, 8, 9, 11, 12, 14, 15, 17, 18})
        EXPECT_TRUE(std::isdigit(static_cast<unsigned char>(h1[i]))) << "at " << i;
    EXPECT_EQ('-', h1[2]);
    EXPECT_EQ('-', h1[5]);
    EXPECT_EQ(' ', h1[10]);
    EXPECT_EQ(':', h1[13]);
    EXPECT_EQ(':', h1[16]);
    EXPECT_EQ("  K-VEX-RECORDER-FILE: Time-Interval[s]: 0", h1.substr(19));
    EXPECT_EQ(std::string("SETPOINT-VALUE [") + '\xB5' + "m]: 37000", lines[1]);

    for (std::size_t i = 2; i < lines.size(); ++i) {
        std::istringstream row(lines[i]);
        long v[6];
        for (long &x : v) ASSERT_TRUE(row >> x) << lines[i];
        EXPECT_EQ(5, std::count(lines[i].begin(), lines[i].end(), '\t'));
        EXPECT_NE('\t', lines[i].back());
    }
    // The last line holds what the displays show.
    std::istringstream last(lines.back());
    long a, b, m, um, ea, eb;
    last >> a >> b >> m >> um >> ea >> eb;
    EXPECT_EQ(KVexApp::U16(pHandle, PANEL_Display17), a);
    EXPECT_EQ(KVexApp::U16(pHandle, PANEL_Display16), b);
    EXPECT_EQ(KVexApp::U16(pHandle, PANEL_Display15), m);
    double mm = 0;
    GetCtrlVal(pHandle, PANEL_Display14, &mm);
    EXPECT_DOUBLE_EQ(um / 1000.0, mm);
    EXPECT_EQ(20, KVexApp::U16(panelPopUp, POPUP_RecCounter));
    EXPECT_EQ("DATA-RECORDER", Log());
    EXPECT_EQ(0, KVexApp::Attr(pHandle, PANEL_CmdButton13, ATTR_DIMMED));
    EXPECT_EQ(0, KVexApp::Attr(pHandle, PANEL_CmdButton11, ATTR_DIMMED))
        << "a recording that ended by itself gives back Video and Get too";
    EXPECT_EQ(0, KVexApp::Attr(pHandle, PANEL_CmdButton4, ATTR_DIMMED));
    // Its start and its end stand in the log, the end on the status line.
    char log[8000] = "";
    StatusLog(log, sizeof log);
    EXPECT_NE(nullptr, std::strstr(log, ("Recording 20 samples every 0 s to " + path).c_str()))
        << log;
    char status[400] = "";
    GetCtrlVal(pHandle, PANEL_StatusLine, status, sizeof status);
    EXPECT_EQ("Recording complete: 20 of 20 samples in " + path, std::string(status));
    EXPECT_NE(nullptr, std::strstr(log, status)) << log;
}

TEST_F(Recorder, ZeroSamplesWritesTheHeaderOnly) {
    const std::string path = TempPath("header.dat");
    UseRecordFile(path);
    SetRecorder(0, 0);
    StartRecording();
    EXPECT_EQ(2u, CrLfLines(ReadBytes(path)).size());
}

TEST_F(Recorder, IntervalOneSpacesLinesByWholeTimerSeconds) {
    const std::string path = TempPath("interval.dat");
    UseRecordFile(path);
    SetRecorder(3, 1);
    std::vector<long> seconds;
    QTimer poll;
    unsigned short seen = 0;
    auto look = [&] {
        const unsigned short n = KVexApp::U16(panelPopUp, POPUP_RecCounter);
        if (n != seen) seconds.push_back(static_cast<long>(std::floor(Timer())));
        seen = n;
    };
    QObject::connect(&poll, &QTimer::timeout, look);
    poll.start(1);
    StartRecording();
    look();  // the last sample ends the recording in the pass that writes it
    ASSERT_EQ(3u, seconds.size());
    for (std::size_t i = 1; i < seconds.size(); ++i) EXPECT_GE(seconds[i] - seconds[i - 1], 1);
    EXPECT_EQ(5u, CrLfLines(ReadBytes(path)).size());
}

TEST_F(Recorder, EachStopEndsTheRecordingWithTheLinesSoFarOnDisk) {
    const struct {
        const char *name;
        void (*stop)();
    } stops[] = {
        {"stop_record.dat",
         [] { KVexApp::Commit(CC_BTNStopRecord, panelPopUp, POPUP_BTNStopRecord); }},
        {"stop_main.dat",
         [] { CC_BTNStop(pHandle, PANEL_BTNStop, EVENT_LEFT_CLICK, nullptr, 0, 0); }},
        {"close_popup.dat", [] { CC_POPUP(panelPopUp, EVENT_CLOSE, nullptr, 0, 0); }},
    };
    for (const auto &s : stops) {
        const std::string path = TempPath(s.name);
        UseRecordFile(path);
        SetRecorder(60000, 0);
        unsigned short written = 0;
        int asked = 0;
        QTimer::singleShot(400, [&] {
            written = KVexApp::U16(panelPopUp, POPUP_RecCounter);
            asked = app.sensor().commandCount(8);
            s.stop();
        });
        StartRecording();
        // No request after the stop; the reply to the one in flight may
        // still become the last line.
        EXPECT_LE(app.sensor().commandCount(8), asked + 1) << s.name;
        const auto lines = CrLfLines(ReadBytes(path));
        EXPECT_GE(lines.size(), 2u + written) << s.name;
        EXPECT_LE(lines.size(), 3u + written) << s.name;
        EXPECT_EQ(lines.size() - 2, KVexApp::U16(panelPopUp, POPUP_RecCounter)) << s.name;
    }
}

TEST_F(Recorder, AFileThatCannotBeWrittenIsReportedAndNothingRuns) {
    UseRecordFile("/nonexistent-folder/KVexRecord.dat");
    SetRecorder(10, 0);
    app.sensor().clearRequests();
    StartRecording();
    EXPECT_NE(std::string::npos, app.Status().find("/nonexistent-folder/KVexRecord.dat"));
    EXPECT_NE(std::string::npos, Log().find("Cannot write record file"));
    EXPECT_EQ(0, app.sensor().commandCount(8)) << "no recording without a file";
    EXPECT_EQ(1, stop_flag);
}

TEST_F(Recorder, ChoosingAnExistingFileKeepsItUntilARecordingStarts) {
    const std::string path = TempPath("existing.dat");
    WriteBytes(path, "precious\r\n");
    AnswerDialogWith(path);
    KVexApp::Commit(CC_RecordFileNameBtn, panelPopUp, POPUP_RecordFileNameBtn);
    EXPECT_EQ(path, recfile_name);
    EXPECT_EQ("precious\r\n", ReadBytes(path));
    char shown[300] = "";
    GetCtrlVal(panelPopUp, POPUP_RecordFileName, shown, sizeof shown);
    EXPECT_EQ(path, shown);

    AnswerDialogWith("");
    KVexApp::Commit(CC_RecordFileNameBtn, panelPopUp, POPUP_RecordFileNameBtn);
    EXPECT_EQ(path, recfile_name) << "a cancelled dialog changes nothing";
}

TEST_F(Recorder, PlannedDurationSplitsIntervalTimesSamples) {
    SetRecorder(65535, 65535);
    SetCtrlVal(panelPopUp, POPUP_RecCounter, 9);
    KVexApp::Commit(CC_NEDITRecTime, panelPopUp, POPUP_NEDITRecTime);
    // 65535 * 65535 s = 49708 d 18 h 3 min 45 s
    unsigned int days = 0;
    GetCtrlVal(panelPopUp, POPUP_RecDays, &days);
    EXPECT_EQ(49708u, days);
    EXPECT_EQ(18, KVexApp::U16(panelPopUp, POPUP_RecHours));
    EXPECT_EQ(3, KVexApp::U16(panelPopUp, POPUP_RecMinutes));
    EXPECT_EQ(45, KVexApp::U16(panelPopUp, POPUP_RecSeconds));
    EXPECT_EQ(0, KVexApp::U16(panelPopUp, POPUP_RecCounter));
}

TEST_F(Recorder, RecorderToggleShowsAndHidesThePopUp) {
    SetCtrlVal(pHandle, PANEL_TOGGBTN_Recorder, 1);
    CC_TOGGBTN_Recorder(pHandle, PANEL_TOGGBTN_Recorder, EVENT_VAL_CHANGED, nullptr, 0, 0);
    int visible = 0;
    GetPanelAttribute(panelPopUp, ATTR_VISIBLE, &visible);
    EXPECT_EQ(1, visible);
    SetCtrlVal(pHandle, PANEL_TOGGBTN_Recorder, 0);
    CC_TOGGBTN_Recorder(pHandle, PANEL_TOGGBTN_Recorder, EVENT_VAL_CHANGED, nullptr, 0, 0);
    GetPanelAttribute(panelPopUp, ATTR_VISIBLE, &visible);
    EXPECT_EQ(0, visible);
}

// ---------------------------------------------------------------- parameter file

TEST_F(Recorder, ParameterFileRoundTripsThirtyWordsInItsLayout) {
    const std::string path = TempPath("KVEXpara.cfg");
    std::remove(path.c_str());
    target = 3;
    SetCtrlVal(pHandle, PANEL_NEDITeachA, 1234);
    SetCtrlVal(pCalib, CALIB_CalibEdit9, 4.5);
    AnswerDialogWith(path);
    KVexApp::Commit(CC_BTNSend, pHandle, PANEL_BTNSend);

    const std::string bytes = ReadBytes(path);
    const auto lines = CrLfLines(bytes);
    ASSERT_EQ(30u, lines.size());
    for (const auto &l : lines) EXPECT_EQ(10u, l.size()) << "[" << l << "]";
    EXPECT_EQ("      1234", lines[2]);
    EXPECT_EQ("      8192", lines[26]);
    EXPECT_EQ("         1", lines[27]);
    unsigned short saved[34];
    std::memcpy(saved, parameter, sizeof saved);

    // Changed on screen, then loaded back: the file's words return and
    // nothing goes to the sensor.
    SetCtrlVal(pHandle, PANEL_NEDITeachA, 99);
    GetPanelValues();
    app.sensor().clearRequests();
    KVexApp::Commit(CC_BTNGet, pHandle, PANEL_BTNGet);
    EXPECT_EQ(1234, KVexApp::U16(pHandle, PANEL_NEDITeachA));
    for (int w = 3; w < 34; ++w) {
        if (w == 29) continue;  // carries nothing
        EXPECT_EQ(saved[w], parameter[w]) << "word " << w;
    }
    KVexApp::Pump(0.2);
    EXPECT_EQ(0u, app.sensor().requestCount());

    // A following send to RAM carries exactly the loaded words.
    target = 1;
    KVexApp::Commit(CC_BTNSend, pHandle, PANEL_BTNSend);
    ASSERT_TRUE(app.sensor().waitForRequests(2, 1.0));
    EXPECT_EQ(1234, app.sensor().ram(0)[2]);
    EXPECT_EQ(8192, app.sensor().ram(1)[11]);
}

TEST_F(Recorder, DialogsAskWithTheirTitlesNamesAndFilters) {
    std::vector<FileSelectRequest> asked;
    SetFileSelectScript([&](const FileSelectRequest &r, std::string &) {
        asked.push_back(r);
        return false;
    });
    KVexApp::Commit(CC_RecordFileNameBtn, panelPopUp, POPUP_RecordFileNameBtn);
    target = 3;
    KVexApp::Commit(CC_BTNSend, pHandle, PANEL_BTNSend);
    KVexApp::Commit(CC_BTNGet, pHandle, PANEL_BTNGet);
    ASSERT_EQ(3u, asked.size());
    EXPECT_EQ("K-VEX-Series Recorder-File:", asked[0].title);
    EXPECT_EQ("KVEXrecord.dat", asked[0].defaultName);
    EXPECT_EQ("*.dat", asked[0].filter);
    EXPECT_EQ("K-VEX-RB-Series Parameter File", asked[1].title);
    EXPECT_EQ("K-VEX-RB-Series-Parameter-File", asked[2].title);
    EXPECT_EQ(VAL_LOAD_BUTTON, asked[2].buttonLabel);
    for (const auto &r : asked) EXPECT_EQ(std::string(proj_dir), r.directory);
    EXPECT_EQ("KVEXpara.cfg", asked[2].defaultName);
    EXPECT_EQ("*.cfg", asked[1].filter);
}

TEST_F(Recorder, HandWrittenParameterFilesAreReadLeniently) {
    const std::string path = TempPath("hand.cfg");
    std::string text = "500 50\t777\n";  // other spacing, LF only
    for (int i = 3; i < 28; ++i) text += "1\r\n";
    text += "65535,00005\r\n";
    WriteBytes(path, text);
    AnswerDialogWith(path);
    target = 3;
    KVexApp::Commit(CC_BTNGet, pHandle, PANEL_BTNGet);
    EXPECT_EQ(777, parameter[PW_TEACH_A]);
    EXPECT_EQ(65535, parameter[32]);
    EXPECT_EQ(5, parameter[33]);
}

// What does not fit a word is never made to fit: nothing is loaded, and the
// status line names the file, the line and the value.
TEST_F(Recorder, ParameterFilesWithValuesThatFitNoWordAreRefused) {
    target = 3;
    GetPanelValues();
    unsigned short before[34];
    std::memcpy(before, parameter, sizeof before);
    std::string good;
    for (int i = 0; i < 30; ++i) good += "       100\r\n";
    const auto withLine7 = [&](const std::string &value) {
        std::string t = good;
        t.replace(6 * 12, 10, value);
        return t;
    };
    const struct {
        std::string content;
        const char *shown;
    } cases[] = {
        {withLine7("     99999"), "line 7: 99999 not 0..65535"},
        {withLine7("        -1"), "line 7: -1 not"},
        {withLine7("       NaN"), "line 7: NaN not"},
        {withLine7("1e40000000"), "line 7: 1e40000000 not"},
        {withLine7(std::string(10, '9')), "line 7: 9999999999 not"},
        {good + "1\r\n", "more than 30"},
        {std::string("\x7f"
                     "ELF\0\0",
                     6) +
             good,
         "not a text file"},
        {std::string(5000, ' ') + good, "too large"},
    };
    int n = 0;
    for (const auto &c : cases) {
        const std::string path = TempPath(("bad" + std::to_string(++n) + ".cfg").c_str());
        WriteBytes(path, c.content);
        AnswerDialogWith(path);
        KVexApp::Commit(CC_BTNGet, pHandle, PANEL_BTNGet);
        EXPECT_EQ(0, std::memcmp(before, parameter, sizeof before)) << c.shown;
        EXPECT_NE(std::string::npos, app.Status().find(c.shown)) << app.Status();
        EXPECT_NE(std::string::npos, app.Status().find(".cfg")) << app.Status();
    }
}

TEST_F(Recorder, UnreadableParameterFilesLeaveTheWordsAndSaySo) {
    target = 3;
    GetPanelValues();
    unsigned short before[34];
    std::memcpy(before, parameter, sizeof before);
    const std::string few = TempPath("few.cfg"), letters = TempPath("letters.cfg");
    WriteBytes(few, "1\r\n2\r\n3\r\n");
    WriteBytes(letters, "1\r\n2\r\nabc\r\n4\r\n");
    for (const std::string &path : {few, letters, TempPath("missing.cfg")}) {
        AnswerDialogWith(path);
        KVexApp::Commit(CC_BTNGet, pHandle, PANEL_BTNGet);
        EXPECT_EQ(0, std::memcmp(before, parameter, sizeof before)) << path;
        EXPECT_NE(std::string::npos, app.Status().find(".cfg")) << app.Status();
    }
    AnswerDialogWith("");
    KVexApp::Commit(CC_BTNGet, pHandle, PANEL_BTNGet);
    EXPECT_EQ(0, std::memcmp(before, parameter, sizeof before));
}

// A save that the disk cuts short leaves the last good file whole.
TEST_F(Recorder, AnInterruptedSaveKeepsTheLastGoodFile) {
    target = 3;
    const std::string path = TempPath("keep.cfg");
    AnswerDialogWith(path);
    KVexApp::Commit(CC_BTNSend, pHandle, PANEL_BTNSend);
    const std::string good = ReadBytes(path);
    ASSERT_EQ(360u, good.size());

    SetCtrlVal(pHandle, PANEL_NEDITeachA, 4321);
    {
        FileSizeLimit disk(100);
        KVexApp::Commit(CC_BTNSend, pHandle, PANEL_BTNSend);
    }
    EXPECT_NE(std::string::npos, app.Status().find("Cannot write parameter file")) << app.Status();
    EXPECT_EQ(good, ReadBytes(path));
    QDir folder(QString::fromStdString(TempPath("")));
    EXPECT_TRUE(folder.entryList({"keep.cfg.*"}, QDir::Files).isEmpty())
        << "no half-written copy stays behind";
}

TEST_F(Recorder, AParameterFileThatCannotBeWrittenIsReported) {
    target = 3;
    AnswerDialogWith("/nonexistent-folder/KVEXpara.cfg");
    KVexApp::Commit(CC_BTNSend, pHandle, PANEL_BTNSend);
    EXPECT_NE(std::string::npos, app.Status().find("Cannot write parameter file"));
}

// ------------------------------------------------------------ files the operator can trust

namespace {

std::string BoxLine(int line) {
    char text[300] = "";
    GetTextBoxLine(panelPopUp, POPUP_RecordFileName, line, text, sizeof text);
    return text;
}

}  // namespace

// Deleted, renamed, or its folder gone: the recording stops at the next
// sample and says so, instead of "recording" into nowhere.
TEST_F(Recorder, ARecordingWhoseFileVanishesStopsAndSaysSo) {
    const std::string dir = TempPath("vanishing");
    mkdir(dir.c_str(), 0755);
    const std::string path = dir + "/rec.dat";
    const std::function<void()> vanish[] = {
        [&] { std::remove(path.c_str()); },
        [&] { std::rename(path.c_str(), (path + ".old").c_str()); },
        [&] {
            std::remove(path.c_str());
            rmdir(dir.c_str());
        },
    };
    for (const auto &v : vanish) {
        mkdir(dir.c_str(), 0755);
        UseRecordFile(path);
        SetRecorder(60000, 0);
        int asked = 0;
        QTimer::singleShot(300, [&] {
            asked = app.sensor().commandCount(8);
            v();
        });
        StartRecording();
        // It ended at the first sample that found the file gone.
        EXPECT_LE(app.sensor().commandCount(8), asked + 1);
        EXPECT_NE(std::string::npos, Log().find("Record file gone")) << Log();
        EXPECT_NE(std::string::npos, app.Status().find("rec.dat")) << app.Status();
        std::remove((path + ".old").c_str());
    }
}

// A disk that fills up: the file ends with the last whole line, and the
// counter shows just the lines on disk.
TEST_F(Recorder, AFullDiskLeavesNoTornLine) {
    const std::string path = TempPath("full.dat");
    UseRecordFile(path);
    SetRecorder(500, 0);
    {
        FileSizeLimit disk(150);
        StartRecording();
    }
    const std::string bytes = ReadBytes(path);
    ASSERT_FALSE(bytes.empty());
    EXPECT_EQ("\r\n", bytes.substr(bytes.size() - 2));
    const auto lines = CrLfLines(bytes);
    EXPECT_EQ(lines.size() - 2, KVexApp::U16(panelPopUp, POPUP_RecCounter));
    EXPECT_NE(std::string::npos, Log().find("Cannot write record file")) << Log();
}

// What the operator types into the box is the file used; a path that cannot
// take a recording is refused before anything goes to the sensor.
TEST_F(Recorder, ATypedPathIsUsedAndABadOneRefusedBeforeAnyRequest) {
    const std::string typed = TempPath("typed.dat");
    std::remove(typed.c_str());
    // Typed as the operator types: into the box, replacing what it showed.
    DisplayPanel(panelPopUp);
    auto *box = qobject_cast<QPlainTextEdit *>(UiControlWidget(panelPopUp, POPUP_RecordFileName));
    ASSERT_NE(nullptr, box);
    box->selectAll();
    QTest::keyClicks(box, QString::fromStdString(typed));
    SetRecorder(3, 0);
    StartRecording();
    EXPECT_EQ(5u, CrLfLines(ReadBytes(typed)).size());
    EXPECT_EQ(typed, recfile_name);

    app.sensor().clearRequests();
    for (const std::string &bad : {std::string("/nonexistent-folder/x.dat"), TempPath("")}) {
        SetCtrlVal(panelPopUp, POPUP_RecordFileName, bad.c_str());
        StartRecording();
        EXPECT_NE(std::string::npos, Log().find("Cannot write record file (")) << Log();
        EXPECT_EQ(0, app.sensor().commandCount(8));
    }
}

// An existing recording is never replaced unasked: the next free name is
// taken and shown. A name chosen while recording is for the next recording.
TEST_F(Recorder, NothingIsReplacedUnaskedAndANewNameWaitsForTheNextRecording) {
    const std::string path = TempPath("keep.dat");
    const std::string second = TempPath("keep-2.dat"), later = TempPath("later.dat");
    for (const auto &p : {second, later}) std::remove(p.c_str());
    UseRecordFile(path);
    WriteBytes(path, "precious\r\n");
    SetRecorder(2, 0);
    StartRecording();
    EXPECT_EQ("precious\r\n", ReadBytes(path));
    EXPECT_EQ(4u, CrLfLines(ReadBytes(second)).size());
    EXPECT_EQ(second, BoxLine(0));

    SetRecorder(60000, 0);
    std::string shownDuring;
    QTimer::singleShot(300, [&] {
        AnswerDialogWith(later);
        KVexApp::Commit(CC_RecordFileNameBtn, panelPopUp, POPUP_RecordFileNameBtn);
        shownDuring = BoxLine(1);
        QTimer::singleShot(300, [] { stop_flag = 1; });
    });
    StartRecording();
    EXPECT_EQ("(used by the next recording)", shownDuring);
    EXPECT_GT(CrLfLines(ReadBytes(TempPath("keep-3.dat"))).size(), 4u) << "samples stayed on";
    struct stat st {};
    EXPECT_NE(0, stat(later.c_str(), &st));
    EXPECT_EQ(later, BoxLine(0));
    EXPECT_EQ("", BoxLine(1));
    std::remove(TempPath("keep-3.dat").c_str());
}

TEST_F(Recorder, AProgramFolderThatCannotBeWrittenSendsRecordingsToTheDocuments) {
    std::snprintf(proj_dir, sizeof proj_dir, "/nonexistent-program-folder");
    InitRecordFile();
    char documents[260] = "";
    ASSERT_EQ(0, GetDocumentsDir(documents));
    EXPECT_EQ(std::string(documents) + "/KVexRecord.dat", recfile_name);
    EXPECT_EQ(recfile_name, BoxLine(0));
}

// ------------------------------------------------------------ links, odd files, typed names

// A save goes to the file a link names and keeps what the file was: a link
// stays a link, both names of a hard-linked file see the new text, and the
// mode and owner stay.
TEST_F(Recorder, SavesKeepLinksModeAndOwner) {
    target = 3;
    const std::string dir = TempPath("links");
    mkdir(dir.c_str(), 0755);
    const std::string real = dir + "/real.cfg", link = dir + "/link.cfg";
    const std::string hard1 = dir + "/hard1.cfg", hard2 = dir + "/hard2.cfg";
    const std::string privy = dir + "/private.cfg";
    for (const auto &p : {real, link, hard1, hard2, privy}) std::remove(p.c_str());
    WriteBytes(real, "old\r\n");
    ASSERT_EQ(0, symlink("real.cfg", link.c_str()));
    WriteBytes(hard1, "old\r\n");
    ASSERT_EQ(0, ::link(hard1.c_str(), hard2.c_str()));
    WriteBytes(privy, "old\r\n");
    ASSERT_EQ(0, chmod(privy.c_str(), 0600));
    const bool root = geteuid() == 0;
    if (root) {
        ASSERT_EQ(0, chown(privy.c_str(), 4321, 4322));
    }

    for (const auto &p : {link, hard1, privy}) {
        AnswerDialogWith(p);
        KVexApp::Commit(CC_BTNSend, pHandle, PANEL_BTNSend);
        EXPECT_NE(std::string::npos, app.Status().find("Parameters saved")) << app.Status();
    }
    struct stat st {};
    ASSERT_EQ(0, lstat(link.c_str(), &st));
    EXPECT_TRUE(S_ISLNK(st.st_mode)) << "the link stays a link";
    EXPECT_EQ(360u, ReadBytes(real).size()) << "its target got the parameters";
    EXPECT_EQ(360u, ReadBytes(hard2).size()) << "the other name sees them too";
    struct stat one {
    }, two{};
    ASSERT_EQ(0, stat(hard1.c_str(), &one));
    ASSERT_EQ(0, stat(hard2.c_str(), &two));
    EXPECT_EQ(one.st_ino, two.st_ino);
    ASSERT_EQ(0, stat(privy.c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 07777);
    EXPECT_EQ(360u, ReadBytes(privy).size());
    if (root) {
        EXPECT_EQ(4321u, st.st_uid);
        EXPECT_EQ(4322u, st.st_gid);
    }
}

// A FIFO, a device or a folder never holds the window: each is refused with
// its reason, nothing goes to the sensor and nothing changes on the panels.
// Words no field can show are refused the same way; a byte-order mark is not.
TEST_F(Recorder, OddFilesAndWordsNoFieldShowsChangeNothing) {
    const std::string fifo = TempPath("pipe.cfg");
    std::remove(fifo.c_str());
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0644));
    target = 3;
    GetPanelValues();
    unsigned short before[34];
    std::memcpy(before, parameter, sizeof before);
    // Named as the dialog requires (*.cfg); a device node where the system
    // lets us make one, else /dev/null through a link.
    const std::string folder = TempPath("folder.cfg"), device = TempPath("null.cfg");
    mkdir(folder.c_str(), 0755);
    std::remove(device.c_str());
    if (mknod(device.c_str(), S_IFCHR | 0666, makedev(1, 3)) != 0) {
        ASSERT_EQ(0, symlink("/dev/null", device.c_str()));
    }
    const struct {
        std::string path;
        const char *why;
    } odd[] = {{fifo, "it is a FIFO"}, {device, "it is a device"}, {folder, "it is a folder"}};
    for (const auto &o : odd) {
        AnswerDialogWith(o.path);
        KVexApp::Commit(CC_BTNGet, pHandle, PANEL_BTNGet);
        EXPECT_NE(std::string::npos, app.Status().find(o.why)) << app.Status();
        EXPECT_EQ(0, std::memcmp(before, parameter, sizeof before)) << o.why;
        KVexApp::Commit(CC_BTNSend, pHandle, PANEL_BTNSend);
        EXPECT_NE(std::string::npos, app.Status().find("Cannot write parameter file"))
            << app.Status();
        EXPECT_NE(std::string::npos, app.Status().find(o.why)) << app.Status();

        app.sensor().clearRequests();
        SetCtrlVal(panelPopUp, POPUP_RecordFileName, o.path.c_str());
        SetRecorder(3, 0);
        StartRecording();
        EXPECT_NE(std::string::npos, Log().find(o.why)) << Log();
        EXPECT_EQ(0, app.sensor().commandCount(8));
    }

    // The evaluation mode (line 10) at 9, where its ring goes to 4.
    const std::string saved = TempPath("fine.cfg");
    AnswerDialogWith(saved);
    KVexApp::Commit(CC_BTNSend, pHandle, PANEL_BTNSend);
    std::string text = ReadBytes(saved);
    ASSERT_EQ(360u, text.size());
    std::string bad = text;
    bad.replace(9 * 12, 10, "         9");
    WriteBytes(TempPath("mode9.cfg"), bad);
    AnswerDialogWith(TempPath("mode9.cfg"));
    KVexApp::Commit(CC_BTNGet, pHandle, PANEL_BTNGet);
    EXPECT_NE(std::string::npos, app.Status().find("line 10: 9 not 0..4")) << app.Status();
    EXPECT_EQ(0, std::memcmp(before, parameter, sizeof before));

    std::string marked = "\xEF\xBB\xBF" + text;
    marked.replace(3 + 2 * 12, 10, "      1234");  // teach A
    WriteBytes(TempPath("bom.cfg"), marked);
    AnswerDialogWith(TempPath("bom.cfg"));
    KVexApp::Commit(CC_BTNGet, pHandle, PANEL_BTNGet);
    EXPECT_NE(std::string::npos, app.Status().find("Parameters loaded")) << app.Status();
    EXPECT_EQ(1234, KVexApp::U16(pHandle, PANEL_NEDITeachA));
}

// A name is taken whole or refused with its reason: a Tab or a line break
// typed into the box is no part of a file name. A name typed while a
// recording runs is the next recording's.
TEST_F(Recorder, TypedNamesAreTakenWholeOrRefusedWithTheirReason) {
    app.sensor().clearRequests();
    const struct {
        std::string typed;
        const char *why;
    } bad[] = {{TempPath("x.dat\t"), "its name holds a Tab"},
               {TempPath("new\nline.dat"), "its name holds a line break"}};
    for (const auto &b : bad) {
        SetCtrlVal(panelPopUp, POPUP_RecordFileName, b.typed.c_str());
        SetRecorder(3, 0);
        StartRecording();
        EXPECT_NE(std::string::npos, Log().find(b.why)) << Log();
        EXPECT_EQ(0, app.sensor().commandCount(8));
    }
    struct stat st {};
    EXPECT_NE(0, stat(TempPath("new").c_str(), &st)) << "the name was not cut";
    // Tab moves on from the box, as from every field; it never enters the name.
    auto *box = qobject_cast<QPlainTextEdit *>(UiControlWidget(panelPopUp, POPUP_RecordFileName));
    SetCtrlVal(panelPopUp, POPUP_RecordFileName, "");
    QTest::keyClicks(box, QStringLiteral("tabbed.dat"));
    QTest::keyClick(box, Qt::Key_Tab);
    EXPECT_EQ(QStringLiteral("tabbed.dat"), box->toPlainText());

    const std::string first = TempPath("first.dat"), next = TempPath("next.dat");
    for (const auto &p : {first, next}) std::remove(p.c_str());
    SetCtrlVal(panelPopUp, POPUP_RecordFileName, first.c_str());
    SetRecorder(60000, 0);
    QTimer::singleShot(300, [&] {
        auto *box =
            qobject_cast<QPlainTextEdit *>(UiControlWidget(panelPopUp, POPUP_RecordFileName));
        box->selectAll();
        QTest::keyClicks(box, QString::fromStdString(next));
        QTimer::singleShot(200, [] { stop_flag = 1; });
    });
    StartRecording();
    EXPECT_GT(CrLfLines(ReadBytes(first)).size(), 2u);
    EXPECT_EQ(next, BoxLine(0)) << "the typed name stays for the next recording";
    char status[400] = "";
    GetCtrlVal(pHandle, PANEL_StatusLine, status, sizeof status);
    EXPECT_EQ(0, std::strncmp(status, "Recording stopped: ", 19)) << status;
    SetRecorder(2, 0);
    StartRecording();
    EXPECT_EQ(4u, CrLfLines(ReadBytes(next)).size());
}
