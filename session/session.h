// What more than one subsystem shares: the program's state (panel handles,
// memory target, stop_flag, folders and file names, the sensor's identity),
// the measuring loops' life cycle, the link's state on screen, the folders
// remembered between runs, and the sample stream. Everything here lies below
// the acquisition, the files and the shell, so each of them may use it.
#pragma once

#include <csignal>
#include <cstddef>
#include <cstdint>

#include "kvex_ids.h"

// ---------------------------------------------------------------- state
// Panel handles, valid from start-up to shutdown.
extern int pHandle, pPara1, pPara2, pCalib, panelPopUp, pPublish;
extern int pReplay;  // the replay's controls, a sub-panel of the main panel

extern int target;  // memory target of send and get: 1 RAM, 2 EEPROM, 3 file
// 0 while a run, video or recording loop runs; a stop signal's handler
// writes it, so it is of the one type a handler may write.
extern volatile std::sig_atomic_t stop_flag;

// The mode that starts by itself once the window is up, as if its button had
// been pressed (demos, kiosks, benchmarks).
enum StartMode { START_NONE, START_RUN, START_VIDEO };
extern int startMode;

extern const int MAXPOINT;  // points of a video curve and of a threshold array
extern unsigned short yaxisMAX;
extern unsigned short thdArrayA[128], thdArrayB[128];

extern char szSoftName[72];
extern char szSoftVersion[72];
extern char proj_dir[260];
extern char recfile_name[260];
extern char file_name[260];

extern const char *const kPanelFile;  // "K-VEX-RB-ZD-VedudU300.uir"

// Fills the 128 levels of a threshold line from a percentage of YMAXADC.
void FillThresholdArray(unsigned short *levels, unsigned short percent);
// The parameter words, the port and the sensor's sizes as a program starts,
// with a window or without.
void InitSessionVars();

// What the layers above do when the session says so; an entry left empty
// does nothing. Filled in by the shell at start-up.
struct SessionHooks {
    // Nothing live stands behind the measured values any more: a loop ended,
    // the port was opened anew.
    void (*liveValuesEnded)();
    // The state of a second connection (the broker the values are published
    // to), shown beside the sensor's; "" when there is none.
    void (*secondLinkState)(char *text, std::size_t size);
    // The link's state in words and its colour (0xRRGGBB), each time it is
    // told anew.
    void (*linkState)(const char *text, int colour);
    // What starts a mode or an exchange of its own is dimmed (1) while a
    // loop runs, and back (0) once it ended.
    void (*startControlsDimmed)(int dimmed);
};
extern SessionHooks session_hooks;

// ---------------------------------------------------------------- loops
// What the front-end does at the moment, as the plant and the screen name it.
enum class Activity { Idle, Run, Video, Recording, Replay };
// "idle", "run", "video", "recording", "replay".
const char *ActivityName(Activity a);
Activity CurrentActivity();
// A change is told to every subscriber, in the order they came. The loops
// set it through their begin and end; a replay sets it itself.
void SetActivity(Activity a);
using ActivitySubscriber = void (*)(Activity now);
void SubscribeActivity(ActivitySubscriber subscriber);
void UnsubscribeActivity(ActivitySubscriber subscriber);

// The one way to ask a running loop to end: it does so after its pass.
void StopMeasuring();
// The stop buttons' request: ends a running loop at its next pass, undims
// the command buttons (once the loop has ended, if one runs) and waits 0.1 s.
void RequestStop();
// A run, video or recording loop starts (stop_flag becomes 0, the samples
// count from 1 again) or has ended. While one runs the controls that would
// start a mode or an exchange of their own are dimmed; when it has ended they
// all come back and the live values are marked as such no more.
void BeginMeasuringLoop(Activity what);
void EndMeasuringLoop();
bool MeasuringLoopRuns();

// ---------------------------------------------------------------- samples
// One measurement: what one run-mode reply says, with the judgement that the
// limits in force at that moment give it.
enum class Verdict { Inside, Below, Above, None };
// The tolerance limits a value is judged against, in µm; a limit may be
// missing (a one-sided tolerance, a recording that names none, no
// parameters read).
struct Limits {
    bool hasLower = false, hasUpper = false, hasSetpoint = false;
    double lowerUm = 0, upperUm = 0, setpointUm = 0;
    bool operator==(const Limits &) const = default;
};
// The one judge of a value, as the sensor's judgement goes: a value on a
// limit is inside; None (unjudged) without any limit, never against 0. The
// value and the limits may be in any one unit (the live loops judge in the
// sensor's units, as the sensor does).
Verdict Judge(double um, const Limits &limits);
struct Sample {
    unsigned long number = 0;     // 1, 2, ... from the start of the loop
    double monotonic = 0;         // Timer() seconds when the reply was taken in
    int64_t wallMs = 0;           // milliseconds since 1970 (UTC) at that moment
    unsigned short a = 0, b = 0;  // edge positions, sensor units
    unsigned short units = 0;     // the measured value, sensor units
    int32_t sensorUm = 0;         // the sensor's own value: whole micrometres
    // The value at the sensor's resolution: the setpoint value plus the offset
    // from the setpoint in units times the scale, as the limits are made, so
    // that the value and the limits compare as the verdict did.
    double exactUm = 0;
    double mm = 0;  // exactUm in millimetres
    unsigned short edgesA = 0, edgesB = 0;
    unsigned short peakA = 0, peakB = 0;  // peak widths, sensor units
    unsigned short analogMax = 0, analogMin = 0;
    unsigned short tolUp = 0, tolLow = 0;     // tolerances, sensor units
    unsigned short setpointUnits = 0;         // the value the verdict compares with
    int32_t setpointUm = 0;                   // the setpoint value, micrometres
    double lowerUm = 0, upperUm = 0;          // the limits, micrometres, at the resolution
    bool hasLower = false, hasUpper = false;  // which of them hold: none, unjudged
    double umPerUnit = 0;                     // the scale; 0 when it is not known
    Verdict verdict = Verdict::None;
};
// The exact value of units against a setpoint (units and µm) and a scale.
double ExactUm(int32_t setpointUm, int units, int setpointUnits, double umPerUnit);
// "inside", "below", "above", "none".
const char *VerdictName(Verdict v);
// How a wall-clock time reads, always in local time.
enum class WallStyle {
    Iso,     // "2026-12-08T06:00:44.123+01:00", as files and messages keep it
    DateMs,  // "2026-12-08 06:00:44.123"
    Date,    // "2026-12-08 06:00:44"
    Clock,   // "06:00:44"
};
// Every time of the program turned into text: milliseconds since 1970, those
// before it counted back to the second before (-1 ms is 23:59:59.999 of 31
// December 1969, never ".-01"). Returns the characters written, 0 when the
// time cannot be shown or out is too small.
std::size_t WallTimeText(int64_t wallMs, WallStyle style, char *out, std::size_t size);
// A sample's wall-clock time as WallStyle::Iso.
void IsoTimestamp(char *out, std::size_t size, int64_t wallMs);

// Every consumer of samples subscribes once; a subscriber added later needs
// no change in the loops. Subscribers are called in the order they came.
using SampleSubscriber = void (*)(const Sample &sample);
void SubscribeSamples(SampleSubscriber subscriber);
void UnsubscribeSamples(SampleSubscriber subscriber);
// Hands the sample to every subscriber.
void PublishSample(const Sample &sample);
// The number the next sample of the running loop gets.
unsigned long NextSampleNumber();

// Every loop (run, video, recording, replay) is a run of its own, named by
// its start and the station: "2026-12-08T06:00:44.123+01:00 line-3/kvex"
// (local time with milliseconds and the offset, then the station). A new run
// starts whenever the front-end leaves idle. The station is the host's name
// until the publisher names it by its topic root.
const char *CurrentRunId();
void SetRunStation(const char *station);

// ---------------------------------------------------------------- numbers
// The one way a figure leaves the program for another program: the shortest
// text that reads back to the same double ("37020.25", "0.1", "1e-07").
// Returns the length, or -1 when out is too small or the value is not finite.
int ShortestNumber(char *out, std::size_t size, double value);
// A UTF-8 text as a JSON string, the one escaper of every JSON the program
// writes: quotes, backslashes and control characters escaped, bytes from 0x80
// as they are. Returns the length, or -1 when out is too small.
int JsonString(char *out, std::size_t size, const char *text);
// The decimals (3 and up, at most 9) at which value reads apart from each of
// the others that it is not equal to: a value judged beyond a limit must
// never read as that limit.
int DecimalsApart(double value, const double *others, int count);

// ---------------------------------------------------------------- link state
// The firmware text of the sensor on com, once the start-up questions passed.
extern char sensorFirmware[72];
// Its hardware, three lines of Latin-1 text; "" while no sensor answered.
extern char sensorHardware[3][40];
// The indicator beside the status line: Running, Stopped, No data or Line
// lost, with the device, the firmware or the figures of the last mode.
void ShowLinkState();
// While a replay is shown the indicator names its file instead of the sensor.
void SetReplaySource(const char *name);
void NoteLinkOpened();    // after InitRS232: a new connection, new counts
void BeginLinkFigure();   // a mode starts
void EndLinkFigure();     // it ended; its figure stays in view
void NoteLinkActivity();  // an exchange passed: the figure shows it once a second
void NoteLinkTimeout();
// Nothing live stands behind the measured values any more: whoever shows
// them is told (SessionHooks::liveValuesEnded).
void NoteLiveValuesEnded();  // a reply did not come
// The device behind com, read when the link opens or is lost.
void ReadLinkDevice();
const char *LinkDevice();

// ---------------------------------------------------------------- remembered
// The port was given on the command line (--port, --simulate): it wins over
// the one remembered.
extern bool portFromCommandLine;
// A command-line verb runs: what it sets is not the operator's choice and is
// not remembered.
extern bool unattended;
// The folder of path under key; and the remembered one (260 bytes), or the
// program's folder when none is.
void RememberFolder(const char *key, const char *path);
void RememberedFolder(const char *key, char *dir);
