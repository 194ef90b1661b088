// Panels: the handle table, loading from the panel file, showing, hiding and
// discarding, panel attributes, controls made at run time, and rendering a
// panel into an image.
#include <QApplication>
#include <QCloseEvent>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QPageSize>
#include <QPainter>
#include <QPdfWriter>
#include <QPixmap>
#include <QScreen>
#include <QScrollArea>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>
#include <cstdio>

#include "ui_internal.h"
#include "ui_qt.h"

namespace kvexui {
namespace {

// Index: panel handle. Handles are never used twice, so a callback or a
// queued event that still names a discarded panel finds nothing.
std::vector<std::unique_ptr<Panel>> &Panels() {
    static std::vector<std::unique_ptr<Panel>> table(1);
    return table;
}

void (*g_unknownCallbackHandler)(const char *) = nullptr;

void ReportUnknownCallback(const QString &callback, const char *what, const QString &name) {
    const QByteArray report =
        QStringLiteral("unknown callback %1 for %2 %3").arg(callback, what, name).toUtf8();
    if (g_unknownCallbackHandler)
        g_unknownCallbackHandler(report.constData());
    else
        std::fprintf(stderr, "kvex: %s\n", report.constData());
}

// The controls' surface inside a window: it grows with the window (the
// controls with a stretch in the panel file follow) and never shrinks below
// the panel's size, so a smaller window scrolls.
class PanelCanvas : public QWidget {
  public:
    PanelCanvas(int handle, QWidget *parent) : QWidget(parent), handle_(handle) {
        MarkPanelWidget(this, handle);
    }

  protected:
    void resizeEvent(QResizeEvent *event) override {
        QWidget::resizeEvent(event);
        if (Panel *p = FindPanel(handle_)) StretchControls(*p);
    }

  private:
    int handle_;
};

constexpr QSize kSmallestWindow(320, 240);

// The window at its panel-file size, or the screen's free area where that is
// smaller; the rest is reached by scrolling.
void FitToScreen(QWidget *w, QSize wanted) {
    const QScreen *s = w->screen() ? w->screen() : QGuiApplication::primaryScreen();
    if (!s) return;
    const QRect free = s->availableGeometry();
    // The window's frame (known once it is shown) must fit as well.
    const QSize frame = w->frameGeometry().size() - w->size();
    w->resize(wanted.boundedTo(free.size() - frame).expandedTo(w->minimumSize()));
    // Where the panel file's place would push it over the edge, it moves in.
    const QSize outer = w->size() + frame;
    const int x =
        std::clamp(w->x(), free.left(), std::max(free.left(), free.right() + 1 - outer.width()));
    const int y =
        std::clamp(w->y(), free.top(), std::max(free.top(), free.bottom() + 1 - outer.height()));
    w->move(x, y);
}

// The panel's own size: the canvas never gets smaller, the window may (it
// scrolls), and only a resizable one grows beyond it.
void SizeWindow(Panel &p, QSize size) {
    QWidget *w = p.widget;
    p.homeSize = size;
    p.canvas->setMinimumSize(size);
    w->setMinimumSize(size.boundedTo(kSmallestWindow));
    if (!p.resizable) w->setMaximumSize(size);
    FitToScreen(w, size);
}

void MakeCanvas(Panel &p) {
    PanelWidget *w = p.widget;
    auto *scroll = new QScrollArea(w);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setWidgetResizable(true);
    auto *canvas = new PanelCanvas(p.handle, nullptr);
    scroll->setWidget(canvas);
    auto *layout = new QVBoxLayout(w);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(scroll);
    p.canvas = canvas;
    SizeWindow(p, p.homeSize);
}

void SetupWindow(Panel &p, const PanelSpec &desc, Panel *parent) {
    PanelWidget *w = p.widget;
    w->setObjectName(desc.name);
    w->setAccessibleName(desc.title.isEmpty() ? desc.name : desc.title);
    p.homeSize = QSize(desc.width, desc.height);
    if (parent) {
        w->setFrameShape(QFrame::StyledPanel);
        w->setFrameShadow(QFrame::Raised);
        w->setGeometry(desc.left, desc.top, desc.width, desc.height);
        p.canvas = w;
    } else {
        w->setWindowTitle(desc.title);
        p.resizable = desc.resizable;
        MakeCanvas(p);
        w->move(desc.left, desc.top);
    }
    if (desc.backgroundColor >= 0) {
        for (QWidget *surface : {static_cast<QWidget *>(w), p.canvas}) {
            QPalette pal = surface->palette();
            pal.setColor(QPalette::Window, ToQColor(desc.backgroundColor));
            surface->setPalette(pal);
            surface->setAutoFillBackground(true);
        }
    }
    w->hide();
}

void AddControl(Panel &p, const ControlSpec &desc) {
    auto c = std::make_unique<Control>();
    c->panel = p.handle;
    c->id = desc.id;
    if (!desc.callback.isEmpty()) {
        c->callback = LookupCtrlCallback(desc.callback);
        if (!c->callback) ReportUnknownCallback(desc.callback, "control", desc.name);
    }
    if (static_cast<std::size_t>(desc.id) >= p.byId.size()) p.byId.resize(desc.id + 1, nullptr);
    p.byId[desc.id] = c.get();
    BuildControl(p, *c, desc);
    p.controls.push_back(std::move(c));
}

int CreatePanel(const PanelSpec &desc, Panel *parent) {
    auto &panels = Panels();
    auto p = std::make_unique<Panel>();
    p->handle = static_cast<int>(panels.size());
    p->parent = parent ? parent->handle : 0;
    p->name = desc.name;
    InstallAccessibility();
    p->widget = new PanelWidget(p->handle, parent ? parent->canvas : nullptr);
    SetupWindow(*p, desc, parent);
    if (!desc.callback.isEmpty()) {
        p->callback = LookupPanelCallback(desc.callback);
        if (!p->callback) ReportUnknownCallback(desc.callback, "panel", desc.name);
    }
    Panel &ref = *p;
    panels.push_back(std::move(p));
    for (const ControlSpec &c : desc.controls) AddControl(ref, c);
    OrderTabChain(ref.handle);
    return ref.handle;
}

// A grab paints what the graphs hold now, so their queued redraws go first.
void ReplotPanelNow(const Panel &p) {
    for (const auto &c : p.controls)
        if (c->plot) ReplotNow(*c);
    for (const auto &child : Panels())
        if (child && child->parent == p.handle) ReplotPanelNow(*child);
}

}  // namespace

PanelWidget::PanelWidget(int handle, QWidget *parent) : QFrame(parent), handle_(handle) {
    MarkPanelWidget(this, handle);
}

void PanelWidget::closeEvent(QCloseEvent *event) {
    event->ignore();
    FirePanel(handle_, EVENT_CLOSE);
}

// A window paints at most once per frame of its screen: a paint asked for
// sooner waits for the frame, and gathers whatever changes come meanwhile.
bool PanelWidget::event(QEvent *event) {
    if (event->type() == QEvent::UpdateRequest && isWindow()) {
        if (!FrameDue()) return true;
        DrawMarkedPlots(this);
    }
    return QFrame::event(event);
}

bool PanelWidget::FrameDue() {
    static QElapsedTimer clock = [] {
        QElapsedTimer t;
        t.start();
        return t;
    }();
    const QScreen *s = screen();
    const double hz = std::clamp(s && s->refreshRate() > 0 ? s->refreshRate() : 60.0, 24.0, 120.0);
    const qint64 frameNs = static_cast<qint64>(1e9 / hz);
    const qint64 now = clock.nsecsElapsed();
    const qint64 wait = lastFrameNs_ + frameNs - now;
    if (lastFrameNs_ == 0 || wait <= 0) {
        lastFrameNs_ = now;
        return true;
    }
    if (!frameTimer_) {
        frameTimer_ = new QTimer(this);
        frameTimer_->setSingleShot(true);
        frameTimer_->setTimerType(Qt::PreciseTimer);
        connect(frameTimer_, &QTimer::timeout, this, [this] {
            QCoreApplication::postEvent(this, new QEvent(QEvent::UpdateRequest),
                                        Qt::LowEventPriority);
        });
    }
    if (!frameTimer_->isActive()) frameTimer_->start(static_cast<int>((wait + 999999) / 1000000));
    return false;
}

Control::~Control() = default;

Panel *FindPanel(int handle) {
    auto &panels = Panels();
    if (handle <= 0 || static_cast<std::size_t>(handle) >= panels.size()) return nullptr;
    return panels[handle].get();
}

Control *FindControl(int panel, int control) {
    Panel *p = FindPanel(panel);
    if (!p || control < 0 || static_cast<std::size_t>(control) >= p->byId.size()) return nullptr;
    return p->byId[control];
}

Control *FindControl(int panel, int control, int &code) {
    if (!RunTimeReady()) {
        code = UIE_NOT_INITIALISED;
        return nullptr;
    }
    Control *c = FindControl(panel, control);
    if (!c) code = FindPanel(panel) ? UIE_BAD_CONTROL : UIE_BAD_PANEL;
    return c;
}

std::vector<Panel *> ChildPanels(int handle) {
    std::vector<Panel *> children;
    for (const auto &p : Panels())
        if (p && p->parent == handle && handle != 0) children.push_back(p.get());
    return children;
}

void StretchControls(Panel &p) {
    const int dx = std::max(0, p.canvas->width() - p.homeSize.width());
    const int dy = std::max(0, p.canvas->height() - p.homeSize.height());
    for (const auto &c : p.controls) {
        const Stretch &s = c->stretch;
        if (s.x == 0 && s.y == 0 && s.width == 0 && s.height == 0) continue;
        QRect r = c->home;
        r.translate(static_cast<int>(dx * s.x), static_cast<int>(dy * s.y));
        r.setSize(r.size() +
                  QSize(static_cast<int>(dx * s.width), static_cast<int>(dy * s.height)));
        c->widget->setGeometry(r);
        PlaceCaption(*c);
        FitText(*c);
    }
}

void DiscardAllPanels() {
    auto &panels = Panels();
    for (std::size_t h = 1; h < panels.size(); ++h)
        if (panels[h]) DiscardPanel(static_cast<int>(h));
}

}  // namespace kvexui

using namespace kvexui;

void SetUnknownCallbackHandler(void (*handler)(const char *report)) {
    g_unknownCallbackHandler = handler;
}

int LoadPanel(int parentPanel, const char *file, int resourceId) {
    if (!WindowsReady()) return UIE_NOT_INITIALISED;
    if (!file || !*file) return -1;
    PanelSpec desc;
    const int read = ReadPanelSpec(ResolveProgramFile(file), resourceId, desc);
    if (read < 0) return read;
    Panel *parent = nullptr;
    if (parentPanel != 0 && !(parent = FindPanel(parentPanel))) return -4;
    return CreatePanel(desc, parent);
}

const char *GetPanelFileError() {
    static QByteArray text;
    text = PanelFileError().toUtf8();
    return text.constData();
}

const char *GetCtrlKind(int panel, int control) {
    const Control *c = FindControl(panel, control);
    return c ? KindText(c->kind) : nullptr;
}

int DisplayPanel(int panel) {
    Panel *p = FindPanel(panel);
    if (!p) return UIE_BAD_PANEL;
    p->widget->show();
    if (p->parent == 0 && !p->shownOnce) {
        // The window stays on the screen it opens on, never larger than it.
        p->shownOnce = true;
        FitToScreen(p->widget, p->homeSize);
    }
    if (p->parent != 0) {
        p->widget->raise();  // over the other sub-panels at the same place
    } else if (QGuiApplication::platformName() != QLatin1String("offscreen")) {
        p->widget->raise();
        p->widget->activateWindow();
    }
    return 0;
}

int KeepPanelClearOf(int panel, int otherPanel, int control) {
    Panel *p = FindPanel(panel);
    const Panel *other = FindPanel(otherPanel);
    if (!p || !other || p->parent != 0 || other->parent != 0) return UIE_BAD_PANEL;
    int code = 0;
    const Control *c = FindControl(otherPanel, control, code);
    if (!c) return code;
    QWidget *w = p->widget;
    if (!w->isVisible() || !other->widget->isVisible()) return 0;
    const QRect beside = other->widget->frameGeometry();
    const QRect keep(QPoint(c->widget->mapToGlobal(QPoint(0, 0)).x(), beside.top()),
                     beside.bottomRight());
    QRect outer = w->frameGeometry();
    if (!outer.intersects(keep)) return 0;
    const QScreen *s = w->screen() ? w->screen() : QGuiApplication::primaryScreen();
    if (!s) return 0;
    const QRect free = s->availableGeometry();
    const QSize frame = outer.size() - w->size();
    if (free.right() - beside.right() >= outer.width()) {
        outer.moveLeft(beside.right() + 1);
    } else {
        // No room beside it: the window takes the other's side away from
        // the control, as wide as that leaves.
        const int left = std::max(free.left(), beside.left() - outer.width());
        outer.setWidth(std::max(std::min(outer.width(), keep.left() - left),
                                w->minimumWidth() + frame.width()));
        outer.moveLeft(left);
    }
    outer.moveTop(std::clamp(outer.top(), free.top(),
                             std::max(free.top(), free.bottom() + 1 - outer.height())));
    w->resize(outer.size() - frame);
    w->move(outer.topLeft());
    return 0;
}

int HidePanel(int panel) {
    Panel *p = FindPanel(panel);
    if (!p) return UIE_BAD_PANEL;
    p->widget->hide();
    return 0;
}

int DiscardPanel(int panel) {
    auto &panels = Panels();
    if (!FindPanel(panel)) return UIE_BAD_PANEL;
    for (std::size_t h = 1; h < panels.size(); ++h)
        if (panels[h] && panels[h]->parent == panel) DiscardPanel(static_cast<int>(h));
    std::unique_ptr<Panel> gone = std::move(panels[panel]);
    // A callback of this panel may be running under us: its widgets must
    // outlive it, so they go once the event loop takes over again.
    if (InCallback()) {
        gone->widget->hide();
        gone->widget->deleteLater();
    } else {
        delete gone->widget;
    }
    return 0;
}

int GetPanelAttribute(int panel, int attribute, int *value) {
    const Panel *p = FindPanel(panel);
    if (!p) return UIE_BAD_PANEL;
    if (!value) return UIE_BAD_ARGUMENT;
    const QWidget *w = p->widget;
    return GetWidgetAttribute(*w, attribute, *value) ? 0 : UIE_BAD_ATTRIBUTE;
}

int SetPanelAttribute(int panel, int attribute, int value) {
    Panel *p = FindPanel(panel);
    if (!p) return UIE_BAD_PANEL;
    QWidget *w = p->widget;
    const bool topLevel = p->parent == 0;
    switch (attribute) {
        case ATTR_LEFT:
            w->move(value, w->y());
            return 0;
        case ATTR_TOP:
            w->move(w->x(), value);
            return 0;
        case ATTR_WIDTH:
        case ATTR_HEIGHT: {
            if (value < 1 || value > 10000) return UIE_BAD_VALUE;
            const QSize base = topLevel ? p->homeSize : w->size();
            const QSize s =
                attribute == ATTR_WIDTH ? QSize(value, base.height()) : QSize(base.width(), value);
            if (topLevel) {
                // The program's size becomes the panel's own: the window shows
                // it, scrolling where the screen is smaller.
                SizeWindow(*p, s);
            } else {
                w->resize(s);
            }
            return 0;
        }
        case ATTR_VISIBLE:
            return value ? DisplayPanel(panel) : HidePanel(panel);
        case ATTR_DIMMED:
            w->setEnabled(!value);
            return 0;
        default:
            return UIE_BAD_ATTRIBUTE;
    }
}

int NewCtrl(int panel, int kind, const char *label, int top, int left) {
    Panel *p = FindPanel(panel);
    if (!p) return UIE_BAD_PANEL;
    if (kind != CTRL_TEXT_MSG) return UIE_BAD_KIND;
    ControlSpec desc;
    desc.id = static_cast<int>(std::max<std::size_t>(p->byId.size(), 1));
    desc.name = QStringLiteral("Ctrl%1").arg(desc.id);
    desc.kind = Kind::TextMsg;
    desc.dataType = VAL_STRING;
    desc.left = left;
    desc.top = top;
    desc.label = DecodeText(label ? label : "");
    desc.hasDefault = desc.defaultIsText = true;
    desc.defaultText = QByteArray(label ? label : "");
    AddControl(*p, desc);
    return desc.id;
}

int SavePanelImage(int panel, const char *file) {
    Panel *p = FindPanel(panel);
    if (!p) return UIE_BAD_PANEL;
    if (!file || !*file) return UIE_BAD_ARGUMENT;
    p->widget->ensurePolished();
    ReplotPanelNow(*p);
    // The whole panel, also where the window is too small to show all of it.
    const QPixmap image = p->canvas->grab();
    return image.save(QString::fromLocal8Bit(file), "PNG") ? 0 : UIE_FILE;
}

namespace {

// The heading's lines from the page's top; returns the height they took.
int DrawHeading(QPainter &painter, const QString &heading, int width) {
    int y = 0;
    const QStringList lines = heading.split('\n');
    for (int i = 0; i < lines.size(); ++i) {
        QFont font = painter.font();
        font.setPointSizeF(i == 0 ? 15 : 9.5);
        font.setBold(i == 0);
        painter.setFont(font);
        const QRect box = painter.boundingRect(QRect(0, y, width, 100000),
                                               Qt::AlignLeft | Qt::TextWordWrap, lines[i]);
        painter.drawText(box, Qt::AlignLeft | Qt::TextWordWrap, lines[i]);
        y = box.bottom() + painter.fontMetrics().height() / (i == 0 ? 2 : 6);
    }
    return y;
}

}  // namespace

int SavePanelPdf(int panel, const char *file, const char *heading) {
    Panel *p = FindPanel(panel);
    if (!p) return UIE_BAD_PANEL;
    if (!file || !*file) return UIE_BAD_ARGUMENT;
    p->widget->ensurePolished();
    ReplotPanelNow(*p);
    QPdfWriter pdf(QString::fromLocal8Bit(file));
    pdf.setPageSize(QPageSize(QPageSize::A4));
    pdf.setPageMargins(QMarginsF(15, 15, 15, 15), QPageLayout::Millimeter);
    pdf.setResolution(600);
    pdf.setCreator(QCoreApplication::applicationName());
    QPainter painter;
    if (!painter.begin(&pdf)) return UIE_FILE;
    const QRect page = painter.viewport();
    const int top = DrawHeading(painter, QString::fromUtf8(heading ? heading : ""), page.width());
    QWidget *canvas = p->canvas;
    const double scale = std::min(page.width() / static_cast<double>(canvas->width()),
                                  (page.height() - top) / static_cast<double>(canvas->height()));
    painter.translate(0, top);
    painter.scale(scale, scale);
    canvas->render(&painter, QPoint(), QRegion(), QWidget::DrawChildren);
    return painter.end() ? 0 : UIE_FILE;
}

// ---------------------------------------------------------------- test access
QWidget *UiPanelWidget(int panel) {
    const Panel *p = FindPanel(panel);
    return p ? p->widget : nullptr;
}

QWidget *UiControlWidget(int panel, int control) {
    const Control *c = FindControl(panel, control);
    return c ? c->widget : nullptr;
}

QCustomPlot *UiControlPlot(int panel, int control) {
    const Control *c = FindControl(panel, control);
    return c ? c->plot : nullptr;
}

QLabel *UiControlCaption(int panel, int control) {
    const Control *c = FindControl(panel, control);
    return c ? c->caption : nullptr;
}

// A window's place and size among the settings, under the panel's name.
int RememberPanelGeometry(int panel) {
    const Panel *p = FindPanel(panel);
    if (!p) return UIE_BAD_PANEL;
    if (p->parent != 0) return UIE_BAD_ARGUMENT;
    SettingsStore().setValue(QStringLiteral("window/") + p->name, p->widget->saveGeometry());
    SettingsStore().sync();
    return 0;
}

int RestorePanelGeometry(int panel) {
    Panel *p = FindPanel(panel);
    if (!p) return UIE_BAD_PANEL;
    if (p->parent != 0) return UIE_BAD_ARGUMENT;
    const QByteArray saved =
        SettingsStore().value(QStringLiteral("window/") + p->name).toByteArray();
    if (saved.isEmpty() || !p->widget->restoreGeometry(saved)) return 0;
    // Qt keeps a restored window on a screen; the first show then leaves it.
    p->shownOnce = true;
    return 1;
}
