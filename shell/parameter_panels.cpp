// The parameter words on the panels: which control shows which word, and
// what a new parameter set changes on screen.
#include <cstdint>

#include "com232.h"
#include "gui.h"
#include "kvex_main.h"
#include "modes.h"
#include "ui.h"

namespace {

struct WordControl {
    int *panel;
    int control;
    int word;
};

// The order in which the controls are read into their words.
const WordControl kWordControls[] = {
    {&pHandle, PANEL_NEDITeachA, 5},      {&pHandle, PANEL_NEDITeachB, 20},
    {&pPara1, PARA1_Para1Edit4, 8},       {&pPara1, PARA1_Para1Edit3, 9},
    {&pPara1, PARA1_Para1Edit15, 15},     {&pPara1, PARA1_DropEvalMode, 12},
    {&pPara1, PARA1_Para1Edit17, 16},     {&pPara1, PARA1_DROPHardwareMode, 11},
    {&pPara1, PARA1_Para1Edit5, 14},      {&pPara1, PARA1_Para1Edit18, 13},
    {&pPara2, PARA2_Para2Edit13, 3},      {&pPara2, PARA2_Para2Edit4, 18},
    {&pPara2, PARA2_Para2Edit14, 10},     {&pPara2, PARA2_SLIDEVideoTHD_A, 4},
    {&pPara2, PARA2_SLIDEVideoTHD_B, 19}, {&pPara2, PARA2_Para2Edit15, 6},
    {&pPara2, PARA2_Para2Edit16, 7},      {&pPara2, PARA2_Para2Edit17, 21},
    {&pPara2, PARA2_Para2Edit18, 22},
};

// The scale as µm per unit times 16384, cut toward zero; what no 32-bit
// unsigned can hold is held at its ends.
uint32_t ScaleFromDisplay(float v) {
    const double scaled = static_cast<double>(v) * 16384.0;
    if (!(scaled > 0.0)) return 0;
    if (scaled >= 4294967295.0) return 0xFFFFFFFFu;
    return static_cast<uint32_t>(scaled);
}

// The setpoint and the teach edits that the evaluation mode uses.
void ApplyEvaluationMode() {
    const unsigned short tA = parameter[PW_TEACH_A], tB = parameter[PW_TEACH_B];
    const unsigned short n = ccdvirtpixel;
    int dimA = 0, dimB = 0;
    switch (parameter[PW_EVALMODE]) {
        case 0:
            tVal = tB, dimA = 1, yaxisMAX = n;
            break;
        case 1:
            tVal = tA, dimB = 1, yaxisMAX = n;
            break;
        case 2:
            tVal = static_cast<unsigned short>(2 * n - (tA + tB));
            yaxisMAX = static_cast<unsigned short>(2 * n);
            break;
        case 3:
            tVal = n, dimA = dimB = 1, yaxisMAX = static_cast<unsigned short>(2 * n);
            break;
        default:
            tVal = n, yaxisMAX = static_cast<unsigned short>(2 * n);
            break;
    }
    SetCtrlAttribute(pHandle, PANEL_NEDITeachA, ATTR_DIMMED, dimA);
    SetCtrlAttribute(pHandle, PANEL_NEDITeachB, ATTR_DIMMED, dimB);
}

void ClearBarGraph(int control) {
    PlotRectangle(pHandle, control, 0.0, 0.0, ccdvirtpixel - 1.0, 1.0, 0xA0A0A0, 0xA0A0A0);
}

}  // namespace

void GetPanelValues() {
    for (const WordControl &c : kWordControls) GetCtrlVal(*c.panel, c.control, &parameter[c.word]);
    int setpoint = 0;
    GetCtrlVal(pCalib, CALIB_CalibEdit8, &setpoint);
    SetWord32(PW_SETPOINT_LO, static_cast<uint32_t>(setpoint));
    float scale = 0.0f;
    GetCtrlVal(pCalib, CALIB_CalibEdit9, &scale);
    SetWord32(PW_SCALE_LO, ScaleFromDisplay(scale));
}

void SetPanelValues() {
    LimitParameterWords();
    const float f = static_cast<float>(ScaleFactor() / 16384.0);

    for (const WordControl &c : kWordControls)
        SetCtrlVal(*c.panel, c.control, static_cast<unsigned int>(parameter[c.word]));
    SetCtrlVal(pCalib, CALIB_CalibEdit8, static_cast<int>(SetpointValue()));
    SetCtrlVal(pCalib, CALIB_CalibEdit9, static_cast<double>(f));

    SetCtrlVal(pHandle, PANEL_Display35, static_cast<double>(f * parameter[PW_TOLUP] / 1000));
    SetCtrlVal(pHandle, PANEL_Display34, static_cast<double>(f * parameter[PW_TOLLO] / 1000));

    ApplyEvaluationMode();
    FillThresholdArray(thdArrayA, parameter[PW_THD_A]);
    FillThresholdArray(thdArrayB, parameter[PW_THD_B]);

    SetAxisScalingMode(pHandle, PANEL_StripChartRaw, VAL_LEFT_YAXIS, VAL_MANUAL, 0.0, yaxisMAX);
    PlotVIDEOCurveA(adcbufA, thdArrayA, xArray8);
    PlotVIDEOCurveB(adcbufB, thdArrayB, xArray8);
    ClearBarGraph(PANEL_GraphBarA);
    ClearBarGraph(PANEL_GraphBarB);
}
