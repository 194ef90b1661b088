// The service manager's notification protocol, written out: one datagram per
// message to the AF_UNIX socket in $NOTIFY_SOCKET (a path, or an abstract
// name after @), so nothing beyond the C library is needed.
#include "service.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "file_checks.h"

bool NotifyServiceManager(const char *message) {
    const char *path = std::getenv("NOTIFY_SOCKET");
    if (!path || (path[0] != '/' && path[0] != '@') || path[1] == '\0') return false;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::size_t length = std::strlen(path);
    if (length >= sizeof address.sun_path) return false;
    std::memcpy(address.sun_path, path, length);
    if (path[0] == '@') address.sun_path[0] = '\0';  // an abstract name
    const socklen_t size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length);
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    const std::size_t n = std::strlen(message);
    ssize_t sent;
    do {
        sent = sendto(fd, message, n, MSG_NOSIGNAL, reinterpret_cast<const sockaddr *>(&address),
                      size);
    } while (sent < 0 && errno == EINTR);
    close(fd);
    return sent == static_cast<ssize_t>(n);
}

double WatchdogPingSeconds() {
    const char *usec = std::getenv("WATCHDOG_USEC");
    if (!usec || !usec[0]) return 0;
    // The interval may be meant for another process of the service.
    if (const char *pid = std::getenv("WATCHDOG_PID"); pid && pid[0]) {
        char *end = nullptr;
        const long owner = std::strtol(pid, &end, 10);
        if (*end != '\0' || owner != static_cast<long>(getpid())) return 0;
    }
    char *end = nullptr;
    errno = 0;
    const unsigned long long us = std::strtoull(usec, &end, 10);
    if (errno != 0 || *end != '\0' || us == 0) return 0;
    return static_cast<double>(us) / 2e6;
}

bool LogToJournal() {
    static int journal = -1;
    if (journal >= 0) return journal == 1;
    journal = 0;
    const char *stream = std::getenv("JOURNAL_STREAM");
    unsigned long long device = 0, inode = 0;
    struct stat st {};
    // Set for a service whose standard error goes elsewhere (a file, a
    // terminal it opened) the variable is inherited, not meant for us.
    if (stream && std::sscanf(stream, "%llu:%llu", &device, &inode) == 2 &&
        fstat(STDERR_FILENO, &st) == 0 && st.st_dev == device && st.st_ino == inode)
        journal = 1;
    return journal == 1;
}

void Say(LogPriority priority, const char *format, ...) {
    char text[1200];
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (n < 0) return;
    if (LogToJournal())
        std::fprintf(stderr, "<%d>kvex: %s\n", static_cast<int>(priority), text);
    else
        std::fprintf(stderr, "kvex: %s\n", text);
}

namespace {

std::string Trimmed(const std::string &text) {
    const std::size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos) return "";
    const std::size_t last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

bool Fail(std::string &why, const char *text) {
    why = text;
    return false;
}

}  // namespace

bool ReadConfigFile(const char *path, std::vector<ConfigEntry> &entries, std::string &why,
                    int &badLine) {
    entries.clear();
    badLine = 0;
    const char *fault = nullptr;
    const int fd = OpenRegularFile(path, &fault);
    if (fd < 0) return Fail(why, fault ? fault : "it cannot be opened");
    // A configuration is a few lines; anything far larger is not one.
    constexpr std::size_t kMostBytes = 64 * 1024;
    std::string text;
    char buffer[4096];
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            close(fd);
            return Fail(why, std::strerror(errno));
        }
        if (n == 0) break;
        text.append(buffer, static_cast<std::size_t>(n));
        if (text.size() > kMostBytes) {
            close(fd);
            return Fail(why, "it is larger than 64 KiB: no configuration file");
        }
    }
    close(fd);
    if (text.find('\0') != std::string::npos) return Fail(why, "it holds a NUL byte: no text");
    // An editor that saved it as "UTF-8 with BOM" put three bytes before the first key.
    if (text.rfind("\xEF\xBB\xBF", 0) == 0) text.erase(0, 3);
    int number = 0;
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        const std::string line = Trimmed(text.substr(at, end - at));
        at = end + 1;
        ++number;
        if (line.empty() || line[0] == '#') continue;
        const std::size_t equals = line.find('=');
        badLine = number;
        if (equals == std::string::npos) return Fail(why, "no \"key = value\"");
        ConfigEntry e;
        e.key = Trimmed(line.substr(0, equals));
        e.value = Trimmed(line.substr(equals + 1));
        e.line = number;
        if (e.key.empty()) return Fail(why, "no key before \"=\"");
        badLine = 0;
        entries.push_back(e);
    }
    return true;
}

int ConfigFlag(const std::string &value) {
    for (const char *yes : {"true", "yes", "on", "1"})
        if (value == yes) return 1;
    for (const char *no : {"false", "no", "off", "0"})
        if (value == no) return 0;
    return -1;
}
