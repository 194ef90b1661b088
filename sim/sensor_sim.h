// Placeholder: the simulated sensor replaces this file.
#pragma once
#include <string>
namespace kvexsim {
struct SimConfig {
    bool paced = true;
};
class SensorSim {
public:
    explicit SensorSim(SimConfig config = {}) : config_(config) {}
    bool start() { return false; }
    void stop() {}
    const std::string &devicePath() const { return path_; }

private:
    SimConfig config_;
    std::string path_;
};
}  // namespace kvexsim
