// Reading one panel out of the panel resource file (JSON, see
// panel_file_format.md). Every field is checked for its type and range before
// any widget is built, so a damaged file never leaves half a panel behind.
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QKeySequence>
#include <cmath>
#include <set>
#include <utility>

#include "ui_internal.h"

namespace kvexui {
namespace {

constexpr int kMaxCoordinate = 10000;
constexpr int kMaxControlId = 9999;
constexpr qint64 kMaxFileBytes = 16 * 1024 * 1024;

struct KindName {
    const char *name;
    Kind kind;
    int dataType;  // data type when the file gives none
};

constexpr KindName kKinds[] = {
    {"command_button", Kind::CommandButton, VAL_INTEGER},
    {"toggle_button", Kind::ToggleButton, VAL_INTEGER},
    {"radio_button", Kind::RadioButton, VAL_INTEGER},
    {"ring", Kind::Ring, VAL_INTEGER},
    {"numeric", Kind::Numeric, VAL_INTEGER},
    {"numeric_display", Kind::NumericDisplay, VAL_DOUBLE},
    {"slider", Kind::Slider, VAL_INTEGER},
    {"text_msg", Kind::TextMsg, VAL_STRING},
    {"text_box", Kind::TextBox, VAL_STRING},
    {"graph", Kind::Graph, VAL_DOUBLE},
    {"strip_chart", Kind::StripChart, VAL_DOUBLE},
    {"picture", Kind::Picture, VAL_INTEGER},
    {"decoration", Kind::Decoration, VAL_INTEGER},
};

struct TypeName {
    const char *name;
    int type;
};

constexpr TypeName kTypes[] = {
    {"char", VAL_CHAR},           {"uchar", VAL_UNSIGNED_CHAR},
    {"short", VAL_SHORT_INTEGER}, {"ushort", VAL_UNSIGNED_SHORT_INTEGER},
    {"int", VAL_INTEGER},         {"uint", VAL_UNSIGNED_INTEGER},
    {"float", VAL_FLOAT},         {"double", VAL_DOUBLE},
    {"string", VAL_STRING},
};

// Reads typed fields of one JSON object; the first wrong field clears ok.
class Fields {
  public:
    explicit Fields(const QJsonObject &o) : o_(o) {}
    bool ok = true;

    QString bad;  // the first key that failed

    bool has(const char *key) const { return o_.contains(QLatin1String(key)); }

    int integer(const char *key, int def, double lo, double hi, bool required = false) {
        current_ = key;
        const QJsonValue v = o_.value(QLatin1String(key));
        if (v.isUndefined()) return required ? fail(def) : def;
        const double d = v.toDouble(std::nan(""));
        if (!v.isDouble() || std::floor(d) != d || d < lo || d > hi) return fail(def);
        return static_cast<int>(d);
    }

    double number(const char *key, double def) {
        current_ = key;
        const QJsonValue v = o_.value(QLatin1String(key));
        if (v.isUndefined()) return def;
        if (!v.isDouble() || !std::isfinite(v.toDouble())) return fail(def);
        return v.toDouble();
    }

    QString string(const char *key, bool required = false) {
        current_ = key;
        const QJsonValue v = o_.value(QLatin1String(key));
        if (v.isUndefined()) return required ? fail(QString()) : QString();
        if (!v.isString()) return fail(QString());
        return v.toString();
    }

    bool boolean(const char *key, bool def) {
        current_ = key;
        const QJsonValue v = o_.value(QLatin1String(key));
        if (v.isUndefined()) return def;
        if (!v.isBool()) return fail(def);
        return v.toBool();
    }

    // "0xRRGGBB", "#RRGGBB" or a number; -1 when absent.
    int color(const char *key) {
        current_ = key;
        const QJsonValue v = o_.value(QLatin1String(key));
        if (v.isUndefined()) return -1;
        if (v.isDouble()) return integer(key, -1, 0, 0xFFFFFF);
        QString s = v.toString();
        if (s.startsWith(QLatin1String("0x"), Qt::CaseInsensitive))
            s = s.mid(2);
        else if (s.startsWith(QLatin1Char('#')))
            s = s.mid(1);
        bool good = false;
        const uint rgb = s.toUInt(&good, 16);
        if (!v.isString() || !good || s.isEmpty() || s.size() > 6) return fail(-1);
        return static_cast<int>(rgb);
    }

    const QJsonObject &object() const { return o_; }

  private:
    template <class T>
    T fail(T def) {
        if (ok) bad = QLatin1String(current_);
        ok = false;
        return def;
    }
    const QJsonObject &o_;
    const char *current_ = "";
};

bool ParseKind(const QString &name, ControlSpec &c) {
    for (const KindName &k : kKinds) {
        if (name == QLatin1String(k.name)) {
            c.kind = k.kind;
            c.dataType = k.dataType;
            return true;
        }
    }
    return false;
}

bool ParseDataType(const QString &name, int &type) {
    for (const TypeName &t : kTypes) {
        if (name == QLatin1String(t.name)) {
            type = t.type;
            return true;
        }
    }
    return false;
}

bool ParseItems(const QJsonValue &value, ControlSpec &c) {
    if (value.isUndefined()) return true;
    if (!value.isArray()) return false;
    for (const QJsonValue &entry : value.toArray()) {
        if (!entry.isObject()) return false;
        const QJsonObject o = entry.toObject();
        Fields f(o);
        RingItem item;
        item.label = f.string("label", true);
        item.value = f.integer("value", 0, -2147483648.0, 2147483647.0, true);
        if (!f.ok) return false;
        c.items.push_back(item);
    }
    return true;
}

bool ParseDefault(const QJsonValue &value, ControlSpec &c) {
    if (value.isUndefined()) return true;
    c.hasDefault = true;
    if (value.isString()) {
        c.defaultIsText = true;
        c.defaultText = value.toString().toUtf8();
        return true;
    }
    if (value.isBool()) {
        c.defaultNumber = value.toBool() ? 1 : 0;
        return true;
    }
    c.defaultNumber = value.toDouble();
    return value.isDouble() && std::isfinite(c.defaultNumber);
}

bool ParseGeometry(Fields &f, ControlSpec &c) {
    c.left = f.integer("left", 0, -kMaxCoordinate, kMaxCoordinate, true);
    c.top = f.integer("top", 0, -kMaxCoordinate, kMaxCoordinate, true);
    // Text messages may leave out their size: they take the size of their text.
    const bool sizeRequired = c.kind != Kind::TextMsg;
    c.width = f.integer("width", -1, 1, kMaxCoordinate, sizeRequired);
    c.height = f.integer("height", -1, 1, kMaxCoordinate, sizeRequired);
    return f.ok;
}

// Text controls hold strings, value controls numbers; the others hold none.
bool TypeFitsKind(Kind kind, int type) {
    switch (kind) {
        case Kind::TextMsg:
        case Kind::TextBox:
            return type == VAL_STRING;
        case Kind::ToggleButton:
        case Kind::RadioButton:
        case Kind::Ring:
        case Kind::Numeric:
        case Kind::NumericDisplay:
        case Kind::Slider:
            return type != VAL_STRING;
        default:
            return true;
    }
}

bool ParseValueFields(Fields &f, ControlSpec &c) {
    if (f.has("dataType") && !ParseDataType(f.string("dataType"), c.dataType)) return false;
    if (!TypeFitsKind(c.kind, c.dataType)) return false;
    c.hasMin = f.has("min");
    c.hasMax = f.has("max");
    c.min = f.number("min", 0);
    c.max = f.number("max", 0);
    if (c.hasMin && c.hasMax && c.min > c.max) return false;
    c.precision = f.integer("precision", -1, 0, 15);
    return f.ok && ParseDefault(f.object().value(QLatin1String("default")), c);
}

bool ParseStretch(const QJsonValue &value, Stretch &s) {
    if (value.isUndefined()) return true;
    if (!value.isObject()) return false;
    const QJsonObject o = value.toObject();
    Fields f(o);
    for (auto [key, share] : {std::pair{"x", &s.x}, std::pair{"y", &s.y},
                              std::pair{"width", &s.width}, std::pair{"height", &s.height}}) {
        *share = f.number(key, 0);
        if (*share < 0 || *share > 1) return false;
    }
    return f.ok;
}

// Tooltips, keys and the tab order: what the screen does not show at once.
bool ParseHelpFields(Fields &f, Help &h) {
    h.tooltip = f.string("tooltip");
    h.dimmedTooltip = f.string("dimmedTooltip");
    h.shortcut = f.string("shortcut");
    h.group = f.string("group");
    h.tabIndex = f.integer("tabIndex", -1, 0, kMaxControlId);
    if (!f.ok) return false;
    if (h.shortcut.isEmpty()) return true;
    // A key text Qt cannot read would silently give no key at all.
    const QKeySequence keys = QKeySequence::fromString(h.shortcut, QKeySequence::PortableText);
    for (int i = 0; i < keys.count(); ++i)
        if (keys[i].key() == Qt::Key_unknown) return false;
    return !keys.isEmpty();
}

bool ParsePlotFields(Fields &f, ControlSpec &c) {
    c.xMin = f.number("xMin", c.xMin);
    c.xMax = f.number("xMax", c.xMax);
    c.yMin = f.number("yMin", c.yMin);
    c.yMax = f.number("yMax", c.yMax);
    c.xLabel = f.string("xLabel");
    c.yLabel = f.string("yLabel");
    c.rightYAxis = f.boolean("rightYAxis", false);
    c.yTickLabels = f.boolean("yTickLabels", true);
    c.cursors = f.integer("cursors", 0, 0, 8);
    c.traces = f.integer("traces", 1, 1, 16);
    c.pointsPerScreen = f.integer("pointsPerScreen", 101, 2, 10000);
    const QJsonValue names = f.object().value(QLatin1String("traceNames"));
    if (!names.isUndefined()) {
        if (!names.isArray()) return false;
        for (const QJsonValue &n : names.toArray()) {
            if (!n.isString()) return false;
            c.traceNames << n.toString();
        }
    }
    return f.ok && c.xMin < c.xMax && c.yMin < c.yMax;
}

QString g_error;  // why the last read failed

bool Refuse(const QString &why) {
    g_error = why;
    return false;
}

QString Missing(const Fields &f, const char *otherwise) {
    return f.bad.isEmpty() ? QLatin1String(otherwise)
                           : QStringLiteral("bad or missing \"%1\"").arg(f.bad);
}

bool ParseControlFields(const QJsonObject &o, ControlSpec &c);

bool ParseControl(const QJsonValue &value, ControlSpec &c) {
    if (!value.isObject()) return Refuse(QStringLiteral("a control that is no object"));
    if (ParseControlFields(value.toObject(), c)) return true;
    g_error = QStringLiteral("control \"%1\" (id %2): %3").arg(c.name).arg(c.id).arg(g_error);
    return false;
}

bool ParseControlFields(const QJsonObject &o, ControlSpec &c) {
    Fields f(o);
    c.id = f.integer("id", 0, 1, kMaxControlId, true);
    c.name = f.string("name", true);
    if (!f.ok || c.name.isEmpty()) return Refuse(Missing(f, "no name"));
    const QString kind = f.string("kind", true);
    if (!ParseKind(kind, c)) return Refuse(QStringLiteral("unknown kind \"%1\"").arg(kind));
    if (!ParseGeometry(f, c)) return Refuse(Missing(f, "bad size"));
    if (!ParseValueFields(f, c))
        return Refuse(Missing(f, "data type, range or default do not fit its kind"));
    if (!ParsePlotFields(f, c)) return Refuse(Missing(f, "empty axis range"));
    c.label = f.string("label");
    c.callback = f.string("callback");
    c.visible = f.boolean("visible", true);
    c.dimmed = f.boolean("dimmed", false);
    c.editable = f.boolean("editable", false);
    c.secret = f.boolean("secret", false);
    c.lines = f.integer("lines", 0, 0, 10000);
    c.color = f.color("color");
    c.textColor = f.color("textColor");
    c.textBgColor = f.color("textBgColor");
    c.pointSize = f.integer("pointSize", 0, 1, 200);
    if (!f.ok) return Refuse(Missing(f, "damaged"));
    if (!ParseHelpFields(f, c.help)) return Refuse(Missing(f, "unknown key in \"shortcut\""));
    if (!ParseStretch(o.value(QLatin1String("stretch")), c.stretch))
        return Refuse(QStringLiteral("\"stretch\" needs shares from 0 to 1"));
    return ParseItems(o.value(QLatin1String("items")), c) ||
           Refuse(QStringLiteral("damaged items"));
}

bool ParsePanel(const QJsonObject &o, PanelSpec &p) {
    Fields f(o);
    p.resourceId = f.integer("resourceId", 0, -2147483648.0, 2147483647.0, true);
    p.name = f.string("name");
    p.title = f.string("title");
    p.callback = f.string("callback");
    p.left = f.integer("left", 0, -kMaxCoordinate, kMaxCoordinate);
    p.top = f.integer("top", 0, -kMaxCoordinate, kMaxCoordinate);
    p.width = f.integer("width", 0, 1, kMaxCoordinate, true);
    p.height = f.integer("height", 0, 1, kMaxCoordinate, true);
    p.backgroundColor = f.color("backgroundColor");
    p.resizable = f.boolean("resizable", false);
    const QJsonValue controls = o.value(QLatin1String("controls"));
    if (!f.ok || !controls.isArray()) return Refuse(Missing(f, "no \"controls\" list"));
    std::set<int> ids;
    for (const QJsonValue &v : controls.toArray()) {
        ControlSpec c;
        if (!ParseControl(v, c)) return false;
        if (!ids.insert(c.id).second)
            return Refuse(QStringLiteral("control id %1 given twice").arg(c.id));
        p.controls.push_back(std::move(c));
    }
    return true;
}

// The resource id of one entry of "panels", or false when the entry is damaged.
bool EntryId(const QJsonValue &entry, int &id) {
    if (!entry.isObject()) return false;
    const QJsonObject o = entry.toObject();
    Fields f(o);
    id = f.integer("resourceId", 0, -2147483648.0, 2147483647.0, true);
    return f.ok;
}

}  // namespace

int ReadPanelSpec(const QString &path, int resourceId, PanelSpec &desc) {
    g_error.clear();
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return Refuse(QStringLiteral("cannot be opened")), -1;
    // A panel file is a few hundred kilobytes at most; anything far larger is
    // not one (and a device file would never end).
    const QByteArray bytes = file.read(kMaxFileBytes + 1);
    if (bytes.size() > kMaxFileBytes)
        return Refuse(QStringLiteral("larger than %1 bytes").arg(kMaxFileBytes)), -2;
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject())
        return Refuse(QStringLiteral("no JSON object (%1 at byte %2)")
                          .arg(error.errorString())
                          .arg(error.offset)),
               -2;
    const QJsonObject root = doc.object();
    Fields f(root);
    const QString format = f.string("format");
    f.integer("version", 1, 1, 1);
    const QJsonValue panels = root.value(QLatin1String("panels"));
    if (!f.ok || (!format.isEmpty() && format != QLatin1String("kvex-panels")) || !panels.isArray())
        return Refuse(Missing(f, "no \"panels\" list of format kvex-panels")), -2;
    for (const QJsonValue &entry : panels.toArray()) {
        int id = 0;
        if (!EntryId(entry, id)) return Refuse(QStringLiteral("a panel without resource id")), -2;
        if (id != resourceId) continue;
        return ParsePanel(entry.toObject(), desc) ? 0 : -2;
    }
    return Refuse(QStringLiteral("no panel %1").arg(resourceId)), -3;
}

const QString &PanelFileError() { return g_error; }

const char *KindText(Kind kind) {
    for (const KindName &k : kKinds)
        if (k.kind == kind) return k.name;
    return "";
}

}  // namespace kvexui
