#include "recorder.h"
#include "parafile.h"

char szDate[24];
char szTime[12];

// The recorder arrives with its own work; until then start-up's call is empty.
void CalcRecTime() {}
void SendParaToFile() {}
int ReadParaFromFile() { return 0; }
