#include "fake_line.h"

#include <algorithm>
#include <cstring>
#include <deque>

#include "rs232.h"
#include "ui.h"

namespace {

std::vector<std::uint8_t> g_far;
std::size_t g_next = 0;
std::vector<std::size_t> g_chunks;
std::size_t g_chunk = 0;
std::deque<std::uint8_t> g_queue;
double g_now = 0.0;
std::uint8_t g_request[36];
bool g_asked = false;  // the far end speaks only once a request went out

ComCallbackPtr g_callback = nullptr;
void *g_callbackData = nullptr;
int g_mask = 0;
int g_notifyCount = 1;

void HandOver() {
    if (!g_asked || g_next >= g_far.size() || g_chunks.empty()) return;
    const std::size_t n = std::min(g_chunks[g_chunk++ % g_chunks.size()], g_far.size() - g_next);
    g_queue.insert(g_queue.end(), g_far.begin() + g_next, g_far.begin() + g_next + n);
    g_next += n;
}

}  // namespace

namespace fakeline {

void Play(const std::uint8_t *bytes, std::size_t size, std::vector<std::size_t> chunks) {
    g_far.assign(bytes, bytes + size);
    g_next = 0;
    g_chunks = std::move(chunks);
    g_chunk = 0;
    g_queue.clear();
    g_asked = false;
}

std::size_t Delivered() { return g_next; }
const std::uint8_t *LastRequest() { return g_request; }

}  // namespace fakeline

// ------------------------------------------------------------ the run-time the link calls

// Time passes a little with every look at the clock, so that no loop can
// stand still; a pass of events or a poll of the queue takes a millisecond.
double Timer() { return g_now += 1e-6; }
void Delay(double seconds) { g_now += seconds > 0 ? seconds : 0; }

int ProcessSystemEvents() {
    g_now += 0.001;
    HandOver();
    if (g_callback && (g_mask & COM_EV_RECEIVE) &&
        g_queue.size() >= static_cast<std::size_t>(g_notifyCount))
        g_callback(1, COM_EV_RECEIVE, g_callbackData);
    return 0;
}

int ProcessSystemEventsUntil(double) { return ProcessSystemEvents(); }

int OpenComConfig(int, const char *, long, int, int, int, int, int) { return 0; }
int GetComPortHolder(int, char *text, std::size_t size) {
    if (text && size) text[0] = '\0';
    return 0;
}
int SetComWakeCount(int, int) { return 0; }
int SetComTime(int, double) { return 0; }
int SetCTSMode(int, int) { return 0; }
int ComLineLost(int) { return 0; }
int FlushOutQ(int) { return 0; }

int FlushInQ(int) {
    g_queue.clear();
    return 0;
}

int InstallComCallback(int, int eventMask, int notifyCount, int, ComCallbackPtr callback,
                       void *callbackData) {
    g_callback = eventMask != 0 ? callback : nullptr;
    g_callbackData = callbackData;
    g_mask = eventMask;
    g_notifyCount = std::max(1, notifyCount);
    return 0;
}

int ComWrt(int, const char *buffer, int count) {
    std::memcpy(g_request, buffer, static_cast<std::size_t>(std::min(count, 36)));
    g_asked = true;
    return count;
}

int ComRd(int, char *buffer, int count) {
    const int n = std::min(count, static_cast<int>(g_queue.size()));
    std::copy_n(g_queue.begin(), n, buffer);
    g_queue.erase(g_queue.begin(), g_queue.begin() + n);
    return n;
}

// Bytes also arrive while the caller polls the queue without processing events.
int GetInQLen(int) {
    g_now += 0.001;
    HandOver();
    return static_cast<int>(g_queue.size());
}
