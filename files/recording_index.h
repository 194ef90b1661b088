// A recording made ready for replay: every sample line's place in the file,
// its value in micrometres and its verdict, kept compactly (13 bytes a
// sample); the sample itself is read from the file when it is shown. A large
// file is indexed in passes of bounded time, so the first samples can be shown
// while the rest is still being read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "recording_reader.h"
#include "session.h"

class RecordingIndex {
  public:
    // A replay keeps at most this many samples (about 52 MB of index).
    static constexpr unsigned long kDefaultMaxSamples = 4000000;
    // A larger file per allowed sample than the longest sample line cannot
    // fit the bound and is refused before it is read.
    static constexpr std::size_t kMaxSampleLine = RecordingSource::kMaxSampleLine;

    RecordingIndex();
    ~RecordingIndex();
    RecordingIndex(const RecordingIndex &) = delete;
    RecordingIndex &operator=(const RecordingIndex &) = delete;

    // Opens the file and reads its header. False with why (a full sentence
    // part such as "it is empty", at most 200 bytes) when it cannot be
    // replayed at all.
    bool Open(const char *path, char *why, std::size_t whySize,
              unsigned long maxSamples = kDefaultMaxSamples);
    // Indexes lines until the file's end or until `seconds` have passed on
    // the monotonic clock. False once nothing more comes (the end, a refusal).
    bool IndexMore(double seconds);
    bool Complete() const { return complete_; }
    // The file holds more samples than the bound: it is refused, why says so.
    bool Refused() const { return refused_; }
    const char *RefusalText() const { return refusal_; }

    const RecordingHeader &Header() const { return header_; }
    unsigned long Count() const { return static_cast<unsigned long>(offsets_.size()); }
    // Lines that could not be read as samples, and the first one's number.
    unsigned long SkippedLines() const { return skipped_; }
    unsigned long FirstSkippedLine() const { return firstSkipped_; }
    // Bytes after the last whole line: a recording still being written.
    std::size_t PartialTail() const { return partialTail_; }
    // A CSV file whose lines carry their own limits and verdict.
    bool RecordedVerdicts() const { return header_.hasLimits; }

    // Sample i (from 0) as its line says; false when the file changed under
    // the replay and the line no longer reads, or reads otherwise than it
    // was indexed.
    bool Read(unsigned long i, Sample &out) const;
    // The file was written over in place (the same size, another time of
    // change, or a line that no longer holds what was indexed): its index
    // stands for nothing any more, and no sample is read from it again.
    bool ChangedInPlace() const;
    // The sensor's whole µm of sample i: what a file without recorded
    // verdicts (and so without an exact value) is judged by.
    int32_t Um(unsigned long i) const { return um_[i]; }
    Verdict VerdictAt(unsigned long i) const { return static_cast<Verdict>(verdict_[i]); }

    // The file was cut short under the replay: drops the samples at its end
    // whose lines no longer read whole. Returns the samples left.
    unsigned long KeepWhole();

    // Judges every sample without a recorded verdict again; one without any
    // limit is unjudged.
    void Judge(const Limits &limits);
    // Each sample as it is indexed, judged as the index judges it and with
    // the limits that judged it: what is worked out over the whole file grows
    // with the index, never read again.
    using SampleSink = void (*)(const Sample &sample, void *data);
    void SetSampleSink(SampleSink sink, void *data) { sink_ = sink, sinkData_ = data; }
    // The same for samples 0 to Count() - 1 again, from memory (after a new
    // Judge), for a file without recorded verdicts: their value is the
    // sensor's whole µm. False for a file with them, whose samples never
    // change their judgement.
    bool ForEachJudged(SampleSink sink, void *data) const;
    // The next out-of-tolerance sample after i, the last one before i;
    // -1 when there is none.
    long NextOut(unsigned long i) const;
    long PreviousOut(unsigned long i) const;
    unsigned long OutCount() const { return outCount_; }
    // Up to `buckets` positions (sample indices) that stand for the
    // out-of-tolerance samples, one per bucket that holds any: marks for a
    // track that cannot show a million of them.
    std::vector<int> OutMarks(int buckets) const;

  private:
    void Take(Sample &s, uint64_t offset);
    void Skip(unsigned long lineNumber);
    // A sample without recorded limits gets the ones in force.
    void JudgeHere(Sample &s) const;
    void Stamp();
    // The place of sample i among all sample lines, the unreadable ones too:
    // a text line's number and time count from it.
    unsigned long Slot(unsigned long i) const;

    std::unique_ptr<RecordingSource> source_;
    int fd_ = -1;  // for reading single lines at their place
    RecordingHeader header_;
    Limits limits_;
    SampleSink sink_ = nullptr;
    void *sinkData_ = nullptr;
    bool lastUnended_ = false;  // the last sample is a last line without its end
    unsigned long maxSamples_ = kDefaultMaxSamples;
    std::vector<uint64_t> offsets_;
    std::vector<int32_t> um_;
    std::vector<uint8_t> verdict_;
    unsigned long skipped_ = 0, firstSkipped_ = 0, outCount_ = 0;
    // For each unreadable line (up to a bound), the sample it came before.
    std::vector<unsigned long> skippedBefore_;
    std::size_t partialTail_ = 0;
    // The file as the last indexing pass left it: a size and a time of change.
    int64_t stampSize_ = -1, stampNs_ = -1;
    mutable bool changed_ = false;
    bool complete_ = false, refused_ = false;
    char refusal_[200] = "";
};
