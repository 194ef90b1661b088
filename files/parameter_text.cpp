// The text of a parameter file: 30 whole numbers that each fit a word.
// Nothing here touches a file or the screen, so anything can be fed to it.
#include <cstdio>
#include <cstring>

#include "parafile.h"

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

}  // namespace

int ParseParameterText(const char *text, std::size_t size, unsigned short *words, char *why,
                       std::size_t whySize) {
    // Editors on some systems start a UTF-8 file with a byte-order mark.
    if (size >= 3 && std::memcmp(text, "\xEF\xBB\xBF", 3) == 0) {
        text += 3;
        size -= 3;
    }
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
