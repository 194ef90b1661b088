// The main window at a scale factor of 1.5 on a 1600 x 1000 screen: it must
// fit the screen and keep its layout, the rest reached by scrolling.
#include <gtest/gtest.h>

#include <QApplication>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <cstdlib>
#include <fstream>
#include <string>

#include "kvex_app.h"
#include "kvex_ids.h"
#include "ui_qt.h"

using kvextest::KVexApp;

namespace {

// Before the run-time starts: the offscreen screen and the scale factor.
const bool kScreenSet = [] {
    const std::string config = KVEX_TEST_OUTPUT "/screen_1600x1000.json";
    std::ofstream(config) << R"({"screens": [{"name": "wide", "x": 0, "y": 0, "width": 1600,
        "height": 1000, "logicalDpi": 96, "logicalBaseDpi": 96, "dpr": 1}]})";
    setenv("QT_QPA_PLATFORM", ("offscreen:configfile=" + config).c_str(), 1);
    setenv("QT_SCALE_FACTOR", "1.5", 1);
    return true;
}();

}  // namespace

TEST(ScaledLayout, WindowFitsAScaledScreenAndKeepsItsLayout) {
    ASSERT_TRUE(kScreenSet);
    KVexApp app;
    ASSERT_TRUE(app.Start(true));
    DisplayPanel(pHandle);
    QWidget *window = UiPanelWidget(pHandle);
    const QScreen *screen = window->screen();
    ASSERT_DOUBLE_EQ(screen->devicePixelRatio(), 1.5);
    const QSize free = screen->availableGeometry().size();
    EXPECT_LE(window->width(), free.width());
    EXPECT_LE(window->height(), free.height());
    // In device pixels: the screen's, give or take Qt's rounding of 1600 / 1.5.
    const QSize pixels = window->size() * screen->devicePixelRatio();
    EXPECT_LE(pixels.width(), 1600 + 1);
    EXPECT_LE(pixels.height(), 1000 + 1);
    // The panel keeps its own size and places inside the scrolled area.
    auto *scroll = window->findChild<QScrollArea *>();
    ASSERT_NE(scroll, nullptr);
    KVexApp::Pump(0.1);
    EXPECT_EQ(scroll->widget()->size(), QSize(1000, 672));
    EXPECT_TRUE(scroll->verticalScrollBar()->isVisible());
    EXPECT_EQ(UiControlWidget(pHandle, PANEL_Display14)->geometry(), QRect(756, 126, 236, 48));
    window->grab().save(QStringLiteral(KVEX_TEST_OUTPUT "/main_scale_1.5.png"));
    HidePanel(pHandle);
}
