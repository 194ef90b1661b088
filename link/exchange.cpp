// The receiver keeps what came off the line since the last request and looks
// in it for the one reply that is awaited; the port's notification and the
// waits only ever call TakeInReply.
//
// A request whose wait ended in silence leaves a debt: its reply may still
// come. Until it came or can no longer come, no request that its reply could
// be taken for is sent: not one with the same command, and no raw request
// at all, since raw bytes fit any raw reply. The sensor answers in order, so
// the reply to any later request settles every debt before it.
#include "exchange.h"

#include <cstring>

#include "com232.h"
#include "frame.h"
#include "rs232.h"
#include "ui.h"

const double LATE_REPLY_WINDOW = 3.5;
int line_lost;

namespace {

// Two byte times at 19200 baud: a reply still on the line has sent its next
// byte by then, even with a pause of a byte time between its bytes. The port
// wakes for a reply's last bytes as they come, so the gap is counted from the
// last byte itself.
constexpr double kQuietGap = 2 * 10.0 / 19200.0;
constexpr int kCommands = 16;  // the codes a debt is kept for

// The request whose reply the receiver looks for.
struct Awaited {
    unsigned short command = 0;
    int bytes = 0;         // reply size
    bool waiting = false;  // its reply has neither come nor been given up
    double sentAt = 0.0;
    long receivedBefore = 0;  // bytes taken in before it was sent
};

Awaited g_awaited;
unsigned char g_rx[1024];
int g_rxLen = 0;
long g_discarded = 0;
long g_received = 0;
long g_accepted = 0;                 // replies that answered their request
double g_frameOwedUntil[kCommands];  // a frame reply to that command may still come
double g_rawOwedUntil = 0.0;         // raw bytes may still come
double g_rawLastByte = 0.0;          // when bytes last came while raw bytes were owed
int g_operations = 0;
int g_droppedReplyCommand = -1;  // of a frame with the sync word dropped since the last request
unsigned g_waitEpoch = 0;        // changed by AbandonWaits

void ClearDebts() {
    for (double &until : g_frameOwedUntil) until = 0.0;
    g_rawOwedUntil = g_rawLastByte = 0.0;
}

bool DebtsOpen() {
    const double now = Timer();
    if (g_rawOwedUntil > now) return true;
    for (double until : g_frameOwedUntil)
        if (until > now) return true;
    return false;
}

// Late replies among the bytes about to be dropped settle their debts.
void SettleDebts(int count) {
    const double now = Timer();
    if (g_rawOwedUntil > now && count > 0) g_rawLastByte = now;
    for (int c = 1; c < kCommands; ++c) {
        if (g_frameOwedUntil[c] <= now) continue;
        int keep = 0;
        if (FindReply(g_rx, count, static_cast<unsigned short>(c), &keep) >= 0)
            g_frameOwedUntil[c] = 0.0;
    }
}

// A frame that opens with the sync word but was not taken: it answered
// another request, which tells a wrong reply from a garbled line.
void NoteDroppedReplies(int count) {
    for (int at = 0; at + FRAME_BYTES <= g_rxLen && at < count; ++at)
        if (g_rx[at] == 0x00 && g_rx[at + 1] == 0xAA) {
            g_droppedReplyCommand = FrameWord(g_rx + at + 2);
            return;
        }
}

void Drop(int count) {
    if (count > g_rxLen) count = g_rxLen;
    if (count <= 0) return;
    NoteDroppedReplies(count);
    SettleDebts(count);
    std::memmove(g_rx, g_rx + count, static_cast<std::size_t>(g_rxLen - count));
    g_rxLen -= count;
    g_discarded += count;
}

void DropAll() { Drop(g_rxLen); }

// The wait for the awaited reply ended without it.
void GiveUp(bool silent) {
    if (!g_awaited.waiting) return;
    g_awaited.waiting = false;
    if (!silent) return;
    const double until = g_awaited.sentAt + LATE_REPLY_WINDOW;
    if (g_awaited.bytes != FRAME_BYTES) {
        g_rawOwedUntil = until;
        g_rawLastByte = 0.0;
    } else if (g_awaited.command < kCommands) {
        g_frameOwedUntil[g_awaited.command] = until;
    }
}

// With no frame awaited, the bytes are looked through for the late replies
// still owed: one that is whole settles its debt and is dropped; the start
// of one is kept until the rest can be there, so that a reply that comes in
// pieces on a paced line is seen whole. Everything else is dropped.
void KeepOwedReplies(int port) {
    const double now = Timer();
    for (;;) {
        int earliest = g_rxLen, settled = -1;
        for (int c = 1; c < kCommands && settled < 0; ++c) {
            if (g_frameOwedUntil[c] <= now) continue;
            int keep = g_rxLen;
            const int at = FindReply(g_rx, g_rxLen, static_cast<unsigned short>(c), &keep);
            if (at >= 0) {
                g_frameOwedUntil[c] = 0.0;
                settled = at;
            }
            if (keep < earliest) earliest = keep;
        }
        if (settled < 0) {
            Drop(earliest);
            break;
        }
        Drop(settled + FRAME_BYTES);  // the late reply answers nothing now
    }
    if (g_rxLen > 0) SetRxNotifyCount(port, FRAME_BYTES - g_rxLen);
}

// The awaited reply goes to szReadBuf and pp; everything else is dropped.
void MatchReply(int port) {
    if (!g_awaited.waiting || g_awaited.bytes != FRAME_BYTES) {
        KeepOwedReplies(port);
        return;
    }
    int keep = 0;
    const int at = FindReply(g_rx, g_rxLen, g_awaited.command, &keep);
    if (at < 0) {
        Drop(keep);
        // Wake up again only when the rest of a started frame can be there.
        SetRxNotifyCount(port, FRAME_BYTES - g_rxLen);
        return;
    }
    Drop(at);
    g_awaited.waiting = false;
    ClearDebts();
    std::memcpy(szReadBuf, g_rx, FRAME_BYTES);
    graph_flag = GetRxBuf();
    ++g_accepted;
    rx_flag = 1;
    g_rxLen -= FRAME_BYTES;
    std::memmove(g_rx, g_rx + FRAME_BYTES, static_cast<std::size_t>(g_rxLen));
    DropAll();  // whatever follows belongs to no request of ours
    FlushInQ(port);
    SetRxNotifyCount(port, FRAME_BYTES);
}

bool LateReplyPossible(unsigned short command, int bytes) {
    const double now = Timer();
    if (bytes == FRAME_BYTES) return command < kCommands && g_frameOwedUntil[command] > now;
    if (bytes == 0) return false;
    // Raw bytes came and stopped: that was the late raw reply.
    const bool rawSettled = g_rawLastByte > 0.0 && now - g_rawLastByte > kQuietGap;
    if (g_rawOwedUntil > now && !rawSettled) return true;
    for (int c = 1; c < kCommands; ++c)
        if (g_frameOwedUntil[c] > now) return true;
    return false;
}

void WaitOutLateReplies(int port, unsigned short command, int bytes) {
    if (!LateReplyPossible(command, bytes)) return;
    while (LateReplyPossible(command, bytes) && !line_lost) {
        ProcessSystemEvents();
        TakeInReply(port);
    }
    if (bytes == FRAME_BYTES && command < kCommands) g_frameOwedUntil[command] = 0.0;
    if (bytes != FRAME_BYTES) g_rawOwedUntil = 0.0;
    FlushInQ(port);
}

void Arm(int port, unsigned short command) {
    GiveUp(true);
    const int bytes = ReplyBytes(command);
    WaitOutLateReplies(port, command, bytes);
    DropAll();
    SetRxNotifyCount(port, FRAME_BYTES);
    g_awaited = Awaited{};
    g_awaited.command = command;
    g_awaited.bytes = bytes;
    g_awaited.waiting = bytes > 0;
    g_awaited.receivedBefore = g_received;
    g_droppedReplyCommand = -1;
    rx_flag = 0;
}

int Write(int port) {
    g_awaited.sentAt = Timer();
    nBytesW = ComWrt(port, reinterpret_cast<const char *>(szWriteBuf), FRAME_BYTES);
    if (nBytesW < 0 && ComLineLost(port) > 0) ReportLineLost();
    return nBytesW;
}

}  // namespace

int SendRequest(int port, unsigned short command, unsigned short subArgument,
                const unsigned short *words) {
    Arm(port, command);
    EncodeRequest(szWriteBuf, command, subArgument, words);
    return Write(port);
}

int SendBuiltRequest(int port) {
    Arm(port, FrameWord(szWriteBuf + 2));
    return Write(port);
}

void AbandonWaits() { ++g_waitEpoch; }

int AwaitReply(double timeoutSeconds) {
    const double t0 = Timer();
    const unsigned epoch = g_waitEpoch;
    for (;;) {
        ProcessSystemEventsUntil(t0 + timeoutSeconds + 0.001);
        if (epoch != g_waitEpoch) return EXCHANGE_ABANDONED;
        if (rx_flag) return EXCHANGE_OK;
        if (line_lost) return EXCHANGE_LINE_LOST;
        if (Timer() - t0 > timeoutSeconds) {
            // A sensor that answered with something else owes nothing; only
            // a silent one may still be on its way.
            GiveUp(g_received == g_awaited.receivedBefore);
            return EXCHANGE_TIMEOUT;
        }
    }
}

int AwaitBytes(int port, int count, double timeoutSeconds, bool processEvents, bool *timedOut) {
    const double t0 = Timer();
    int waiting = 0, last = -1;
    double lastChange = t0;
    *timedOut = false;
    // The port wakes the event processing when the count is in, not at
    // every byte of it.
    if (processEvents) SetComWakeCount(port, count);
    const unsigned epoch = g_waitEpoch;
    for (;;) {
        if (processEvents)
            ProcessSystemEventsUntil(t0 + timeoutSeconds + 0.001);
        else
            Delay(kQuietGap / 4);
        if (epoch != g_waitEpoch) {
            if (processEvents) SetComWakeCount(port, 0);
            return EXCHANGE_ABANDONED;
        }
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
        if (waiting >= count) {
            // The quiet gap is short: it is slept out exactly, not in ticks
            // of the event processing.
            if (now - lastChange > kQuietGap) break;
            Delay(kQuietGap - (now - lastChange) + 1e-4);
            if (GetInQLen(port) == waiting) break;
            continue;  // more came: the reply is longer, see where it ends
        }
        if (now - t0 > timeoutSeconds) {
            *timedOut = true;
            break;
        }
    }
    if (processEvents) SetComWakeCount(port, 0);
    if (waiting >= count) {
        g_awaited.waiting = false;
        ClearDebts();
    } else {
        GiveUp(true);
    }
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

// With no reply awaited and none owed, what is queued would only be dropped:
// the flush then needs no look at it.
int FlushInput(int port) {
    if (g_awaited.waiting || DebtsOpen()) TakeInReply(port);
    return FlushInQ(port);
}

void ResetReceiver() {
    g_awaited = Awaited{};
    g_rxLen = 0;
    g_discarded = 0;
    g_received = 0;
    ClearDebts();
    line_lost = 0;
}

long DiscardedBytes() { return g_discarded; }
int DroppedReplyCommand() { return g_droppedReplyCommand; }
long AcceptedReplies() { return g_accepted; }
long ReceivedBytes() { return g_received; }

bool BeginLinkOperation() {
    if (g_operations > 0) return false;
    ++g_operations;
    return true;
}

// A reply still on its way when the operation ends answers nothing.
void EndLinkOperation() {
    if (g_operations > 0) --g_operations;
    GiveUp(true);
}

bool LinkBusy() { return g_operations > 0; }

void ReportLineLost() {
    if (line_lost) return;
    line_lost = 1;
    if (link_display.lineLost) link_display.lineLost();
}
