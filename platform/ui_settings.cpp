// Remembered settings, in the platform's usual place (QSettings), or in the
// file that KVEX_SETTINGS names (tests, several set-ups on one machine).
#include <QByteArray>
#include <QSettings>
#include <QWidget>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "ui_internal.h"

namespace {

QSettings &Store() {
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

}  // namespace

using namespace kvexui;

int GetSettingsFile(char *path, int size) {
    if (!path || size < 1) return 0;
    const QByteArray name = Store().fileName().toLocal8Bit();
    path[0] = '\0';
    if (name.isEmpty() || name.size() >= size) return 0;
    std::memcpy(path, name.constData(), static_cast<std::size_t>(name.size()) + 1);
    return 1;
}

int GetSettingText(const char *key, char *value, int size) {
    if (!key || !value || size < 1) return 0;
    value[0] = '\0';
    const QVariant v = Store().value(QString::fromUtf8(key));
    if (!v.isValid()) return 0;
    const QByteArray text = v.toString().toUtf8();
    if (text.size() >= size) return 0;  // cut, it would name something else
    std::memcpy(value, text.constData(), static_cast<std::size_t>(text.size()) + 1);
    return 1;
}

int GetSettingNumber(const char *key, int fallback) {
    if (!key) return fallback;
    bool ok = false;
    const int n = Store().value(QString::fromUtf8(key)).toInt(&ok);
    return ok ? n : fallback;
}

void SetSettingText(const char *key, const char *value) {
    if (!key || !value) return;
    Store().setValue(QString::fromUtf8(key), QString::fromUtf8(value));
    Store().sync();  // a crash later loses nothing the operator set
}

void SetSettingNumber(const char *key, int value) {
    if (!key) return;
    Store().setValue(QString::fromUtf8(key), value);
    Store().sync();
}

void ForgetSettings() {
    Store().clear();
    Store().sync();
}

int RememberPanelGeometry(int panel) {
    const Panel *p = FindPanel(panel);
    if (!p) return UIE_BAD_PANEL;
    if (p->parent != 0) return UIE_BAD_ARGUMENT;
    Store().setValue(QStringLiteral("window/") + p->name, p->widget->saveGeometry());
    Store().sync();
    return 0;
}

int RestorePanelGeometry(int panel) {
    Panel *p = FindPanel(panel);
    if (!p) return UIE_BAD_PANEL;
    if (p->parent != 0) return UIE_BAD_ARGUMENT;
    const QByteArray saved = Store().value(QStringLiteral("window/") + p->name).toByteArray();
    if (saved.isEmpty() || !p->widget->restoreGeometry(saved)) return 0;
    // Qt keeps a restored window on a screen; the first show then leaves it.
    p->shownOnce = true;
    return 1;
}
