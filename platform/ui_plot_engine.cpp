// The plot engine beneath the graphs and strip charts: a QCustomPlot that
// keeps what stays the same as a picture and draws only what changed over
// it. A change only marks the plot for a redraw at the next event
// processing: many changes, one paint.
#include "ui_plot_engine.h"

#include <QApplication>
#include <QBackingStore>
#include <QContextMenuEvent>
#include <QPointer>
#include <algorithm>
#include <array>
#include <cmath>
#include <utility>
#include <vector>

namespace kvexui {
namespace {

// A change only marks the plot: the window draws its marked plots right
// before it paints, so that all changes of all plots since the last frame
// cost one render each and one paint of the window. A plot that is not on
// screen is drawn when it shows up, not before.
class PlotWidget;
std::vector<QPointer<PlotWidget>> g_marked;

// The plot's one paint buffer, opaque: cleared to the plot's white instead
// of to transparent, so that showing it is a copy, not a blend of every pixel.
class OpaqueBuffer : public QCPAbstractPaintBuffer {
  public:
    OpaqueBuffer(const QSize &size, double devicePixelRatio)
        : QCPAbstractPaintBuffer(size, devicePixelRatio) {
        OpaqueBuffer::reallocateBuffer();
    }

    QCPPainter *startPainting() override {
        auto *painter = new QCPPainter(&image_);
        painter->setRenderHint(QPainter::Antialiasing);
        return painter;
    }

    void draw(QCPPainter *painter) const override {
        if (painter && painter->isActive()) painter->drawImage(0, 0, image_);
    }

    void clear(const QColor &) override { image_.fill(Qt::white); }

    QImage &image() { return image_; }

  protected:
    void reallocateBuffer() override {
        setInvalidated();
        image_ = QImage(mSize * mDevicePixelRatio, QImage::Format_RGB32);
        image_.setDevicePixelRatio(mDevicePixelRatio);
    }

  private:
    QImage image_;
};

// QCustomPlot draws a layer's objects only within a whole replot, which lays
// out and draws every axis anew. These name the same steps for single
// objects, so that what changed can be drawn on its own.
struct LayerableSteps : QCPLayerable {
    using QCPLayerable::applyDefaultAntialiasingHint;
    using QCPLayerable::clipRect;
    using QCPLayerable::draw;
};
struct AxisSteps : QCPAxis {
    using QCPAxis::setupTickVectors;
};

const QString kScaleLayer = QStringLiteral("scale");  // the x axes and their grid lines

// While it lives, an axis draws its title and nothing else, in the place it
// has now.
class TitleOnly {
  public:
    explicit TitleOnly(QCPAxis *axis)
        : axis_(axis),
          base_(axis->basePen()),
          tick_(axis->tickPen()),
          subTick_(axis->subTickPen()),
          numbers_(axis->tickLabelColor()),
          grid_(axis->grid()->visible()) {
        axis->setBasePen(Qt::NoPen);
        axis->setTickPen(Qt::NoPen);
        axis->setSubTickPen(Qt::NoPen);
        axis->setTickLabelColor(Qt::transparent);
        axis->grid()->setVisible(false);
    }
    TitleOnly(TitleOnly &&o) noexcept
        : axis_(std::exchange(o.axis_, nullptr)),
          base_(o.base_),
          tick_(o.tick_),
          subTick_(o.subTick_),
          numbers_(o.numbers_),
          grid_(o.grid_) {}
    TitleOnly(const TitleOnly &) = delete;
    TitleOnly &operator=(const TitleOnly &) = delete;
    TitleOnly &operator=(TitleOnly &&) = delete;
    ~TitleOnly() {
        if (!axis_) return;
        axis_->setBasePen(base_);
        axis_->setTickPen(tick_);
        axis_->setSubTickPen(subTick_);
        axis_->setTickLabelColor(numbers_);
        axis_->grid()->setVisible(grid_);
    }

  private:
    QCPAxis *axis_;
    QPen base_, tick_, subTick_;
    QColor numbers_;
    bool grid_;
};

// What a plot's picture depends on besides its curves: the x range, which
// scrolls with a strip chart, and all else, which seldom changes.
struct Scales {
    QSize size;
    double pixelRatio = 0;
    std::array<double, 6> yRanges{};
    std::array<bool, 4> shown{};
    std::array<double, 4> xRanges{};

    bool sameButX(const Scales &o) const {
        return size == o.size && pixelRatio == o.pixelRatio && yRanges == o.yRanges &&
               shown == o.shown;
    }
};

// Where an object of a plot can have drawn, at most. The kept picture is put
// back there, and only there, before the next frame is drawn over it: a
// bound too large costs a copy, one too small would leave stale pixels, so
// what is not known here counts as all its clip rectangle.
QRect Inflated(const QRectF &r, double margin) {
    return r.normalized().adjusted(-margin, -margin, margin, margin).toAlignedRect();
}

double PenMargin(const QPen &pen) {
    return pen.style() == Qt::NoPen ? 2.0 : std::ceil(pen.widthF()) + 2.0;
}

using Rects = std::vector<QRect>;

// The points of a polyline without those inside a level run, which add
// nothing to the picture but cost the stroker a segment each.
QVector<QPointF> WithoutLevelInteriors(const QVector<QPointF> &line) {
    QVector<QPointF> kept;
    kept.reserve(line.size());
    for (qsizetype i = 0; i < line.size(); ++i) {
        const QPointF &p = line[i];
        if (i > 0 && i + 1 < line.size()) {
            const QPointF &a = line[i - 1], &b = line[i + 1];
            const bool level = a.y() == p.y() && p.y() == b.y();
            const bool between =
                (a.x() <= p.x() && p.x() <= b.x()) || (a.x() >= p.x() && p.x() >= b.x());
            if (level && between) continue;
        }
        kept.append(p);
    }
    return kept;
}

// Limits and thresholds are level from end to end, and a measured value
// often stays for a while: their runs are drawn as single segments.
class Curve : public QCPGraph {
  public:
    using QCPGraph::QCPGraph;

  protected:
    void drawLinePlot(QCPPainter *painter, const QVector<QPointF> &lines) const override {
        QCPGraph::drawLinePlot(painter, WithoutLevelInteriors(lines));
    }
};

// Impulses and fills reach to the zero line; such a curve counts as the
// rectangle of all its points and that line.
QRect FilledGraphBounds(const QCPGraph *graph, double margin) {
    bool hasKeys = false, hasValues = false;
    const QCPRange keys = graph->getKeyRange(hasKeys);
    QCPRange values = graph->getValueRange(hasValues);
    if (!hasKeys || !hasValues) return {};
    values.expand(0.0);
    return Inflated(QRectF(graph->coordsToPixels(keys.lower, values.lower),
                           graph->coordsToPixels(keys.upper, values.upper)),
                    margin);
}

// Where a plot's curves lie, column by column of its axis rectangle: a
// strip chart's curves keep to narrow bands that move slowly, and only those
// bands are put back.
class CurveBands {
  public:
    explicit CurveBands(const QRect &area) : area_(area) {}

    // False when the curve's place is not told by its points alone.
    bool add(const QCPGraph *graph) {
        if (graph->channelFillGraph() || graph->lineStyle() == QCPGraph::lsImpulse ||
            graph->brush().style() != Qt::NoBrush ||
            graph->keyAxis()->orientation() != Qt::Horizontal || area_.width() <= 0)
            return false;
        const double margin = PenMargin(graph->pen()) + graph->scatterStyle().size() / 2.0 + 1.0;
        const QCPAxis *keys = graph->keyAxis(), *values = graph->valueAxis();
        // A line from one point to the next lies within the rectangle of the
        // two, in every column between them.
        bool havePrevious = false;
        int previousColumn = 0;
        double previousY = 0;
        for (auto it = graph->data()->constBegin(); it != graph->data()->constEnd(); ++it) {
            if (!std::isfinite(it->value)) {
                havePrevious = false;
                continue;
            }
            const int column = columnAt(keys->coordToPixel(it->key));
            const double y = values->coordToPixel(it->value);
            const int first = havePrevious ? std::min(previousColumn, column) : column;
            const int last = havePrevious ? std::max(previousColumn, column) : column;
            for (int c = first; c <= last; ++c) {
                widen(c, y, margin);
                if (havePrevious) widen(c, previousY, margin);
            }
            havePrevious = true;
            previousColumn = column;
            previousY = y;
        }
        return true;
    }

    void appendTo(Rects &rects) const {
        for (int c = 0; c < kColumns; ++c) {
            const Band &b = bands_[c];
            if (b.top > b.bottom) continue;
            const double left = area_.left() + double(area_.width()) * c / kColumns;
            const double right = area_.left() + double(area_.width()) * (c + 1) / kColumns;
            const QRectF band(QPointF(left - b.margin, b.top - b.margin),
                              QPointF(right + b.margin, b.bottom + b.margin));
            rects.push_back(band.toAlignedRect() & area_.adjusted(-2, -2, 2, 2));
        }
    }

  private:
    static constexpr int kColumns = 16;
    struct Band {
        double top = 1e300, bottom = -1e300, margin = 0;
    };

    int columnAt(double x) const {
        const double c = std::floor((x - area_.left()) * kColumns / area_.width());
        return static_cast<int>(std::clamp(c, 0.0, double(kColumns - 1)));
    }

    void widen(int c, double y, double margin) {
        // A point far outside is drawn towards, not at.
        y = std::clamp(y, area_.top() - 1.0, area_.bottom() + 1.0);
        Band &b = bands_[c];
        b.top = std::min(b.top, y);
        b.bottom = std::max(b.bottom, y);
        b.margin = std::max(b.margin, margin);
    }

    QRect area_;
    std::array<Band, kColumns> bands_{};
};

// A grid of a horizontal axis draws a column at each tick, one of a vertical
// axis a row.
void AddGridBounds(const QCPGrid *grid, const QCPAxis *axis, const QRect &clip, Rects &rects) {
    if (grid->subGridVisible()) {
        rects.push_back(clip);
        return;
    }
    const int margin =
        static_cast<int>(std::max(PenMargin(grid->pen()), PenMargin(grid->zeroLinePen())));
    for (double tick : axis->tickVector()) {
        const int at = static_cast<int>(std::lround(axis->coordToPixel(tick)));
        if (axis->orientation() == Qt::Horizontal)
            rects.emplace_back(at - margin, clip.top(), 2 * margin + 1, clip.height());
        else
            rects.emplace_back(clip.left(), at - margin, clip.width(), 2 * margin + 1);
    }
}

// A top or bottom axis draws from its inner ticks out to its numbers; its
// title, which it does not draw each time, lies beyond them.
QRect AxisBounds(const QCPAxis *axis, const QRect &widget) {
    const QRect inner = axis->axisRect()->rect();
    const int in = std::max(axis->tickLengthIn(), axis->subTickLengthIn()) + 2;
    int out = widget.height();
    if (axis->tickLabelSide() == QCPAxis::lsOutside && axis->tickLabelRotation() == 0)
        out = axis->offset() + std::max(axis->tickLengthOut(), axis->subTickLengthOut()) +
              axis->tickLabelPadding() + QFontMetrics(axis->tickLabelFont()).height() + 2;
    switch (axis->axisType()) {
        case QCPAxis::atBottom:
            return QRect(QPoint(widget.left(), inner.bottom() - in),
                         QPoint(widget.right(), inner.bottom() + out)) &
                   widget;
        case QCPAxis::atTop:
            return QRect(QPoint(widget.left(), inner.top() - out),
                         QPoint(widget.right(), inner.top() + in)) &
                   widget;
        default:
            return widget;
    }
}

// A strip chart's numbers move with every point, but each stays for many:
// they are written once, not at every frame.
class RememberedLabels : public QCPAxisTicker {
  protected:
    QString getTickLabel(double tick, const QLocale &locale, QChar formatChar,
                         int precision) override {
        for (const Label &l : labels_)
            if (l.tick == tick && l.format == formatChar && l.precision == precision &&
                l.locale == locale)
                return l.text;
        Label &l = labels_[next_++ % labels_.size()];
        l = {tick, formatChar, precision, locale,
             QCPAxisTicker::getTickLabel(tick, locale, formatChar, precision)};
        return l.text;
    }

  private:
    struct Label {
        double tick = std::nan("");
        QChar format;
        int precision = 0;
        QLocale locale;
        QString text;
    };
    std::array<Label, 32> labels_{};
    std::size_t next_ = 0;
};

QRect ItemBounds(QCPLayerable *child, const QRect &clip) {
    if (auto *tracer = qobject_cast<QCPItemTracer *>(child)) {
        if (tracer->style() == QCPItemTracer::tsNone) return {};
        if (tracer->style() == QCPItemTracer::tsCrosshair) return clip;
        const QPointF at = tracer->position->pixelPosition();
        return Inflated(QRectF(at, at), tracer->size() / 2.0 + PenMargin(tracer->pen()));
    }
    if (auto *rect = qobject_cast<QCPItemRect *>(child))
        return Inflated(QRectF(rect->topLeft->pixelPosition(), rect->bottomRight->pixelPosition()),
                        PenMargin(rect->pen()));
    if (auto *line = qobject_cast<QCPItemStraightLine *>(child)) {
        const QPointF a = line->point1->pixelPosition(), b = line->point2->pixelPosition();
        const double margin = PenMargin(line->pen());
        if (std::abs(a.x() - b.x()) < 0.5)
            return QRect(static_cast<int>(std::floor(a.x() - margin)), clip.top(),
                         static_cast<int>(2 * margin + 2), clip.height());
        if (std::abs(a.y() - b.y()) < 0.5)
            return QRect(clip.left(), static_cast<int>(std::floor(a.y() - margin)), clip.width(),
                         static_cast<int>(2 * margin + 2));
    }
    return clip;
}

// Where a layer's object has drawn, at most; curves go to the bands.
void AddDrawnBounds(QCustomPlot *plot, QCPLayerable *child, const QRect &clip, CurveBands &curves,
                    Rects &rects) {
    const QRect near = clip.adjusted(-1, -1, 1, 1);
    if (auto *graph = qobject_cast<QCPGraph *>(child)) {
        if (!curves.add(graph))
            rects.push_back(FilledGraphBounds(graph, PenMargin(graph->pen()) + 1.0) & near);
        return;
    }
    if (auto *axis = qobject_cast<QCPAxis *>(child)) {
        rects.push_back(AxisBounds(axis, plot->rect()));
        return;
    }
    if (auto *grid = qobject_cast<QCPGrid *>(child)) {
        for (QCPAxis *axis : plot->xAxis->axisRect()->axes())
            if (axis->grid() == grid) return AddGridBounds(grid, axis, near, rects);
        rects.push_back(near);
        return;
    }
    rects.push_back(ItemBounds(child, clip) & near);
}

class PlotWidget : public QCustomPlot {
  public:
    explicit PlotWidget(QWidget *parent) : QCustomPlot(parent) {
        // It covers every pixel it owns: what lies beneath is never painted
        // for it.
        setAttribute(Qt::WA_OpaquePaintEvent);
        // No legend is shown: its entries would only be laid out at every
        // replot.
        setAutoAddPlottableToLegend(false);
        // Every layer draws into the one buffer, which is then opaque.
        for (int i = 0; i < layerCount(); ++i) layer(i)->setMode(QCPLayer::lmLogical);
        buffer_ = new OpaqueBuffer(viewport().size(), devicePixelRatioF());
        mPaintBuffers.clear();
        mPaintBuffers.append(QSharedPointer<QCPAbstractPaintBuffer>(buffer_));
        // Beneath the curves lie the background, the grid and the axes,
        // drawn once and kept while they stay as they are. The x axes and
        // their grid lines, which a strip chart moves with every point, have
        // a layer of their own between the grid and the y axes.
        const auto main = layer(QStringLiteral("main"));
        moveLayer(layer(QStringLiteral("axes")), main, limBelow);
        addLayer(kScaleLayer, layer(QStringLiteral("axes")), limBelow);
        layer(kScaleLayer)->setMode(QCPLayer::lmLogical);
        for (QCPAxis *axis : {xAxis, xAxis2}) {
            axis->setLayer(kScaleLayer);
            axis->grid()->setLayer(kScaleLayer);
        }
        // The layout that holds the axes draws nothing itself, but what it
        // holds is shown only while its layer is: it must not sit with the
        // curves, which are left out when the rest is drawn.
        plotLayout()->setLayer(QStringLiteral("background"));
    }

    void requestReplot() {
        if (!marked_) g_marked.push_back(this);
        marked_ = true;
        if (isVisible()) update();
    }

    void drawIfMarked() {
        if (!marked_ || !isVisible()) return;
        marked_ = false;
        render();
    }

    void replotWhole() {
        kept_ = Kept::Nothing;
        replot(rpImmediateRefresh);
    }

  protected:
    void resizeEvent(QResizeEvent *event) override {
        kept_ = Kept::Nothing;  // the kept picture has the old size
        shownKnown_ = false;
        QCustomPlot::resizeEvent(event);
    }

    void showEvent(QShowEvent *event) override {
        shownKnown_ = false;
        if (watchedWindow_ != window()) {
            if (watchedWindow_) watchedWindow_->removeEventFilter(this);
            watchedWindow_ = window();
            watchedWindow_->installEventFilter(this);
        }
        QCustomPlot::showEvent(event);
        if (marked_) update();
    }

    void contextMenuEvent(QContextMenuEvent *event) override {
        const QVariant panel = property("kvexPanel"), id = property("kvexControl");
        if (Control *c = FindControl(panel.toInt(), id.toInt()))
            OfferExport(*c, event->globalPos());
    }

    // A paint that the window did not prepare (a grab, an expose) still
    // shows the latest data. What is shown is opaque: no background is
    // filled beneath it. A kept picture is copied to the screen and the
    // curves are drawn over it there, not in a buffer of their own.
    void paintEvent(QPaintEvent *event) override {
        if (marked_) {
            marked_ = false;
            render();
        }
        QPoint offset;
        const QPaintDevice *target = redirected(&offset);
        QCPPainter painter(this);
        if (!painter.isActive()) return;
        const Surface now = surface(target, offset);
        const bool onWindow = now.device && now.device == windowDevice();
        const bool whole = QRegion(rect()).subtracted(event->region()).isEmpty();
        if (kept_ == Kept::Nothing) {
            for (const QSharedPointer<QCPAbstractPaintBuffer> &buffer : mPaintBuffers)
                buffer->draw(&painter);
            if (onWindow) remember(now, whole, {});
            return;
        }
        // On the window the last frame is still there: only where it has
        // curves, bars and cursors does the kept picture go back. A grab or
        // a window that lost its pixels gets the whole picture.
        const bool partly = onWindow && shownKnown_ && now == shown_;
        if (partly) {
            const double ratio = base_.devicePixelRatio();
            for (const QRect &r : shownDrawn_)
                painter.drawImage(
                    QRectF(r), base_,
                    QRectF(r.x() * ratio, r.y() * ratio, r.width() * ratio, r.height() * ratio));
        } else {
            painter.drawImage(0, 0, base_);
        }
        painter.setRenderHint(QPainter::Antialiasing);
        Rects drawn = drawEachTimeLayers(&painter);
        // Outside a partial paint the last frame's objects stay on screen.
        if (!whole) drawn.insert(drawn.end(), shownDrawn_.begin(), shownDrawn_.end());
        if (onWindow) remember(now, whole || partly, std::move(drawn));
    }

    // A resize of the window may give it new, empty pixels.
    bool eventFilter(QObject *watched, QEvent *event) override {
        if (watched == watchedWindow_ && event->type() == QEvent::Resize) shownKnown_ = false;
        return QCustomPlot::eventFilter(watched, event);
    }

    void moveEvent(QMoveEvent *event) override {
        shownKnown_ = false;
        QCustomPlot::moveEvent(event);
    }

  private:
    // What the kept picture holds.
    enum class Kept { Nothing, AllButCurves, AllButCurvesAndX };

    Scales currentScales() const {
        Scales f;
        f.size = viewport().size();
        f.pixelRatio = devicePixelRatioF();
        const QCPAxis *ys[] = {yAxis, yAxis2}, *xs[] = {xAxis, xAxis2};
        for (std::size_t i = 0; i < 2; ++i) {
            f.yRanges[2 * i] = ys[i]->range().lower;
            f.yRanges[2 * i + 1] = ys[i]->range().upper;
            f.xRanges[2 * i] = xs[i]->range().lower;
            f.xRanges[2 * i + 1] = xs[i]->range().upper;
            f.shown[i] = ys[i]->visible();
            f.shown[2 + i] = xs[i]->visible();
        }
        const QRect inner = xAxis->axisRect()->rect();
        f.yRanges[4] = inner.width();  // margins that the layout moved
        f.yRanges[5] = inner.height();
        return f;
    }

    // The first picture after a change of size or y range is a whole
    // replot; later ones show the kept picture of what stayed with the
    // curves, bars and cursors drawn over it, and the x axes too once they
    // moved.
    void render() {
        const Scales now = currentScales();
        if (kept_ == Kept::Nothing || !now.sameButX(scales_)) {
            const bool first = !now.sameButX(scales_);
            scales_ = now;
            kept_ = Kept::Nothing;
            if (first) {
                replot(rpQueuedRefresh);
                return;
            }
        }
        const bool xMoved = now.xRanges != scales_.xRanges;
        scales_ = now;
        const bool keepNow = kept_ == Kept::Nothing || (xMoved && kept_ == Kept::AllButCurves);
        if (keepNow) keep(xMoved ? Kept::AllButCurvesAndX : Kept::AllButCurves);
        prepareEachTimeLayers();
        update();
        // Whoever waits for a replot learns of this one too.
        if (!keepNow) emit afterReplot();
    }

    std::vector<QCPLayer *> layersDrawnEachTime() {
        std::vector<QCPLayer *> layers;
        const QString names[] = {kScaleLayer, QStringLiteral("main"), kCursorLayer};
        for (const QString &name : names) {
            if (name == kScaleLayer && kept_ != Kept::AllButCurvesAndX) continue;
            if (QCPLayer *l = layer(name)) layers.push_back(l);
        }
        return layers;
    }

    // Draws what is not drawn each time, alone, and keeps the picture.
    // The x axes' titles stay where they are while their numbers move: they
    // go into the kept picture, drawn there by the axes themselves with all
    // else of theirs invisible, and are left out when the axes are drawn
    // each time.
    void keep(Kept what) {
        kept_ = what;
        std::vector<QCPLayer *> left = layersDrawnEachTime();
        std::vector<TitleOnly> titles;
        if (what == Kept::AllButCurvesAndX) {
            std::erase(left, layer(kScaleLayer));  // it holds the titles
            for (QCPAxis *axis : {xAxis, xAxis2}) titles.emplace_back(axis);
        }
        for (QCPLayer *l : left) l->setVisible(false);
        replot(rpQueuedRefresh);
        for (QCPLayer *l : left) l->setVisible(true);
        titles.clear();
        base_ = buffer_->image().copy();
        shownKnown_ = false;  // the window shows the old one
    }

    // The x axes' ticks follow their range only through a layout, which a
    // picture drawn on a kept one does without.
    void prepareEachTimeLayers() {
        if (kept_ == Kept::AllButCurvesAndX)
            for (QCPAxis *axis : {xAxis, xAxis2}) (axis->*&AxisSteps::setupTickVectors)();
    }

    // Where a layer's object may draw. The y axes, kept, lie over the x grid
    // lines drawn now: a grid line there would cross out the axis line that
    // a whole replot draws over it.
    QRect eachTimeClip(QCPLayerable *child) const {
        QRect clip = (child->*&LayerableSteps::clipRect)().translated(0, -1);
        if (!qobject_cast<QCPGrid *>(child)) return clip;
        const QRect inner = xAxis->axisRect()->rect();
        if (yAxis->visible()) clip.setLeft(std::max(clip.left(), inner.left() + 1));
        if (yAxis2->visible()) clip.setRight(std::min(clip.right(), inner.right() - 1));
        return clip;
    }

    // Returns where it drew.
    Rects drawEachTimeLayers(QCPPainter *painter) {
        Rects drawn;
        CurveBands curves(xAxis->axisRect()->rect());
        for (QCPLayer *l : layersDrawnEachTime()) {
            if (!l->visible()) continue;
            for (QCPLayerable *child : l->children()) {
                if (!child->realVisibility()) continue;
                const QRect clip = eachTimeClip(child);
                painter->save();
                painter->setClipRect(clip);
                (child->*&LayerableSteps::applyDefaultAntialiasingHint)(painter);
                if (auto *axis = qobject_cast<QCPAxis *>(child)) {
                    const QString title = axis->label();
                    axis->setLabel(QString());  // kept with the rest
                    (child->*&LayerableSteps::draw)(painter);
                    axis->setLabel(title);
                } else {
                    (child->*&LayerableSteps::draw)(painter);
                }
                painter->restore();
                // Tracers find their place while they draw.
                AddDrawnBounds(this, child, clip, curves, drawn);
            }
        }
        curves.appendTo(drawn);
        return drawn;
    }

    // Where a paint went: the window's pixels, at this place and size.
    struct Surface {
        const QPaintDevice *device = nullptr;
        QPoint offset;
        QSize deviceSize, size;
        double ratio = 0;
        bool operator==(const Surface &) const = default;
    };

    Surface surface(const QPaintDevice *device, QPoint offset) const {
        if (!device) return {};
        return {device, offset, QSize(device->width(), device->height()), size(),
                devicePixelRatioF()};
    }

    const QPaintDevice *windowDevice() const {
        QBackingStore *store = window()->backingStore();
        return store ? store->paintDevice() : nullptr;
    }

    void remember(const Surface &now, bool known, Rects drawn) {
        shown_ = now;
        // Partial paints, which add up, are rare; past a few they count as
        // a paint of unknown result.
        shownKnown_ = known && drawn.size() <= kMostShownRects;
        shownDrawn_ = std::move(drawn);
    }

    OpaqueBuffer *buffer_ = nullptr;  // owned by mPaintBuffers
    bool marked_ = false;
    Scales scales_;
    QImage base_;  // the picture of what is not drawn each time
    Kept kept_ = Kept::Nothing;
    // What the window shows of this plot: the kept picture with the last
    // frame's objects within shownDrawn_, while shownKnown_.
    Surface shown_;
    static constexpr std::size_t kMostShownRects = 256;
    Rects shownDrawn_;
    bool shownKnown_ = false;
    QPointer<QWidget> watchedWindow_;
};

}  // namespace

void RequestReplot(Control &c) { static_cast<PlotWidget *>(c.plot)->requestReplot(); }

QCustomPlot *NewPlot(QWidget *parent) { return new PlotWidget(parent); }

QCPGraph *NewCurve(QCPAxis *keyAxis, QCPAxis *valueAxis) { return new Curve(keyAxis, valueAxis); }

QSharedPointer<QCPAxisTicker> NewRememberedLabels() {
    return QSharedPointer<QCPAxisTicker>(new RememberedLabels);
}

void ReplotNow(Control &c) {
    if (c.plot) static_cast<PlotWidget *>(c.plot)->replotWhole();
}

void DrawMarkedPlots(const QWidget *window) {
    std::vector<QPointer<PlotWidget>> later;
    for (const QPointer<PlotWidget> &plot : g_marked) {
        if (!plot) continue;
        if (plot->window() == window && plot->isVisible())
            plot->drawIfMarked();
        else
            later.push_back(plot);  // another window's, or hidden: drawn when shown
    }
    g_marked.swap(later);
}

}  // namespace kvexui
