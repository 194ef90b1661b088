// The run-time's life cycle, event loop, timing and dates: all a program
// without windows needs (ui_app.cpp adds the windows).
#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <unordered_map>

#include "ui_internal.h"

namespace kvexui {
namespace {

QCoreApplication *app = nullptr;
void (*closingWindows)() = nullptr;  // the windows' end, before the application's
QTimer *wakeTimer = nullptr;         // bounds the wait of ProcessSystemEvents
int callbackDepth = 0;
int runDepth = 0;          // RunUserInterface calls in progress
bool quitPending = false;  // QuitUserInterface came while no loop ran
int quitCode = 0;

ModalPassPtr modalPass = nullptr;
QTimer *passTimer = nullptr;  // runs the modal pass while a modal dialog is open
int modalDepth = 0;           // modal dialogs (and scripts standing in for them) open
bool inPass = false;

void RunModalPass() {
    // A pass that waits for a reply processes events, and with them this
    // timer; a dialog that the pass itself opened must not run it again.
    if (!modalPass || inPass) return;
    inPass = true;
    const CallbackScope program;
    modalPass();
    inPass = false;
}

// Without a pass the timer stays off: a dialog left open for an hour should
// not wake the program 500 times a second for nothing.
void UpdatePassTimer() {
    if (!passTimer) return;
    const bool due = modalDepth > 0 && modalPass;
    if (due && !passTimer->isActive()) passTimer->start();
    if (!due) passTimer->stop();
}

QElapsedTimer &Clock() {
    static QElapsedTimer clock = [] {
        QElapsedTimer t;
        t.start();
        return t;
    }();
    return clock;
}

// The wake and pass timers, and the clock, for either kind of application.
void StartTimers();

}  // namespace

bool RunTimeReady() { return app != nullptr; }

int AdoptApplication(QCoreApplication *application, void (*closing)()) {
    app = application;
    closingWindows = closing;
    StartTimers();
    return 0;
}

bool InCallback() { return callbackDepth > 0; }

CallbackScope::CallbackScope() { ++callbackDepth; }

CallbackScope::~CallbackScope() { --callbackDepth; }

ModalScope::ModalScope() {
    ++modalDepth;
    UpdatePassTimer();
}

ModalScope::~ModalScope() {
    --modalDepth;
    UpdatePassTimer();
}

}  // namespace kvexui

using namespace kvexui;

void SetModalPass(ModalPassPtr pass) {
    modalPass = pass;
    UpdatePassTimer();
}

int InitCoreRunTime() {
    if (app) return 0;
    static int appArgc = 1;
    static char *appArgv[] = {const_cast<char *>("kvex"), nullptr};
    // Qt's own event loop, not GLib's: GLib wakes its loop through a
    // descriptor each time a notifier is turned on or off, which the port
    // does twice an exchange. Set only for the making of the application
    // and only if the user has not chosen.
    const bool chosen = qEnvironmentVariableIsSet("QT_NO_GLIB");
    if (!chosen) qputenv("QT_NO_GLIB", "1");
    app = new QCoreApplication(appArgc, appArgv);
    if (!chosen) qunsetenv("QT_NO_GLIB");
    StartTimers();
    return 0;
}

namespace kvexui {
namespace {

void StartTimers() {
    wakeTimer = new QTimer(app);
    wakeTimer->setSingleShot(true);
    wakeTimer->setTimerType(Qt::PreciseTimer);
    // Precise: a coarse timer may fire up to 5 % late, and the pass stands in
    // for a loop that polls every millisecond or two.
    passTimer = new QTimer(app);
    passTimer->setTimerType(Qt::PreciseTimer);
    passTimer->setInterval(std::chrono::milliseconds(2));
    QObject::connect(passTimer, &QTimer::timeout, app, RunModalPass);
    Clock();
}

}  // namespace
}  // namespace kvexui

void CloseRunTime() {
    if (!app) return;
    if (closingWindows) closingWindows();
    closingWindows = nullptr;
    delete app;
    app = nullptr;
    wakeTimer = nullptr;
    passTimer = nullptr;
}

int RunUserInterface() {
    if (!app) return UIE_NOT_INITIALISED;
    if (quitPending) {
        quitPending = false;
        return quitCode;
    }
    ++runDepth;
    const int code = QCoreApplication::exec();
    --runDepth;
    quitPending = false;
    return code;
}

int QuitUserInterface(int code) {
    if (!app) return UIE_NOT_INITIALISED;
    quitCode = code;
    if (runDepth == 0) quitPending = true;
    QCoreApplication::exit(code);
    return 0;
}

int ProcessSystemEvents() { return ProcessSystemEventsUntil(Timer() + 0.001); }

int ProcessSystemEventsUntil(double deadline) {
    if (!app) return UIE_NOT_INITIALISED;
    QAbstractEventDispatcher *dispatcher = QAbstractEventDispatcher::instance();
    if (!dispatcher) return UIE_NOT_INITIALISED;
    if (dispatcher->processEvents(QEventLoop::AllEvents)) return 0;
    // Nothing was pending: sleep until the next event or the deadline. Qt's
    // timers count whole milliseconds, so the wake-up is rounded up and the
    // caller, which compares with its own deadline, never wakes early twice.
    const double left = deadline - Timer();
    if (!(left > 0)) return 0;
    const double ms = std::ceil(std::min(left, 86400.0) * 1000.0);
    wakeTimer->start(std::chrono::milliseconds(static_cast<long long>(ms)));
    dispatcher->processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    wakeTimer->stop();
    return 0;
}

int PostDelayedCall(double seconds, DeferredCallbackPtr fn, void *data) {
    if (!app) return UIE_NOT_INITIALISED;
    if (!fn || !(seconds >= 0) || seconds > 86400) return UIE_BAD_VALUE;
    QTimer::singleShot(static_cast<int>(seconds * 1000), app, [fn, data] {
        ++callbackDepth;
        fn(data);
        --callbackDepth;
    });
    return 0;
}

int PostDeferredCall(DeferredCallbackPtr fn, void *data) {
    if (!app) return UIE_NOT_INITIALISED;
    if (!fn) return UIE_BAD_VALUE;
    QMetaObject::invokeMethod(
        app,
        [fn, data] {
            ++callbackDepth;
            fn(data);
            --callbackDepth;
        },
        Qt::QueuedConnection);
    return 0;
}

double Timer() { return static_cast<double>(Clock().nsecsElapsed()) / 1e9; }

void Delay(double seconds) {
    if (!(seconds > 0)) return;
    if (seconds > 86400) seconds = 86400;
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

const char *DateStr() {
    static char text[11];
    const QByteArray s = QDate::currentDate().toString(QStringLiteral("MM-dd-yyyy")).toLatin1();
    std::snprintf(text, sizeof text, "%s", s.constData());
    return text;
}

const char *TimeStr() {
    static char text[9];
    const QByteArray s = QTime::currentTime().toString(QStringLiteral("HH:mm:ss")).toLatin1();
    std::snprintf(text, sizeof text, "%s", s.constData());
    return text;
}
