// Context menus, the export and question dialogs with the modal pass, the
// event loop and time.
#include <qcustomplot.h>
#include <sys/resource.h>

#include <QApplication>
#include <QClipboard>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <ctime>
#include <regex>

#include "ui_test_support.h"

using namespace uitest;

namespace {

double CpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// Times this thread went to sleep and was woken since it started.
long ThreadWakeUps() {
    rusage u{};
    getrusage(RUSAGE_THREAD, &u);
    return u.ru_nvcsw;
}

std::vector<std::pair<std::string, int>> reports;

void RecordReport(const char *text, int failed) { reports.emplace_back(text, failed); }

int passCalls = 0, passDepth = 0, passDeepest = 0;
bool passAsks = false;  // the next pass opens a question of its own

void CountingPass() {
    ++passCalls;
    passDeepest = std::max(passDeepest, ++passDepth);
    if (passAsks) {
        passAsks = false;
        ConfirmPopup("From the pass", "Again?");
    }
    --passDepth;
}

// A person taking time to answer, while events go on.
void Hold(double seconds) {
    const double t0 = Timer();
    while (Timer() - t0 < seconds) ProcessSystemEvents();
}

// Right-clicks the widget. The menu pops up and this returns while it is
// open; a menu that ran a loop of its own would hold this until the guard
// closes it, and nothing would be open any more.
QMenu *OpenContextMenu(QWidget *w) {
    QObject guard;
    QTimer::singleShot(3000, &guard, [] {
        if (QWidget *open = QApplication::activePopupWidget()) open->close();
    });
    const QPoint at = w->rect().center();
    QContextMenuEvent event(QContextMenuEvent::Mouse, at, w->mapToGlobal(at));
    QApplication::sendEvent(w, &event);
    return qobject_cast<QMenu *>(QApplication::activePopupWidget());
}

void Choose(QMenu *menu, const QString &item) {
    for (QAction *a : menu->actions())
        if (a->text() == item)
            return QTest::mouseClick(menu, Qt::LeftButton, {}, menu->actionGeometry(a).center());
    ADD_FAILURE() << "no menu item " << item.toStdString();
}

template <class W>
W *ShownWindow() {
    for (QWidget *w : QApplication::topLevelWidgets())
        if (auto *found = qobject_cast<W *>(w); found && found->isVisible()) return found;
    return nullptr;
}
// ---------------------------------------------------------------- menus, dialogs

TEST_F(UiTest, ContextMenusPopUpWithoutALoopOfTheirOwnAndExportsSayWhatBecameOfTheFile) {
    Show();
    const std::string dir = OutPath("ui_export_menu");
    QDir().mkpath(QString::fromStdString(dir));
    std::remove((dir + "/chart.csv").c_str());
    std::string answer = dir + "/chart";
    FileSelectRequest asked;
    SetFileSelectScript([&](const FileSelectRequest &r, std::string &p) {
        asked = r;
        p = answer;
        return true;
    });
    reports.clear();
    SetExportReport(RecordReport);
    QMenu *menu = OpenContextMenu(UiControlPlot(panel, kStrip));
    ASSERT_NE(menu, nullptr);
    Choose(menu, QStringLiteral("Save data as CSV..."));
    EXPECT_TRUE(asked.save);
    EXPECT_EQ(asked.filter, "*.csv");
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].first, "Saved " + dir + "/chart.csv");
    EXPECT_EQ(reports[0].second, 0);
    EXPECT_EQ(ReadBytes(dir + "/chart.csv").rfind("Sample,", 0), 0u);

    answer = OutPath("ui_no_such_folder") + "/chart";
    menu = OpenContextMenu(UiControlPlot(panel, kGraphBar));
    ASSERT_NE(menu, nullptr);
    Choose(menu, QStringLiteral("Save as PNG..."));
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[1].first, "Cannot write " + answer + ".png");
    EXPECT_EQ(reports[1].second, 1);

    // A path the program's check refuses stays as it was, and the report says why.
    SetExportPathCheck([](const char *) -> const char * { return "it is one of the inputs"; });
    const std::string table = ReadBytes(dir + "/chart.csv");
    answer = dir + "/chart";
    menu = OpenContextMenu(UiControlPlot(panel, kStrip));
    ASSERT_NE(menu, nullptr);
    Choose(menu, QStringLiteral("Save data as CSV..."));
    SetExportPathCheck(nullptr);
    ASSERT_EQ(reports.size(), 3u);
    EXPECT_EQ(reports[2],
              std::make_pair("Cannot write " + dir + "/chart.csv: it is one of the inputs", 1));
    EXPECT_EQ(ReadBytes(dir + "/chart.csv"), table);
    answer = OutPath("ui_no_such_folder") + "/chart";

    // Without a report the failure is shown in a box that leaves the loop
    // below running, and goes when it is closed.
    SetExportReport(nullptr);
    menu = OpenContextMenu(UiControlPlot(panel, kGraphBar));
    ASSERT_NE(menu, nullptr);
    Choose(menu, QStringLiteral("Save as PNG..."));
    QPointer<QMessageBox> box = ShownWindow<QMessageBox>();
    ASSERT_FALSE(box.isNull());
    EXPECT_EQ(box->text().toStdString(), "Cannot write " + answer + ".png");
    box->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(box.isNull());
    EXPECT_EQ(reports.size(), 3u);

    // Copy takes the value the operator clicked on, not a later one.
    menu = OpenContextMenu(UiControlWidget(panel, kDisp));
    ASSERT_NE(menu, nullptr);
    const QString clicked = Shown(kDisp);
    SetCtrlVal(panel, kDisp, 12.5);
    Choose(menu, QApplication::translate("QLineEdit", "&Copy"));
    EXPECT_EQ(QGuiApplication::clipboard()->text(), clicked);
    EXPECT_NE(Shown(kDisp), clicked);
}

// Every step returns at once: the dialog and its question are open while
// this test, like a measuring loop, goes on.
TEST_F(UiTest, ExportDialogAsksBeforeReplacingAndNoLeadsBackToIt) {
    Show();
    SetFileSelectScript({});
    const std::string dir = OutPath("ui_export_dialog");
    QDir().mkpath(QString::fromStdString(dir));
    WriteBytes(dir + "/chart.csv", "old");
    reports.clear();
    SetExportReport(RecordReport);
    const auto typeAndAccept = [&](const QString &name) {
        QFileDialog *dialog = ShownWindow<QFileDialog>();
        if (!dialog) return false;
        dialog->setDirectory(QString::fromStdString(dir));
        const bool typed = TypeFileName(dialog, name);
        QMetaObject::invokeMethod(dialog, "accept");  // pressed all the same: the dialog ends
        return typed;
    };
    QMenu *menu = OpenContextMenu(UiControlPlot(panel, kStrip));
    ASSERT_NE(menu, nullptr);
    Choose(menu, QStringLiteral("Save data as CSV..."));
    ASSERT_TRUE(typeAndAccept(QStringLiteral("chart")));
    QMessageBox *ask = ShownWindow<QMessageBox>();
    ASSERT_NE(ask, nullptr);
    EXPECT_TRUE(ask->text().contains(QStringLiteral("chart.csv")));
    EXPECT_EQ(ask->defaultButton(), ask->button(QMessageBox::No));
    ask->button(QMessageBox::No)->click();
    EXPECT_TRUE(reports.empty());
    EXPECT_EQ(ReadBytes(dir + "/chart.csv"), "old");
    ASSERT_TRUE(typeAndAccept(QStringLiteral("chart")));
    ask = ShownWindow<QMessageBox>();
    ASSERT_NE(ask, nullptr);
    ask->button(QMessageBox::Yes)->click();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0], std::make_pair("Saved " + dir + "/chart.csv", 0));
    EXPECT_EQ(ReadBytes(dir + "/chart.csv").rfind("Sample,", 0), 0u);
    EXPECT_EQ(ShownWindow<QFileDialog>(), nullptr);
}

TEST(UiDialogs, ModalPassRunsOnlyWhileADialogIsOpenAndNeverWithinItself) {
    passCalls = passDepth = passDeepest = 0;
    SetModalPass(CountingPass);
    Hold(0.1);
    EXPECT_EQ(passCalls, 0);  // no dialog, no pass

    SetFileSelectScript([](const FileSelectRequest &, std::string &) {
        Hold(0.3);
        return false;
    });
    char path[260] = "";
    EXPECT_EQ(FileSelectPopup("", "a.cfg", "*.cfg", "Load", VAL_LOAD_BUTTON, 0, 1, 1, 1, path),
              VAL_NO_FILE_SELECTED);
    EXPECT_GT(passCalls, 20);
    const int afterFile = passCalls;
    Hold(0.1);
    EXPECT_EQ(passCalls, afterFile);

    std::vector<std::string> asked;
    SetConfirmScript([&](const std::string &title, const std::string &message) {
        asked.push_back(title + ": " + message);
        Hold(title == "From the pass" ? 0.05 : 0.3);
        return title != "Stop?";
    });
    EXPECT_EQ(ConfirmPopup("Stop?", "Stop the recording?"), 0);
    EXPECT_GT(passCalls - afterFile, 20);
    const int afterQuestion = passCalls;
    EXPECT_EQ(ConfirmChoicePopup("Edits", "Discard them?", "Discard edits", "Keep editing"), 1);
    EXPECT_EQ(MessagePopup("Saved", "Parameters written"), 0);
    EXPECT_GT(passCalls - afterQuestion, 40);
    // A pass that asks a question of its own is not run again under it.
    passAsks = true;
    EXPECT_EQ(ConfirmPopup("Outer", "Go on?"), 1);
    EXPECT_EQ(passDeepest, 1);
    EXPECT_EQ(asked, (std::vector<std::string>{"Stop?: Stop the recording?", "Edits: Discard them?",
                                               "Saved: Parameters written", "Outer: Go on?",
                                               "From the pass: Again?"}));
    SetModalPass(nullptr);
    const int cleared = passCalls;
    EXPECT_EQ(ConfirmPopup("Stop?", "Stop the recording?"), 0);
    EXPECT_EQ(passCalls, cleared);
    SetConfirmScript({});
    SetFileSelectScript({});
}

// The real boxes, answered by finding them on screen as a person would.
TEST(UiDialogs, QuestionsTakeTheirButtonTextsAndDefaultToChangingNothing) {
    SetConfirmScript({});
    passCalls = 0;
    SetModalPass(CountingPass);
    QString title, text, defaultText;
    QStringList buttons;
    auto answer = [&](const std::function<void(QMessageBox *)> &act) {
        QTimer::singleShot(100, qApp, [&, act] {
            auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
            ASSERT_NE(box, nullptr);
            title = box->windowTitle();
            text = box->text();
            defaultText = box->defaultButton() ? box->defaultButton()->text() : QString();
            buttons.clear();
            for (QAbstractButton *b : box->buttons()) buttons << b->text();
            act(box);
        });
    };
    answer([](QMessageBox *box) {
        for (QAbstractButton *b : box->buttons())
            if (b->text() == QStringLiteral("Discard edits")) b->click();
    });
    EXPECT_EQ(ConfirmChoicePopup("Edits", "Discard them?", "Discard edits", "Keep editing"), 1);
    EXPECT_EQ(title, QStringLiteral("Edits"));
    EXPECT_EQ(text, QStringLiteral("Discard them?"));
    EXPECT_TRUE(buttons.contains(QStringLiteral("Discard edits")));
    EXPECT_EQ(defaultText, QStringLiteral("Keep editing"));
    EXPECT_GT(passCalls, 3);  // the box ran a loop of its own, and the pass went on

    answer([](QMessageBox *box) { QTest::keyClick(box, Qt::Key_Return); });
    EXPECT_EQ(ConfirmPopup("Stop?", "Stop the recording?"), 0);
    EXPECT_EQ(buttons.size(), 2);
    answer([](QMessageBox *box) { QTest::keyClick(box, Qt::Key_Escape); });
    EXPECT_EQ(ConfirmChoicePopup("Edits", "Discard them?", "Discard edits", "Keep editing"), 0);
    answer([](QMessageBox *box) { box->button(QMessageBox::Yes)->click(); });
    EXPECT_EQ(ConfirmPopup("Stop?", "Stop the recording?"), 1);
    answer([](QMessageBox *box) { box->button(QMessageBox::Ok)->click(); });
    EXPECT_EQ(MessagePopup("Saved", "Parameters written"), 0);
    EXPECT_EQ(text, QStringLiteral("Parameters written"));
    EXPECT_EQ(buttons.size(), 1);
    SetModalPass(nullptr);
}

// ---------------------------------------------------------------- event loop, time

// Promptly means against what the machine gives any thread now: the same
// time spent in plain millisecond sleeps is the measure, so a busy machine
// slows both alike.
TEST(UiEventLoop, ProcessingWaitsInsteadOfSpinningAndStillRunsEventsPromptly) {
    Settle();
    int sleeps = 0;
    for (const double t0 = Timer(); Timer() - t0 < 0.2; ++sleeps) QThread::msleep(1);
    const double wall0 = Timer();
    const double cpu0 = CpuSeconds();
    int calls = 0;
    while (Timer() - wall0 < 0.2) {
        ProcessSystemEvents();
        ++calls;
    }
    const double wall = Timer() - wall0;
    const double cpu = CpuSeconds() - cpu0;
    EXPECT_LT(cpu, 0.5 * wall) << calls << " calls";
    // Each call waits about a millisecond at most: a tenth of the sleeps
    // would be calls that wait ten times as long.
    EXPECT_GT(calls, sleeps / 4) << sleeps << " sleeps of a millisecond in the same time";

    bool ran = false;
    QTimer::singleShot(0, qApp, [&] { ran = true; });
    ProcessSystemEvents();
    EXPECT_TRUE(ran);
    // A timer due in 3 ms runs within the few calls that take that long; a
    // loop that let it wait would need a call per millisecond of its delay.
    ran = false;
    QTimer::singleShot(3, qApp, [&] { ran = true; });
    calls = 0;
    for (const double t0 = Timer(); !ran && Timer() - t0 < 10.0; ++calls) ProcessSystemEvents();
    EXPECT_TRUE(ran);
    EXPECT_LE(calls, 30);
}

// A loop that waits with a deadline sleeps until something happens or the
// deadline comes, and is not woken in between.
TEST(UiEventLoop, WaitsWithADeadlineSleepThroughAndEndAtTheFirstEvent) {
    Settle();
    long wakeUps = ThreadWakeUps();
    double t0 = Timer();
    while (Timer() - t0 < 0.3) ProcessSystemEventsUntil(t0 + 0.3);
    EXPECT_LT(Timer() - t0, 1.3) << "ended long after its deadline";
    EXPECT_LE(ThreadWakeUps() - wakeUps, 4) << "a 1-ms tick would wake it 300 times";

    static int deferredRuns = 0;
    deferredRuns = 0;
    PostDeferredCall([](void *data) { *static_cast<int *>(data) += 1; }, &deferredRuns);
    EXPECT_EQ(deferredRuns, 0) << "a deferred call waits for the event loop";
    t0 = Timer();
    ProcessSystemEventsUntil(t0 + 5.0);
    EXPECT_EQ(deferredRuns, 1);
    EXPECT_LT(Timer() - t0, 4.0) << "slept to the deadline instead of running the call";
    EXPECT_EQ(PostDeferredCall(nullptr, nullptr), UIE_BAD_VALUE);

    bool ran = false;
    QTimer::singleShot(30, qApp, [&] { ran = true; });
    t0 = Timer();
    while (!ran && Timer() - t0 < 5.0) ProcessSystemEventsUntil(t0 + 5.0);
    EXPECT_TRUE(ran);
    EXPECT_LT(Timer() - t0, 4.0) << "slept to the deadline instead of running the timer";
}

TEST(UiEventLoop, DelayRunsNothingAndQuitEndsTheLoopWithItsCode) {
    bool ran = false;
    QTimer::singleShot(0, qApp, [&] { ran = true; });
    const double t0 = Timer();
    Delay(0.05);
    EXPECT_GE(Timer() - t0, 0.049);
    EXPECT_FALSE(ran);
    QTimer::singleShot(5, qApp, [] { QuitUserInterface(7); });
    EXPECT_EQ(RunUserInterface(), 7);
    EXPECT_TRUE(ran);
}

TEST(UiTime, TimerIsMonotonicAndDatesHaveTheirFormats) {
    double last = Timer();
    for (int i = 0; i < 10000; ++i) {
        const double now = Timer();
        ASSERT_GE(now, last);
        last = now;
    }
    EXPECT_TRUE(std::regex_match(DateStr(), std::regex(R"(\d\d-\d\d-\d{4})"))) << DateStr();
    EXPECT_TRUE(std::regex_match(TimeStr(), std::regex(R"(([01]\d|2[0-3]):[0-5]\d:[0-5]\d)")))
        << TimeStr();
    EXPECT_EQ(std::string(DateStr()).substr(6),
              QDate::currentDate().toString("yyyy").toStdString());
}

}  // namespace
