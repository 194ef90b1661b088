// Loading panels and the events that real widget input sends to callbacks.
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QFile>
#include <QMouseEvent>
#include <QPushButton>
#include <QScreen>
#include <QSlider>
#include <QSpinBox>
#include <QStyleOptionSlider>
#include <QToolTip>
#include <cstdlib>

#include "ui_test_support.h"

using namespace uitest;

namespace {

int CC_DiscardOwnPanel(int panel, int, int event, void *, int, int) {
    if (event == EVENT_COMMIT) DiscardPanel(panel);
    return 0;
}

std::vector<int> CodesOf(int control) {
    std::vector<int> codes;
    for (const Event &e : events)
        if (e.control == control) codes.push_back(e.event);
    return codes;
}
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

}  // namespace
