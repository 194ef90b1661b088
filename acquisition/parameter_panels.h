// The parameter words on the panels: which control shows which word, what a
// new parameter set changes on screen, and which fields the operator changed
// and has not sent.
#pragma once

#include <cstddef>

// The parameter words from the panels' controls, and back onto them.
void GetPanelValues();
// The 30 words of a parameter file (both frames, in file order) as the panels
// would take them: 0 when every control can show its word unchanged, else 1
// with why naming the line, the value and what the control allows.
int RefuseWordsOutsideControls(const unsigned short *words, char *why, std::size_t whySize);
void SetPanelValues();
// The tolerances of the parameter words on the main panel, in mm.
void ShowSensorLimits();

// Fields the operator changed and has not sent are marked. The values shown
// now (after a get, load or confirmed send) are what the sensor holds; or the
// words the sensor holds, when the panels keep edits it did not take.
void NoteShownParameters();
void NoteSensorParameters(const unsigned short *words);
void MarkChangedParameterFields();
// A control changed by the operator: its mark follows.
void NoteParameterEdit(int panel, int control);
// How many fields are changed, and their labels, comma-separated.
int ChangedParameterFields(char *names, int size);
// True when nothing is changed, or the operator agrees that what (e.g. "Get
// parameters") replaces the changes.
bool ConfirmDiscardEdits(const char *what);
// The tolerance edits dimmed in the hardware modes that ignore them.
void DimToleranceEdits();
