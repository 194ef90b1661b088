// One program hands a verb to the other beside it: the same process (a
// service manager keeps watching the same process id) with the same words.
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstring>

#include "kvex_cli.h"

void HandOver(const char *program, char **argv) {
    char self[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return;
    self[n] = '\0';
    char *slash = std::strrchr(self, '/');
    if (!slash) return;
    char path[PATH_MAX];
    if (std::snprintf(path, sizeof path, "%.*s/%s", static_cast<int>(slash - self), self,
                      program) >= static_cast<int>(sizeof path))
        return;
    if (access(path, X_OK) != 0) return;
    std::fflush(nullptr);
    execv(path, argv);
}
