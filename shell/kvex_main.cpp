#include "kvex_main.h"
int pHandle, pPara1, pPara2, pCalib, panelPopUp;
int WinMain(void *, void *, char *, int) { return 0; }
