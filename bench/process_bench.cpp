// The whole front-end as an operator runs it: its window (under Xvfb, or
// offscreen where Xvfb is missing) and the simulated sensor as a process of
// its own on a pseudo-terminal. CPU time and wake-ups (voluntary plus
// involuntary context switches of all its threads) come from /proc; rates
// come from the requests the sensor saw. Each scenario runs several times and
// the medians are compared with the goals.
//
//   build/release/bin/process_bench [seconds per run, default 20] [runs, default 3]
//                                   [scenarios, default run,video,fast,idle,flood,
//                                    publish,fastpublish; also stats: run mode with the
//                                    statistics window open; access: run mode with the
//                                    accessibility bus on and a listener registered;
//                                    sparkplug, fastsparkplug: publishing as a
//                                    Sparkplug B edge node, paced and unpaced]
// The publishing scenarios start a mosquitto of their own on 127.0.0.1 and a
// free port, let the front-end publish to it (as the Publish window does,
// from the settings) and count what a mosquitto_sub receives. The access
// scenario starts a session bus of its own, the accessibility bus on it and
// a listener that registers for every object event, as a screen reader does,
// so the front-end sends its events and the bench counts them.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "free_port.h"

namespace {

// A 36-byte request and a 36-byte reply of 10 bits each per exchange; a video
// cycle adds four 36-byte block requests and four 128-byte blocks.
constexpr double kRunLimit = 19200.0 / 10.0 / 72.0;
constexpr double kVideoLimit = 19200.0 / 10.0 / (72.0 + 4 * (36.0 + 128.0));
constexpr int kRawCommand = 8;        // one per run-mode exchange and per video cycle
constexpr double kVideoRequests = 5;  // a raw exchange and four blocks
constexpr double kWarmUp = 4.0;

struct Child {
    pid_t pid = -1;
    int out = -1;  // its standard output, where it is read
};

std::string g_bin;
std::string g_display;  // ":N", or "" for offscreen

std::string BinDir() {
    char path[4096];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return ".";
    path[n] = '\0';
    std::string s(path);
    return s.substr(0, s.rfind('/'));
}

// Starts argv[0] with the given extra environment. With capture its standard
// output comes back through a pipe; otherwise it goes nowhere.
Child Spawn(const std::vector<std::string> &args, const std::vector<std::string> &env,
            bool capture) {
    int fds[2] = {-1, -1};
    if (capture && pipe(fds) != 0) return {};
    const pid_t pid = fork();
    if (pid == 0) {
        const int null = open("/dev/null", O_RDWR);
        dup2(capture ? fds[1] : null, 1);
        dup2(null, 2);
        for (const std::string &e : env) putenv(const_cast<char *>(e.c_str()));
        std::vector<char *> argv;
        for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    if (capture) close(fds[1]);
    return {pid, capture ? fds[0] : -1};
}

std::string ReadLine(int fd, double timeoutSeconds) {
    std::string line;
    const auto end = std::chrono::steady_clock::now() +
                     std::chrono::milliseconds(static_cast<int>(timeoutSeconds * 1000));
    while (std::chrono::steady_clock::now() < end) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0) continue;
        char c = 0;
        if (read(fd, &c, 1) != 1) break;
        if (c == '\n') return line;
        line += c;
    }
    return line;
}

void Stop(Child &c) {
    if (c.pid <= 0) return;
    kill(c.pid, SIGTERM);
    for (int i = 0; i < 50; ++i) {
        if (waitpid(c.pid, nullptr, WNOHANG) == c.pid) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (i == 49) {
            kill(c.pid, SIGKILL);
            waitpid(c.pid, nullptr, 0);
        }
    }
    if (c.out >= 0) close(c.out);
    c = {};
}

bool Alive(pid_t pid) { return kill(pid, 0) == 0 && waitpid(pid, nullptr, WNOHANG) == 0; }

// Xvfb on a free display number, or none: the front-end then runs offscreen.
Child StartXvfb() {
    int fds[2];
    if (pipe(fds) != 0) return {};
    const pid_t pid = fork();
    if (pid == 0) {
        const int null = open("/dev/null", O_RDWR);
        dup2(null, 1);
        dup2(null, 2);
        const std::string fd = std::to_string(fds[1]);
        execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "1600x1000x24",
               "-nolisten", "tcp", static_cast<char *>(nullptr));
        _exit(127);
    }
    close(fds[1]);
    const std::string number = ReadLine(fds[0], 10.0);
    close(fds[0]);
    if (number.empty()) {
        waitpid(pid, nullptr, 0);
        return {};
    }
    g_display = ":" + number;
    return {pid, -1};
}

struct Sample {
    double wall = 0;
    double cpu = 0;    // seconds of all threads
    long wakeups = 0;  // context switches of all threads
    long raw = -1;     // raw-values requests the sensor saw
    long total = -1;   // all requests it saw
};

double CpuSeconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string s((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto close = s.rfind(')');
    if (close == std::string::npos) return 0;
    std::istringstream fields(s.substr(close + 2));
    std::string f;
    long utime = 0, stime = 0;
    for (int i = 0; fields >> f; ++i) {
        if (i == 11) utime = std::atol(f.c_str());
        if (i == 12) {
            stime = std::atol(f.c_str());
            break;
        }
    }
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

long ContextSwitches(pid_t pid) {
    const std::string dir = "/proc/" + std::to_string(pid) + "/task";
    long total = 0;
    DIR *d = opendir(dir.c_str());
    if (!d) return 0;
    while (dirent *e = readdir(d)) {
        if (e->d_name[0] == '.') continue;
        std::ifstream in(dir + "/" + e->d_name + "/status");
        std::string line;
        while (std::getline(in, line))
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0 ||
                line.rfind("nonvoluntary_ctxt_switches:", 0) == 0)
                total += std::atol(line.substr(line.find(':') + 1).c_str());
    }
    closedir(d);
    return total;
}

// Raw-values requests and all requests the sensor saw so far.
bool Requests(Child &sim, long *raw, long *total) {
    kill(sim.pid, SIGUSR1);
    const std::string line = ReadLine(sim.out, 5.0);
    const std::string rawKey = " cmd" + std::to_string(kRawCommand) + " ";
    const auto at = line.find(rawKey);
    const auto all = line.find(" total ");
    if (at == std::string::npos || all == std::string::npos) return false;
    *raw = std::atol(line.c_str() + at + rawKey.size());
    *total = std::atol(line.c_str() + all + 7);
    return true;
}

Sample Take(pid_t frontEnd, Child &sim) {
    Sample s;
    s.wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
    s.cpu = CpuSeconds(frontEnd);
    s.wakeups = ContextSwitches(frontEnd);
    if (!Requests(sim, &s.raw, &s.total)) s.raw = s.total = -1;
    return s;
}

struct Figures {
    double rate = 0;     // raw requests per second
    double cpu = 0;      // share of one core
    double wakeups = 0;  // per second
    bool ok = false;
    double delivered = 0;  // publishing: samples per second the subscriber got
    long missing = 0;      // publishing: sample numbers the subscriber never got
    double events = -1;    // accessibility: events per second the listener got
    std::string commonest;
};

// ---------------------------------------------------------------- publishing
struct Plant {
    Child broker, subscriber;
    int port = 0;
    bool sparkplug = false;
    std::string received;  // the subscriber's file: one payload a line (hex for Sparkplug)
};

Plant StartPlant(bool sparkplug) {
    Plant p;
    p.sparkplug = sparkplug;
    p.port = kvextest::FreePort();
    const std::string base = "/tmp/kvex-bench-" + std::to_string(getpid());
    const std::string conf = base + "-broker.conf";
    p.received = base + "-received.txt";
    std::ofstream(conf) << "persistence false\nmax_queued_messages 0\nallow_anonymous true\n"
                        << "listener " << p.port << " 127.0.0.1\n";
    p.broker = Spawn({"mosquitto", "-c", conf}, {}, false);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const std::string port = std::to_string(p.port);
    const std::string topic = sparkplug ? "'spBv1.0/bench/DDATA/#' -F %x" : "bench/measurement";
    p.subscriber = Spawn(
        {"sh", "-c",
         "exec mosquitto_sub -h 127.0.0.1 -p " + port + " -q 1 -t " + topic + " > " + p.received},
        {}, false);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    return p;
}

void StopPlant(Plant &p) {
    Stop(p.subscriber);
    Stop(p.broker);
    std::remove(p.received.c_str());
}

// Protobuf's base-128 number at at; false past the end.
bool Varint(const std::vector<unsigned char> &b, std::size_t &at, unsigned long long &v) {
    v = 0;
    for (int shift = 0; at < b.size() && shift < 64; shift += 7) {
        const unsigned char c = b[at++];
        v |= static_cast<unsigned long long>(c & 0x7F) << shift;
        if (!(c & 0x80)) return true;
    }
    return false;
}

// The sample number (metric alias 13, its long value) of a DDATA payload in
// hex, or -1: just enough of the wire format to count what came.
long SparkplugSample(const std::string &hex) {
    std::vector<unsigned char> b;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        b.push_back(static_cast<unsigned char>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    std::size_t at = 0;
    unsigned long long key = 0, v = 0;
    while (at < b.size() && Varint(b, at, key)) {
        const unsigned wire = key & 7;
        if (wire == 0 && Varint(b, at, v)) continue;
        if (wire != 2 || !Varint(b, at, v) || at + v > b.size()) return -1;
        const std::size_t end = at + v;
        if ((key >> 3) != 2) {  // not a metric
            at = end;
            continue;
        }
        unsigned long long alias = 0, value = 0;
        bool hasValue = false;
        while (at < end && Varint(b, at, key)) {
            if ((key & 7) == 0 && Varint(b, at, v)) {
                if ((key >> 3) == 2) alias = v;
                if ((key >> 3) == 11) value = v, hasValue = true;
            } else if ((key & 7) == 1) {
                at += 8;
            } else if ((key & 7) == 2 && Varint(b, at, v)) {
                at += v;
            } else {
                return -1;
            }
        }
        if (alias == 13 && hasValue) return static_cast<long>(value);
        at = end;
    }
    return -1;
}

// The subscriber's messages so far, and the sample numbers missing among them.
long Received(const Plant &p, long *missing) {
    std::ifstream in(p.received);
    std::string line;
    long count = 0, expected = 1;
    *missing = 0;
    while (std::getline(in, line)) {
        long n = -1;
        if (p.sparkplug) {
            n = SparkplugSample(line);  // -1 too for one being written
        } else {
            const auto at = line.find("\"sample\": ");
            if (at == std::string::npos || line.back() != '}') continue;  // one being written
            n = std::atol(line.c_str() + at + 10);
        }
        if (n < 0) continue;
        if (n > expected) *missing += n - expected;
        if (n >= expected) expected = n + 1;
        ++count;
    }
    return count;
}

// ------------------------------------------------------------ accessibility
struct AccessBus {
    Child session, launcher, listener;
    std::string address;  // the session bus, for the front-end's environment
};

void StopAccessBus(AccessBus &a) {
    Stop(a.listener);
    Stop(a.launcher);
    Stop(a.session);
}

// The accessibility bus's own address, asked of the launcher on the session
// bus; "" while it is not up yet.
std::string AccessBusAddress(const std::string &session) {
    Child ask = Spawn({"dbus-send", "--bus=" + session, "--print-reply=literal",
                       "--dest=org.a11y.Bus", "/org/a11y/bus", "org.a11y.Bus.GetAddress"},
                      {}, true);
    std::string reply = ReadLine(ask.out, 5.0);
    waitpid(ask.pid, nullptr, 0);
    close(ask.out);
    const auto from = reply.find_first_not_of(' ');
    return from == std::string::npos ? "" : reply.substr(from);
}

AccessBus StartAccessBus() {
    AccessBus a;
    a.session = Spawn({"dbus-daemon", "--session", "--nofork", "--print-address"}, {}, true);
    a.address = ReadLine(a.session.out, 5.0);
    if (a.address.empty()) return a;
    const std::vector<std::string> env = {"DBUS_SESSION_BUS_ADDRESS=" + a.address,
                                          "DISPLAY=" + g_display};
    a.launcher = Spawn({"/usr/libexec/at-spi-bus-launcher", "--launch-immediately"}, env, false);
    std::string bus;
    for (int i = 0; i < 50 && bus.empty(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        bus = AccessBusAddress(a.address);
    }
    if (bus.empty()) {
        StopAccessBus(a);
        a.address.clear();
        return a;
    }
    a.listener = Spawn({KVEX_ACCESS_LISTENER, bus}, {}, true);
    if (ReadLine(a.listener.out, 10.0) != "listening") {
        StopAccessBus(a);
        a.address.clear();
    }
    return a;
}

// The events the listener received so far ("events N ..."), or -1.
long AccessEvents(AccessBus &a, std::string *commonest) {
    if (a.listener.pid <= 0) return -1;
    kill(a.listener.pid, SIGUSR1);
    const std::string line = ReadLine(a.listener.out, 5.0);
    if (line.rfind("events ", 0) != 0) return -1;
    char *end = nullptr;
    const long n = std::strtol(line.c_str() + 7, &end, 10);
    if (commonest && end) *commonest = end;
    return n;
}

// One run: a sensor, a front-end in the given mode ("" for idle), measured
// after the start-up has settled.
Figures RunOnce(bool paced, const char *mode, double seconds, bool flood, bool publish,
                bool statistics, bool access, bool sparkplug) {
    Figures f;
    Plant plant;
    if (publish) plant = StartPlant(sparkplug);
    AccessBus bus;
    if (access) {
        bus = StartAccessBus();
        if (bus.address.empty()) {
            std::fprintf(stderr,
                         "process_bench: no accessibility bus (dbus-daemon, "
                         "at-spi2-core and python3-dbus are needed)\n");
            return f;
        }
    }
    // The sensor answers without a processing time of its own, so that the
    // line is the only limit besides the front-end.
    std::vector<std::string> simArgs = {g_bin + "/kvex-sensor-sim", "--latency", "0"};
    if (!paced) simArgs.push_back("--fast");
    if (flood) simArgs.push_back("--flood");
    Child sim = Spawn(simArgs, {}, true);
    const std::string serving = ReadLine(sim.out, 5.0);
    const auto on = serving.find(" on ");
    if (sim.pid <= 0 || on == std::string::npos) {
        std::fprintf(stderr, "process_bench: the simulated sensor did not start\n");
        Stop(sim);
        return f;
    }
    std::vector<std::string> args = {g_bin + "/kvex", "--port", serving.substr(on + 4)};
    if (*mode) {
        args.push_back("--start");
        args.push_back(mode);
    }
    if (statistics) args.push_back("--statistics");
    // A fresh start every time: nothing the operator's own runs remembered
    // (zoom, window size) changes what is measured.
    const std::string settings = "/tmp/kvex-bench-" + std::to_string(getpid()) + ".ini";
    std::remove(settings.c_str());
    if (publish)
        std::ofstream(settings) << "[publish]\nurl=mqtt://127.0.0.1:" << plant.port
                                << "/bench\non=1\n"
                                << (sparkplug ? "format=1\nsparkplug=bench/node\n" : "");
    std::vector<std::string> env = {"KVEX_SETTINGS=" + settings};
    if (access) {
        env.push_back("DBUS_SESSION_BUS_ADDRESS=" + bus.address);
        env.push_back("QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1");
    }
    if (g_display.empty())
        env.push_back("QT_QPA_PLATFORM=offscreen");
    else
        env.push_back("DISPLAY=" + g_display);
    Child front = Spawn(args, env, false);
    std::this_thread::sleep_for(std::chrono::duration<double>(kWarmUp));
    long missing = 0;
    const long receivedA = publish ? Received(plant, &missing) : 0;
    const long eventsA = AccessEvents(bus, nullptr);
    const Sample a = Take(front.pid, sim);
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const Sample b = Take(front.pid, sim);
    const long eventsB = AccessEvents(bus, &f.commonest);
    const long receivedB = publish ? Received(plant, &missing) : 0;
    f.ok = Alive(front.pid) && a.raw >= 0 && b.raw >= 0;
    const double wall = b.wall - a.wall;
    // A video cycle is five requests; counting them all measures the rate
    // five times finer than counting cycles.
    const bool video = std::strcmp(mode, "video") == 0;
    f.rate = video ? static_cast<double>(b.total - a.total) / kVideoRequests / wall
                   : static_cast<double>(b.raw - a.raw) / wall;
    f.cpu = (b.cpu - a.cpu) / wall;
    f.wakeups = static_cast<double>(b.wakeups - a.wakeups) / wall;
    f.delivered = static_cast<double>(receivedB - receivedA) / wall;
    f.missing = missing;
    if (eventsA >= 0 && eventsB >= 0) f.events = static_cast<double>(eventsB - eventsA) / wall;
    Stop(front);
    if (access) StopAccessBus(bus);
    Stop(sim);
    if (publish) StopPlant(plant);
    std::remove(settings.c_str());
    if (!f.ok) std::fprintf(stderr, "process_bench: the front-end ended or the sensor was mute\n");
    return f;
}

double Median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

Figures Medians(bool paced, const char *mode, double seconds, int runs, bool flood, bool publish,
                bool statistics, bool access, bool sparkplug) {
    std::vector<double> rate, cpu, wake, delivered, events;
    Figures m;
    m.ok = true;
    for (int i = 0; i < runs; ++i) {
        const Figures f =
            RunOnce(paced, mode, seconds, flood, publish, statistics, access, sparkplug);
        events.push_back(f.events);
        if (!f.commonest.empty()) m.commonest = f.commonest;
        m.ok = m.ok && f.ok;
        rate.push_back(f.rate);
        cpu.push_back(f.cpu);
        wake.push_back(f.wakeups);
        delivered.push_back(f.delivered);
        m.missing += f.missing;
    }
    m.delivered = Median(delivered);
    m.rate = Median(rate);
    m.cpu = Median(cpu);
    m.wakeups = Median(wake);
    m.events = Median(events);
    return m;
}

// One goal: the measured figure against its target, as a ratio.
void Goal(const char *what, double measured, double target, bool atLeast, const char *unit) {
    const double ratio = target > 0 ? measured / target : (measured > 0 ? 1e9 : 0);
    const bool met = atLeast ? measured >= target : measured <= target;
    std::printf("  %-44s %10.3f %-12s target %s %8.3f  ratio %6.4f  %s\n", what, measured, unit,
                atLeast ? ">=" : "<=", target, ratio, met ? "met" : "MISSED");
}

void Describe(const char *name, const Figures &f) {
    std::printf("%-22s %9.3f /s  CPU %5.2f %% of one core  %8.1f wake-ups/s%s\n", name, f.rate,
                100.0 * f.cpu, f.wakeups, f.ok ? "" : "  (a run failed)");
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char **argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 20.0;
    const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
    const std::string chosen = argc > 3 ? std::string(",") + argv[3] + ","
                                        : ",run,video,fast,idle,flood,publish,fastpublish,";
    const auto wanted = [&chosen](const char *name) {
        return chosen.find(std::string(",") + name + ",") != std::string::npos;
    };
    g_bin = BinDir();
    signal(SIGPIPE, SIG_IGN);
    Child xvfb = StartXvfb();
    std::printf("front-end window: %s; %d runs of %.0f s each, medians\n",
                g_display.empty() ? "offscreen (no Xvfb)" : ("Xvfb " + g_display).c_str(), runs,
                seconds);
    std::fflush(stdout);

    // A scenario not chosen counts as passed and prints nothing.
    const auto measure = [&](const char *key, bool paced, const char *mode, const char *title,
                             bool flood = false, bool publish = false, bool statistics = false,
                             bool access = false, bool sparkplug = false) {
        Figures f;
        f.ok = true;
        if (!wanted(key)) return f;
        f = Medians(paced, mode, seconds, runs, flood, publish, statistics, access, sparkplug);
        Describe(title, f);
        if (access)
            std::printf("%-22s %9.2f accessibility events/s; commonest:%s\n", "", f.events,
                        f.commonest.c_str());
        if (publish)
            std::printf("%-22s %9.1f samples/s delivered to a subscriber, %ld missing\n", "",
                        f.delivered, f.missing);
        return f;
    };
    const Figures run = measure("run", true, "run", "run mode, paced");
    const Figures video = measure("video", true, "video", "video mode, paced");
    const Figures fast = measure("fast", false, "run", "run mode, unpaced");
    const Figures idle = measure("idle", true, "", "idle, sensor attached");
    // Random bytes at the line's full rate between the replies: discarding
    // them may cost at most as much again as run mode itself.
    const Figures flood = measure("flood", true, "run", "run mode, flooded", true);
    // Publishing every sample to a local broker, paced and unpaced.
    const Figures pub = measure("publish", true, "run", "run mode + MQTT, paced", false, true);
    const Figures fastPub =
        measure("fastpublish", false, "run", "run mode + MQTT, unpaced", false, true);
    // The same as a Sparkplug B edge node: protobuf payloads, births, seq.
    const Figures spark = measure("sparkplug", true, "run", "run mode + Sparkplug B, paced", false,
                                  true, false, false, true);
    const Figures fastSpark =
        measure("fastsparkplug", false, "run", "run mode + Sparkplug, unpaced", false, true, false,
                false, true);
    // The statistics window open beside run mode: its figures and charts may
    // cost at most 0.3 % of a core more than run mode alone.
    const Figures stats =
        measure("stats", true, "run", "run mode + statistics", false, false, true);

    // The same run mode with a screen reader's bus listening: the events of
    // texts that change at the line's rate are the price.
    const Figures access =
        measure("access", true, "run", "run mode + a11y bus", false, false, false, true);

    std::printf("\ngoals (measured / target):\n");
    if (wanted("run")) {
        Goal("run mode, paced: exchanges/s", run.rate, 0.99 * kRunLimit, true, "/s");
        Goal("run mode, paced: CPU of one core", 100.0 * run.cpu, 3.0, false, "%");
        Goal("run mode, paced: wake-ups per exchange", run.rate > 0 ? run.wakeups / run.rate : 1e9,
             3.0, false, "");
    }
    if (wanted("video")) {
        Goal("video mode, paced: cycles/s", video.rate, 0.98 * kVideoLimit, true, "/s");
        Goal("video mode, paced: CPU of one core", 100.0 * video.cpu, 3.0, false, "%");
    }
    if (wanted("fast")) Goal("run mode, unpaced: exchanges/s", fast.rate, 2000.0, true, "/s");
    if (wanted("idle")) {
        Goal("idle: CPU of one core", 100.0 * idle.cpu, 0.1, false, "%");
        Goal("idle: wake-ups/s", idle.wakeups, 1.0, false, "/s");
    }
    if (wanted("flood")) {
        Goal("run mode, flooded: exchanges/s", flood.rate, 0.5 * kRunLimit, true, "/s");
        Goal("run mode, flooded: CPU of one core", 100.0 * flood.cpu,
             wanted("run") ? 2 * 100.0 * run.cpu : 6.0, false, "%");
    }
    if (wanted("publish") && wanted("run"))
        Goal("publishing, paced: CPU on top of run mode", 100.0 * (pub.cpu - run.cpu), 0.5, false,
             "%");
    if (wanted("sparkplug") && wanted("run"))
        Goal("Sparkplug, paced: CPU on top of run mode", 100.0 * (spark.cpu - run.cpu), 0.5, false,
             "%");
    if (wanted("fastsparkplug")) {
        Goal("Sparkplug, unpaced: delivered/s", fastSpark.delivered, 2000.0, true, "/s");
        Goal("Sparkplug, unpaced: samples missing", static_cast<double>(fastSpark.missing), 0.0,
             false, "");
    }
    if (wanted("fastpublish")) {
        Goal("run mode + MQTT, unpaced: delivered/s", fastPub.delivered, 2000.0, true, "/s");
        Goal("run mode + MQTT, unpaced: samples missing", static_cast<double>(fastPub.missing), 0.0,
             false, "");
    }
    if (wanted("stats")) {
        Goal("run mode + statistics: exchanges/s", stats.rate, 0.99 * kRunLimit, true, "/s");
        if (wanted("run"))
            Goal("statistics window: CPU on top of run mode", 100.0 * (stats.cpu - run.cpu), 0.3,
                 false, "%");
    }
    if (wanted("access")) {
        Goal("run mode + a11y bus: exchanges/s", access.rate, 0.99 * kRunLimit, true, "/s");
        Goal("run mode + a11y bus: CPU of one core", 100.0 * access.cpu, 3.0, false, "%");
        Goal("run mode + a11y bus: wake-ups per exchange",
             access.rate > 0 ? access.wakeups / access.rate : 1e9, 3.0, false, "");
    }
    Stop(xvfb);
    return access.ok && run.ok && video.ok && fast.ok && idle.ok && flood.ok && pub.ok &&
                   fastPub.ok && spark.ok && fastSpark.ok && stats.ok
               ? 0
               : 1;
}
