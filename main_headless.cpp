// Process entry of the verbs that need no window (info, record, publish):
// the program `kvex` hands them over to this one, which links nothing of
// the window system, so a station's process maps no widgets.
#include <QString>
#include <QtGlobal>
#include <cstdio>

#include "kvex_cli.h"
#include "ui.h"

namespace {

// A script reads the verbs' standard error: the toolkit's own notes stay
// off it.
void KeepToolkitQuiet(QtMsgType type, const QMessageLogContext &, const QString &message) {
    if (type == QtFatalMsg) std::fprintf(stderr, "kvex: %s\n", message.toLocal8Bit().constData());
}

}  // namespace

int main(int argc, char **argv) {
    qInstallMessageHandler(KeepToolkitQuiet);
    const int code = RunKVexVerb(argc, argv);
    CloseRunTime();
    return code;
}
