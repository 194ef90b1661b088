// The brand head of the main panel: band colour, logo bitmap, company lines,
// software name and version.
#include "logo.h"

#include "session.h"
#include "ui.h"

int textIDsoft, textIDver, textIDGmbH, textIDtel, textIDinfo;

namespace {

struct Point {
    int left, top;
};

struct Brand {
    bool dark;
    const char *bitmap;  // nullptr: no logo, the picture is hidden
    Point logo;
    const char *company[3];  // nullptr: no company lines
    int companyTops[3];
    Point name, version;
};

// Selector 5 is no brand. The telephone and web lines are placeholders of
// ours, not real contacts.
const Brand kBrands[7] = {
    {false, nullptr, {}, {}, {}, {20, 20}, {200, 26}},
    {true, nullptr, {}, {}, {}, {20, 20}, {200, 26}},
    {true,
     "hv.bmp",
     {300, 8},
     {"Halvor Messtechnik GmbH", "Phone +00 000 000000-0", "www.halvor-messtechnik.example"},
     {9, 24, 39},
     {300, 32},
     {480, 38}},
    {false, "corvalen.bmp", {470, 8}, {}, {}, {20, 20}, {180, 26}},
    {true,
     "trelmark.bmp",
     {470, 7},
     {"TRELMARK Sensor-GmbH", "Phone +00 000 000000-0", "www.trelmark-sensor.example"},
     {7, 22, 37},
     {300, 32},
     {480, 38}},
    {},
    {false,
     "ostrada.bmp",
     {470, 7},
     {"OSTRADA Industrieelektronik-GmbH", "Phone +00 000 000000-0", "www.ostrada-ie.example"},
     {7, 22, 37},
     {220, 30},
     {380, 36}},
};

constexpr int kBlue = 0x0080FF, kWhite = 0xFFFFFF, kGrey = 0x808080;

}  // namespace

void ShowInfoText(int, int backgroundColour, int textColour, const char *text, int left, int top,
                  int pointSize) {
    const int ctrl = NewCtrl(pHandle, CTRL_TEXT_MSG, "", top, left);
    if (ctrl < 0) return;
    SetCtrlAttribute(pHandle, ctrl, ATTR_TEXT_FONT, "NIApp");
    SetCtrlAttribute(pHandle, ctrl, ATTR_TEXT_BGCOLOR, backgroundColour);
    SetCtrlAttribute(pHandle, ctrl, ATTR_TEXT_COLOR, textColour);
    SetCtrlAttribute(pHandle, ctrl, ATTR_TEXT_POINT_SIZE, pointSize);
    SetCtrlVal(pHandle, ctrl, text);
}

void ShowLogo(int brand) {
    if (brand < 0 || brand > 6 || brand == 5) return;
    const Brand &b = kBrands[brand];
    const int background = b.dark ? kBlue : kWhite;
    const int text = b.dark ? kWhite : kGrey;

    SetCtrlAttribute(pHandle, PANEL_LogoFrame, ATTR_FRAME_COLOR, background);
    if (!b.bitmap) {
        SetCtrlAttribute(pHandle, PANEL_LogoPicture, ATTR_VISIBLE, 0);
    } else {
        SetCtrlAttribute(pHandle, PANEL_LogoPicture, ATTR_LEFT, b.logo.left);
        SetCtrlAttribute(pHandle, PANEL_LogoPicture, ATTR_TOP, b.logo.top);
        DisplayImageFile(pHandle, PANEL_LogoPicture, b.bitmap);
    }
    if (b.company[0]) {
        for (int i = 0; i < 3; ++i)
            ShowInfoText(textIDsoft, background, text, b.company[i], 15, b.companyTops[i], 11);
    }
    ShowInfoText(textIDsoft, background, text, szSoftName, b.name.left, b.name.top, 18);
    ShowInfoText(textIDver, background, text, szSoftVersion, b.version.left, b.version.top, 11);
}
