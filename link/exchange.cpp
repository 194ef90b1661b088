// The receiver keeps what came off the line since the last request and looks
// in it for the one reply that is awaited; the port's notification and the
// waits only ever call TakeInReply.
#include "exchange.h"

#include <cstring>

#include "com232.h"
#include "frame.h"
#include "rs232.h"
#include "ui.h"

const double LATE_REPLY_WINDOW = 3.5;
int line_lost;

namespace {

// Three byte times at 19200 baud: a reply still on the line has sent its
// next byte by then.
constexpr double kQuietGap = 0.0016;

// The request whose reply the receiver looks for.
struct Awaited {
    unsigned short command = 0;
    int bytes = 0;         // reply size; 0 when none is awaited
    bool answered = true;  // its reply came (or none was due)
    bool givenUp = false;  // its wait ended without it: the reply would come late
    double sentAt = 0.0;
    long receivedBefore = 0;  // bytes taken in before it was sent
};

Awaited g_awaited;
unsigned char g_rx[1024];
int g_rxLen = 0;
long g_discarded = 0;
long g_received = 0;
double g_lastLateByte = 0.0;  // when bytes of a given-up raw reply last came
int g_operations = 0;

void Drop(int count) {
    if (count <= 0) return;
    if (count > g_rxLen) count = g_rxLen;
    std::memmove(g_rx, g_rx + count, static_cast<std::size_t>(g_rxLen - count));
    g_rxLen -= count;
    g_discarded += count;
}

void DropAll() { Drop(g_rxLen); }

bool AwaitsFrame() { return !g_awaited.answered && g_awaited.bytes == FRAME_BYTES; }

// A reply to the waiting request goes to szReadBuf and pp; a reply that
// comes after its wait ended only settles the debt.
void MatchReply(int port) {
    if (!AwaitsFrame()) {
        if (!g_awaited.answered && g_rxLen > 0) g_lastLateByte = Timer();
        DropAll();
        return;
    }
    int keep = 0;
    const int at = FindReply(g_rx, g_rxLen, g_awaited.command, &keep);
    if (at < 0) {
        Drop(keep);
        // Wake up again only when the rest of a started frame can be there.
        SetRxNotifyCount(port, g_rxLen > 0 ? FRAME_BYTES - g_rxLen : FRAME_BYTES);
        return;
    }
    Drop(at);
    g_awaited.answered = true;
    if (!g_awaited.givenUp) {
        std::memcpy(szReadBuf, g_rx, FRAME_BYTES);
        graph_flag = GetRxBuf();
        rx_flag = 1;
    }
    g_rxLen -= FRAME_BYTES;
    DropAll();  // whatever follows belongs to no request of ours
    FlushInQ(port);
    SetRxNotifyCount(port, FRAME_BYTES);
}

// Raw bytes fit any raw reply, and a frame of the same command fits its
// request; a frame request after a raw one needs no wait, since the receiver
// skips whatever is no frame.
bool Conflicts(unsigned short command, int bytes) {
    if (bytes == 0 || g_awaited.answered) return false;
    if (bytes != FRAME_BYTES) return true;
    return g_awaited.bytes == FRAME_BYTES && g_awaited.command == command;
}

bool LateReplyStillPossible() {
    if (g_awaited.answered) return false;
    if (Timer() - g_awaited.sentAt > LATE_REPLY_WINDOW) return false;
    // Bytes of a raw reply came and stopped: that was it.
    return !(g_awaited.bytes != FRAME_BYTES && g_lastLateByte > g_awaited.sentAt &&
             Timer() - g_lastLateByte > kQuietGap);
}

// An unanswered request of the same kind may still be answered; waiting it
// out keeps that reply from being taken for the answer to the next one.
void WaitOutLateReply(int port, unsigned short command, int bytes) {
    if (!Conflicts(command, bytes)) return;
    g_awaited.givenUp = true;
    while (LateReplyStillPossible() && !line_lost) {
        ProcessSystemEvents();
        TakeInReply(port);
    }
    g_awaited.answered = true;
    DropAll();
    FlushInQ(port);
}

void Arm(int port, unsigned short command) {
    const int bytes = ReplyBytes(command);
    WaitOutLateReply(port, command, bytes);
    DropAll();
    g_awaited = Awaited{};
    g_awaited.command = command;
    g_awaited.bytes = bytes;
    g_awaited.answered = bytes == 0;
    g_awaited.receivedBefore = g_received;
    rx_flag = 0;
}

int Write(int port) {
    nBytesW = ComWrt(port, reinterpret_cast<const char *>(szWriteBuf), FRAME_BYTES);
    if (nBytesW < 0 && ComLineLost(port) > 0) ReportLineLost();
    return nBytesW;
}

}  // namespace

int SendRequest(int port, unsigned short command, unsigned short subArgument,
                const unsigned short *words) {
    Arm(port, command);
    EncodeRequest(szWriteBuf, command, subArgument, words);
    g_awaited.sentAt = Timer();
    return Write(port);
}

int SendBuiltRequest(int port) {
    const unsigned short command = FrameWord(szWriteBuf + 2);
    Arm(port, command);
    g_awaited.sentAt = Timer();
    return Write(port);
}

int AwaitReply(double timeoutSeconds) {
    const double t0 = Timer();
    for (;;) {
        ProcessSystemEvents();
        if (rx_flag) return EXCHANGE_OK;
        if (line_lost) return EXCHANGE_LINE_LOST;
        if (Timer() - t0 > timeoutSeconds) {
            // A sensor that answered with something else owes nothing; only
            // a silent one may still be on its way.
            if (g_received > g_awaited.receivedBefore)
                g_awaited.answered = true;
            else
                g_awaited.givenUp = true;
            return EXCHANGE_TIMEOUT;
        }
    }
}

int AwaitBytes(int port, int count, double timeoutSeconds, bool processEvents, bool *timedOut) {
    const double t0 = Timer();
    int waiting = 0, last = -1;
    double lastChange = t0;
    *timedOut = false;
    for (;;) {
        if (processEvents) ProcessSystemEvents();
        if (ComLineLost(port) > 0) {
            ReportLineLost();
            return EXCHANGE_LINE_LOST;
        }
        waiting = GetInQLen(port);
        if (waiting < 0) return waiting;
        const double now = Timer();
        if (waiting != last) {
            last = waiting;
            lastChange = now;
        }
        if (waiting >= count && now - lastChange > kQuietGap) break;
        if (now - t0 > timeoutSeconds) {
            *timedOut = true;
            break;
        }
    }
    if (waiting >= count)
        g_awaited.answered = true;
    else
        g_awaited.givenUp = true;
    return waiting;
}

void TakeInReply(int port) {
    int queued = GetInQLen(port);
    while (queued > 0) {
        if (g_rxLen == static_cast<int>(sizeof g_rx)) Drop(g_rxLen - (FRAME_BYTES - 1));
        const int room = static_cast<int>(sizeof g_rx) - g_rxLen;
        const int got =
            ComRd(port, reinterpret_cast<char *>(g_rx + g_rxLen), queued < room ? queued : room);
        if (got <= 0) break;
        g_rxLen += got;
        g_received += got;
        queued -= got;
    }
    MatchReply(port);
}

int FlushInput(int port) {
    TakeInReply(port);
    return FlushInQ(port);
}

void ResetReceiver() {
    g_awaited = Awaited{};
    g_rxLen = 0;
    g_discarded = 0;
    g_received = 0;
    line_lost = 0;
}

long DiscardedBytes() { return g_discarded; }
long ReceivedBytes() { return g_received; }

bool BeginLinkOperation() {
    if (g_operations > 0) return false;
    ++g_operations;
    return true;
}

// A reply still on its way when the operation ends answers nothing.
void EndLinkOperation() {
    if (g_operations > 0) --g_operations;
    if (!g_awaited.answered) g_awaited.givenUp = true;
}

bool LinkBusy() { return g_operations > 0; }

void ReportLineLost() {
    if (line_lost) return;
    line_lost = 1;
    if (link_display.lineLost) link_display.lineLost();
}
