// The kvex program as a process of its own, started by every test alike: the
// binary beside the test's, an environment that carries nothing of the
// test's own session, and an end that is waited for, never guessed.
#pragma once

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QThread>
#include <functional>
#include <utility>

#include "free_port.h"

namespace kvextest {

struct Finished {
    int code = -1;  // -1: it crashed or never ended
    QString out, err;
};

// A folder of the test's own under the build tree, emptied.
inline QString FreshDir(const QString &name) {
    const QString dir = QStringLiteral(KVEX_TEST_OUTPUT "/") + name;
    QDir(dir).removeRecursively();
    QDir().mkpath(dir);
    return dir;
}

inline QString KvexProgram() { return QCoreApplication::applicationDirPath() + "/kvex"; }

// No leak report at the sanitizer build's exit, offscreen, no session's
// runtime folder (as root without one the toolkit would complain of it),
// and no password or credentials from the test's own environment; more
// adds to it or replaces.
inline QProcessEnvironment KvexEnvironment(const QProcessEnvironment &more = {}) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("ASAN_OPTIONS", "detect_leaks=0");
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.remove("XDG_RUNTIME_DIR");
    env.remove("KVEX_MQTT_PASSWORD");
    env.remove("CREDENTIALS_DIRECTORY");
    env.insert(more);
    return env;
}

inline QProcessEnvironment Env(std::initializer_list<std::pair<QString, QString>> variables) {
    QProcessEnvironment env;
    for (const auto &[name, value] : variables) env.insert(name, value);
    return env;
}

inline void PrepareKvex(QProcess &p, const QProcessEnvironment &more = {}) {
    p.setProcessEnvironment(KvexEnvironment(more));
}

// Polls until what returns true, at most seconds: the test's own patience,
// not a bound the program must meet.
inline bool Within(double seconds, const std::function<bool()> &what) {
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < seconds * 1000) {
        if (what()) return true;
        QThread::msleep(50);
    }
    return what();
}

// Runs a program to its end with kvex's environment; one that has not ended
// after the bound (only a hung program reaches it) is killed and gives -1.
inline Finished RunProgram(const QString &program, const QStringList &args,
                           const QProcessEnvironment &more = {},
                           const std::function<void()> &inChild = nullptr) {
    QProcess p;
    PrepareKvex(p, more);
    if (inChild) p.setChildProcessModifier(inChild);
    p.start(program, args);
    if (!p.waitForFinished(180000)) {
        p.kill();
        p.waitForFinished(5000);
        return {-1, {}, program + " did not end within 180 s"};
    }
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1,
            QString::fromUtf8(p.readAllStandardOutput()),
            QString::fromUtf8(p.readAllStandardError())};
}

// Reads what a running process writes to standard error, into said, until
// it holds text; false when the process ended or the bound passed first.
inline bool UntilSaid(QProcess &p, QString &said, const QString &text, int seconds = 60) {
    QElapsedTimer clock;
    clock.start();
    while (!said.contains(text) && clock.elapsed() < seconds * 1000 &&
           p.state() == QProcess::Running) {
        p.waitForReadyRead(100);
        said += QString::fromUtf8(p.readAllStandardError());
    }
    said += QString::fromUtf8(p.readAllStandardError());
    return said.contains(text);
}

inline Finished RunKvex(const QStringList &args, const QProcessEnvironment &more = {},
                        const std::function<void()> &inChild = nullptr) {
    return RunProgram(KvexProgram(), args, more, inChild);
}

}  // namespace kvextest
