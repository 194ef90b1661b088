// Graphs and strip charts on QCustomPlot. Plots keep their handles until they
// are deleted; deleted curves and rectangles are kept hidden and used again,
// and strip-chart traces are rewritten in place, so the per-measurement work
// allocates nothing once the first cycle has run.
#include <QApplication>
#include <algorithm>
#include <cmath>
#include <vector>

#include "ui_plot_engine.h"

namespace kvexui {
namespace {

constexpr int kCursorColors[] = {0x000000, 0x0000FF, 0x800080, 0x008080};
constexpr int kTraceColors[] = {0x008000, 0x008000, 0x000000, 0xFF0000,
                                0xFF0000, 0x0000FF, 0x808000, 0x800080};

QCPScatterStyle ScatterFor(int pointStyle, const QColor &color) {
    switch (pointStyle) {
        case VAL_NO_POINT:
            return QCPScatterStyle(QCPScatterStyle::ssNone);
        case VAL_SOLID_SQUARE:
            return QCPScatterStyle(QCPScatterStyle::ssSquare, color, color, 4);
        case VAL_SOLID_CIRCLE:
            return QCPScatterStyle(QCPScatterStyle::ssDisc, color, color, 6);
        default:
            return QCPScatterStyle(QCPScatterStyle::ssCross, color, 6);
    }
}

// Cursor markers: 10 solid square, 13 solid circle, 24 none, any other a cross.
void StyleMarker(GraphCursor &cur) {
    const QColor color = ToQColor(cur.color);
    cur.line->setPen(QPen(color, 1, Qt::DashLine));
    cur.marker->setPen(QPen(color));
    cur.marker->setBrush(QBrush(color));
    switch (cur.pointStyle) {
        case VAL_NO_POINT:
            cur.marker->setStyle(QCPItemTracer::tsNone);
            break;
        case VAL_SOLID_SQUARE:
            cur.marker->setStyle(QCPItemTracer::tsSquare);
            break;
        case VAL_SOLID_CIRCLE:
            cur.marker->setStyle(QCPItemTracer::tsCircle);
            break;
        default:
            cur.marker->setStyle(QCPItemTracer::tsPlus);
            break;
    }
}

void PlaceCursor(GraphCursor &cur) {
    cur.line->point1->setCoords(cur.x, 0);
    cur.line->point2->setCoords(cur.x, 1);
    cur.marker->position->setCoords(cur.x, cur.y);
}

void SetupLooks(QCustomPlot *plot, const ControlSpec &desc) {
    plot->setObjectName(desc.name);
    plot->setAccessibleName(desc.label.isEmpty() ? desc.name : desc.label);
    plot->setBackground(Qt::white);
    QFont small = QApplication::font();
    small.setPointSize(std::max(6, small.pointSize() - 2));
    for (QCPAxis *axis : {plot->xAxis, plot->yAxis, plot->yAxis2}) {
        axis->setTickLabelFont(small);
        axis->setLabelFont(small);
    }
    plot->xAxis->setRange(desc.xMin, desc.xMax);
    plot->yAxis->setRange(desc.yMin, desc.yMax);
    plot->yAxis2->setRange(desc.yMin, desc.yMax);
    plot->yAxis2->setVisible(desc.rightYAxis);
    plot->xAxis->setLabel(desc.xLabel);
    plot->yAxis->setLabel(desc.yLabel);
    // A bar graph's height carries no measure: numbers there would only puzzle.
    for (QCPAxis *axis : {plot->yAxis, plot->yAxis2}) {
        axis->setTicks(desc.yTickLabels);
        axis->grid()->setVisible(desc.yTickLabels);
    }
}

void AddCursors(QCustomPlot *plot, GraphState &g, const ControlSpec &desc) {
    plot->addLayer(kCursorLayer, plot->layer(QStringLiteral("main")), QCustomPlot::limAbove);
    plot->layer(kCursorLayer)->setMode(QCPLayer::lmLogical);
    for (int i = 0; i < desc.cursors; ++i) {
        GraphCursor cur;
        cur.line = new QCPItemStraightLine(plot);
        cur.marker = new QCPItemTracer(plot);
        cur.line->setLayer(kCursorLayer);
        cur.line->setAntialiased(false);  // upright: crisp on a whole pixel
        cur.marker->setLayer(kCursorLayer);
        cur.marker->setSize(8);
        cur.color = kCursorColors[i % 4];
        cur.x = desc.xMin;
        cur.y = desc.yMin;
        StyleMarker(cur);
        PlaceCursor(cur);
        g.cursors.push_back(cur);
    }
}

Control *FindKind(int panel, int control, Kind kind, int &code) {
    Control *c = FindControl(panel, control, code);
    if (c && c->kind != kind) {
        code = UIE_BAD_KIND;
        return nullptr;
    }
    return c;
}

// ---------------------------------------------------------------- graph plots
QCPGraph *TakeGraph(Control &c) {
    GraphState &g = *c.graph;
    if (g.spareGraphs.empty()) return NewCurve(c.plot->xAxis, c.plot->yAxis);
    QCPGraph *graph = g.spareGraphs.back();
    g.spareGraphs.pop_back();
    graph->setVisible(true);
    graph->setLayer(QStringLiteral("main"));  // to the top, as a new plot would be
    return graph;
}

QCPItemRect *TakeRect(Control &c) {
    GraphState &g = *c.graph;
    if (g.spareRects.empty()) {
        auto *rect = new QCPItemRect(c.plot);
        rect->setLayer(QStringLiteral("main"));
        // Edges along the axes: crisp on whole pixels, and no blending.
        rect->setAntialiased(false);
        return rect;
    }
    QCPItemRect *rect = g.spareRects.back();
    g.spareRects.pop_back();
    rect->setVisible(true);
    rect->setLayer(QStringLiteral("main"));
    return rect;
}

// Writes the points into the curve's own container, in place when the count
// is the same as before.
void FillGraph(QCPGraph *graph, const void *x, const void *y, int count, int xType, int yType) {
    QSharedPointer<QCPGraphDataContainer> data = graph->data();
    if (data->size() != count) {
        data->clear();
        for (int i = 0; i < count; ++i)
            data->add(QCPGraphData(ReadArrayValue(x, xType, i), ReadArrayValue(y, yType, i)));
        return;
    }
    bool sorted = true;
    double previous = -HUGE_VAL;
    auto it = data->begin();
    for (int i = 0; i < count; ++i, ++it) {
        it->key = ReadArrayValue(x, xType, i);
        it->value = ReadArrayValue(y, yType, i);
        if (it->key < previous) sorted = false;
        previous = it->key;
    }
    if (!sorted) data->sort();
}

// Plot style 0 is a thin line, 2 marks the points alone, 7 draws filled steps;
// 5 (and any other) connects the points and marks them with the point style.
void StyleGraph(QCPGraph *graph, int plotStyle, int pointStyle, int lineStyle, int pointFrequency,
                int color) {
    const QColor c = ToQColor(color);
    const Qt::PenStyle pen = lineStyle == VAL_DASH  ? Qt::DashLine
                             : lineStyle == VAL_DOT ? Qt::DotLine
                                                    : Qt::SolidLine;
    graph->setPen(QPen(c, 1, pen));
    graph->setLineStyle(plotStyle == VAL_SCATTER        ? QCPGraph::lsNone
                        : plotStyle == VAL_FILLED_STEPS ? QCPGraph::lsStepLeft
                                                        : QCPGraph::lsLine);
    graph->setBrush(plotStyle == VAL_FILLED_STEPS ? QBrush(c.lighter(170)) : QBrush(Qt::NoBrush));
    graph->setScatterStyle(plotStyle == VAL_THIN_LINE || plotStyle == VAL_FILLED_STEPS
                               ? QCPScatterStyle(QCPScatterStyle::ssNone)
                               : ScatterFor(pointStyle, c));
    graph->setScatterSkip(pointFrequency > 1 ? pointFrequency - 1 : 0);
}

QCPAxis *AxisOf(QCustomPlot *plot, int axis) {
    switch (axis) {
        case VAL_XAXIS:
            return plot->xAxis;
        case VAL_LEFT_YAXIS:
            return plot->yAxis;
        case VAL_RIGHT_YAXIS:
            return plot->yAxis2;
        default:
            return nullptr;
    }
}

int AddPlot(Control &c, QCPGraph *graph, QCPItemRect *rect) {
    GraphState &g = *c.graph;
    for (int axis = VAL_XAXIS; axis <= VAL_RIGHT_YAXIS; ++axis)
        if (g.scaling[axis] == VAL_AUTOSCALE) AxisOf(c.plot, axis)->rescale(true);
    const int handle = g.nextHandle++;
    if (g.nextHandle <= 0) g.nextHandle = 1;
    g.plots.push_back(PlotEntry{handle, graph, rect});
    RequestReplot(c);
    return handle;
}

void Retire(GraphState &g, const PlotEntry &e) {
    if (e.graph) {
        e.graph->setVisible(false);
        g.spareGraphs.push_back(e.graph);
    } else {
        e.rect->setVisible(false);
        g.spareRects.push_back(e.rect);
    }
}

GraphCursor *FindCursor(int panel, int control, int cursor, int &code, Control **owner = nullptr) {
    Control *c = FindKind(panel, control, Kind::Graph, code);
    if (!c) return nullptr;
    if (cursor < 1 || static_cast<std::size_t>(cursor) > c->graph->cursors.size()) {
        code = UIE_BAD_ARGUMENT;
        return nullptr;
    }
    if (owner) *owner = c;
    return &c->graph->cursors[cursor - 1];
}

// ---------------------------------------------------------------- strip charts
Control *FindStrip(int panel, int control, int &code) {
    return FindKind(panel, control, Kind::StripChart, code);
}

void StyleTrace(StripState &s, int t) {
    QCPGraph *graph = s.traces[t];
    graph->setPen(QPen(ToQColor(s.colors[t]), 1));
    graph->setVisible(s.shown[t] != 0);
}

void ResetStrip(Control &c) {
    StripState &s = *c.strip;
    s.ring.assign(s.traces.size() * static_cast<std::size_t>(s.pointsPerScreen), 0.0);
    s.head = s.count = 0;
    s.total = 0;
    s.numberShift = 0;
    for (QCPGraph *graph : s.traces) graph->data()->clear();
}

void SetTraceCount(Control &c, int traces) {
    StripState &s = *c.strip;
    while (static_cast<int>(s.traces.size()) > traces) {
        c.plot->removeGraph(s.traces.back());
        s.traces.pop_back();
    }
    while (static_cast<int>(s.traces.size()) < traces) {
        const int t = static_cast<int>(s.traces.size());
        s.traces.push_back(NewCurve(c.plot->xAxis, c.plot->yAxis));
        s.colors.resize(s.traces.size(), kTraceColors[t % 8]);
        s.shown.resize(s.traces.size(), 1);
        StyleTrace(s, t);
    }
    s.colors.resize(s.traces.size());
    s.shown.resize(s.traces.size());
    ResetStrip(c);
}

// Copies the ring of every trace into its curve, oldest point first.
void SyncTraces(Control &c) {
    StripState &s = *c.strip;
    const long long firstKey = s.total - s.count + s.numberShift;
    for (std::size_t t = 0; t < s.traces.size(); ++t) {
        QSharedPointer<QCPGraphDataContainer> data = s.traces[t]->data();
        const double *ring = s.ring.data() + t * s.pointsPerScreen;
        if (data->size() != s.count) {
            data->clear();
            for (int p = 0; p < s.count; ++p)
                data->add(QCPGraphData(static_cast<double>(firstKey + p),
                                       ring[(s.head + p) % s.pointsPerScreen]));
            continue;
        }
        auto it = data->begin();
        for (int p = 0; p < s.count; ++p, ++it) {
            it->key = static_cast<double>(firstKey + p);
            it->value = ring[(s.head + p) % s.pointsPerScreen];
        }
    }
    const double right =
        static_cast<double>(std::max<long long>(s.total, s.pointsPerScreen) + s.numberShift);
    c.plot->xAxis->setRange(right - s.pointsPerScreen, right - 1);
}

}  // namespace

// ---------------------------------------------------------------- building
QWidget *BuildGraph(Control &c, const ControlSpec &desc, QWidget *parent) {
    auto *plot = NewPlot(parent);
    c.plot = plot;
    c.graph = std::make_unique<GraphState>();
    SetupLooks(plot, desc);
    AddCursors(plot, *c.graph, desc);
    return plot;
}

QWidget *BuildStripChart(Control &c, const ControlSpec &desc, QWidget *parent) {
    auto *plot = NewPlot(parent);
    c.plot = plot;
    c.strip = std::make_unique<StripState>();
    c.strip->pointsPerScreen = desc.pointsPerScreen;
    plot->xAxis->setTicker(NewRememberedLabels());
    SetupLooks(plot, desc);
    SetTraceCount(c, desc.traces);
    SyncTraces(c);
    return plot;
}

int SetStripChartAttribute(Control &c, int attribute, int value) {
    if (!c.strip) return UIE_BAD_ATTRIBUTE;
    StripState &s = *c.strip;
    switch (attribute) {
        case ATTR_SCROLL_MODE:
            s.scrollMode = value;
            return 0;
        case ATTR_NUM_TRACES:
            if (value < 1 || value > 16) return UIE_BAD_VALUE;
            if (value != static_cast<int>(s.traces.size())) SetTraceCount(c, value);
            break;
        case ATTR_POINTS_PER_SCREEN:
            if (value < 2 || value > 10000) return UIE_BAD_VALUE;
            if (value == s.pointsPerScreen) return 0;
            s.pointsPerScreen = value;
            ResetStrip(c);
            break;
        case ATTR_NEWEST_POINT_NUMBER:
            if (s.numberShift == value - (s.total - 1)) return 0;
            s.numberShift = value - (s.total - 1);
            break;
        default:
            return UIE_BAD_ATTRIBUTE;
    }
    SyncTraces(c);
    RequestReplot(c);
    return 0;
}

int GetStripChartAttribute(const Control &c, int attribute, int *value) {
    if (!c.strip) return UIE_BAD_ATTRIBUTE;
    switch (attribute) {
        case ATTR_SCROLL_MODE:
            *value = c.strip->scrollMode;
            return 0;
        case ATTR_NUM_TRACES:
            *value = static_cast<int>(c.strip->traces.size());
            return 0;
        case ATTR_POINTS_PER_SCREEN:
            *value = c.strip->pointsPerScreen;
            return 0;
        case ATTR_NEWEST_POINT_NUMBER:
            *value = static_cast<int>(c.strip->total - 1 + c.strip->numberShift);
            return 0;
        default:
            return UIE_BAD_ATTRIBUTE;
    }
}

}  // namespace kvexui

using namespace kvexui;

// ---------------------------------------------------------------- graphs
int PlotXY(int panel, int control, const void *x, const void *y, int count, int xType, int yType,
           int plotStyle, int pointStyle, int lineStyle, int pointFrequency, int color) {
    int code = 0;
    Control *c = FindKind(panel, control, Kind::Graph, code);
    if (!c) return code;
    if (!x || !y || count < 1 || !DataTypeSize(xType) || !DataTypeSize(yType))
        return UIE_BAD_ARGUMENT;
    QCPGraph *graph = TakeGraph(*c);
    FillGraph(graph, x, y, count, xType, yType);
    StyleGraph(graph, plotStyle, pointStyle, lineStyle, pointFrequency, color);
    return AddPlot(*c, graph, nullptr);
}

int PlotRectangle(int panel, int control, double x1, double y1, double x2, double y2, int color,
                  int fillColor) {
    int code = 0;
    Control *c = FindKind(panel, control, Kind::Graph, code);
    if (!c) return code;
    QCPItemRect *rect = TakeRect(*c);
    rect->topLeft->setCoords(std::min(x1, x2), std::max(y1, y2));
    rect->bottomRight->setCoords(std::max(x1, x2), std::min(y1, y2));
    rect->setPen(QPen(ToQColor(color)));
    rect->setBrush(fillColor == VAL_TRANSPARENT ? QBrush(Qt::NoBrush)
                                                : QBrush(ToQColor(fillColor)));
    return AddPlot(*c, nullptr, rect);
}

int DeleteGraphPlot(int panel, int control, int plotHandle, int refresh) {
    int code = 0;
    Control *c = FindKind(panel, control, Kind::Graph, code);
    if (!c) return code;
    GraphState &g = *c->graph;
    if (plotHandle == -1) {
        for (const PlotEntry &e : g.plots) Retire(g, e);
        g.plots.clear();
    } else {
        const auto it = std::find_if(g.plots.begin(), g.plots.end(),
                                     [&](const PlotEntry &e) { return e.handle == plotHandle; });
        if (it == g.plots.end()) return UIE_BAD_ARGUMENT;
        Retire(g, *it);
        g.plots.erase(it);
    }
    if (refresh != VAL_NO_DRAW) RequestReplot(*c);
    return 0;
}

int GetNumGraphPlots(int panel, int control, int *count) {
    int code = 0;
    const Control *c = FindKind(panel, control, Kind::Graph, code);
    if (!c) return code;
    if (!count) return UIE_BAD_ARGUMENT;
    *count = static_cast<int>(c->graph->plots.size());
    return 0;
}

int SetAxisScalingMode(int panel, int control, int axis, int mode, double min, double max) {
    int code = 0;
    Control *c = FindControl(panel, control, code);
    if (!c) return code;
    if (!c->plot) return UIE_BAD_KIND;
    QCPAxis *a = AxisOf(c->plot, axis);
    if (!a || (mode != VAL_MANUAL && mode != VAL_AUTOSCALE)) return UIE_BAD_ARGUMENT;
    if (c->strip && axis == VAL_XAXIS) return UIE_BAD_ARGUMENT;  // it scrolls by itself
    if (mode == VAL_MANUAL && !(min < max)) return UIE_BAD_VALUE;
    int &scaling = c->strip ? c->strip->yScaling : c->graph->scaling[axis];
    scaling = mode;
    if (mode == VAL_MANUAL)
        a->setRange(min, max);
    else
        a->rescale(true);
    if (axis == VAL_RIGHT_YAXIS) a->setVisible(true);
    RequestReplot(*c);
    return 0;
}

int GetAxisScalingMode(int panel, int control, int axis, int *mode, double *min, double *max) {
    int code = 0;
    const Control *c = FindControl(panel, control, code);
    if (!c) return code;
    if (!c->plot) return UIE_BAD_KIND;
    const QCPAxis *a = AxisOf(c->plot, axis);
    if (!a) return UIE_BAD_ARGUMENT;
    if (mode)
        *mode = c->strip ? (axis == VAL_XAXIS ? VAL_AUTOSCALE : c->strip->yScaling)
                         : c->graph->scaling[axis];
    if (min) *min = a->range().lower;
    if (max) *max = a->range().upper;
    return 0;
}

int SetGraphCursor(int panel, int control, int cursor, double x, double y) {
    int code = 0;
    Control *c = nullptr;
    GraphCursor *cur = FindCursor(panel, control, cursor, code, &c);
    if (!cur) return code;
    if (cur->x == x && cur->y == y) return 0;
    cur->x = x;
    cur->y = y;
    PlaceCursor(*cur);
    RequestReplot(*c);
    return 0;
}

int GetGraphCursor(int panel, int control, int cursor, double *x, double *y) {
    int code = 0;
    const GraphCursor *cur = FindCursor(panel, control, cursor, code);
    if (!cur) return code;
    if (x) *x = cur->x;
    if (y) *y = cur->y;
    return 0;
}

int SetCursorAttribute(int panel, int control, int cursor, int attribute, int value) {
    int code = 0;
    Control *c = nullptr;
    GraphCursor *cur = FindCursor(panel, control, cursor, code, &c);
    if (!cur) return code;
    switch (attribute) {
        case ATTR_CURSOR_POINT_STYLE:
            if (cur->pointStyle == value) return 0;
            cur->pointStyle = value;
            break;
        case ATTR_CURSOR_COLOR:
            if (value < 0 || value > 0xFFFFFF) return UIE_BAD_VALUE;
            if (cur->color == value) return 0;
            cur->color = value;
            break;
        default:
            return UIE_BAD_ATTRIBUTE;
    }
    StyleMarker(*cur);
    RequestReplot(*c);
    return 0;
}

int GetCursorAttribute(int panel, int control, int cursor, int attribute, int *value) {
    int code = 0;
    const GraphCursor *cur = FindCursor(panel, control, cursor, code);
    if (!cur) return code;
    if (!value) return UIE_BAD_ARGUMENT;
    switch (attribute) {
        case ATTR_CURSOR_POINT_STYLE:
            *value = cur->pointStyle;
            return 0;
        case ATTR_CURSOR_COLOR:
            *value = cur->color;
            return 0;
        default:
            return UIE_BAD_ATTRIBUTE;
    }
}

// ---------------------------------------------------------------- strip charts
int PlotStripChart(int panel, int control, const void *data, int count, int start, int skip,
                   int dataType) {
    int code = 0;
    Control *c = FindStrip(panel, control, code);
    if (!c) return code;
    if (!data || count < 0 || start < 0 || skip < 0 || !DataTypeSize(dataType))
        return UIE_BAD_ARGUMENT;
    StripState &s = *c->strip;
    const int traces = static_cast<int>(s.traces.size());
    const long long step = static_cast<long long>(skip) + 1;
    for (int point = 0; point < count / traces; ++point) {
        const int slot = (s.head + s.count) % s.pointsPerScreen;
        for (int t = 0; t < traces; ++t) {
            const long long k = static_cast<long long>(point) * traces + t;
            s.ring[static_cast<std::size_t>(t) * s.pointsPerScreen + slot] =
                ReadArrayValue(data, dataType, start + k * step);
        }
        if (s.count < s.pointsPerScreen)
            ++s.count;
        else
            s.head = (s.head + 1) % s.pointsPerScreen;
        ++s.total;
    }
    SyncTraces(*c);
    RequestReplot(*c);
    return 0;
}

int ClearStripChart(int panel, int control) {
    int code = 0;
    Control *c = FindStrip(panel, control, code);
    if (!c) return code;
    ResetStrip(*c);
    SyncTraces(*c);
    RequestReplot(*c);
    return 0;
}

int SetTraceAttribute(int panel, int control, int trace, int attribute, int value) {
    int code = 0;
    Control *c = FindStrip(panel, control, code);
    if (!c) return code;
    StripState &s = *c->strip;
    if (trace < 1 || trace > static_cast<int>(s.traces.size())) return UIE_BAD_ARGUMENT;
    const int t = trace - 1;
    switch (attribute) {
        case ATTR_TRACE_COLOR:
            if (value < 0 || value > 0xFFFFFF) return UIE_BAD_VALUE;
            if (s.colors[t] == value) return 0;
            s.colors[t] = value;
            break;
        case ATTR_TRACE_VISIBLE:
            if (s.shown[t] == (value != 0)) return 0;
            s.shown[t] = value != 0;
            break;
        default:
            return UIE_BAD_ATTRIBUTE;
    }
    StyleTrace(s, t);
    RequestReplot(*c);
    return 0;
}

int GetTraceAttribute(int panel, int control, int trace, int attribute, int *value) {
    int code = 0;
    const Control *c = FindStrip(panel, control, code);
    if (!c) return code;
    const StripState &s = *c->strip;
    if (trace < 1 || trace > static_cast<int>(s.traces.size()) || !value) return UIE_BAD_ARGUMENT;
    switch (attribute) {
        case ATTR_TRACE_COLOR:
            *value = s.colors[trace - 1];
            return 0;
        case ATTR_TRACE_VISIBLE:
            *value = s.shown[trace - 1];
            return 0;
        default:
            return UIE_BAD_ATTRIBUTE;
    }
}

int GetStripChartTrace(int panel, int control, int trace, double *values, int capacity) {
    int code = 0;
    const Control *c = FindStrip(panel, control, code);
    if (!c) return code;
    const StripState &s = *c->strip;
    if (trace < 1 || trace > static_cast<int>(s.traces.size()) || capacity < 0 ||
        (capacity > 0 && !values))
        return UIE_BAD_ARGUMENT;
    const double *ring = s.ring.data() + static_cast<std::size_t>(trace - 1) * s.pointsPerScreen;
    const int n = std::min(capacity, s.count);
    for (int p = 0; p < n; ++p) values[p] = ring[(s.head + p) % s.pointsPerScreen];
    return n;
}
