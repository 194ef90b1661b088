// Run mode and video mode: loops inside the callback that started them, one
// request in flight, events processed on every pass.
#include "modes.h"

#include <cmath>
#include <ctime>
#include <initializer_list>

#include "com232.h"
#include "exchange.h"
#include "frame.h"
#include "gui.h"
#include "rs232.h"
#include "session.h"
#include "ui.h"

unsigned short adcbufA[128], adcbufB[128];
double databuf[128];

namespace {

void SetVisible(int control, int visible) {
    SetCtrlAttribute(pHandle, control, ATTR_VISIBLE, visible);
}

const char *BlockWaitingText(int offset) {
    switch (offset) {
        case 0:
            return "Waiting for Data[64] Block 0 ...";
        case 64:
            return "Waiting for Data[64] Block 1 ...";
        case 128:
            return "Waiting for Data[64] Block 2 ...";
        case 192:
            return "Waiting for Data[64] Block 3 ...";
        default:
            return "Waiting for Data[64] Block x ...";
    }
}

void StoreBlock(int offset, int channel) {
    if (offset < 0 || offset > 64) return;  // each buffer holds 128 samples
    for (int i = 0; i < 64; ++i) {
        const unsigned short w = FrameWord(szReadBuf + 2 * i);
        if (channel == 1)
            adcbufA[offset + i] = w;
        else if (channel == 0)
            adcbufB[offset + i] = w;
        else if (channel == 2)
            databuf[offset + i] = w;
    }
}

}  // namespace

void ShowGraphsOf(bool videoMode) {
    SetVisible(PANEL_StripChartRaw, !videoMode);
    SetVisible(PANEL_HistoryXAxis, !videoMode);  // the history's own control goes with it
    SetVisible(PANEL_GraphBarA, 1);
    SetVisible(PANEL_GraphBarB, 1);
    SetVisible(PANEL_GraphVideoA, videoMode);
    SetVisible(PANEL_GraphVideoB, videoMode);
}

bool VideoGraphsShown() {
    int visible = 0;
    GetCtrlAttribute(pHandle, PANEL_GraphVideoA, ATTR_VISIBLE, &visible);
    return visible != 0;
}

void ShowRunModeGraphs() {
    BeginHistoryRun();
    ShowGraphsOf(false);
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

// The globals the drawing reads are the sample's, so that a sample from
// anywhere (a reply, a test, a recording played back) is drawn alike.
void DrawSample(const Sample &s) {
    Aval = s.a, Bval = s.b, Mvalue = s.units;
    umValue = s.sensorUm;
    edcntA = s.edgesA, edcntB = s.edgesB;
    peakwA = s.peakA, peakwB = s.peakB;
    anaMax = s.analogMax, anaMin = s.analogMin;
    tolup = s.tolUp, tollo = s.tolLow;
    // A replayed sample keeps the judgement it was recorded (or replayed) with.
    DrawingSample(&s, CurrentActivity() == Activity::Replay);
    PlotVIDEOBarGraph();
    PlotRAWGraph();
    DrawingSample(nullptr, false);
}

void PublishRawReply() {
    CopyPPtoRAWVars();
    PublishSample(MakeSample());
}

void EndForMissingReply() {
    ShowText("Timeout RS232-Line!");
    NoteLinkTimeout();
    StopMeasuring();
    ShowDisplaysStale();
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
        ShowDisplaysStale();
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
    ShowDisplaysStale();
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
        if (line_lost) ShowDisplaysStale();  // the request found no line: nothing is live now
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

void PushRUN() {
    if (!BeginLinkOperation()) return;
    ShowRunModeGraphs();
    RunModeLoop();
    EndLinkOperation();
}

bool MeasureInRunMode() {
    if (!BeginLinkOperation()) return false;
    RunModeLoop();
    EndLinkOperation();
    return true;
}

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

int ReadData64(int offset, int channel) {
    parameter[PW_COMMAND] = CMD_DATA_BLOCK;
    FlushOutQ(com);
    FlushInput(com);
    // Bytes 34-35 keep what the last frame left there; the sensor ignores them.
    EncodeBlockRequest(szWriteBuf, parameter[PW_HEADER], static_cast<unsigned short>(offset),
                       static_cast<unsigned short>(channel));
    SendBuiltRequest(com);
    ShowText(BlockWaitingText(offset));

    bool timedOut = false;
    const int waiting = AwaitBytes(com, BLOCK_BYTES, TIMEOUT, true, &timedOut);
    if (waiting < 0) return 0;  // the line is lost; its text stays
    if (timedOut) {
        SetStatus("Timeout-RS-232 while reading 64 data-words!");
        NoteLinkTimeout();
    }
    // A block with bytes to spare is read whole and dropped: which 128 of
    // them are the samples cannot be told.
    const int count = waiting > 1024 ? 1024 : waiting;
    nBytesR = ComRd(com, reinterpret_cast<char *>(szReadBuf), count);
    int result = 0;
    if (nBytesR == BLOCK_BYTES) {
        SetStatus("Data[64] block received!");
        StoreBlock(offset, channel);
        result = 1;
    }
    ShowStatus();
    return result;
}

namespace {

// One video cycle: the raw values, then the four blocks with the frame
// notification off, then the drawing. False once the mode must end.
bool VideoCycle() {
    InstallRxNotification(com);  // off, when a dialog held up the cycle below this one
    const int raw = PushGETRAW();
    if (raw == 0) return false;
    if (raw < 0) return true;
    CopyPPtoRAWVars();
    // A stop seen in the raw wait (it may have come while the last cycle
    // drew) ends the mode here, not after four more blocks.
    if (stop_flag != 0) return true;
    RemoveRxNotification(com);
    FlushQueues();
    const bool all = ReadData64(0, 1) && ReadData64(64, 1) && ReadData64(0, 0) && ReadData64(64, 0);
    InstallRxNotification(com);
    if (all) {
        SetAxisScalingMode(pHandle, PANEL_GraphVideoA, VAL_XAXIS, VAL_MANUAL, 1.0, ccdvirtpixel);
        SetAxisScalingMode(pHandle, PANEL_GraphVideoB, VAL_XAXIS, VAL_MANUAL, 1.0, ccdvirtpixel);
        PlotVIDEOCurveA(adcbufA, thdArrayA, xArray8);
        PlotVIDEOCurveB(adcbufB, thdArrayB, xArray8);
        PlotVIDEOBarGraph();
        NoteLinkActivity();
    }
    return true;
}

// Under a dialog the cycles go on from the dialog's event loop. The cycle
// the dialog interrupted is abandoned: the line has moved on since.
void VideoUnderDialog() {
    if (stop_flag != 0) return;
    AbandonWaits();
    if (!VideoCycle()) StopMeasuring();
}

}  // namespace

void PushVIDEO() {
    if (!BeginLinkOperation()) return;
    ShowGraphsOf(true);
    BeginMeasuringLoop(Activity::Video);

    SetModalPass(VideoUnderDialog);
    do {
        if (!VideoCycle()) StopMeasuring();
        // The cycle's events, the paint of its curves among them, are
        // processed in the wait for the next raw reply, while its request is
        // on the line, not in a pause of the line between two cycles.
    } while (stop_flag == 0);
    SetModalPass(nullptr);

    InstallRxNotification(com);
    FlushOutQ(com);
    FlushInput(com);
    EndMeasuringLoop();
    EndLinkOperation();
}
