// Placeholder: the serial-port layer on QSerialPort replaces this file.
#include "rs232.h"
void SetComPortDevice(int, const char *) {}
void ClearComPortDevices() {}
int GetComPortCount() { return 0; }
int GetComPortDevice(int, char *, std::size_t) { return -2; }
int OpenComConfig(int, const char *, long, int, int, int, int, int) { return -2; }
int CloseCom(int) { return 0; }
int SetComTime(int, double) { return -3; }
int SetCTSMode(int, int) { return -3; }
int InstallComCallback(int, int, int, int, ComCallbackPtr, void *) { return -3; }
int ComWrt(int, const char *, int) { return -3; }
int ComRd(int, char *, int) { return -3; }
int GetInQLen(int) { return -3; }
int FlushInQ(int) { return -3; }
int FlushOutQ(int) { return -3; }
