// The brand head of the main panel.
#include "logo.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "kvex_app.h"

using kvextest::KVexApp;

namespace {

struct Text {
    std::string text;
    int left, top, size, fg, bg;
};

bool InPanelFile(int id) {
#define KVEX_MAIN_PANEL_ID(panel, name, control, kind) \
    if (panel == PANEL && control == id) return true;
    KVEX_CONTROLS(KVEX_MAIN_PANEL_ID)
#undef KVEX_MAIN_PANEL_ID
    return false;
}

// The text controls made at run time, after the panel file's own ids.
std::vector<Text> CreatedTexts() {
    std::vector<Text> out;
    for (int id = PANEL_BTNStatusLog + 1; id < 400; ++id) {
        if (InPanelFile(id)) continue;
        int left = 0;
        const char *kind = GetCtrlKind(pHandle, id);
        if (!kind || std::strcmp(kind, "text_msg") != 0) continue;  // the file's own buttons
        if (GetCtrlAttribute(pHandle, id, ATTR_LEFT, &left) < 0) continue;
        Text t{};
        char buf[200] = "";
        GetCtrlVal(pHandle, id, buf, sizeof buf);
        t.text = buf;
        t.left = left;
        GetCtrlAttribute(pHandle, id, ATTR_TOP, &t.top);
        GetCtrlAttribute(pHandle, id, ATTR_TEXT_POINT_SIZE, &t.size);
        GetCtrlAttribute(pHandle, id, ATTR_TEXT_COLOR, &t.fg);
        GetCtrlAttribute(pHandle, id, ATTR_TEXT_BGCOLOR, &t.bg);
        out.push_back(t);
    }
    return out;
}

}  // namespace

TEST(Logo, StartUpBrandShowsBandLogoCompanyNameAndVersion) {
    KVexApp app;
    ASSERT_TRUE(app.Start(false));  // start-up has called ShowLogo(2)
    EXPECT_EQ(0x0080FF, KVexApp::Attr(pHandle, PANEL_LogoFrame, ATTR_FRAME_COLOR));
    EXPECT_EQ(300, KVexApp::Attr(pHandle, PANEL_LogoPicture, ATTR_LEFT));
    EXPECT_EQ(8, KVexApp::Attr(pHandle, PANEL_LogoPicture, ATTR_TOP));

    const auto texts = CreatedTexts();
    ASSERT_EQ(5u, texts.size());
    EXPECT_EQ("Halvor Messtechnik GmbH", texts[0].text);
    const int tops[3] = {9, 24, 39};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(15, texts[i].left);
        EXPECT_EQ(tops[i], texts[i].top);
        EXPECT_EQ(11, texts[i].size);
    }
    EXPECT_EQ("K-VEX-RB-ZD-Vedoz", texts[3].text);
    EXPECT_EQ(300, texts[3].left);
    EXPECT_EQ(32, texts[3].top);
    EXPECT_EQ(18, texts[3].size);
    EXPECT_EQ("Version 3.00b", texts[4].text);
    EXPECT_EQ(480, texts[4].left);
    EXPECT_EQ(38, texts[4].top);
    EXPECT_EQ(11, texts[4].size);
    for (const auto &t : texts) {
        EXPECT_EQ(0xFFFFFF, t.fg);
        EXPECT_EQ(0x0080FF, t.bg);
    }
    const std::string file = std::string(KVEX_TEST_OUTPUT) + "/main_head.png";
    EXPECT_EQ(0, SavePanelImage(pHandle, file.c_str()));
}

TEST(Logo, SelectorsWithoutABrandChangeNothing) {
    KVexApp app;
    ASSERT_TRUE(app.Start(false));
    const std::size_t before = CreatedTexts().size();
    for (int brand : {5, -1, 7}) ShowLogo(brand);
    EXPECT_EQ(before, CreatedTexts().size());
    EXPECT_EQ(0x0080FF, KVexApp::Attr(pHandle, PANEL_LogoFrame, ATTR_FRAME_COLOR));
}

TEST(Logo, LightBrandsHideOrMoveTheLogoAndAddTheirTexts) {
    KVexApp app;
    ASSERT_TRUE(app.Start(false));
    const std::size_t before = CreatedTexts().size();
    ShowLogo(0);
    EXPECT_EQ(0xFFFFFF, KVexApp::Attr(pHandle, PANEL_LogoFrame, ATTR_FRAME_COLOR));
    EXPECT_EQ(0, KVexApp::Attr(pHandle, PANEL_LogoPicture, ATTR_VISIBLE));
    auto texts = CreatedTexts();
    ASSERT_EQ(before + 2, texts.size()) << "name and version only";
    EXPECT_EQ(0x808080, texts.back().fg);
    EXPECT_EQ(200, texts.back().left);

    ShowLogo(6);
    EXPECT_EQ(470, KVexApp::Attr(pHandle, PANEL_LogoPicture, ATTR_LEFT));
    EXPECT_EQ(7, KVexApp::Attr(pHandle, PANEL_LogoPicture, ATTR_TOP));
    texts = CreatedTexts();
    ASSERT_EQ(before + 2 + 5, texts.size());
    EXPECT_EQ("OSTRADA Industrieelektronik-GmbH", texts[before + 2].text);
    EXPECT_EQ(380, texts.back().left);
}
