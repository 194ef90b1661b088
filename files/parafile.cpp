// The parameter file: both frames as 30 numbers, one per line, right-aligned
// in 10 characters, CR LF.
#include "parafile.h"

#include <cstdio>
#include <cstring>

#include "com232.h"
#include "file_messages.h"
#include "kvex_main.h"
#include "ui.h"

namespace {

constexpr int kValues = 30;

bool IsSeparator(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f' || c == ',';
}

// Text files hold printable characters and white space, nothing else.
bool LooksBinary(const char *text, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c >= 0x80 || (c < 0x20 && !IsSeparator(static_cast<char>(c)))) return true;
    }
    return false;
}

// Reads at most PARAFILE_MAX_BYTES + 1 bytes: enough to tell an oversized file.
long ReadBounded(const char *path, char *buffer, std::size_t size) {
    std::FILE *f = std::fopen(path, "rb");
    if (!f) return -1;
    const std::size_t n = std::fread(buffer, 1, size, f);
    const bool failed = std::ferror(f) != 0;
    std::fclose(f);
    return failed ? -1 : static_cast<long>(n);
}

}  // namespace

int ParseParameterText(const char *text, std::size_t size, unsigned short *words, char *why,
                       std::size_t whySize) {
    if (LooksBinary(text, size)) {
        std::snprintf(why, whySize, "not a text file");
        return 0;
    }
    unsigned short found[kValues];
    int count = 0, line = 1;
    std::size_t i = 0;
    while (i < size) {
        if (IsSeparator(text[i])) {
            if (text[i] == '\n') ++line;
            ++i;
            continue;
        }
        std::size_t end = i;
        while (end < size && !IsSeparator(text[end])) ++end;
        const int length = static_cast<int>(end - i);
        const char *token = text + i;
        if (count == kValues) {
            std::snprintf(why, whySize, "line %d: more than 30 numbers", line);
            return 0;
        }
        unsigned long value = 0;
        bool digits = true;
        for (std::size_t k = i; k < end && digits; ++k) {
            digits = text[k] >= '0' && text[k] <= '9';
            if (digits && value <= 65535) value = value * 10 + static_cast<unsigned>(text[k] - '0');
        }
        if (!digits || value > 65535) {
            std::snprintf(why, whySize, "line %d: %.*s%s not 0..65535", line,
                          length > 12 ? 12 : length, token, length > 12 ? "..." : "");
            return 0;
        }
        found[count++] = static_cast<unsigned short>(value);
        i = end;
    }
    if (count < kValues) {
        std::snprintf(why, whySize, "only %d of 30 numbers", count);
        return 0;
    }
    std::memcpy(words, found, sizeof found);
    return 1;
}

// The file is replaced only by a copy written whole: a failed save leaves the
// last good file as it was.
void SendParaToFile() {
    GetPanelValues();
    unsigned int values[kValues];
    CopyVarsToPP(0);
    for (int i = 0; i < 15; ++i) values[i] = pp[i];
    CopyVarsToPP(1);
    for (int i = 0; i < 15; ++i) values[15 + i] = pp[i];

    char temporary[280];
    std::snprintf(temporary, sizeof temporary, "%s.tmp", file_name);
    const bool saved =
        ArrayToFile(temporary, values, VAL_UNSIGNED_INTEGER, kValues, 1, VAL_GROUPS_TOGETHER,
                    VAL_GROUPS_AS_COLUMNS, VAL_CONST_WIDTH, 10, VAL_ASCII, VAL_TRUNCATE) == 0 &&
        std::rename(temporary, file_name) == 0;
    if (!saved) std::remove(temporary);
    char text[72];
    FormatFileMessage(text, sizeof text,
                      saved ? "Parameters saved: " : "Cannot write parameter file ", file_name);
    ShowStatusText(text);
}

// A file that cannot be read leaves the parameter words as they were; the
// reason stays in szStatus, which the get operation shows next.
int ReadParaFromFile() {
    char path[260] = "";
    if (FileSelectPopup(proj_dir, "KVEXpara.cfg", "*.cfg", "K-VEX-RB-Series-Parameter-File",
                        VAL_LOAD_BUTTON, 0, 1, 1, 1, path) <= 0)
        return 0;
    std::memcpy(file_name, path, sizeof file_name);
    file_name[sizeof file_name - 1] = '\0';

    static char text[PARAFILE_MAX_BYTES + 1];
    const long n = ReadBounded(file_name, text, sizeof text);
    char why[48] = "cannot be read";
    unsigned short words[kValues];
    bool ok = false;
    if (n > static_cast<long>(PARAFILE_MAX_BYTES))
        std::snprintf(why, sizeof why, "too large for a parameter file");
    else if (n >= 0)
        ok = ParseParameterText(text, static_cast<std::size_t>(n), words, why, sizeof why) == 1;
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
    return 1;
}
