// Small operations beyond the panel file's controls: a slider's range set at
// run time, marks along a slider's track (events on a timeline), and a file
// dropped onto a panel's window.
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QMimeData>
#include <QPainter>
#include <QSlider>
#include <QStyle>
#include <QStyleOptionSlider>
#include <QUrl>
#include <algorithm>
#include <vector>

#include "ui_internal.h"

namespace kvexui {

namespace {

// A slider that draws short bars across its groove at the marked values.
class MarkedSlider : public QSlider {
  public:
    using QSlider::QSlider;
    void SetMarks(std::vector<int> marks, QColor colour) {
        marks_ = std::move(marks);
        colour_ = colour;
        update();
    }

  protected:
    void paintEvent(QPaintEvent *event) override {
        QSlider::paintEvent(event);
        if (marks_.empty() || maximum() <= minimum()) return;
        QStyleOptionSlider opt;
        initStyleOption(&opt);
        const QRect groove =
            style()->subControlRect(QStyle::CC_Slider, &opt, QStyle::SC_SliderGroove, this);
        const QRect handle =
            style()->subControlRect(QStyle::CC_Slider, &opt, QStyle::SC_SliderHandle, this);
        QPainter p(this);
        p.setPen(QPen(colour_, 2));
        const bool across = orientation() == Qt::Horizontal;
        const int span =
            (across ? groove.width() - handle.width() : groove.height() - handle.height());
        const int start =
            (across ? groove.left() + handle.width() / 2 : groove.top() + handle.height() / 2);
        for (int v : marks_) {
            const int at = start + QStyle::sliderPositionFromValue(
                                       minimum(), maximum(), v, std::max(span, 1), opt.upsideDown);
            if (across)
                p.drawLine(at, groove.center().y() - 7, at, groove.center().y() + 7);
            else
                p.drawLine(groove.center().x() - 7, at, groove.center().x() + 7, at);
        }
    }

  private:
    std::vector<int> marks_;
    QColor colour_;
};

// Takes the first local file of a drop onto the panel's window.
class FileDrop : public QObject {
  public:
    FileDrop(int panel, FileDropPtr fn, QObject *parent)
        : QObject(parent), panel_(panel), fn_(fn) {}
    void Set(FileDropPtr fn) { fn_ = fn; }

  protected:
    bool eventFilter(QObject *watched, QEvent *event) override {
        if (event->type() == QEvent::DragEnter || event->type() == QEvent::DragMove) {
            auto *e = static_cast<QDropEvent *>(event);
            if (fn_ && !LocalFile(e->mimeData()).isEmpty()) e->acceptProposedAction();
            return fn_ != nullptr;
        }
        if (event->type() == QEvent::Drop) {
            auto *e = static_cast<QDropEvent *>(event);
            const QString file = LocalFile(e->mimeData());
            if (!fn_ || file.isEmpty()) return false;
            e->acceptProposedAction();
            const QByteArray path = file.toUtf8();
            CallbackScope scope;
            fn_(panel_, path.constData());
            return true;
        }
        return QObject::eventFilter(watched, event);
    }

  private:
    static QString LocalFile(const QMimeData *data) {
        if (!data || !data->hasUrls()) return {};
        for (const QUrl &url : data->urls())
            if (url.isLocalFile()) return url.toLocalFile();
        return {};
    }

    int panel_;
    FileDropPtr fn_;
};

}  // namespace

QSlider *NewMarkedSlider(Qt::Orientation orientation, QWidget *parent) {
    return new MarkedSlider(orientation, parent);
}

}  // namespace kvexui

using namespace kvexui;

int SetSliderRange(int panel, int control, int min, int max) {
    int code = 0;
    Control *c = FindControl(panel, control, code);
    if (!c) return code;
    if (c->kind != Kind::Slider) return UIE_BAD_KIND;
    if (min > max) return UIE_BAD_VALUE;
    c->hasMin = c->hasMax = true;
    c->min = min, c->max = max;
    auto *s = static_cast<QSlider *>(c->widget);
    {
        const QSignalBlocker quiet(s);
        s->setRange(min, max);
    }
    c->number = std::clamp(c->number, c->min, c->max);
    ShowValue(*c);
    UpdateToolTip(*c);
    return 0;
}

int SetSliderMarks(int panel, int control, const int *values, int count, int color) {
    int code = 0;
    Control *c = FindControl(panel, control, code);
    if (!c) return code;
    if (c->kind != Kind::Slider) return UIE_BAD_KIND;
    if (count < 0 || (count > 0 && !values)) return UIE_BAD_ARGUMENT;
    auto *s = dynamic_cast<MarkedSlider *>(c->widget);
    if (!s) return UIE_BAD_KIND;
    s->SetMarks(std::vector<int>(values, values + count), ToQColor(color));
    return 0;
}

int SetPanelFileDrop(int panel, FileDropPtr fn) {
    Panel *p = FindPanel(panel);
    if (!p) return UIE_BAD_PANEL;
    static const QString kName = QStringLiteral("kvex-file-drop");
    auto *drop =
        static_cast<FileDrop *>(p->widget->findChild<QObject *>(kName, Qt::FindDirectChildrenOnly));
    if (!drop) {
        drop = new FileDrop(panel, fn, p->widget);
        drop->setObjectName(kName);
        p->widget->installEventFilter(drop);
    }
    drop->Set(fn);
    p->widget->setAcceptDrops(fn != nullptr);
    return 0;
}
