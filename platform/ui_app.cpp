// The run-time with windows: the application object that shows them, and
// the callbacks that the operator's input fires on panels and controls.
#include <QApplication>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_map>

#include "ui_internal.h"

namespace kvexui {
namespace {

std::unordered_map<std::string, CtrlCallbackPtr> &CtrlCallbacks() {
    static std::unordered_map<std::string, CtrlCallbackPtr> table;
    return table;
}

std::unordered_map<std::string, PanelCallbackPtr> &PanelCallbacks() {
    static std::unordered_map<std::string, PanelCallbackPtr> table;
    return table;
}

// QApplication ends the process when its platform plugin cannot start, so the
// cases that cannot work are refused first: a desktop platform with nothing to
// show windows on.
bool WindowSystemReachable(int argc, char **argv) {
#if defined(Q_OS_UNIX) && !defined(Q_OS_MACOS)
    for (int i = 1; i < argc; ++i)
        if (argv && argv[i] && std::strcmp(argv[i], "-platform") == 0) return true;
    const char *platform = std::getenv("QT_QPA_PLATFORM");
    if (platform && *platform && std::strncmp(platform, "xcb", 3) != 0 &&
        std::strncmp(platform, "wayland", 7) != 0)
        return true;  // offscreen, minimal, vnc, eglfs, linuxfb, ...
    const char *display = std::getenv("DISPLAY");
    const char *wayland = std::getenv("WAYLAND_DISPLAY");
    return (display && *display) || (wayland && *wayland);
#else
    (void)argc;
    (void)argv;
    return true;
#endif
}

ControlEventObserverPtr controlObserver = nullptr;

}  // namespace

bool WindowsReady() {
    return qobject_cast<QApplication *>(QCoreApplication::instance()) != nullptr;
}

CtrlCallbackPtr LookupCtrlCallback(const QString &name) {
    const auto it = CtrlCallbacks().find(name.toStdString());
    return it == CtrlCallbacks().end() ? nullptr : it->second;
}

PanelCallbackPtr LookupPanelCallback(const QString &name) {
    const auto it = PanelCallbacks().find(name.toStdString());
    return it == PanelCallbacks().end() ? nullptr : it->second;
}

void FireControl(int panel, int control, int event) {
    if (controlObserver && FindControl(panel, control)) controlObserver(panel, control, event);
    const Control *c = FindControl(panel, control);
    if (!c || !c->callback) return;
    const CtrlCallbackPtr fn = c->callback;  // c may be gone once fn returns
    const CallbackScope program;
    fn(panel, control, event, nullptr, 0, 0);
}

void FirePanel(int panel, int event) {
    const Panel *p = FindPanel(panel);
    if (!p || !p->callback) return;
    const PanelCallbackPtr fn = p->callback;
    const CallbackScope program;
    fn(panel, event, nullptr, 0, 0);
}

}  // namespace kvexui

using namespace kvexui;

void SetControlEventObserver(ControlEventObserverPtr observer) { controlObserver = observer; }

void RegisterCtrlCallback(const char *name, CtrlCallbackPtr fn) {
    if (name) CtrlCallbacks()[name] = fn;
}

void RegisterPanelCallback(const char *name, PanelCallbackPtr fn) {
    if (name) PanelCallbacks()[name] = fn;
}

int InitRunTime(int argc, char **argv) {
    if (RunTimeReady()) return 0;
    if (!WindowSystemReachable(argc, argv)) return -1;
    // QApplication keeps references to both for its whole life.
    static int appArgc = 0;
    static char *fallbackArgv[] = {const_cast<char *>("kvex"), nullptr};
    appArgc = (argc > 0 && argv) ? argc : 1;
    auto *app = new QApplication(appArgc, (argc > 0 && argv) ? argv : fallbackArgv);
    QApplication::setQuitOnLastWindowClosed(false);
    return AdoptApplication(app, DiscardAllPanels);
}
