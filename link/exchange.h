// One exchange with the sensor at a time: a request goes out, and only the
// reply that answers it is taken in. A 36-byte reply counts when it opens
// with the sync word and carries the command of the waiting request; the
// receiver drops everything else and finds the next frame start by itself.
// A reply that comes after its request timed out never answers a later one:
// the next request of the same kind waits until that reply came or can no
// longer come.
#pragma once

// Results of a wait.
enum {
    EXCHANGE_ABANDONED = -2,  // a newer exchange took the line while this wait was held up
    EXCHANGE_LINE_LOST = -1,
    EXCHANGE_TIMEOUT = 0,
    EXCHANGE_OK = 1
};

// The waits in progress end at their next look with EXCHANGE_ABANDONED
// (AwaitBytes: with that code as its result), without a text: a loop that
// went on above them, while a dialog held them up, has used the line since.
void AbandonWaits();

// Seconds after a request within which its reply may still come late.
extern const double LATE_REPLY_WINDOW;

// Builds the request in szWriteBuf, arms the receiver for its reply and
// writes the 36 bytes; the result goes to nBytesW. The caller's flushes and
// texts come before, as each operation has them.
int SendRequest(int port, unsigned short command, unsigned short subArgument,
                const unsigned short *words);
// The same for a request that is already built in szWriteBuf.
int SendBuiltRequest(int port);

// Waits, processing events, until the checked reply is in (rx_flag), the
// time is up or the line is lost.
int AwaitReply(double timeoutSeconds);
// Waits until count raw bytes are queued and the line has fallen quiet, so a
// reply with bytes to spare is seen whole. Processes events unless told not
// to. Returns the bytes waiting, or a negative code once the line is lost;
// *timedOut tells whether the time ran out first.
int AwaitBytes(int port, int count, double timeoutSeconds, bool processEvents, bool *timedOut);

// Takes in what the port holds: the receive notification's work.
void TakeInReply(int port);
// Empties the input queue. What it holds is looked through first, so that a
// reply still owed is seen and not thrown away unnoticed.
int FlushInput(int port);
// Forgets everything of the line so far (a port opened anew).
void ResetReceiver();
// Bytes taken in and bytes dropped by the receiver since the port was opened.
long ReceivedBytes();
long DiscardedBytes();
// The command code of a whole frame with the sync word that was dropped since
// the last request went out (it answered another request), or -1.
int DroppedReplyCommand();
// Replies that answered their request, since the program started.
long AcceptedReplies();

// Only one operation holds the link; an operator command that arrives while
// another one waits is refused, never run inside that wait.
bool BeginLinkOperation();
void EndLinkOperation();
bool LinkBusy();

// The device went away: set once per opening of the port.
extern int line_lost;
// Called once when the device of the open port goes away; tells the shell.
void ReportLineLost();
