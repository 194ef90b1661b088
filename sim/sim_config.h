// Settings of the simulated sensor: what it reports about itself, how its
// target moves, how fast it talks, and which faults it injects on the line.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace kvexsim {

inline constexpr std::size_t kFrameBytes = 36;
inline constexpr std::size_t kFirmwareBytes = 72;
inline constexpr std::size_t kBlockBytes = 128;
inline constexpr std::size_t kSamples = 128;  // CCD signal samples per channel
inline constexpr std::size_t kFrameWords = 15;

using Frame = std::array<std::uint8_t, kFrameBytes>;
using ParamFrame = std::array<std::uint16_t, kFrameWords>;

// Command codes of the request frames.
enum Command : std::uint16_t {
    kWriteRam = 1,
    kReadRam = 2,
    kWriteEeprom = 3,
    kReadEeprom = 4,
    kLineCheck = 5,
    kTeach = 6,
    kFirmware = 7,
    kRawValues = 8,
    kDataBlock = 9,
    kHardware = 10,
    kResetMaxMin = 11,
};

inline constexpr std::uint16_t kRequestHeader = 0x0055;
inline constexpr std::uint16_t kReplySync = 0x00AA;
inline constexpr std::uint16_t kWrongSync = 0x00AB;

// What the sensor answers to command 10 (bytes 4-25 of the reply, in order).
struct HardwareInfo {
    std::uint16_t ccdType = 20;
    std::uint16_t ccdMaxPixel = 1024;
    std::uint16_t ccdResolution = 1;
    std::uint16_t boardType = 1;         // 0 sends the firmware text as words
    std::uint16_t virtualPixels = 4096;  // N, the length of the measuring line
    std::uint16_t subPixels = 4096;
    std::uint16_t firstPixel = 10;
    std::uint16_t lastPixel = 1013;
    std::uint16_t softVersion = 104;
    std::uint16_t refDistance = 37;  // millimetres
    std::uint16_t adcMax = 256;      // 1024 for a 10-bit converter
};

// Faults injected into the replies. Each can be switched while the sensor
// runs (SensorSim::setFaults).
struct Faults {
    bool silent = false;        // the sensor takes requests in but never answers
    bool wrongSync = false;     // frames start with kWrongSync instead of 00 AA
    int replyCommand = 0;       // > 0: frames carry this code instead of the request's
    int shortReply = 0;         // > 0: every reply is cut to this many bytes
    int extraBytes = 0;         // > 0: every reply is followed at once by this many bytes
    int leadingBytes = 0;       // > 0: this many random bytes go out before every reply
    bool ignoreWrites = false;  // parameter frames sent to RAM or EEPROM are not stored
    bool garbage = false;       // a few random bytes follow each reply after a pause
    double lateSeconds = 0.0;   // delay before each reply
    int firmwareLength = static_cast<int>(kFirmwareBytes);  // bytes of the command-7 reply
    bool firmwareNoText = false;  // the command-7 reply has its bytes, all of them zero
    bool everySecond = false;     // only the first, third, fifth ... request is answered
    bool flood = false;           // random bytes at the line's full rate between replies
    int onlyCommand = 0;          // > 0: the faults above touch only replies to this code

    bool appliesTo(std::uint16_t command) const {
        return onlyCommand <= 0 || command == static_cast<std::uint16_t>(onlyCommand);
    }
};

// The sensor's parameter frames as they leave the factory. They differ from
// the front-end's own start values (teach values, tolerances, thresholds), so
// that the sensor's words are recognisable once they reach the panels.
//   frame 0: 500, 45, 2000, 1, 2048, 40, 60, 1, 1, 1, 1, 0, 1, 1, 0
//            (threshold A 45 %, teach A 2000, tolerances 40 up / 60 down,
//             hardware mode 1, evaluation mode 1)
//   frame 1: 500, 55, 2100, 1, 2048, 0, 0, 0, 0, 0, 0, 4096, 0, 37000, 0
//            (threshold B 55 %, teach B 2100, scale factor 4096 = 0.25 um per
//             unit, setpoint value 37000 um; 32-bit values low half first)
inline constexpr ParamFrame kFactoryFrame0 = {500, 45, 2000, 1, 2048, 40, 60, 1,
                                              1,   1,  1,    0, 1,    1,  0};
inline constexpr ParamFrame kFactoryFrame1 = {500, 55, 2100, 1,    2048, 0,     0, 0,
                                              0,   0,  0,    4096, 0,    37000, 0};

struct SimConfig {
    bool paced = true;   // bytes leave at the pace of a 19200-baud line
    bool motion = true;  // false: the target stands still and nothing is noisy in position
    unsigned seed = 1;   // seed of the noise
    // Rest positions of the two edges and the swing of the target, as
    // fractions of the line length N; one swing lasts motionPeriod seconds.
    double restA = 0.498;
    double restB = 0.508;
    double swing = 0.07;
    double motionPeriod = 8.0;
    double latencySeconds = 0.0015;  // the sensor's processing time before it answers
    HardwareInfo hardware;
    std::string firmware = "K-VEX sensor simulator firmware 1.04 (simulated)";
    ParamFrame eeprom0 = kFactoryFrame0;
    ParamFrame eeprom1 = kFactoryFrame1;
    Faults faults;
};

// Big-endian word access on the line.
inline std::uint16_t getWord(const std::uint8_t *bytes) {
    return static_cast<std::uint16_t>((bytes[0] << 8) | bytes[1]);
}
inline void putWord(std::uint8_t *bytes, std::uint16_t value) {
    bytes[0] = static_cast<std::uint8_t>(value >> 8);
    bytes[1] = static_cast<std::uint8_t>(value & 0xFF);
}

}  // namespace kvexsim
