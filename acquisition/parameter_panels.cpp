// The parameter words on the panels: which control shows which word, and
// what a new parameter set changes on screen.
#include "parameter_panels.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "com232.h"
#include "gui.h"
#include "modes.h"
#include "session.h"
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

// ---------------------------------------------------------------- edits
// A field differs from what the sensor (or the file) last gave when the
// operator changed it and has not sent it yet. Each field's value as last
// shown or sent is kept, with the background it had before it was marked.
constexpr int kWordFields = sizeof kWordControls / sizeof kWordControls[0];
constexpr int kFields = kWordFields + 2;  // and the setpoint and scale of the calibration
constexpr int kChangedColour = 0xFFE08A;

struct Field {
    int *panel;
    int control;
};

Field FieldAt(int i) {
    if (i < kWordFields) return {kWordControls[i].panel, kWordControls[i].control};
    return {&pCalib, i == kWordFields ? CALIB_CalibEdit8 : CALIB_CalibEdit9};
}

double shownValue[kFields];
int plainBackground[kFields];
bool marked[kFields];
bool backgroundsKnown = false;
// Until a set was read, loaded or sent the panels hold only their start
// values: nothing the operator could lose.
bool setKnown = false;

double FieldValue(int i) {
    const Field f = FieldAt(i);
    double v = 0;
    GetCtrlVal(*f.panel, f.control, &v);
    return v;
}

// What the field would show for these words, as SetPanelValues puts them.
double FieldValueOf(int i, const unsigned short *words) {
    if (i < kWordFields) return words[kWordControls[i].word];
    const uint32_t lo = words[i == kWordFields ? PW_SETPOINT_LO : PW_SCALE_LO];
    const uint32_t hi = words[i == kWordFields ? PW_SETPOINT_HI : PW_SCALE_HI];
    const uint32_t v = lo | hi << 16;
    return i == kWordFields ? static_cast<double>(static_cast<int32_t>(v))
                            : static_cast<double>(static_cast<float>(v / 16384.0));
}

void KnowBackgrounds() {
    if (backgroundsKnown) return;
    for (int i = 0; i < kFields; ++i) {
        const Field f = FieldAt(i);
        GetCtrlAttribute(*f.panel, f.control, ATTR_TEXT_BGCOLOR, &plainBackground[i]);
    }
    backgroundsKnown = true;
}

bool FieldChanged(int i) { return setKnown && FieldValue(i) != shownValue[i]; }

void MarkField(int i) {
    const bool changed = FieldChanged(i);
    if (changed == marked[i]) return;
    KnowBackgrounds();
    const Field f = FieldAt(i);
    SetCtrlAttribute(*f.panel, f.control, ATTR_TEXT_BGCOLOR,
                     changed ? kChangedColour : plainBackground[i]);
    marked[i] = changed;
}

}  // namespace

void NoteShownParameters() {
    for (int i = 0; i < kFields; ++i) shownValue[i] = FieldValue(i);
    setKnown = true;
    MarkChangedParameterFields();
}

void NoteSensorParameters(const unsigned short *words) {
    for (int i = 0; i < kFields; ++i) shownValue[i] = FieldValueOf(i, words);
    setKnown = true;
    MarkChangedParameterFields();
}

void MarkChangedParameterFields() {
    for (int i = 0; i < kFields; ++i) MarkField(i);
}

void NoteParameterEdit(int panel, int control) {
    for (int i = 0; i < kFields; ++i) {
        const Field f = FieldAt(i);
        if (*f.panel == panel && f.control == control) MarkField(i);
    }
}

int ChangedParameterFields(char *names, int size) {
    int count = 0, used = 0;
    if (size > 0) names[0] = '\0';
    for (int i = 0; i < kFields; ++i) {
        if (!FieldChanged(i)) continue;
        const Field f = FieldAt(i);
        char label[80] = "";
        GetCtrlAttribute(*f.panel, f.control, ATTR_LABEL_TEXT, label, sizeof label);
        if (used < size - 1) {
            const int n = std::snprintf(names + used, static_cast<std::size_t>(size - used), "%s%s",
                                        count ? ", " : "", label);
            if (n > 0) used += n;
            if (used > size - 1) used = size - 1;
        }
        ++count;
    }
    return count;
}

bool ConfirmDiscardEdits(const char *what) {
    char names[400];
    const int n = ChangedParameterFields(names, sizeof names);
    if (n == 0) return true;
    char question[600];
    std::snprintf(question, sizeof question,
                  "%d field%s changed and not sent: %s.\n\n%s replaces %s.", n, n == 1 ? "" : "s",
                  names, what, n == 1 ? "it" : "them");
    return ConfirmChoicePopup("Unsent changes", question, "Discard changes", "Keep editing") == 1;
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

// A file's word that a control cannot show would be changed on the way to
// the sensor without a word; such a file is refused instead.
int RefuseWordsOutsideControls(const unsigned short *words, char *why, std::size_t whySize) {
    for (int k = 0; k < 30; ++k) {
        const int word = ParameterWordOfFrame(static_cast<unsigned short>(k / 15), k % 15);
        const unsigned v = words[k];
        for (const WordControl &c : kWordControls) {
            if (c.word != word) continue;
            double low = 0, high = 65535;
            GetCtrlAttribute(*c.panel, c.control, ATTR_MIN_VALUE, &low);
            GetCtrlAttribute(*c.panel, c.control, ATTR_MAX_VALUE, &high);
            if (high > ParameterWordBound(word)) high = ParameterWordBound(word);
            if (v < low || v > high) {
                std::snprintf(why, whySize, "line %d: %u not %.0f..%.0f", k + 1, v, low, high);
                return 1;
            }
        }
    }
    // The scale goes through its display as a float, which holds 24 bits.
    const int scaleLine = 15 + 11 + 1;
    const uint32_t scale = words[scaleLine - 1] | static_cast<uint32_t>(words[scaleLine]) << 16;
    if (ScaleFromDisplay(static_cast<float>(scale / 16384.0)) != scale) {
        std::snprintf(why, whySize, "lines %d-%d: scale %lu not held exactly", scaleLine,
                      scaleLine + 1, static_cast<unsigned long>(scale));
        return 1;
    }
    return 0;
}

void SetPanelValues() {
    LimitParameterWords();
    const float f = static_cast<float>(ScaleFactor() / 16384.0);

    for (const WordControl &c : kWordControls)
        SetCtrlVal(*c.panel, c.control, static_cast<unsigned int>(parameter[c.word]));
    SetCtrlVal(pCalib, CALIB_CalibEdit8, static_cast<int>(SetpointValue()));
    SetCtrlVal(pCalib, CALIB_CalibEdit9, static_cast<double>(f));

    ShowSensorLimits();

    ApplyEvaluationMode();
    DimToleranceEdits();
    FillThresholdArray(thdArrayA, parameter[PW_THD_A]);
    FillThresholdArray(thdArrayB, parameter[PW_THD_B]);

    ApplyHistoryScale();  // the zoom, where it is on, stays
    PlotVIDEOCurveA(adcbufA, thdArrayA, xArray8);
    PlotVIDEOCurveB(adcbufB, thdArrayB, xArray8);
    ShowBarGraphsIdle();
    NoteShownParameters();
}

// The tolerances as the parameter words hold them.
void ShowSensorLimits() {
    const LimitsUm l = LimitsInForce(parameter[PW_TOLLO], parameter[PW_TOLUP]);
    ShowToleranceLimits(l.setpointUm, l.lowerUm, l.upperUm, 3);
}

// The tolerance edits mean nothing to the sensor in hardware modes 1 and 3.
void DimToleranceEdits() {
    short mode = 0;
    GetCtrlVal(pPara1, PARA1_DROPHardwareMode, &mode);
    const int dim = (mode == 1 || mode == 3) ? 1 : 0;
    SetCtrlAttribute(pPara1, PARA1_Para1Edit4, ATTR_DIMMED, dim);
    SetCtrlAttribute(pPara1, PARA1_Para1Edit3, ATTR_DIMMED, dim);
}
