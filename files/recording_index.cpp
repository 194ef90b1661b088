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

RecordingIndex::RecordingIndex() = default;

RecordingIndex::~RecordingIndex() {
    if (fd_ >= 0) ::close(fd_);
}

bool RecordingIndex::Open(const char *path, char *why, std::size_t whySize,
                          unsigned long maxSamples) {
    maxSamples_ = maxSamples;
    const char *reason = nullptr;
    fd_ = OpenRegularFile(path, &reason);
    if (fd_ < 0) {
        std::snprintf(why, whySize, "%s", reason ? reason : "it cannot be read");
        return false;
    }
    struct stat st {};
    const uint64_t bound = static_cast<uint64_t>(maxSamples) * kMaxSampleLine;
    if (::fstat(fd_, &st) == 0 && st.st_size > 0 && static_cast<uint64_t>(st.st_size) > bound) {
        std::snprintf(why, whySize,
                      "it is too large (%lld MB): a replay holds at most %lu samples in memory",
                      static_cast<long long>(st.st_size >> 20), maxSamples);
        return false;
    }
    Stamp();
    source_ = std::make_unique<RecordingSource>();
    if (!source_->Open(path, &reason)) {
        std::snprintf(why, whySize, "%s", reason ? reason : "it cannot be read");
        return false;
    }
    header_ = source_->Header();
    return true;
}

void RecordingIndex::JudgeHere(Sample &s) const {
    if (header_.hasLimits) return;
    s.verdict = ::Judge(s.exactUm, limits_);
    s.hasLower = limits_.hasLower, s.hasUpper = limits_.hasUpper;
    s.lowerUm = limits_.lowerUm, s.upperUm = limits_.upperUm;
    if (limits_.hasSetpoint) s.setpointUm = static_cast<int32_t>(limits_.setpointUm);
}

void RecordingIndex::Skip(unsigned long lineNumber) {
    if (skipped_++ == 0) firstSkipped_ = lineNumber;
    // Beyond the bound, later text samples may show a time too early.
    if (skippedBefore_.size() < kMaxSkipsKept) skippedBefore_.push_back(Count());
}

void RecordingIndex::Take(Sample &s, uint64_t offset) {
    if (Count() >= maxSamples_) {
        refused_ = true;
        std::snprintf(refusal_, sizeof refusal_,
                      "it holds more than %lu samples, more than a replay keeps in memory",
                      maxSamples_);
        return;
    }
    JudgeHere(s);
    offsets_.push_back(offset);
    um_.push_back(s.sensorUm);
    verdict_.push_back(static_cast<uint8_t>(s.verdict));
    if (s.verdict == Verdict::Below || s.verdict == Verdict::Above) ++outCount_;
    if (sink_) sink_(s, sinkData_);
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
    if (complete_ || refused_ || !source_) return false;
    const double until = Now() + seconds;
    Sample s;
    for (unsigned n = 1;; ++n) {
        const RecordingSource::Line got = source_->Next(s);
        if (got == RecordingSource::Line::End) break;
        if (got == RecordingSource::Line::Bad) {
            Skip(source_->LineNumber());
        } else {
            Take(s, source_->LineOffset());
            if (refused_) break;
        }
        if (n % 4096 == 0 && Now() >= until) {
            Stamp();
            return true;
        }
    }
    Stamp();
    partialTail_ = source_->PartialTail();
    // A last line without its end was taken: its line has no end to find.
    lastUnended_ = !refused_ && source_->TailTaken();
    complete_ = true;
    source_.reset();  // its block buffer goes with it
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
    const bool unended =
        !nl && lastUnended_ && i + 1 == Count() && static_cast<std::size_t>(n) < sizeof buffer;
    if (!nl && !unended) return false;
    std::size_t len = unended ? static_cast<std::size_t>(n) : static_cast<std::size_t>(nl - buffer);
    TrimLineEnd(buffer, len);
    if (!ParseRecordingLine(header_, buffer, len, Slot(i), out)) return false;
    if (out.sensorUm != um_[i] ||
        (header_.hasLimits && static_cast<uint8_t>(out.verdict) != verdict_[i])) {
        changed_ = true;  // another line stands where this sample was indexed
        return false;
    }
    JudgeHere(out);
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

void RecordingIndex::Judge(const Limits &limits) {
    limits_ = limits;
    if (header_.hasLimits) return;
    outCount_ = 0;
    for (std::size_t i = 0; i < um_.size(); ++i) {
        const Verdict v = ::Judge(um_[i], limits);
        verdict_[i] = static_cast<uint8_t>(v);
        if (v == Verdict::Below || v == Verdict::Above) ++outCount_;
    }
}

bool RecordingIndex::ForEachJudged(SampleSink sink, void *data) const {
    if (header_.hasLimits) return false;
    Sample s;
    for (std::size_t i = 0; i < um_.size(); ++i) {
        s.sensorUm = um_[i];
        s.exactUm = um_[i];
        s.mm = s.exactUm / 1000.0;
        JudgeHere(s);
        sink(s, data);
    }
    return true;
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
