#include "sensor_model.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace kvexsim {

namespace {

constexpr std::uint16_t kNominalWidthA = 9;  // virtual pixels
constexpr std::uint16_t kNominalWidthB = 11;
constexpr std::size_t kMaxReplyBytes = 1024;
constexpr std::uint8_t kExtraByte = 0xEE;
constexpr std::uint16_t kBoardTemperature = 35;  // degrees Celsius, reported in raw word 14

std::uint16_t toWord(double position, std::uint16_t n) {
    const double top = n > 0 ? n - 1.0 : 0.0;
    return static_cast<std::uint16_t>(std::clamp(std::round(position), 0.0, top));
}

bool onLine(double position, std::uint16_t n) { return position >= 0.0 && position < n; }

std::uint32_t join32(std::uint16_t low, std::uint16_t high) {
    return static_cast<std::uint32_t>(low) | (static_cast<std::uint32_t>(high) << 16);
}

std::int32_t clampToInt32(std::int64_t v) {
    return static_cast<std::int32_t>(std::clamp<std::int64_t>(
        v, std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max()));
}

bool isRawReply(std::uint16_t command) { return command == kFirmware || command == kDataBlock; }

}  // namespace

std::array<std::uint16_t, 16> RawValues::words() const {
    const auto um = static_cast<std::uint32_t>(umValue);
    return {aval,
            bval,
            mvalue,
            static_cast<std::uint16_t>(um >> 16),
            static_cast<std::uint16_t>(um & 0xFFFF),
            tolup,
            tollo,
            edcntA,
            edcntB,
            peakwA,
            peakwB,
            anaMax,
            anaMin,
            raw13,
            raw14,
            raw15};
}

std::uint16_t measuredPosition(std::uint16_t mode, std::uint16_t a, std::uint16_t b,
                               std::uint16_t n) {
    switch (mode) {
        case 1:
            return a;
        case 2:
            return static_cast<std::uint16_t>(2 * n - (a + b));
        case 3:
        case 4:
            return static_cast<std::uint16_t>(n + a - b);
        default:
            return b;
    }
}

std::uint16_t setpointPosition(std::uint16_t mode, std::uint16_t teachA, std::uint16_t teachB,
                               std::uint16_t n) {
    switch (mode) {
        case 1:
            return teachA;
        case 2:
            return static_cast<std::uint16_t>(2 * n - (teachA + teachB));
        case 3:
        case 4:
            return n;
        default:
            return teachB;
    }
}

SensorModel::SensorModel(const SimConfig &config)
    : config_(config),
      hardware_(config.hardware),
      faults_(config.faults),
      eeprom_{config.eeprom0, config.eeprom1},
      ram_(eeprom_),
      target_(config),
      garbageRng_(config.seed + 7) {}

void SensorModel::powerCycle() {
    ram_ = eeprom_;
    haveMaxMin_ = false;
    measurements_ = 0;
    history_.fill(0);
}

Reply SensorModel::handle(const Frame &request, double t) {
    const std::uint16_t command = getWord(&request[2]);
    return shape(command, answer(request, t));
}

std::vector<std::uint8_t> SensorModel::answer(const Frame &request, double t) {
    const std::uint16_t command = getWord(&request[2]);
    const std::uint16_t sub = getWord(&request[4]);
    const int frame = sub == 0 ? 0 : 1;
    switch (command) {
        case kWriteRam:
            if (!faults_.ignoreWrites) storeFrame(ram_[frame], request);
            return {};
        case kWriteEeprom:
            if (!faults_.ignoreWrites) storeFrame(eeprom_[frame], request);
            return {};
        case kReadRam:
            return paramReply(command, ram_[frame], sub);
        case kReadEeprom:
            return paramReply(command, eeprom_[frame], sub);
        case kLineCheck: {
            std::vector<std::uint8_t> reply(request.begin(), request.end());
            putWord(&reply[0], kReplySync);
            return reply;
        }
        case kTeach:
            measure(t);
            ram_[0][2] = raw_.aval;
            ram_[1][2] = raw_.bval;
            return paramReply(command, ram_[0], 0);
        case kFirmware:
            return firmwareReply();
        case kRawValues:
            return rawValuesReply(t);
        case kDataBlock:
            return dataBlockReply(sub, getWord(&request[6]), t);
        case kHardware:
            return hardwareReply();
        case kResetMaxMin: {
            measure(t);
            resetMaxMin();
            std::vector<std::uint8_t> reply(request.begin(), request.end());
            putWord(&reply[0], kReplySync);
            putWord(&reply[4], 0);
            return reply;
        }
        default:
            return {};
    }
}

void SensorModel::storeFrame(ParamFrame &dest, const Frame &request) {
    for (std::size_t i = 0; i < kFrameWords; ++i) dest[i] = getWord(&request[6 + 2 * i]);
}

std::vector<std::uint8_t> SensorModel::frameReply(std::uint16_t command,
                                                  std::uint16_t word45) const {
    std::vector<std::uint8_t> reply(kFrameBytes, 0);
    putWord(&reply[0], kReplySync);
    putWord(&reply[2], command);
    putWord(&reply[4], word45);
    return reply;
}

std::vector<std::uint8_t> SensorModel::paramReply(std::uint16_t command, const ParamFrame &words,
                                                  std::uint16_t word45) const {
    auto reply = frameReply(command, word45);
    for (std::size_t i = 0; i < kFrameWords; ++i) putWord(&reply[6 + 2 * i], words[i]);
    return reply;
}

std::uint16_t SensorModel::fullScale() const { return hardware_.adcMax == 1024 ? 1024 : 256; }

void SensorModel::measure(double t) {
    const std::uint16_t n = hardware_.virtualPixels;
    positions_ = target_.positions(t, n);
    RawValues r;
    r.aval = toWord(positions_.a, n);
    r.bval = toWord(positions_.b, n);
    r.edcntA = onLine(positions_.a, n) ? 1 : 0;
    r.edcntB = onLine(positions_.b, n) ? 1 : 0;
    r.peakwA = r.edcntA ? target_.peakWidth(kNominalWidthA) : 0;
    r.peakwB = r.edcntB ? target_.peakWidth(kNominalWidthB) : 0;

    const std::uint16_t mode = ram_[0][9];
    r.mvalue = measuredPosition(mode, r.aval, r.bval, n);
    // The setpoint value (micrometres) is the distance at the taught
    // position; the scale factor turns the offset from it into micrometres.
    const std::int64_t scale = join32(ram_[1][11], ram_[1][12]);
    const auto setpoint = static_cast<std::int32_t>(join32(ram_[1][13], ram_[1][14]));
    const std::int64_t offset =
        static_cast<std::int64_t>(r.mvalue) - setpointPosition(mode, teachA(), teachB(), n);
    r.umValue = clampToInt32(setpoint + offset * scale / 16384);
    r.tolup = ram_[0][5];
    r.tollo = ram_[0][6];

    if (!haveMaxMin_) {
        maxValue_ = minValue_ = r.mvalue;
        haveMaxMin_ = true;
    }
    maxValue_ = std::max(maxValue_, r.mvalue);
    minValue_ = std::min(minValue_, r.mvalue);
    r.anaMax = maxValue_;
    r.anaMin = minValue_;
    r.raw13 = ++measurements_;
    r.raw14 = kBoardTemperature;
    r.raw15 = 0;
    raw_ = r;
    std::rotate(history_.begin(), history_.begin() + 1, history_.end());
    history_.back() = r.mvalue;
}

void SensorModel::resetMaxMin() {
    maxValue_ = minValue_ = raw_.mvalue;
    raw_.anaMax = raw_.anaMin = raw_.mvalue;
}

std::vector<std::uint8_t> SensorModel::rawValuesReply(double t) {
    measure(t);
    std::vector<std::uint8_t> reply(kFrameBytes, 0);
    putWord(&reply[0], kReplySync);
    putWord(&reply[2], kRawValues);
    const auto words = raw_.words();
    for (std::size_t i = 0; i < words.size(); ++i) putWord(&reply[4 + 2 * i], words[i]);
    return reply;
}

std::vector<std::uint8_t> SensorModel::hardwareReply() const {
    auto reply = frameReply(kHardware, hardware_.ccdType);
    const HardwareInfo &h = hardware_;
    const std::uint16_t fields[] = {h.ccdMaxPixel, h.ccdResolution, h.boardType, h.virtualPixels,
                                    h.subPixels,   h.firstPixel,    h.lastPixel, h.softVersion,
                                    h.refDistance, h.adcMax};
    std::size_t at = 6;
    for (std::uint16_t f : fields) {
        putWord(&reply[at], f);
        at += 2;
    }
    return reply;
}

std::vector<std::uint8_t> SensorModel::firmwareReply() const {
    // The text, zero-padded to 72 bytes. Board type 0 sends it as 36 words,
    // two characters each, the first in the high byte.
    std::vector<std::uint8_t> text(kFirmwareBytes, 0);
    const std::size_t len = std::min(config_.firmware.size(), kFirmwareBytes);
    std::copy_n(config_.firmware.begin(), len, text.begin());
    if (hardware_.boardType != 0) return text;
    std::vector<std::uint8_t> words(kFirmwareBytes, 0);
    for (std::size_t i = 0; i < kFirmwareBytes / 2; ++i) {
        const auto w = static_cast<std::uint16_t>((text[2 * i] << 8) | text[2 * i + 1]);
        putWord(&words[2 * i], w);
    }
    return words;
}

std::vector<std::uint8_t> SensorModel::dataBlockReply(std::uint16_t offset, std::uint16_t channel,
                                                      double t) {
    Signal samples{};
    const std::uint16_t n = hardware_.virtualPixels;
    if (channel == 0 || channel == 1) {
        const EdgePositions p = target_.positions(t, n);
        const bool a = channel == 1;
        samples =
            target_.signal(a ? p.a : p.b, n, fullScale(), a ? kNominalWidthA : kNominalWidthB);
    } else if (channel == 2) {
        samples = history_;
    }
    std::vector<std::uint8_t> reply(kBlockBytes, 0);
    for (std::size_t i = 0; i < kBlockBytes / 2; ++i) {
        const std::size_t sample = offset + i;
        if (sample < kSamples) putWord(&reply[2 * i], samples[sample]);
    }
    return reply;
}

Reply SensorModel::shape(std::uint16_t command, std::vector<std::uint8_t> bytes) {
    Reply reply;
    if (bytes.empty()) return reply;
    if (!faults_.appliesTo(command)) {
        reply.bytes = std::move(bytes);
        return reply;
    }
    if (faults_.silent) return reply;
    if (faults_.everySecond && touched_++ % 2 == 1) return reply;
    if (!isRawReply(command) && bytes.size() == kFrameBytes) {
        if (faults_.wrongSync) putWord(&bytes[0], kWrongSync);
        if (faults_.replyCommand > 0)
            putWord(&bytes[2], static_cast<std::uint16_t>(faults_.replyCommand));
    }
    if (command == kFirmware && faults_.firmwareNoText) std::fill(bytes.begin(), bytes.end(), 0);
    if (command == kFirmware)
        bytes.resize(static_cast<std::size_t>(
                         std::clamp(faults_.firmwareLength, 0, static_cast<int>(kMaxReplyBytes))),
                     0);
    if (faults_.shortReply > 0 && static_cast<std::size_t>(faults_.shortReply) < bytes.size())
        bytes.resize(faults_.shortReply);
    if (faults_.extraBytes > 0) {
        const std::size_t extra = std::min<std::size_t>(faults_.extraBytes, kMaxReplyBytes);
        bytes.insert(bytes.end(), extra, kExtraByte);
        reply.tail = 1 + extra;
    }
    if (faults_.leadingBytes > 0) {
        std::uniform_int_distribution<int> value(0, 255);
        std::vector<std::uint8_t> lead(std::min<std::size_t>(faults_.leadingBytes, kMaxReplyBytes));
        for (auto &b : lead) b = static_cast<std::uint8_t>(value(garbageRng_));
        bytes.insert(bytes.begin(), lead.begin(), lead.end());
    }
    if (faults_.garbage) {
        std::uniform_int_distribution<int> count(3, 8), value(0, 255);
        reply.trailing.resize(count(garbageRng_));
        for (auto &b : reply.trailing) b = static_cast<std::uint8_t>(value(garbageRng_));
    }
    reply.bytes = std::move(bytes);
    return reply;
}

}  // namespace kvexsim
