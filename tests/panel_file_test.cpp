// The panel file is the only source of the program's layout and of the start
// values that the parameter block takes over at every start. These checks hold
// it against the ids the code uses, the callbacks the program registers, the
// parameter start values and the value ranges the program can show, and keep
// its geometry free of controls hidden under the sub-panels.
#include <gtest/gtest.h>

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>
#include <QString>
#include <QStringList>
#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "kvex_ids.h"

namespace {

const char *const kPanelFile = KVEX_TEST_FIXTURES "/../../resources/K-VEX-RB-ZD-VedudU300.uir";

// Where the program places every sub-panel inside the main panel.
constexpr int kSubLeft = 8;
constexpr int kSubTop = 72;

struct Rect {
    int left, top, width, height;
    int right() const { return left + width; }
    int bottom() const { return top + height; }
    bool intersects(const Rect &o) const {
        return left < o.right() && o.left < right() && top < o.bottom() && o.top < bottom();
    }
};

Rect rectOf(const QJsonObject &o) {
    return {o["left"].toInt(), o["top"].toInt(), o["width"].toInt(), o["height"].toInt()};
}

// Edits, displays, rings, sliders, text boxes, graphs and charts show their
// label as a line of text just above them; that line needs its room too.
constexpr int kCaptionHeight = 16;

Rect footprintOf(const QJsonObject &o) {
    static const QSet<QString> captioned = {"ring",     "numeric", "numeric_display", "slider",
                                            "text_box", "graph",   "strip_chart"};
    Rect r = rectOf(o);
    if (captioned.contains(o["kind"].toString()) && !o["label"].toString().isEmpty()) {
        r.top -= kCaptionHeight;
        r.height += kCaptionHeight;
    }
    return r;
}

std::string str(const QString &s) { return s.toStdString(); }

class PanelFile : public testing::Test {
  protected:
    static void SetUpTestSuite() {
        QFile f(kPanelFile);
        if (!f.open(QIODevice::ReadOnly)) return;
        QJsonParseError err{};
        const QJsonDocument doc = QJsonDocument::fromJson(f.readAll(), &err);
        parseError_ = err.error;
        if (err.error == QJsonParseError::NoError) root_ = doc.object();
    }

    static QJsonArray panels() { return root_["panels"].toArray(); }

    static QJsonObject panel(const char *name) {
        for (const auto &p : panels())
            if (p.toObject()["name"].toString() == name) return p.toObject();
        return {};
    }

    static QJsonObject control(const char *panelName, const char *name) {
        for (const auto &c : panel(panelName)["controls"].toArray())
            if (c.toObject()["name"].toString() == name) return c.toObject();
        return {};
    }

    static bool visible(const QJsonObject &c) { return c["visible"].toBool(true); }

    static QJsonObject root_;
    static QJsonParseError::ParseError parseError_;
};

QJsonObject PanelFile::root_;
QJsonParseError::ParseError PanelFile::parseError_ = QJsonParseError::UnterminatedObject;

TEST_F(PanelFile, IsReadableJsonOfTheKnownFormat) {
    ASSERT_TRUE(QFile::exists(kPanelFile)) << kPanelFile;
    ASSERT_EQ(parseError_, QJsonParseError::NoError);
    EXPECT_EQ(root_["format"].toString(), "kvex-panels");
    EXPECT_EQ(root_["version"].toInt(), 1);
    EXPECT_FALSE(panels().isEmpty());
}

TEST_F(PanelFile, PanelsAreExactlyThoseTheCodeLoads) {
    std::multiset<std::pair<std::string, int>> expected, found;
#define KVEX_EXPECT_PANEL(name, id) expected.insert({#name, id});
    KVEX_PANELS(KVEX_EXPECT_PANEL)
#undef KVEX_EXPECT_PANEL
    for (const auto &p : panels())
        found.insert({str(p.toObject()["name"].toString()), p.toObject()["resourceId"].toInt()});
    EXPECT_EQ(found, expected);
}

TEST_F(PanelFile, ControlsAreExactlyThoseTheCodeNames) {
    // Per panel: the (name, id) pairs of the file and of the header agree, and
    // neither an id nor a name occurs twice.
    std::map<std::string, std::multiset<std::pair<std::string, int>>> expected, found;
#define KVEX_EXPECT_CONTROL(panel, name, id, kind) expected[#panel].insert({#name, id});
    KVEX_CONTROLS(KVEX_EXPECT_CONTROL)
#undef KVEX_EXPECT_CONTROL
    for (const auto &pv : panels()) {
        const QJsonObject p = pv.toObject();
        const std::string pname = str(p["name"].toString());
        auto &set = found[pname];
        std::set<int> ids;
        std::set<std::string> names;
        for (const auto &cv : p["controls"].toArray()) {
            const QJsonObject c = cv.toObject();
            set.insert({str(c["name"].toString()), c["id"].toInt()});
            EXPECT_TRUE(ids.insert(c["id"].toInt()).second)
                << pname << ": id " << c["id"].toInt() << " twice";
            EXPECT_TRUE(names.insert(str(c["name"].toString())).second)
                << pname << ": name " << str(c["name"].toString()) << " twice";
            EXPECT_GT(c["id"].toInt(), 0) << pname;
        }
    }
    for (const auto &[pname, set] : expected) EXPECT_EQ(found[pname], set) << "panel " << pname;
    EXPECT_EQ(found.size(), expected.size());
}

TEST_F(PanelFile, CallbacksAreBoundToTheirControls) {
    // Every control that reacts has exactly its callback; every other control has
    // none, so that no event reaches a routine meant for another control.
    const std::map<std::string, std::string> bound = {
        {"PANEL.DropDCom", "CC_DropDCom"},
        {"PANEL.CmdButton3", "CC_BTNSend"},
        {"PANEL.CmdButton4", "CC_BTNGet"},
        {"PANEL.CmdButton11", "CC_BTNVideo"},
        {"PANEL.CmdButton13", "CC_BTNRun"},
        {"PANEL.BTNStop", "CC_BTNStop"},
        {"PANEL.ButtonReset", "CC_ButtonReset"},
        {"PANEL.ButtonTeach", "CC_ButtonTeach"},
        {"PANEL.RBTRam", "CC_RBTRam"},
        {"PANEL.RBTEeprom", "CC_RBTEeprom"},
        {"PANEL.RBTFile", "CC_RBTFile"},
        {"PANEL.BTNStatusLog", "CC_BTNStatusLog"},
        {"PANEL.NEDITeachA", "CC_NEDITeachA"},
        {"PANEL.NEDITeachB", "CC_NEDITeachB"},
        {"PANEL.TOGGBTN_Recorder", "CC_TOGGBTN_Recorder"},
        {"PANEL.TOGBTN_Zoom", "CC_TOGBTN_Zoom"},
        {"PANEL.TOGGBTN_Para1", "CC_TOGGBTN_Para1"},
        {"PANEL.TOGGBTN_Para2", "CC_TOGGBTN_Para2"},
        {"PANEL.TOGGBTN_Calib", "CC_TOGGBTN_Calib"},
        {"PANEL.NEDITTolLeff", "CC_NEDITTolLeff"},
        {"PARA1.DropEvalMode", "CC_DropEvalMode"},
        {"PARA1.DROPHardwareMode", "CC_DROPHardwareMode"},
        {"PARA2.SLIDEVideoTHD_A", "CC_SLIDEVideoTHD_A"},
        {"PARA2.SLIDEVideoTHD_B", "CC_SLIDEVideoTHD_B"},
        {"POPUP.NEDITRecSamples", "CC_NEDITRecSamples"},
        {"POPUP.NEDITRecTime", "CC_NEDITRecTime"},
        {"POPUP.RecordFileNameBtn", "CC_RecordFileNameBtn"},
        {"POPUP.RecButton13", "CC_BTNStartRecord"},
        {"POPUP.BTNStopRecord", "CC_BTNStopRecord"},
        {"PANEL.BTNStatistics", "CC_BTNStatistics"},
        {"STATS.ScopeRing", "CC_StatsScope"},
        {"STATS.WindowSize", "CC_StatsScope"},
        {"STATS.BTNStatsReset", "CC_StatsReset"},
        {"STATS.BTNStatsSave", "CC_StatsSave"},
        {"STATS.BTNStatsReport", "CC_StatsReport"},
        {"STATS.StatsRule1", "CC_StatsScope"},
        {"STATS.StatsRule2", "CC_StatsScope"},
        {"STATS.StatsRule3", "CC_StatsScope"},
        {"STATS.StatsRule4", "CC_StatsScope"},
        {"STATS.StatsRule5", "CC_StatsScope"},
        {"STATS.StatsRule6", "CC_StatsScope"},
        {"STATS.StatsRule7", "CC_StatsScope"},
        {"STATS.StatsRule8", "CC_StatsScope"},
        {"STATS.StatsClose", "CC_StatsClose"},
        {"STATS.StatsEvents", "CC_StatsEvent"},
        {"PANEL.BTNPublish", "CC_BTNPublish"},
        {"PUBLISH.CaFileBtn", "CC_CaFileBtn"},
        {"PUBLISH.PublishOn", "CC_PublishOn"},
        {"PUBLISH.KeepPassword", "CC_KeepPassword"},
        {"PUBLISH.PublishClose", "CC_PublishClose"},
        {"PANEL.BTNReplay", "CC_BTNReplay"},
        {"PANEL.HistoryXAxis", "CC_HistoryXAxis"},
        {"REPLAY.ReplaySlider", "CC_ReplaySlider"},
        {"REPLAY.ReplayPrevOut", "CC_ReplayPrevOut"},
        {"REPLAY.ReplayBack", "CC_ReplayBack"},
        {"REPLAY.ReplayPlay", "CC_ReplayPlay"},
        {"REPLAY.ReplayForward", "CC_ReplayForward"},
        {"REPLAY.ReplayNextOut", "CC_ReplayNextOut"},
        {"REPLAY.ReplaySpeed", "CC_ReplaySpeed"},
        {"REPLAY.ReplayLoop", "CC_ReplayLoop"},
        {"REPLAY.ReplayEnd", "CC_ReplayEnd"},
        {"REPLAY.ReplayLimitSource", "CC_ReplayLimitSource"},
        {"REPLAY.ReplayLower", "CC_ReplayLimitEdit"},
        {"REPLAY.ReplayUpper", "CC_ReplayLimitEdit"},
        {"REPLAY.ReplayGoTo", "CC_ReplayGoTo"},
        {"PANEL.BTNGauge", "CC_BTNGauge"},
        {"GAUGE.GaugeStart", "CC_GaugeStart"},
        {"GAUGE.GaugeFromFile", "CC_GaugeFromFile"},
        {"GAUGE.GaugeClose", "CC_GaugeClose"},
        {"GAUGE.GaugeReport", "CC_GaugeReport"},
    };
    const std::map<std::string, std::string> panelCallbacks = {
        {"PANEL", "CC_PANEL"}, {"POPUP", "CC_POPUP"}, {"PARA1", ""},
        {"PARA2", ""},         {"CALIB", ""},         {"PUBLISH", "CC_PUBLISH"},
        {"REPLAY", ""},        {"STATS", "CC_STATS"}, {"GAUGE", "CC_GAUGE"}};
    int withCallback = 0;
    for (const auto &pv : panels()) {
        const QJsonObject p = pv.toObject();
        const std::string pname = str(p["name"].toString());
        EXPECT_EQ(str(p["callback"].toString()), panelCallbacks.at(pname)) << pname;
        for (const auto &cv : p["controls"].toArray()) {
            const QJsonObject c = cv.toObject();
            const std::string key = pname + "." + str(c["name"].toString());
            const auto it = bound.find(key);
            const std::string want = it == bound.end() ? "" : it->second;
            EXPECT_EQ(str(c["callback"].toString()), want) << key;
            if (c.contains("callback")) ++withCallback;
        }
    }
    EXPECT_EQ(withCallback, static_cast<int>(bound.size()));
}

TEST_F(PanelFile, KindsAndDataTypesFitTheUse) {
    const QSet<QString> kinds = {"command_button", "toggle_button",   "radio_button", "ring",
                                 "numeric",        "numeric_display", "slider",       "text_msg",
                                 "text_box",       "graph",           "strip_chart",  "picture",
                                 "decoration"};
    const QSet<QString> types = {"char",  "int",   "short",  "uint",  "ushort",
                                 "uchar", "float", "double", "string"};
    for (const auto &pv : panels())
        for (const auto &cv : pv.toObject()["controls"].toArray()) {
            const QJsonObject c = cv.toObject();
            EXPECT_TRUE(kinds.contains(c["kind"].toString())) << str(c["name"].toString());
            if (c.contains("dataType")) {
                EXPECT_TRUE(types.contains(c["dataType"].toString())) << str(c["name"].toString());
            }
        }

    const std::vector<std::tuple<const char *, const char *, const char *, const char *>> expected =
        {
            {"PANEL", "DropDCom", "ring", "int"},
            {"PANEL", "CmdButton3", "command_button", ""},
            {"PANEL", "CmdButton4", "command_button", ""},
            {"PANEL", "CmdButton11", "command_button", ""},
            {"PANEL", "CmdButton13", "command_button", ""},
            {"PANEL", "BTNStop", "command_button", ""},
            {"PANEL", "ButtonReset", "command_button", ""},
            {"PANEL", "ButtonTeach", "command_button", ""},
            {"PANEL", "RBTFile", "radio_button", ""},
            {"PANEL", "RBTEeprom", "radio_button", ""},
            {"PANEL", "RBTRam", "radio_button", ""},
            {"PANEL", "Display14", "numeric_display", "double"},
            {"PANEL", "Display15", "numeric_display", "ushort"},
            {"PANEL", "Display16", "numeric_display", "ushort"},
            {"PANEL", "Display17", "numeric_display", "ushort"},
            {"PANEL", "Display33", "numeric_display", "ushort"},
            {"PANEL", "Display34", "numeric_display", "double"},
            {"PANEL", "Display35", "numeric_display", "double"},
            {"PANEL", "Display36", "numeric_display", "ushort"},
            {"PANEL", "Display43", "numeric_display", "double"},
            {"PANEL", "Display44", "numeric_display", "double"},
            {"PANEL", "Display45", "numeric_display", "double"},
            {"PANEL", "BTNStatusLog", "command_button", ""},
            {"PANEL", "LogoFrame", "decoration", ""},
            {"PANEL", "LogoPicture", "picture", ""},
            {"PANEL", "NEDITeachA", "numeric", "ushort"},
            {"PANEL", "NEDITeachB", "numeric", "ushort"},
            {"PANEL", "StatusLine", "text_msg", "string"},
            {"PANEL", "GraphVideoA", "graph", ""},
            {"PANEL", "GraphVideoB", "graph", ""},
            {"PANEL", "GraphBarA", "graph", ""},
            {"PANEL", "GraphBarB", "graph", ""},
            {"PANEL", "StripChartRaw", "strip_chart", ""},
            {"PANEL", "TOGGBTN_Recorder", "toggle_button", ""},
            {"PANEL", "TOGBTN_Zoom", "toggle_button", ""},
            {"PANEL", "TOGGBTN_Para1", "toggle_button", ""},
            {"PANEL", "TOGGBTN_Para2", "toggle_button", ""},
            {"PANEL", "TOGGBTN_Calib", "toggle_button", ""},
            {"PANEL", "NEDITTolLeff", "numeric", ""},
            {"PARA1", "DropEvalMode", "ring", "ushort"},
            {"PARA1", "DROPHardwareMode", "ring", "ushort"},
            {"PARA2", "SLIDEVideoTHD_A", "slider", "ushort"},
            {"PARA2", "SLIDEVideoTHD_B", "slider", "ushort"},
            {"CALIB", "SensorInfoBox", "text_box", "string"},
            {"CALIB", "CalibEdit8", "numeric", "int"},
            {"CALIB", "CalibEdit9", "numeric", "float"},
            {"POPUP", "RecordFileName", "text_box", "string"},
            {"POPUP", "RecorderLog", "text_box", "string"},
            {"POPUP", "NEDITRecSamples", "numeric", "ushort"},
            {"POPUP", "NEDITRecTime", "numeric", "ushort"},
            {"POPUP", "RecSeconds", "numeric_display", "ushort"},
            {"POPUP", "RecMinutes", "numeric_display", "ushort"},
            {"POPUP", "RecHours", "numeric_display", "ushort"},
            {"POPUP", "RecDays", "numeric_display", "ushort"},
            {"POPUP", "RecCounter", "numeric_display", "ushort"},
            {"POPUP", "RecButton13", "command_button", ""},
            {"POPUP", "BTNStopRecord", "command_button", ""},
            {"POPUP", "RecordFileNameBtn", "command_button", ""},
        };
    for (const auto &[pname, name, kind, type] : expected) {
        const QJsonObject c = control(pname, name);
        EXPECT_EQ(c["kind"].toString(), kind) << pname << "." << name;
        if (*type) {
            EXPECT_EQ(c["dataType"].toString(), type) << pname << "." << name;
        }
    }
    // Millimetre displays show whole micrometres, as the setpoint is given.
    for (const char *name :
         {"Display14", "Display34", "Display35", "Display43", "Display44", "Display45"})
        EXPECT_EQ(control("PANEL", name)["precision"].toInt(), 3) << name;
    // The plain parameter edits all hold unsigned 16-bit words.
    for (const char *pname : {"PARA1", "PARA2"})
        for (const auto &cv : panel(pname)["controls"].toArray()) {
            const QJsonObject c = cv.toObject();
            EXPECT_EQ(c["dataType"].toString(), "ushort") << str(c["name"].toString());
            if (c["name"].toString().contains("Edit")) {
                EXPECT_EQ(c["kind"].toString(), "numeric") << str(c["name"].toString());
            }
        }
}

TEST_F(PanelFile, ParameterControlsStartWithTheSensorStartValues) {
    const std::vector<std::tuple<const char *, const char *, double>> starts = {
        {"PARA2", "Para2Edit13", 500},    {"PARA2", "SLIDEVideoTHD_A", 50},
        {"PANEL", "NEDITeachA", 512},     {"PARA2", "Para2Edit15", 1},
        {"PARA2", "Para2Edit16", 2048},   {"PARA1", "Para1Edit4", 50},
        {"PARA1", "Para1Edit3", 50},      {"PARA2", "Para2Edit14", 1},
        {"PARA1", "DROPHardwareMode", 1}, {"PARA1", "DropEvalMode", 1},
        {"PARA1", "Para1Edit18", 1},      {"PARA1", "Para1Edit5", 0},
        {"PARA1", "Para1Edit15", 1},      {"PARA1", "Para1Edit17", 1},
        {"PARA2", "Para2Edit4", 500},     {"PARA2", "SLIDEVideoTHD_B", 50},
        {"PANEL", "NEDITeachB", 512},     {"PARA2", "Para2Edit17", 1},
        {"PARA2", "Para2Edit18", 2048},   {"CALIB", "CalibEdit8", 37000},
        {"CALIB", "CalibEdit9", 0.25},
    };
    for (const auto &[pname, name, value] : starts) {
        const QJsonObject c = control(pname, name);
        ASSERT_TRUE(c["default"].isDouble()) << name;
        EXPECT_DOUBLE_EQ(c["default"].toDouble(), value) << name;
    }
    // 0.25 is the scale factor 4096 / 16384 that the block starts with: the
    // float control must give it back exactly.
    EXPECT_EQ(
        static_cast<unsigned>(
            static_cast<float>(control("CALIB", "CalibEdit9")["default"].toDouble()) * 16384.0f),
        4096u);
}

TEST_F(PanelFile, EveryNumberStartsInsideItsRange) {
    for (const auto &pv : panels())
        for (const auto &cv : pv.toObject()["controls"].toArray()) {
            const QJsonObject c = cv.toObject();
            const std::string name = str(c["name"].toString());
            if (c.contains("min") || c.contains("max")) {
                ASSERT_TRUE(c["min"].isDouble() && c["max"].isDouble()) << name;
                EXPECT_LT(c["min"].toDouble(), c["max"].toDouble()) << name;
                if (c["default"].isDouble()) {
                    EXPECT_GE(c["default"].toDouble(), c["min"].toDouble()) << name;
                    EXPECT_LE(c["default"].toDouble(), c["max"].toDouble()) << name;
                }
            }
            if (c["dataType"].toString() == "ushort") {
                EXPECT_GE(c["min"].toDouble(-1), 0) << name;
                EXPECT_LE(c["max"].toDouble(1e9), 65535) << name;
            }
            if (c["kind"].toString() == "ring") {
                // A ring's start value must be one of its items, or the control
                // would hand the parameter block a value no one chose.
                QSet<int> values;
                for (const auto &iv : c["items"].toArray()) {
                    EXPECT_FALSE(iv.toObject()["label"].toString().isEmpty()) << name;
                    EXPECT_FALSE(values.contains(iv.toObject()["value"].toInt())) << name;
                    values.insert(iv.toObject()["value"].toInt());
                }
                EXPECT_TRUE(values.contains(c["default"].toInt())) << name;
            }
        }
}

TEST_F(PanelFile, RangesHoldEveryValueTheProgramShows) {
    // After a read the program limits the words and writes them into the
    // controls; a control with a narrower range would change the word, and the
    // next send would hand the sensor a value it never had. The bound is the
    // largest value the program can write (8192 for the words it limits to the
    // largest virtual pixel count, 128 for a threshold it replaces).
    const std::vector<std::tuple<const char *, const char *, int>> largest = {
        {"PARA2", "Para2Edit13", 1000},    {"PARA2", "Para2Edit4", 1000},
        {"PARA2", "SLIDEVideoTHD_A", 255}, {"PARA2", "SLIDEVideoTHD_B", 255},
        {"PANEL", "NEDITeachA", 8192},     {"PANEL", "NEDITeachB", 8192},
        {"PARA1", "Para1Edit4", 8192},     {"PARA1", "Para1Edit3", 8192},
        {"PARA2", "Para2Edit14", 1},       {"PARA1", "Para1Edit18", 1},
        {"PARA1", "Para1Edit5", 4},        {"PARA1", "Para1Edit15", 1},
        {"PARA1", "Para1Edit17", 2048},    {"PARA2", "Para2Edit15", 65535},
        {"PARA2", "Para2Edit16", 65535},   {"PARA2", "Para2Edit17", 65535},
        {"PARA2", "Para2Edit18", 65535},
    };
    for (const auto &[pname, name, hi] : largest) {
        const QJsonObject c = control(pname, name);
        EXPECT_EQ(c["min"].toInt(-1), 0) << name;
        EXPECT_GE(c["max"].toInt(), hi) << name;
    }
    // The mode rings offer every mode 0..4 that survives the limits.
    for (const char *name : {"DropEvalMode", "DROPHardwareMode"}) {
        QList<int> values;
        for (const auto &iv : control("PARA1", name)["items"].toArray())
            values.append(iv.toObject()["value"].toInt());
        std::sort(values.begin(), values.end());
        EXPECT_EQ(values, (QList<int>{0, 1, 2, 3, 4})) << name;
    }
    // The setpoint is a full 32-bit value in micrometres; the scale is
    // micrometres per unit, the 32-bit factor divided by 16384.
    EXPECT_LE(control("CALIB", "CalibEdit8")["min"].toDouble(), 0);
    EXPECT_GE(control("CALIB", "CalibEdit8")["max"].toDouble(), 2147483647.0);
    EXPECT_GE(control("CALIB", "CalibEdit9")["max"].toDouble(), 4294967295.0 / 16384.0 - 1);
    EXPECT_GE(control("CALIB", "CalibEdit9")["precision"].toInt(), 5);
    // COM ports are numbered from 1, the number being the ring's value.
    for (const auto &iv : control("PANEL", "DropDCom")["items"].toArray())
        EXPECT_GE(iv.toObject()["value"].toInt(), 1);
}

TEST_F(PanelFile, StartStateOfTheScreens) {
    EXPECT_EQ(control("PANEL", "StatusLine")["default"].toString(), "InitVars");
    const QJsonObject log = control("POPUP", "RecorderLog");
    EXPECT_EQ(log["default"].toString(), "DATA-RECORDER");
    EXPECT_EQ(log["textColor"].toString().toUInt(nullptr, 16), 0x000000u);
    EXPECT_EQ(log["textBgColor"].toString().toUInt(nullptr, 16), 0xE0E0E0u);
    EXPECT_EQ(control("POPUP", "NEDITRecSamples")["default"].toInt(), 100);
    EXPECT_EQ(control("POPUP", "NEDITRecTime")["default"].toInt(), 1);
    EXPECT_GE(control("CALIB", "SensorInfoBox")["lines"].toInt(), 3);

    // Run mode's view shows at start; video mode's graphs wait hidden.
    EXPECT_TRUE(visible(control("PANEL", "StripChartRaw")));
    EXPECT_TRUE(visible(control("PANEL", "GraphBarA")));
    EXPECT_TRUE(visible(control("PANEL", "GraphBarB")));
    EXPECT_FALSE(visible(control("PANEL", "GraphVideoA")));
    EXPECT_FALSE(visible(control("PANEL", "GraphVideoB")));
    EXPECT_FALSE(visible(control("PANEL", "NEDITTolLeff")));

    // Sub-panel 1 is the one shown at start, and RAM the memory target.
    const std::vector<std::pair<const char *, int>> switches = {
        {"TOGGBTN_Para1", 1}, {"TOGGBTN_Para2", 0}, {"TOGGBTN_Calib", 0}, {"TOGGBTN_Recorder", 0},
        {"TOGBTN_Zoom", 0},   {"RBTRam", 1},        {"RBTEeprom", 0},     {"RBTFile", 0},
    };
    for (const auto &[name, on] : switches)
        EXPECT_EQ(control("PANEL", name)["default"].toInt(), on) << name;

    // What the drawing code puts into the graphs must lie inside their axes.
    for (const char *name : {"GraphBarA", "GraphBarB"}) {
        const QJsonObject g = control("PANEL", name);
        EXPECT_EQ(g["xMin"].toDouble(), 0) << name;
        EXPECT_EQ(g["xMax"].toDouble(), 4096) << name;
        EXPECT_EQ(g["yMin"].toDouble(), 0) << name;
        EXPECT_EQ(g["yMax"].toDouble(), 1) << name;
        EXPECT_EQ(g["cursors"].toInt(), 2) << name;
    }
    for (const char *name : {"GraphVideoA", "GraphVideoB"}) {
        const QJsonObject g = control("PANEL", name);
        EXPECT_EQ(g["xMin"].toDouble(), 1) << name;
        EXPECT_EQ(g["xMax"].toDouble(), 4096) << name;
        EXPECT_EQ(g["yMax"].toDouble(), 256) << name;
        EXPECT_TRUE(g["rightYAxis"].toBool()) << name;
    }
    const QJsonObject chart = control("PANEL", "StripChartRaw");
    EXPECT_EQ(chart["traces"].toInt(), 5);
    EXPECT_EQ(chart["pointsPerScreen"].toInt(), 101);
    EXPECT_EQ(chart["yMax"].toDouble(), 2048);
}

TEST_F(PanelFile, ControlsLieInsideTheirPanels) {
    for (const auto &pv : panels()) {
        const QJsonObject p = pv.toObject();
        const int w = p["width"].toInt(), h = p["height"].toInt();
        ASSERT_GT(w, 0);
        ASSERT_GT(h, 0);
        for (const auto &cv : p["controls"].toArray()) {
            const Rect r = footprintOf(cv.toObject());
            const std::string name =
                str(p["name"].toString() + "." + cv.toObject()["name"].toString());
            EXPECT_GT(r.width, 0) << name;
            EXPECT_GT(r.height, 0) << name;
            EXPECT_GE(r.left, 0) << name;
            EXPECT_GE(r.top, 0) << name;
            EXPECT_LE(r.right(), w) << name;
            EXPECT_LE(r.bottom(), h) << name;
        }
    }
}

TEST_F(PanelFile, NothingOnTheMainPanelHidesUnderTheSubPanels) {
    const QJsonObject main = panel("PANEL");
    int subW = 0, subH = 0;
    for (const char *name : {"PARA1", "PARA2", "CALIB"}) {
        subW = std::max(subW, panel(name)["width"].toInt());
        subH = std::max(subH, panel(name)["height"].toInt());
    }
    const Rect sub{kSubLeft, kSubTop, subW, subH};
    EXPECT_LE(sub.right(), main["width"].toInt());
    EXPECT_LE(sub.bottom(), main["height"].toInt());
    for (const auto &cv : main["controls"].toArray()) {
        const QJsonObject c = cv.toObject();
        EXPECT_FALSE(footprintOf(c).intersects(sub)) << str(c["name"].toString());
    }
}

TEST_F(PanelFile, ControlsShownTogetherDoNotOverlap) {
    // Run mode shows the strip chart, video mode the two video graphs in its
    // place; in each view no two visible controls may share pixels. The brand
    // band is a background that only the logo may sit on.
    auto check = [&](const char *pname, const QSet<QString> &shown, const QSet<QString> &hidden) {
        std::vector<QJsonObject> cs;
        for (const auto &cv : panel(pname)["controls"].toArray()) {
            const QJsonObject c = cv.toObject();
            const QString n = c["name"].toString();
            if (hidden.contains(n)) continue;
            if (!visible(c) && !shown.contains(n)) continue;
            cs.push_back(c);
        }
        for (size_t i = 0; i < cs.size(); ++i)
            for (size_t j = i + 1; j < cs.size(); ++j) {
                const QString a = cs[i]["name"].toString(), b = cs[j]["name"].toString();
                const bool onBand = (a == "LogoFrame" && b == "LogoPicture") ||
                                    (b == "LogoFrame" && a == "LogoPicture");
                if (onBand) continue;
                EXPECT_FALSE(footprintOf(cs[i]).intersects(footprintOf(cs[j])))
                    << pname << ": " << str(a) << " / " << str(b);
            }
    };
    check("PANEL", {}, {});
    check("PANEL", {"GraphVideoA", "GraphVideoB"}, {"StripChartRaw"});
    for (const char *p : {"PARA1", "PARA2", "CALIB", "POPUP", "REPLAY"}) check(p, {}, {});
}

TEST_F(PanelFile, BrandBandLeavesRoomForTheBrandTexts) {
    // The brand texts are created at run time at tops 7 to 39 (the 18-point
    // software name at left 300, top 32, ends near 55) and the logo at left
    // 300, top 8: the band must reach across the panel and below them, end
    // above the sub-panels, and carry no control but the logo.
    const QJsonObject main = panel("PANEL");
    const Rect band = rectOf(control("PANEL", "LogoFrame"));
    EXPECT_EQ(band.left, 0);
    EXPECT_EQ(band.top, 0);
    EXPECT_GE(band.right(), main["width"].toInt());
    EXPECT_GE(band.bottom(), 60);
    EXPECT_LE(band.bottom(), kSubTop);
    const Rect logo = rectOf(control("PANEL", "LogoPicture"));
    EXPECT_EQ(logo.left, 300);
    EXPECT_EQ(logo.top, 8);
    EXPECT_LE(logo.bottom(), 32) << "the logo would cover the software name";
    for (const auto &cv : main["controls"].toArray()) {
        const QJsonObject c = cv.toObject();
        const QString n = c["name"].toString();
        if (n == "LogoFrame" || n == "LogoPicture") continue;
        EXPECT_FALSE(footprintOf(c).intersects(band)) << str(n);
    }
}

TEST_F(PanelFile, EachKeyPressesOneButtonPerWindow) {
    // The sub-panels live inside the main window, so their keys count with it;
    // a key given twice would press whichever button Qt finds first.
    std::map<std::string, std::set<std::string>> keysOfWindow;
    for (const auto &pv : panels()) {
        const QJsonObject p = pv.toObject();
        const QString name = p["name"].toString();
        const bool subPanel = QStringList{"PARA1", "PARA2", "CALIB", "REPLAY"}.contains(name);
        const std::string window = subPanel ? "PANEL" : str(name);
        for (const auto &cv : p["controls"].toArray()) {
            const QString key = cv.toObject()["shortcut"].toString().toLower();
            if (key.isEmpty()) continue;
            EXPECT_TRUE(keysOfWindow[window].insert(str(key)).second)
                << window << ": " << str(key) << " twice";
        }
    }
    EXPECT_TRUE(keysOfWindow["PANEL"].count("ctrl+l"));
}

TEST_F(PanelFile, EveryControlHasALabelForAssistiveTools) {
    for (const auto &pv : panels())
        for (const auto &cv : pv.toObject()["controls"].toArray()) {
            const QJsonObject c = cv.toObject();
            if (c["kind"].toString() == "decoration") continue;
            EXPECT_FALSE(c["label"].toString().trimmed().isEmpty()) << str(c["name"].toString());
        }
}

}  // namespace
