// Remembered settings, in the platform's usual place (QSettings), or in the
// file that KVEX_SETTINGS names (tests, several set-ups on one machine).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QByteArray>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "ui_internal.h"

namespace kvexui {

QSettings &SettingsStore() {
    static std::unique_ptr<QSettings> store;
    if (!store) {
        const char *file = std::getenv("KVEX_SETTINGS");
        if (file && *file)
            store = std::make_unique<QSettings>(QString::fromLocal8Bit(file), QSettings::IniFormat);
        else
            store = std::make_unique<QSettings>(QStringLiteral("Halvor"),
                                                QStringLiteral("K-VEX-RB-ZD-Vedoz"));
    }
    return *store;
}

}  // namespace kvexui

using kvexui::SettingsStore;

namespace {

char g_fault[200] = "";
void (*g_faultHandler)(const char *, const char *) = nullptr;
bool g_faultTold = false;

// What stops the store, in the system's words: it must make its folder and
// write a new copy of the file beside the old one. QSettings says only that
// it failed, so the same steps are tried here to learn why.
const char *WriteProblem(const QString &file) {
    const QByteArray folder = QFile::encodeName(QFileInfo(file).absolutePath());
    int error = 0;
    for (qsizetype at = 1; at <= folder.size() && !error; ++at) {
        if (at < folder.size() && folder[at] != '/') continue;
        const QByteArray part = folder.left(at);
        struct stat st {};
        if (::stat(part.constData(), &st) == 0) {
            if (!S_ISDIR(st.st_mode)) error = ENOTDIR;
        } else if (::mkdir(part.constData(), 0700) != 0) {
            error = errno;
        }
    }
    if (!error) {
        const QByteArray probe = folder + "/.kvex-settings-probe";
        const int fd = ::open(probe.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0) error = errno;
        if (fd >= 0) {
            ::close(fd);
            ::unlink(probe.constData());
        }
    }
    return error ? std::strerror(error) : "the settings file cannot be written";
}

// Writes what changed and tells whether it reached the disk.
int Kept() {
    QSettings &s = SettingsStore();
    s.sync();
    if (s.status() != QSettings::AccessError) {  // a file it could not parse is rewritten
        g_fault[0] = '\0';
        return 0;
    }
    std::snprintf(g_fault, sizeof g_fault, "%s", WriteProblem(s.fileName()));
    if (g_faultHandler && !g_faultTold) {
        g_faultTold = true;
        g_faultHandler(QFile::encodeName(s.fileName()).constData(), g_fault);
    }
    return UIE_FILE;
}

}  // namespace

using namespace kvexui;

int GetSettingsFault(char *why, int size) {
    if (!why || size < 1) return 0;
    std::snprintf(why, static_cast<std::size_t>(size), "%s", g_fault);
    return g_fault[0] != '\0';
}

void SetSettingsFaultHandler(void (*handler)(const char *file, const char *why)) {
    g_faultHandler = handler;
}

int GetSettingsFile(char *path, int size) {
    if (!path || size < 1) return 0;
    const QByteArray name = SettingsStore().fileName().toLocal8Bit();
    path[0] = '\0';
    if (name.isEmpty() || name.size() >= size) return 0;
    std::memcpy(path, name.constData(), static_cast<std::size_t>(name.size()) + 1);
    return 1;
}

int GetSettingText(const char *key, char *value, int size) {
    if (!key || !value || size < 1) return 0;
    value[0] = '\0';
    const QVariant v = SettingsStore().value(QString::fromUtf8(key));
    if (!v.isValid()) return 0;
    const QByteArray text = v.toString().toUtf8();
    if (text.size() >= size) return 0;  // cut, it would name something else
    std::memcpy(value, text.constData(), static_cast<std::size_t>(text.size()) + 1);
    return 1;
}

int GetSettingNumber(const char *key, int fallback) {
    if (!key) return fallback;
    bool ok = false;
    const int n = SettingsStore().value(QString::fromUtf8(key)).toInt(&ok);
    return ok ? n : fallback;
}

int SetSettingText(const char *key, const char *value) {
    if (!key || !value) return UIE_BAD_ARGUMENT;
    SettingsStore().setValue(QString::fromUtf8(key), QString::fromUtf8(value));
    return Kept();  // a crash later loses nothing the operator set
}

int SetSettingNumber(const char *key, int value) {
    if (!key) return UIE_BAD_ARGUMENT;
    SettingsStore().setValue(QString::fromUtf8(key), value);
    return Kept();
}

void ForgetSettings() {
    SettingsStore().clear();
    SettingsStore().sync();
}
