#include "file_checks.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const char *KindText(mode_t mode) {
    if (S_ISREG(mode)) return nullptr;
    if (S_ISDIR(mode)) return "it is a folder";
    if (S_ISFIFO(mode)) return "it is a FIFO";
    if (S_ISSOCK(mode)) return "it is a socket";
    if (S_ISCHR(mode) || S_ISBLK(mode)) return "it is a device";
    return "it is no regular file";
}

// O_NONBLOCK keeps the open itself from waiting for a FIFO's other end; it
// is taken off again once the descriptor is known to be a regular file.
int OpenChecked(const char *path, int flags, const char **why) {
    if ((*why = ControlCharacterIn(path))) return -1;
    const int fd = ::open(path, flags | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd < 0) {
        *why = errno == ENXIO ? "it is a FIFO" : FileErrorText(errno);
        return -1;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || (*why = KindText(st.st_mode))) {
        if (!*why) *why = FileErrorText(errno);
        ::close(fd);
        return -1;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

bool CopyName(char *to, const char *from) {
    const int n = std::snprintf(to, PATH_MAX, "%s", from);
    return n >= 0 && n < PATH_MAX;
}

// The file a chain of symbolic links ends at, which need not exist yet.
bool ResolveLinks(const char *path, char *out) {
    if (!CopyName(out, path)) return false;
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st {};
        if (::lstat(out, &st) != 0 || !S_ISLNK(st.st_mode)) return true;
        char target[PATH_MAX];
        const ssize_t n = ::readlink(out, target, sizeof target - 1);
        if (n <= 0) return false;
        target[n] = '\0';
        if (target[0] == '/') {
            if (!CopyName(out, target)) return false;
            continue;
        }
        char *slash = std::strrchr(out, '/');
        char joined[PATH_MAX];
        const int len = slash ? std::snprintf(joined, sizeof joined, "%.*s/%s",
                                              static_cast<int>(slash - out), out, target)
                              : std::snprintf(joined, sizeof joined, "%s", target);
        if (len < 0 || len >= PATH_MAX || !CopyName(out, joined)) return false;
    }
    return false;
}

bool WriteAll(int fd, const char *bytes, std::size_t n) {
    std::size_t done = 0;
    while (done < n) {
        const ssize_t w = ::pwrite(fd, bytes + done, n - done, static_cast<off_t>(done));
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        done += static_cast<std::size_t>(w);
    }
    return true;
}

// Files with several names get the new text in their own blocks.
bool WriteInPlace(SafeSave &s, const char **why) {
    static char bytes[65536];
    const int in = OpenRegularFile(s.temporary, why);
    if (in < 0) return false;
    const ssize_t n = ::read(in, bytes, sizeof bytes);
    ::close(in);
    if (n < 0 || static_cast<std::size_t>(n) >= sizeof bytes) {
        *why = "the new copy cannot be read back";
        return false;
    }
    const int out = OpenChecked(s.target, O_WRONLY, why);
    if (out < 0) return false;
    const bool ok = WriteAll(out, bytes, static_cast<std::size_t>(n)) && ::ftruncate(out, n) == 0 &&
                    ::fsync(out) == 0;
    if (!ok) *why = FileErrorText(errno);
    ::close(out);
    std::remove(s.temporary);
    s.temporary[0] = '\0';
    return ok;
}

}  // namespace

const char *ControlCharacterIn(const char *path) {
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(path); *p; ++p) {
        if (*p == '\t') return "its name holds a Tab";
        if (*p == '\n' || *p == '\r') return "its name holds a line break";
        if (*p < 0x20 || *p == 0x7F) return "its name holds a control character";
    }
    return nullptr;
}

const char *NotARegularFile(const char *path) {
    struct stat st {};
    return ::stat(path, &st) == 0 ? KindText(st.st_mode) : nullptr;
}

const char *OutputRefused(const char *path, const std::vector<std::string> &inputs) {
    if (const char *why = ControlCharacterIn(path)) return why;
    struct stat out {};
    if (::stat(path, &out) != 0) return nullptr;  // nothing there yet: a new file
    if (const char *why = KindText(out.st_mode)) return why;
    for (const std::string &input : inputs) {
        struct stat in {};
        if (!input.empty() && ::stat(input.c_str(), &in) == 0 && in.st_dev == out.st_dev &&
            in.st_ino == out.st_ino)
            return "it is one of the inputs";
    }
    return nullptr;
}

namespace {
std::string g_held[kHeldFiles];
}  // namespace

void HoldFile(HeldFile slot, const char *path) {
    if (slot >= 0 && slot < kHeldFiles) g_held[slot] = path ? path : "";
}

const char *WindowOutputRefused(const char *path) {
    return OutputRefused(path, std::vector<std::string>(g_held, g_held + kHeldFiles));
}

const char *FileErrorText(int error) {
    switch (error) {
        case ENOSPC:
            return "disk full";
        case EFBIG:
            return "file size limit reached";
        case EDQUOT:
            return "disk quota exceeded";
        case EROFS:
            return "read-only file system";
        case EACCES:
        case EPERM:
            return "permission denied";
        case ENOENT:
            return "no such file or folder";
        case ENOTDIR:
            return "a part of the path is no folder";
        case EISDIR:
            return "it is a folder";
        case ENAMETOOLONG:
            return "name too long";
        case EIO:
            return "input/output error";
        default:
            return std::strerror(error);
    }
}

int OpenRegularFile(const char *path, const char **why) { return OpenChecked(path, O_RDONLY, why); }

int CreateRegularFile(const char *path, const char **why) {
    const int fd = OpenChecked(path, O_WRONLY | O_CREAT, why);
    if (fd >= 0 && ::ftruncate(fd, 0) != 0) {
        *why = FileErrorText(errno);
        ::close(fd);
        return -1;
    }
    return fd;
}

bool BeginSafeSave(const char *path, SafeSave &s, const char **why) {
    s = SafeSave{};
    if ((*why = ControlCharacterIn(path))) return false;
    if (!ResolveLinks(path, s.target)) {
        *why = "its links lead nowhere";
        return false;
    }
    struct stat st {};
    if (::stat(s.target, &st) == 0) {
        if ((*why = KindText(st.st_mode))) return false;
        s.existed = true;
        s.mode = st.st_mode & 07777;
        s.owner = st.st_uid;
        s.group = st.st_gid;
        s.links = st.st_nlink;
    }
    const int len = std::snprintf(s.temporary, sizeof s.temporary, "%s.XXXXXX", s.target);
    if (len < 0 || len >= PATH_MAX) {
        *why = "name too long";
        return false;
    }
    const int fd = ::mkstemp(s.temporary);
    if (fd < 0) {
        *why = FileErrorText(errno);
        s.temporary[0] = '\0';
        return false;
    }
    ::close(fd);
    return true;
}

bool FinishSafeSave(SafeSave &s, const char **why) {
    if (s.existed && s.links > 1) return WriteInPlace(s, why);
    const int fd = ::open(s.temporary, O_WRONLY | O_CLOEXEC);
    bool ok = fd >= 0;
    if (ok) {
        if (s.existed) {
            // Not every saver may give a file away; the group alone may be kept.
            if (::fchown(fd, s.owner, s.group) != 0 &&
                ::fchown(fd, static_cast<uid_t>(-1), s.group))
                errno = 0;
            ok = ::fchmod(fd, s.mode) == 0;
        } else {
            const mode_t mask = ::umask(0);
            ::umask(mask);
            ok = ::fchmod(fd, 0666 & ~mask) == 0;
        }
        ok = ok && ::fsync(fd) == 0;
    }
    if (ok) ok = std::rename(s.temporary, s.target) == 0;
    if (!ok) *why = FileErrorText(errno);
    if (fd >= 0) ::close(fd);
    if (!ok) {
        AbandonSafeSave(s);
        return false;
    }
    s.temporary[0] = '\0';
    return true;
}

// "KVexRecord.dat" becomes "KVexRecord-2.dat", "-3", ... whichever is free.
bool NextFreeName(const char *path, char *out, std::size_t size) {
    const char *slash = std::strrchr(path, '/');
    const char *dot = std::strrchr(path, '.');
    const std::size_t end = (dot && (!slash || dot > slash)) ? dot - path : std::strlen(path);
    // "KVexRecord-2" counts on from "KVexRecord", not to "KVexRecord-2-2".
    std::size_t stem = end;
    while (stem > 0 && path[stem - 1] >= '0' && path[stem - 1] <= '9') --stem;
    if (stem < end && stem > 1 && path[stem - 1] == '-')
        --stem;
    else
        stem = end;
    struct stat st {};
    for (int n = 2; n < 1000; ++n) {
        const int len =
            std::snprintf(out, size, "%.*s-%d%s", static_cast<int>(stem), path, n, path + end);
        if (len < 0 || static_cast<std::size_t>(len) >= size) return false;
        if (stat(out, &st) != 0) return true;
    }
    return false;
}

void AbandonSafeSave(SafeSave &s) {
    if (s.temporary[0]) std::remove(s.temporary);
    s.temporary[0] = '\0';
}
