// The limits a replay judges its file by.
#pragma once

#include "recording_reader.h"
#include "replay.h"
#include "session.h"

// The file's setpoint and the limits of the source chosen: the parameters
// held (the file's setpoint, else the sensor's), or those entered in mm.
Limits LimitsForReplay(const RecordingHeader &h, ReplayLimitSource source, double enteredLowerMm,
                       double enteredUpperMm);
