// The user-interface run-time on Qt: panels from the panel file, the events
// that real widget input sends to callbacks, typed control values, graphs,
// strip charts, the event loop, files, dialogs and text formatting.
#include <gtest/gtest.h>
#include <qcustomplot.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QAccessible>
#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QSlider>
#include <QSpinBox>
#include <QStyleOptionSlider>
#include <QTest>
#include <QTimer>
#include <QToolTip>
#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "ui.h"
#include "ui_qt.h"
#include "ui_testing.h"

namespace {

struct Event {
    int control;
    int event;
};

std::vector<Event> events;
std::vector<int> panelEvents;
int panelsLoaded = 0;  // panels this process loaded before the current test

int CC_Record(int, int control, int event, void *, int, int) {
    events.push_back({control, event});
    return 0;
}

int CC_TestPanel(int, int event, void *, int, int) {
    panelEvents.push_back(event);
    return 0;
}

int CC_DiscardOwnPanel(int panel, int, int event, void *, int, int) {
    if (event == EVENT_COMMIT) DiscardPanel(panel);
    return 0;
}

const std::string kFixture = std::string(KVEX_TEST_FIXTURES) + "/ui_test_panels.uir";

std::string OutPath(const std::string &name) { return std::string(KVEX_TEST_OUTPUT) + "/" + name; }

std::string ReadBytes(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void WriteBytes(const std::string &path, const std::string &bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

std::vector<int> CodesOf(int control) {
    std::vector<int> codes;
    for (const Event &e : events)
        if (e.control == control) codes.push_back(e.event);
    return codes;
}

double CpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

void Pump(double seconds) {
    const double t0 = Timer();
    while (Timer() - t0 < seconds) ProcessSystemEventsUntil(t0 + seconds);
}

void Settle() {
    for (int i = 0; i < 20; ++i) ProcessSystemEvents();
}

// Times this thread went to sleep and was woken since it started.
long ThreadWakeUps() {
    rusage u{};
    getrusage(RUSAGE_THREAD, &u);
    return u.ru_nvcsw;
}

std::vector<std::pair<std::string, int>> reports;

void RecordReport(const char *text, int failed) { reports.emplace_back(text, failed); }

int passCalls = 0, passDepth = 0, passDeepest = 0;
bool passAsks = false;  // the next pass opens a question of its own

void CountingPass() {
    ++passCalls;
    passDeepest = std::max(passDeepest, ++passDepth);
    if (passAsks) {
        passAsks = false;
        ConfirmPopup("From the pass", "Again?");
    }
    --passDepth;
}

// A person taking time to answer, while events go on.
void Hold(double seconds) {
    const double t0 = Timer();
    while (Timer() - t0 < seconds) ProcessSystemEvents();
}

// Right-clicks the widget. The menu pops up and this returns while it is
// open; a menu that ran a loop of its own would hold this until the guard
// closes it, and nothing would be open any more.
QMenu *OpenContextMenu(QWidget *w) {
    QObject guard;
    QTimer::singleShot(3000, &guard, [] {
        if (QWidget *open = QApplication::activePopupWidget()) open->close();
    });
    const QPoint at = w->rect().center();
    QContextMenuEvent event(QContextMenuEvent::Mouse, at, w->mapToGlobal(at));
    QApplication::sendEvent(w, &event);
    return qobject_cast<QMenu *>(QApplication::activePopupWidget());
}

void Choose(QMenu *menu, const QString &item) {
    for (QAction *a : menu->actions())
        if (a->text() == item)
            return QTest::mouseClick(menu, Qt::LeftButton, {}, menu->actionGeometry(a).center());
    ADD_FAILURE() << "no menu item " << item.toStdString();
}

template <class W>
W *ShownWindow() {
    for (QWidget *w : QApplication::topLevelWidgets())
        if (auto *found = qobject_cast<W *>(w); found && found->isVisible()) return found;
    return nullptr;
}

enum {
    kCmd = 2,
    kToggle = 3,
    kRadio = 4,
    kRing = 5,
    kNum = 6,
    kDisp = 7,
    kSlide = 8,
    kStatus = 9,
    kBox = 10,
    kGraphBar = 11,
    kGraphVideo = 12,
    kStrip = 13,
    kLogo = 14,
    kBand = 15,
    kLimited = 16,
    kReal = 17,
    kBig = 18,
    kWord = 19,
    kSigned = 20,
    kRadio2 = 22,
    kPixel = 23,
};

class UiTest : public ::testing::Test {
  protected:
    void SetUp() override {
        RegisterCtrlCallback("CC_Record", CC_Record);
        RegisterPanelCallback("CC_TestPanel", CC_TestPanel);
        firstLoad = panelsLoaded == 0;
        panel = LoadPanel(0, kFixture.c_str(), 10);
        ++panelsLoaded;
        ASSERT_GT(panel, 0);
        events.clear();
        panelEvents.clear();
    }
    void TearDown() override {
        DiscardPanel(panel);
        SetFileSelectScript({});
        SetConfirmScript({});
        SetExportReport(nullptr);
        SetModalPass(nullptr);
        Settle();
    }
    void Show() {
        DisplayPanel(panel);
        ASSERT_TRUE(QTest::qWaitForWindowExposed(UiPanelWidget(panel)));
        Settle();
        events.clear();
    }
    template <class W>
    W *Widget(int control) {
        auto *w = qobject_cast<W *>(UiControlWidget(panel, control));
        EXPECT_NE(w, nullptr);
        return w;
    }
    // What a display shows, as a screen reader reads it.
    QString Shown(int control) {
        QAccessibleInterface *a =
            QAccessible::queryAccessibleInterface(UiControlWidget(panel, control));
        EXPECT_NE(a, nullptr);
        return a ? a->text(QAccessible::Value) : QString();
    }
    int panel = 0;
    bool firstLoad = false;
};

// ---------------------------------------------------------------- loading

TEST_F(UiTest, HandlesStartAtOneAndAreNeverUsedAgain) {
    if (firstLoad) {
        EXPECT_EQ(panel, 1);
    }
    const int second = LoadPanel(0, kFixture.c_str(), 10);
    EXPECT_GT(second, panel);
    EXPECT_EQ(DiscardPanel(second), 0);
    EXPECT_LT(DiscardPanel(second), 0);
    const int third = LoadPanel(0, kFixture.c_str(), 10);
    EXPECT_GT(third, second);
    DiscardPanel(third);
    EXPECT_EQ(InitRunTime(0, nullptr), 0);  // a second start changes nothing
}

TEST_F(UiTest, TopLevelPanelIsAWindowWithTheFileTitleAndSize) {
    QWidget *w = UiPanelWidget(panel);
    ASSERT_NE(w, nullptr);
    EXPECT_TRUE(w->isWindow());
    EXPECT_EQ(w->windowTitle(), QStringLiteral("Run-time test panel"));
    // The panel's size, except where the screen is smaller (the offscreen one
    // is 800 x 600): then the screen's, with the rest reached by scrolling.
    const QSize screen = w->screen()->availableGeometry().size();
    EXPECT_EQ(w->size(), QSize(940, 640).boundedTo(screen));
    EXPECT_FALSE(w->isVisible());
    EXPECT_EQ(DisplayPanel(panel), 0);
    EXPECT_TRUE(w->isVisible());
    EXPECT_EQ(UiControlWidget(panel, kCmd)->objectName(), QStringLiteral("Cmd"));
    EXPECT_EQ(UiControlWidget(panel, kNum)->accessibleName(), QStringLiteral("Teach A"));
}

TEST_F(UiTest, SubPanelLivesInsideItsParentAndGoesWithIt) {
    const int sub = LoadPanel(panel, kFixture.c_str(), 11);
    ASSERT_GT(sub, 0);
    QWidget *w = UiPanelWidget(sub);
    EXPECT_EQ(w->window(), UiPanelWidget(panel));
    EXPECT_TRUE(w->isHidden());
    DisplayPanel(panel);
    EXPECT_EQ(DisplayPanel(sub), 0);
    EXPECT_TRUE(w->isVisible());
    EXPECT_EQ(SetPanelAttribute(sub, ATTR_LEFT, 8), 0);
    EXPECT_EQ(SetPanelAttribute(sub, ATTR_TOP, 98), 0);
    int left = 0, top = 0;
    GetPanelAttribute(sub, ATTR_LEFT, &left);
    GetPanelAttribute(sub, ATTR_TOP, &top);
    EXPECT_EQ(QPoint(left, top), QPoint(8, 98));
    EXPECT_EQ(HidePanel(sub), 0);
    EXPECT_TRUE(w->isHidden());
    unsigned short v = 0;
    EXPECT_EQ(GetCtrlVal(sub, 3, &v), 0);
    EXPECT_EQ(v, 7);
    DiscardPanel(panel);
    EXPECT_LT(GetCtrlVal(sub, 3, &v), 0);
    panel = LoadPanel(0, kFixture.c_str(), 10);  // for TearDown
}

TEST(UiLoad, BadFilesGiveNegativeHandlesWithoutCrashing) {
    const std::string path = OutPath("ui_damaged.uir");
    const std::string control =
        R"({"id": 2, "name": "A", "kind": "numeric", "left": 1, "top": 1, "width": 50, "height": 20)";
    auto file = [&](const std::string &controls, const std::string &panelExtra = "") {
        return R"({"format": "kvex-panels", "version": 1, "panels": [{"resourceId": 7,
                 "width": 100, "height": 100)" +
               panelExtra + R"(, "controls": [)" + controls + "]}]}";
    };
    const std::vector<std::string> damaged = {
        "{ broken",
        "[1, 2, 3]",
        R"({"format": "kvex-panels"})",
        R"({"format": "other", "panels": []})",
        R"({"panels": [5]})",
        R"({"panels": [{"resourceId": 7, "height": 100, "controls": []}]})",
        file(control + ", \"id\": \"7\"}"),
        file(control + ", \"kind\": \"knob\"}"),
        file(control + ", \"left\": 1e300}"),
        file(control + ", \"dataType\": \"string\"}"),
        file(control + ", \"min\": 10, \"max\": 1}"),
        file(control + ", \"items\": [{\"label\": 3, \"value\": 1}]}"),
        file(control + "}, " + control + "}"),  // the same id twice
        file(R"({"id": 2, "name": "A", "kind": "graph", "left": 1, "top": 1, "width": 5})"),
        file(control + "}", R"(, "backgroundColor": "0xZZ")"),
        file(control + ", \"shortcut\": \"Ctrl+Nowhere\"}"),
        file(control + ", \"stretch\": {\"width\": 2}}"),
        file(control + ", \"tabIndex\": -3}"),
    };
    for (const std::string &text : damaged) {
        WriteBytes(path, text);
        EXPECT_EQ(LoadPanel(0, path.c_str(), 7), -2) << text;
    }
    WriteBytes(path, file(control + "}"));
    EXPECT_GT(LoadPanel(0, path.c_str(), 7), 0);
    EXPECT_EQ(LoadPanel(0, path.c_str(), 8), -3);
    EXPECT_EQ(LoadPanel(9999, path.c_str(), 7), -4);
    EXPECT_EQ(LoadPanel(0, OutPath("no_such_panels.uir").c_str(), 7), -1);
    EXPECT_EQ(LoadPanel(0, "no_such_panels.uir", 7), -1);
    EXPECT_EQ(LoadPanel(0, "/dev/zero", 7), -2);
}

TEST(UiLoad, StartingWithoutAWindowSystemFailsCleanly) {
    // The test program ends with 1 when InitRunTime refuses; a crash in the
    // window system's start-up would end it by a signal instead.
    char self[4096] = {};
    ASSERT_GT(readlink("/proc/self/exe", self, sizeof self - 1), 0);
    const std::string command =
        std::string("env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM= '") + self +
        "' --gtest_list_tests >/dev/null 2>&1";
    const int status = std::system(command.c_str());
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
}

TEST(UiLoad, UnknownCallbackNamesAreReportedAndLeftOut) {
    testing::internal::CaptureStderr();
    const int p = LoadPanel(0, kFixture.c_str(), 12);
    const std::string err = testing::internal::GetCapturedStderr();
    ASSERT_GT(p, 0);
    EXPECT_NE(err.find("unknown callback CC_NoSuchCallback for control Orphan"), std::string::npos);
    EXPECT_NE(err.find("CC_NoSuchPanelCallback"), std::string::npos);
    DisplayPanel(p);
    QTest::mouseClick(UiControlWidget(p, 2), Qt::LeftButton);  // nothing to call, no crash
    UiPanelWidget(p)->close();
    DiscardPanel(p);
}

TEST(UiLoad, BareNamesAreFoundInTheProgramDirectoryWhateverTheWorkingDirectory) {
    const QString name = QStringLiteral("ui_bare_%1.uir").arg(getpid());
    const QString copy = QCoreApplication::applicationDirPath() + "/" + name;
    QFile::remove(copy);
    ASSERT_TRUE(QFile::copy(QString::fromStdString(kFixture), copy));
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir("/"), 0);
    const int p = LoadPanel(0, name.toLocal8Bit().constData(), 11);
    char dir[260];
    EXPECT_EQ(GetProjectDir(dir), 0);
    EXPECT_EQ(chdir(cwd), 0);
    QFile::remove(copy);
    EXPECT_GT(p, 0);
    EXPECT_EQ(QString::fromLocal8Bit(dir), QCoreApplication::applicationDirPath());
    DiscardPanel(p);
}

// ---------------------------------------------------------------- events

TEST_F(UiTest, CommandButtonSendsLeftClickOnPressAndCommitOnRelease) {
    Show();
    QWidget *b = UiControlWidget(panel, kCmd);
    QTest::mousePress(b, Qt::LeftButton);
    EXPECT_EQ(CodesOf(kCmd), (std::vector<int>{EVENT_LEFT_CLICK}));
    QTest::mouseRelease(b, Qt::LeftButton);
    EXPECT_EQ(CodesOf(kCmd), (std::vector<int>{EVENT_LEFT_CLICK, EVENT_COMMIT}));
    events.clear();
    SetCtrlAttribute(panel, kCmd, ATTR_DIMMED, 1);
    QTest::mouseClick(b, Qt::LeftButton);
    EXPECT_TRUE(events.empty());
}

TEST_F(UiTest, ToggleAndRadioSendClickChangeCommitAndKeepTheirState) {
    Show();
    QTest::mouseClick(UiControlWidget(panel, kToggle), Qt::LeftButton);
    EXPECT_EQ(CodesOf(kToggle),
              (std::vector<int>{EVENT_LEFT_CLICK, EVENT_VAL_CHANGED, EVENT_COMMIT}));
    int on = 0;
    GetCtrlVal(panel, kToggle, &on);
    EXPECT_EQ(on, 1);

    // The program keeps radio buttons exclusive, not the widgets.
    QTest::mouseClick(UiControlWidget(panel, kRadio2), Qt::LeftButton);
    EXPECT_EQ(CodesOf(kRadio2),
              (std::vector<int>{EVENT_LEFT_CLICK, EVENT_VAL_CHANGED, EVENT_COMMIT}));
    int r1 = 0, r2 = 0;
    GetCtrlVal(panel, kRadio, &r1);
    GetCtrlVal(panel, kRadio2, &r2);
    EXPECT_EQ(r1, 1);
    EXPECT_EQ(r2, 1);

    // From the keyboard there is no mouse press, so no left click.
    events.clear();
    QTest::keyClick(UiControlWidget(panel, kToggle), Qt::Key_Space);
    EXPECT_EQ(CodesOf(kToggle), (std::vector<int>{EVENT_VAL_CHANGED, EVENT_COMMIT}));
    GetCtrlVal(panel, kToggle, &on);
    EXPECT_EQ(on, 0);
}

TEST_F(UiTest, RingSendsChangeAndCommitOnANewChoiceOnly) {
    Show();
    auto *box = Widget<QComboBox>(kRing);
    EXPECT_EQ(box->currentText(), QStringLiteral("COM2"));  // default value 2
    QTest::keyClick(box, Qt::Key_Down);
    EXPECT_EQ(CodesOf(kRing), (std::vector<int>{EVENT_VAL_CHANGED, EVENT_COMMIT}));
    int port = 0;
    GetCtrlVal(panel, kRing, &port);
    EXPECT_EQ(port, 5);
    events.clear();
    QTest::keyClick(box, Qt::Key_Down);  // already the last item
    EXPECT_TRUE(events.empty());
}

TEST_F(UiTest, NumericEditSendsChangesThenCommitsOnEnterAfterAChange) {
    Show();
    auto *edit = Widget<QSpinBox>(kNum);
    edit->setFocus();
    QTest::keyClick(edit, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClicks(edit, "123");
    EXPECT_FALSE(CodesOf(kNum).empty());
    for (int code : CodesOf(kNum)) EXPECT_EQ(code, EVENT_VAL_CHANGED);
    QTest::keyClick(edit, Qt::Key_Return);
    std::vector<int> codes = CodesOf(kNum);
    ASSERT_GE(codes.size(), 2u);
    EXPECT_EQ(codes[codes.size() - 2], EVENT_VAL_CHANGED);
    EXPECT_EQ(codes.back(), EVENT_COMMIT);
    unsigned short v = 0;
    GetCtrlVal(panel, kNum, &v);
    EXPECT_EQ(v, 123);
    events.clear();
    QTest::keyClick(edit, Qt::Key_Return);  // nothing changed since the commit
    EXPECT_TRUE(events.empty());
}

TEST_F(UiTest, NumericEditRefusesVisiblyWhatItsRangeCannotHold) {
    Show();
    auto *edit = Widget<QSpinBox>(kPixel);
    const QColor normal = edit->palette().color(QPalette::Base);
    edit->setFocus();
    QTest::keyClick(edit, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClicks(edit, "9999");  // the last 9 would make 9999, beyond 4096
    unsigned short v = 0;
    GetCtrlVal(panel, kPixel, &v);
    EXPECT_EQ(v, 999);
    EXPECT_EQ(edit->text(), QStringLiteral("999"));
    EXPECT_EQ(NumericRefusals(panel, kPixel), 1);
    const QColor flashed = edit->palette().color(QPalette::Base);
    EXPECT_NE(flashed, normal);
    EXPECT_GT(flashed.red(), flashed.green() + 40);
    EXPECT_TRUE(QToolTip::isVisible());
    EXPECT_EQ(QToolTip::text(), QStringLiteral("0 to 4096"));
    // A pasted word is no number: refused too, and the value stays.
    QGuiApplication::clipboard()->setText(QStringLiteral("wide"));
    QTest::keyClick(edit, Qt::Key_End);
    QTest::keyClick(edit, Qt::Key_V, Qt::ControlModifier);
    EXPECT_EQ(NumericRefusals(panel, kPixel), 2);
    EXPECT_EQ(edit->text(), QStringLiteral("999"));
    Pump(1.0);
    EXPECT_EQ(edit->palette().color(QPalette::Base), normal);
    // What the range holds is taken without a sign.
    QTest::keyClick(edit, Qt::Key_Backspace);
    QTest::keyClicks(edit, "5");
    GetCtrlVal(panel, kPixel, &v);
    EXPECT_EQ(v, 995);
    EXPECT_EQ(NumericRefusals(panel, kPixel), 2);
    EXPECT_EQ(edit->palette().color(QPalette::Base), normal);
    EXPECT_EQ(NumericRefusals(panel, kNum), 0);
    EXPECT_LT(NumericRefusals(panel, 99), 0);
}

TEST_F(UiTest, SliderSendsChangesWhileDraggedAndCommitsOnRelease) {
    Show();
    auto *slider = Widget<QSlider>(kSlide);
    QStyleOptionSlider opt;
    opt.initFrom(slider);
    opt.orientation = slider->orientation();
    opt.minimum = slider->minimum();
    opt.maximum = slider->maximum();
    opt.sliderPosition = opt.sliderValue = slider->value();
    const QPoint handle =
        slider->style()
            ->subControlRect(QStyle::CC_Slider, &opt, QStyle::SC_SliderHandle, slider)
            .center();
    auto send = [&](QEvent::Type type, QPoint at, Qt::MouseButton button, Qt::MouseButtons held) {
        QMouseEvent e(type, QPointF(at), slider->mapToGlobal(QPointF(at)), button, held,
                      Qt::NoModifier);
        QApplication::sendEvent(slider, &e);
    };
    send(QEvent::MouseButtonPress, handle, Qt::LeftButton, Qt::LeftButton);
    for (int dx = 5; dx <= 40; dx += 5)
        send(QEvent::MouseMove, handle + QPoint(dx, 0), Qt::NoButton, Qt::LeftButton);
    std::vector<int> codes = CodesOf(kSlide);
    ASSERT_FALSE(codes.empty());
    for (int code : codes) EXPECT_EQ(code, EVENT_VAL_CHANGED);
    send(QEvent::MouseButtonRelease, handle + QPoint(40, 0), Qt::LeftButton, Qt::NoButton);
    codes = CodesOf(kSlide);
    EXPECT_EQ(codes.back(), EVENT_COMMIT);
    unsigned short v = 0;
    GetCtrlVal(panel, kSlide, &v);
    EXPECT_GT(v, 50);
    EXPECT_EQ(v, slider->value());
}

TEST_F(UiTest, CloseBoxAsksThePanelCallbackAndTheWindowStays) {
    Show();
    QWidget *w = UiPanelWidget(panel);
    EXPECT_FALSE(w->close());
    EXPECT_EQ(panelEvents, (std::vector<int>{EVENT_CLOSE}));
    EXPECT_TRUE(w->isVisible());
}

TEST_F(UiTest, WritingValuesFiresNoCallbacks) {
    Show();
    SetCtrlVal(panel, kToggle, 1);
    SetCtrlVal(panel, kRadio, 0);
    SetCtrlVal(panel, kRing, 1);
    SetCtrlVal(panel, kNum, 77);
    SetCtrlVal(panel, kSlide, 10);
    SetCtrlVal(panel, kStatus, "text");
    Settle();
    EXPECT_TRUE(events.empty());
    EXPECT_TRUE(Widget<QPushButton>(kToggle)->isChecked());
    EXPECT_EQ(Widget<QComboBox>(kRing)->currentText(), QStringLiteral("COM1"));
    EXPECT_EQ(Widget<QSpinBox>(kNum)->value(), 77);
    EXPECT_EQ(Widget<QSlider>(kSlide)->value(), 10);
}

TEST_F(UiTest, ACallbackMayDiscardItsOwnPanel) {
    RegisterCtrlCallback("CC_DiscardOwnPanel", CC_DiscardOwnPanel);
    const std::string path = OutPath("ui_discard.uir");
    WriteBytes(path, R"({"panels": [{"resourceId": 1, "width": 100, "height": 50, "controls": [
        {"id": 2, "name": "Quit", "kind": "command_button", "left": 5, "top": 5, "width": 80,
         "height": 24, "callback": "CC_DiscardOwnPanel"}]}]})");
    const int p = LoadPanel(0, path.c_str(), 1);
    ASSERT_GT(p, 0);
    DisplayPanel(p);
    QTest::mouseClick(UiControlWidget(p, 2), Qt::LeftButton);
    EXPECT_EQ(UiPanelWidget(p), nullptr);
    Settle();
}

// ---------------------------------------------------------------- values

TEST_F(UiTest, ValuesAreConvertedAsCDoesThenLimitedToTheRange) {
    unsigned short us = 0;
    SetCtrlVal(panel, kNum, 70000);  // wraps to 16 bits
    GetCtrlVal(panel, kNum, &us);
    EXPECT_EQ(us, 4464);
    int i = 0;
    SetCtrlVal(panel, kLimited, -3.9);  // cut toward zero
    GetCtrlVal(panel, kLimited, &i);
    EXPECT_EQ(i, -3);
    SetCtrlVal(panel, kLimited, 500);
    GetCtrlVal(panel, kLimited, &i);
    EXPECT_EQ(i, 100);
    SetCtrlVal(panel, kLimited, -500.0);
    GetCtrlVal(panel, kLimited, &i);
    EXPECT_EQ(i, -100);
    short s = 0;
    SetCtrlVal(panel, kSigned, 40000);
    GetCtrlVal(panel, kSigned, &s);
    EXPECT_EQ(s, -25536);
    unsigned int u = 0;
    SetCtrlVal(panel, kBig, 4000000000u);
    GetCtrlVal(panel, kBig, &u);
    EXPECT_EQ(u, 4000000000u);
    SetCtrlVal(panel, kBig, -1);
    GetCtrlVal(panel, kBig, &u);
    EXPECT_EQ(u, 4294967295u);
    float f = 0;
    double d = 0;
    GetCtrlVal(panel, kReal, &f);
    EXPECT_FLOAT_EQ(f, 0.25f);
    SetCtrlVal(panel, kReal, 4.5);
    GetCtrlVal(panel, kReal, &d);
    EXPECT_DOUBLE_EQ(d, 4.5);
    GetCtrlVal(panel, kReal, &i);
    EXPECT_EQ(i, 4);
    SetCtrlVal(panel, kToggle, 5);
    GetCtrlVal(panel, kToggle, &i);
    EXPECT_EQ(i, 1);
    EXPECT_LT(SetCtrlVal(panel, kRing, 3), 0);  // no item with that value
    GetCtrlVal(panel, kRing, &i);
    EXPECT_EQ(i, 2);
    EXPECT_EQ(SetCtrlVal(panel, kNum, "321"), 0);
    GetCtrlVal(panel, kNum, &us);
    EXPECT_EQ(us, 321);
    EXPECT_LT(SetCtrlVal(panel, kNum, "twelve"), 0);
    EXPECT_LT(SetCtrlVal(panel, kCmd, 1), 0);
    EXPECT_LT(SetCtrlVal(panel, 99, 1), 0);
    EXPECT_LT(SetCtrlVal(panel + 1000, kNum, 1), 0);
}

TEST_F(UiTest, DisplaysShowTheirNumberAndStringsStayWithinTheBuffer) {
    SetCtrlVal(panel, kDisp, 3.14159);
    EXPECT_EQ(Shown(kDisp), QStringLiteral("3.142"));
    SetCtrlVal(panel, kWord, 65536 + 17);
    EXPECT_EQ(Shown(kWord), QStringLiteral("17"));
    char text[6];
    std::memset(text, 'x', sizeof text);
    SetCtrlVal(panel, kStatus, "Hello world");
    EXPECT_EQ(GetCtrlVal(panel, kStatus, text, sizeof text), 0);
    EXPECT_STREQ(text, "Hello");
    EXPECT_EQ(Widget<QLabel>(kStatus)->text(), QStringLiteral("Hello world"));
    SetCtrlVal(panel, kStatus, "7.8\xB5m");  // Latin-1 text keeps its bytes
    char back[32];
    GetCtrlVal(panel, kStatus, back, sizeof back);
    EXPECT_STREQ(back, "7.8\xB5m");
    EXPECT_EQ(Widget<QLabel>(kStatus)->text(), QString::fromUtf8("7.8\u00B5m"));
    GetCtrlVal(panel, kDisp, back, sizeof back);
    EXPECT_STREQ(back, "3.142");
}

TEST_F(UiTest, AttributesReportWhatIsInEffect) {
    int v = 0;
    EXPECT_EQ(SetCtrlAttribute(panel, kNum, ATTR_DIMMED, 1), 0);
    EXPECT_FALSE(UiControlWidget(panel, kNum)->isEnabled());
    GetCtrlAttribute(panel, kNum, ATTR_DIMMED, &v);
    EXPECT_EQ(v, 1);
    SetCtrlAttribute(panel, kGraphVideo, ATTR_VISIBLE, 0);
    EXPECT_TRUE(UiControlWidget(panel, kGraphVideo)->isHidden());
    EXPECT_TRUE(UiControlCaption(panel, kGraphVideo)->isHidden());
    GetCtrlAttribute(panel, kGraphVideo, ATTR_VISIBLE, &v);
    EXPECT_EQ(v, 0);
    SetCtrlAttribute(panel, kNum, ATTR_LEFT, 300);
    SetCtrlAttribute(panel, kNum, ATTR_TOP, 8);
    EXPECT_EQ(UiControlWidget(panel, kNum)->pos(), QPoint(300, 8));
    GetCtrlAttribute(panel, kNum, ATTR_LEFT, &v);
    EXPECT_EQ(v, 300);
    EXPECT_EQ(SetCtrlAttribute(panel, kDisp, ATTR_TEXT_BGCOLOR, 0xFF0000), 0);
    GetCtrlAttribute(panel, kDisp, ATTR_TEXT_BGCOLOR, &v);
    EXPECT_EQ(v, 0xFF0000);
    EXPECT_EQ(UiControlWidget(panel, kDisp)->palette().color(QPalette::Base), QColor(Qt::red));
    SetCtrlAttribute(panel, kDisp, ATTR_TEXT_COLOR, 0xFFFFFF);
    GetCtrlAttribute(panel, kDisp, ATTR_TEXT_COLOR, &v);
    EXPECT_EQ(v, 0xFFFFFF);
    GetCtrlAttribute(panel, kStatus, ATTR_TEXT_BGCOLOR, &v);
    EXPECT_EQ(v, 0x0080FF);  // from the file
    SetCtrlAttribute(panel, kBand, ATTR_FRAME_COLOR, 0xFFFFFF);
    GetCtrlAttribute(panel, kBand, ATTR_FRAME_COLOR, &v);
    EXPECT_EQ(v, 0xFFFFFF);
    EXPECT_EQ(UiControlWidget(panel, kBand)->palette().color(QPalette::Window), QColor(Qt::white));
    EXPECT_EQ(SetCtrlAttribute(panel, kCmd, ATTR_LABEL_TEXT, "Stop"), 0);
    EXPECT_EQ(Widget<QPushButton>(kCmd)->text(), QStringLiteral("Stop"));
    char label[3];
    GetCtrlAttribute(panel, kCmd, ATTR_LABEL_TEXT, label, sizeof label);
    EXPECT_STREQ(label, "St");
    GetCtrlAttribute(panel, kNum, ATTR_DATA_TYPE, &v);
    EXPECT_EQ(v, VAL_UNSIGNED_SHORT_INTEGER);
    EXPECT_LT(SetCtrlAttribute(panel, kNum, ATTR_DATA_TYPE, VAL_DOUBLE), 0);
    EXPECT_LT(SetCtrlAttribute(panel, kNum, 4242, 1), 0);
    EXPECT_LT(SetCtrlAttribute(panel, kNum, ATTR_TEXT_COLOR, 0x1000000), 0);
    EXPECT_LT(SetCtrlAttribute(panel, kNum, ATTR_NUM_TRACES, 2), 0);
}

TEST_F(UiTest, TextMessagesMadeAtRunTimeTakeFontColoursAndText) {
    const int id = NewCtrl(panel, CTRL_TEXT_MSG, "", 32, 300);
    ASSERT_GT(id, 0);
    EXPECT_EQ(SetCtrlAttribute(panel, id, ATTR_TEXT_FONT, "NIApp"), 0);
    SetCtrlAttribute(panel, id, ATTR_TEXT_BGCOLOR, 0x0080FF);
    SetCtrlAttribute(panel, id, ATTR_TEXT_COLOR, 0xFFFFFF);
    SetCtrlAttribute(panel, id, ATTR_TEXT_POINT_SIZE, 18);
    SetCtrlVal(panel, id, "K-VEX-RB-ZD-Vedoz");
    auto *label = Widget<QLabel>(id);
    EXPECT_EQ(label->pos(), QPoint(300, 32));
    EXPECT_EQ(label->text(), QStringLiteral("K-VEX-RB-ZD-Vedoz"));
    EXPECT_EQ(label->font().pixelSize(), 18);
    EXPECT_EQ(label->font().family(), QApplication::font().family());
    EXPECT_GE(label->width(), label->sizeHint().width());
    char font[32];
    int v = 0;
    GetCtrlAttribute(panel, id, ATTR_TEXT_FONT, font, sizeof font);
    EXPECT_STREQ(font, "NIApp");
    GetCtrlAttribute(panel, id, ATTR_TEXT_POINT_SIZE, &v);
    EXPECT_EQ(v, 18);
    EXPECT_NE(NewCtrl(panel, CTRL_TEXT_MSG, "second", 0, 0), id);
}

TEST_F(UiTest, TextBoxLinesAreReplacedByIndex) {
    EXPECT_EQ(ReplaceTextBoxLine(panel, kBox, 2, "third"), 0);
    int n = 0;
    GetNumTextBoxLines(panel, kBox, &n);
    EXPECT_EQ(n, 3);
    ReplaceTextBoxLine(panel, kBox, 0, "first");
    EXPECT_EQ(Widget<QPlainTextEdit>(kBox)->toPlainText(), QStringLiteral("first\n\nthird"));
    char line[16];
    GetTextBoxLine(panel, kBox, 2, line, sizeof line);
    EXPECT_STREQ(line, "third");
    EXPECT_EQ(ResetTextBox(panel, kBox, "DATA-RECORDER"), 0);
    GetNumTextBoxLines(panel, kBox, &n);
    EXPECT_EQ(n, 1);
    EXPECT_EQ(Widget<QPlainTextEdit>(kBox)->toPlainText(), QStringLiteral("DATA-RECORDER"));
    EXPECT_LT(ReplaceTextBoxLine(panel, kBox, -1, "x"), 0);
    EXPECT_LT(ReplaceTextBoxLine(panel, kStatus, 0, "x"), 0);
}

TEST_F(UiTest, PicturesShowBitmapsAndRefuseMissingFiles) {
    EXPECT_LT(DisplayImageFile(panel, kLogo, "no_such_logo.bmp"), 0);
    QImage image(60, 40, QImage::Format_RGB32);
    image.fill(Qt::blue);
    const std::string bmp = OutPath("ui_logo.bmp");
    ASSERT_TRUE(image.save(QString::fromStdString(bmp), "BMP"));
    EXPECT_EQ(DisplayImageFile(panel, kLogo, bmp.c_str()), 0);
    EXPECT_EQ(Widget<QLabel>(kLogo)->pixmap().size(), QSize(60, 40));
    EXPECT_LT(DisplayImageFile(panel, kStatus, bmp.c_str()), 0);
}

// ---------------------------------------------------------------- graphs

int VisibleRects(QCustomPlot *plot, std::vector<QCPItemRect *> *order = nullptr) {
    int n = 0;
    for (QCPLayerable *l : plot->layer(QStringLiteral("main"))->children()) {
        auto *r = qobject_cast<QCPItemRect *>(l);
        if (r && r->visible()) {
            ++n;
            if (order) order->push_back(r);
        }
    }
    return n;
}

TEST_F(UiTest, PlotsPersistUntilDeletedAndKeepDistinctHandles) {
    double x[128];
    unsigned short y[128];
    int xi[128];
    for (int i = 0; i < 128; ++i) {
        x[i] = i * 32.0;
        y[i] = static_cast<unsigned short>(i * 2);
        xi[i] = i * 32;
    }
    const int a = PlotXY(panel, kGraphVideo, x, y, 128, VAL_DOUBLE, VAL_UNSIGNED_SHORT_INTEGER,
                         VAL_CONNECTED_POINTS, VAL_SOLID_SQUARE, VAL_SOLID, 1, 0xFF0000);
    const int b = PlotXY(panel, kGraphVideo, xi, y, 128, VAL_INTEGER, VAL_UNSIGNED_SHORT_INTEGER,
                         VAL_CONNECTED_POINTS, VAL_SOLID_SQUARE, VAL_SOLID, 1, 0x008000);
    EXPECT_GT(a, 0);
    EXPECT_GT(b, 0);
    EXPECT_NE(a, b);
    Settle();
    int n = 0;
    GetNumGraphPlots(panel, kGraphVideo, &n);
    EXPECT_EQ(n, 2);
    QCustomPlot *plot = UiControlPlot(panel, kGraphVideo);
    ASSERT_EQ(plot->graphCount(), 2);
    EXPECT_EQ(plot->graph(0)->data()->size(), 128);
    EXPECT_DOUBLE_EQ((plot->graph(0)->data()->constBegin() + 5)->value, 10.0);
    EXPECT_EQ(plot->graph(1)->pen().color(), QColor(0x00, 0x80, 0x00));

    EXPECT_EQ(DeleteGraphPlot(panel, kGraphVideo, a, VAL_IMMEDIATE_DRAW), 0);
    EXPECT_LT(DeleteGraphPlot(panel, kGraphVideo, a, VAL_IMMEDIATE_DRAW), 0);
    GetNumGraphPlots(panel, kGraphVideo, &n);
    EXPECT_EQ(n, 1);
    const int c = PlotXY(panel, kGraphVideo, x, y, 64, VAL_DOUBLE, VAL_UNSIGNED_SHORT_INTEGER,
                         VAL_THIN_LINE, VAL_NO_POINT, VAL_SOLID, 1, 0x0000FF);
    EXPECT_NE(c, a);
    EXPECT_NE(c, b);
    EXPECT_EQ(plot->graphCount(), 2);  // the deleted curve was used again
    EXPECT_EQ(DeleteGraphPlot(panel, kGraphVideo, -1, VAL_DELAYED_DRAW), 0);
    GetNumGraphPlots(panel, kGraphVideo, &n);
    EXPECT_EQ(n, 0);
    for (int i = 0; i < plot->graphCount(); ++i) EXPECT_FALSE(plot->graph(i)->visible());
    EXPECT_LT(PlotXY(panel, kGraphVideo, x, y, 0, VAL_DOUBLE, VAL_INTEGER, 5, 10, 0, 1, 0), 0);
    EXPECT_LT(PlotXY(panel, kStrip, x, y, 8, VAL_DOUBLE, VAL_INTEGER, 5, 10, 0, 1, 0), 0);
}

TEST_F(UiTest, LevelRunsAreDrawnToTheirLastPoint) {
    // The curve stays level from 500 to 3000, then rises: the level line
    // reaches 3000, however few of its points draw it.
    SetAxisScalingMode(panel, kGraphVideo, VAL_XAXIS, VAL_MANUAL, 0, 4096);
    SetAxisScalingMode(panel, kGraphVideo, VAL_LEFT_YAXIS, VAL_MANUAL, 0, 256);
    const double x[] = {500, 1500, 2200, 3000, 3500};
    const double y[] = {100, 100, 100, 100, 200};
    ASSERT_GT(PlotXY(panel, kGraphVideo, x, y, 5, VAL_DOUBLE, VAL_DOUBLE, VAL_THIN_LINE,
                     VAL_NO_POINT, VAL_SOLID, 1, 0xFF0000),
              0);
    QCustomPlot *plot = UiControlPlot(panel, kGraphVideo);
    const QImage image = plot->grab().toImage();
    const int level = static_cast<int>(std::lround(plot->yAxis->coordToPixel(100)));
    const auto reddish = [&](int px) {
        for (int row = level - 1; row <= level + 1; ++row) {
            const QColor c = image.pixelColor(px, row);
            if (c.red() > c.green() + 60) return true;
        }
        return false;
    };
    int missing = 0;
    for (double k = 550; k <= 2950; k += 50)
        missing += !reddish(static_cast<int>(plot->xAxis->coordToPixel(k)));
    EXPECT_EQ(missing, 0);
    EXPECT_FALSE(reddish(static_cast<int>(plot->xAxis->coordToPixel(3300))));
}

TEST_F(UiTest, RectanglesDrawnLaterLieOnTopAfterReuse) {
    QCustomPlot *plot = UiControlPlot(panel, kGraphBar);
    const int red = PlotRectangle(panel, kGraphBar, 950, 0.25, 1050, 1.0, 0xFF0000, 0xFF0000);
    const int green = PlotRectangle(panel, kGraphBar, 1200, 0.0, 900, 0.35, 0x00FF00, 0x00FF00);
    EXPECT_NE(red, green);
    EXPECT_EQ(VisibleRects(plot), 2);
    DeleteGraphPlot(panel, kGraphBar, -1, VAL_DELAYED_DRAW);
    EXPECT_EQ(VisibleRects(plot), 0);
    PlotRectangle(panel, kGraphBar, 900, 0.0, 1200, 0.35, 0x00FF00, 0x00FF00);
    PlotRectangle(panel, kGraphBar, 950, 0.25, 1050, 1.0, 0xFF0000, VAL_TRANSPARENT);
    std::vector<QCPItemRect *> order;
    ASSERT_EQ(VisibleRects(plot, &order), 2);
    EXPECT_EQ(order[0]->brush().color(), QColor(Qt::green));
    EXPECT_EQ(order[1]->pen().color(), QColor(Qt::red));
    EXPECT_EQ(order[1]->brush().style(), Qt::NoBrush);
    EXPECT_DOUBLE_EQ(order[0]->topLeft->coords().x(), 900);
    EXPECT_DOUBLE_EQ(order[0]->topLeft->coords().y(), 0.35);
}

TEST_F(UiTest, CursorsMoveAndTheirMarkersChangeStyle) {
    EXPECT_EQ(SetGraphCursor(panel, kGraphBar, 1, 300, 0.75), 0);
    double x = 0, y = 0;
    GetGraphCursor(panel, kGraphBar, 1, &x, &y);
    EXPECT_DOUBLE_EQ(x, 300);
    EXPECT_DOUBLE_EQ(y, 0.75);
    EXPECT_LT(SetGraphCursor(panel, kGraphBar, 3, 1, 1), 0);
    EXPECT_LT(SetGraphCursor(panel, kGraphVideo, 1, 1, 1), 0);  // that graph has none
    int style = 0;
    GetCursorAttribute(panel, kGraphBar, 2, ATTR_CURSOR_POINT_STYLE, &style);
    EXPECT_EQ(style, VAL_SOLID_CIRCLE);
    EXPECT_EQ(SetCursorAttribute(panel, kGraphBar, 2, ATTR_CURSOR_POINT_STYLE, VAL_NO_POINT), 0);
    GetCursorAttribute(panel, kGraphBar, 2, ATTR_CURSOR_POINT_STYLE, &style);
    EXPECT_EQ(style, VAL_NO_POINT);
    std::vector<QCPItemTracer *> markers;
    std::vector<QCPItemStraightLine *> lines;
    QCustomPlot *plot = UiControlPlot(panel, kGraphBar);
    for (int i = 0; i < plot->itemCount(); ++i) {
        if (auto *t = qobject_cast<QCPItemTracer *>(plot->item(i))) markers.push_back(t);
        if (auto *l = qobject_cast<QCPItemStraightLine *>(plot->item(i))) lines.push_back(l);
    }
    ASSERT_EQ(markers.size(), 2u);
    EXPECT_EQ(markers[0]->style(), QCPItemTracer::tsCircle);
    EXPECT_EQ(markers[1]->style(), QCPItemTracer::tsNone);
    EXPECT_TRUE(lines[1]->visible());  // the line stays without its marker
    EXPECT_DOUBLE_EQ(markers[0]->position->coords().x(), 300);
    EXPECT_DOUBLE_EQ(lines[0]->point1->coords().x(), 300);
}

TEST_F(UiTest, AxesTakeManualRanges) {
    QCustomPlot *plot = UiControlPlot(panel, kGraphVideo);
    EXPECT_EQ(SetAxisScalingMode(panel, kGraphVideo, VAL_RIGHT_YAXIS, VAL_MANUAL, 0, 1024), 0);
    EXPECT_EQ(SetAxisScalingMode(panel, kGraphVideo, VAL_XAXIS, VAL_MANUAL, 1, 2048), 0);
    EXPECT_TRUE(plot->yAxis2->visible());
    EXPECT_DOUBLE_EQ(plot->yAxis2->range().upper, 1024);
    int mode = -1;
    double lo = 0, hi = 0;
    GetAxisScalingMode(panel, kGraphVideo, VAL_XAXIS, &mode, &lo, &hi);
    EXPECT_EQ(mode, VAL_MANUAL);
    EXPECT_DOUBLE_EQ(lo, 1);
    EXPECT_DOUBLE_EQ(hi, 2048);
    EXPECT_LT(SetAxisScalingMode(panel, kGraphVideo, VAL_XAXIS, VAL_MANUAL, 5, 5), 0);
    EXPECT_LT(SetAxisScalingMode(panel, kStatus, VAL_XAXIS, VAL_MANUAL, 0, 1), 0);
    EXPECT_EQ(SetAxisScalingMode(panel, kStrip, VAL_LEFT_YAXIS, VAL_MANUAL, 980, 1070), 0);
    EXPECT_DOUBLE_EQ(UiControlPlot(panel, kStrip)->yAxis->range().lower, 980);
}

TEST_F(UiTest, ManyChangesInOneTurnCostOneRedraw) {
    Show();
    QCustomPlot *plot = UiControlPlot(panel, kGraphBar);
    int redraws = 0;
    QObject::connect(plot, &QCustomPlot::afterReplot, [&] { ++redraws; });
    for (int i = 0; i < 50; ++i) {
        DeleteGraphPlot(panel, kGraphBar, -1, VAL_DELAYED_DRAW);
        SetGraphCursor(panel, kGraphBar, 1, i * 10.0, 0.75);
        PlotRectangle(panel, kGraphBar, i, 0.25, i + 20, 1, 0xFF0000, 0xFF0000);
    }
    EXPECT_EQ(redraws, 0);
    Settle();
    EXPECT_EQ(redraws, 1);
    EXPECT_EQ(VisibleRects(plot), 1);
}

// ---------------------------------------------------------------- strip chart

TEST_F(UiTest, StripChartAppendsInterleavedPointsPerTraceAndKeepsAScreenful) {
    double history[500];
    for (int k = 0; k < 500; ++k) history[k] = (k % 5) * 1000 + k / 5;  // trace t, point p
    EXPECT_EQ(PlotStripChart(panel, kStrip, history, 500, 0, 0, VAL_DOUBLE), 0);
    double trace[200];
    EXPECT_EQ(GetStripChartTrace(panel, kStrip, 4, trace, 200), 100);
    EXPECT_DOUBLE_EQ(trace[0], 3000);
    EXPECT_DOUBLE_EQ(trace[99], 3099);
    for (int k = 0; k < 500; ++k) history[k] = (k % 5) * 1000 + 100 + k / 5;
    PlotStripChart(panel, kStrip, history, 500, 0, 0, VAL_DOUBLE);
    ASSERT_EQ(GetStripChartTrace(panel, kStrip, 2, trace, 200), 101);
    EXPECT_DOUBLE_EQ(trace[0], 1099);  // the newest point of the previous call
    EXPECT_DOUBLE_EQ(trace[100], 1199);
    QCustomPlot *plot = UiControlPlot(panel, kStrip);
    ASSERT_EQ(plot->graphCount(), 5);
    EXPECT_EQ(plot->graph(4)->data()->size(), 101);
    EXPECT_DOUBLE_EQ((plot->graph(4)->data()->constEnd() - 1)->value, 4199);
    EXPECT_DOUBLE_EQ(plot->xAxis->range().upper, (plot->graph(4)->data()->constEnd() - 1)->key);

    // Setting what is already in effect keeps the points.
    SetCtrlAttribute(panel, kStrip, ATTR_POINTS_PER_SCREEN, 101);
    SetCtrlAttribute(panel, kStrip, ATTR_NUM_TRACES, 5);
    SetCtrlAttribute(panel, kStrip, ATTR_SCROLL_MODE, 1);
    EXPECT_EQ(GetStripChartTrace(panel, kStrip, 1, trace, 200), 101);
    int v = 0;
    GetCtrlAttribute(panel, kStrip, ATTR_SCROLL_MODE, &v);
    EXPECT_EQ(v, 1);
    EXPECT_EQ(SetTraceAttribute(panel, kStrip, 3, ATTR_TRACE_COLOR, 0x000000), 0);
    GetTraceAttribute(panel, kStrip, 3, ATTR_TRACE_COLOR, &v);
    EXPECT_EQ(v, 0);
    EXPECT_EQ(plot->graph(2)->pen().color(), QColor(Qt::black));
    SetTraceAttribute(panel, kStrip, 5, ATTR_TRACE_VISIBLE, 0);
    EXPECT_FALSE(plot->graph(4)->visible());
    EXPECT_LT(SetTraceAttribute(panel, kStrip, 6, ATTR_TRACE_COLOR, 0), 0);

    EXPECT_EQ(ClearStripChart(panel, kStrip), 0);
    EXPECT_EQ(GetStripChartTrace(panel, kStrip, 1, trace, 200), 0);
}

TEST_F(UiTest, StripChartReadsFromStartWithSkipsInAnyType) {
    SetCtrlAttribute(panel, kStrip, ATTR_NUM_TRACES, 2);
    const unsigned short data[] = {9, 10, 9, 20, 9, 11, 9, 21, 9};
    EXPECT_EQ(PlotStripChart(panel, kStrip, data, 4, 1, 1, VAL_UNSIGNED_SHORT_INTEGER), 0);
    double trace[4];
    ASSERT_EQ(GetStripChartTrace(panel, kStrip, 1, trace, 4), 2);
    EXPECT_DOUBLE_EQ(trace[0], 10);
    EXPECT_DOUBLE_EQ(trace[1], 11);
    ASSERT_EQ(GetStripChartTrace(panel, kStrip, 2, trace, 4), 2);
    EXPECT_DOUBLE_EQ(trace[1], 21);
    EXPECT_LT(PlotStripChart(panel, kStrip, data, 4, 0, 0, VAL_STRING), 0);
}

// ---------------------------------------------------------------- image

// Changes to plots are drawn together when the window paints, at most once
// per frame, and what is on screen is always the latest change.
TEST_F(UiTest, PlotChangesArePaintedOncePerFrameAndTheLatestIsShown) {
    Show();
    QCustomPlot *plot = UiControlPlot(panel, kGraphVideo);
    ASSERT_NE(plot, nullptr);
    int replots = 0;
    QObject::connect(plot, &QCustomPlot::afterReplot, [&] { ++replots; });
    double x[2] = {0, 4000};
    const auto plotLevel = [&](double level) {
        double y[2] = {level, level};
        DeleteGraphPlot(panel, kGraphVideo, -1, VAL_DELAYED_DRAW);
        PlotXY(panel, kGraphVideo, x, y, 2, VAL_DOUBLE, VAL_DOUBLE, 5, 10, 0, 1, 0xFF0000);
    };

    for (int i = 0; i < 200; ++i) plotLevel(i);
    EXPECT_EQ(replots, 0) << "nothing is drawn before the event processing";
    Pump(0.1);
    EXPECT_EQ(replots, 1);
    ASSERT_GT(plot->graphCount(), 0);
    EXPECT_DOUBLE_EQ(plot->graph(plot->graphCount() - 1)->data()->at(0)->value, 199.0);

    // Changes as fast as the loop can make them: painted at the frame rate
    // at most, and painted all along, not only at the end.
    replots = 0;
    const double t0 = Timer();
    int changes = 0;
    while (Timer() - t0 < 0.5) {
        plotLevel(++changes);
        ProcessSystemEvents();
    }
    Pump(0.1);
    EXPECT_GT(changes, 100);
    EXPECT_LE(replots, 0.5 * 120 + 2) << changes << " changes";
    EXPECT_GE(replots, 5) << changes << " changes";
    EXPECT_DOUBLE_EQ(plot->graph(plot->graphCount() - 1)->data()->at(0)->value, changes);

    // A hidden panel draws nothing until it is shown again.
    HidePanel(panel);
    replots = 0;
    plotLevel(-1);
    Pump(0.1);
    EXPECT_EQ(replots, 0);
    DisplayPanel(panel);
    Pump(0.1);
    EXPECT_EQ(replots, 1);
}

// Plots whose axes stay put show a kept picture of them with the curves
// drawn over it, and a scrolling strip chart redraws only its x axis over
// its kept rest. Each picture is the one a whole replot gives, also right
// after the y range has changed.
TEST_F(UiTest, PicturesDrawnOverAKeptOneEqualAWholeReplot) {
    Show();
    const auto sameAsWhole = [&](int control) {
        Pump(0.05);
        QCustomPlot *plot = UiControlPlot(panel, control);
        // What the window shows now, painted in parts, where the plot is not
        // behind a scroll bar, against the plot painted afresh as a whole.
        const QRect seen = plot->visibleRegion().boundingRect();
        const QPoint at = plot->mapTo(plot->window(), seen.topLeft());
        const QImage shown =
            plot->screen()
                ->grabWindow(plot->window()->winId(), at.x(), at.y(), seen.width(), seen.height())
                .toImage()
                .convertToFormat(QImage::Format_RGB32);
        const QImage drawn = plot->grab().toImage().convertToFormat(QImage::Format_RGB32);
        int stale = 0;
        for (int y = 0; y < seen.height(); ++y)
            for (int x = 0; x < seen.width(); ++x)
                stale += shown.pixel(x, y) != drawn.pixel(seen.x() + x, seen.y() + y);
        EXPECT_GT(seen.width() * seen.height(), 0);
        EXPECT_EQ(stale, 0) << "the window shows what a whole paint would not";
        // Saving the panel's image replots every graph whole first.
        EXPECT_EQ(SavePanelImage(panel, OutPath("kept_picture.png").c_str()), 0);
        const QImage whole = plot->grab().toImage();
        int differing = 0;
        for (int y = 0; y < drawn.height(); ++y)
            for (int x = 0; x < drawn.width(); ++x)
                differing += drawn.pixel(x, y) != whole.pixel(x, y);
        return differing;
    };
    // A comparison replots whole and so starts the keeping afresh: several
    // changes come between two of them.
    SetCtrlAttribute(panel, kStrip, ATTR_NUM_TRACES, 1);
    double history[40];
    for (int round = 0; round < 9; ++round) {
        // The last round ends at sample 300: the 101 points shown begin at a
        // grid line, on the y axis.
        if (round == 8) SetCtrlAttribute(panel, kStrip, ATTR_NEWEST_POINT_NUMBER, 260);
        // The curve leaves its band for another, jumps between one inside
        // and one beyond the top, and comes back narrower: what it drew in
        // the old places must be gone.
        for (int k = 0; k < 40; ++k)
            history[k] = round < 4    ? 1000 + 25 * ((k + round * 7) % 40)
                         : round == 4 ? 3000 + k
                         : round == 5 ? (k / 3 % 2 ? 5000 : 1000)
                                      : 1500 + k % 3;
        PlotStripChart(panel, kStrip, history, 40, 0, 0, VAL_DOUBLE);
        Pump(0.05);
    }
    const QCPAxis *sampleAxis = UiControlPlot(panel, kStrip)->xAxis;
    EXPECT_DOUBLE_EQ(sampleAxis->range().lower, 200);
    // Numbers written once and shown again still belong to their ticks.
    ASSERT_FALSE(sampleAxis->tickVector().isEmpty());
    for (int i = 0; i < sampleAxis->tickVector().size(); ++i)
        EXPECT_EQ(sampleAxis->tickVectorLabels().at(i),
                  QString::number(sampleAxis->tickVector().at(i)));
    EXPECT_EQ(sameAsWhole(kStrip), 0) << "strip chart";

    SetAxisScalingMode(panel, kGraphBar, VAL_XAXIS, VAL_MANUAL, 0, 4096);
    SetAxisScalingMode(panel, kGraphBar, VAL_LEFT_YAXIS, VAL_MANUAL, 0, 1);
    const auto bar = [&](int round) {
        DeleteGraphPlot(panel, kGraphBar, -1, VAL_DELAYED_DRAW);
        PlotRectangle(panel, kGraphBar, 500 + 300 * round, 0.2, 900 + 300 * round, 0.7, 0xFF0000,
                      0xFF0000);
        SetGraphCursor(panel, kGraphBar, 1, 2000 - 200 * round, 0.5);
        Pump(0.05);
    };
    for (int round = 0; round < 4; ++round) bar(round);
    EXPECT_EQ(sameAsWhole(kGraphBar), 0) << "bar graph";
    for (int round = 0; round < 4; ++round) bar(round);
    SetAxisScalingMode(panel, kGraphBar, VAL_LEFT_YAXIS, VAL_MANUAL, -1, 2);
    bar(4);
    EXPECT_EQ(sameAsWhole(kGraphBar), 0) << "bar graph with a new y range";
}

TEST_F(UiTest, PanelRendersToPngWithGraphsStripChartAndSubPanel) {
    const int sub = LoadPanel(panel, kFixture.c_str(), 11);
    Show();
    DisplayPanel(sub);
    SetAxisScalingMode(panel, kGraphBar, VAL_XAXIS, VAL_MANUAL, 0, 4096);
    PlotRectangle(panel, kGraphBar, 900, 0.0, 1300, 0.35, 0x00FF00, 0x00FF00);
    PlotRectangle(panel, kGraphBar, 1500, 0.25, 1700, 1.0, 0xFF0000, 0xFF0000);
    SetGraphCursor(panel, kGraphBar, 1, 1600, 0.75);
    SetGraphCursor(panel, kGraphBar, 2, 1100, 0.75);
    SetCursorAttribute(panel, kGraphBar, 2, ATTR_CURSOR_POINT_STYLE, VAL_NO_POINT);
    double x[128];
    unsigned short samples[128], threshold[128];
    for (int i = 0; i < 128; ++i) {
        x[i] = i * 32.0;
        samples[i] =
            static_cast<unsigned short>(20 + 200 * std::exp(-((i - 50) * (i - 50)) / 40.0));
        threshold[i] = 128;
    }
    PlotXY(panel, kGraphVideo, x, samples, 128, VAL_DOUBLE, VAL_UNSIGNED_SHORT_INTEGER, 5, 10, 0, 1,
           0xFF0000);
    PlotXY(panel, kGraphVideo, x, threshold, 128, VAL_DOUBLE, VAL_UNSIGNED_SHORT_INTEGER, 5, 10, 0,
           1, 0x008000);
    double history[500];
    for (int k = 0; k < 500; ++k) {
        const int p = k / 5;
        const double values[5] = {2100, 1900, 2000, 2000 + 80 * std::sin(p / 8.0), 1200};
        history[k] = values[k % 5];
    }
    PlotStripChart(panel, kStrip, history, 500, 0, 0, VAL_DOUBLE);
    ResetTextBox(panel, kBox, "1024-pixel; 7.8\xB5m pixel-pitch;\n4096-subpixel\nrange 37mm");
    const std::string png = OutPath("ui_test_panel.png");
    std::remove(png.c_str());
    ASSERT_EQ(SavePanelImage(panel, png.c_str()), 0);
    QImage image(QString::fromStdString(png));
    ASSERT_FALSE(image.isNull());
    EXPECT_EQ(image.size(), QSize(940, 640));
    // The peak bar is solid red where the graph maps its middle.
    QCustomPlot *plot = UiControlPlot(panel, kGraphBar);
    const QPoint inPlot(static_cast<int>(plot->xAxis->coordToPixel(1600)),
                        static_cast<int>(plot->yAxis->coordToPixel(0.55)));
    const QPoint onPanel = plot->mapTo(UiPanelWidget(panel), inPlot);
    EXPECT_EQ(QColor(image.pixel(onPanel)), QColor(Qt::red));
    const QPoint window =
        plot->mapTo(UiPanelWidget(panel), QPoint(static_cast<int>(plot->xAxis->coordToPixel(1000)),
                                                 static_cast<int>(plot->yAxis->coordToPixel(0.1))));
    EXPECT_EQ(QColor(image.pixel(window)), QColor(Qt::green));
}

// ---------------------------------------------------------------- menus, dialogs

TEST_F(UiTest, ContextMenusPopUpWithoutALoopOfTheirOwnAndExportsSayWhatBecameOfTheFile) {
    Show();
    const std::string dir = OutPath("ui_export_menu");
    QDir().mkpath(QString::fromStdString(dir));
    std::remove((dir + "/chart.csv").c_str());
    std::string answer = dir + "/chart";
    FileSelectRequest asked;
    SetFileSelectScript([&](const FileSelectRequest &r, std::string &p) {
        asked = r;
        p = answer;
        return true;
    });
    reports.clear();
    SetExportReport(RecordReport);
    QMenu *menu = OpenContextMenu(UiControlPlot(panel, kStrip));
    ASSERT_NE(menu, nullptr);
    Choose(menu, QStringLiteral("Save data as CSV..."));
    EXPECT_TRUE(asked.save);
    EXPECT_EQ(asked.filter, "*.csv");
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].first, "Saved " + dir + "/chart.csv");
    EXPECT_EQ(reports[0].second, 0);
    EXPECT_EQ(ReadBytes(dir + "/chart.csv").rfind("Sample,", 0), 0u);

    answer = OutPath("ui_no_such_folder") + "/chart";
    menu = OpenContextMenu(UiControlPlot(panel, kGraphBar));
    ASSERT_NE(menu, nullptr);
    Choose(menu, QStringLiteral("Save as PNG..."));
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[1].first, "Cannot write " + answer + ".png");
    EXPECT_EQ(reports[1].second, 1);

    // Without a report the failure is shown in a box that leaves the loop
    // below running, and goes when it is closed.
    SetExportReport(nullptr);
    menu = OpenContextMenu(UiControlPlot(panel, kGraphBar));
    ASSERT_NE(menu, nullptr);
    Choose(menu, QStringLiteral("Save as PNG..."));
    QPointer<QMessageBox> box = ShownWindow<QMessageBox>();
    ASSERT_FALSE(box.isNull());
    EXPECT_EQ(box->text().toStdString(), "Cannot write " + answer + ".png");
    box->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(box.isNull());
    EXPECT_EQ(reports.size(), 2u);

    // Copy takes the value the operator clicked on, not a later one.
    menu = OpenContextMenu(UiControlWidget(panel, kDisp));
    ASSERT_NE(menu, nullptr);
    const QString clicked = Shown(kDisp);
    SetCtrlVal(panel, kDisp, 12.5);
    Choose(menu, QApplication::translate("QLineEdit", "&Copy"));
    EXPECT_EQ(QGuiApplication::clipboard()->text(), clicked);
    EXPECT_NE(Shown(kDisp), clicked);
}

// Every step returns at once: the dialog and its question are open while
// this test, like a measuring loop, goes on.
TEST_F(UiTest, ExportDialogAsksBeforeReplacingAndNoLeadsBackToIt) {
    Show();
    SetFileSelectScript({});
    const std::string dir = OutPath("ui_export_dialog");
    QDir().mkpath(QString::fromStdString(dir));
    WriteBytes(dir + "/chart.csv", "old");
    reports.clear();
    SetExportReport(RecordReport);
    const auto typeAndAccept = [&](const QString &name) {
        QFileDialog *dialog = ShownWindow<QFileDialog>();
        if (!dialog) return false;
        dialog->setDirectory(QString::fromStdString(dir));
        auto *edit = dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"));
        if (!edit) return false;
        for (int i = 0; i < 100; ++i) {  // the listing may select its default file late
            edit->setText(name);
            QTest::qWait(20);
            if (QFileInfo(dialog->selectedFiles().value(0)).fileName().startsWith(name)) break;
        }
        QMetaObject::invokeMethod(dialog, "accept");
        return true;
    };
    QMenu *menu = OpenContextMenu(UiControlPlot(panel, kStrip));
    ASSERT_NE(menu, nullptr);
    Choose(menu, QStringLiteral("Save data as CSV..."));
    ASSERT_TRUE(typeAndAccept(QStringLiteral("chart")));
    QMessageBox *ask = ShownWindow<QMessageBox>();
    ASSERT_NE(ask, nullptr);
    EXPECT_TRUE(ask->text().contains(QStringLiteral("chart.csv")));
    EXPECT_EQ(ask->defaultButton(), ask->button(QMessageBox::No));
    ask->button(QMessageBox::No)->click();
    EXPECT_TRUE(reports.empty());
    EXPECT_EQ(ReadBytes(dir + "/chart.csv"), "old");
    ASSERT_TRUE(typeAndAccept(QStringLiteral("chart")));
    ask = ShownWindow<QMessageBox>();
    ASSERT_NE(ask, nullptr);
    ask->button(QMessageBox::Yes)->click();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0], std::make_pair("Saved " + dir + "/chart.csv", 0));
    EXPECT_EQ(ReadBytes(dir + "/chart.csv").rfind("Sample,", 0), 0u);
    EXPECT_EQ(ShownWindow<QFileDialog>(), nullptr);
}

TEST(UiDialogs, ModalPassRunsOnlyWhileADialogIsOpenAndNeverWithinItself) {
    passCalls = passDepth = passDeepest = 0;
    SetModalPass(CountingPass);
    Hold(0.1);
    EXPECT_EQ(passCalls, 0);  // no dialog, no pass

    SetFileSelectScript([](const FileSelectRequest &, std::string &) {
        Hold(0.3);
        return false;
    });
    char path[260] = "";
    EXPECT_EQ(FileSelectPopup("", "a.cfg", "*.cfg", "Load", VAL_LOAD_BUTTON, 0, 1, 1, 1, path),
              VAL_NO_FILE_SELECTED);
    EXPECT_GT(passCalls, 20);
    const int afterFile = passCalls;
    Hold(0.1);
    EXPECT_EQ(passCalls, afterFile);

    std::vector<std::string> asked;
    SetConfirmScript([&](const std::string &title, const std::string &message) {
        asked.push_back(title + ": " + message);
        Hold(title == "From the pass" ? 0.05 : 0.3);
        return title != "Stop?";
    });
    EXPECT_EQ(ConfirmPopup("Stop?", "Stop the recording?"), 0);
    EXPECT_GT(passCalls - afterFile, 20);
    const int afterQuestion = passCalls;
    EXPECT_EQ(ConfirmChoicePopup("Edits", "Discard them?", "Discard edits", "Keep editing"), 1);
    EXPECT_EQ(MessagePopup("Saved", "Parameters written"), 0);
    EXPECT_GT(passCalls - afterQuestion, 40);
    // A pass that asks a question of its own is not run again under it.
    passAsks = true;
    EXPECT_EQ(ConfirmPopup("Outer", "Go on?"), 1);
    EXPECT_EQ(passDeepest, 1);
    EXPECT_EQ(asked, (std::vector<std::string>{"Stop?: Stop the recording?", "Edits: Discard them?",
                                               "Saved: Parameters written", "Outer: Go on?",
                                               "From the pass: Again?"}));
    SetModalPass(nullptr);
    const int cleared = passCalls;
    EXPECT_EQ(ConfirmPopup("Stop?", "Stop the recording?"), 0);
    EXPECT_EQ(passCalls, cleared);
    SetConfirmScript({});
    SetFileSelectScript({});
}

// The real boxes, answered by finding them on screen as a person would.
TEST(UiDialogs, QuestionsTakeTheirButtonTextsAndDefaultToChangingNothing) {
    SetConfirmScript({});
    passCalls = 0;
    SetModalPass(CountingPass);
    QString title, text, defaultText;
    QStringList buttons;
    auto answer = [&](const std::function<void(QMessageBox *)> &act) {
        QTimer::singleShot(100, qApp, [&, act] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            ASSERT_NE(box, nullptr);
            title = box->windowTitle();
            text = box->text();
            defaultText = box->defaultButton() ? box->defaultButton()->text() : QString();
            buttons.clear();
            for (QAbstractButton *b : box->buttons()) buttons << b->text();
            act(box);
        });
    };
    answer([](QMessageBox *box) {
        for (QAbstractButton *b : box->buttons())
            if (b->text() == QStringLiteral("Discard edits")) b->click();
    });
    EXPECT_EQ(ConfirmChoicePopup("Edits", "Discard them?", "Discard edits", "Keep editing"), 1);
    EXPECT_EQ(title, QStringLiteral("Edits"));
    EXPECT_EQ(text, QStringLiteral("Discard them?"));
    EXPECT_TRUE(buttons.contains(QStringLiteral("Discard edits")));
    EXPECT_EQ(defaultText, QStringLiteral("Keep editing"));
    EXPECT_GT(passCalls, 3);  // the box ran a loop of its own, and the pass went on

    answer([](QMessageBox *box) { QTest::keyClick(box, Qt::Key_Return); });
    EXPECT_EQ(ConfirmPopup("Stop?", "Stop the recording?"), 0);
    EXPECT_EQ(buttons.size(), 2);
    answer([](QMessageBox *box) { QTest::keyClick(box, Qt::Key_Escape); });
    EXPECT_EQ(ConfirmChoicePopup("Edits", "Discard them?", "Discard edits", "Keep editing"), 0);
    answer([](QMessageBox *box) { box->button(QMessageBox::Yes)->click(); });
    EXPECT_EQ(ConfirmPopup("Stop?", "Stop the recording?"), 1);
    answer([](QMessageBox *box) { box->button(QMessageBox::Ok)->click(); });
    EXPECT_EQ(MessagePopup("Saved", "Parameters written"), 0);
    EXPECT_EQ(text, QStringLiteral("Parameters written"));
    EXPECT_EQ(buttons.size(), 1);
    SetModalPass(nullptr);
}

// ---------------------------------------------------------------- event loop, time

TEST(UiEventLoop, ProcessingWaitsInsteadOfSpinningAndStillRunsEventsPromptly) {
    Settle();
    const double wall0 = Timer();
    const double cpu0 = CpuSeconds();
    int calls = 0;
    while (Timer() - wall0 < 0.2) {
        ProcessSystemEvents();
        ++calls;
    }
    const double wall = Timer() - wall0;
    const double cpu = CpuSeconds() - cpu0;
    EXPECT_LT(cpu, 0.5 * wall) << calls << " calls";
    EXPECT_GT(calls, 20);  // each call came back within a few milliseconds

    bool ran = false;
    QTimer::singleShot(0, qApp, [&] { ran = true; });
    ProcessSystemEvents();
    EXPECT_TRUE(ran);
    ran = false;
    QTimer::singleShot(3, qApp, [&] { ran = true; });
    const double t0 = Timer();
    while (!ran && Timer() - t0 < 1.0) ProcessSystemEvents();
    EXPECT_TRUE(ran);
    EXPECT_LT(Timer() - t0, 0.05);
}

// A loop that waits with a deadline sleeps until something happens or the
// deadline comes, and is not woken in between.
TEST(UiEventLoop, WaitsWithADeadlineSleepThroughAndEndAtTheFirstEvent) {
    Settle();
    long wakeUps = ThreadWakeUps();
    double t0 = Timer();
    while (Timer() - t0 < 0.3) ProcessSystemEventsUntil(t0 + 0.3);
    EXPECT_LT(Timer() - t0, 0.35);
    EXPECT_LE(ThreadWakeUps() - wakeUps, 4) << "a 1-ms tick would wake it 300 times";

    static int deferredRuns = 0;
    deferredRuns = 0;
    PostDeferredCall([](void *data) { *static_cast<int *>(data) += 1; }, &deferredRuns);
    EXPECT_EQ(deferredRuns, 0) << "a deferred call waits for the event loop";
    t0 = Timer();
    ProcessSystemEventsUntil(t0 + 5.0);
    EXPECT_EQ(deferredRuns, 1);
    EXPECT_LT(Timer() - t0, 0.5);
    EXPECT_EQ(PostDeferredCall(nullptr, nullptr), UIE_BAD_VALUE);

    bool ran = false;
    QTimer::singleShot(30, qApp, [&] { ran = true; });
    t0 = Timer();
    while (!ran && Timer() - t0 < 5.0) ProcessSystemEventsUntil(t0 + 5.0);
    EXPECT_TRUE(ran);
    EXPECT_LT(Timer() - t0, 0.5);
}

TEST(UiEventLoop, DelayRunsNothingAndQuitEndsTheLoopWithItsCode) {
    bool ran = false;
    QTimer::singleShot(0, qApp, [&] { ran = true; });
    const double t0 = Timer();
    Delay(0.05);
    EXPECT_GE(Timer() - t0, 0.049);
    EXPECT_FALSE(ran);
    QTimer::singleShot(5, qApp, [] { QuitUserInterface(7); });
    EXPECT_EQ(RunUserInterface(), 7);
    EXPECT_TRUE(ran);
}

TEST(UiTime, TimerIsMonotonicAndDatesHaveTheirFormats) {
    double last = Timer();
    for (int i = 0; i < 10000; ++i) {
        const double now = Timer();
        ASSERT_GE(now, last);
        last = now;
    }
    EXPECT_TRUE(std::regex_match(DateStr(), std::regex(R"(\d\d-\d\d-\d{4})"))) << DateStr();
    EXPECT_TRUE(std::regex_match(TimeStr(), std::regex(R"(([01]\d|2[0-3]):[0-5]\d:[0-5]\d)")))
        << TimeStr();
    EXPECT_EQ(std::string(DateStr()).substr(6),
              QDate::currentDate().toString("yyyy").toStdString());
}

// ---------------------------------------------------------------- files

TEST(UiFiles, ThirtyWordsGoOnePerLineInFieldsOfTenAndComeBack) {
    const std::string path = OutPath("ui_para.cfg");
    unsigned int words[30];
    std::string expected;
    for (int i = 0; i < 30; ++i) {
        words[i] = i == 7 ? 65535u : static_cast<unsigned int>(i * 37);
        char line[16];
        std::snprintf(line, sizeof line, "%10u\r\n", words[i]);
        expected += line;
    }
    WriteBytes(path, "old content that must go away, longer than the new one? no");
    ASSERT_EQ(ArrayToFile(path.c_str(), words, VAL_UNSIGNED_INTEGER, 30, 1, VAL_GROUPS_TOGETHER,
                          VAL_GROUPS_AS_COLUMNS, VAL_CONST_WIDTH, 10, VAL_ASCII, VAL_TRUNCATE),
              0);
    EXPECT_EQ(ReadBytes(path), expected);
    unsigned short back[30] = {};
    ASSERT_EQ(FileToArray(path.c_str(), back, VAL_UNSIGNED_SHORT_INTEGER, 30, 1,
                          VAL_GROUPS_TOGETHER, VAL_GROUPS_AS_COLUMNS, VAL_ASCII),
              0);
    for (int i = 0; i < 30; ++i) EXPECT_EQ(back[i], words[i]);
}

TEST(UiFiles, RecordLinesAppendTabSeparatedAfterRawHeaderBytes) {
    const std::string path = OutPath("ui_record.dat");
    std::remove(path.c_str());
    const char header[] = "12-31-2024 23:59:58  K-VEX-RECORDER-FILE: Time-Interval[s]: ";
    ASSERT_EQ(
        ArrayToFile(path.c_str(), header, VAL_CHAR, StringLength(header), 1, VAL_GROUPS_TOGETHER,
                    VAL_GROUPS_AS_ROWS, VAL_SEP_BY_TAB, VAL_VARIABLE_WIDTH, VAL_BINARY, VAL_APPEND),
        0);
    const unsigned short interval = 5;
    ArrayToFile(path.c_str(), &interval, VAL_UNSIGNED_SHORT_INTEGER, 1, 1, VAL_GROUPS_TOGETHER,
                VAL_GROUPS_AS_ROWS, VAL_SEP_BY_TAB, VAL_VARIABLE_WIDTH, VAL_ASCII, VAL_APPEND);
    const int sample[6] = {2048, 1999, 4096, -37000, 2, 0};
    for (int k = 0; k < 2; ++k)
        ASSERT_EQ(ArrayToFile(path.c_str(), sample, VAL_INTEGER, 6, 1, VAL_GROUPS_TOGETHER,
                              VAL_GROUPS_AS_ROWS, VAL_SEP_BY_TAB, VAL_VARIABLE_WIDTH, VAL_ASCII,
                              VAL_APPEND),
                  0);
    EXPECT_EQ(ReadBytes(path), std::string(header) + "5\r\n" +
                                   "2048\t1999\t4096\t-37000\t2\t0\r\n"
                                   "2048\t1999\t4096\t-37000\t2\t0\r\n");
    // Two groups as columns, interleaved in the array, comma-separated.
    const double pairs[4] = {1.5, -2, 3.25, 4};
    ArrayToFile(path.c_str(), pairs, VAL_DOUBLE, 4, 2, VAL_DATA_MULTIPLEXED, VAL_GROUPS_AS_COLUMNS,
                VAL_SEP_BY_COMMA, VAL_VARIABLE_WIDTH, VAL_ASCII, VAL_TRUNCATE);
    EXPECT_EQ(ReadBytes(path), "1.5,-2\r\n3.25,4\r\n");
    EXPECT_LT(ArrayToFile(path.c_str(), sample, VAL_INTEGER, 6, 4, 0, 0, VAL_SEP_BY_TAB, 0, 0, 0),
              0);
    EXPECT_LT(ArrayToFile(path.c_str(), sample, VAL_INTEGER, 6, 1, 0, 0, VAL_CONST_WIDTH, 0, 0, 0),
              0);
    EXPECT_LT(ArrayToFile(OutPath("no/such/dir/x.dat").c_str(), sample, VAL_INTEGER, 6, 1, 0, 0,
                          VAL_SEP_BY_TAB, 0, VAL_ASCII, VAL_APPEND),
              0);
}

TEST(UiFiles, ReadingTakesAnySpacingWrapsBigNumbersAndRefusesShortOrBadFiles) {
    const std::string path = OutPath("ui_read.cfg");
    std::string text = "  70000\r\n";
    for (int i = 1; i < 30; ++i) text += std::to_string(i) + (i % 3 ? "\t" : "\n");
    WriteBytes(path, text);
    unsigned short words[30] = {};
    ASSERT_EQ(FileToArray(path.c_str(), words, VAL_UNSIGNED_SHORT_INTEGER, 30, 1,
                          VAL_GROUPS_TOGETHER, VAL_GROUPS_AS_COLUMNS, VAL_ASCII),
              0);
    EXPECT_EQ(words[0], 4464);
    EXPECT_EQ(words[29], 29);

    unsigned short untouched[30];
    std::fill(std::begin(untouched), std::end(untouched), 0xBEEF);
    auto refused = [&](const std::string &content) {
        WriteBytes(path, content);
        const int r = FileToArray(path.c_str(), untouched, VAL_UNSIGNED_SHORT_INTEGER, 30, 1,
                                  VAL_GROUPS_TOGETHER, VAL_GROUPS_AS_COLUMNS, VAL_ASCII);
        return r < 0 && untouched[0] == 0xBEEF;
    };
    std::string shortFile;
    for (int i = 0; i < 29; ++i) shortFile += "5\r\n";
    EXPECT_TRUE(refused(shortFile));
    EXPECT_TRUE(refused("1 2 3 abc 5\r\n" + shortFile));
    EXPECT_TRUE(refused(""));
    EXPECT_LT(FileToArray(OutPath("no_such.cfg").c_str(), untouched, VAL_UNSIGNED_SHORT_INTEGER, 30,
                          1, 0, 0, VAL_ASCII),
              0);
}

TEST(UiFiles, PathsAreJoinedWithinTheirBufferAndFilesDeleted) {
    char path[260];
    EXPECT_EQ(MakePathname("/a/b", "KVexRecord.dat", path), 0);
    EXPECT_STREQ(path, "/a/b/KVexRecord.dat");
    EXPECT_EQ(MakePathname("/a/b/", "x", path), 0);
    EXPECT_STREQ(path, "/a/b/x");
    const std::string longDir(250, 'd');
    EXPECT_LT(MakePathname(longDir.c_str(), "KVexRecord.dat", path), 0);
    EXPECT_STREQ(path, "");
    const std::string file = OutPath("ui_delete_me.txt");
    WriteBytes(file, "x");
    EXPECT_EQ(RT_DeleteFile(file.c_str()), 0);
    EXPECT_LT(RT_DeleteFile(file.c_str()), 0);
}

TEST(UiFiles, ScriptedFileDialogReportsCancelExistingAndNewFiles) {
    const std::string dir = OutPath("ui_dialog");
    QDir().mkpath(QString::fromStdString(dir));
    WriteBytes(dir + "/existing.cfg", "1");
    std::remove((dir + "/fresh.cfg").c_str());
    FileSelectRequest seen;
    std::string answer;
    bool accept = false;
    SetFileSelectScript([&](const FileSelectRequest &r, std::string &p) {
        seen = r;
        p = answer;
        return accept;
    });
    char path[260] = "unchanged";
    EXPECT_EQ(FileSelectPopup(dir.c_str(), "KVEXpara.cfg", "*.cfg", "Parameter File", VAL_OK_BUTTON,
                              0, 1, 1, 1, path),
              VAL_NO_FILE_SELECTED);
    EXPECT_STREQ(path, "unchanged");
    EXPECT_EQ(seen.directory, dir);
    EXPECT_EQ(seen.defaultName, "KVEXpara.cfg");
    EXPECT_EQ(seen.filter, "*.cfg");
    EXPECT_EQ(seen.title, "Parameter File");
    EXPECT_TRUE(seen.save);

    accept = true;
    answer = "existing";  // the filter's extension is added
    EXPECT_EQ(FileSelectPopup(dir.c_str(), "KVEXpara.cfg", "*.cfg", "Load", VAL_LOAD_BUTTON, 0, 1,
                              1, 1, path),
              VAL_EXISTING_FILE_SELECTED);
    EXPECT_EQ(std::string(path), dir + "/existing.cfg");
    EXPECT_FALSE(seen.save);
    answer = dir + "/fresh.cfg";
    EXPECT_EQ(FileSelectPopup(dir.c_str(), "KVEXpara.cfg", "*.cfg", "Load", VAL_LOAD_BUTTON, 0, 1,
                              1, 1, path),
              VAL_NEW_FILE_SELECTED);
    EXPECT_EQ(std::string(path), dir + "/fresh.cfg");
    answer = std::string(300, 'n');
    EXPECT_LT(FileSelectPopup(dir.c_str(), "", "*.cfg", "", VAL_OK_BUTTON, 0, 0, 1, 1, path), 0);
}

// The real dialog, answered by finding it on screen as a person would.
TEST(UiFiles, RealDialogAsksBeforeReplacingAFileAndReportsTheChoice) {
    const std::string dir = OutPath("ui_real_dialog");
    QDir().mkpath(QString::fromStdString(dir));
    WriteBytes(dir + "/KVexRecord.dat", "old");
    std::remove((dir + "/other.dat").c_str());
    SetFileSelectScript({});
    QString title, button;
    bool askedToReplace = false;
    auto answer = [&](const QString &file, bool accept) {
        QTimer::singleShot(50, qApp, [&, file, accept] {
            auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
            ASSERT_NE(dialog, nullptr);
            title = dialog->windowTitle();
            button = dialog->labelText(QFileDialog::Accept);
            if (!accept) return dialog->reject();
            auto *name = dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"));
            ASSERT_NE(name, nullptr);
            // Typed into the file name field. The dialog selects its default
            // file when the folder's listing arrives, which on a busy machine
            // can come after the typing: the person looks before pressing OK.
            for (int i = 0; i < 100; ++i) {
                name->setText(file);
                QTest::qWait(20);
                if (QFileInfo(dialog->selectedFiles().value(0)).fileName().startsWith(file)) break;
            }
            // Replacing asks first; the person says yes.
            QTimer::singleShot(50, qApp, [&] {
                auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
                askedToReplace = box != nullptr;
                if (box) box->button(QMessageBox::Yes)->click();
            });
            QMetaObject::invokeMethod(dialog, "accept");
        });
    };
    char path[260] = "";
    answer("", false);
    EXPECT_EQ(FileSelectPopup(dir.c_str(), "KVexRecord.dat", "*.dat",
                              "Recorder-File:", VAL_OK_BUTTON, 0, 1, 1, 1, path),
              VAL_NO_FILE_SELECTED);
    EXPECT_EQ(title, QStringLiteral("Recorder-File:"));
    EXPECT_EQ(button, QStringLiteral("OK"));
    answer("KVexRecord.dat", true);
    EXPECT_EQ(FileSelectPopup(dir.c_str(), "KVexRecord.dat", "*.dat",
                              "Recorder-File:", VAL_OK_BUTTON, 0, 1, 1, 1, path),
              VAL_EXISTING_FILE_SELECTED);
    EXPECT_TRUE(askedToReplace);
    EXPECT_EQ(std::string(path), dir + "/KVexRecord.dat");
    answer("other", true);
    EXPECT_EQ(FileSelectPopup(dir.c_str(), "KVexRecord.dat", "*.dat", "Load", VAL_LOAD_BUTTON, 0, 1,
                              1, 1, path),
              VAL_NEW_FILE_SELECTED);
    EXPECT_EQ(button, QStringLiteral("Load"));
    EXPECT_EQ(std::string(path), dir + "/other.dat");
}

// ---------------------------------------------------------------- text

TEST(UiText, FmtNeverWritesBeyondTheSizeItsFormatNames) {
    int words[36];
    for (int &w : words) w = ('A' << 8) | 'B';
    struct {
        char text[72];
        char guard[8];
    } target;
    std::memset(&target, '#', sizeof target);
    EXPECT_EQ(Fmt(target.text, "%72c<%36i", words), 71);
    EXPECT_EQ(target.text[70], 'A');
    EXPECT_EQ(target.text[71], '\0');
    for (char g : target.guard) EXPECT_EQ(g, '#');
    const int firmware[3] = {('V' << 8) | '1', ('.' << 8) | 0, ('9' << 8) | '9'};
    EXPECT_EQ(Fmt(target.text, "%72c<%3i", firmware), 3);
    EXPECT_STREQ(target.text, "V1.");
    EXPECT_EQ(Fmt(target.text, "%s<%s", "copy"), 4);
    EXPECT_STREQ(target.text, "copy");
    EXPECT_EQ(Fmt(target.text, "%5s<%s", "Hello world"), 4);
    EXPECT_STREQ(target.text, "Hell");
    EXPECT_EQ(Fmt(target.text, "%s<%i", -42), 3);
    EXPECT_STREQ(target.text, "-42");
    EXPECT_LT(Fmt(target.text, "%q<%i", 1), 0);
    EXPECT_LT(Fmt(target.text, "%s", "x"), 0);
    EXPECT_EQ(StringLength("K-VEX"), 5);
}

}  // namespace
