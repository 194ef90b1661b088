#include "com232.h"

#include <cstring>

int com = 1;
unsigned char szWriteBuf[1024];
unsigned char szReadBuf[1024];
unsigned short pp[16];
int rx_flag, graph_flag;
int nBytesW, nBytesR;
char szStatus[72];
const double TIMEOUT = 1.5;
const int eventMask = 0x8006;
unsigned short parameter[34] = {0x0055, 1};
unsigned short ccdtype, ccdmaxpixel = 1024, ccdresolution, pcbtype, ccdvirtpixel = 4096,
                        ccdsubpixel = 2048, ccdpixB, ccdpixE, softversion, refdistance, adcmax;
unsigned short YMAXADC = 256;
double xArray8[128];
char szVersion[72];
unsigned short Aval, Bval, Mvalue;
int umValue;
unsigned short tolup, tollo, edcntA, edcntB, peakwA, peakwB, anaMax, anaMin, raw13, raw14,
    raw15;

uint32_t ScaleFactor() { return parameter[PW_SCALE_LO] | (uint32_t)parameter[PW_SCALE_HI] << 16; }
uint32_t SetpointValue() {
    return parameter[PW_SETPOINT_LO] | (uint32_t)parameter[PW_SETPOINT_HI] << 16;
}
void FillTxBuf(unsigned short, unsigned short, const unsigned short *) {}
int GetRxBuf() { return 0; }
void RX_Receive_Function(int, int, void *) {}
int WaitRxFull() { return 0; }
int CheckComLine(int) { return 0; }
void InitRS232(int) {}
void ShowStatus() {}
void ShowStatusText(const char *) {}
const char *ComErrorText(int) { return "RS-232 error!"; }
int GetHARDWAREInfo() { return 0; }
int GetVERSIONInfo() { return 0; }
void CopyVarsToPP(unsigned short) {}
void CopyPPtoVars(unsigned short) {}
void CopyPPtoRAWVars() {}
void GetPanelValues() {}
void SetPanelValues() {}
void PushGET(unsigned short, unsigned short) {}
void ResetMaxMin() {}
