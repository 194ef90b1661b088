#include "file_messages.h"

#include <cstdio>
#include <cstring>

void FormatFileMessage(char *out, std::size_t size, const char *prefix, const char *path) {
    if (size == 0) return;
    const std::size_t room = size - 1;
    const std::size_t prefixLen = std::strlen(prefix);
    const std::size_t pathLen = std::strlen(path);
    if (prefixLen + pathLen <= room || prefixLen + 3 >= room) {
        std::snprintf(out, size, "%s%s", prefix, path);
        return;
    }
    const std::size_t keep = room - prefixLen - 3;
    std::snprintf(out, size, "%s...%s", prefix, path + (pathLen - keep));
}
