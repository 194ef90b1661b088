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

// Scripted answers: to requests still to come, and those on their way.
struct Coming {
    std::vector<std::uint8_t> bytes;
    double start = 0.0;  // or the delay, while the request is still to come
    std::size_t next = 0;
};
std::deque<Coming> g_script;
std::vector<Coming> g_coming;
std::vector<fakeline::Request> g_requests;
constexpr double kBytesPerSecond = 19200 / 10.0;

ComCallbackPtr g_callback = nullptr;
void *g_callbackData = nullptr;
int g_mask = 0;
int g_notifyCount = 1;

void HandOverAnswers() {
    for (Coming &c : g_coming) {
        if (c.start > g_now) continue;
        const auto due = std::min(
            c.bytes.size(), static_cast<std::size_t>((g_now - c.start) * kBytesPerSecond) + 1);
        g_queue.insert(g_queue.end(), c.bytes.begin() + c.next, c.bytes.begin() + due);
        c.next = due;
    }
    std::erase_if(g_coming, [](const Coming &c) { return c.next == c.bytes.size(); });
}

void HandOver() {
    HandOverAnswers();
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
    g_script.clear();
    g_coming.clear();
    g_requests.clear();
}

void Answer(std::vector<std::uint8_t> bytes, double delay) {
    g_script.push_back({std::move(bytes), delay, 0});
}

const std::vector<Request> &Requests() { return g_requests; }

void Reset() { Play(nullptr, 0, {}); }

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
    const auto word = [buffer](int at) {
        return static_cast<unsigned short>(static_cast<std::uint8_t>(buffer[at]) << 8 |
                                           static_cast<std::uint8_t>(buffer[at + 1]));
    };
    if (count >= 6) g_requests.push_back({word(2), word(4), g_now});
    if (!g_script.empty()) {
        Coming answer = std::move(g_script.front());
        g_script.pop_front();
        answer.start += g_now;
        if (!answer.bytes.empty()) g_coming.push_back(std::move(answer));
    }
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
