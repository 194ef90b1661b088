#include "sensor_sim.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>

namespace kvexsim {

namespace {
// A 19200-baud line with 8 data bits, no parity and one stop bit carries ten
// bits per byte.
constexpr double kByteSeconds = 10.0 / 19200.0;
// Bytes go to the line one at a time, as a UART shifts them out, so that a
// pause of two byte times means the sender stopped.
constexpr std::size_t kPaceChunk = 1;
constexpr double kGarbagePause = 0.003;  // between a reply and its garbage
constexpr double kFinalSpinSeconds = 0.0003;
constexpr int kPollMs = 20;
constexpr int kFloodPollMs = 2;  // the flood goes out in pieces of about four bytes
constexpr std::size_t kReadChunk = 512;

std::chrono::steady_clock::duration toDuration(double seconds) {
    return std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(seconds));
}
}  // namespace

SensorSim::SensorSim(SimConfig config)
    : config_(std::move(config)), model_(config_), assembler_() {}

SensorSim::~SensorSim() { stop(); }

double SensorSim::now() const {
    return std::chrono::duration<double>(Clock::now() - started_).count();
}

bool SensorSim::start() {
    if (thread_.joinable()) return true;
    if (!line_.open()) return false;
    if (pipe2(wakePipe_, O_CLOEXEC | O_NONBLOCK) != 0) {
        line_.close();
        return false;
    }
    {
        std::lock_guard lock(mutex_);
        path_ = line_.slavePath();
        started_ = Clock::now();
        stopping_ = vanishRequested_ = vanished_ = false;
    }
    thread_ = std::thread(&SensorSim::serve, this);
    return true;
}

void SensorSim::stop() {
    if (thread_.joinable()) {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        wake();
        changed_.notify_all();
        thread_.join();
    }
    line_.close();
    for (int &fd : wakePipe_) {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
}

bool SensorSim::running() const {
    std::lock_guard lock(mutex_);
    return thread_.joinable() && !stopping_ && !vanished_;
}

void SensorSim::wake() {
    if (wakePipe_[1] >= 0) {
        const char byte = 1;
        [[maybe_unused]] ssize_t n = ::write(wakePipe_[1], &byte, 1);
    }
}

// ------------------------------------------------------------------ serving

void SensorSim::serve() {
    while (waitForLine()) readLine();
}

// Handles stop and unplug requests; false once serving is over.
bool SensorSim::waitForLine() {
    std::unique_lock lock(mutex_);
    if (vanishRequested_ && !vanished_) {
        line_.close();
        vanished_ = true;
        changed_.notify_all();
    }
    if (vanished_) changed_.wait(lock, [this] { return stopping_; });
    return !stopping_;
}

void SensorSim::readLine() {
    pollfd fds[2] = {{line_.masterFd(), POLLIN, 0}, {wakePipe_[0], POLLIN, 0}};
    bool flooding = false;
    {
        std::lock_guard lock(mutex_);
        flooding = model_.faults().flood;
    }
    if (poll(fds, 2, flooding ? kFloodPollMs : kPollMs) < 0) return;
    if (flooding) flood(now());
    if (fds[1].revents & POLLIN) {
        char drain[16];
        while (::read(wakePipe_[0], drain, sizeof drain) > 0) {
        }
    }
    std::uint8_t buffer[kReadChunk];
    const double t = now();
    if (fds[0].revents & POLLIN) {
        const ssize_t n = line_.read(buffer, sizeof buffer);
        if (n > 0) {
            std::vector<Frame> frames;
            {
                std::lock_guard lock(mutex_);
                frames = assembler_.feed(buffer, static_cast<std::size_t>(n), t);
            }
            for (const Frame &f : frames) handle(f, t);
            return;
        }
    }
    // Without a reader on the slave side the master may report a hang-up
    // until the front-end opens the port again; do not spin on it.
    if (fds[0].revents & (POLLHUP | POLLERR)) pause(0.01);
    std::lock_guard lock(mutex_);
    assembler_.expire(t);
}

void SensorSim::handle(const Frame &frame, double t) {
    Reply reply;
    double late = 0.0;
    bool paced = true, flooding = false;
    double latency = 0.0;
    {
        std::lock_guard lock(mutex_);
        log_.push_back({frame, t});
        ++counts_[getWord(&frame[2]) & 0xFF];
        reply = model_.handle(frame, t);
        const Faults &f = model_.faults();
        late = f.appliesTo(getWord(&frame[2])) ? f.lateSeconds : 0.0;
        paced = config_.paced;
        latency = config_.latencySeconds;
        flooding = f.flood;
    }
    changed_.notify_all();
    if (reply.empty()) return;
    // The front-end hands its 36 bytes to the pseudo-terminal at once; on a
    // real line the last of them arrives 36 byte times after the first.
    // The reply's times count from the request's, so that no wake-up of this
    // thread comes late twice.
    const double arrival = static_cast<double>(kFrameBytes) * kByteSeconds;
    const double startAt = t + (paced ? arrival + latency : 0.0) + late;
    const Clock::time_point start = started_ + toDuration(startAt);
    // While the request comes in, the sensor's own line is free: a flood
    // fills it up to the reply.
    for (double n = now(); flooding && n < startAt; n = now()) {
        if (!pause(std::min(startAt - n, kFloodPollMs / 1000.0))) return;
        flood(std::min(now(), startAt));
    }
    if (!pauseUntil(start)) return;
    {
        std::lock_guard lock(mutex_);
        ++replies_;
    }
    send(reply.bytes, paced, start, reply.tail);
    if (!reply.trailing.empty() && pause(kGarbagePause)) send(reply.trailing, paced, Clock::now());
    lineFreeSince_ = now();
}

void SensorSim::flood(double t) {
    if (lineFreeSince_ < t - 0.1) lineFreeSince_ = t - 0.1;
    const auto due = static_cast<std::size_t>((t - lineFreeSince_) / kByteSeconds);
    if (due == 0) return;
    std::vector<std::uint8_t> bytes(std::min<std::size_t>(due, 256));
    for (auto &b : bytes) b = static_cast<std::uint8_t>(floodRng_() & 0xFF);
    line_.writeAll(bytes.data(), bytes.size());
    lineFreeSince_ += static_cast<double>(bytes.size()) * kByteSeconds;
}

void SensorSim::send(const std::vector<std::uint8_t> &bytes, bool paced, Clock::time_point t0,
                     std::size_t tail) {
    if (bytes.empty()) return;
    if (!paced) {
        line_.writeAll(bytes.data(), bytes.size());
        return;
    }
    // Each chunk is handed over when its last byte would have been shifted
    // out completely, so the reply is whole no sooner than the line allows.
    // A timed wait ends a little late; the last byte, which the front-end
    // waits for, leaves on time: the thread wakes shortly before and spins.
    // The tail goes in one write: a thread that a busy machine holds back
    // between two of its bytes would open a gap that the line never has.
    tail = std::clamp<std::size_t>(tail, 1, bytes.size());
    for (std::size_t i = 0, k = 0; i < bytes.size(); i += k) {
        const std::size_t left = bytes.size() - i;
        k = left <= tail ? left : std::min(kPaceChunk, left - tail);
        const Clock::time_point due = t0 + toDuration(static_cast<double>(i + k) * kByteSeconds);
        const bool last = i + k == bytes.size();
        if (!pauseUntil(last ? due - toDuration(kFinalSpinSeconds) : due)) return;
        while (last && Clock::now() < due) {
        }
        line_.writeAll(&bytes[i], k);
    }
}

bool SensorSim::pauseUntil(Clock::time_point due) {
    std::unique_lock lock(mutex_);
    changed_.wait_until(lock, due, [this] { return stopping_ || vanishRequested_; });
    return !stopping_ && !vanishRequested_;
}

bool SensorSim::pause(double seconds) {
    if (seconds <= 0.0) {
        std::lock_guard lock(mutex_);
        return !stopping_ && !vanishRequested_;
    }
    return pauseUntil(Clock::now() + toDuration(seconds));
}

// ------------------------------------------------------------------ settings

void SensorSim::setFaults(const Faults &faults) {
    std::lock_guard lock(mutex_);
    model_.setFaults(faults);
}

Faults SensorSim::faults() const {
    std::lock_guard lock(mutex_);
    return model_.faults();
}

void SensorSim::setHardware(const HardwareInfo &hardware) {
    std::lock_guard lock(mutex_);
    model_.setHardware(hardware);
}

HardwareInfo SensorSim::hardware() const {
    std::lock_guard lock(mutex_);
    return model_.hardware();
}

void SensorSim::setPaced(bool paced) {
    std::lock_guard lock(mutex_);
    config_.paced = paced;
}

void SensorSim::powerCycle() {
    std::lock_guard lock(mutex_);
    model_.powerCycle();
}

void SensorSim::vanish() {
    if (!thread_.joinable()) {
        line_.close();
        std::lock_guard lock(mutex_);
        vanished_ = true;
        return;
    }
    std::unique_lock lock(mutex_);
    vanishRequested_ = true;
    wake();
    changed_.notify_all();
    changed_.wait(lock, [this] { return vanished_ || stopping_; });
}

bool SensorSim::vanished() const {
    std::lock_guard lock(mutex_);
    return vanished_;
}

// ------------------------------------------------------------------ observation

std::vector<RequestRecord> SensorSim::requests() const {
    std::lock_guard lock(mutex_);
    return log_;
}

std::size_t SensorSim::requestCount() const {
    std::lock_guard lock(mutex_);
    return log_.size();
}

int SensorSim::commandCount(std::uint16_t command) const {
    std::lock_guard lock(mutex_);
    return command < counts_.size() ? counts_[command] : 0;
}

bool SensorSim::waitForRequests(std::size_t n, double timeoutSeconds) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, toDuration(timeoutSeconds), [&] { return log_.size() >= n; });
}

void SensorSim::clearRequests() {
    std::lock_guard lock(mutex_);
    log_.clear();
    counts_.fill(0);
}

std::size_t SensorSim::repliesSent() const {
    std::lock_guard lock(mutex_);
    return replies_;
}

std::size_t SensorSim::bytesDiscarded() const {
    std::lock_guard lock(mutex_);
    return assembler_.discarded();
}

ParamFrame SensorSim::ram(int frame) const {
    std::lock_guard lock(mutex_);
    return model_.ram(frame);
}

ParamFrame SensorSim::eeprom(int frame) const {
    std::lock_guard lock(mutex_);
    return model_.eeprom(frame);
}

std::uint16_t SensorSim::teachA() const {
    std::lock_guard lock(mutex_);
    return model_.teachA();
}

std::uint16_t SensorSim::teachB() const {
    std::lock_guard lock(mutex_);
    return model_.teachB();
}

EdgePositions SensorSim::positions() const {
    std::lock_guard lock(mutex_);
    return model_.positions();
}

RawValues SensorSim::lastRaw() const {
    std::lock_guard lock(mutex_);
    return model_.lastRaw();
}

}  // namespace kvexsim
