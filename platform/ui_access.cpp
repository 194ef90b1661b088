// What screen readers, the keyboard and tooltips get of a panel: buttons
// whose accessibility actions do what a click does, radio buttons announced
// as such, hidden controls left out of the tree, shortcuts and Enter on
// buttons, tooltips with range, key and the reason for dimming, and a tab
// chain in layout order.
#include <QAbstractButton>
#include <QAccessible>
#include <QAccessibleWidget>
#include <QComboBox>
#include <QEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QPointer>
#include <QRadioButton>
#include <QShortcut>
#include <algorithm>
#include <climits>

#include "ui_internal.h"

namespace kvexui {
namespace {

const char *const kPanelKey = "kvexPanel";
const char *const kControlKey = "kvexControl";

Control *ControlOf(const QObject *o) {
    const QVariant panel = o->property(kPanelKey), id = o->property(kControlKey);
    return panel.isValid() && id.isValid() ? FindControl(panel.toInt(), id.toInt()) : nullptr;
}

QKeySequence KeyOf(const Control &c) {
    return QKeySequence(c.help.shortcut, QKeySequence::PortableText);
}

// "Memory target, 2 of 3": where a radio button stands in its choice.
QString GroupPosition(const Control &c) {
    const Panel *p = FindPanel(c.panel);
    if (!p || c.help.group.isEmpty()) return QString();
    int index = 0, count = 0;
    for (const auto &other : p->controls) {
        if (other->kind != Kind::RadioButton || other->help.group != c.help.group) continue;
        ++count;
        if (other.get() == &c) index = count;
    }
    return QStringLiteral("%1, %2 of %3").arg(c.help.group).arg(index).arg(count);
}

class ButtonAccess : public QAccessibleWidget {
  public:
    ButtonAccess(QAbstractButton *b, bool radio)
        : QAccessibleWidget(b, radio ? QAccessible::RadioButton : QAccessible::Button) {}

    QString text(QAccessible::Text t) const override {
        if (t == QAccessible::Name) {
            const QString name = widget()->accessibleName();
            return name.isEmpty() ? button()->text() : name;
        }
        if (t == QAccessible::Description) {
            const Control *c = ControlOf(widget());
            const QString where = c ? GroupPosition(*c) : QString();
            const QString tip = QAccessibleWidget::text(t);
            if (where.isEmpty()) return tip;
            return tip.isEmpty() ? where : where + QLatin1Char('\n') + tip;
        }
        return QAccessibleWidget::text(t);
    }

    QAccessible::State state() const override {
        QAccessible::State s = QAccessibleWidget::state();
        if (button()->isCheckable()) {
            s.checkable = true;
            s.checked = button()->isChecked();
        } else {
            s.pressed = button()->isDown();
        }
        return s;
    }

    QStringList actionNames() const override {
        if (!widget()->isEnabled()) return {};
        if (button()->isCheckable()) return {toggleAction(), pressAction()};
        return {pressAction()};
    }

    // As with Qt's own buttons, the action returns at once and the click
    // follows from the event loop: a button that starts a measuring loop
    // never holds the screen reader waiting until the loop ends.
    void doAction(const QString &name) override {
        if (name != pressAction() && name != toggleAction()) return;
        const Control *c = ControlOf(widget());
        if (!c) return;
        const int panel = c->panel, id = c->id;
        QMetaObject::invokeMethod(
            qApp,
            [panel, id] {
                if (Control *target = FindControl(panel, id)) ActivateControl(*target);
            },
            Qt::QueuedConnection);
    }

    QStringList keyBindingsForAction(const QString &name) const override {
        const Control *c = ControlOf(widget());
        if (!c || c->help.shortcut.isEmpty() || !actionNames().contains(name)) return {};
        return {KeyOf(*c).toString(QKeySequence::NativeText)};
    }

  private:
    QAbstractButton *button() const { return static_cast<QAbstractButton *>(widget()); }
};

// A panel shows the screen reader what the operator sees: hidden controls
// and sub-panels are not among its children.
class PanelAccess : public QAccessibleWidget {
  public:
    explicit PanelAccess(QWidget *w)
        : QAccessibleWidget(w, w->isWindow() ? QAccessible::Window : QAccessible::Grouping) {}

    int childCount() const override { return static_cast<int>(Shown().size()); }

    QAccessibleInterface *child(int index) const override {
        const QList<QWidget *> shown = Shown();
        if (index < 0 || index >= shown.size()) return nullptr;
        return QAccessible::queryAccessibleInterface(shown.at(index));
    }

    int indexOfChild(const QAccessibleInterface *child) const override {
        if (!child) return -1;
        return static_cast<int>(Shown().indexOf(qobject_cast<QWidget *>(child->object())));
    }

  private:
    QList<QWidget *> Shown() const {
        QList<QWidget *> shown;
        for (QObject *o : widget()->children()) {
            auto *w = qobject_cast<QWidget *>(o);
            if (w && !w->isWindow() && !w->isHidden()) shown.append(w);
        }
        return shown;
    }
};

// Qt names a combo box on Linux by its current text and leaves the label to
// a relation; a screen reader should hear "COM port", then the port.
class RingAccess : public QAccessibleWidget {
  public:
    explicit RingAccess(QComboBox *box) : QAccessibleWidget(box, QAccessible::ComboBox) {}

    QString text(QAccessible::Text t) const override {
        if (t == QAccessible::Value) return box()->currentText();
        return QAccessibleWidget::text(t);
    }

    QStringList actionNames() const override {
        return widget()->isEnabled() ? QStringList{showMenuAction()} : QStringList{};
    }

    void doAction(const QString &name) override {
        if (name == showMenuAction() && widget()->isEnabled()) box()->showPopup();
    }

  private:
    QComboBox *box() const { return static_cast<QComboBox *>(widget()); }
};

// Controls are known by their parent, which is a panel from its first moment
// on: Qt asks for an interface as soon as a widget gets a name.
QAccessibleInterface *MakeAccess(const QString &, QObject *object) {
    auto *w = qobject_cast<QWidget *>(object);
    if (!w) return nullptr;
    if (w->property(kPanelKey).isValid()) return new PanelAccess(w);
    const QWidget *parent = w->parentWidget();
    if (!parent || !parent->property(kPanelKey).isValid()) return nullptr;
    if (auto *b = qobject_cast<QAbstractButton *>(w))
        return new ButtonAccess(b, qobject_cast<QRadioButton *>(b) != nullptr);
    if (auto *box = qobject_cast<QComboBox *>(w)) return new RingAccess(box);
    return DisplayAccessFor(w);
}

// Enter on a focused button is a click, as Space is; Qt leaves it to dialogs.
class EnterKey : public QObject {
  public:
    explicit EnterKey(QWidget *button) : QObject(button) { button->installEventFilter(this); }

  protected:
    bool eventFilter(QObject *watched, QEvent *event) override {
        if (event->type() != QEvent::KeyPress) return false;
        const int key = static_cast<QKeyEvent *>(event)->key();
        if (key != Qt::Key_Return && key != Qt::Key_Enter) return false;
        if (Control *c = ControlOf(watched)) ActivateControl(*c);
        return true;
    }
};

bool IsButton(Kind kind) {
    return kind == Kind::CommandButton || kind == Kind::ToggleButton || kind == Kind::RadioButton;
}

QString Bound(const Control &c, double v) {
    return QString::number(v, 'f', IsIntegerType(c.dataType) ? 0 : c.precision);
}

// One tab stop: a control, or a sub-panel with its own stops inside.
struct Stop {
    int tabIndex;
    QPoint at;
    QWidget *widget;
    const Panel *sub;
};

void CollectChain(const Panel &p, std::vector<QWidget *> &chain);

void OrderStops(std::vector<Stop> &stops) {
    // Top to bottom; stops whose tops lie within a few pixels share a row and
    // go left to right. A tab index from the panel file comes first.
    constexpr int kRowSlack = 8;
    std::stable_sort(stops.begin(), stops.end(),
                     [](const Stop &a, const Stop &b) { return a.at.y() < b.at.y(); });
    for (std::size_t row = 0; row < stops.size();) {
        std::size_t end = row + 1;
        while (end < stops.size() && stops[end].at.y() - stops[row].at.y() <= kRowSlack) ++end;
        std::stable_sort(stops.begin() + static_cast<long>(row),
                         stops.begin() + static_cast<long>(end),
                         [](const Stop &a, const Stop &b) { return a.at.x() < b.at.x(); });
        row = end;
    }
    std::stable_sort(stops.begin(), stops.end(), [](const Stop &a, const Stop &b) {
        return (a.tabIndex < 0 ? INT_MAX : a.tabIndex) < (b.tabIndex < 0 ? INT_MAX : b.tabIndex);
    });
}

void CollectChain(const Panel &p, std::vector<QWidget *> &chain) {
    std::vector<Stop> stops;
    for (const auto &c : p.controls)
        if (c->widget->focusPolicy() & Qt::TabFocus)
            stops.push_back({c->help.tabIndex, c->home.topLeft(), c->widget, nullptr});
    for (const Panel *sub : ChildPanels(p.handle))
        stops.push_back({-1, sub->widget->pos(), nullptr, sub});
    OrderStops(stops);
    for (const Stop &s : stops) {
        if (s.sub)
            CollectChain(*s.sub, chain);
        else
            chain.push_back(s.widget);
    }
}

}  // namespace

void InstallAccessibility() {
    static bool installed = false;
    if (installed) return;
    installed = true;
    QAccessible::installFactory(MakeAccess);
}

void ActivateControl(Control &c) {
    QPointer<QAbstractButton> b = qobject_cast<QAbstractButton *>(c.widget);
    if (!b || !b->isEnabled()) return;
    // A command button's press and release are the left click and the commit.
    if (c.kind == Kind::CommandButton) {
        b->click();
        return;
    }
    FireControl(c.panel, c.id, EVENT_LEFT_CLICK);
    // The callback may have dimmed the button or discarded its panel.
    if (b && b->isEnabled()) b->click();
}

void SetupHelp(Control &c) {
    c.widget->setProperty(kPanelKey, c.panel);
    c.widget->setProperty(kControlKey, c.id);
    if (IsButton(c.kind)) new EnterKey(c.widget);
    if (!c.help.shortcut.isEmpty()) {
        auto *key = new QShortcut(KeyOf(c), c.widget);
        key->setContext(Qt::WindowShortcut);
        const int p = c.panel, id = c.id;
        QObject::connect(key, &QShortcut::activated, key, [p, id] {
            if (Control *target = FindControl(p, id)) ActivateControl(*target);
        });
    }
    UpdateToolTip(c);
}

void UpdateToolTip(Control &c) {
    QStringList parts;
    if (!c.help.tooltip.isEmpty()) parts << c.help.tooltip;
    if ((c.kind == Kind::Numeric || c.kind == Kind::Slider) && c.hasMin && c.hasMax)
        parts << QStringLiteral("Range %1 to %2").arg(Bound(c, c.min), Bound(c, c.max));
    if (!c.help.shortcut.isEmpty())
        parts << QStringLiteral("Key: %1").arg(KeyOf(c).toString(QKeySequence::NativeText));
    if (!c.widget->isEnabled() && !c.help.dimmedTooltip.isEmpty()) parts << c.help.dimmedTooltip;
    const QString tip = parts.join(QLatin1Char('\n'));
    for (QWidget *w : {c.widget, static_cast<QWidget *>(c.caption)})
        if (w && w->toolTip() != tip) w->setToolTip(tip);
}

void MarkPanelWidget(QWidget *w, int panel) { w->setProperty(kPanelKey, panel); }

void OrderTabChain(int panel) {
    const Panel *top = FindPanel(panel);
    while (top && top->parent != 0) top = FindPanel(top->parent);
    if (!top) return;
    std::vector<QWidget *> chain;
    CollectChain(*top, chain);
    for (std::size_t i = 1; i < chain.size(); ++i) QWidget::setTabOrder(chain[i - 1], chain[i]);
}

}  // namespace kvexui
