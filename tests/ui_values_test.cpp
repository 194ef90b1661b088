// Typed control values, displays, attributes, text messages and pictures,
// and text formatting within a buffer.
#include <QApplication>
#include <QImage>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>

#include "ui_test_support.h"

using namespace uitest;

namespace {

// ---------------------------------------------------------------- values

TEST_F(UiTest, ValuesAreConvertedAsCDoesThenLimitedToTheRange) {
    unsigned short us = 0;
    SetCtrlVal(panel, kNum, 70000);  // wraps to 16 bits
    GetCtrlVal(panel, kNum, &us);
    EXPECT_EQ(us, 4464);
    int i = 0;
    SetCtrlVal(panel, kLimited, -3.9);  // cut toward zero
    GetCtrlVal(panel, kLimited, &i);
    EXPECT_EQ(i, -3);
    SetCtrlVal(panel, kLimited, 500);
    GetCtrlVal(panel, kLimited, &i);
    EXPECT_EQ(i, 100);
    SetCtrlVal(panel, kLimited, -500.0);
    GetCtrlVal(panel, kLimited, &i);
    EXPECT_EQ(i, -100);
    short s = 0;
    SetCtrlVal(panel, kSigned, 40000);
    GetCtrlVal(panel, kSigned, &s);
    EXPECT_EQ(s, -25536);
    unsigned int u = 0;
    SetCtrlVal(panel, kBig, 4000000000u);
    GetCtrlVal(panel, kBig, &u);
    EXPECT_EQ(u, 4000000000u);
    SetCtrlVal(panel, kBig, -1);
    GetCtrlVal(panel, kBig, &u);
    EXPECT_EQ(u, 4294967295u);
    float f = 0;
    double d = 0;
    GetCtrlVal(panel, kReal, &f);
    EXPECT_FLOAT_EQ(f, 0.25f);
    SetCtrlVal(panel, kReal, 4.5);
    GetCtrlVal(panel, kReal, &d);
    EXPECT_DOUBLE_EQ(d, 4.5);
    GetCtrlVal(panel, kReal, &i);
    EXPECT_EQ(i, 4);
    SetCtrlVal(panel, kToggle, 5);
    GetCtrlVal(panel, kToggle, &i);
    EXPECT_EQ(i, 1);
    EXPECT_LT(SetCtrlVal(panel, kRing, 3), 0);  // no item with that value
    GetCtrlVal(panel, kRing, &i);
    EXPECT_EQ(i, 2);
    EXPECT_EQ(SetCtrlVal(panel, kNum, "321"), 0);
    GetCtrlVal(panel, kNum, &us);
    EXPECT_EQ(us, 321);
    EXPECT_LT(SetCtrlVal(panel, kNum, "twelve"), 0);
    EXPECT_LT(SetCtrlVal(panel, kCmd, 1), 0);
    EXPECT_LT(SetCtrlVal(panel, 99, 1), 0);
    EXPECT_LT(SetCtrlVal(panel + 1000, kNum, 1), 0);
}

TEST_F(UiTest, DisplaysShowTheirNumberAndStringsStayWithinTheBuffer) {
    SetCtrlVal(panel, kDisp, 3.14159);
    EXPECT_EQ(Shown(kDisp), QStringLiteral("3.142"));
    SetCtrlVal(panel, kWord, 65536 + 17);
    EXPECT_EQ(Shown(kWord), QStringLiteral("17"));
    char text[6];
    std::memset(text, 'x', sizeof text);
    SetCtrlVal(panel, kStatus, "Hello world");
    EXPECT_EQ(GetCtrlVal(panel, kStatus, text, sizeof text), 0);
    EXPECT_STREQ(text, "Hello");
    EXPECT_EQ(Widget<QLabel>(kStatus)->text(), QStringLiteral("Hello world"));
    SetCtrlVal(panel, kStatus, "7.8\xB5m");  // Latin-1 text keeps its bytes
    char back[32];
    GetCtrlVal(panel, kStatus, back, sizeof back);
    EXPECT_STREQ(back, "7.8\xB5m");
    EXPECT_EQ(Widget<QLabel>(kStatus)->text(), QString::fromUtf8("7.8\u00B5m"));
    GetCtrlVal(panel, kDisp, back, sizeof back);
    EXPECT_STREQ(back, "3.142");
}

TEST_F(UiTest, AttributesReportWhatIsInEffect) {
    int v = 0;
    EXPECT_EQ(SetCtrlAttribute(panel, kNum, ATTR_DIMMED, 1), 0);
    EXPECT_FALSE(UiControlWidget(panel, kNum)->isEnabled());
    GetCtrlAttribute(panel, kNum, ATTR_DIMMED, &v);
    EXPECT_EQ(v, 1);
    SetCtrlAttribute(panel, kGraphVideo, ATTR_VISIBLE, 0);
    EXPECT_TRUE(UiControlWidget(panel, kGraphVideo)->isHidden());
    EXPECT_TRUE(UiControlCaption(panel, kGraphVideo)->isHidden());
    GetCtrlAttribute(panel, kGraphVideo, ATTR_VISIBLE, &v);
    EXPECT_EQ(v, 0);
    SetCtrlAttribute(panel, kNum, ATTR_LEFT, 300);
    SetCtrlAttribute(panel, kNum, ATTR_TOP, 8);
    EXPECT_EQ(UiControlWidget(panel, kNum)->pos(), QPoint(300, 8));
    GetCtrlAttribute(panel, kNum, ATTR_LEFT, &v);
    EXPECT_EQ(v, 300);
    EXPECT_EQ(SetCtrlAttribute(panel, kDisp, ATTR_TEXT_BGCOLOR, 0xFF0000), 0);
    GetCtrlAttribute(panel, kDisp, ATTR_TEXT_BGCOLOR, &v);
    EXPECT_EQ(v, 0xFF0000);
    EXPECT_EQ(UiControlWidget(panel, kDisp)->palette().color(QPalette::Base), QColor(Qt::red));
    SetCtrlAttribute(panel, kDisp, ATTR_TEXT_COLOR, 0xFFFFFF);
    GetCtrlAttribute(panel, kDisp, ATTR_TEXT_COLOR, &v);
    EXPECT_EQ(v, 0xFFFFFF);
    GetCtrlAttribute(panel, kStatus, ATTR_TEXT_BGCOLOR, &v);
    EXPECT_EQ(v, 0x0080FF);  // from the file
    SetCtrlAttribute(panel, kBand, ATTR_FRAME_COLOR, 0xFFFFFF);
    GetCtrlAttribute(panel, kBand, ATTR_FRAME_COLOR, &v);
    EXPECT_EQ(v, 0xFFFFFF);
    EXPECT_EQ(UiControlWidget(panel, kBand)->palette().color(QPalette::Window), QColor(Qt::white));
    EXPECT_EQ(SetCtrlAttribute(panel, kCmd, ATTR_LABEL_TEXT, "Stop"), 0);
    EXPECT_EQ(Widget<QPushButton>(kCmd)->text(), QStringLiteral("Stop"));
    char label[3];
    GetCtrlAttribute(panel, kCmd, ATTR_LABEL_TEXT, label, sizeof label);
    EXPECT_STREQ(label, "St");
    GetCtrlAttribute(panel, kNum, ATTR_DATA_TYPE, &v);
    EXPECT_EQ(v, VAL_UNSIGNED_SHORT_INTEGER);
    EXPECT_LT(SetCtrlAttribute(panel, kNum, ATTR_DATA_TYPE, VAL_DOUBLE), 0);
    EXPECT_LT(SetCtrlAttribute(panel, kNum, 4242, 1), 0);
    EXPECT_LT(SetCtrlAttribute(panel, kNum, ATTR_TEXT_COLOR, 0x1000000), 0);
    EXPECT_LT(SetCtrlAttribute(panel, kNum, ATTR_NUM_TRACES, 2), 0);
}

TEST_F(UiTest, TextMessagesMadeAtRunTimeTakeFontColoursAndText) {
    const int id = NewCtrl(panel, CTRL_TEXT_MSG, "", 32, 300);
    ASSERT_GT(id, 0);
    EXPECT_EQ(SetCtrlAttribute(panel, id, ATTR_TEXT_FONT, "NIApp"), 0);
    SetCtrlAttribute(panel, id, ATTR_TEXT_BGCOLOR, 0x0080FF);
    SetCtrlAttribute(panel, id, ATTR_TEXT_COLOR, 0xFFFFFF);
    SetCtrlAttribute(panel, id, ATTR_TEXT_POINT_SIZE, 18);
    SetCtrlVal(panel, id, "K-VEX-RB-ZD-Vedoz");
    auto *label = Widget<QLabel>(id);
    EXPECT_EQ(label->pos(), QPoint(300, 32));
    EXPECT_EQ(label->text(), QStringLiteral("K-VEX-RB-ZD-Vedoz"));
    EXPECT_EQ(label->font().pixelSize(), 18);
    EXPECT_EQ(label->font().family(), QApplication::font().family());
    EXPECT_GE(label->width(), label->sizeHint().width());
    char font[32];
    int v = 0;
    GetCtrlAttribute(panel, id, ATTR_TEXT_FONT, font, sizeof font);
    EXPECT_STREQ(font, "NIApp");
    GetCtrlAttribute(panel, id, ATTR_TEXT_POINT_SIZE, &v);
    EXPECT_EQ(v, 18);
    EXPECT_NE(NewCtrl(panel, CTRL_TEXT_MSG, "second", 0, 0), id);
}

TEST_F(UiTest, TextBoxLinesAreReplacedByIndex) {
    EXPECT_EQ(ReplaceTextBoxLine(panel, kBox, 2, "third"), 0);
    int n = 0;
    GetNumTextBoxLines(panel, kBox, &n);
    EXPECT_EQ(n, 3);
    ReplaceTextBoxLine(panel, kBox, 0, "first");
    EXPECT_EQ(Widget<QPlainTextEdit>(kBox)->toPlainText(), QStringLiteral("first\n\nthird"));
    char line[16];
    GetTextBoxLine(panel, kBox, 2, line, sizeof line);
    EXPECT_STREQ(line, "third");
    EXPECT_EQ(ResetTextBox(panel, kBox, "DATA-RECORDER"), 0);
    GetNumTextBoxLines(panel, kBox, &n);
    EXPECT_EQ(n, 1);
    EXPECT_EQ(Widget<QPlainTextEdit>(kBox)->toPlainText(), QStringLiteral("DATA-RECORDER"));
    EXPECT_LT(ReplaceTextBoxLine(panel, kBox, -1, "x"), 0);
    EXPECT_LT(ReplaceTextBoxLine(panel, kStatus, 0, "x"), 0);
}

TEST_F(UiTest, PicturesShowBitmapsAndRefuseMissingFiles) {
    EXPECT_LT(DisplayImageFile(panel, kLogo, "no_such_logo.bmp"), 0);
    QImage image(60, 40, QImage::Format_RGB32);
    image.fill(Qt::blue);
    const std::string bmp = OutPath("ui_logo.bmp");
    ASSERT_TRUE(image.save(QString::fromStdString(bmp), "BMP"));
    EXPECT_EQ(DisplayImageFile(panel, kLogo, bmp.c_str()), 0);
    EXPECT_EQ(Widget<QLabel>(kLogo)->pixmap().size(), QSize(60, 40));
    EXPECT_LT(DisplayImageFile(panel, kStatus, bmp.c_str()), 0);
}

// ---------------------------------------------------------------- text

TEST(UiText, FmtNeverWritesBeyondTheSizeItsFormatNames) {
    int words[36];
    for (int &w : words) w = ('A' << 8) | 'B';
    struct {
        char text[72];
        char guard[8];
    } target;
    std::memset(&target, '#', sizeof target);
    EXPECT_EQ(Fmt(target.text, "%72c<%36i", words), 71);
    EXPECT_EQ(target.text[70], 'A');
    EXPECT_EQ(target.text[71], '\0');
    for (char g : target.guard) EXPECT_EQ(g, '#');
    const int firmware[3] = {('V' << 8) | '1', ('.' << 8) | 0, ('9' << 8) | '9'};
    EXPECT_EQ(Fmt(target.text, "%72c<%3i", firmware), 3);
    EXPECT_STREQ(target.text, "V1.");
    EXPECT_EQ(Fmt(target.text, "%s<%s", "copy"), 4);
    EXPECT_STREQ(target.text, "copy");
    EXPECT_EQ(Fmt(target.text, "%5s<%s", "Hello world"), 4);
    EXPECT_STREQ(target.text, "Hell");
    EXPECT_EQ(Fmt(target.text, "%s<%i", -42), 3);
    EXPECT_STREQ(target.text, "-42");
    EXPECT_LT(Fmt(target.text, "%q<%i", 1), 0);
    EXPECT_LT(Fmt(target.text, "%s", "x"), 0);
    EXPECT_EQ(StringLength("K-VEX"), 5);
}

}  // namespace
