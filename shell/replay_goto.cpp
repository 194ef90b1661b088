// Go to a time in the replay: the sample taken then, or the nearest one.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "recording_index.h"
#include "replay.h"
#include "session.h"

namespace {

// A typed time: "19:23", "19:23:00", "19:23:00.5", each after a date
// "2026-12-08" and a space or a T, or alone. Out of range fields are no time.
bool ParseTypedTime(const char *text, bool &hasDate, std::tm &when, double &seconds) {
    while (*text == ' ' || *text == '\t' || *text == '\n' || *text == '\r') ++text;
    char trimmed[64];
    std::size_t len = std::strlen(text);
    while (len > 0 && (text[len - 1] == ' ' || text[len - 1] == '\n' || text[len - 1] == '\r' ||
                       text[len - 1] == '\t'))
        --len;
    if (len == 0 || len >= sizeof trimmed) return false;
    std::memcpy(trimmed, text, len);
    trimmed[len] = '\0';
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, used = 0;
    const char *clock = trimmed;
    hasDate = std::sscanf(trimmed, "%4d-%2d-%2d%n", &year, &month, &day, &used) == 3 &&
              (trimmed[used] == ' ' || trimmed[used] == 'T');
    if (hasDate) {
        clock = trimmed + used + 1;
        if (year < 1970 || month < 1 || month > 12 || day < 1 || day > 31) return false;
    }
    if (std::sscanf(clock, "%2d:%2d%n", &hour, &minute, &used) != 2 || hour > 23 || minute > 59 ||
        hour < 0 || minute < 0)
        return false;
    seconds = 0;
    const char *rest = clock + used;
    if (*rest == ':') {
        char *end = nullptr;
        if (rest[1] < '0' || rest[1] > '9') return false;
        seconds = std::strtod(rest + 1, &end);
        if (*end != '\0' || !(seconds >= 0 && seconds < 60)) return false;
    } else if (*rest != '\0') {
        return false;
    }
    when = std::tm{};
    when.tm_year = year - 1900, when.tm_mon = month - 1, when.tm_mday = day;
    when.tm_hour = hour, when.tm_min = minute;
    when.tm_isdst = -1;
    return true;
}

// Local time of a day and a clock as milliseconds since 1970; false when the
// system cannot tell it.
bool LocalMs(std::tm when, double seconds, int64_t &ms) {
    when.tm_sec = 0;
    when.tm_isdst = -1;
    const std::time_t t = std::mktime(&when);
    if (t == static_cast<std::time_t>(-1)) return false;
    ms = static_cast<int64_t>(t) * 1000 + std::llround(seconds * 1000);
    return true;
}

// The sample nearest to wallMs among the first count, their times rising
// as the recorder wrote them: its index, and how far it lies.
bool NearestSample(const RecordingIndex &recording, int64_t wallMs, unsigned long count,
                   unsigned long &index, int64_t &apart) {
    unsigned long low = 0, high = count;
    Sample s;
    while (low < high) {
        const unsigned long mid = low + (high - low) / 2;
        if (!recording.Read(mid, s)) return false;
        if (s.wallMs < wallMs)
            low = mid + 1;
        else
            high = mid;
    }
    bool found = false;
    for (const unsigned long i : {low > 0 ? low - 1 : low, low}) {
        if (i >= count || !recording.Read(i, s)) continue;
        const int64_t d = s.wallMs > wallMs ? s.wallMs - wallMs : wallMs - s.wallMs;
        if (!found || d < apart) index = i, apart = d, found = true;
    }
    return found;
}

}  // namespace

bool ReplayGoToTime(const char *text, Sample &landed, const char **why) {
    const RecordingIndex *index = ShownRecordingIndex();
    if (!index || index->Count() == 0) {
        *why = "no replay is shown";
        return false;
    }
    const RecordingHeader &h = index->Header();
    if (h.format == RecordingFormat::Text && h.startWallMs < 0) {
        *why = "the file holds no times of day";
        return false;
    }
    bool hasDate = false;
    std::tm when{};
    double seconds = 0;
    if (!ParseTypedTime(text, hasDate, when, seconds)) {
        *why = "type a time of day as 19:23:00 or a date and time as 2026-12-08 19:23:00";
        return false;
    }
    const unsigned long count = index->Count();
    Sample first, last;
    if (!index->Read(0, first) || !index->Read(count - 1, last)) {
        *why = "the file cannot be read";
        return false;
    }
    unsigned long best = 0;
    int64_t bestApart = -1;
    auto consider = [&](const std::tm &day) {
        int64_t ms = 0;
        unsigned long i = 0;
        int64_t apart = 0;
        if (LocalMs(day, seconds, ms) && NearestSample(*index, ms, count, i, apart) &&
            (bestApart < 0 || apart < bestApart))
            best = i, bestApart = apart;
    };
    if (hasDate) {
        consider(when);
    } else {
        // A time of day alone means that time on each day the file covers.
        const std::time_t from = static_cast<std::time_t>(first.wallMs / 1000),
                          to = static_cast<std::time_t>(last.wallMs / 1000);
        std::tm day{}, end{};
        if (!localtime_r(&from, &day) || !localtime_r(&to, &end)) {
            *why = "the file's times cannot be read as local times";
            return false;
        }
        for (int days = 0; days < 4000; ++days) {
            std::tm at = day;
            at.tm_mday += days;
            at.tm_hour = when.tm_hour, at.tm_min = when.tm_min;
            std::tm normal = at;
            normal.tm_isdst = -1;
            if (std::mktime(&normal) == static_cast<std::time_t>(-1)) break;
            consider(at);
            if (normal.tm_year > end.tm_year ||
                (normal.tm_year == end.tm_year && normal.tm_yday >= end.tm_yday))
                break;
        }
    }
    if (bestApart < 0) {
        *why = "the file cannot be read";
        return false;
    }
    if (ReplayPlaying()) ReplayPlayPause();  // it stays on the sample found
    ReplaySeek(best);
    return index->Read(best, landed);
}
