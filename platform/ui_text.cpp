// Formatted copies into fixed buffers: the few forms of Fmt the program uses,
// each bounded by the size that its format names.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ui.h"

namespace {

// "%<n><conv>": reads the optional size and the conversion letter.
const char *ReadField(const char *p, long &size, char &conversion) {
    if (*p != '%') return nullptr;
    ++p;
    size = -1;
    if (*p >= '0' && *p <= '9') {
        char *end = nullptr;
        size = std::strtol(p, &end, 10);
        if (size < 1 || size > 1000000) return nullptr;
        p = end;
    }
    conversion = *p;
    return *p ? p + 1 : nullptr;
}

// A word below 256 is one character; a larger one gives its high byte, then
// its low byte. A zero byte ends the text.
int WordsToChars(char *target, long size, const int *words, long count) {
    long n = 0;
    for (long i = 0; i < count; ++i) {
        const int w = words[i] & 0xFFFF;
        const char pair[2] = {static_cast<char>(w >> 8), static_cast<char>(w & 0xFF)};
        const char *first = w < 256 ? pair + 1 : pair;
        for (const char *p = first; p != pair + 2; ++p) {
            const char b = *p;
            if (b == '\0' || n >= size - 1) {
                target[n] = '\0';
                return static_cast<int>(n);
            }
            target[n++] = b;
        }
    }
    target[n] = '\0';
    return static_cast<int>(n);
}

int CopyBounded(char *target, long size, const char *text) {
    std::size_t n = std::strlen(text);
    if (size > 0 && n > static_cast<std::size_t>(size - 1)) n = static_cast<std::size_t>(size - 1);
    std::memmove(target, text, n);
    target[n] = '\0';
    return static_cast<int>(n);
}

}  // namespace

int Fmt(char *target, const char *format, ...) {
    if (!target || !format) return -1;
    long targetSize = 0, sourceCount = 0;
    char targetConv = 0, sourceConv = 0;
    const char *p = ReadField(format, targetSize, targetConv);
    if (!p || *p != '<') return -1;
    p = ReadField(p + 1, sourceCount, sourceConv);
    if (!p || *p != '\0') return -1;

    va_list args;
    va_start(args, format);
    int result = -1;
    if (targetConv == 'c' && targetSize > 0 && (sourceConv == 'i' || sourceConv == 'd')) {
        const int *words = va_arg(args, const int *);
        if (words)
            result = WordsToChars(target, targetSize, words, sourceCount < 0 ? 1 : sourceCount);
    } else if (targetConv == 's' && sourceConv == 's' && sourceCount < 0) {
        const char *text = va_arg(args, const char *);
        if (text) result = CopyBounded(target, targetSize, text);
    } else if (targetConv == 's' && (sourceConv == 'i' || sourceConv == 'd') && sourceCount < 0) {
        char number[16];
        std::snprintf(number, sizeof number, "%d", va_arg(args, int));
        result = CopyBounded(target, targetSize, number);
    }
    va_end(args);
    return result;
}

int StringLength(const char *text) { return text ? static_cast<int>(std::strlen(text)) : 0; }
