// Shared by the tests of the user-interface run-time: a panel file loaded
// for each test, callbacks that record the events they get, and helpers
// for files and for letting events run.
#pragma once

#include <gtest/gtest.h>

#include <QAccessible>
#include <QFileDialog>
#include <QFileInfo>
#include <QLineEdit>
#include <QTest>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "ui.h"
#include "ui_qt.h"
#include "ui_testing.h"

namespace uitest {

struct Event {
    int control;
    int event;
};

inline std::vector<Event> events;
inline std::vector<int> panelEvents;
inline int panelsLoaded = 0;  // panels this process loaded before the current test

inline int CC_Record(int, int control, int event, void *, int, int) {
    events.push_back({control, event});
    return 0;
}

inline int CC_TestPanel(int, int event, void *, int, int) {
    panelEvents.push_back(event);
    return 0;
}

inline const std::string kFixture = std::string(KVEX_TEST_FIXTURES) + "/ui_test_panels.uir";

inline std::string OutPath(const std::string &name) {
    return std::string(KVEX_TEST_OUTPUT) + "/" + name;
}

inline std::string ReadBytes(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

inline void WriteBytes(const std::string &path, const std::string &bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

inline void Pump(double seconds) {
    const double t0 = Timer();
    while (Timer() - t0 < seconds) ProcessSystemEventsUntil(t0 + seconds);
}

inline void Settle() {
    for (int i = 0; i < 20; ++i) ProcessSystemEvents();
}

// Types a name into a file dialog's name field as a person does, looking
// before pressing OK: the dialog selects its default file when the folder's
// listing arrives, which on a busy machine can come after the typing.
inline bool TypeFileName(QFileDialog *dialog, const QString &name) {
    auto *edit = dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"));
    if (!edit) return false;
    return QTest::qWaitFor(
        [&] {
            // Typed anew each time: a listing that came after the typing
            // selected the default file, and the same text set again would
            // change nothing.
            edit->clear();
            edit->setText(name);
            QTest::qWait(20);
            return QFileInfo(dialog->selectedFiles().value(0)).fileName().startsWith(name);
        },
        60000);
}

enum {
    kCmd = 2,
    kToggle = 3,
    kRadio = 4,
    kRing = 5,
    kNum = 6,
    kDisp = 7,
    kSlide = 8,
    kStatus = 9,
    kBox = 10,
    kGraphBar = 11,
    kGraphVideo = 12,
    kStrip = 13,
    kLogo = 14,
    kBand = 15,
    kLimited = 16,
    kReal = 17,
    kBig = 18,
    kWord = 19,
    kSigned = 20,
    kRadio2 = 22,
    kPixel = 23,
};

class UiTest : public ::testing::Test {
  protected:
    void SetUp() override {
        RegisterCtrlCallback("CC_Record", CC_Record);
        RegisterPanelCallback("CC_TestPanel", CC_TestPanel);
        firstLoad = panelsLoaded == 0;
        panel = LoadPanel(0, kFixture.c_str(), 10);
        ++panelsLoaded;
        ASSERT_GT(panel, 0);
        events.clear();
        panelEvents.clear();
    }
    void TearDown() override {
        DiscardPanel(panel);
        SetFileSelectScript({});
        SetConfirmScript({});
        SetExportReport(nullptr);
        SetModalPass(nullptr);
        Settle();
    }
    void Show() {
        DisplayPanel(panel);
        ASSERT_TRUE(QTest::qWaitForWindowExposed(UiPanelWidget(panel)));
        Settle();
        events.clear();
    }
    template <class W>
    W *Widget(int control) {
        auto *w = qobject_cast<W *>(UiControlWidget(panel, control));
        EXPECT_NE(w, nullptr);
        return w;
    }
    // What a display shows, as a screen reader reads it.
    QString Shown(int control) {
        QAccessibleInterface *a =
            QAccessible::queryAccessibleInterface(UiControlWidget(panel, control));
        EXPECT_NE(a, nullptr);
        return a ? a->text(QAccessible::Value) : QString();
    }
    int panel = 0;
    bool firstLoad = false;
};
}  // namespace uitest
