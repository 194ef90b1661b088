// A graph or strip chart as a tool of its own: the operator drags its x axis,
// zooms it with the wheel around the pointer, and reads a point by hovering;
// the program may write the x axis' labels (a time of day for a number). The
// program hears each new range when a drag or a wheel turn ends, so it can
// put the data of that range into the chart.
#include <QHelpEvent>
#include <QMouseEvent>
#include <QTimer>
#include <QToolTip>
#include <QWheelEvent>
#include <cmath>

#include "ui_plot_engine.h"

namespace kvexui {

namespace {

const QString kExplorer = QStringLiteral("kvex-chart-explorer");
const QString kMarkLine = QStringLiteral("kvex-chart-mark-line");
const QString kMarkText = QStringLiteral("kvex-chart-mark-text");

class Explorer : public QObject {
  public:
    Explorer(Control &c) : QObject(c.plot), panel_(c.panel), id_(c.id) {
        setObjectName(kExplorer);
        c.plot->installEventFilter(this);
        c.plot->setMouseTracking(true);
        settle_.setSingleShot(true);
        settle_.setInterval(150);
        connect(&settle_, &QTimer::timeout, this, [this] { Tell(); });
    }

    bool on = false;
    ChartRangePtr changed = nullptr;
    ChartTextPtr hover = nullptr;

  protected:
    bool eventFilter(QObject *watched, QEvent *event) override {
        Control *c = FindControl(panel_, id_);
        if (!c || !c->plot) return QObject::eventFilter(watched, event);
        QCPAxis *x = c->plot->xAxis;
        switch (event->type()) {
            case QEvent::MouseButtonPress: {
                auto *e = static_cast<QMouseEvent *>(event);
                if (!on || e->button() != Qt::LeftButton) break;
                dragFrom_ = e->position().x();
                dragRange_ = x->range();
                dragging_ = true;
                return true;
            }
            case QEvent::MouseMove: {
                auto *e = static_cast<QMouseEvent *>(event);
                if (dragging_) {
                    const double shift =
                        x->pixelToCoord(dragFrom_) - x->pixelToCoord(e->position().x());
                    x->setRange(dragRange_.lower + shift, dragRange_.upper + shift);
                    dragRange_ = x->range();
                    dragFrom_ = e->position().x();
                    RequestReplot(*c);
                    return true;
                }
                if (ShowHover(*c, e->position(), e->globalPosition().toPoint())) return false;
                break;
            }
            case QEvent::ToolTip: {
                // A point's own text stands in for the chart's tooltip.
                auto *e = static_cast<QHelpEvent *>(event);
                if (ShowHover(*c, e->pos(), e->globalPos())) return true;
                break;
            }
            case QEvent::MouseButtonRelease:
                if (!dragging_) break;
                dragging_ = false;
                Tell();
                return true;
            case QEvent::Wheel: {
                if (!on) break;
                auto *e = static_cast<QWheelEvent *>(event);
                const double steps = e->angleDelta().y() / 120.0;
                if (steps == 0) break;
                x->scaleRange(std::pow(0.8, steps), x->pixelToCoord(e->position().x()));
                RequestReplot(*c);
                settle_.start();
                return true;
            }
            default:
                break;
        }
        return QObject::eventFilter(watched, event);
    }

  private:
    bool ShowHover(Control &c, QPointF at, QPoint global) {
        if (!hover) return false;
        char text[400] = "";
        const int n = hover(panel_, id_, c.plot->xAxis->pixelToCoord(at.x()),
                            c.plot->yAxis->pixelToCoord(at.y()), text, sizeof text);
        if (n <= 0) return false;
        QToolTip::showText(global, QString::fromUtf8(text), c.plot);
        return true;
    }

    void Tell() {
        Control *c = FindControl(panel_, id_);
        if (!c || !changed) return;
        const QCPRange r = c->plot->xAxis->range();
        CallbackScope scope;
        changed(panel_, id_, r.lower, r.upper);
    }

    int panel_, id_;
    bool dragging_ = false;
    double dragFrom_ = 0;
    QCPRange dragRange_;
    QTimer settle_;
};

// Tick labels that the program writes.
class ProgramLabels : public QCPAxisTicker {
  public:
    ProgramLabels(int panel, int id, ChartTextPtr label) : panel_(panel), id_(id), label_(label) {}

  protected:
    QString getTickLabel(double tick, const QLocale &locale, QChar format, int precision) override {
        char text[80] = "";
        if (label_(panel_, id_, tick, 0, text, sizeof text) > 0) return QString::fromUtf8(text);
        return QCPAxisTicker::getTickLabel(tick, locale, format, precision);
    }

    // The program's labels may be coarser than the ticks (times of day to
    // the second, with several samples a second): a label that the tick
    // before already carries stays blank, so no label stands twice in a row.
    QVector<QString> createLabelVector(const QVector<double> &ticks, const QLocale &locale,
                                       QChar format, int precision) override {
        QVector<QString> labels =
            QCPAxisTicker::createLabelVector(ticks, locale, format, precision);
        QString last;
        for (QString &label : labels) {
            if (label.trimmed().isEmpty()) continue;
            if (label == last)
                label = QStringLiteral(" ");
            else
                last = label;
        }
        return labels;
    }

  private:
    int panel_, id_;
    ChartTextPtr label_;
};

Control *FindChart(int panel, int control, int &code) {
    Control *c = FindControl(panel, control, code);
    if (c && !c->plot) {
        code = UIE_BAD_KIND;
        return nullptr;
    }
    return c;
}

Explorer &ExplorerOf(Control &c) {
    auto *e = static_cast<Explorer *>(
        c.plot->findChild<QObject *>(kExplorer, Qt::FindDirectChildrenOnly));
    return e ? *e : *new Explorer(c);
}

}  // namespace

}  // namespace kvexui

using namespace kvexui;

int SetChartExploration(int panel, int control, int on, ChartRangePtr changed) {
    int code = 0;
    Control *c = FindChart(panel, control, code);
    if (!c) return code;
    Explorer &e = ExplorerOf(*c);
    e.on = on != 0;
    e.changed = changed;
    c->plot->setCursor(e.on ? Qt::OpenHandCursor : Qt::ArrowCursor);
    return 0;
}

int SetChartHover(int panel, int control, ChartTextPtr hover) {
    int code = 0;
    Control *c = FindChart(panel, control, code);
    if (!c) return code;
    ExplorerOf(*c).hover = hover;
    return 0;
}

int SetChartXLabels(int panel, int control, ChartTextPtr label, const char *axisName) {
    int code = 0;
    Control *c = FindChart(panel, control, code);
    if (!c) return code;
    if (axisName) c->plot->xAxis->setLabel(QString::fromUtf8(axisName));
    if (label)
        c->plot->xAxis->setTicker(
            QSharedPointer<QCPAxisTicker>(new ProgramLabels(panel, control, label)));
    else if (c->strip)
        c->plot->xAxis->setTicker(NewRememberedLabels());
    else
        c->plot->xAxis->setTicker(QSharedPointer<QCPAxisTicker>(new QCPAxisTicker));
    ReplotNow(*c);
    return 0;
}

int GetChartXRange(int panel, int control, double *xMin, double *xMax) {
    int code = 0;
    Control *c = FindChart(panel, control, code);
    if (!c) return code;
    if (!xMin || !xMax) return UIE_BAD_ARGUMENT;
    *xMin = c->plot->xAxis->range().lower;
    *xMax = c->plot->xAxis->range().upper;
    return 0;
}

int SetChartXRange(int panel, int control, double xMin, double xMax) {
    int code = 0;
    Control *c = FindChart(panel, control, code);
    if (!c) return code;
    if (!std::isfinite(xMin) || !std::isfinite(xMax) || !(xMin < xMax)) return UIE_BAD_ARGUMENT;
    c->plot->xAxis->setRange(xMin, xMax);
    RequestReplot(*c);
    return 0;
}

int SetChartMark(int panel, int control, double x, const char *text) {
    int code = 0;
    Control *c = FindChart(panel, control, code);
    if (!c) return code;
    if (text && !std::isfinite(x)) return UIE_BAD_ARGUMENT;
    // The items are found by name among the chart's own, so a mark set again
    // moves rather than stacks.
    QCPItemStraightLine *line = nullptr;
    QCPItemText *label = nullptr;
    for (int i = 0; i < c->plot->itemCount(); ++i) {
        QCPAbstractItem *item = c->plot->item(i);
        if (item->objectName() == kMarkLine) line = qobject_cast<QCPItemStraightLine *>(item);
        if (item->objectName() == kMarkText) label = qobject_cast<QCPItemText *>(item);
    }
    if (!text) {
        if (line) c->plot->removeItem(line);
        if (label) c->plot->removeItem(label);
        RequestReplot(*c);
        return 0;
    }
    const QColor colour(0xC0, 0x00, 0xC0);
    if (!line) {
        line = new QCPItemStraightLine(c->plot);
        line->setObjectName(kMarkLine);
        line->setPen(QPen(colour, 1.5, Qt::DashLine));
        line->setClipToAxisRect(true);
    }
    if (!label) {
        label = new QCPItemText(c->plot);
        label->setObjectName(kMarkText);
        label->setColor(colour);
        label->setBrush(QBrush(QColor(255, 255, 255, 220)));
        label->setPadding(QMargins(3, 2, 3, 2));
        label->setTextAlignment(Qt::AlignLeft);
        label->setClipToAxisRect(true);
    }
    // The text stands on the side of the line with more room.
    const QCPRange shown = c->plot->xAxis->range();
    label->setPositionAlignment((x > shown.center() ? Qt::AlignRight : Qt::AlignLeft) |
                                Qt::AlignTop);
    line->point1->setCoords(x, 0);
    line->point2->setCoords(x, 1);
    // At the line in x, near the top of the plot whatever its y range.
    label->position->setTypeX(QCPItemPosition::ptPlotCoords);
    label->position->setTypeY(QCPItemPosition::ptAxisRectRatio);
    label->position->setCoords(x, 0.03);
    label->setText(QString::fromUtf8(text));
    RequestReplot(*c);
    return 0;
}
