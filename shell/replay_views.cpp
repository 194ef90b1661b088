// The live views a replay borrows: what they showed before it, kept and put
// back at its end, and what could start an exchange, dimmed meanwhile.
#include "replay_views.h"

#include <cstdint>
#include <cstring>

#include "com232.h"
#include "gui.h"
#include "modes.h"
#include "session.h"
#include "ui.h"

namespace {

// What the views showed before the replay: put back at its end.
struct LiveViews {
    double history[500];
    int64_t historyWallMs[100];
    int historySamples = 0;
    unsigned short a, b, m, tolUp, tolLow, edgesA, edgesB, peakA, peakB, anaMax, anaMin;
    int um = 0;
    double displays[11];
    bool subPanelShown[3] = {};
    bool videoGraphs = false;  // video mode's curves stood in the history's place
};

constexpr int kDisplays[11] = {PANEL_Display14, PANEL_Display15, PANEL_Display16, PANEL_Display17,
                               PANEL_Display33, PANEL_Display34, PANEL_Display35, PANEL_Display36,
                               PANEL_Display43, PANEL_Display44, PANEL_Display45};
// What could start an exchange with the sensor, or a recording.
constexpr int kDimmedMain[] = {PANEL_BTNRun,        PANEL_BTNVideo,         PANEL_BTNGet,
                               PANEL_BTNSend,       PANEL_ButtonTeach,      PANEL_ButtonReset,
                               PANEL_DropDCom,      PANEL_TOGGBTN_Recorder, PANEL_TOGGBTN_Para1,
                               PANEL_TOGGBTN_Para2, PANEL_TOGGBTN_Calib};

LiveViews live;

}  // namespace

// ---------------------------------------------------------------- views
void KeepLiveViews() {
    std::memcpy(live.history, arrayNORM, sizeof live.history);
    std::memcpy(live.historyWallMs, historyWallMs, sizeof live.historyWallMs);
    live.historySamples = historySamples;
    live.a = Aval, live.b = Bval, live.m = Mvalue, live.um = umValue;
    live.tolUp = tolup, live.tolLow = tollo;
    live.edgesA = edcntA, live.edgesB = edcntB, live.peakA = peakwA, live.peakB = peakwB;
    live.anaMax = anaMax, live.anaMin = anaMin;
    for (int i = 0; i < 11; ++i) GetCtrlVal(pHandle, kDisplays[i], &live.displays[i]);
    // After video mode its curves stand where the history belongs.
    HistoryOfRecording(true);
    live.videoGraphs = VideoGraphsShown();
    ShowGraphsOf(false);
    const int subPanels[3] = {pPara1, pPara2, pCalib};
    for (int i = 0; i < 3; ++i) {
        int visible = 0;
        GetPanelAttribute(subPanels[i], ATTR_VISIBLE, &visible);
        live.subPanelShown[i] = visible != 0;
        HidePanel(subPanels[i]);
    }
}

void PutBackLiveViews() {
    std::memcpy(arrayNORM, live.history, sizeof live.history);
    std::memcpy(historyWallMs, live.historyWallMs, sizeof live.historyWallMs);
    historySamples = live.historySamples;
    Aval = live.a, Bval = live.b, Mvalue = live.m, umValue = live.um;
    tolup = live.tolUp, tollo = live.tolLow;
    edcntA = live.edgesA, edcntB = live.edgesB, peakwA = live.peakA, peakwB = live.peakB;
    anaMax = live.anaMax, anaMin = live.anaMin;
    UpdateSetpoint(parameter[PW_EVALMODE]);
    HistoryOfRecording(false);
    RedrawHistory();
    ShowGraphsOf(live.videoGraphs);
    ShowDisplaysStale();
    for (int i = 0; i < 11; ++i) SetCtrlVal(pHandle, kDisplays[i], live.displays[i]);
    const int subPanels[3] = {pPara1, pPara2, pCalib};
    for (int i = 0; i < 3; ++i)
        if (live.subPanelShown[i]) DisplayPanel(subPanels[i]);
}

void DimForReplay(int dimmed) {
    for (int id : kDimmedMain) SetCtrlAttribute(pHandle, id, ATTR_DIMMED, dimmed);
    SetCtrlAttribute(panelPopUp, POPUP_BTNStartRecord, ATTR_DIMMED, dimmed);
}
