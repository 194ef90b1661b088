// The main window on the smallest screen operators use, 1024 x 700: the
// measured value, its verdict, the status line, the connection and the status
// log button must all be in view without scrolling.
#include <gtest/gtest.h>

#include <QApplication>
#include <QFontInfo>
#include <QFontMetrics>
#include <QLabel>
#include <QPainter>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QTest>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "com232.h"
#include "kvex_app.h"
#include "kvex_ids.h"
#include "stats_window.h"
#include "ui_qt.h"

using kvextest::KVexApp;

namespace {

// Before the run-time starts: each test program is its own process, and the
// offscreen screen is read once.
const bool kScreenSet = [] {
    const std::string config = KVEX_TEST_OUTPUT "/screen_1024x700.json";
    std::ofstream(config) << R"({"screens": [{"name": "small", "x": 0, "y": 0, "width": 1024,
        "height": 700, "logicalDpi": 96, "logicalBaseDpi": 96, "dpr": 1}]})";
    setenv("QT_QPA_PLATFORM", ("offscreen:configfile=" + config).c_str(), 1);
    return true;
}();

}  // namespace

TEST(SmallScreen, OperatorsCornerIsInViewWithoutScrolling) {
    ASSERT_TRUE(kScreenSet);
    KVexApp app;
    ASSERT_TRUE(app.Start(true));
    DisplayPanel(pHandle);
    DisplayPanel(pPara1);
    QWidget *window = UiPanelWidget(pHandle);
    ASSERT_EQ(window->screen()->geometry().size(), QSize(1024, 700));
    EXPECT_TRUE(window->screen()->availableGeometry().contains(window->geometry()));
    // The longest verdict the program gives must be read whole.
    SetCtrlVal(pHandle, PANEL_ToleranceVerdict, "no live value, last 14:03:12");
    KVexApp::Pump(0.1);

    auto *scroll = window->findChild<QScrollArea *>();
    ASSERT_NE(scroll, nullptr);
    EXPECT_FALSE(scroll->verticalScrollBar()->isVisible());
    EXPECT_FALSE(scroll->horizontalScrollBar()->isVisible());
    const QRect view = scroll->viewport()->rect();
    for (int id :
         {PANEL_Display14, PANEL_ToleranceVerdict, PANEL_Display15, PANEL_StatusLine,
          PANEL_LinkState, PANEL_BTNStatusLog, PANEL_Display43, PANEL_Display44, PANEL_Display45}) {
        QWidget *w = UiControlWidget(pHandle, id);
        ASSERT_NE(w, nullptr) << id;
        EXPECT_TRUE(w->isVisible()) << w->objectName().toStdString();
        const QRect inWindow(w->mapTo(window, QPoint(0, 0)), w->size());
        const QRect inView(w->mapTo(scroll->viewport(), QPoint(0, 0)), w->size());
        EXPECT_TRUE(window->rect().contains(inWindow)) << w->objectName().toStdString();
        EXPECT_TRUE(view.contains(inView)) << w->objectName().toStdString();
    }
    auto *verdict = qobject_cast<QLabel *>(UiControlWidget(pHandle, PANEL_ToleranceVerdict));
    ASSERT_NE(verdict, nullptr);
    EXPECT_LE(QFontMetrics(verdict->font()).horizontalAdvance(verdict->text()),
              verdict->contentsRect().width());
    window->grab().save(QStringLiteral(KVEX_TEST_OUTPUT "/main_1024x700.png"));
    HidePanel(pHandle);
}

// The statistics opened over run mode leave the value, its verdict and the
// limits in view, and close by their own button or Esc where no window
// manager gives a title bar.
TEST(SmallScreen, StatisticsLeaveValueVerdictAndLimitsInViewAndClose) {
    ASSERT_TRUE(kScreenSet);
    KVexApp app;
    ASSERT_TRUE(app.Start(true));
    KVexApp::Commit(CC_BTNStatistics, pHandle, PANEL_BTNStatistics);
    KVexApp::Pump(0.1);
    QWidget *main = UiPanelWidget(pHandle), *stats = UiPanelWidget(pStats);
    ASSERT_TRUE(stats->isVisible());
    const QRect screen = stats->screen()->availableGeometry();
    EXPECT_TRUE(screen.contains(stats->frameGeometry()));
    for (int id : {PANEL_Display14, PANEL_ToleranceVerdict, PANEL_Display43, PANEL_Display44,
                   PANEL_Display45, PANEL_Display34, PANEL_Display35}) {
        QWidget *w = UiControlWidget(pHandle, id);
        const QRect onScreen(w->mapToGlobal(QPoint(0, 0)), w->size());
        EXPECT_TRUE(screen.contains(onScreen)) << w->objectName().toStdString();
        EXPECT_FALSE(stats->frameGeometry().intersects(onScreen)) << w->objectName().toStdString();
    }
    QPixmap shot(screen.size());
    shot.fill(Qt::darkGray);
    {
        QPainter painter(&shot);
        painter.drawPixmap(main->pos(), main->grab());
        painter.drawPixmap(stats->pos(), stats->grab());
    }
    shot.save(QStringLiteral(KVEX_TEST_OUTPUT "/statistics_1024x700.png"));

    QApplication::setActiveWindow(stats);
    QTest::keyClick(stats, Qt::Key_Escape);
    EXPECT_FALSE(stats->isVisible()) << "Esc closes the statistics";
    EXPECT_TRUE(main->isVisible());
    KVexApp::Commit(CC_BTNStatistics, pHandle, PANEL_BTNStatistics);
    ASSERT_TRUE(stats->isVisible());
    KVexApp::Commit(CC_StatsClose, pStats, STATS_StatsClose);
    EXPECT_FALSE(stats->isVisible()) << "so does its Close button";
    HidePanel(pHandle);
}

namespace {

// Publishing's part of the connection indicator at its longest.
void BrokerNotAuthorised(char *text, std::size_t size) {
    std::snprintf(text, size, "MQTT queued 48213, 1740 dropped: not authorised");
}

// The whole text is drawn inside the control, on as many lines as it takes.
void ExpectReadWhole(QWidget *window, const char *what, int control = PANEL_LinkState) {
    auto *state = qobject_cast<QLabel *>(UiControlWidget(pHandle, control));
    ASSERT_NE(state, nullptr);
    const QRect room = state->contentsRect();
    const int flags = Qt::AlignLeft | (state->wordWrap() ? Qt::TextWordWrap : 0);
    const QRect needed = QFontMetrics(state->font()).boundingRect(room, flags, state->text());
    EXPECT_LE(needed.width(), room.width()) << what << ": " << state->text().toStdString();
    EXPECT_LE(needed.height(), room.height()) << what << ": " << state->text().toStdString();
    EXPECT_GE(QFontInfo(state->font()).pixelSize(), 9) << what;
    EXPECT_TRUE(window->rect().contains(QRect(state->mapTo(window, QPoint(0, 0)), state->size())))
        << what;
}

}  // namespace

// The connection indicator with publishing on, during a mode and with a long
// firmware text, is read whole on the smallest screen and on a wide one.
TEST(SmallScreen, TheConnectionIndicatorIsReadWhole) {
    ASSERT_TRUE(kScreenSet);
    KVexApp app;
    ASSERT_TRUE(app.Start(true));
    DisplayPanel(pHandle);
    QWidget *window = UiPanelWidget(pHandle);
    session_hooks.secondLinkState = BrokerNotAuthorised;
    std::snprintf(szVersion, sizeof szVersion, "%s",
                  "K-VEX-RB-ZD Firmware V4.17.203 build 2026-11-30 (line-scan CCD, 2 ch)");
    for (const QSize size : {QSize(1024, 700), QSize(1366, 700)}) {
        window->resize(size - (window->frameGeometry().size() - window->size()));
        KVexApp::Pump(0.1);
        const std::string at = std::to_string(size.width());
        NoteLinkOpened();  // connected: the device and the firmware
        KVexApp::Pump(0.05);
        ExpectReadWhole(window, ("firmware at " + at).c_str());
        window->grab().save(
            QString::fromStdString(KVEX_TEST_OUTPUT "/link_state_firmware_" + at + ".png"));
        BeginLinkFigure();
        KVexApp::Pump(0.05);
        ExpectReadWhole(window, ("running at " + at).c_str());
        window->grab().save(
            QString::fromStdString(KVEX_TEST_OUTPUT "/link_state_running_" + at + ".png"));
        EndLinkFigure();
    }
    session_hooks.secondLinkState = nullptr;
    HidePanel(pHandle);
}

// The program's longest status texts (a replay's findings, a refusal that
// names the file) are shown whole on the smallest screen, not cut at the
// size of the sensor's own texts.
TEST(SmallScreen, TheStatusLineShowsTheProgramsLongTextsWhole) {
    ASSERT_TRUE(kScreenSet);
    KVexApp app;
    ASSERT_TRUE(app.Start(true));
    DisplayPanel(pHandle);
    QWidget *window = UiPanelWidget(pHandle);
    const char *texts[] = {
        "Replay of line3_2026-12-08_shift2.csv: 4000000 samples; 15 unreadable lines skipped, "
        "the first is line 1234567",
        "Cannot replay s4000001.dat: it holds more than 4000000 samples, more than a replay "
        "keeps in memory"};
    for (const char *text : texts) {
        ShowStatusText(text);
        KVexApp::Pump(0.05);
        EXPECT_EQ(KVexApp::Status(), text);
        ExpectReadWhole(window, text, PANEL_StatusLine);
    }
    window->grab().save(QStringLiteral(KVEX_TEST_OUTPUT "/status_line_long_1024x700.png"));
    HidePanel(pHandle);
}
