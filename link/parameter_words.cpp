// The parameter block, its frames and its mapping to the controls.
#include <cmath>
#include <cstdint>

#include "com232.h"
#include "gui.h"
#include "kvex_main.h"
#include "modes.h"
#include "ui.h"

unsigned short parameter[34] = {0x0055, 1};

unsigned short Aval, Bval, Mvalue;
int umValue;
unsigned short tolup, tollo, edcntA, edcntB, peakwA, peakwB, anaMax, anaMin, raw13, raw14, raw15;

uint32_t ScaleFactor() {
    return parameter[PW_SCALE_LO] | static_cast<uint32_t>(parameter[PW_SCALE_HI]) << 16;
}

uint32_t SetpointValue() {
    return parameter[PW_SETPOINT_LO] | static_cast<uint32_t>(parameter[PW_SETPOINT_HI]) << 16;
}

namespace {

// Frame 1 skips word 29: its last four payload words are the two 32-bit
// values, low half first.
int FrameWordIndex(unsigned short frame, int i) {
    if (frame == 0) return PW_FRAME0 + i;
    return i < 11 ? PW_FRAME1 + i : PW_SCALE_LO + (i - 11);
}

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

void SetWord32(int lowWord, uint32_t value) {
    parameter[lowWord] = static_cast<unsigned short>(value & 0xFFFF);
    parameter[lowWord + 1] = static_cast<unsigned short>(value >> 16);
}

// The scale as µm per unit times 16384, cut toward zero; what no 32-bit
// unsigned can hold is held at its ends.
uint32_t ScaleFromDisplay(float v) {
    const double scaled = static_cast<double>(v) * 16384.0;
    if (!(scaled > 0.0)) return 0;
    if (scaled >= 4294967295.0) return 0xFFFFFFFFu;
    return static_cast<uint32_t>(scaled);
}

struct Limit {
    int word;
    unsigned short bound;  // 0: the bound is ccdvirtpixel
    int replacement;       // -1: ccdvirtpixel, -2: ccdvirtpixel / 2
};

// Applied in this order, each only when the word is above its bound.
const Limit kLimits[] = {
    {3, 1000, 500}, {18, 1000, 500},  {4, 255, 128}, {19, 255, 128}, {15, 1, 1},
    {12, 4, 0},     {16, 2048, 2048}, {11, 4, 1},    {14, 4, 0},     {13, 1, 1},
    {10, 1, 0},     {5, 0, -2},       {20, 0, -2},   {8, 0, -1},     {9, 0, -1},
};

void ApplyLimits() {
    for (const Limit &l : kLimits) {
        const unsigned short bound = l.bound ? l.bound : ccdvirtpixel;
        if (parameter[l.word] <= bound) continue;
        if (l.replacement == -1)
            parameter[l.word] = ccdvirtpixel;
        else if (l.replacement == -2)
            parameter[l.word] = ccdvirtpixel / 2;
        else
            parameter[l.word] = static_cast<unsigned short>(l.replacement);
    }
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

void CopyVarsToPP(unsigned short frame) {
    for (int i = 0; i < 15; ++i) pp[i] = parameter[FrameWordIndex(frame, i)];
}

void CopyPPtoVars(unsigned short frame) {
    for (int i = 0; i < 15; ++i) parameter[FrameWordIndex(frame, i)] = pp[i];
}

void CopyPPtoRAWVars() {
    Aval = pp[0];
    Bval = pp[1];
    Mvalue = pp[2];
    umValue = static_cast<int>(static_cast<uint32_t>(pp[3]) << 16 | pp[4]);
    tolup = pp[5];
    tollo = pp[6];
    edcntA = pp[7];
    edcntB = pp[8];
    peakwA = pp[9];
    peakwB = pp[10];
    anaMax = pp[11];
    anaMin = pp[12];
    raw13 = pp[13];
    raw14 = pp[14];
    raw15 = pp[15];
}

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
    ApplyLimits();
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
