// The simulated sensor on a real serial line: a pseudo-terminal pair whose
// slave device a front-end opens like any serial port, and a thread that takes
// the requests in and answers them through the protocol model
// (sensor_model.h), paced as a 19200-baud line would be.
//
//   kvexsim::SensorSim sim(config);
//   if (!sim.start()) ...;            // opens the pair, starts serving
//   open sim.devicePath() ...         // e.g. /dev/pts/5
//
// Every method may be called from any thread while the sensor serves.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "frame_assembler.h"
#include "pty_line.h"
#include "sensor_model.h"
#include "sim_config.h"

namespace kvexsim {

// One complete request frame as it came off the line.
struct RequestRecord {
    Frame bytes{};
    double time = 0.0;  // seconds since start()
    std::uint16_t command() const { return getWord(&bytes[2]); }
    std::uint16_t subArgument() const { return getWord(&bytes[4]); }
};

class SensorSim {
  public:
    explicit SensorSim(SimConfig config = {});
    ~SensorSim();
    SensorSim(const SensorSim &) = delete;
    SensorSim &operator=(const SensorSim &) = delete;

    // Opens the pseudo-terminal pair and starts serving; false on failure.
    // Starting a running sensor does nothing and returns true.
    bool start();
    // Stops serving and closes the line; also ends a pending late reply.
    void stop();
    bool running() const;
    // The slave device, e.g. /dev/pts/5; empty before start().
    const std::string &devicePath() const { return path_; }

    // ---------------------------------------------------------- faults and settings
    void setFaults(const Faults &faults);
    Faults faults() const;
    void setHardware(const HardwareInfo &hardware);
    HardwareInfo hardware() const;
    void setPaced(bool paced);
    // Power off and on: RAM is loaded from EEPROM.
    void powerCycle();
    // The adapter is pulled: the line closes and the device disappears.
    // Serving ends; the sensor stays vanished until stop() and start().
    void vanish();
    bool vanished() const;

    // ---------------------------------------------------------- observation
    std::vector<RequestRecord> requests() const;
    std::size_t requestCount() const;
    // Requests received with this command code since start() or clearRequests().
    int commandCount(std::uint16_t command) const;
    // Waits until at least n requests are in the log; false after the time-out.
    bool waitForRequests(std::size_t n, double timeoutSeconds) const;
    void clearRequests();
    // Replies handed to the line (counted as their first byte goes out).
    std::size_t repliesSent() const;
    // Bytes dropped because they could not belong to a request frame.
    std::size_t bytesDiscarded() const;

    ParamFrame ram(int frame) const;
    ParamFrame eeprom(int frame) const;
    std::uint16_t teachA() const;
    std::uint16_t teachB() const;
    EdgePositions positions() const;  // of the last measurement
    RawValues lastRaw() const;        // of the last measurement

  private:
    using Clock = std::chrono::steady_clock;

    void serve();
    bool waitForLine();
    void readLine();
    void handle(const Frame &frame, double t);
    // Paced, the bytes leave as from a line that starts shifting at t0.
    void send(const std::vector<std::uint8_t> &bytes, bool paced, Clock::time_point t0,
              std::size_t tail = 1);
    bool pauseUntil(Clock::time_point due);
    bool pause(double seconds);
    void wake();
    double now() const;
    // Random bytes for the time since the line last carried something.
    void flood(double t);

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    SimConfig config_;
    SensorModel model_;
    PtyLine line_;
    FrameAssembler assembler_;
    std::thread thread_;
    std::string path_;
    Clock::time_point started_{};
    int wakePipe_[2] = {-1, -1};
    bool stopping_ = false;
    bool vanishRequested_ = false;
    bool vanished_ = false;
    std::vector<RequestRecord> log_;
    std::array<int, 256> counts_{};
    std::size_t replies_ = 0;
    double lineFreeSince_ = 0.0;  // the flood fills the line from here on
    std::minstd_rand floodRng_{12345};
};

}  // namespace kvexsim
