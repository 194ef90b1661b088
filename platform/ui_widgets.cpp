// The Qt widget behind each kind of control, the events it sends to the
// control's callback, and how a value, colours and fonts reach the widget.
// Standard widgets are used throughout, so that screen readers and GUI test
// tools see each control's name, text and value.
#include <QAccessible>
#include <QApplication>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QFontInfo>
#include <QFontMetrics>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalBlocker>
#include <QSlider>
#include <QSpinBox>
#include <QTimer>
#include <QToolTip>
#include <algorithm>
#include <chrono>
#include <climits>

#include "ui_internal.h"
#include "ui_testing.h"

namespace kvexui {
namespace {

constexpr int kCaptionHeight = 16;
constexpr double kUnboundedReal = 1e12;    // edit range of a float/double without limits
const char *const kAppFontName = "NIApp";  // the callers' name for the program's own font

// Sends left click when the mouse button goes down on an enabled widget, before
// the widget itself reacts to the press.
class PressFilter : public QObject {
  public:
    PressFilter(int panel, int control, QWidget *widget)
        : QObject(widget), panel_(panel), control_(control) {
        widget->installEventFilter(this);
    }

  protected:
    bool eventFilter(QObject *watched, QEvent *event) override {
        const QEvent::Type t = event->type();
        if ((t == QEvent::MouseButtonPress || t == QEvent::MouseButtonDblClick) &&
            static_cast<QMouseEvent *>(event)->button() == Qt::LeftButton &&
            static_cast<QWidget *>(watched)->isEnabled())
            FireControl(panel_, control_, EVENT_LEFT_CLICK);
        return false;
    }

  private:
    int panel_, control_;
};

double TypeLow(int type) {
    switch (type) {
        case VAL_CHAR:
            return SCHAR_MIN;
        case VAL_SHORT_INTEGER:
            return SHRT_MIN;
        case VAL_INTEGER:
            return INT_MIN;
        case VAL_FLOAT:
        case VAL_DOUBLE:
            return -kUnboundedReal;
        default:
            return 0;
    }
}

double TypeHigh(int type) {
    switch (type) {
        case VAL_CHAR:
            return SCHAR_MAX;
        case VAL_UNSIGNED_CHAR:
            return UCHAR_MAX;
        case VAL_SHORT_INTEGER:
            return SHRT_MAX;
        case VAL_UNSIGNED_SHORT_INTEGER:
            return USHRT_MAX;
        case VAL_INTEGER:
            return INT_MAX;
        case VAL_UNSIGNED_INTEGER:
            return UINT_MAX;
        default:
            return kUnboundedReal;
    }
}

double Low(const Control &c) {
    return c.hasMin ? std::max(c.min, TypeLow(c.dataType)) : TypeLow(c.dataType);
}

double High(const Control &c) {
    return c.hasMax ? std::min(c.max, TypeHigh(c.dataType)) : TypeHigh(c.dataType);
}

int ClampToInt(double v) {
    return static_cast<int>(
        std::clamp(v, static_cast<double>(INT_MIN), static_cast<double>(INT_MAX)));
}

// A QSpinBox holds an int; larger unsigned numbers and reals need the double one.
bool NeedsDoubleSpin(const Control &c) {
    return !IsIntegerType(c.dataType) || High(c) > INT_MAX || Low(c) < INT_MIN;
}

void OnToggled(int panel, int control, bool on) {
    Control *c = FindControl(panel, control);
    if (!c) return;
    c->number = on ? 1 : 0;
    FireControl(panel, control, EVENT_VAL_CHANGED);
    FireControl(panel, control, EVENT_COMMIT);
}

void OnRingChosen(int panel, int control, int index) {
    Control *c = FindControl(panel, control);
    if (!c || index == c->ringIndex || index < 0 ||
        static_cast<std::size_t>(index) >= c->items.size())
        return;
    c->ringIndex = index;
    c->number = ConvertInteger(c->dataType, c->items[index].value);
    FireControl(panel, control, EVENT_VAL_CHANGED);
    FireControl(panel, control, EVENT_COMMIT);
}

void OnNumberEdited(int panel, int control, double value) {
    Control *c = FindControl(panel, control);
    if (!c) return;
    // Enter makes the spin box report its value again, changed or not.
    const double n = ConvertDouble(c->dataType, value);
    if (n == c->number) return;
    c->number = n;
    c->editedSinceCommit = true;
    FireControl(panel, control, EVENT_VAL_CHANGED);
}

void OnEditFinished(int panel, int control) {
    Control *c = FindControl(panel, control);
    if (!c || !c->editedSinceCommit) return;
    c->editedSinceCommit = false;
    FireControl(panel, control, EVENT_COMMIT);
}

void OnSliderMoved(int panel, int control, QSlider *slider, int value) {
    Control *c = FindControl(panel, control);
    if (!c) return;
    c->number = ConvertInteger(c->dataType, value);
    if (c->valueLabel) c->valueLabel->setText(FormatNumber(*c));
    FireControl(panel, control, EVENT_VAL_CHANGED);
    // A drag commits on release; a click on the groove or a key commits at once.
    if (!slider->isSliderDown()) FireControl(panel, control, EVENT_COMMIT);
}

QWidget *MakeCommandButton(const Control &c, QWidget *parent) {
    auto *b = new QPushButton(c.label, parent);
    b->setAutoDefault(false);
    const int p = c.panel, id = c.id;
    QObject::connect(b, &QPushButton::pressed, b,
                     [p, id] { FireControl(p, id, EVENT_LEFT_CLICK); });
    QObject::connect(b, &QPushButton::clicked, b, [p, id] { FireControl(p, id, EVENT_COMMIT); });
    return b;
}

QWidget *MakeTwoStateButton(const Control &c, QWidget *parent) {
    QAbstractButton *b = nullptr;
    if (c.kind == Kind::RadioButton) {
        auto *r = new QRadioButton(c.label, parent);
        r->setAutoExclusive(false);  // the program decides which one is on
        b = r;
    } else {
        auto *t = new QPushButton(c.label, parent);
        t->setAutoDefault(false);
        t->setCheckable(true);
        b = t;
    }
    const int p = c.panel, id = c.id;
    new PressFilter(p, id, b);
    QObject::connect(b, &QAbstractButton::clicked, b, [p, id](bool on) { OnToggled(p, id, on); });
    return b;
}

// Tells the control's callback before its list opens, so that a list that
// describes the machine (ports) is fresh when the operator looks at it.
class RingBox : public QComboBox {
  public:
    RingBox(int panel, int control, QWidget *parent)
        : QComboBox(parent), panel_(panel), control_(control) {}

    void showPopup() override {
        FireControl(panel_, control_, EVENT_RING_OPENING);
        QComboBox::showPopup();
    }

  private:
    int panel_, control_;
};

QWidget *MakeRing(const Control &c, QWidget *parent) {
    auto *box = new RingBox(c.panel, c.id, parent);
    for (const RingItem &item : c.items) box->addItem(item.label, item.value);
    const int p = c.panel, id = c.id;
    QObject::connect(box, &QComboBox::activated, box,
                     [p, id](int index) { OnRingChosen(p, id, index); });
    return box;
}

// A spin box drops a keystroke or paste that its range or its kind of number
// cannot hold, and says nothing: 9999 typed into a field that ends at 4096
// leaves 999, and the operator may not notice. The field therefore flashes
// red and names its range at once; what it holds stays as it was.
class RefusalSign : public QObject {
  public:
    RefusalSign(int panel, int control, QAbstractSpinBox *edit)
        : QObject(edit), panel_(panel), control_(control), edit_(edit) {
        timer_.setSingleShot(true);
        timer_.setInterval(std::chrono::milliseconds(600));
        connect(&timer_, &QTimer::timeout, this, [this] { end(); });
        if (auto *line = edit->findChild<QLineEdit *>())
            connect(line, &QLineEdit::inputRejected, this, [this] { refused(); });
    }

  private:
    void refused() {
        if (Control *c = FindControl(panel_, control_)) ++c->refusals;
        if (!timer_.isActive()) {
            before_ = edit_->palette();
            flashed_ = before_;
            flashed_.setColor(QPalette::Base, QColor(255, 190, 190));
            edit_->setPalette(flashed_);
        }
        timer_.start();
        QToolTip::showText(edit_->mapToGlobal(QPoint(0, edit_->height())), range(), edit_);
    }

    void end() {
        // Colours the program chose meanwhile stay; only the red goes.
        if (edit_->palette() == flashed_) {
            edit_->setPalette(before_);
            return;
        }
        QPalette now = edit_->palette();
        if (now.color(QPalette::Base) == flashed_.color(QPalette::Base))
            now.setColor(QPalette::Base, before_.color(QPalette::Base));
        edit_->setPalette(now);
    }

    QString range() const {
        if (auto *d = qobject_cast<const QDoubleSpinBox *>(edit_))
            return QStringLiteral("%1 to %2")
                .arg(QString::number(d->minimum(), 'f', d->decimals()),
                     QString::number(d->maximum(), 'f', d->decimals()));
        const auto *s = static_cast<const QSpinBox *>(edit_);
        return QStringLiteral("%1 to %2").arg(s->minimum()).arg(s->maximum());
    }

    int panel_, control_;
    QAbstractSpinBox *edit_;
    QTimer timer_;
    QPalette before_, flashed_;
};

QWidget *MakeNumeric(const Control &c, QWidget *parent) {
    const int p = c.panel, id = c.id;
    QAbstractSpinBox *edit = nullptr;
    if (NeedsDoubleSpin(c)) {
        auto *s = new QDoubleSpinBox(parent);
        s->setDecimals(IsIntegerType(c.dataType) ? 0 : c.precision);
        s->setRange(Low(c), High(c));
        QObject::connect(s, &QDoubleSpinBox::valueChanged, s,
                         [p, id](double v) { OnNumberEdited(p, id, v); });
        edit = s;
    } else {
        auto *s = new QSpinBox(parent);
        s->setRange(ClampToInt(Low(c)), ClampToInt(High(c)));
        QObject::connect(s, &QSpinBox::valueChanged, s,
                         [p, id](int v) { OnNumberEdited(p, id, v); });
        edit = s;
    }
    edit->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    QObject::connect(edit, &QAbstractSpinBox::editingFinished, edit,
                     [p, id] { OnEditFinished(p, id); });
    new RefusalSign(p, id, edit);
    return edit;
}

QWidget *MakeSlider(Control &c, const ControlSpec &desc, QWidget *parent) {
    const Qt::Orientation o = desc.width >= desc.height ? Qt::Horizontal : Qt::Vertical;
    QSlider *s = NewMarkedSlider(o, parent);
    s->setRange(ClampToInt(Low(c)), ClampToInt(High(c)));
    c.valueLabel = new QLabel(parent);
    c.valueLabel->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    const int p = c.panel, id = c.id;
    QObject::connect(s, &QSlider::valueChanged, s,
                     [p, id, s](int v) { OnSliderMoved(p, id, s, v); });
    QObject::connect(s, &QSlider::sliderReleased, s, [p, id] { FireControl(p, id, EVENT_COMMIT); });
    return s;
}

// A password: one line whose characters never show, not even to a screen
// reader (Qt's line edit answers those with dots too). Every change counts,
// not only keys: an on-screen keyboard or an assistive tool sets the text
// without editing it, and the program's own writes come with signals
// blocked.
QWidget *MakeSecretBox(const Control &c, QWidget *parent) {
    auto *line = new QLineEdit(parent);
    line->setEchoMode(QLineEdit::Password);
    const int p = c.panel, id = c.id;
    QObject::connect(line, &QLineEdit::textChanged, line, [p, id](const QString &text) {
        if (Control *typed = FindControl(p, id)) TakeTypedText(*typed, text);
    });
    return line;
}

QWidget *MakeTextBox(const Control &c, const ControlSpec &desc, QWidget *parent) {
    if (desc.editable && desc.secret) return MakeSecretBox(c, parent);
    auto *t = new QPlainTextEdit(parent);
    t->setReadOnly(!desc.editable);
    if (desc.editable) {
        // The program's own writes come with signals blocked: what arrives
        // here is the operator's typing.
        const int p = c.panel, id = c.id;
        QObject::connect(t, &QPlainTextEdit::textChanged, t, [p, id, t] {
            if (Control *typed = FindControl(p, id)) TakeTypedText(*typed, t->toPlainText());
        });
    }
    t->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);  // long lines wrap instead
    // A box one line tall keeps its text on that line: a wrapped rest would
    // sit on a second line that nobody sees.
    if (desc.lines <= 1) t->setLineWrapMode(QPlainTextEdit::NoWrap);
    // A box holds a path or a name, where a Tab has no place: it moves on to
    // the next control, as in every other field.
    t->setTabChangesFocus(true);
    return t;
}

QWidget *MakeDecoration(QWidget *parent) {
    auto *f = new QFrame(parent);
    f->setFrameShape(QFrame::Panel);
    f->setFrameShadow(QFrame::Raised);
    f->setAutoFillBackground(true);
    return f;
}

QWidget *MakeWidget(Control &c, const ControlSpec &desc, QWidget *parent) {
    switch (c.kind) {
        case Kind::CommandButton:
            return MakeCommandButton(c, parent);
        case Kind::ToggleButton:
        case Kind::RadioButton:
            return MakeTwoStateButton(c, parent);
        case Kind::Ring:
            return MakeRing(c, parent);
        case Kind::Numeric:
            return MakeNumeric(c, parent);
        case Kind::NumericDisplay:
            return MakeNumericDisplay(parent);
        case Kind::Slider:
            return MakeSlider(c, desc, parent);
        case Kind::TextBox:
            return MakeTextBox(c, desc, parent);
        case Kind::Graph:
            return BuildGraph(c, desc, parent);
        case Kind::StripChart:
            return BuildStripChart(c, desc, parent);
        case Kind::Decoration:
            return MakeDecoration(parent);
        case Kind::Picture:
        case Kind::TextMsg:
            break;
    }
    auto *label = new QLabel(parent);
    label->setAlignment(c.kind == Kind::Picture ? Qt::AlignLeft | Qt::AlignTop
                                                : Qt::AlignLeft | Qt::AlignVCenter);
    return label;
}

// Kinds whose label is a line of text above them; buttons carry theirs.
bool HasCaptionLine(Kind kind) {
    switch (kind) {
        case Kind::Ring:
        case Kind::Numeric:
        case Kind::NumericDisplay:
        case Kind::Slider:
        case Kind::TextBox:
        case Kind::Graph:
        case Kind::StripChart:
            return true;
        default:
            return false;
    }
}

void TakeSpec(Control &c, const ControlSpec &desc) {
    c.kind = desc.kind;
    c.name = desc.name;
    c.dataType = desc.dataType;
    c.hasMin = desc.hasMin;
    c.hasMax = desc.hasMax;
    c.min = desc.min;
    c.max = desc.max;
    c.precision = desc.precision >= 0 ? desc.precision : 2;
    c.label = desc.label;
    c.items = desc.items;
    c.sizeToText = desc.width < 0 || desc.height < 0;
    c.fontName = kAppFontName;
    c.stretch = desc.stretch;
    c.help = desc.help;
    c.traceNames = desc.traceNames;
}

void SetStartValue(Control &c, const ControlSpec &desc) {
    if (c.kind == Kind::TextMsg && !desc.hasDefault) {
        PutText(c, desc.label.toUtf8().constData());
    } else if (desc.hasDefault && desc.defaultIsText) {
        PutText(c, desc.defaultText.constData());
    } else if (c.kind == Kind::Ring && !c.items.empty()) {
        c.ringIndex = 0;
        c.number = ConvertInteger(c.dataType, c.items[0].value);
        if (desc.hasDefault) PutReal(c, desc.defaultNumber);
    } else if (c.dataType != VAL_STRING && c.kind != Kind::CommandButton) {
        PutReal(c, desc.hasDefault ? desc.defaultNumber : 0.0);
    }
    ShowValue(c);
}

void TakeLooks(Control &c, const ControlSpec &desc) {
    const QPalette &pal = c.widget->palette();
    c.textColor =
        desc.textColor >= 0 ? desc.textColor : FromQColor(pal.color(c.widget->foregroundRole()));
    c.textBgColor = desc.textBgColor >= 0 ? desc.textBgColor
                                          : FromQColor(pal.color(c.widget->backgroundRole()));
    c.textBgSet = desc.textBgColor >= 0;
    c.frameColor = desc.color >= 0 ? desc.color : c.textBgColor;
    if (desc.textColor >= 0 || desc.textBgColor >= 0 || c.kind == Kind::Decoration)
        ApplyTextColors(c);
    c.pointSize = desc.pointSize > 0 ? desc.pointSize : QFontInfo(c.widget->font()).pixelSize();
    if (desc.pointSize > 0) ApplyFont(c);
}

}  // namespace

void BuildControl(Panel &panel, Control &c, const ControlSpec &desc) {
    TakeSpec(c, desc);
    QWidget *parent = panel.canvas;
    c.widget = MakeWidget(c, desc, parent);
    c.widget->setObjectName(desc.name);
    if (HasCaptionLine(c.kind) && !desc.label.isEmpty()) {
        c.caption = new QLabel(desc.label, parent);
        c.caption->setBuddy(c.widget);  // screen readers name the control by it
    }
    NameForScreenReaders(c);
    if (c.sizeToText)
        c.widget->move(desc.left, desc.top);
    else
        c.widget->setGeometry(desc.left, desc.top, desc.width, desc.height);
    PlaceCaption(c);
    TakeLooks(c, desc);
    SetStartValue(c, desc);
    // Decorations are backgrounds: whatever else the panel holds stays visible.
    if (c.kind == Kind::Decoration) c.widget->lower();
    for (QWidget *w :
         {c.widget, static_cast<QWidget *>(c.caption), static_cast<QWidget *>(c.valueLabel)}) {
        if (!w) continue;
        w->setVisible(desc.visible);
        w->setEnabled(!desc.dimmed);
    }
    c.home = c.widget->geometry();
    SetupHelp(c);
}

void NameForScreenReaders(Control &c) {
    // A text message is read by its text, which changes (the status line);
    // a name would hide it. Everything else is named by its label.
    if (c.kind == Kind::TextMsg) {
        c.widget->setAccessibleName(QString());
        return;
    }
    c.widget->setAccessibleName(c.label.isEmpty() ? c.name : c.label);
}

void PlaceCaption(Control &c) {
    const QRect r = c.widget->geometry();
    const QRect line(r.left(), r.top() - kCaptionHeight, r.width(), kCaptionHeight);
    if (c.caption) c.caption->setGeometry(line);
    if (c.valueLabel) c.valueLabel->setGeometry(line);
}

void ShowValue(Control &c) {
    QWidget *w = c.widget;
    const QSignalBlocker block(w);
    switch (c.kind) {
        case Kind::ToggleButton:
        case Kind::RadioButton:
            static_cast<QAbstractButton *>(w)->setChecked(c.number != 0);
            break;
        case Kind::Ring:
            static_cast<QComboBox *>(w)->setCurrentIndex(c.ringIndex);
            break;
        case Kind::Numeric:
            if (auto *d = qobject_cast<QDoubleSpinBox *>(w))
                d->setValue(c.number);
            else
                static_cast<QSpinBox *>(w)->setValue(ClampToInt(c.number));
            break;
        case Kind::NumericDisplay:
            SetDisplayText(w, FormatNumber(c));
            break;
        case Kind::Slider:
            static_cast<QSlider *>(w)->setValue(ClampToInt(c.number));
            c.valueLabel->setText(FormatNumber(c));
            break;
        case Kind::TextMsg: {
            auto *label = static_cast<QLabel *>(w);
            const QString text = DecodeText(c.text.c_str());
            if (label->text() == text) break;
            label->setText(text);
            // QLabel tells nobody; a screen reader should hear the new status.
            QAccessibleEvent changed(label, QAccessible::NameChanged);
            QAccessible::updateAccessibility(&changed);
            if (c.sizeToText)
                w->adjustSize();
            else
                FitText(c);
            break;
        }
        case Kind::TextBox: {
            QStringList lines;
            for (const std::string &line : c.lines) lines.append(DecodeText(line.c_str()));
            if (auto *secret = qobject_cast<QLineEdit *>(w))
                secret->setText(lines.join(QLatin1Char(' ')));
            else
                static_cast<QPlainTextEdit *>(w)->setPlainText(lines.join(QLatin1Char('\n')));
            break;
        }
        default:
            break;
    }
}

void ApplyTextColors(Control &c) {
    QWidget *w = c.widget;
    QPalette pal = w->palette();
    const QColor fg = ToQColor(c.textColor);
    for (QPalette::ColorRole role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
        pal.setColor(role, fg);
    // The style's own background stays until a colour is chosen for it.
    if (c.textBgSet || c.kind == Kind::Decoration) {
        const QColor bg = ToQColor(c.kind == Kind::Decoration ? c.frameColor : c.textBgColor);
        for (QPalette::ColorRole role : {QPalette::Window, QPalette::Base, QPalette::Button})
            pal.setColor(role, bg);
        // Labels paint no background of their own unless told to.
        if (qobject_cast<QLabel *>(w) || qobject_cast<QRadioButton *>(w))
            w->setAutoFillBackground(true);
    }
    if (pal != w->palette()) w->setPalette(pal);
}

// A text message of a fixed size whose text is longer than its line wraps
// onto a second line, in a font made smaller step by step until the text fits
// or the least readable size is reached: read whole, never cut at the edge.
void FitText(Control &c) {
    constexpr int kLeastPixels = 9;
    auto *label = qobject_cast<QLabel *>(c.widget);
    if (!label || c.kind != Kind::TextMsg || c.sizeToText || c.pointSize <= 0) return;
    QFont font = label->font();
    font.setPixelSize(c.pointSize);
    const QRect room = label->contentsRect();
    const QString text = label->text();
    const bool wrap = QFontMetrics(font).horizontalAdvance(text) > room.width();
    for (int px = c.pointSize; wrap && px >= kLeastPixels; --px) {
        font.setPixelSize(px);
        const QRect needed =
            QFontMetrics(font).boundingRect(room, Qt::TextWordWrap | Qt::AlignLeft, text);
        if (needed.height() <= room.height() && needed.width() <= room.width()) break;
    }
    if (label->wordWrap() != wrap) label->setWordWrap(wrap);
    if (label->font() != font) label->setFont(font);
}

void ApplyFont(Control &c) {
    QFont font = QApplication::font();
    if (!c.fontName.empty() && c.fontName != kAppFontName)
        font.setFamily(QString::fromStdString(c.fontName));
    // Text sizes count pixels, like every other measure of the panel layout:
    // texts then keep their place beside the controls on any screen.
    if (c.pointSize > 0) font.setPixelSize(c.pointSize);
    c.widget->setFont(font);
    if (c.sizeToText) c.widget->adjustSize();
    FitText(c);
}

}  // namespace kvexui

int NumericRefusals(int panel, int control) {
    int code = 0;
    const kvexui::Control *c = kvexui::FindControl(panel, control, code);
    return c ? c->refusals : code;
}
