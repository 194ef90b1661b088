// Files: parameter words, record lines, paths and the file dialog.
#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "ui_test_support.h"

using namespace uitest;

namespace {

// ---------------------------------------------------------------- files

TEST(UiFiles, ThirtyWordsGoOnePerLineInFieldsOfTenAndComeBack) {
    const std::string path = OutPath("ui_para.cfg");
    unsigned int words[30];
    std::string expected;
    for (int i = 0; i < 30; ++i) {
        words[i] = i == 7 ? 65535u : static_cast<unsigned int>(i * 37);
        char line[16];
        std::snprintf(line, sizeof line, "%10u\r\n", words[i]);
        expected += line;
    }
    WriteBytes(path, "old content that must go away, longer than the new one? no");
    ASSERT_EQ(ArrayToFile(path.c_str(), words, VAL_UNSIGNED_INTEGER, 30, 1, VAL_GROUPS_TOGETHER,
                          VAL_GROUPS_AS_COLUMNS, VAL_CONST_WIDTH, 10, VAL_ASCII, VAL_TRUNCATE),
              0);
    EXPECT_EQ(ReadBytes(path), expected);
    unsigned short back[30] = {};
    ASSERT_EQ(FileToArray(path.c_str(), back, VAL_UNSIGNED_SHORT_INTEGER, 30, 1,
                          VAL_GROUPS_TOGETHER, VAL_GROUPS_AS_COLUMNS, VAL_ASCII),
              0);
    for (int i = 0; i < 30; ++i) EXPECT_EQ(back[i], words[i]);
}

TEST(UiFiles, RecordLinesAppendTabSeparatedAfterRawHeaderBytes) {
    const std::string path = OutPath("ui_record.dat");
    std::remove(path.c_str());
    const char header[] = "12-31-2024 23:59:58  K-VEX-RECORDER-FILE: Time-Interval[s]: ";
    ASSERT_EQ(
        ArrayToFile(path.c_str(), header, VAL_CHAR, StringLength(header), 1, VAL_GROUPS_TOGETHER,
                    VAL_GROUPS_AS_ROWS, VAL_SEP_BY_TAB, VAL_VARIABLE_WIDTH, VAL_BINARY, VAL_APPEND),
        0);
    const unsigned short interval = 5;
    ArrayToFile(path.c_str(), &interval, VAL_UNSIGNED_SHORT_INTEGER, 1, 1, VAL_GROUPS_TOGETHER,
                VAL_GROUPS_AS_ROWS, VAL_SEP_BY_TAB, VAL_VARIABLE_WIDTH, VAL_ASCII, VAL_APPEND);
    const int sample[6] = {2048, 1999, 4096, -37000, 2, 0};
    for (int k = 0; k < 2; ++k)
        ASSERT_EQ(ArrayToFile(path.c_str(), sample, VAL_INTEGER, 6, 1, VAL_GROUPS_TOGETHER,
                              VAL_GROUPS_AS_ROWS, VAL_SEP_BY_TAB, VAL_VARIABLE_WIDTH, VAL_ASCII,
                              VAL_APPEND),
                  0);
    EXPECT_EQ(ReadBytes(path), std::string(header) + "5\r\n" +
                                   "2048\t1999\t4096\t-37000\t2\t0\r\n"
                                   "2048\t1999\t4096\t-37000\t2\t0\r\n");
    // Two groups as columns, interleaved in the array, comma-separated.
    const double pairs[4] = {1.5, -2, 3.25, 4};
    ArrayToFile(path.c_str(), pairs, VAL_DOUBLE, 4, 2, VAL_DATA_MULTIPLEXED, VAL_GROUPS_AS_COLUMNS,
                VAL_SEP_BY_COMMA, VAL_VARIABLE_WIDTH, VAL_ASCII, VAL_TRUNCATE);
    EXPECT_EQ(ReadBytes(path), "1.5,-2\r\n3.25,4\r\n");
    EXPECT_LT(ArrayToFile(path.c_str(), sample, VAL_INTEGER, 6, 4, 0, 0, VAL_SEP_BY_TAB, 0, 0, 0),
              0);
    EXPECT_LT(ArrayToFile(path.c_str(), sample, VAL_INTEGER, 6, 1, 0, 0, VAL_CONST_WIDTH, 0, 0, 0),
              0);
    EXPECT_LT(ArrayToFile(OutPath("no/such/dir/x.dat").c_str(), sample, VAL_INTEGER, 6, 1, 0, 0,
                          VAL_SEP_BY_TAB, 0, VAL_ASCII, VAL_APPEND),
              0);
}

TEST(UiFiles, ReadingTakesAnySpacingWrapsBigNumbersAndRefusesShortOrBadFiles) {
    const std::string path = OutPath("ui_read.cfg");
    std::string text = "  70000\r\n";
    for (int i = 1; i < 30; ++i) text += std::to_string(i) + (i % 3 ? "\t" : "\n");
    WriteBytes(path, text);
    unsigned short words[30] = {};
    ASSERT_EQ(FileToArray(path.c_str(), words, VAL_UNSIGNED_SHORT_INTEGER, 30, 1,
                          VAL_GROUPS_TOGETHER, VAL_GROUPS_AS_COLUMNS, VAL_ASCII),
              0);
    EXPECT_EQ(words[0], 4464);
    EXPECT_EQ(words[29], 29);

    unsigned short untouched[30];
    std::fill(std::begin(untouched), std::end(untouched), 0xBEEF);
    auto refused = [&](const std::string &content) {
        WriteBytes(path, content);
        const int r = FileToArray(path.c_str(), untouched, VAL_UNSIGNED_SHORT_INTEGER, 30, 1,
                                  VAL_GROUPS_TOGETHER, VAL_GROUPS_AS_COLUMNS, VAL_ASCII);
        return r < 0 && untouched[0] == 0xBEEF;
    };
    std::string shortFile;
    for (int i = 0; i < 29; ++i) shortFile += "5\r\n";
    EXPECT_TRUE(refused(shortFile));
    EXPECT_TRUE(refused("1 2 3 abc 5\r\n" + shortFile));
    EXPECT_TRUE(refused(""));
    EXPECT_LT(FileToArray(OutPath("no_such.cfg").c_str(), untouched, VAL_UNSIGNED_SHORT_INTEGER, 30,
                          1, 0, 0, VAL_ASCII),
              0);
}

TEST(UiFiles, PathsAreJoinedWithinTheirBufferAndFilesDeleted) {
    char path[260];
    EXPECT_EQ(MakePathname("/a/b", "KVexRecord.dat", path), 0);
    EXPECT_STREQ(path, "/a/b/KVexRecord.dat");
    EXPECT_EQ(MakePathname("/a/b/", "x", path), 0);
    EXPECT_STREQ(path, "/a/b/x");
    const std::string longDir(250, 'd');
    EXPECT_LT(MakePathname(longDir.c_str(), "KVexRecord.dat", path), 0);
    EXPECT_STREQ(path, "");
    const std::string file = OutPath("ui_delete_me.txt");
    WriteBytes(file, "x");
    EXPECT_EQ(RT_DeleteFile(file.c_str()), 0);
    EXPECT_LT(RT_DeleteFile(file.c_str()), 0);
}

TEST(UiFiles, ScriptedFileDialogReportsCancelExistingAndNewFiles) {
    const std::string dir = OutPath("ui_dialog");
    QDir().mkpath(QString::fromStdString(dir));
    WriteBytes(dir + "/existing.cfg", "1");
    std::remove((dir + "/fresh.cfg").c_str());
    FileSelectRequest seen;
    std::string answer;
    bool accept = false;
    SetFileSelectScript([&](const FileSelectRequest &r, std::string &p) {
        seen = r;
        p = answer;
        return accept;
    });
    char path[260] = "unchanged";
    EXPECT_EQ(FileSelectPopup(dir.c_str(), "KVEXpara.cfg", "*.cfg", "Parameter File", VAL_OK_BUTTON,
                              0, 1, 1, 1, path),
              VAL_NO_FILE_SELECTED);
    EXPECT_STREQ(path, "unchanged");
    EXPECT_EQ(seen.directory, dir);
    EXPECT_EQ(seen.defaultName, "KVEXpara.cfg");
    EXPECT_EQ(seen.filter, "*.cfg");
    EXPECT_EQ(seen.title, "Parameter File");
    EXPECT_TRUE(seen.save);

    accept = true;
    answer = "existing";  // the filter's extension is added
    EXPECT_EQ(FileSelectPopup(dir.c_str(), "KVEXpara.cfg", "*.cfg", "Load", VAL_LOAD_BUTTON, 0, 1,
                              1, 1, path),
              VAL_EXISTING_FILE_SELECTED);
    EXPECT_EQ(std::string(path), dir + "/existing.cfg");
    EXPECT_FALSE(seen.save);
    answer = dir + "/fresh.cfg";
    EXPECT_EQ(FileSelectPopup(dir.c_str(), "KVEXpara.cfg", "*.cfg", "Load", VAL_LOAD_BUTTON, 0, 1,
                              1, 1, path),
              VAL_NEW_FILE_SELECTED);
    EXPECT_EQ(std::string(path), dir + "/fresh.cfg");
    answer = std::string(300, 'n');
    EXPECT_LT(FileSelectPopup(dir.c_str(), "", "*.cfg", "", VAL_OK_BUTTON, 0, 0, 1, 1, path), 0);
}

// The real dialog, answered by finding it on screen as a person would.
TEST(UiFiles, RealDialogAsksBeforeReplacingAFileAndReportsTheChoice) {
    const std::string dir = OutPath("ui_real_dialog");
    QDir().mkpath(QString::fromStdString(dir));
    WriteBytes(dir + "/KVexRecord.dat", "old");
    std::remove((dir + "/other.dat").c_str());
    SetFileSelectScript({});
    QString title, button;
    bool askedToReplace = false;
    auto answer = [&](const QString &file, bool accept) {
        QTimer::singleShot(50, qApp, [&, file, accept] {
            auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
            ASSERT_NE(dialog, nullptr);
            title = dialog->windowTitle();
            button = dialog->labelText(QFileDialog::Accept);
            if (!accept) return dialog->reject();
            // Pressed all the same, so that a name never taken ends the dialog.
            EXPECT_TRUE(TypeFileName(dialog, file))
                << dialog->selectedFiles().join(' ').toStdString();
            // Replacing asks first; the person says yes.
            QTimer::singleShot(50, qApp, [&] {
                auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
                askedToReplace = box != nullptr;
                if (box) box->button(QMessageBox::Yes)->click();
            });
            QMetaObject::invokeMethod(dialog, "accept");
        });
    };
    char path[260] = "";
    answer("", false);
    EXPECT_EQ(FileSelectPopup(dir.c_str(), "KVexRecord.dat", "*.dat",
                              "Recorder-File:", VAL_OK_BUTTON, 0, 1, 1, 1, path),
              VAL_NO_FILE_SELECTED);
    EXPECT_EQ(title, QStringLiteral("Recorder-File:"));
    EXPECT_EQ(button, QStringLiteral("OK"));
    answer("KVexRecord.dat", true);
    EXPECT_EQ(FileSelectPopup(dir.c_str(), "KVexRecord.dat", "*.dat",
                              "Recorder-File:", VAL_OK_BUTTON, 0, 1, 1, 1, path),
              VAL_EXISTING_FILE_SELECTED);
    EXPECT_TRUE(askedToReplace);
    EXPECT_EQ(std::string(path), dir + "/KVexRecord.dat");
    answer("other", true);
    EXPECT_EQ(FileSelectPopup(dir.c_str(), "KVexRecord.dat", "*.dat", "Load", VAL_LOAD_BUTTON, 0, 1,
                              1, 1, path),
              VAL_NEW_FILE_SELECTED);
    EXPECT_EQ(button, QStringLiteral("Load"));
    EXPECT_EQ(std::string(path), dir + "/other.dat");
}

}  // namespace

namespace {
std::vector<std::string> g_notKept;
}  // namespace

// A change that cannot reach the disk says so: each write returns the fault,
// the system's reason is there to show, and the program is told once, not
// at every change. The settings are made to live under a regular file here.
TEST(UiSettings, AChangeThatCannotBeKeptSaysSoOnce) {
    const std::string dir = OutPath("ui_settings_not_kept");
    QDir().mkpath(QString::fromStdString(dir));
    WriteBytes(dir + "/file", "x");
    const std::string unkeepable = dir + "/file/settings.conf";
    setenv("KVEX_SETTINGS", unkeepable.c_str(), 1);  // before this process's first setting
    g_notKept.clear();
    SetSettingsFaultHandler([](const char *file, const char *why) {
        g_notKept.push_back(std::string(file) + ": " + why);
    });
    EXPECT_EQ(SetSettingText("port/device", "/dev/ttyUSB0"), UIE_FILE);
    EXPECT_EQ(SetSettingNumber("recorder/samples", 50), UIE_FILE);
    char why[200] = "";
    EXPECT_EQ(GetSettingsFault(why, sizeof why), 1);
    EXPECT_STREQ(why, "Not a directory");
    ASSERT_EQ(g_notKept.size(), 1u);
    EXPECT_EQ(g_notKept[0], unkeepable + ": Not a directory");
    SetSettingsFaultHandler(nullptr);
}
