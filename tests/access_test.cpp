// The program as a screen reader, the keyboard and a resized window meet it:
// read through Qt's accessibility interface, driven by its actions and keys.
#include <gtest/gtest.h>
#include <qcustomplot.h>

#include <QAbstractButton>
#include <QAccessible>
#include <QApplication>
#include <QFile>
#include <QImage>
#include <QLabel>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QTest>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "gui.h"
#include "kvex_app.h"
#include "kvex_ids.h"
#include "modes.h"
#include "ui_qt.h"
#include "ui_testing.h"

using kvextest::KVexApp;

namespace {

QAccessibleInterface *Access(int panel, int control) {
    return QAccessible::queryAccessibleInterface(UiControlWidget(panel, control));
}

QString Name(int panel, int control) { return Access(panel, control)->text(QAccessible::Name); }

// The controls of the main window in the order Tab visits them, by name.
QStringList TabOrder() {
    QWidget *window = UiPanelWidget(pHandle);
    QStringList order;
    QWidget *w = window;
    for (int guard = 0; guard < 1000; ++guard) {
        w = w->nextInFocusChain();
        if (w == window) break;
        QWidget *control = w->parentWidget() && qobject_cast<QAbstractSpinBox *>(w->parentWidget())
                               ? w->parentWidget()
                               : w;
        if (!control->isVisible() || !(control->focusPolicy() & Qt::TabFocus)) continue;
        if (!control->property("kvexControl").isValid()) continue;
        if (!order.contains(control->objectName())) order << control->objectName();
    }
    return order;
}

void ShowMeasuredValue(unsigned short value) {
    parameter[PW_EVALMODE] = 1;  // setpoint A: the value is compared with teach A
    parameter[PW_TEACH_A] = 2000;
    tolup = tollo = 50;
    Mvalue = value;
    PlotVIDEOBarGraph();
}

class Operator : public testing::Test {
  protected:
    void SetUp() override {
        QAccessible::setActive(true);
        ASSERT_TRUE(app.Start(true));
        DisplayPanel(pHandle);
        DisplayPanel(pPara1);
    }
    void TearDown() override {
        HidePanel(panelPopUp);
        HidePanel(pHandle);
    }
    KVexApp app;
};

}  // namespace

TEST_F(Operator, ScreenReaderReadsStatusDisplaysBrandAndVerdict) {
    // The status line is read by its text, which follows the program.
    ShowStatusText("Sensor answers");
    EXPECT_EQ(Name(pHandle, PANEL_StatusLine), QStringLiteral("Sensor answers"));
    ShowStatusText("Line Ok!");
    EXPECT_EQ(Name(pHandle, PANEL_StatusLine), QStringLiteral("Line Ok!"));

    // A display is named by its label and its value is what it shows.
    SetCtrlVal(pHandle, PANEL_Display17, 1234u);
    EXPECT_EQ(Name(pHandle, PANEL_Display17), QStringLiteral("Position A"));
    EXPECT_EQ(Access(pHandle, PANEL_Display17)->text(QAccessible::Value), QStringLiteral("1234"));
    // It is a read-only text field whose characters can be read one by one.
    QAccessibleInterface *display = Access(pHandle, PANEL_Display17);
    EXPECT_EQ(display->role(), QAccessible::EditableText);
    EXPECT_TRUE(display->state().readOnly);
    QAccessibleTextInterface *text = display->textInterface();
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(text->characterCount(), 4);
    EXPECT_EQ(text->text(1, 3), QStringLiteral("23"));
    const QRect first = text->characterRect(0), last = text->characterRect(3);
    EXPECT_LT(first.right(), last.left());
    EXPECT_EQ(text->offsetAtPoint(last.center()), 3);

    // The brand lines made at start-up read as their texts, not as ids.
    QStringList texts;
    QAccessibleInterface *canvas = Access(pHandle, PANEL_StatusLine)->parent();
    for (int i = 0; i < canvas->childCount(); ++i)
        if (canvas->child(i)->role() == QAccessible::StaticText)
            texts << canvas->child(i)->text(QAccessible::Name);
    EXPECT_TRUE(texts.contains(QStringLiteral("K-VEX-RB-ZD-Vedoz")))
        << texts.join(" | ").toStdString();
    for (const QString &t : texts)
        EXPECT_FALSE(t.startsWith(QStringLiteral("Ctrl"))) << t.toStdString();

    // The verdict follows the tolerance in words, beside the colour.
    const std::pair<unsigned short, const char *> cases[] = {
        {2000, "in tolerance"}, {2051, "above tolerance"}, {1949, "below tolerance"}};
    for (const auto &[value, verdict] : cases) {
        ShowMeasuredValue(value);
        EXPECT_EQ(Name(pHandle, PANEL_ToleranceVerdict), QString::fromLatin1(verdict)) << value;
    }
    ShowDisplaysStale();
    EXPECT_TRUE(Name(pHandle, PANEL_ToleranceVerdict).startsWith(QStringLiteral("no live value")));
}

TEST_F(Operator, ScreenReaderHearsAValueThatChangesAtTheLinesRateAFewTimesASecond) {
    const void *display = UiControlWidget(pHandle, PANEL_Display17);
    QStringList heard;
    SetAnnouncementListener([&](const void *control, const std::string &text) {
        if (control == display) heard << QString::fromStdString(text);
    });
    // A run of fifty measurements is told as its first change, at most, and
    // its latest: a reader that heard all fifty would finish none of them.
    for (unsigned v = 1000; v < 1050; ++v) SetCtrlVal(pHandle, PANEL_Display17, v);
    EXPECT_TRUE(QTest::qWaitFor([&] { return heard.contains(QStringLiteral("1049")); }, 5000));
    SetAnnouncementListener(nullptr);
    EXPECT_LE(heard.size(), 2);
    EXPECT_EQ(heard.value(0), QStringLiteral("1000"));
    // The reader itself always gets what the display shows.
    EXPECT_EQ(Access(pHandle, PANEL_Display17)->text(QAccessible::Value), QStringLiteral("1049"));
}

TEST_F(Operator, TreeGivesRolesGroupsLabelsAndOnlyWhatIsShown) {
    QAccessibleInterface *ram = Access(pHandle, PANEL_RBTRam);
    EXPECT_EQ(ram->role(), QAccessible::RadioButton);
    EXPECT_TRUE(ram->state().checkable);
    EXPECT_TRUE(ram->text(QAccessible::Description).startsWith(QStringLiteral("Memory, 1 of 3")));
    EXPECT_EQ(Access(pHandle, PANEL_TOGGBTN_Recorder)->role(), QAccessible::Button);

    // The port ring is labelled by its caption, whatever port it shows.
    QAccessibleInterface *ring = Access(pHandle, PANEL_DropDCom);
    EXPECT_EQ(ring->text(QAccessible::Name), QStringLiteral("COM port"));
    const auto labels = ring->relations(QAccessible::Label);
    ASSERT_FALSE(labels.isEmpty());
    EXPECT_EQ(labels.first().first->text(QAccessible::Name), QStringLiteral("COM port"));

    // Hidden controls are not among the panel's children; shown ones are.
    QAccessibleInterface *canvas = ram->parent();
    auto listed = [canvas](int control) {
        return canvas->indexOfChild(Access(pHandle, control)) >= 0;
    };
    EXPECT_TRUE(listed(PANEL_StripChartRaw));
    EXPECT_FALSE(listed(PANEL_NEDITTolLeff));
    EXPECT_FALSE(listed(PANEL_GraphVideoA));
    for (int i = 0; i < canvas->childCount(); ++i)
        EXPECT_FALSE(canvas->child(i)->state().invisible)
            << canvas->child(i)->text(QAccessible::Name).toStdString();
}

TEST_F(Operator, ActionsKeysAndEnterDoWhatAClickDoes) {
    // Toggle through the accessibility interface: the recorder appears.
    QAccessibleInterface *recorder = Access(pHandle, PANEL_TOGGBTN_Recorder);
    recorder->actionInterface()->doAction(QAccessibleActionInterface::toggleAction());
    KVexApp::Pump(0.05);  // the click follows the action's return
    EXPECT_EQ(KVexApp::U16(pHandle, PANEL_TOGGBTN_Recorder), 1);
    EXPECT_TRUE(UiPanelWidget(panelPopUp)->isVisible());

    // Press on a sub-panel button shows its panel; a command button's press
    // reaches its callback too.
    Access(pHandle, PANEL_TOGGBTN_Para2)
        ->actionInterface()
        ->doAction(QAccessibleActionInterface::pressAction());
    KVexApp::Pump(0.05);
    EXPECT_TRUE(UiPanelWidget(pPara2)->isVisible());
    stop_flag = 0;
    Access(pHandle, PANEL_BTNStop)
        ->actionInterface()
        ->doAction(QAccessibleActionInterface::pressAction());
    KVexApp::Pump(0.15);
    EXPECT_EQ(stop_flag, 1);

    // Keys: Esc stops, Ctrl+R toggles the recorder back, Enter on a
    // focused button is a click.
    QWidget *window = UiPanelWidget(pHandle);
    QApplication::setActiveWindow(window);
    stop_flag = 0;
    QTest::keyClick(window, Qt::Key_Escape);
    EXPECT_EQ(stop_flag, 1);
    QTest::keyClick(window, Qt::Key_R, Qt::ControlModifier);
    EXPECT_EQ(KVexApp::U16(pHandle, PANEL_TOGGBTN_Recorder), 0);
    QWidget *calib = UiControlWidget(pHandle, PANEL_TOGGBTN_Calib);
    calib->setFocus();
    QTest::keyClick(calib, Qt::Key_Return);
    EXPECT_TRUE(UiPanelWidget(pCalib)->isVisible());
    // A dimmed button's key does nothing.
    SetCtrlAttribute(pHandle, PANEL_BTNStop, ATTR_DIMMED, 1);
    stop_flag = 0;
    QTest::keyClick(window, Qt::Key_Escape);
    EXPECT_EQ(stop_flag, 0);
    SetCtrlAttribute(pHandle, PANEL_BTNStop, ATTR_DIMMED, 0);
}

// A screen reader's press on Run returns before run mode's first reply; the
// mode then runs from the event loop as after a click.
TEST_F(Operator, PressingRunThroughTheScreenReaderReturnsAtOnce) {
    app.sensor().clearRequests();
    Access(pHandle, PANEL_BTNRun)
        ->actionInterface()
        ->doAction(QAccessibleActionInterface::pressAction());
    EXPECT_EQ(app.sensor().commandCount(8), 0) << "no request went out inside the action";
    EXPECT_EQ(stop_flag, 1);
    kvextest::StopAfterRequests(app.sensor(), 8, 6);
    EXPECT_TRUE(kvextest::PumpUntil(
        [&] { return app.sensor().commandCount(8) >= 6 && stop_flag == 1; }, 30.0))
        << "run mode ran after the action returned";
}

TEST_F(Operator, TabFollowsTheLayoutAndTooltipsExplain) {
    const QStringList order = TabOrder();
    const QStringList expected = {
        "Para1Edit3",    "Para1Edit4",       "DropEvalMode",  "DROPHardwareMode", "Para1Edit5",
        "Para1Edit17",   "Para1Edit15",      "Para1Edit18",   "CmdButton13",      "CmdButton11",
        "BTNStop",       "TOGGBTN_Recorder", "TOGBTN_Zoom",   "NEDITeachA",       "NEDITeachB",
        "TOGGBTN_Para1", "TOGGBTN_Para2",    "TOGGBTN_Calib", "RBTRam",           "RBTEeprom",
        "RBTFile",       "CmdButton4",       "CmdButton3",    "ButtonTeach",      "ButtonReset",
        "BTNGauge",      "HistoryXAxis",     "BTNStatistics", "BTNReplay",        "BTNPublish",
        "DropDCom",      "BTNStatusLog"};
    EXPECT_EQ(order, expected) << order.join(' ').toStdString();

    auto tip = [](int panel, int control) {
        return UiControlWidget(panel, control)->toolTip().toStdString();
    };
    EXPECT_NE(tip(pHandle, PANEL_CmdButton13).find("F5"), std::string::npos);
    EXPECT_NE(tip(pPara1, PARA1_Para1Edit17).find("Range 0 to 2048"), std::string::npos);
    // Hardware mode 1 dims the tolerance edits, and their tooltips say why.
    SetCtrlVal(pPara1, PARA1_DROPHardwareMode, 1);
    DimToleranceEdits();
    EXPECT_NE(tip(pPara1, PARA1_Para1Edit3).find("hardware modes 1 and 3"), std::string::npos);
    SetCtrlVal(pPara1, PARA1_DROPHardwareMode, 0);
    DimToleranceEdits();
    EXPECT_EQ(tip(pPara1, PARA1_Para1Edit3).find("hardware modes 1 and 3"), std::string::npos);
    // Every control of every panel that can be used or read has a tooltip.
    for (int panel : {pHandle, pPara1, pPara2, pCalib, panelPopUp}) {
        for (int id = 1; id < 100; ++id) {
            const char *kind = GetCtrlKind(panel, id);
            if (!kind || !std::strcmp(kind, "decoration") || !std::strcmp(kind, "picture"))
                continue;
            const std::string name = UiControlWidget(panel, id)->objectName().toStdString();
            if (name.rfind("Ctrl", 0) == 0) continue;  // brand texts made at start-up
            EXPECT_FALSE(tip(panel, id).empty()) << name;
        }
    }
}

TEST_F(Operator, WindowFitsTheScreenAndChartsTakeTheSpace) {
    QWidget *window = UiPanelWidget(pHandle);
    auto *scroll = window->findChild<QScrollArea *>();
    ASSERT_NE(scroll, nullptr);
    // The offscreen screen is 800 x 600: the window keeps to it and scrolls.
    EXPECT_TRUE(window->screen()->availableGeometry().contains(window->geometry()))
        << window->geometry().x() << "," << window->geometry().y();
    QApplication::processEvents();
    EXPECT_TRUE(scroll->horizontalScrollBar()->isVisible());
    EXPECT_TRUE(scroll->verticalScrollBar()->isVisible());
    window->resize(800, 600);
    KVexApp::Pump(0.1);  // a frame passes: the plots are drawn
    window->grab().save(QStringLiteral(KVEX_TEST_OUTPUT "/main_800x600.png"));

    // On a large screen the history and the bar graphs grow, the displays move
    // right with the window's edge, and nothing scrolls.
    window->resize(1920, 1080);
    QApplication::processEvents();
    EXPECT_FALSE(scroll->verticalScrollBar()->isVisible());
    const QRect history = UiControlWidget(pHandle, PANEL_StripChartRaw)->geometry();
    EXPECT_EQ(history.width(), 612 + 1920 - 1000);
    EXPECT_EQ(history.height(), 202 + 1080 - 672);
    EXPECT_EQ(UiControlWidget(pHandle, PANEL_Display14)->geometry().right(), 1920 - 1000 + 991);
    EXPECT_EQ(UiControlWidget(pHandle, PANEL_StatusLine)->geometry().top(), 638 + 1080 - 672);
    const QRect videoA = UiControlWidget(pHandle, PANEL_GraphVideoA)->geometry();
    const QRect videoB = UiControlWidget(pHandle, PANEL_GraphVideoB)->geometry();
    EXPECT_LT(videoA.right(), videoB.left());
    ShowMeasuredValue(2000);
    KVexApp::Pump(0.1);
    window->grab().save(QStringLiteral(KVEX_TEST_OUTPUT "/main_1920x1080.png"));
}

TEST_F(Operator, ChartsNameTheirAxesAndCountSamplesFromTheModeStart) {
    QCustomPlot *history = UiControlPlot(pHandle, PANEL_StripChartRaw);
    EXPECT_EQ(history->xAxis->label(), QStringLiteral("Sample"));
    EXPECT_FALSE(history->yAxis->label().isEmpty());
    EXPECT_FALSE(UiControlPlot(pHandle, PANEL_GraphBarA)->yAxis->ticks());
    EXPECT_EQ(UiControlPlot(pHandle, PANEL_GraphBarA)->xAxis->label(), QStringLiteral("Pixel"));

    ShowRunModeGraphs();
    for (int i = 0; i < 150; ++i) PlotRAWGraph();
    // The 100 kept samples on screen, the newest the 150th since measuring began.
    EXPECT_DOUBLE_EQ(history->xAxis->range().upper, 150.0);
    EXPECT_DOUBLE_EQ(history->xAxis->range().lower, 51.0);
    EXPECT_EQ(KVexApp::Attr(pHandle, PANEL_StripChartRaw, ATTR_NEWEST_POINT_NUMBER), 150);
    // The history as a table: sample numbers, then each trace with its unit,
    // the newest row holding the newest sample.
    const std::string table = KVEX_TEST_OUTPUT "/history.csv";
    ASSERT_EQ(SaveGraphData(pHandle, PANEL_StripChartRaw, table.c_str()), 0);
    QFile csv(QString::fromStdString(table));
    ASSERT_TRUE(csv.open(QIODevice::ReadOnly));
    const QStringList rows = QString::fromUtf8(csv.readAll()).split("\r\n", Qt::SkipEmptyParts);
    ASSERT_EQ(rows.size(), 1 + 100);  // the header, then the 100 points on screen
    EXPECT_EQ(rows[0],
              QStringLiteral("Sample,upper limit [units],lower limit [units],"
                             "setpoint [units],measured value [units],analog value [units]"));
    const QStringList newest = rows.last().split(',');
    ASSERT_EQ(newest.size(), 6);
    EXPECT_EQ(newest[0], QStringLiteral("150"));
    for (int t = 0; t < 5; ++t)
        EXPECT_DOUBLE_EQ(newest[t + 1].toDouble(), arrayNORM[500 - 5 + t]) << t;
    // And as pictures.
    const std::string png = KVEX_TEST_OUTPUT "/history.png", svg = KVEX_TEST_OUTPUT "/history.svg";
    ASSERT_EQ(SaveGraphImage(pHandle, PANEL_StripChartRaw, png.c_str()), 0);
    ASSERT_EQ(SaveGraphImage(pHandle, PANEL_StripChartRaw, svg.c_str()), 0);
    EXPECT_EQ(QImage(QString::fromStdString(png)).size(), history->size());
    QFile vector(QString::fromStdString(svg));
    ASSERT_TRUE(vector.open(QIODevice::ReadOnly));
    EXPECT_TRUE(vector.readAll().contains("<svg"));
    EXPECT_EQ(SaveGraphData(pHandle, PANEL_StripChartRaw, "/no/such/folder/h.csv"), UIE_FILE);
    EXPECT_EQ(SaveGraphData(pHandle, PANEL_StatusLine, table.c_str()), UIE_BAD_KIND);

    // A new run is not joined to the last one: an empty slot lies between
    // them, an empty row in the table, and the numbers count on.
    ShowRunModeGraphs();
    PlotRAWGraph();
    EXPECT_DOUBLE_EQ(history->xAxis->range().upper, 152.0);
    ASSERT_EQ(SaveGraphData(pHandle, PANEL_StripChartRaw, table.c_str()), 0);
    QFile again(QString::fromStdString(table));
    ASSERT_TRUE(again.open(QIODevice::ReadOnly));
    const QStringList after = QString::fromUtf8(again.readAll()).split("\r\n", Qt::SkipEmptyParts);
    ASSERT_EQ(after.size(), 1 + 100);
    EXPECT_EQ(after[after.size() - 2], QStringLiteral("151,,,,,"));
    EXPECT_TRUE(after.last().startsWith(QStringLiteral("152,")));
}

// Before the first sample the history holds none: no line from zero, no
// point of the frame before at the left edge.
TEST_F(Operator, HistoryStartsAtItsOldestSample) {
    ClearHistory();
    ShowRunModeGraphs();
    for (int i = 0; i < 3; ++i) PlotRAWGraph();
    double trace[200];
    const int n = GetStripChartTrace(pHandle, PANEL_StripChartRaw, 4, trace, 200);
    ASSERT_EQ(n, 100);
    for (int i = 0; i < 97; ++i) EXPECT_TRUE(std::isnan(trace[i])) << i;
    for (int i = 97; i < 100; ++i) EXPECT_EQ(trace[i], Mvalue) << i;
}
