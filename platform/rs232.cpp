// The RS-232 port operations on the device's own descriptor. Each open port
// keeps its own input queue, filled from the device when the descriptor
// wakes the program and whenever a caller asks for the queue length or reads.
// The receive notification never runs inside a port operation: taking bytes
// in only posts a check, and the check runs the callback while the program
// processes events.
//
// The program is woken by a port only when there is something to do. While
// a count notification is armed and part of the count is in, the descriptor
// is not watched at all (a watched terminal wakes its reader at every byte,
// whatever VMIN says): a timer wakes the program when the rest can be there,
// reckoned from the line's byte time, so a frame costs two wake-ups, its
// first bytes and its end. A far end that stops short is noticed the same
// way, and the port then waits for its next byte.
#include "rs232.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/timerfd.h>
#include <termios.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QPointer>
#include <QSocketNotifier>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "rs232_ports.h"

namespace {

using Clock = std::chrono::steady_clock;
using rs232::kMaxPorts;

constexpr int kDefaultQueueSize = 4096;
constexpr int kMaxQueueSize = 1 << 20;
constexpr double kDefaultTimeout = 1.5;  // seconds, until SetComTime
constexpr int kWriteWaitMs = 50;         // how long a write may wait for the device
constexpr int kReadSliceMs = 20;         // a blocking read checks the line this often
// A frame is looked at when its last byte can come next at the earliest; the
// last byte or two then wake the port as they come, so that the frame is
// taken in the moment it is whole, without a wake-up for every byte before.
constexpr int kFinalBytes = 2;
// The timer aims this many byte times past the moment the last byte can be
// there, so that a far end's small unevenness finds the frame whole; more
// costs the exchange rate, less a wake-up for the last byte.
constexpr double kMarginBytes = 0.5;
// A far end found whole on time may be faster than the line; its pace is
// then seen at an answer's first bytes, after 1, 2, 4 ... and at last every
// this many answers while it stays paced.
constexpr int kPaceCheckEvery = 32;
// The learnt answer delay is bounded: a late answer after a time-out says
// nothing about the next one's delay.
constexpr double kMaxDelayBytes = 40.0;

struct Port {
    int fd = -1;
    QPointer<QSocketNotifier> reader;
    int restFd = -1;  // timer: the rest of a frame can be there now
    bool restArmed = false;
    Clock::time_point restDue;
    QPointer<QSocketNotifier> restTimer;
    QByteArray input;
    int inputLimit = kDefaultQueueSize;
    int outputLimit = kDefaultQueueSize;
    double timeout = kDefaultTimeout;
    double byteSeconds = 10.0 / 19200.0;
    Clock::time_point outputDone;  // when the bytes written so far have left the line
    // Bytes come no faster than the line's rate. A pseudo-terminal whose far
    // end writes at once is faster: then the port is woken by the bytes.
    bool paced = true;
    bool checkPace = false;  // wake at the next answer's first byte, to see its pace
    bool paceSeen = false;   // paced is what an answer showed, not only assumed
    int wholeOnTime = 0;     // answers found whole by the timer since the last look at the pace
    int paceCheckAfter = 1;  // that many, and the next answer's pace is looked at
    // From the request's last byte leaving the line to the answer's first
    // byte: the far end's own time to answer, as last seen.
    double answerDelay = 0.0;
    Clock::time_point lastLook;  // when the device was last found empty
    // receive notification
    int mask = 0;
    int notifyCount = 1;
    int eventChar = -1;
    ComCallbackPtr callback = nullptr;
    void *callbackData = nullptr;
    int wakeCount = 0;         // wake at this queue length also without a callback
    bool armed = true;         // the notify count may fire once it is reached
    int pending = 0;           // character, flag and empty-output events not yet delivered
    bool checkPosted = false;  // a notification check waits in the event queue
    bool inCallback = false;
    bool stalled = false;  // the deadline passed: wait for the next byte, not for a time
    bool lost = false;     // the device went away while open
    unsigned generation = 0;
};

Port g_ports[kMaxPorts + 1];

// Owner of the notifiers and target of the posted checks; it lives as long as
// the application object.
QObject *Context() {
    static QPointer<QObject> ctx;
    if (!ctx) ctx = new QObject(QCoreApplication::instance());
    return ctx;
}

bool ValidNumber(int port) { return port >= 1 && port <= kMaxPorts; }

// The open port of that number, or nullptr with the code to return.
Port *OpenPort(int port, int *code) {
    if (!ValidNumber(port)) {
        *code = kComInvalidPortNumber;
        return nullptr;
    }
    Port &p = g_ports[port];
    if (p.fd < 0 && !p.lost) {
        *code = kComPortNotOpen;
        return nullptr;
    }
    return &p;
}

bool Usable(const Port &p) { return p.fd >= 0 && !p.lost; }

// ------------------------------------------------------------ notification

void RunCheck(int port, unsigned generation);

void PostCheck(int port) {
    Port &p = g_ports[port];
    if (!p.callback || p.mask == 0 || p.checkPosted) return;
    p.checkPosted = true;
    const unsigned generation = p.generation;
    QMetaObject::invokeMethod(
        Context(), [port, generation] { RunCheck(port, generation); }, Qt::QueuedConnection);
}

void Rearm(Port &p) {
    if (p.input.size() < p.notifyCount) p.armed = true;
}

int DueEvents(Port &p) {
    int bits = p.pending & (p.mask | COM_EV_LINE_LOST);
    p.pending = 0;
    if (p.mask & COM_EV_RECEIVE) {
        if (p.input.size() < p.notifyCount) {
            p.armed = true;
        } else if (p.armed) {
            bits |= COM_EV_RECEIVE;
            p.armed = false;
        }
    }
    return bits;
}

// ------------------------------------------------------------ waking up

// The queue length at which the program has something to do, 0 for none:
// the armed notify count, or the count a waiting caller asked for.
int WakeTarget(const Port &p) {
    if (!p.callback || p.mask == 0) return p.wakeCount;
    if (p.mask & COM_EV_RXCHAR) return 1;
    if ((p.mask & COM_EV_RECEIVE) && p.armed) return p.notifyCount;
    if (p.mask & COM_EV_RXFLAG) return 1;
    return p.wakeCount;
}

// The timer is set anew only for a change of more than a tenth of a byte
// time: every exchange would otherwise set it twice for the same moment.
void SetRestTimer(Port &p, double seconds) {
    if (p.restFd < 0 || (seconds <= 0 && !p.restArmed)) return;
    const Clock::time_point due = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                                     std::chrono::duration<double>(seconds));
    if (seconds > 0 && p.restArmed &&
        std::abs(std::chrono::duration<double>(due - p.restDue).count()) < p.byteSeconds / 10)
        return;
    p.restArmed = seconds > 0;
    p.restDue = due;
    itimerspec when{};
    if (seconds > 0) {
        const long long ns = static_cast<long long>(seconds * 1e9) + 1;
        when.it_value.tv_sec = static_cast<time_t>(ns / 1000000000LL);
        when.it_value.tv_nsec = static_cast<long>(ns % 1000000000LL);
    }
    ::timerfd_settime(p.restFd, 0, &when, nullptr);
}

double SecondsUntil(Clock::time_point t) {
    return std::chrono::duration<double>(t - Clock::now()).count();
}

// How long the port may sleep before it looks at the device again, or 0 to
// be woken by the next byte. Bytes come no faster than the line carries
// them, and an answer no sooner than the request has left the line.
double RestTime(const Port &p, int target, int queued) {
    const int missing = target - queued;
    if (!p.paced || p.stalled || missing <= kFinalBytes) return 0;
    if (queued == 0 && p.checkPace) return 0;
    const double rest = (missing - 1 + kMarginBytes) * p.byteSeconds;
    if (queued > 0) return rest;
    const double sending = SecondsUntil(p.outputDone);
    // a silent line: wait for its first byte
    return sending > 0 ? sending + p.answerDelay + rest : 0;
}

// Watches the descriptor for the next byte, or sets the timer for the rest
// of the wake target, or does neither.
void UpdateWake(Port &p) {
    if (!Usable(p) || !p.reader) return;
    const int target = WakeTarget(p);
    const int queued = static_cast<int>(p.input.size());
    const double rest = target > queued ? RestTime(p, target, queued) : 0;
    SetRestTimer(p, rest);
    p.reader->setEnabled(target > 0 && rest <= 0);
}

void RunCheck(int port, unsigned generation) {
    Port &p = g_ports[port];
    if (p.generation != generation) return;  // closed or reopened since
    p.checkPosted = false;
    if (!p.callback || p.mask == 0 || p.inCallback) return;
    const int bits = DueEvents(p);
    if (bits == 0) {
        UpdateWake(p);
        return;
    }
    const ComCallbackPtr callback = p.callback;
    void *data = p.callbackData;
    p.inCallback = true;
    callback(port, bits, data);
    if (p.generation != generation) return;  // the callback closed or reopened the port
    p.inCallback = false;
    Rearm(p);
    if (p.pending != 0 || (p.armed && p.input.size() >= p.notifyCount))
        PostCheck(port);
    else
        UpdateWake(p);
}

// ------------------------------------------------------------ taking bytes in

bool HungUp(int fd) {
    pollfd pfd{fd, POLLIN, 0};
    if (fd < 0 || ::poll(&pfd, 1, 0) < 0) return true;
    return (pfd.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

// The device's exclusive mode outlives our descriptor while its other end
// stays open: cleared first, so that the next program may open it (also
// this one, restarted as a user without the right to ignore the mode).
void CloseDevice(int fd) {
    if (fd < 0) return;
    ::ioctl(fd, TIOCNXCL);
    ::close(fd);
}

// The device has gone (adapter pulled, far end of a pseudo-terminal closed).
// The port stays known under its number so that every operation answers with
// a code until it is closed; the descriptor is let go at once.
void ReleaseDescriptors(Port &p) {
    for (QSocketNotifier *n : {p.reader.data(), p.restTimer.data()}) {
        if (!n) continue;
        n->setEnabled(false);
        n->deleteLater();  // it may be the one whose signal runs now
    }
    CloseDevice(p.fd);
    if (p.restFd >= 0) ::close(p.restFd);
    p.fd = p.restFd = -1;
}

void MarkLost(int port) {
    Port &p = g_ports[port];
    if (p.lost) return;
    p.lost = true;
    ReleaseDescriptors(p);
    p.pending |= COM_EV_LINE_LOST;
    PostCheck(port);
}

// Moves what the device holds into the port's queue; bytes beyond its size
// are lost. Returns the number of bytes read from the device.
int TakeIn(int port) {
    Port &p = g_ports[port];
    if (!Usable(p)) return 0;
    const Clock::time_point now = Clock::now();
    int total = 0;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(p.fd, buffer, sizeof buffer);
        if (n > 0) {
            total += static_cast<int>(n);
            const qsizetype room = p.inputLimit - p.input.size();
            if (room > 0) p.input.append(buffer, std::min<qsizetype>(room, n));
            if (p.eventChar >= 0 && std::memchr(buffer, p.eventChar, static_cast<std::size_t>(n)))
                p.pending |= COM_EV_RXFLAG;
            if (n < static_cast<ssize_t>(sizeof buffer)) {
                p.lastLook = now;
                break;
            }
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if ((n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) && HungUp(p.fd))
            MarkLost(port);
        else
            p.lastLook = now;
        break;
    }
    if (total > 0) {
        p.pending |= COM_EV_RXCHAR;
        p.stalled = false;
    }
    return total;
}

// TakeIn for a caller that only asks what is there. Found empty less than a
// byte time ago, a line seen to be paced can hold nothing that a look a
// moment earlier would not also have missed; the device itself waking the
// port always reads.
int LookIn(int port) {
    Port &p = g_ports[port];
    if (p.paced && p.paceSeen &&
        std::chrono::duration<double>(Clock::now() - p.lastLook).count() < p.byteSeconds)
        return 0;
    return TakeIn(port);
}

// After bytes came in: a notification that is due is posted, otherwise the
// next wake-up is set. Woken by the device itself, outside any port
// operation, the port delivers a due notification at once: a reply's
// callback then runs in the same pass of the event processing as its last
// byte came.
void AfterIntake(int port, bool woken = false) {
    Port &p = g_ports[port];
    const bool due = p.callback && p.mask != 0 &&
                     ((p.pending & (p.mask | COM_EV_LINE_LOST)) ||
                      ((p.mask & COM_EV_RECEIVE) && p.armed && p.input.size() >= p.notifyCount));
    if (!due)
        UpdateWake(p);
    else if (woken && !p.checkPosted)
        RunCheck(port, p.generation);
    else
        PostCheck(port);
}

// An answer comes no sooner than its request has left the line, and then at
// the line's rate: its first n bytes are there a byte time apart at the
// earliest. Bytes that are there sooner show a far end faster than the
// line's rate. (A late look at them proves nothing: bytes counted, not the
// time of looking, tell.)
void JudgePace(Port &p, int bytes) {
    const double earliest = (bytes - 1) * p.byteSeconds;
    const double late = -SecondsUntil(p.outputDone) - earliest;  // past the earliest
    p.paced = late >= 0;
    p.paceSeen = true;
    p.paceCheckAfter = p.paced ? std::min(2 * p.paceCheckAfter, kPaceCheckEvery) : 1;
    p.answerDelay = std::min(std::max(late, 0.0), kMaxDelayBytes * p.byteSeconds);
    p.checkPace = false;
    p.wholeOnTime = 0;
}

// A frame that the timer found begun but not whole came later than the
// learnt delay said: its first byte came about its bytes' time ago.
void LearnLateAnswer(Port &p, int bytes) {
    const double late = -SecondsUntil(p.outputDone) - (bytes - 1) * p.byteSeconds;
    p.answerDelay = std::clamp(late, p.answerDelay, kMaxDelayBytes * p.byteSeconds);
}

void OnReadable(int port) {
    Port &p = g_ports[port];
    const bool empty = p.input.isEmpty();
    const int bytes = TakeIn(port);
    if (bytes > 0 && empty) JudgePace(p, bytes);
    AfterIntake(port, true);
}

void OnRestDue(int port) {
    Port &p = g_ports[port];
    std::uint64_t expirations = 0;
    if (::read(p.restFd, &expirations, sizeof expirations) < 0) {
        // nothing to clear: it was set anew meanwhile
    }
    p.restArmed = expirations == 0;  // it fires once; one set anew meanwhile is still armed
    const bool empty = p.input.isEmpty();
    const int bytes = TakeIn(port);
    if (bytes == 0) p.stalled = true;
    // Whole already: the far end may be faster than the line's rate, which
    // a look at an answer's first bytes shows; one answer in so many is
    // looked at that way, so that a fast far end is found soon and a paced
    // one costs one wake-up per answer.
    const int target = WakeTarget(p);
    if (target > 0 && p.input.size() >= target) {
        if (++p.wholeOnTime >= p.paceCheckAfter) p.checkPace = true;
    } else if (empty && bytes > 0) {
        LearnLateAnswer(p, bytes);
    }
    AfterIntake(port, true);
}

// ------------------------------------------------------------ opening

bool ValidSettings(long baudRate, int parity, int dataBits, int stopBits, int inputQueueSize,
                   int outputQueueSize) {
    return baudRate > 0 && parity >= 0 && parity <= 4 && dataBits >= 5 && dataBits <= 8 &&
           (stopBits == 1 || stopBits == 2) && inputQueueSize <= kMaxQueueSize &&
           outputQueueSize <= kMaxQueueSize;
}

speed_t SpeedFor(long baudRate) {
    static const struct {
        long rate;
        speed_t speed;
    } kSpeeds[] = {
        {50, B50},           {75, B75},           {110, B110},         {134, B134},
        {150, B150},         {200, B200},         {300, B300},         {600, B600},
        {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
        {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
        {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
        {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
        {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
        {3500000, B3500000}, {4000000, B4000000},
    };
    for (const auto &s : kSpeeds)
        if (s.rate == baudRate) return s.speed;
    return B0;
}

// Raw 8-bit line without echo, modem control or flow control; a read returns
// what is there.
bool Configure(int fd, speed_t speed, int parity, int dataBits, int stopBits) {
    termios tio{};
    if (::tcgetattr(fd, &tio) != 0) return false;
    ::cfmakeraw(&tio);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    static const tcflag_t kSize[] = {CS5, CS6, CS7, CS8};
    tio.c_cflag |= CLOCAL | CREAD | kSize[dataBits - 5];
    if (parity == 1) tio.c_cflag |= PARENB | PARODD;
    if (parity == 2) tio.c_cflag |= PARENB;
    if (parity == 3) tio.c_cflag |= PARENB | CMSPAR | PARODD;  // mark
    if (parity == 4) tio.c_cflag |= PARENB | CMSPAR;           // space
    if (stopBits == 2) tio.c_cflag |= CSTOPB;
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    tio.c_cc[VMIN] = 1;  // a read returns what is there
    tio.c_cc[VTIME] = 0;
    return ::cfsetispeed(&tio, speed) == 0 && ::cfsetospeed(&tio, speed) == 0 &&
           ::tcsetattr(fd, TCSANOW, &tio) == 0;
}

int OpenErrorCode(int error) {
    switch (error) {
        case ENOENT:
        case ENODEV:
        case ENXIO:
            return kComNoSerialPortFound;
        case EBUSY:
        case EWOULDBLOCK:
            return kComPortInUse;
        case EACCES:
        case EPERM:
            return kComCannotOpenPort;
        case EISDIR:
        case ENOTTY:
        case EINVAL:
            return kComNotASerialPort;  // a file or device without line settings
        default:
            return kComUnknownSystemError;
    }
}

// Opens the device for this program alone: other programs that lock it, and
// a second opening by this one, are refused.
int OpenDevice(const std::string &device, int *fd) {
    *fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (*fd < 0) return OpenErrorCode(errno);
    const bool terminal = ::isatty(*fd) != 0;
    if (!terminal || ::flock(*fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(*fd);
        *fd = -1;
        return OpenErrorCode(terminal ? EBUSY : ENOTTY);
    }
    ::ioctl(*fd, TIOCEXCL);
    return 0;
}

// Starts the port afresh; the generation tells posted checks of an earlier
// opening apart.
void ResetPort(Port &p) {
    const unsigned generation = p.generation + 1;
    p = Port{};
    p.generation = generation;
}

bool Watch(int port) {
    Port &p = g_ports[port];
    p.restFd = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (p.restFd < 0) return false;
    p.reader = new QSocketNotifier(p.fd, QSocketNotifier::Read, Context());
    QObject::connect(p.reader, &QSocketNotifier::activated, p.reader, [port] { OnReadable(port); });
    p.restTimer = new QSocketNotifier(p.restFd, QSocketNotifier::Read, Context());
    QObject::connect(p.restTimer, &QSocketNotifier::activated, p.restTimer,
                     [port] { OnRestDue(port); });
    // Nothing to wake for until a notification is installed. The timer's
    // notifier stays on: a timer that is not set is never readable, and
    // turning a notifier on or off costs the event loop a round of its own.
    p.reader->setEnabled(false);
    return true;
}

// Hands bytes to the device now, waiting a little for room, so that they
// leave even when the caller does not process events.
int Push(int port, const char *buffer, int count) {
    Port &p = g_ports[port];
    int written = 0;
    const auto deadline = Clock::now() + std::chrono::milliseconds(kWriteWaitMs);
    while (written < count && Usable(p)) {
        const ssize_t n =
            ::write(p.fd, buffer + written, static_cast<std::size_t>(count - written));
        if (n > 0) {
            written += static_cast<int>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            if (HungUp(p.fd)) MarkLost(port);
            break;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) break;
        pollfd pfd{p.fd, POLLOUT, 0};
        ::poll(&pfd, 1, static_cast<int>(left));
    }
    return written;
}

}  // namespace

int OpenComConfig(int port, const char *deviceName, long baudRate, int parity, int dataBits,
                  int stopBits, int inputQueueSize, int outputQueueSize) {
    if (!ValidNumber(port)) return kComInvalidPortNumber;
    if (!ValidSettings(baudRate, parity, dataBits, stopBits, inputQueueSize, outputQueueSize) ||
        SpeedFor(baudRate) == B0)
        return kComInvalidParameter;
    const std::string device =
        deviceName != nullptr && *deviceName != '\0' ? deviceName : rs232::DeviceForNumber(port);
    if (device.empty()) return kComInvalidPortNumber;
    CloseCom(port);

    int fd = -1;
    if (const int code = OpenDevice(device, &fd); code != 0) return code;
    if (!Configure(fd, SpeedFor(baudRate), parity, dataBits, stopBits)) {
        CloseDevice(fd);
        return kComNotASerialPort;
    }
    // Some USB adapters send nothing until DTR is set. A pseudo-terminal has
    // no modem lines and refuses; that is no reason to fail.
    int dtr = TIOCM_DTR;
    ::ioctl(fd, TIOCMBIS, &dtr);
    ::tcflush(fd, TCIOFLUSH);

    Port &p = g_ports[port];
    ResetPort(p);
    p.fd = fd;
    p.inputLimit = inputQueueSize > 0 ? inputQueueSize : kDefaultQueueSize;
    p.outputLimit = outputQueueSize > 0 ? outputQueueSize : kDefaultQueueSize;
    p.byteSeconds = (1.0 + dataBits + (parity != 0 ? 1 : 0) + stopBits) / baudRate;
    if (!Watch(port)) {
        CloseCom(port);
        return kComUnknownSystemError;
    }
    return 0;
}

namespace {

// The process that holds a lock on the device, from the kernel's lock table:
// "1: FLOCK  ADVISORY  WRITE 1234 00:19:7 0 EOF", the device and inode in
// the sixth field.
long LockHolder(const struct stat &device) {
    std::FILE *locks = std::fopen("/proc/locks", "re");
    if (!locks) return 0;
    char line[256];
    long holder = 0;
    while (holder == 0 && std::fgets(line, sizeof line, locks)) {
        char kind[16] = "", mode[16] = "";
        long pid = 0;
        unsigned major = 0, minor = 0;
        unsigned long inode = 0;
        if (std::sscanf(line, "%*[^:]: %15s %*s %15s %ld %x:%x:%lu", kind, mode, &pid, &major,
                        &minor, &inode) != 6)
            continue;
        if (inode == device.st_ino && major == ::major(device.st_dev) &&
            minor == ::minor(device.st_dev) && pid != ::getpid())
            holder = pid;
    }
    std::fclose(locks);
    return holder;
}

// A device opened for one program alone (TIOCEXCL) has no lock to show: the
// process is found among the open descriptors the system lets us see.
long OpenerOf(const std::string &device) {
    DIR *proc = ::opendir("/proc");
    if (!proc) return 0;
    long found = 0;
    while (found == 0) {
        const dirent *e = ::readdir(proc);
        if (!e) break;
        char *end = nullptr;
        const long pid = std::strtol(e->d_name, &end, 10);
        if (*end != '\0' || pid <= 0 || pid == ::getpid()) continue;
        char fds[64];
        std::snprintf(fds, sizeof fds, "/proc/%ld/fd", pid);
        DIR *dir = ::opendir(fds);
        if (!dir) continue;
        while (const dirent *f = ::readdir(dir)) {
            char link[96], target[512];
            if (std::strlen(f->d_name) > 20) continue;  // descriptors are numbers
            std::snprintf(link, sizeof link, "%s/%.20s", fds, f->d_name);
            const ssize_t n = ::readlink(link, target, sizeof target - 1);
            if (n <= 0) continue;
            target[n] = '\0';
            if (device == target) {
                found = pid;
                break;
            }
        }
        ::closedir(dir);
    }
    ::closedir(proc);
    return found;
}

}  // namespace

int GetComPortHolder(int number, char *text, std::size_t size) {
    if (!text || size == 0) return 0;
    text[0] = '\0';
    if (!ValidNumber(number)) return 0;
    const std::string device = rs232::DeviceForNumber(number);
    char real[PATH_MAX];
    struct stat st {};
    if (device.empty() || !::realpath(device.c_str(), real) || ::stat(real, &st) != 0) return 0;
    long pid = LockHolder(st);
    if (pid == 0) pid = OpenerOf(real);
    if (pid == 0) return 0;
    char comm[64] = "", path[64];
    std::snprintf(path, sizeof path, "/proc/%ld/comm", pid);
    if (std::FILE *f = std::fopen(path, "re")) {
        if (std::fgets(comm, sizeof comm, f)) comm[std::strcspn(comm, "\n")] = '\0';
        std::fclose(f);
    }
    std::snprintf(text, size, comm[0] ? "process %ld (%s)" : "process %ld", pid, comm);
    return 1;
}

int CloseCom(int port) {
    if (!ValidNumber(port)) return kComInvalidPortNumber;
    Port &p = g_ports[port];
    delete p.reader.data();
    delete p.restTimer.data();
    CloseDevice(p.fd);
    if (p.restFd >= 0) ::close(p.restFd);
    ResetPort(p);
    return 0;
}

int SetComTime(int port, double timeoutSeconds) {
    int code = 0;
    Port *p = OpenPort(port, &code);
    if (!p) return code;
    if (!(timeoutSeconds >= 0.0)) return kComInvalidParameter;
    p->timeout = timeoutSeconds;
    return 0;
}

int SetCTSMode(int port, int mode) {
    int code = 0;
    Port *p = OpenPort(port, &code);
    if (!p) return code;
    if (!Usable(*p)) return kComIoError;
    termios tio{};
    if (::tcgetattr(p->fd, &tio) != 0) return kComIoError;
    if (mode != 0)
        tio.c_cflag |= CRTSCTS;
    else
        tio.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
    return ::tcsetattr(p->fd, TCSANOW, &tio) == 0 ? 0 : kComIoError;
}

int InstallComCallback(int port, int eventMask, int notifyCount, int eventCharacter,
                       ComCallbackPtr callback, void *callbackData) {
    int code = 0;
    Port *p = OpenPort(port, &code);
    if (!p) return code;
    if (notifyCount < 0 || notifyCount > p->inputLimit) return kComInvalidParameter;
    const bool on = callback != nullptr && eventMask != 0;
    p->mask = on ? eventMask : 0;
    p->callback = on ? callback : nullptr;
    p->callbackData = on ? callbackData : nullptr;
    p->notifyCount = std::max(1, notifyCount);
    p->eventChar = eventCharacter >= 0 && eventCharacter <= 0xFF ? eventCharacter : -1;
    p->armed = true;
    p->pending = p->lost ? COM_EV_LINE_LOST : 0;  // a lost device is told to every new callback
    if (on && (p->lost || ((p->mask & COM_EV_RECEIVE) && p->input.size() >= p->notifyCount)))
        PostCheck(port);
    else
        UpdateWake(*p);
    return 0;
}

int SetComWakeCount(int port, int count) {
    int code = 0;
    Port *p = OpenPort(port, &code);
    if (!p) return code;
    if (count < 0) return kComInvalidParameter;
    p->wakeCount = count;
    p->stalled = false;
    UpdateWake(*p);
    return 0;
}

int ComWrt(int port, const char *buffer, int count) {
    int code = 0;
    Port *p = OpenPort(port, &code);
    if (!p) return code;
    if (buffer == nullptr || count < 0) return kComInvalidParameter;
    if (!Usable(*p)) return kComIoError;
    if (count == 0) return 0;
    const int written = Push(port, buffer, std::min(count, p->outputLimit));
    if (!Usable(*p)) return kComIoError;
    if (written > 0) {
        p->outputDone = std::max(p->outputDone, Clock::now()) +
                        std::chrono::duration_cast<Clock::duration>(
                            std::chrono::duration<double>(written * p->byteSeconds));
        p->pending |= COM_EV_TXEMPTY;
        if (p->mask & COM_EV_TXEMPTY) PostCheck(port);
        UpdateWake(*p);
    }
    return written;
}

int ComRd(int port, char *buffer, int count) {
    int code = 0;
    Port *p = OpenPort(port, &code);
    if (!p) return code;
    if (buffer == nullptr || count < 0) return kComInvalidParameter;
    LookIn(port);
    const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                             std::chrono::duration<double>(p->timeout));
    while (p->input.size() < count && Usable(*p)) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) break;
        pollfd pfd{p->fd, POLLIN, 0};
        ::poll(&pfd, 1, static_cast<int>(std::min<long long>(left, kReadSliceMs)));
        TakeIn(port);
    }
    const int n = static_cast<int>(std::min<qsizetype>(count, p->input.size()));
    if (n > 0) std::memcpy(buffer, p->input.constData(), static_cast<std::size_t>(n));
    p->input.remove(0, n);
    Rearm(*p);
    AfterIntake(port);
    return n;
}

int GetInQLen(int port) {
    int code = 0;
    Port *p = OpenPort(port, &code);
    if (!p) return code;
    if (LookIn(port) > 0) AfterIntake(port);
    return static_cast<int>(p->input.size());
}

int ComLineLost(int port) {
    int code = 0;
    Port *p = OpenPort(port, &code);
    if (!p) return code;
    return p->lost ? 1 : 0;
}

int FlushInQ(int port) {
    int code = 0;
    Port *p = OpenPort(port, &code);
    if (!p) return code;
    p->input.clear();
    if (Usable(*p) && ::tcflush(p->fd, TCIFLUSH) == 0) p->lastLook = Clock::now();
    Rearm(*p);
    p->stalled = false;
    UpdateWake(*p);
    return 0;
}

int FlushOutQ(int port) {
    int code = 0;
    Port *p = OpenPort(port, &code);
    if (!p) return code;
    if (Usable(*p)) ::tcflush(p->fd, TCOFLUSH);
    p->outputDone = Clock::now();  // what was not sent yet never will be
    return 0;
}
