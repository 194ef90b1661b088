// Sensor link: the 36-byte frames, the receive notification, the line check,
// the port opening and start-up handshake, the parameter block and its mapping
// to the controls, sensor identification and parameter transfer.
#pragma once

#include <cstdint>

// ---------------------------------------------------------------- line state
extern int com;  // serial port number
extern unsigned char szWriteBuf[1024];
extern unsigned char szReadBuf[1024];
extern unsigned short pp[16];  // payload of the request built / reply decoded
extern int rx_flag;            // a 36-byte reply has been taken in
extern int graph_flag;         // the last reply had the raw-values shape
extern int nBytesW, nBytesR;
extern char szStatus[72];
extern const double TIMEOUT;  // seconds
extern const int eventMask;   // 0x8006

// ---------------------------------------------------------------- parameter block
// 34 consecutive 16-bit words: header, command, sub-argument, frame 0 (15),
// frame 1 words 0-10, one unused word, the 32-bit scale factor and the 32-bit
// setpoint value, each low half first.
extern unsigned short parameter[34];
enum {
    PW_HEADER = 0,
    PW_COMMAND = 1,
    PW_SUBARG = 2,
    PW_FRAME0 = 3,
    PW_THD_A = 4,
    PW_TEACH_A = 5,
    PW_TOLUP = 8,
    PW_TOLLO = 9,
    PW_HWMODE = 11,
    PW_EVALMODE = 12,
    PW_ANAMODE = 14,
    PW_FRAME1 = 18,
    PW_THD_B = 19,
    PW_TEACH_B = 20,
    PW_SCALE_LO = 30,
    PW_SCALE_HI = 31,
    PW_SETPOINT_LO = 32,
    PW_SETPOINT_HI = 33,
};
uint32_t ScaleFactor();    // words 30-31
uint32_t SetpointValue();  // words 32-33
void SetWord32(int lowWord, uint32_t value);
// Words beyond what the sensor can mean are put back to safe values.
void LimitParameterWords();
// The greatest value LimitParameterWords leaves in the word (0xFFFF: any).
unsigned short ParameterWordBound(int word);
// The word of the parameter block that word i of a frame travels in.
int ParameterWordOfFrame(unsigned short frame, int i);

// ---------------------------------------------------------------- sensor identity
extern unsigned short ccdtype, ccdmaxpixel, ccdresolution, pcbtype, ccdvirtpixel, ccdsubpixel,
    ccdpixB, ccdpixE, softversion, refdistance, adcmax;
extern unsigned short YMAXADC;  // video full scale, 256 or 1024
extern double xArray8[128];     // x positions of the video points
extern char szVersion[72];
// The sensor's hardware in three lines of Latin-1 text, from its last
// hardware reply; "" before one came.
extern char szHardware[3][40];

// ---------------------------------------------------------------- raw values
extern unsigned short Aval, Bval, Mvalue;
extern int umValue;
extern unsigned short tolup, tollo, edcntA, edcntB, peakwA, peakwB, anaMax, anaMin, raw13, raw14,
    raw15;

// ---------------------------------------------------------------- frames
void FillTxBuf(unsigned short command, unsigned short subArgument, const unsigned short *words);
int GetRxBuf();
void RX_Receive_Function(int port, int eventBits, void *callbackData);
int WaitRxFull();
// Discards what waits in the input queue of com, then its output queue.
void FlushQueues();
// Installs the receive notification with RX_Receive_Function.
void InstallRxNotification(int port);
// Switches the notification off, so that raw replies stay in the queue.
void RemoveRxNotification(int port);
// Lets the notification fire at count queued bytes, if it is on.
void SetRxNotifyCount(int port, int count);
int CheckComLine(int port);
void InitRS232(int port);
// The last InitRS232 opened the port, and the sensor answered every question
// of the start-up; the line has not been lost since.
bool LinkReady();
// What the link has to show goes through the shell, which fills this in at
// start-up; an entry left empty shows nothing.
struct LinkDisplay {
    void (*status)(const char *text);  // a text for the status line
    void (*lineLost)();                // the device of the open port went away
    void (*parameterSet)();            // frame 1 of a get is in (or timed out)
    // A valid hardware reply: the video graphs' x axis ends at axisEnd, and
    // the three lines of sensor information.
    void (*sensorIdentified)(double axisEnd, const char *line0, const char *line1,
                             const char *line2);
};
extern LinkDisplay link_display;
// Shows the status text in StatusLine: the last one ShowStatusText gave,
// whole, unless a SetStatus came after it; otherwise szStatus.
void ShowStatus();
// Copies text into szStatus, cut to fit: the texts the sensor's protocol names.
void SetStatus(const char *text);
// A text of the program's own: kept whole and shown; szStatus holds as much
// of it as fits.
void ShowStatusText(const char *text);
// Shows a passing text in StatusLine; szStatus keeps what it holds.
void ShowText(const char *text);
// The operator's text for a negative result of OpenComConfig.
const char *ComErrorText(int code);
// True when a request went out whole (written: SendRequest's result);
// otherwise says why in the status, unless a lost line already did.
bool RequestWentOut(int written);

// ---------------------------------------------------------------- identification
int GetHARDWAREInfo();
int GetVERSIONInfo();

// ---------------------------------------------------------------- parameter words
void CopyVarsToPP(unsigned short frame);
void CopyPPtoVars(unsigned short frame);
void CopyPPtoRAWVars();

// ---------------------------------------------------------------- transfer
void PushGET(unsigned short source, unsigned short frame);
void ResetMaxMin();
