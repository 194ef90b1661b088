// Control values with their data types, control attributes, ring items, text
// boxes and pictures. A value is kept in the control (already converted to its
// data type) and the widget only shows it, so reading a value never parses
// widget text and writing one never fires the control's callback.
#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QLabel>
#include <QPixmap>
#include <QStringDecoder>
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <type_traits>

#include "ui_internal.h"

namespace kvexui {
namespace {

bool IsValueKind(Kind kind) {
    switch (kind) {
        case Kind::ToggleButton:
        case Kind::RadioButton:
        case Kind::Ring:
        case Kind::Numeric:
        case Kind::NumericDisplay:
        case Kind::Slider:
        case Kind::TextMsg:
        case Kind::TextBox:
            return true;
        default:
            return false;
    }
}

// Parses a whole decimal text (surrounding blanks allowed).
bool ParseNumber(const char *text, double &value, bool &integral) {
    char *end = nullptr;
    errno = 0;
    const long long i = std::strtoll(text, &end, 10);
    while (end && *end && std::isspace(static_cast<unsigned char>(*end))) ++end;
    if (end != text && end && !*end && errno == 0) {
        value = static_cast<double>(i);
        integral = true;
        return true;
    }
    const double d = std::strtod(text, &end);
    while (end && *end && std::isspace(static_cast<unsigned char>(*end))) ++end;
    if (end == text || !end || *end) return false;
    value = d;
    integral = false;
    return true;
}

// Takes a number already in the control's data type.
int Store(Control &c, double n) {
    if (c.hasMin && n < c.min) n = c.min;
    if (c.hasMax && n > c.max) n = c.max;
    if (c.kind == Kind::ToggleButton || c.kind == Kind::RadioButton) n = n != 0 ? 1 : 0;
    if (c.kind == Kind::Ring) {
        const auto it = std::find_if(c.items.begin(), c.items.end(), [&](const RingItem &item) {
            return ConvertInteger(c.dataType, item.value) == n;
        });
        if (it == c.items.end()) return UIE_BAD_VALUE;
        const int index = static_cast<int>(it - c.items.begin());
        if (index == c.ringIndex) return 0;
        c.ringIndex = index;
    } else if (n == c.number) {
        return 0;  // the displays are written every cycle; most writes change nothing
    }
    c.number = n;
    c.editedSinceCommit = false;
    ShowValue(c);
    return 0;
}

std::vector<std::string> SplitLines(const char *text) {
    std::vector<std::string> lines;
    if (!*text) return lines;
    const char *start = text;
    for (const char *p = text;; ++p) {
        if (*p == '\n' || *p == '\0') {
            std::size_t n = static_cast<std::size_t>(p - start);
            if (n > 0 && start[n - 1] == '\r') --n;
            lines.emplace_back(start, n);
            if (*p == '\0') break;
            start = p + 1;
        }
    }
    return lines;
}

std::string TextOf(const Control &c) {
    if (c.kind != Kind::TextBox) return c.text;
    std::string all;
    for (std::size_t i = 0; i < c.lines.size(); ++i) {
        if (i) all += '\n';
        all += c.lines[i];
    }
    return all;
}

int CopyOut(const std::string &text, char *out, std::size_t size) {
    if (!out || size == 0) return UIE_BAD_ARGUMENT;
    const std::size_t n = std::min(text.size(), size - 1);
    std::memcpy(out, text.data(), n);
    out[n] = '\0';
    return 0;
}

template <class T>
int GetNumber(int panel, int control, T *out) {
    int code = 0;
    const Control *c = FindControl(panel, control, code);
    if (!c) return code;
    if (!out) return UIE_BAD_ARGUMENT;
    double v = c->number;
    bool integral = false;
    if (c->dataType == VAL_STRING && !ParseNumber(TextOf(*c).c_str(), v, integral))
        return UIE_BAD_VALUE;
    if constexpr (std::is_integral_v<T>)
        *out = static_cast<T>(CutToInt64(v));
    else
        *out = static_cast<T>(v);
    return 0;
}

std::string IntegerText(long long v) { return std::to_string(v); }

std::string RealText(double v) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "%.15g", v);
    return buf;
}

int PutNumberText(Control &c, std::string text) {
    if (!IsValueKind(c.kind)) return UIE_BAD_KIND;
    return PutText(c, text.c_str());
}

void ForEachWidget(Control &c, void (*fn)(QWidget *, int), int value) {
    for (QWidget *w :
         {c.widget, static_cast<QWidget *>(c.caption), static_cast<QWidget *>(c.valueLabel)})
        if (w) fn(w, value);
}

int SetGeometry(Control &c, int attribute, int value) {
    QRect r = c.widget->geometry();
    switch (attribute) {
        case ATTR_LEFT:
            r.moveLeft(value);
            break;
        case ATTR_TOP:
            r.moveTop(value);
            break;
        case ATTR_WIDTH:
            if (value < 1 || value > 10000) return UIE_BAD_VALUE;
            r.setWidth(value);
            c.sizeToText = false;
            break;
        default:
            if (value < 1 || value > 10000) return UIE_BAD_VALUE;
            r.setHeight(value);
            c.sizeToText = false;
            break;
    }
    c.widget->setGeometry(r);
    c.home = r;  // where the program puts it is its place from now on
    PlaceCaption(c);
    return 0;
}

int SetColor(Control &c, int &field, int value) {
    if (value < 0 || value > 0xFFFFFF) return UIE_BAD_VALUE;
    if (field == value) return 0;
    field = value;
    ApplyTextColors(c);
    return 0;
}

int SetLabel(Control &c, const char *value) {
    c.label = DecodeText(value);
    NameForScreenReaders(c);
    if (auto *b = qobject_cast<QAbstractButton *>(c.widget))
        b->setText(c.label);
    else if (c.caption)
        c.caption->setText(c.label);
    else if (c.kind == Kind::TextMsg)
        return PutText(c, value);
    return 0;
}

}  // namespace

// ---------------------------------------------------------------- conversions
bool IsIntegerType(int type) {
    return type != VAL_FLOAT && type != VAL_DOUBLE && type != VAL_STRING;
}

double ConvertInteger(int type, long long v) {
    switch (type) {
        case VAL_CHAR:
            return static_cast<signed char>(v);
        case VAL_UNSIGNED_CHAR:
            return static_cast<unsigned char>(v);
        case VAL_SHORT_INTEGER:
            return static_cast<short>(v);
        case VAL_UNSIGNED_SHORT_INTEGER:
            return static_cast<unsigned short>(v);
        case VAL_INTEGER:
            return static_cast<int>(v);
        case VAL_UNSIGNED_INTEGER:
            return static_cast<unsigned int>(v);
        case VAL_FLOAT:
            return static_cast<float>(v);
        default:
            return static_cast<double>(v);
    }
}

long long CutToInt64(double v) {
    if (std::isnan(v)) return 0;
    if (v >= 9.2e18) return static_cast<long long>(9.2e18);
    if (v <= -9.2e18) return static_cast<long long>(-9.2e18);
    return static_cast<long long>(v);
}

double ConvertDouble(int type, double v) {
    if (type == VAL_DOUBLE || type == VAL_STRING) return v;
    if (type == VAL_FLOAT) {
        if (std::isfinite(v) && std::fabs(v) > 3.4028234663852886e38)
            return v > 0 ? HUGE_VALF : -HUGE_VALF;
        return static_cast<float>(v);
    }
    return ConvertInteger(type, CutToInt64(v));
}

int DataTypeSize(int type) {
    switch (type) {
        case VAL_CHAR:
        case VAL_UNSIGNED_CHAR:
            return 1;
        case VAL_SHORT_INTEGER:
        case VAL_UNSIGNED_SHORT_INTEGER:
            return 2;
        case VAL_INTEGER:
        case VAL_UNSIGNED_INTEGER:
        case VAL_FLOAT:
            return 4;
        case VAL_DOUBLE:
            return 8;
        default:
            return 0;
    }
}

double ReadArrayValue(const void *data, int type, long long i) {
    switch (type) {
        case VAL_CHAR:
            return static_cast<const signed char *>(data)[i];
        case VAL_UNSIGNED_CHAR:
            return static_cast<const unsigned char *>(data)[i];
        case VAL_SHORT_INTEGER:
            return static_cast<const short *>(data)[i];
        case VAL_UNSIGNED_SHORT_INTEGER:
            return static_cast<const unsigned short *>(data)[i];
        case VAL_INTEGER:
            return static_cast<const int *>(data)[i];
        case VAL_UNSIGNED_INTEGER:
            return static_cast<const unsigned int *>(data)[i];
        case VAL_FLOAT:
            return static_cast<const float *>(data)[i];
        case VAL_DOUBLE:
            return static_cast<const double *>(data)[i];
        default:
            return 0;
    }
}

QString ResolveProgramFile(const char *file) {
    const QString name = QString::fromLocal8Bit(file);
    if (name.contains(QLatin1Char('/')) || name.contains(QLatin1Char('\\'))) return name;
    return QCoreApplication::applicationDirPath() + QLatin1Char('/') + name;
}

QColor ToQColor(int rgb) { return QColor::fromRgb(static_cast<QRgb>(rgb & 0xFFFFFF)); }

int FromQColor(const QColor &color) { return static_cast<int>(color.rgb() & 0xFFFFFF); }

QString FormatNumber(const Control &c) {
    if (IsIntegerType(c.dataType)) return QString::number(static_cast<qlonglong>(c.number));
    return QString::number(c.number, 'f', c.precision);
}

int PutInteger(Control &c, long long value) {
    if (c.dataType == VAL_STRING) return PutNumberText(c, IntegerText(value));
    if (!IsValueKind(c.kind)) return UIE_BAD_KIND;
    return Store(c, ConvertInteger(c.dataType, value));
}

int PutReal(Control &c, double value) {
    if (c.dataType == VAL_STRING) return PutNumberText(c, RealText(value));
    if (!IsValueKind(c.kind)) return UIE_BAD_KIND;
    return Store(c, ConvertDouble(c.dataType, value));
}

int PutText(Control &c, const char *text) {
    if (!text) return UIE_BAD_ARGUMENT;
    if (!IsValueKind(c.kind)) return UIE_BAD_KIND;
    if (c.dataType != VAL_STRING) {
        double v = 0;
        bool integral = false;
        if (!ParseNumber(text, v, integral)) return UIE_BAD_VALUE;
        return integral ? PutInteger(c, static_cast<long long>(v)) : PutReal(c, v);
    }
    if (c.kind == Kind::TextBox) {
        c.lines = SplitLines(text);
    } else {
        if (c.text == text) return 0;
        c.text = text;
    }
    ShowValue(c);
    return 0;
}

void TakeTypedText(Control &c, const QString &text) {
    if (c.kind == Kind::TextBox) c.lines = SplitLines(text.toUtf8().constData());
}

}  // namespace kvexui

using namespace kvexui;

// ---------------------------------------------------------------- values
int SetCtrlVal(int panel, int control, int value) {
    int code = 0;
    Control *c = FindControl(panel, control, code);
    return c ? PutInteger(*c, value) : code;
}

int SetCtrlVal(int panel, int control, unsigned int value) {
    int code = 0;
    Control *c = FindControl(panel, control, code);
    return c ? PutInteger(*c, static_cast<long long>(value)) : code;
}

int SetCtrlVal(int panel, int control, double value) {
    int code = 0;
    Control *c = FindControl(panel, control, code);
    return c ? PutReal(*c, value) : code;
}

int SetCtrlVal(int panel, int control, const char *value) {
    int code = 0;
    Control *c = FindControl(panel, control, code);
    return c ? PutText(*c, value) : code;
}

int GetCtrlVal(int panel, int control, int *value) { return GetNumber(panel, control, value); }
int GetCtrlVal(int panel, int control, unsigned int *value) {
    return GetNumber(panel, control, value);
}
int GetCtrlVal(int panel, int control, short *value) { return GetNumber(panel, control, value); }
int GetCtrlVal(int panel, int control, unsigned short *value) {
    return GetNumber(panel, control, value);
}
int GetCtrlVal(int panel, int control, double *value) { return GetNumber(panel, control, value); }
int GetCtrlVal(int panel, int control, float *value) { return GetNumber(panel, control, value); }

int GetCtrlVal(int panel, int control, char *value, std::size_t size) {
    int code = 0;
    const Control *c = FindControl(panel, control, code);
    if (!c) return code;
    if (c->dataType == VAL_STRING) return CopyOut(TextOf(*c), value, size);
    return CopyOut(FormatNumber(*c).toStdString(), value, size);
}

// ---------------------------------------------------------------- attributes
int SetCtrlAttribute(int panel, int control, int attribute, int value) {
    int code = 0;
    Control *c = FindControl(panel, control, code);
    if (!c) return code;
    switch (attribute) {
        case ATTR_LEFT:
        case ATTR_TOP:
        case ATTR_WIDTH:
        case ATTR_HEIGHT:
            return SetGeometry(*c, attribute, value);
        case ATTR_VISIBLE:
            ForEachWidget(
                *c, [](QWidget *w, int v) { w->setVisible(v != 0); }, value);
            return 0;
        case ATTR_DIMMED:
            ForEachWidget(
                *c, [](QWidget *w, int v) { w->setEnabled(v == 0); }, value);
            UpdateToolTip(*c);
            return 0;
        case ATTR_FRAME_COLOR:
            return SetColor(*c, c->frameColor, value);
        case ATTR_TEXT_COLOR:
            return SetColor(*c, c->textColor, value);
        case ATTR_TEXT_BGCOLOR:
            c->textBgSet = true;
            return SetColor(*c, c->textBgColor, value);
        case ATTR_TEXT_POINT_SIZE:
            if (value < 1 || value > 200) return UIE_BAD_VALUE;
            c->pointSize = value;
            ApplyFont(*c);
            return 0;
        case ATTR_PRECISION:
            if (value < 0 || value > 15) return UIE_BAD_VALUE;
            if (value == c->precision) return 0;
            c->precision = value;
            if (auto *d = qobject_cast<QDoubleSpinBox *>(c->widget))
                if (!IsIntegerType(c->dataType)) d->setDecimals(value);
            ShowValue(*c);
            return 0;
        case ATTR_SCROLL_MODE:
        case ATTR_NUM_TRACES:
        case ATTR_POINTS_PER_SCREEN:
        case ATTR_NEWEST_POINT_NUMBER:
            return SetStripChartAttribute(*c, attribute, value);
        default:
            return UIE_BAD_ATTRIBUTE;
    }
}

int SetCtrlAttribute(int panel, int control, int attribute, const char *value) {
    int code = 0;
    Control *c = FindControl(panel, control, code);
    if (!c) return code;
    if (!value) return UIE_BAD_ARGUMENT;
    switch (attribute) {
        case ATTR_TEXT_FONT:
            c->fontName = value;
            ApplyFont(*c);
            return 0;
        case ATTR_LABEL_TEXT:
            return SetLabel(*c, value);
        case ATTR_TOOLTIP_TEXT:
            c->help.tooltip = QString::fromUtf8(value);
            UpdateToolTip(*c);
            return 0;
        default:
            return UIE_BAD_ATTRIBUTE;
    }
}

bool kvexui::GetWidgetAttribute(const QWidget &w, int attribute, int &value) {
    switch (attribute) {
        case ATTR_LEFT:
            value = w.x();
            return true;
        case ATTR_TOP:
            value = w.y();
            return true;
        case ATTR_WIDTH:
            value = w.width();
            return true;
        case ATTR_HEIGHT:
            value = w.height();
            return true;
        case ATTR_VISIBLE:
            value = w.isHidden() ? 0 : 1;
            return true;
        case ATTR_DIMMED:
            value = w.isEnabled() ? 0 : 1;
            return true;
        default:
            return false;
    }
}

int GetCtrlAttribute(int panel, int control, int attribute, int *value) {
    int code = 0;
    const Control *c = FindControl(panel, control, code);
    if (!c) return code;
    if (!value) return UIE_BAD_ARGUMENT;
    const QWidget *w = c->widget;
    if (GetWidgetAttribute(*w, attribute, *value)) return 0;
    switch (attribute) {
        case ATTR_FRAME_COLOR:
            *value = c->frameColor;
            return 0;
        case ATTR_TEXT_COLOR:
            *value = c->textColor;
            return 0;
        case ATTR_TEXT_BGCOLOR:
            *value = c->textBgColor;
            return 0;
        case ATTR_TEXT_POINT_SIZE:
            *value = c->pointSize;
            return 0;
        case ATTR_PRECISION:
            *value = c->precision;
            return 0;
        case ATTR_DATA_TYPE:
            *value = c->dataType;
            return 0;
        case ATTR_SCROLL_MODE:
        case ATTR_NUM_TRACES:
        case ATTR_POINTS_PER_SCREEN:
        case ATTR_NEWEST_POINT_NUMBER:
            return GetStripChartAttribute(*c, attribute, value);
        default:
            return UIE_BAD_ATTRIBUTE;
    }
}

// A bound the panel file does not give is that of the data type.
int GetCtrlAttribute(int panel, int control, int attribute, double *value) {
    int code = 0;
    const Control *c = FindControl(panel, control, code);
    if (!c) return code;
    if (!value) return UIE_BAD_ARGUMENT;
    if (attribute != ATTR_MIN_VALUE && attribute != ATTR_MAX_VALUE) return UIE_BAD_ATTRIBUTE;
    const bool low = attribute == ATTR_MIN_VALUE;
    if (low ? c->hasMin : c->hasMax) {
        *value = low ? c->min : c->max;
        return 0;
    }
    switch (c->dataType) {
        case VAL_CHAR:
            *value = low ? SCHAR_MIN : SCHAR_MAX;
            return 0;
        case VAL_UNSIGNED_CHAR:
            *value = low ? 0 : UCHAR_MAX;
            return 0;
        case VAL_SHORT_INTEGER:
            *value = low ? SHRT_MIN : SHRT_MAX;
            return 0;
        case VAL_UNSIGNED_SHORT_INTEGER:
            *value = low ? 0 : USHRT_MAX;
            return 0;
        case VAL_INTEGER:
            *value = low ? INT_MIN : INT_MAX;
            return 0;
        case VAL_UNSIGNED_INTEGER:
            *value = low ? 0 : UINT_MAX;
            return 0;
        default:
            *value = low ? -HUGE_VAL : HUGE_VAL;
            return 0;
    }
}

int GetCtrlAttribute(int panel, int control, int attribute, char *value, std::size_t size) {
    int code = 0;
    const Control *c = FindControl(panel, control, code);
    if (!c) return code;
    switch (attribute) {
        case ATTR_TEXT_FONT:
            return CopyOut(c->fontName, value, size);
        case ATTR_LABEL_TEXT:
            return CopyOut(c->label.toStdString(), value, size);
        default:
            return UIE_BAD_ATTRIBUTE;
    }
}

// ---------------------------------------------------------------- rings
namespace {
Control *FindRing(int panel, int control, int &code) {
    Control *c = FindControl(panel, control, code);
    if (c && c->kind != Kind::Ring) {
        code = UIE_BAD_KIND;
        return nullptr;
    }
    return c;
}
}  // namespace

int ClearListCtrl(int panel, int control) {
    int code = 0;
    Control *c = FindRing(panel, control, code);
    if (!c) return code;
    c->items.clear();
    c->ringIndex = -1;
    c->number = 0;
    const QSignalBlocker block(c->widget);
    static_cast<QComboBox *>(c->widget)->clear();
    return 0;
}

int InsertListItem(int panel, int control, int index, const char *label, int value) {
    int code = 0;
    Control *c = FindRing(panel, control, code);
    if (!c) return code;
    if (!label) return UIE_BAD_ARGUMENT;
    const int count = static_cast<int>(c->items.size());
    if (index < 0 || index > count) index = count;
    c->items.insert(c->items.begin() + index, RingItem{DecodeText(label), value});
    const QSignalBlocker block(c->widget);
    static_cast<QComboBox *>(c->widget)->insertItem(index, DecodeText(label), value);
    if (c->ringIndex < 0) {
        c->ringIndex = 0;
        c->number = ConvertInteger(c->dataType, c->items[0].value);
    } else if (index <= c->ringIndex) {
        ++c->ringIndex;
    }
    ShowValue(*c);
    return 0;
}

int GetNumListItems(int panel, int control, int *count) {
    int code = 0;
    const Control *c = FindRing(panel, control, code);
    if (!c) return code;
    if (!count) return UIE_BAD_ARGUMENT;
    *count = static_cast<int>(c->items.size());
    return 0;
}

// ---------------------------------------------------------------- text boxes
namespace {
Control *FindTextBox(int panel, int control, int &code) {
    Control *c = FindControl(panel, control, code);
    if (c && c->kind != Kind::TextBox) {
        code = UIE_BAD_KIND;
        return nullptr;
    }
    return c;
}
}  // namespace

int ReplaceTextBoxLine(int panel, int control, int line, const char *text) {
    int code = 0;
    Control *c = FindTextBox(panel, control, code);
    if (!c) return code;
    if (!text || line < 0 || line > 100000) return UIE_BAD_ARGUMENT;
    if (static_cast<std::size_t>(line) >= c->lines.size()) c->lines.resize(line + 1);
    c->lines[line] = text;
    ShowValue(*c);
    return 0;
}

int ResetTextBox(int panel, int control, const char *text) {
    int code = 0;
    Control *c = FindTextBox(panel, control, code);
    if (!c) return code;
    return PutText(*c, text ? text : "");
}

int GetTextBoxLine(int panel, int control, int line, char *text, std::size_t size) {
    int code = 0;
    const Control *c = FindTextBox(panel, control, code);
    if (!c) return code;
    if (line < 0 || static_cast<std::size_t>(line) >= c->lines.size()) return UIE_BAD_ARGUMENT;
    return CopyOut(c->lines[line], text, size);
}

int GetNumTextBoxLines(int panel, int control, int *count) {
    int code = 0;
    const Control *c = FindTextBox(panel, control, code);
    if (!c) return code;
    if (!count) return UIE_BAD_ARGUMENT;
    *count = static_cast<int>(c->lines.size());
    return 0;
}

// ---------------------------------------------------------------- pictures
int DisplayImageFile(int panel, int control, const char *file) {
    int code = 0;
    Control *c = FindControl(panel, control, code);
    if (!c) return code;
    if (c->kind != Kind::Picture) return UIE_BAD_KIND;
    if (!file || !*file) return UIE_BAD_ARGUMENT;
    QPixmap image;
    if (!image.load(ResolveProgramFile(file))) return UIE_FILE;
    // A bitmap larger than its control is shrunk to fit, keeping its shape.
    const QSize room = c->widget->size();
    if (image.width() > room.width() || image.height() > room.height())
        image = image.scaled(room, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    static_cast<QLabel *>(c->widget)->setPixmap(image);
    return 0;
}
