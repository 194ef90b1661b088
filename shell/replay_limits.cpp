// The limits a replay judges by: as recorded, from the sensor's parameters,
// or as entered. Whole µm, as the file's values are: a value on a limit is
// inside.
#include "replay_limits.h"

#include <cmath>
#include <cstdint>

#include "com232.h"
#include "session.h"

Limits LimitsForReplay(const RecordingHeader &h, ReplayLimitSource source, double enteredLowerMm,
                       double enteredUpperMm) {
    Limits l;
    l.hasSetpoint = h.hasSetpoint;
    l.setpointUm = h.setpointUm;
    if (source == ReplayLimitSource::Parameters) {
        const double scale = ScaleFactor() / 16384.0;
        if (scale <= 0) return l;
        const int32_t setpoint =
            h.hasSetpoint ? h.setpointUm : static_cast<int32_t>(SetpointValue());
        l.hasSetpoint = l.hasLower = l.hasUpper = true;
        l.setpointUm = setpoint;
        l.lowerUm = setpoint - static_cast<int32_t>(std::lround(scale * parameter[PW_TOLLO]));
        l.upperUm = setpoint + static_cast<int32_t>(std::lround(scale * parameter[PW_TOLUP]));
    } else if (source == ReplayLimitSource::Entered) {
        const long lower = std::lround(enteredLowerMm * 1000);
        const long upper = std::lround(enteredUpperMm * 1000);
        if (lower > upper) return l;
        l.hasLower = l.hasUpper = l.hasSetpoint = true;
        l.lowerUm = static_cast<double>(lower), l.upperUm = static_cast<double>(upper);
        const bool inside = h.hasSetpoint && h.setpointUm >= lower && h.setpointUm <= upper;
        l.setpointUm = inside ? h.setpointUm : static_cast<double>(lower + (upper - lower) / 2);
    }
    return l;
}
