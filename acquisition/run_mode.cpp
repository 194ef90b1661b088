// Run mode's exchange and its one judge, without a window: one request in
// flight, every reply one Sample to the stream. The window's run mode and
// recorder and the station all measure through here.
#include <ctime>

#include "com232.h"
#include "exchange.h"
#include "frame.h"
#include "modes.h"
#include "session.h"
#include "ui.h"

unsigned short tVal;

// The clock time of the last live value, not its age: a text that nobody
// refreshes stays true that way, and the idle program needs no ticking.
// The one judge, in the sensor's units as the sensor compares: both limits
// are whole numbers exact in a double, so nothing wraps, and a lower limit
// below zero cannot be undershot.
Verdict JudgeValue(unsigned short value) {
    Limits units;
    units.hasLower = units.hasUpper = true;
    units.lowerUm = static_cast<double>(tVal) - tollo;
    units.upperUm = static_cast<double>(tVal) + tolup;
    return Judge(value, units);
}

// Multiples of 1/16384 µm below 2^31 µm are exact in a double, so a value
// and these limits compare exactly as the units did.
LimitsUm LimitsInForce(unsigned short tolLow, unsigned short tolUp) {
    LimitsUm l;
    l.umPerUnit = ScaleFactor() / 16384.0;
    l.setpointUm = static_cast<int32_t>(SetpointValue());
    l.lowerUm = l.setpointUm - l.umPerUnit * tolLow;
    l.upperUm = l.setpointUm + l.umPerUnit * tolUp;
    return l;
}

// The setpoint that the evaluation mode compares with; another mode keeps
// the last one.
void UpdateSetpoint(unsigned short mode) {
    const unsigned short n = ccdvirtpixel;
    const unsigned short tA = parameter[PW_TEACH_A], tB = parameter[PW_TEACH_B];
    switch (mode) {
        case 0:
            tVal = tB;
            break;
        case 1:
            tVal = tA;
            break;
        case 2:
            tVal = static_cast<unsigned short>(2 * n - (tA + tB));
            break;
        case 3:
        case 4:
            tVal = n;
            break;
        default:
            break;
    }
}

int SendRawRequest() {
    FlushQueues();
    CopyVarsToPP(0);
    return SendRequest(com, CMD_RAW_VALUES, 0, pp);
}

Sample MakeSample() {
    Sample s;
    s.number = NextSampleNumber();
    s.monotonic = Timer();
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    s.wallMs = static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
    s.a = Aval, s.b = Bval, s.units = Mvalue;
    s.sensorUm = umValue;
    s.edgesA = edcntA, s.edgesB = edcntB;
    s.peakA = peakwA, s.peakB = peakwB;
    s.analogMax = anaMax, s.analogMin = anaMin;
    s.tolUp = tolup, s.tolLow = tollo;
    UpdateSetpoint(parameter[PW_EVALMODE]);
    s.setpointUnits = tVal;
    const LimitsUm l = LimitsInForce(tollo, tolup);
    s.setpointUm = static_cast<int32_t>(l.setpointUm);
    s.umPerUnit = l.umPerUnit;
    s.lowerUm = l.lowerUm, s.upperUm = l.upperUm;
    // Without a scale the limits in µm are not known; the sensor's verdict in
    // units still is.
    s.hasLower = s.hasUpper = l.umPerUnit > 0;
    s.exactUm = ExactUm(s.setpointUm, Mvalue, tVal, l.umPerUnit);
    s.mm = s.exactUm / 1000.0;
    s.verdict = JudgeValue(Mvalue);
    return s;
}

void PublishRawReply() {
    CopyPPtoRAWVars();
    PublishSample(MakeSample());
}

void EndForMissingReply() {
    ShowText("Timeout RS232-Line!");
    NoteLinkTimeout();
    StopMeasuring();
    NoteLiveValuesEnded();
}

// -1: the wait was abandoned for a newer exchange; nothing to say, nothing
// stops.
int PushGETRAW() {
    FlushQueues();
    parameter[PW_COMMAND] = CMD_RAW_VALUES;
    parameter[PW_SUBARG] = 0;
    const int written = SendRequest(com, parameter[PW_COMMAND], parameter[PW_SUBARG], pp);
    if (written == FRAME_BYTES) {
        ShowText("Line Ok!");
    } else if (written < 0 && !line_lost) {
        // Nothing went out (no port open): no reply can come, and no time-out
        // should be blamed on the sensor.
        ShowText(ComErrorText(written));
        StopMeasuring();
        NoteLiveValuesEnded();
        return 0;
    }
    graph_flag = 0;
    // The receiver takes nothing but a raw-values reply here.
    const int result = AwaitReply(TIMEOUT);
    if (result == EXCHANGE_OK) return 1;
    if (result == EXCHANGE_ABANDONED) return -1;
    if (result == EXCHANGE_TIMEOUT) {
        EndForMissingReply();
        return 0;
    }
    StopMeasuring();  // the line is lost; its text stays
    NoteLiveValuesEnded();
    return 0;
}

namespace {

double runSent = 0;  // when run mode's request in flight went out

// One look at run mode's exchange: a reply that came is drawn and the next
// request goes out. False once the mode must end (no reply in time).
bool RunModePass() {
    if (rx_flag == 1) {
        // The reply's values leave pp before the next request fills it;
        // the request goes out at once, and the sample goes to its
        // subscribers (the drawing among them) while the sensor answers.
        // One flush serves both steps.
        const bool raw = graph_flag == 1;
        Sample sample;
        if (raw) {
            CopyPPtoRAWVars();
            sample = MakeSample();
        }
        graph_flag = 0;
        SendRawRequest();
        runSent = Timer();
        if (raw) PublishSample(sample);
        NoteLinkActivity();
        if (line_lost) NoteLiveValuesEnded();  // the request found no line: nothing is live now
    } else if (graph_flag == 1) {
        PublishRawReply();
        graph_flag = 0;
        FlushQueues();
    }
    if (Timer() - runSent > 2 * TIMEOUT) {
        EndForMissingReply();
        return false;
    }
    return true;
}

// A dialog opened during the mode runs its own event loop; the exchange goes
// on from there, so no dialog leaves a hole in the measurement.
void RunModeUnderDialog() {
    if (stop_flag == 0 && !RunModePass()) StopMeasuring();
}

}  // namespace

void RunModeLoop() {
    BeginMeasuringLoop(Activity::Run);

    graph_flag = rx_flag = 0;
    runSent = Timer();
    PushGETRAW();
    SetModalPass(RunModeUnderDialog);
    do {
        if (!RunModePass()) break;
        ProcessSystemEventsUntil(runSent + 2 * TIMEOUT + 0.001);
    } while (stop_flag == 0);
    SetModalPass(nullptr);
    // A reply taken in while the stop came, or in by now, is a measurement
    // all the same.
    FlushQueues();
    if (graph_flag == 1) PublishRawReply();

    rx_flag = graph_flag = 0;
    EndMeasuringLoop();
}

bool MeasureInRunMode() {
    if (!BeginLinkOperation()) return false;
    RunModeLoop();
    EndLinkOperation();
    return true;
}
