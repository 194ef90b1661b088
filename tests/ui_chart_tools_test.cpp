// The run-time's small tools: a slider whose range the program sets and
// whose track carries marks, a chart the operator drags, zooms and reads by
// hovering, and a file dropped onto a panel.
#include <qcustomplot.h>

#include <QDropEvent>
#include <QMimeData>
#include <QSet>
#include <QSlider>
#include <QStringList>
#include <QToolTip>
#include <QUrl>
#include <cmath>
#include <cstdio>
#include <string>

#include "ui_test_support.h"

using namespace uitest;

namespace {

double heardMin = 0, heardMax = 0;
int heard = 0;
std::string dropped;

void HearRange(int, int, double xMin, double xMax) {
    heardMin = xMin, heardMax = xMax;
    ++heard;
}

int SayPoint(int, int, double x, double, char *text, int size) {
    return std::snprintf(text, static_cast<std::size_t>(size), "point %ld", std::lround(x));
}

int NumberTimesTen(int, int, double x, double, char *text, int size) {
    return std::snprintf(text, static_cast<std::size_t>(size), "t%ld", std::lround(x * 10));
}

// Coarser than the ticks: many ticks fall into one "second" of 100 points.
int Hundreds(int, int, double x, double, char *text, int size) {
    return std::snprintf(text, static_cast<std::size_t>(size), "h%ld", std::lround(x) / 100);
}

}  // namespace

TEST_F(UiTest, SliderRangeAndMarksAreSetAtRunTime) {
    SetCtrlVal(panel, kSlide, 40);
    ASSERT_EQ(SetSliderRange(panel, kSlide, 1, 20), 0);
    int value = 0;
    GetCtrlVal(panel, kSlide, &value);
    EXPECT_EQ(value, 20);  // held within the new range
    EXPECT_EQ(Widget<QSlider>(kSlide)->maximum(), 20);
    const int marks[] = {3, 17};
    EXPECT_EQ(SetSliderMarks(panel, kSlide, marks, 2, 0xFF0000), 0);
    EXPECT_EQ(SetSliderRange(panel, kSlide, 5, 4), UIE_BAD_VALUE);
    EXPECT_EQ(SetSliderMarks(panel, kNum, marks, 2, 0), UIE_BAD_KIND);
    EXPECT_EQ(SetSliderMarks(panel, kSlide, nullptr, 2, 0), UIE_BAD_ARGUMENT);
    EXPECT_TRUE(events.empty());  // the program's own changes fire nothing
}

TEST_F(UiTest, AnExploredChartIsDraggedZoomedAndReadUnderThePointer) {
    Show();
    QCustomPlot *plot = UiControlPlot(panel, kStrip);
    double values[400];
    for (int i = 0; i < 400; ++i) values[i] = i;
    SetCtrlAttribute(panel, kStrip, ATTR_NUM_TRACES, 1);
    SetCtrlAttribute(panel, kStrip, ATTR_POINTS_PER_SCREEN, 400);
    PlotStripChart(panel, kStrip, values, 400, 0, 0, VAL_DOUBLE);
    Settle();
    double lo = 0, hi = 0;
    GetChartXRange(panel, kStrip, &lo, &hi);
    const QPoint middle(static_cast<int>(plot->xAxis->coordToPixel((lo + hi) / 2)),
                        plot->height() / 2);

    // Off, a drag moves nothing.
    QTest::mousePress(plot, Qt::LeftButton, {}, middle);
    QTest::mouseMove(plot, middle + QPoint(60, 0));
    QTest::mouseRelease(plot, Qt::LeftButton, {}, middle + QPoint(60, 0));
    double lo2 = 0, hi2 = 0;
    GetChartXRange(panel, kStrip, &lo2, &hi2);
    EXPECT_EQ(lo2, lo);

    ASSERT_EQ(SetChartExploration(panel, kStrip, 1, HearRange), 0);
    QTest::mousePress(plot, Qt::LeftButton, {}, middle);
    QTest::mouseMove(plot, middle + QPoint(60, 0));
    QTest::mouseRelease(plot, Qt::LeftButton, {}, middle + QPoint(60, 0));
    ASSERT_EQ(heard, 1);
    EXPECT_LT(heardMin, lo);  // dragged to the right: earlier points come into view
    EXPECT_NEAR(heardMax - heardMin, hi - lo, 1e-6);

    QWheelEvent wheel(middle, plot->mapToGlobal(middle), {}, {0, 120}, Qt::NoButton, {},
                      Qt::NoScrollPhase, false);
    QApplication::sendEvent(plot, &wheel);
    Pump(0.3);
    ASSERT_EQ(heard, 2);
    EXPECT_LT(heardMax - heardMin, hi - lo);  // zoomed in around the pointer

    SetChartHover(panel, kStrip, SayPoint);
    const double x = plot->xAxis->pixelToCoord(middle.x());
    QHelpEvent tip(QEvent::ToolTip, middle, plot->mapToGlobal(middle));
    QApplication::sendEvent(plot, &tip);
    EXPECT_EQ(QToolTip::text().toStdString(), "point " + std::to_string(std::lround(x)));

    SetChartXLabels(panel, kStrip, NumberTimesTen, "Tens");
    const QVector<QString> labels = plot->xAxis->tickVectorLabels();
    ASSERT_FALSE(labels.isEmpty());
    for (const QString &label : labels) EXPECT_TRUE(label.startsWith('t')) << label.toStdString();
    EXPECT_EQ(plot->xAxis->label(), "Tens");  // the axis says what its labels count
    SetChartXLabels(panel, kStrip, nullptr);
    EXPECT_EQ(plot->xAxis->label(), "Tens");  // no name given: the name stays
    // Labels coarser than the ticks are never repeated, yet each one stands.
    SetChartXLabels(panel, kStrip, Hundreds, "Hundreds");
    QStringList shown;
    for (const QString &label : plot->xAxis->tickVectorLabels())
        if (!label.trimmed().isEmpty()) shown.append(label);
    ASSERT_GE(shown.size(), 2) << "the 400 points span several hundreds";
    EXPECT_EQ(shown.size(), QSet<QString>(shown.begin(), shown.end()).size())
        << shown.join(' ').toStdString();
}

TEST_F(UiTest, AFileDroppedOntoAPanelIsHandedToTheProgram) {
    Show();
    QWidget *window = UiPanelWidget(panel);
    auto drop = [&] {
        QMimeData data;
        data.setUrls({QUrl::fromLocalFile("/tmp/night shift.csv"), QUrl("https://example.org/x")});
        const QPoint at(window->width() / 2, window->height() / 2);
        QDragEnterEvent enter(at, Qt::CopyAction, &data, Qt::LeftButton, {});
        QApplication::sendEvent(window, &enter);
        QDropEvent event(at, Qt::CopyAction, &data, Qt::LeftButton, {});
        QApplication::sendEvent(window, &event);
        return enter.isAccepted();
    };
    EXPECT_FALSE(drop());  // nobody takes drops yet
    SetPanelFileDrop(panel, [](int, const char *path) { dropped = path; });
    EXPECT_TRUE(drop());
    EXPECT_EQ(dropped, "/tmp/night shift.csv");
}
