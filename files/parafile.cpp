// The parameter file: both frames as 30 numbers, one per line, right-aligned
// in 10 characters, CR LF.
#include "parafile.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "com232.h"
#include "file_checks.h"
#include "file_messages.h"
#include "parameter_panels.h"
#include "session.h"
#include "ui.h"

namespace {

constexpr int kValues = 30;
char g_fault[64];  // why the last save or load failed

// Reads at most PARAFILE_MAX_BYTES + 1 bytes: enough to tell an oversized
// file. Only a regular file is opened, so a FIFO or a device never holds the
// program.
long ReadBounded(const char *path, char *buffer, std::size_t size, const char **why) {
    const int fd = OpenRegularFile(path, why);
    if (fd < 0) return -1;
    std::size_t n = 0;
    while (n < size) {
        const ssize_t got = ::read(fd, buffer + n, size - n);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) *why = FileErrorText(errno);
        if (got <= 0) break;
        n += static_cast<std::size_t>(got);
    }
    ::close(fd);
    return *why ? -1 : static_cast<long>(n);
}

}  // namespace

// The file is replaced only by a copy written whole: a failed save leaves the
// last good file as it was.
void SendParaToFile() {
    GetPanelValues();
    unsigned int values[kValues];
    CopyVarsToPP(0);
    for (int i = 0; i < 15; ++i) values[i] = pp[i];
    CopyVarsToPP(1);
    for (int i = 0; i < 15; ++i) values[15 + i] = pp[i];

    static SafeSave save;
    const char *why = WindowOutputRefused(file_name);
    bool saved = !why && BeginSafeSave(file_name, save, &why);
    if (saved) {
        errno = 0;
        saved = ArrayToFile(save.temporary, values, VAL_UNSIGNED_INTEGER, kValues, 1,
                            VAL_GROUPS_TOGETHER, VAL_GROUPS_AS_COLUMNS, VAL_CONST_WIDTH, 10,
                            VAL_ASCII, VAL_TRUNCATE) == 0;
        if (!saved) {
            why = errno ? FileErrorText(errno) : "write failed";
            AbandonSafeSave(save);
        } else {
            saved = FinishSafeSave(save, &why);
        }
    }
    std::snprintf(g_fault, sizeof g_fault, "%s", saved ? "" : why);
    char text[72];
    if (saved) {
        FormatFileMessage(text, sizeof text, "Parameters saved: ", file_name);
        RememberFolder("parameters/folder", file_name);
    } else {
        char prefix[72];
        std::snprintf(prefix, sizeof prefix, "Cannot write parameter file (%s) ", why);
        FormatFileMessage(text, sizeof text, prefix, file_name);
    }
    ShowStatusText(text);
}

// A file that cannot be read leaves the parameter words as they were; the
// reason stays in szStatus, which the get operation shows next.
int ReadParaFromFile() {
    char path[260] = "", folder[260];
    RememberedFolder("parameters/folder", folder);
    if (FileSelectPopup(folder, "KVEXpara.cfg", "*.cfg", "K-VEX-RB-Series-Parameter-File",
                        VAL_LOAD_BUTTON, 0, 1, 1, 1, path) <= 0)
        return 0;
    return ReadParaFromPath(path);
}

const char *ParameterFileFault() { return g_fault; }

int ReadParaFromPath(const char *path) {
    std::snprintf(file_name, sizeof file_name, "%s", path);

    static char text[PARAFILE_MAX_BYTES + 1];
    const char *failure = nullptr;
    const long n = ReadBounded(file_name, text, sizeof text, &failure);
    char why[48] = "cannot be read";
    unsigned short words[kValues];
    bool ok = false;
    if (failure)
        std::snprintf(why, sizeof why, "%s", failure);
    else if (n > static_cast<long>(PARAFILE_MAX_BYTES))
        std::snprintf(why, sizeof why, "too large for a parameter file");
    else if (n >= 0)
        ok = ParseParameterText(text, static_cast<std::size_t>(n), words, why, sizeof why) == 1 &&
             RefuseWordsOutsideControls(words, why, sizeof why) == 0;
    std::snprintf(g_fault, sizeof g_fault, "%s", ok ? "" : why);
    if (!ok) {
        char prefix[64];
        std::snprintf(prefix, sizeof prefix, "Not loaded, %s: ", why);
        FormatFileMessage(szStatus, sizeof szStatus, prefix, file_name);
        return 0;
    }
    for (int i = 0; i < 15; ++i) pp[i] = words[i];
    CopyPPtoVars(0);
    for (int i = 0; i < 15; ++i) pp[i] = words[15 + i];
    CopyPPtoVars(1);
    FormatFileMessage(szStatus, sizeof szStatus, "Parameters loaded: ", file_name);
    RememberFolder("parameters/folder", file_name);
    return 1;
}
