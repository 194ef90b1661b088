// Numeric displays: a value in a plain frame, redrawn with every measurement.
// A read-only line edit lays its text out and shapes it again at each
// change and draws an editor's machinery around it; a display only looks up
// the glyphs of its characters in the font and puts them side by side.
// Screen readers read it as a read-only text field, named by its label; they
// are told of its changes at most a few times a second (see setText).
#include <QAccessible>
#include <QAccessibleWidget>
#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QGlyphRun>
#include <QMenu>
#include <QPainter>
#include <QRawFont>
#include <QTimer>
#include <algorithm>
#include <utility>

#include "ui_internal.h"
#include "ui_testing.h"

namespace kvexui {
namespace {

std::function<void(const void *, const std::string &)> &AnnouncementListener() {
    static std::function<void(const void *, const std::string &)> listener;
    return listener;
}

bool ReadersListen() { return QAccessible::isActive() || AnnouncementListener(); }

constexpr int kFrame = 1;    // the plain frame line
constexpr int kPadding = 4;  // between frame and text, as a line edit keeps it
// A value that changes with every measurement would have a screen reader
// announce 26 texts a second, none of them to the end, and cost the program
// a round of events on the accessibility bus for each; it hears the first
// change at once and then the latest text at most this often.
constexpr int kAnnounceMs = 500;

class DisplayBox : public QWidget {
  public:
    explicit DisplayBox(QWidget *parent) : QWidget(parent) {
        setAttribute(Qt::WA_OpaquePaintEvent);
        setFocusPolicy(Qt::NoFocus);
        setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    }

    const QString &text() const { return text_; }

    void setText(const QString &text) {
        if (text == text_) return;
        text_ = text;
        update();
        if (!ReadersListen()) {
            announced_ = text_;
            return;
        }
        if (!announceTimer_) {
            announceTimer_ = new QTimer(this);
            announceTimer_->setSingleShot(true);
            announceTimer_->setInterval(kAnnounceMs);
            connect(announceTimer_, &QTimer::timeout, this, [this] { announce(); });
        }
        if (!announceTimer_->isActive()) announce();
    }

    QSize sizeHint() const override {
        const QFontMetrics fm(font());
        const int pad = 2 * (kFrame + kPadding);
        return {fm.horizontalAdvance(QLatin1Char('0')) * 8 + pad, fm.height() + pad};
    }

    // Where the text lies, right-aligned and centred in height.
    QRect textRect() const {
        return rect().adjusted(kFrame + kPadding, kFrame, -kFrame - kPadding, -kFrame);
    }

  protected:
    void paintEvent(QPaintEvent *) override {
        QPainter p(this);
        const QPalette::ColorGroup group = isEnabled() ? QPalette::Active : QPalette::Disabled;
        // The frame as two fills: a filled rectangle is a plain copy of
        // pixels, an outline goes through the stroker.
        p.fillRect(rect(), palette().color(group, QPalette::Window).darker(140));
        p.fillRect(rect().adjusted(kFrame, kFrame, -kFrame, -kFrame),
                   palette().brush(group, QPalette::Base));
        p.setPen(palette().color(group, QPalette::Text));
        const QRect area = textRect();
        p.setClipRect(area);
        if (!drawGlyphs(p, area)) p.drawText(area, Qt::AlignRight | Qt::AlignVCenter, text_);
    }

    void changeEvent(QEvent *event) override {
        if (event->type() == QEvent::FontChange) font_ = QRawFont();
        QWidget::changeEvent(event);
    }

    // What a line edit offered: the value to the clipboard. The value the
    // operator clicked on is copied, not the one a running measurement shows
    // by the time the menu item is chosen; and the menu pops up instead of
    // running its own loop, so that the measurement goes on meanwhile.
    void contextMenuEvent(QContextMenuEvent *event) override {
        auto *menu = new QMenu(this);
        menu->setAttribute(Qt::WA_DeleteOnClose);
        QAction *copy = menu->addAction(QApplication::translate("QLineEdit", "&Copy"));
        copy->setEnabled(!text_.isEmpty());
        QObject::connect(copy, &QAction::triggered, menu,
                         [seen = text_] { QGuiApplication::clipboard()->setText(seen); });
        menu->popup(event->globalPos());
    }

  private:
    // Tells the accessibility bus what changed since it last heard, and holds
    // further changes back for a while.
    void announce() {
        if (text_ == announced_) return;
        const QString old = std::exchange(announced_, text_);
        if (AnnouncementListener()) AnnouncementListener()(this, text_.toStdString());
        QAccessibleTextUpdateEvent changed(this, 0, old, text_);
        QAccessible::updateAccessibility(&changed);
        announceTimer_->start();
    }

    // False when the font lacks a character: the text is then laid out the
    // usual way, with the fonts that have it.
    bool drawGlyphs(QPainter &p, const QRect &area) {
        if (text_.isEmpty()) return true;
        if (!font_.isValid()) font_ = QRawFont::fromFont(font());
        if (!font_.isValid()) return false;
        const QList<quint32> glyphs = font_.glyphIndexesForString(text_);
        if (glyphs.isEmpty() || std::count(glyphs.begin(), glyphs.end(), 0u) > 0) return false;
        const QList<QPointF> advances = font_.advancesForGlyphIndexes(glyphs);
        QList<QPointF> positions;
        positions.reserve(glyphs.size());
        double x = 0;
        for (const QPointF &advance : advances) {
            positions.append(QPointF(x, 0));
            x += advance.x();
        }
        QGlyphRun run;
        run.setRawFont(font_);
        run.setGlyphIndexes(glyphs);
        run.setPositions(positions);
        const double height = font_.ascent() + font_.descent();
        const QPointF origin(area.right() + 1 - x,
                             area.top() + (area.height() - height) / 2 + font_.ascent());
        p.drawGlyphRun(origin, run);
        return true;
    }

    QString text_;
    QString announced_;  // the text the accessibility bus last heard
    QTimer *announceTimer_ = nullptr;
    QRawFont font_;  // of font(), made at the first paint after a change
};

// A read-only text field to screen readers, as a line edit is: its label is
// its name, what it shows its value and its text.
class DisplayAccess : public QAccessibleWidget, public QAccessibleTextInterface {
  public:
    explicit DisplayAccess(DisplayBox *box) : QAccessibleWidget(box, QAccessible::EditableText) {}

    QString text(QAccessible::Text t) const override {
        if (t == QAccessible::Value) return box()->text();
        return QAccessibleWidget::text(t);
    }

    QAccessible::State state() const override {
        QAccessible::State s = QAccessibleWidget::state();
        s.readOnly = true;
        return s;
    }

    void *interface_cast(QAccessible::InterfaceType t) override {
        if (t == QAccessible::TextInterface) return static_cast<QAccessibleTextInterface *>(this);
        return QAccessibleWidget::interface_cast(t);
    }

    void selection(int, int *start, int *end) const override { *start = *end = 0; }
    int selectionCount() const override { return 0; }
    void addSelection(int, int) override {}
    void removeSelection(int) override {}
    void setSelection(int, int, int) override {}
    int cursorPosition() const override { return 0; }
    void setCursorPosition(int) override {}
    QString text(int start, int end) const override {
        return box()->text().mid(start, end - start);
    }
    int characterCount() const override { return static_cast<int>(box()->text().size()); }
    void scrollToSubstring(int, int) override {}

    QString attributes(int, int *start, int *end) const override {
        *start = 0;
        *end = characterCount();
        return {};
    }

    // The characters stand right-aligned side by side.
    QRect characterRect(int offset) const override {
        const QString &t = box()->text();
        if (offset < 0 || offset >= t.size()) return {};
        const QFontMetrics fm(box()->font());
        const QRect area = box()->textRect();
        const int end = area.right() + 1 - fm.horizontalAdvance(t.mid(offset + 1));
        const int width = fm.horizontalAdvance(t.at(offset));
        const QRect local(end - width, area.center().y() - fm.height() / 2, width, fm.height());
        return QRect(box()->mapToGlobal(local.topLeft()), local.size());
    }

    int offsetAtPoint(const QPoint &point) const override {
        for (int i = 0; i < characterCount(); ++i)
            if (characterRect(i).contains(point)) return i;
        return -1;
    }

  private:
    DisplayBox *box() const { return static_cast<DisplayBox *>(widget()); }
};

}  // namespace

QWidget *MakeNumericDisplay(QWidget *parent) { return new DisplayBox(parent); }

void SetDisplayText(QWidget *display, const QString &text) {
    static_cast<DisplayBox *>(display)->setText(text);
}

QAccessibleInterface *DisplayAccessFor(QWidget *w) {
    auto *box = dynamic_cast<DisplayBox *>(w);
    return box ? new DisplayAccess(box) : nullptr;
}

}  // namespace kvexui

void SetAnnouncementListener(std::function<void(const void *, const std::string &)> listener) {
    kvexui::AnnouncementListener() = std::move(listener);
}
