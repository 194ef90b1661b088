// Inside the RS-232 layer: which device each port number names.
#pragma once

#include <string>

#include "rs232.h"

namespace rs232 {

inline constexpr int kMaxPorts = kComMaxPorts;

// The device of port number n, or "" when no device has that number.
std::string DeviceForNumber(int n);

}  // namespace rs232
