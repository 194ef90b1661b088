// Loads the five panels the way start-up does and renders the views an
// operator meets (each sub-panel in place, video mode, the recorder pop-up)
// into PNG files under the build tree, where anyone can look at them.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QFontMetrics>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRect>
#include <cstring>
#include <string>

#include "kvex_ids.h"
#include "kvex_main.h"
#include "logo.h"
#include "ui.h"

namespace {

const char *const kPanelFile = "K-VEX-RB-ZD-VedudU300.uir";
constexpr int kSubLeft = 8;
constexpr int kSubTop = 72;

int NoCtrlAction(int, int, int, void *, int, int) { return 0; }
int NoPanelAction(int, int, void *, int, int) { return 0; }

std::string outPath(const char *name) { return std::string(KVEX_TEST_OUTPUT) + "/" + name; }

class PanelsRender : public testing::Test {
  protected:
    static void SetUpTestSuite() {
        RegisterPanelCallback("CC_PANEL", NoPanelAction);
        RegisterPanelCallback("CC_POPUP", NoPanelAction);
        for (const char *name : {"CC_BTNRun",           "CC_BTNVideo",
                                 "CC_BTNStop",          "CC_DropDCom",
                                 "CC_SLIDEVideoTHD_A",  "CC_SLIDEVideoTHD_B",
                                 "CC_NEDITeachA",       "CC_NEDITeachB",
                                 "CC_DropEvalMode",     "CC_DROPHardwareMode",
                                 "CC_TOGGBTN_Para1",    "CC_TOGGBTN_Para2",
                                 "CC_TOGGBTN_Calib",    "CC_TOGBTN_Zoom",
                                 "CC_NEDITTolLeff",     "CC_BTNSend",
                                 "CC_BTNGet",           "CC_ButtonReset",
                                 "CC_ButtonTeach",      "CC_RBTRam",
                                 "CC_RBTEeprom",        "CC_RBTFile",
                                 "CC_TOGGBTN_Recorder", "CC_NEDITRecTime",
                                 "CC_NEDITRecSamples",  "CC_RecordFileNameBtn",
                                 "CC_BTNStartRecord",   "CC_BTNStopRecord"})
            RegisterCtrlCallback(name, NoCtrlAction);

        // The order and parents of start-up: the sub-panels name the main
        // panel by handle 1, the first handle given out.
        main_ = LoadPanel(0, kPanelFile, PANEL);
        para1_ = LoadPanel(1, kPanelFile, PARA1);
        para2_ = LoadPanel(1, kPanelFile, PARA2);
        calib_ = LoadPanel(1, kPanelFile, CALIB);
        popup_ = LoadPanel(0, kPanelFile, POPUP);
        if (main_ <= 0 || para1_ <= 0 || para2_ <= 0 || calib_ <= 0 || popup_ <= 0) return;

        for (int sub : {para1_, para2_, calib_}) {
            SetPanelAttribute(sub, ATTR_LEFT, kSubLeft);
            SetPanelAttribute(sub, ATTR_TOP, kSubTop);
        }
        // Texts as a connected sensor leaves them, so the pictures show real
        // line lengths.
        SetCtrlVal(main_, PANEL_StatusLine, "Parameter-frame received! - Line Ok!");
        ReplaceTextBoxLine(calib_, CALIB_SensorInfoBox, 0, "CCD line: 2048 pixels");
        ReplaceTextBoxLine(calib_, CALIB_SensorInfoBox, 1, "Virtual pixels: 4096");
        ReplaceTextBoxLine(calib_, CALIB_SensorInfoBox, 2, "Reference distance: 37 mm");
        ReplaceTextBoxLine(popup_, POPUP_RecordFileName, 0, "/home/operator/kvex/KVexRecord.dat");
        // The brand head as start-up draws it, so the band's room is seen.
        pHandle = main_;
        std::strcpy(szSoftName, "K-VEX-RB-ZD-Vedoz");
        std::strcpy(szSoftVersion, "Version 3.00b");
        ShowLogo(2);
        DisplayPanel(main_);
    }

    static void TearDownTestSuite() {
        for (int p : {para1_, para2_, calib_, popup_, main_})
            if (p > 0) DiscardPanel(p);
    }

    static bool loaded() {
        return main_ > 0 && para1_ > 0 && para2_ > 0 && calib_ > 0 && popup_ > 0;
    }

    // Shows one sub-panel and sets the toggles as their callbacks would,
    // renders the main panel and returns the picture.
    static QImage renderMain(int shown, const char *file) {
        for (int sub : {para1_, para2_, calib_})
            if (sub != shown) HidePanel(sub);
        DisplayPanel(shown);
        SetCtrlVal(main_, PANEL_TOGGBTN_Para1, shown == para1_ ? 1 : 0);
        SetCtrlVal(main_, PANEL_TOGGBTN_Para2, shown == para2_ ? 1 : 0);
        SetCtrlVal(main_, PANEL_TOGGBTN_Calib, shown == calib_ ? 1 : 0);
        ProcessSystemEvents();
        const std::string path = outPath(file);
        EXPECT_GE(SavePanelImage(main_, path.c_str()), 0) << file;
        return QImage(QString::fromStdString(path));
    }

    static void expectPanelPicture(const QImage &img, int panel, const char *file) {
        ASSERT_FALSE(img.isNull()) << file;
        EXPECT_GT(QFileInfo(QString::fromStdString(outPath(file))).size(), 0) << file;
        int w = 0, h = 0;
        GetPanelAttribute(panel, ATTR_WIDTH, &w);
        GetPanelAttribute(panel, ATTR_HEIGHT, &h);
        EXPECT_GE(img.width(), w) << file;
        EXPECT_GE(img.height(), h) << file;
    }

    static int main_, para1_, para2_, calib_, popup_;
};

int PanelsRender::main_ = -1;
int PanelsRender::para1_ = -1;
int PanelsRender::para2_ = -1;
int PanelsRender::calib_ = -1;
int PanelsRender::popup_ = -1;

TEST_F(PanelsRender, AllPanelsLoadInStartUpOrder) {
    EXPECT_EQ(main_, 1);
    EXPECT_GT(para1_, 0);
    EXPECT_GT(para2_, 0);
    EXPECT_GT(calib_, 0);
    EXPECT_GT(popup_, 0);
    int w = 0, h = 0;
    ASSERT_GE(GetPanelAttribute(main_, ATTR_WIDTH, &w), 0);
    ASSERT_GE(GetPanelAttribute(main_, ATTR_HEIGHT, &h), 0);
    for (int sub : {para1_, para2_, calib_}) {
        int left = -1, top = -1;
        GetPanelAttribute(sub, ATTR_LEFT, &left);
        GetPanelAttribute(sub, ATTR_TOP, &top);
        EXPECT_EQ(left, kSubLeft);
        EXPECT_EQ(top, kSubTop);
    }
}

TEST_F(PanelsRender, EachSubPanelShowsInTheSharedPlace) {
    ASSERT_TRUE(loaded());
    const QImage p1 = renderMain(para1_, "main_para1.png");
    const QImage p2 = renderMain(para2_, "main_para2.png");
    const QImage cal = renderMain(calib_, "main_calib.png");
    expectPanelPicture(p1, main_, "main_para1.png");
    expectPanelPicture(p2, main_, "main_para2.png");
    expectPanelPicture(cal, main_, "main_calib.png");
    if (p1.isNull() || p2.isNull() || cal.isNull()) return;

    // Switching the sub-panel changes the pictures inside the shared place,
    // and nothing of the main panel's measuring area to its right.
    int w = 0, h = 0;
    GetPanelAttribute(para2_, ATTR_WIDTH, &w);
    GetPanelAttribute(para2_, ATTR_HEIGHT, &h);
    const QRect place(kSubLeft, kSubTop, w, h);
    EXPECT_NE(p1.copy(place), p2.copy(place));
    EXPECT_NE(p2.copy(place), cal.copy(place));
    EXPECT_NE(p1.copy(place), cal.copy(place));
    const QRect measuring(place.right() + 16, kSubTop, p1.width() - place.right() - 16,
                          place.height());
    EXPECT_EQ(p1.copy(measuring), p2.copy(measuring));
    EXPECT_EQ(p1.copy(measuring), cal.copy(measuring));
}

TEST_F(PanelsRender, VideoModeViewReplacesTheStripChart) {
    ASSERT_TRUE(loaded());
    const QImage run = renderMain(para1_, "main_run.png");
    SetCtrlAttribute(main_, PANEL_StripChartRaw, ATTR_VISIBLE, 0);
    SetCtrlAttribute(main_, PANEL_GraphVideoA, ATTR_VISIBLE, 1);
    SetCtrlAttribute(main_, PANEL_GraphVideoB, ATTR_VISIBLE, 1);
    const QImage video = renderMain(para2_, "main_video.png");
    SetCtrlAttribute(main_, PANEL_GraphVideoA, ATTR_VISIBLE, 0);
    SetCtrlAttribute(main_, PANEL_GraphVideoB, ATTR_VISIBLE, 0);
    SetCtrlAttribute(main_, PANEL_StripChartRaw, ATTR_VISIBLE, 1);
    expectPanelPicture(video, main_, "main_video.png");
    if (run.isNull() || video.isNull()) return;
    // The lower half of the measuring area is where the two views differ.
    const QRect lower(390, 440, 590, 180);
    EXPECT_NE(run.copy(lower), video.copy(lower));
}

TEST_F(PanelsRender, RecorderPopUpRenders) {
    ASSERT_TRUE(loaded());
    DisplayPanel(popup_);
    ProcessSystemEvents();
    const std::string path = outPath("recorder_popup.png");
    EXPECT_GE(SavePanelImage(popup_, path.c_str()), 0);
    expectPanelPicture(QImage(QString::fromStdString(path)), popup_, "recorder_popup.png");
    HidePanel(popup_);
}

TEST_F(PanelsRender, LabelsFitTheirControls) {
    // A caption above an edit, display, ring, slider, box or graph is as wide
    // as its control; a button's text has the button minus its margins, a
    // radio button's text the width beside its indicator. Cut labels hide
    // units and channel names from the operator.
    QFile f(QCoreApplication::applicationDirPath() + "/" + kPanelFile);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QJsonObject root = QJsonDocument::fromJson(f.readAll()).object();
    const QFontMetrics fm(QApplication::font());
    const QStringList captioned = {"ring",     "numeric", "numeric_display", "slider",
                                   "text_box", "graph",   "strip_chart"};
    int checked = 0;
    for (const auto &pv : root["panels"].toArray())
        for (const auto &cv : pv.toObject()["controls"].toArray()) {
            const QJsonObject c = cv.toObject();
            const QString kind = c["kind"].toString(), label = c["label"].toString();
            int room = -1;
            if (captioned.contains(kind)) room = c["width"].toInt();
            // A slider shows its value at the right end of the caption line.
            if (kind == "slider") room -= fm.horizontalAdvance(QStringLiteral(" 255"));
            if (kind == "command_button" || kind == "toggle_button") room = c["width"].toInt() - 16;
            if (kind == "radio_button") room = c["width"].toInt() - 24;
            if (room < 0 || label.isEmpty()) continue;
            ++checked;
            EXPECT_LE(fm.horizontalAdvance(label), room)
                << c["name"].toString().toStdString() << ": \"" << label.toStdString() << '"';
        }
    EXPECT_GT(checked, 60);
}

}  // namespace
