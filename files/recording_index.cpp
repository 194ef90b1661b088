// The index keeps what finding and marking samples needs; what showing one
// needs is read again from its line, which stays short by construction.
#include "recording_index.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "file_checks.h"

namespace {

bool IsOutVerdict(uint8_t v) {
    return v == static_cast<uint8_t>(Verdict::Below) || v == static_cast<uint8_t>(Verdict::Above);
}

constexpr std::size_t kMaxSkipsKept = 100000;

int64_t ChangeNs(const struct stat &st) {
    return static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
}

double Now() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace

Verdict JudgeAgainst(const ReplayLimits &limits, int32_t um) {
    if (!limits.valid) return Verdict::None;
    if (um < limits.lowerUm) return Verdict::Below;
    if (um > limits.upperUm) return Verdict::Above;
    return Verdict::Inside;
}

RecordingIndex::RecordingIndex() = default;

RecordingIndex::~RecordingIndex() {
    if (fd_ >= 0) ::close(fd_);
}

bool RecordingIndex::Open(const char *path, char *why, std::size_t whySize,
                          unsigned long maxSamples) {
    maxSamples_ = maxSamples;
    const char *reason = nullptr;
    lines_ = std::make_unique<RecordingLines>();
    if (!lines_->Open(path, &reason)) {
        std::snprintf(why, whySize, "%s", reason ? reason : "it cannot be read");
        return false;
    }
    fd_ = OpenRegularFile(path, &reason);
    if (fd_ < 0) {
        std::snprintf(why, whySize, "%s", reason ? reason : "it cannot be read");
        return false;
    }
    const uint64_t bound = static_cast<uint64_t>(maxSamples) * kMaxSampleLine;
    if (lines_->FileSize() > 0 && static_cast<uint64_t>(lines_->FileSize()) > bound) {
        std::snprintf(why, whySize,
                      "it is too large (%lld MB): a replay holds at most %lu samples in memory",
                      static_cast<long long>(lines_->FileSize() >> 20), maxSamples);
        return false;
    }
    Stamp();
    const char *line;
    std::size_t len;
    if (!lines_->Next(line, len)) {
        if (lines_->ReadError())
            std::snprintf(why, whySize, "%s", lines_->ReadError());
        else if (lines_->PartialTail() > 0)
            std::snprintf(why, whySize, "its first line is not complete (still being written?)");
        else
            std::snprintf(why, whySize, "it is empty");
        return false;
    }
    const std::string first(line, lines_->Overlong() ? 0 : len);
    if (DetectRecordingFormat(first.data(), first.size()) == RecordingFormat::Unknown) {
        std::snprintf(why, whySize,
                      "it is no recording (its first line is neither the "
                      "recorder's text header nor its CSV header)");
        return false;
    }
    const bool haveSecond = lines_->Next(line, len);
    const std::string second(haveSecond ? line : "", haveSecond && !lines_->Overlong() ? len : 0);
    const uint64_t secondOffset = lines_->LineOffset();
    ReadRecordingHeader(first.data(), first.size(), haveSecond ? second.data() : nullptr,
                        second.size(), header_);
    if (haveSecond && header_.headerLines == 1) {
        if (lines_->Overlong())
            Take(nullptr, 0, 2, secondOffset);
        else
            Take(second.data(), second.size(), 2, secondOffset);
    }
    return true;
}

void RecordingIndex::Take(const char *line, std::size_t len, unsigned long lineNumber,
                          uint64_t offset) {
    Sample s;
    if (!line || len > kMaxSampleLine ||
        !ParseRecordingLine(header_, line, len, Slot(Count()), s)) {
        if (skipped_++ == 0) firstSkipped_ = lineNumber;
        // Beyond the bound, later text samples may show a time too early.
        if (skippedBefore_.size() < kMaxSkipsKept) skippedBefore_.push_back(Count());
        return;
    }
    if (Count() >= maxSamples_) {
        refused_ = true;
        std::snprintf(refusal_, sizeof refusal_,
                      "it holds more than %lu samples, more than a replay keeps in memory",
                      maxSamples_);
        return;
    }
    offsets_.push_back(offset);
    um_.push_back(s.sensorUm);
    const Verdict v = header_.hasLimits ? s.verdict : JudgeAgainst(limits_, s.sensorUm);
    verdict_.push_back(static_cast<uint8_t>(v));
    if (v == Verdict::Below || v == Verdict::Above) ++outCount_;
}

void RecordingIndex::Stamp() {
    struct stat st {};
    if (fd_ < 0 || ::fstat(fd_, &st) != 0) return;
    stampSize_ = st.st_size;
    stampNs_ = ChangeNs(st);
}

bool RecordingIndex::ChangedInPlace() const {
    if (changed_) return true;
    struct stat st {};
    if (fd_ < 0 || stampSize_ < 0 || ::fstat(fd_, &st) != 0) return false;
    // A file that grew was written on at its end, one that shrank was cut:
    // only the same size with another time is a change under the index.
    changed_ = st.st_size == stampSize_ && ChangeNs(st) != stampNs_;
    return changed_;
}

bool RecordingIndex::IndexMore(double seconds) {
    if (complete_ || refused_ || !lines_) return false;
    const double until = Now() + seconds;
    const char *line;
    std::size_t len;
    for (unsigned n = 1;; ++n) {
        if (!lines_->Next(line, len)) break;
        Take(lines_->Overlong() ? nullptr : line, len, lines_->LineNumber(), lines_->LineOffset());
        if (refused_) break;
        if (n % 4096 == 0 && Now() >= until) {
            Stamp();
            return true;
        }
    }
    Stamp();
    partialTail_ = lines_->PartialTail();
    complete_ = true;
    lines_.reset();  // its block buffer goes with it
    return false;
}

unsigned long RecordingIndex::Slot(unsigned long i) const {
    const auto before = std::upper_bound(skippedBefore_.begin(), skippedBefore_.end(), i);
    return i + static_cast<unsigned long>(before - skippedBefore_.begin());
}

bool RecordingIndex::Read(unsigned long i, Sample &out) const {
    if (i >= Count() || fd_ < 0 || ChangedInPlace()) return false;
    char buffer[kMaxSampleLine + 2];
    ssize_t n;
    do {
        n = ::pread(fd_, buffer, sizeof buffer, static_cast<off_t>(offsets_[i]));
    } while (n < 0 && errno == EINTR);
    if (n <= 0) return false;
    const char *nl = static_cast<const char *>(std::memchr(buffer, '\n', static_cast<size_t>(n)));
    if (!nl) return false;
    std::size_t len = static_cast<std::size_t>(nl - buffer);
    TrimLineEnd(buffer, len);
    if (!ParseRecordingLine(header_, buffer, len, Slot(i), out)) return false;
    if (out.sensorUm != um_[i] ||
        (header_.hasLimits && static_cast<uint8_t>(out.verdict) != verdict_[i])) {
        changed_ = true;  // another line stands where this sample was indexed
        return false;
    }
    if (!header_.hasLimits) {
        out.verdict = static_cast<Verdict>(verdict_[i]);
        if (limits_.valid) {
            out.lowerUm = limits_.lowerUm, out.upperUm = limits_.upperUm;
            out.setpointUm = limits_.setpointUm;
        }
    }
    return true;
}

unsigned long RecordingIndex::KeepWhole() {
    struct stat st {};
    if (fd_ < 0 || ChangedInPlace() || ::fstat(fd_, &st) != 0) return Count();
    const uint64_t size = st.st_size > 0 ? static_cast<uint64_t>(st.st_size) : 0;
    Sample s;
    while (!offsets_.empty() && (offsets_.back() >= size || !Read(Count() - 1, s))) {
        if (IsOutVerdict(verdict_.back())) --outCount_;
        offsets_.pop_back();
        um_.pop_back();
        verdict_.pop_back();
    }
    return Count();
}

void RecordingIndex::Judge(const ReplayLimits &limits) {
    limits_ = limits;
    if (header_.hasLimits) return;
    outCount_ = 0;
    for (std::size_t i = 0; i < um_.size(); ++i) {
        const Verdict v = JudgeAgainst(limits, um_[i]);
        verdict_[i] = static_cast<uint8_t>(v);
        if (v == Verdict::Below || v == Verdict::Above) ++outCount_;
    }
}

long RecordingIndex::NextOut(unsigned long i) const {
    for (std::size_t k = static_cast<std::size_t>(i) + 1; k < verdict_.size(); ++k)
        if (IsOutVerdict(verdict_[k])) return static_cast<long>(k);
    return -1;
}

long RecordingIndex::PreviousOut(unsigned long i) const {
    for (std::size_t k = std::min<std::size_t>(i, verdict_.size()); k-- > 0;)
        if (IsOutVerdict(verdict_[k])) return static_cast<long>(k);
    return -1;
}

std::vector<int> RecordingIndex::OutMarks(int buckets) const {
    std::vector<int> marks;
    const std::size_t n = verdict_.size();
    if (buckets < 1 || n == 0) return marks;
    long lastBucket = -1;
    for (std::size_t k = 0; k < n; ++k) {
        if (!IsOutVerdict(verdict_[k])) continue;
        const long bucket = static_cast<long>(static_cast<double>(k) * buckets / n);
        if (bucket == lastBucket) continue;
        lastBucket = bucket;
        marks.push_back(static_cast<int>(k));
    }
    return marks;
}
