// The sensor as a pure protocol model: one request frame and the time it
// arrives go in, the reply bytes come out. No line, no thread, no clock of its
// own, so that every reply can be checked byte by byte.
//
// Replies:
//   frames (36 bytes): bytes 0-1 sync word 00 AA, bytes 2-3 the command code.
//   5  line check     echo: bytes 4-5 the sub-argument, bytes 6-35 the payload
//   2/4 read RAM/EEPROM  bytes 4-5 the frame number, bytes 6-35 its 15 words
//   6  teach          the current edge positions become teach A (frame 0
//                     word 2) and teach B (frame 1 word 2) in RAM; the reply
//                     carries RAM frame 0 from byte 6
//   8  raw values     16 words from byte 4 (see RawValues)
//   10 hardware info  the HardwareInfo fields from byte 4
//   11 reset max/min  echo of the payload; max/min start again from the
//                     current measured value
//   raw replies: 7 firmware text, 72 bytes; 9 data block, 128 bytes.
//   1/3 (writes) store the payload into the RAM or EEPROM frame of the
//   sub-argument and send no reply; the front-end awaits none. Unknown
//   codes get no reply either.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "sim_config.h"
#include "target.h"

namespace kvexsim {

// The 16 words of a raw-values reply, in their order on the line.
struct RawValues {
    std::uint16_t aval = 0, bval = 0, mvalue = 0;
    std::int32_t umValue = 0;  // sent high half first
    std::uint16_t tolup = 0, tollo = 0;
    std::uint16_t edcntA = 0, edcntB = 0;
    std::uint16_t peakwA = 0, peakwB = 0;
    std::uint16_t anaMax = 0, anaMin = 0;
    std::uint16_t raw13 = 0, raw14 = 0, raw15 = 0;

    std::array<std::uint16_t, 16> words() const;
};

struct Reply {
    std::vector<std::uint8_t> bytes;     // sent in one go
    std::vector<std::uint8_t> trailing;  // sent after a short pause (garbage fault)
    // The last bytes that leave together: the reply's own last byte and any
    // extra ones after it, which follow it on the line with no gap at all.
    std::size_t tail = 1;
    bool empty() const { return bytes.empty() && trailing.empty(); }
};

// Measured value by evaluation mode: 0 B, 1 A, 2 2N - (A + B), 3 and 4
// N + A - B; any other mode measures like 0. Kept to 16 bits.
std::uint16_t measuredPosition(std::uint16_t mode, std::uint16_t a, std::uint16_t b,
                               std::uint16_t n);
// The position that the setpoint value stands for, by the same modes:
// 0 teach B, 1 teach A, 2 2N - (teach A + teach B), 3 and 4 N.
std::uint16_t setpointPosition(std::uint16_t mode, std::uint16_t teachA, std::uint16_t teachB,
                               std::uint16_t n);

class SensorModel {
  public:
    explicit SensorModel(const SimConfig &config);

    // Answers one request that arrived t seconds after power-on.
    Reply handle(const Frame &request, double t);
    // Power off and on: RAM is loaded from EEPROM, max/min start again.
    void powerCycle();

    void setFaults(const Faults &faults) { faults_ = faults; }
    const Faults &faults() const { return faults_; }
    void setHardware(const HardwareInfo &hardware) { hardware_ = hardware; }
    const HardwareInfo &hardware() const { return hardware_; }

    const ParamFrame &ram(int frame) const { return ram_[frame == 0 ? 0 : 1]; }
    const ParamFrame &eeprom(int frame) const { return eeprom_[frame == 0 ? 0 : 1]; }
    std::uint16_t teachA() const { return ram_[0][2]; }
    std::uint16_t teachB() const { return ram_[1][2]; }
    // Edge positions and raw values of the last measurement (commands 6, 8, 9, 11).
    EdgePositions positions() const { return positions_; }
    const RawValues &lastRaw() const { return raw_; }

  private:
    std::vector<std::uint8_t> answer(const Frame &request, double t);
    std::vector<std::uint8_t> frameReply(std::uint16_t command, std::uint16_t word45) const;
    std::vector<std::uint8_t> paramReply(std::uint16_t command, const ParamFrame &words,
                                         std::uint16_t word45) const;
    std::vector<std::uint8_t> rawValuesReply(double t);
    std::vector<std::uint8_t> hardwareReply() const;
    std::vector<std::uint8_t> firmwareReply() const;
    std::vector<std::uint8_t> dataBlockReply(std::uint16_t offset, std::uint16_t channel, double t);
    void storeFrame(ParamFrame &dest, const Frame &request);
    void measure(double t);
    void resetMaxMin();
    std::uint16_t fullScale() const;
    Reply shape(std::uint16_t command, std::vector<std::uint8_t> bytes);

    SimConfig config_;
    HardwareInfo hardware_;
    Faults faults_;
    std::array<ParamFrame, 2> eeprom_;
    std::array<ParamFrame, 2> ram_;
    Target target_;
    EdgePositions positions_;
    RawValues raw_;
    bool haveMaxMin_ = false;
    std::uint16_t maxValue_ = 0, minValue_ = 0;
    std::uint16_t measurements_ = 0;
    std::array<std::uint16_t, kSamples> history_{};  // channel 2: the last measured values
    std::mt19937 garbageRng_;
    unsigned long touched_ = 0;  // requests the faults touched, for everySecond
};

}  // namespace kvexsim
