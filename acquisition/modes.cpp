// The window's run and video modes: loops inside the callback that started
// them, one request in flight, events processed on every pass; run mode's
// exchange itself is in run_mode.cpp, which the station uses too.
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

void PushRUN() {
    if (!BeginLinkOperation()) return;
    ShowRunModeGraphs();
    RunModeLoop();
    EndLinkOperation();
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
