// The recorder writes two formats. Text: a header line with the start date,
// time and interval, a setpoint line, then "A\tB\tunits\tum\tedgesA\tedgesB"
// per sample. CSV: a header row, then "sample,time,A,B,units,um,edgesA,
// edgesB"; in newer files ",lower,upper,setpoint,verdict" follow, and in the
// newest ",scale,setpoint units,exact um" after them.
#include "recording_reader.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "file_checks.h"

namespace {

constexpr char kTextMark[] = "K-VEX-RECORDER-FILE:";
constexpr char kIntervalMark[] = "Time-Interval[s]: ";
constexpr char kSetpointMark[] = "SETPOINT-VALUE [";
constexpr char kCsvMark[] = "sample,time,";
constexpr char kCsvLimitsMark[] = ",verdict";
constexpr char kCsvExactMark[] =
    ",verdict,scale [\xC2\xB5m/unit],setpoint [units],measured value exact [\xC2\xB5m]";

bool StartsWith(const char *text, std::size_t len, const char *prefix) {
    const std::size_t n = std::strlen(prefix);
    return len >= n && std::memcmp(text, prefix, n) == 0;
}

bool EndsWith(const char *text, std::size_t len, const char *suffix) {
    const std::size_t n = std::strlen(suffix);
    return len >= n && std::memcmp(text + len - n, suffix, n) == 0;
}

const char *Find(const char *text, std::size_t len, const char *what) {
    const std::size_t n = std::strlen(what);
    for (std::size_t i = 0; n <= len && i <= len - n; ++i)
        if (std::memcmp(text + i, what, n) == 0) return text + i;
    return nullptr;
}

// Digits only, at least one, at most max: no sign, no space, no exponent.
bool ReadUnsigned(const char *&p, const char *end, uint64_t max, uint64_t &value) {
    const char *start = p;
    uint64_t v = 0;
    while (p < end && *p >= '0' && *p <= '9') {
        v = v * 10 + static_cast<uint64_t>(*p - '0');
        if (v > max) return false;
        ++p;
    }
    value = v;
    return p != start;
}

bool ReadSigned(const char *&p, const char *end, int64_t limit, int64_t &value) {
    const bool negative = p < end && *p == '-';
    if (negative) ++p;
    uint64_t v = 0;
    if (!ReadUnsigned(p, end, static_cast<uint64_t>(limit), v)) return false;
    value = negative ? -static_cast<int64_t>(v) : static_cast<int64_t>(v);
    return true;
}

// A field and the separator after it (or the line's end after the last).
bool Separator(const char *&p, const char *end, char separator, bool last) {
    if (last) return p == end;
    if (p == end || *p != separator) return false;
    ++p;
    return true;
}

bool ReadU16(const char *&p, const char *end, char sep, bool last, unsigned short &out) {
    uint64_t v = 0;
    if (!ReadUnsigned(p, end, 65535, v) || !Separator(p, end, sep, last)) return false;
    out = static_cast<unsigned short>(v);
    return true;
}

bool ReadI32(const char *&p, const char *end, char sep, bool last, int32_t &out) {
    int64_t v = 0;
    if (!ReadSigned(p, end, 2147483647, v) || !Separator(p, end, sep, last)) return false;
    out = static_cast<int32_t>(v);
    return true;
}

// Short fields are compared and searched in place: the library's calls cost
// more than a field of a few characters.
bool SameBytes(const char *a, const char *b, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i)
        if (a[i] != b[i]) return false;
    return true;
}

// The first 16 bytes of a and b, as two words.
bool SameWords(const char *a, const char *b) {
    uint64_t x[2], y[2];
    std::memcpy(x, a, 16);
    std::memcpy(y, b, 16);
    return x[0] == y[0] && x[1] == y[1];
}

const char *FindByte(const char *p, const char *end, char c) {
    for (; p < end; ++p)
        if (*p == c) return p;
    return nullptr;
}

bool ReadVerdictName(const char *p, const char *end, Verdict &out) {
    const std::size_t len = static_cast<std::size_t>(end - p);
    Verdict v;
    switch (len > 0 ? *p : 0) {  // the first letter tells the one name it can be
        case 'i':
            v = Verdict::Inside;
            break;
        case 'b':
            v = Verdict::Below;
            break;
        case 'a':
            v = Verdict::Above;
            break;
        case 'n':
            v = Verdict::None;
            break;
        default:
            return false;
    }
    const char *name = VerdictName(v);
    if (std::strlen(name) != len || !SameBytes(p, name, len)) return false;
    out = v;
    return true;
}

// "-37020.25" and the like, read fast and exactly: with at most 15 digits
// the digits and the power of ten are both exact doubles, so one division
// rounds as a full conversion would. Returns where the number ends, or
// nullptr for a form it does not take (an exponent, more digits, "5."),
// which the full conversion then reads.
const char *PlainDecimal(const char *p, const char *end, double &out) {
    static constexpr double kPowers[16] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                           1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
    const bool negative = p < end && *p == '-';
    if (negative) ++p;
    const char *start = p;
    uint64_t digits = 0;
    while (p < end && static_cast<unsigned>(*p - '0') < 10)
        digits = digits * 10 + static_cast<uint64_t>(*p++ - '0');
    long fraction = 0;
    if (p < end && *p == '.') {
        const char *first = ++p;
        while (p < end && static_cast<unsigned>(*p - '0') < 10)
            digits = digits * 10 + static_cast<uint64_t>(*p++ - '0');
        fraction = p - first;
        if (fraction == 0) return nullptr;
    }
    const long count = p - start - (fraction ? 1 : 0);
    if (count == 0 || count > 15 || (p < end && (*p == 'e' || *p == 'E'))) return nullptr;
    const double whole = static_cast<double>(digits);
    const double v = fraction ? whole / kPowers[fraction] : whole;  // a division is slow
    out = negative ? -v : v;
    return p;
}

// A number as the recorder writes it (the shortest form that reads back to
// the same double: "37020", "37020.25", "6.103515625e-05"); at most 40
// characters, finite, nothing before or after it.
bool ReadReal(const char *&p, const char *end, char sep, bool last, double &out) {
    if (p == end || *p == '+') return false;
    double v = 0;
    const char *stop = PlainDecimal(p, end, v);
    if (!stop) {
        stop = last ? end : static_cast<const char *>(std::memchr(p, sep, end - p));
        if (!stop || stop == p || stop - p > 40) return false;
        const std::from_chars_result r = std::from_chars(p, stop, v);
        if (r.ec != std::errc() || r.ptr != stop || !std::isfinite(v)) return false;
    }
    out = v;
    p = stop;
    return Separator(p, end, sep, last);
}

// A column whose text repeats from line to line (the limits, the scale) is
// read once: the same text is the same number.
struct RepeatedReal {
    char text[24];
    std::size_t len = 0;
    double value = 0;
};

bool ReadRepeatedReal(const char *&p, const char *end, char sep, RepeatedReal &column,
                      double &out) {
    const std::size_t n = column.len;
    if (n > 0 && static_cast<std::size_t>(end - p) > n && p[n] == sep &&
        SameBytes(p, column.text, n)) {
        out = column.value;
        p += n + 1;
        return true;
    }
    const char *from = p;
    if (!ReadReal(p, end, sep, false, out)) return false;
    const std::size_t read = static_cast<std::size_t>(p - 1 - from);  // without the separator
    if (read <= sizeof column.text) {
        std::memcpy(column.text, from, read);
        column.len = read;
        column.value = out;
    }
    return true;
}

bool ReadVerdict(const char *&p, const char *end, char sep, bool last, Verdict &out) {
    const char *stop = last ? end : FindByte(p, end, sep);
    if (!stop || !ReadVerdictName(p, stop, out)) return false;
    p = stop;
    return Separator(p, end, sep, last);
}

// Days from 1970-01-01 to a date of the proleptic Gregorian calendar.
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

bool Digits(const char *p, int count, int &value) {
    value = 0;
    for (int i = 0; i < count; ++i) {
        if (p[i] < '0' || p[i] > '9') return false;
        value = value * 10 + (p[i] - '0');
    }
    return true;
}

// "MM-dd-yyyy HH:mm:ss" in local time, as the text header starts.
int64_t ReadTextStart(const char *line, std::size_t len) {
    if (len < 19 || line[2] != '-' || line[5] != '-' || line[10] != ' ' || line[13] != ':' ||
        line[16] != ':')
        return -1;
    int month, day, year, hour, minute, second;
    if (!Digits(line, 2, month) || !Digits(line + 3, 2, day) || !Digits(line + 6, 4, year) ||
        !Digits(line + 11, 2, hour) || !Digits(line + 14, 2, minute) ||
        !Digits(line + 17, 2, second))
        return -1;
    if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60)
        return -1;
    tm local{};
    local.tm_year = year - 1900, local.tm_mon = month - 1, local.tm_mday = day;
    local.tm_hour = hour, local.tm_min = minute, local.tm_sec = second;
    local.tm_isdst = -1;
    const std::time_t t = std::mktime(&local);
    return t == static_cast<std::time_t>(-1) ? -1 : static_cast<int64_t>(t) * 1000;
}

bool ParseTextLine(const RecordingHeader &h, const char *p, const char *end, unsigned long index,
                   Sample &s) {
    if (!ReadU16(p, end, '\t', false, s.a) || !ReadU16(p, end, '\t', false, s.b) ||
        !ReadU16(p, end, '\t', false, s.units) || !ReadI32(p, end, '\t', false, s.sensorUm) ||
        !ReadU16(p, end, '\t', false, s.edgesA) || !ReadU16(p, end, '\t', true, s.edgesB))
        return false;
    s.exactUm = s.sensorUm;  // the text format keeps the sensor's whole µm only
    s.number = index + 1;
    s.monotonic = static_cast<double>(index) * h.intervalS;
    if (h.startWallMs >= 0) s.wallMs = h.startWallMs + static_cast<int64_t>(s.monotonic * 1000);
    if (h.hasSetpoint) s.setpointUm = h.setpointUm;
    return true;
}

bool ParseCsvLine(const RecordingHeader &h, const char *p, const char *end, Sample &s) {
    uint64_t number = 0;
    if (!ReadUnsigned(p, end, 4294967295u, number) || !Separator(p, end, ',', false)) return false;
    // A timestamp has one of two lengths: its end is looked at, not searched.
    const char *comma = end - p > 29 && p[29] == ','   ? p + 29
                        : end - p > 24 && p[24] == ',' ? p + 24
                                                       : nullptr;
    if (!comma || !ParseIsoTimestamp(p, static_cast<std::size_t>(comma - p), s.wallMs))
        return false;
    p = comma + 1;
    const bool limits = h.hasLimits, exact = h.hasScale;
    if (!ReadU16(p, end, ',', false, s.a) || !ReadU16(p, end, ',', false, s.b) ||
        !ReadU16(p, end, ',', false, s.units) || !ReadI32(p, end, ',', false, s.sensorUm) ||
        !ReadU16(p, end, ',', false, s.edgesA) || !ReadU16(p, end, ',', !limits, s.edgesB))
        return false;
    s.exactUm = s.sensorUm;
    thread_local RepeatedReal lower, upper, scale;
    if (limits && (!ReadRepeatedReal(p, end, ',', lower, s.lowerUm) ||
                   !ReadRepeatedReal(p, end, ',', upper, s.upperUm) ||
                   !ReadI32(p, end, ',', false, s.setpointUm) ||
                   !ReadVerdict(p, end, ',', !exact, s.verdict)))
        return false;
    // Limits the wrong way round judge nothing: no value lies between them.
    if (limits && s.lowerUm > s.upperUm) return false;
    s.hasLower = s.hasUpper = limits;
    if (exact &&
        (!ReadRepeatedReal(p, end, ',', scale, s.umPerUnit) || !(s.umPerUnit >= 0) ||
         !ReadU16(p, end, ',', false, s.setpointUnits) || !ReadReal(p, end, ',', true, s.exactUm)))
        return false;
    s.number = static_cast<unsigned long>(number);
    s.monotonic = static_cast<double>(s.wallMs) / 1000.0;
    return true;
}

}  // namespace

void TrimLineEnd(const char *line, std::size_t &len) {
    while (len > 0 && line[len - 1] == '\r') --len;
}

// A spreadsheet that saves a CSV file again puts a byte-order mark before it.
void SkipByteOrderMark(const char *&line, std::size_t &len) {
    if (StartsWith(line, len, "\xEF\xBB\xBF")) line += 3, len -= 3;
}

RecordingFormat DetectRecordingFormat(const char *line, std::size_t len) {
    SkipByteOrderMark(line, len);
    if (StartsWith(line, len, kCsvMark)) return RecordingFormat::Csv;
    if (Find(line, len, kTextMark)) return RecordingFormat::Text;
    return RecordingFormat::Unknown;
}

bool ReadRecordingHeader(const char *first, std::size_t firstLen, const char *second,
                         std::size_t secondLen, RecordingHeader &h) {
    h = RecordingHeader{};
    SkipByteOrderMark(first, firstLen);
    h.format = DetectRecordingFormat(first, firstLen);
    if (h.format == RecordingFormat::Csv) {
        h.headerLines = 1;
        h.hasScale = EndsWith(first, firstLen, kCsvExactMark);
        h.hasLimits = h.hasScale || EndsWith(first, firstLen, kCsvLimitsMark);
        return true;
    }
    if (h.format != RecordingFormat::Text) return false;
    h.headerLines = 1;
    h.startWallMs = ReadTextStart(first, firstLen);
    if (const char *at = Find(first, firstLen, kIntervalMark)) {
        const char *p = at + std::strlen(kIntervalMark);
        uint64_t interval = 0;
        if (ReadUnsigned(p, first + firstLen, 65535, interval) && p == first + firstLen)
            h.intervalS = static_cast<double>(interval);
    }
    // The unit between the brackets is one Latin-1 byte as written, but an
    // editor may have made it UTF-8: only the number after it counts.
    if (second && StartsWith(second, secondLen, kSetpointMark)) {
        const char *end = second + secondLen;
        const char *at = Find(second, secondLen, "]: ");
        const char *p = at ? at + 3 : end;
        int64_t setpoint = 0;
        if (at && ReadSigned(p, end, 2147483647, setpoint) && p == end) {
            h.hasSetpoint = true;
            h.setpointUm = static_cast<int32_t>(setpoint);
        }
        h.headerLines = 2;
    }
    return true;
}

bool ParseRecordingLine(const RecordingHeader &header, const char *line, std::size_t len,
                        unsigned long index, Sample &out) {
    // Straight into out: a large file is read at millions of lines a second,
    // and a refused line leaves nothing a caller uses.
    static const Sample kNone;
    out = kNone;
    const char *end = line + len;
    const bool ok = header.format == RecordingFormat::Text
                        ? ParseTextLine(header, line, end, index, out)
                    : header.format == RecordingFormat::Csv ? ParseCsvLine(header, line, end, out)
                                                            : false;
    if (!ok) return false;
    out.mm = out.exactUm / 1000.0;
    return true;
}

bool ParseIsoTimestamp(const char *t, std::size_t len, int64_t &wallMs) {
    // 2026-12-08T06:00:44.123+01:00 (29 characters) or ...44.123Z (24).
    if (len != 29 && len != 24) return false;
    int second, ms;
    if (t[16] != ':' || t[19] != '.' || !Digits(t + 17, 2, second) || !Digits(t + 20, 3, ms) ||
        second > 60)
        return false;
    // The lines of a recording share their date, hour, minute and offset: the
    // start of the minute is kept, once its text has been read whole.
    thread_local char lastText[29] = {};
    thread_local std::size_t lastLen = 0;
    thread_local int64_t lastMinuteMs = 0;
    if (len == lastLen && SameWords(t, lastText) && t[16] == lastText[16] &&
        SameBytes(t + 23, lastText + 23, len - 23)) {
        wallMs = lastMinuteMs + second * 1000 + ms;
        return true;
    }
    if (t[4] != '-' || t[7] != '-' || t[10] != 'T' || t[13] != ':') return false;
    int year, month, day, hour, minute, offH = 0, offM = 0;
    if (!Digits(t, 4, year) || !Digits(t + 5, 2, month) || !Digits(t + 8, 2, day) ||
        !Digits(t + 11, 2, hour) || !Digits(t + 14, 2, minute))
        return false;
    int sign = 0;
    if (len == 24) {
        if (t[23] != 'Z') return false;
    } else {
        if ((t[23] != '+' && t[23] != '-') || t[26] != ':' || !Digits(t + 24, 2, offH) ||
            !Digits(t + 27, 2, offM) || offH > 23 || offM > 59)
            return false;
        sign = t[23] == '+' ? 1 : -1;
    }
    if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59) return false;
    const int64_t days =
        DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day));
    const int64_t local = ((days * 24 + hour) * 60 + minute) * 60;
    lastMinuteMs = (local - sign * (offH * 3600 + offM * 60)) * 1000;
    std::memcpy(lastText, t, len);
    lastLen = len;
    wallMs = lastMinuteMs + second * 1000 + ms;
    return true;
}

// ---------------------------------------------------------------- lines
RecordingLines::~RecordingLines() {
    if (fd_ >= 0) ::close(fd_);
    std::free(buffer_);
}

bool RecordingLines::Open(const char *path, const char **why) {
    fd_ = OpenRegularFile(path, why);
    if (fd_ < 0) return false;
    struct stat st {};
    if (::fstat(fd_, &st) == 0) fileSize_ = st.st_size;
    buffer_ = static_cast<char *>(std::malloc(kBlock));
    if (!buffer_) {
        *why = "not enough memory";
        return false;
    }
    return true;
}

bool RecordingLines::Fill() {
    if (eof_ || fd_ < 0) return false;
    if (start_ > 0) {
        std::memmove(buffer_, buffer_ + start_, end_ - start_);
        bufferOffset_ += start_;
        end_ -= start_;
        start_ = 0;
    }
    for (;;) {
        const ssize_t n = ::read(fd_, buffer_ + end_, kBlock - end_);
        if (n > 0) {
            end_ += static_cast<std::size_t>(n);
            return true;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) readError_ = FileErrorText(errno);
        eof_ = true;
        return false;
    }
}

bool RecordingLines::Next(const char *&line, std::size_t &len) {
    if (!buffer_) return false;
    for (;;) {
        const char *from = buffer_ + start_;
        const char *nl = static_cast<const char *>(std::memchr(from, '\n', end_ - start_));
        if (nl) {
            const std::size_t at = start_;
            start_ = static_cast<std::size_t>(nl - buffer_) + 1;
            if (skipping_) {  // the rest of an overlong line
                skipping_ = false;
                continue;
            }
            line = from;
            len = static_cast<std::size_t>(nl - from);
            TrimLineEnd(line, len);
            ++lineNumber_;
            lineOffset_ = bufferOffset_ + at;
            overlong_ = false;
            return true;
        }
        if (start_ == 0 && end_ == kBlock) {  // a block without a line end
            const bool first = !skipping_;
            start_ = end_;
            skipping_ = true;
            if (first) {
                line = buffer_;
                len = kBlock;
                ++lineNumber_;
                lineOffset_ = bufferOffset_;
                overlong_ = true;
                return true;
            }
        }
        if (!Fill()) return false;
    }
}

bool RecordingLines::Tail(const char *&line, std::size_t &len) {
    if (!buffer_ || !eof_ || start_ == end_ || skipping_) return false;
    line = buffer_ + start_;
    len = end_ - start_;
    TrimLineEnd(line, len);
    ++lineNumber_;
    lineOffset_ = bufferOffset_ + start_;
    start_ = end_;
    return true;
}

// ---------------------------------------------------------------- source
bool RecordingSource::Open(const char *path, const char **why) {
    if (!lines_.Open(path, why)) return false;
    const char *line;
    std::size_t len;
    if (!lines_.Next(line, len)) {
        *why = lines_.ReadError()         ? lines_.ReadError()
               : lines_.PartialTail() > 0 ? "its first line is not complete (still being written?)"
                                          : "it is empty";
        return false;
    }
    // Copies: the reader's lines live only until the next one is asked for.
    const std::string first(line, lines_.Overlong() ? 0 : len);
    if (DetectRecordingFormat(first.data(), first.size()) == RecordingFormat::Unknown) {
        *why =
            "it is no recording (its first line is neither the recorder's text header nor its "
            "CSV header)";
        return false;
    }
    const bool haveSecond = lines_.Next(line, len);
    pendingOverlong_ = haveSecond && (lines_.Overlong() || len > kMaxSampleLine);
    pending_.assign(haveSecond && !pendingOverlong_ ? line : "",
                    haveSecond && !pendingOverlong_ ? len : 0);
    ReadRecordingHeader(first.data(), first.size(), haveSecond ? pending_.data() : nullptr,
                        pending_.size(), header_);
    hasPending_ = haveSecond && header_.headerLines == 1;
    pendingNumber_ = lines_.LineNumber();
    pendingOffset_ = lines_.LineOffset();
    return true;
}

RecordingSource::Line RecordingSource::Take(const char *line, std::size_t len, bool overlong,
                                            Sample &s) {
    // A damaged line still stood for a sample: a text line's number and time
    // count the lines before it.
    const unsigned long slot = slots_++;
    if (overlong || len > kMaxSampleLine || !ParseRecordingLine(header_, line, len, slot, s)) {
        if (bad_++ == 0) firstBad_ = lineNumber_;
        return Line::Bad;
    }
    return Line::Sample;
}

RecordingSource::Line RecordingSource::Next(Sample &s) {
    if (hasPending_) {
        hasPending_ = false;
        lineNumber_ = pendingNumber_, lineOffset_ = pendingOffset_;
        return Take(pending_.data(), pending_.size(), pendingOverlong_, s);
    }
    const char *line;
    std::size_t len;
    if (lines_.Next(line, len)) {
        lineNumber_ = lines_.LineNumber(), lineOffset_ = lines_.LineOffset();
        return Take(line, len, lines_.Overlong(), s);
    }
    if (ended_ || lines_.ReadError()) return Line::End;
    ended_ = true;
    partialTail_ = lines_.PartialTail();
    if (partialTail_ == 0 || !lines_.Tail(line, len)) return Line::End;
    if (len > kMaxSampleLine || !ParseRecordingLine(header_, line, len, slots_, s))
        return Line::End;  // a line still being written
    partialTail_ = 0;
    tailTaken_ = true;
    ++slots_;
    lineNumber_ = lines_.LineNumber(), lineOffset_ = lines_.LineOffset();
    return Line::Sample;
}
