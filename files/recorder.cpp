#include "recorder.h"
#include "parafile.h"

char szDate[24];
char szTime[12];

// The recorder arrives with its own work; until then start-up's call is empty.
void CalcRecTime() {}
void SendParaToFile() {}
int ReadParaFromFile() { return 0; }

// The recorder's controls act once the recorder lands.
int CC_TOGGBTN_Recorder(int, int, int, void *, int, int) { return 0; }
int CC_NEDITRecTime(int, int, int, void *, int, int) { return 0; }
int CC_NEDITRecSamples(int, int, int, void *, int, int) { return 0; }
int CC_RecordFileNameBtn(int, int, int, void *, int, int) { return 0; }
int CC_BTNStartRecord(int, int, int, void *, int, int) { return 0; }
int CC_BTNStopRecord(int, int, int, void *, int, int) { return 0; }
