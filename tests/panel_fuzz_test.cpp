// Damaged panel files of every kind: loading answers with a handle or a
// negative code, and never reads outside what it was given (the sanitizers of
// the test build watch). The program's own start-up either refuses a damaged
// file with one line saying why, or has every control it needs.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QFile>
#include <random>
#include <string>

#include "com232.h"
#include "kvex_main.h"
#include "ui.h"

namespace {

QByteArray RealPanelFile() {
    QFile f(QCoreApplication::applicationDirPath() + "/K-VEX-RB-ZD-VedudU300.uir");
    f.open(QIODevice::ReadOnly);
    return f.readAll();
}

// One of: a flipped byte, a cut, a duplicated slice, a number made huge or
// negative, a string where a number stood.
QByteArray Damage(QByteArray text, std::mt19937 &rng) {
    std::uniform_int_distribution<int> pos(0, static_cast<int>(text.size()) - 1);
    switch (rng() % 5) {
        case 0:
            text[pos(rng)] = static_cast<char>(rng());
            break;
        case 1:
            text.truncate(pos(rng));
            break;
        case 2: {
            const int at = pos(rng);
            text.insert(at, text.mid(pos(rng), 40));
            break;
        }
        case 3: {
            const int at = text.indexOf(':', pos(rng));
            if (at > 0) text.insert(at + 1, rng() % 2 ? " -99999999999" : " 1e308,\"x\":");
            break;
        }
        default: {
            const int at = text.indexOf("\"id\": ", pos(rng));
            if (at > 0) text.replace(at, 6, "\"id\": \"seven\", \"y\": ");
            break;
        }
    }
    return text;
}

}  // namespace

TEST(PanelFileFuzz, DamagedFilesLoadOrFailButNeverCrash) {
    const QByteArray original = RealPanelFile();
    ASSERT_FALSE(original.isEmpty());
    const std::string path = std::string(KVEX_TEST_OUTPUT) + "/fuzz.uir";
    std::mt19937 rng(20261207);
    int loaded = 0, refused = 0;
    for (int round = 0; round < 300; ++round) {
        QFile f(QString::fromStdString(path));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(Damage(original, rng));
        f.close();
        for (int resource : {1, 2, 3, 4, 5}) {
            const int handle = LoadPanel(0, path.c_str(), resource);
            if (handle > 0) {
                ++loaded;
                DiscardPanel(handle);
            } else {
                ++refused;
            }
        }
    }
    EXPECT_GT(loaded, 0);
    EXPECT_GT(refused, 0);
}

namespace {

void ForgetPanels() {
    DiscardKVexPanels();
    pHandle = pPara1 = pPara2 = pCalib = panelPopUp = 0;
}

}  // namespace

TEST(PanelFileFuzz, StartUpRefusesWithOneLineOrHasEveryControlItNeeds) {
    const QByteArray original = RealPanelFile();
    ASSERT_FALSE(original.isEmpty());
    const std::string path = std::string(KVEX_TEST_OUTPUT) + "/fuzz-startup.uir";
    std::mt19937 rng(7122026);
    int started = 0, refused = 0;
    for (int round = 0; round < 200; ++round) {
        QFile f(QString::fromStdString(path));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        // Most damage is refused; a changed label is damage that must start.
        f.write(round == 0
                    ? QByteArray(original).replace("\"label\": \"Run\"", "\"label\": \"Rum\"")
                    : Damage(original, rng));
        f.close();
        testing::internal::CaptureStderr();
        const int result = LoadKVexPanels(path.c_str());
        const std::string said = testing::internal::GetCapturedStderr();
        if (result < 0) {
            ++refused;
            EXPECT_EQ(0u, said.find("kvex: panel file ")) << said;
            EXPECT_EQ(said.size() - 1, said.find('\n')) << "one line: " << said;
        } else {
            ++started;
            EXPECT_EQ("", said);
            StartKVex(false);
            // Texts reach the status line, so nothing the operator must
            // learn goes nowhere.
            ShowStatusText("fuzz round");
            char shown[80] = "";
            EXPECT_EQ(0, GetCtrlVal(pHandle, PANEL_StatusLine, shown, sizeof shown));
            EXPECT_STREQ("fuzz round", shown);
        }
        ForgetPanels();
    }
    EXPECT_GT(started, 0);
    EXPECT_GT(refused, 0);
}
