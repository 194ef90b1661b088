// Graphs and strip charts: plots, cursors, axes, and what a plot shows on
// screen and in a picture of its panel.
#include <qcustomplot.h>

#include <QImage>
#include <QScreen>

#include "ui_test_support.h"

using namespace uitest;

namespace {

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

}  // namespace
