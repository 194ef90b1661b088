// Reading recordings back: the text and CSV files the data recorder writes,
// told apart by their first line. Every byte comes from a file that may be
// damaged, cut off, still growing or no recording at all: a line that cannot
// be read is refused whole, never half taken as a value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "session.h"

enum class RecordingFormat { Unknown, Text, Csv };

// What the first lines of a recording say about all of its samples.
struct RecordingHeader {
    RecordingFormat format = RecordingFormat::Unknown;
    int headerLines = 0;       // lines before the first sample
    int64_t startWallMs = -1;  // text: the date and time of the start, -1 if unreadable
    double intervalS = 0;      // text: seconds between samples (0: as fast as the line)
    bool hasSetpoint = false;  // text: the setpoint line was read
    int32_t setpointUm = 0;
    bool hasLimits = false;  // CSV: each line carries its limits, setpoint and verdict
    // CSV: and its scale, setpoint in units and exact value; without them the
    // exact value is the sensor's whole µm and the scale is not known (0).
    bool hasScale = false;
};

// A line without the carriage returns before its end: "\r\n", and "\r\r\n"
// as a CSV file saved again in a text mode leaves it, end alike.
void TrimLineEnd(const char *line, std::size_t &len);
// The format the first line names (without its line end; a byte-order mark
// before it is passed over).
RecordingFormat DetectRecordingFormat(const char *line, std::size_t len);

// Reads the header from the first lines of a file (each without its line
// end); lines[1] may be null when the file has one line only. False when the
// file is no recording of either format.
bool ReadRecordingHeader(const char *first, std::size_t firstLen, const char *second,
                         std::size_t secondLen, RecordingHeader &header);

// One sample line (without its line end) as a Sample. index counts the
// sample lines from 0; a text line takes its number and time from it. What
// the line does not hold stays as a default-made Sample has it (a text line
// carries no limits, so its verdict is None). False, with out of no use,
// for a line that cannot be read.
bool ParseRecordingLine(const RecordingHeader &header, const char *line, std::size_t len,
                        unsigned long index, Sample &out);

// "2026-12-08T06:00:44.123+01:00" as milliseconds since 1970 (UTC); false
// for anything else.
bool ParseIsoTimestamp(const char *text, std::size_t len, int64_t &wallMs);

// A recording read line by line in large blocks, from the start. A line
// longer than the block is handed on as overlong (and is no sample). A last
// line without its end is held back: a recording that is still being written
// is read up to its last whole line.
class RecordingLines {
  public:
    RecordingLines() = default;
    ~RecordingLines();
    RecordingLines(const RecordingLines &) = delete;
    RecordingLines &operator=(const RecordingLines &) = delete;

    // False with why set ("no such file", "it is a folder", ...).
    bool Open(const char *path, const char **why);
    // The next whole line without its end ("\n" or "\r\n"), valid until the
    // next call; its number (from 1) and the offset of its first byte.
    bool Next(const char *&line, std::size_t &len);
    unsigned long LineNumber() const { return lineNumber_; }
    uint64_t LineOffset() const { return lineOffset_; }
    bool Overlong() const { return overlong_; }
    // Bytes after the last whole line (a line still being written).
    std::size_t PartialTail() const { return end_ - start_; }
    // Once Next has found no more lines: those bytes as a last line, for a
    // reader of a finished file (an editor may have left the end off). False
    // when there are none, or when they are the rest of an overlong line.
    bool Tail(const char *&line, std::size_t &len);
    // A read failed (not the end of the file): why, or nullptr.
    const char *ReadError() const { return readError_; }
    int64_t FileSize() const { return fileSize_; }

  private:
    bool Fill();

    static constexpr std::size_t kBlock = 1 << 20;
    int fd_ = -1;
    char *buffer_ = nullptr;
    std::size_t start_ = 0, end_ = 0;  // unread bytes in the buffer
    uint64_t bufferOffset_ = 0;        // file offset of buffer_[0]
    unsigned long lineNumber_ = 0;
    uint64_t lineOffset_ = 0;
    bool overlong_ = false, eof_ = false, skipping_ = false;
    const char *readError_ = nullptr;
    int64_t fileSize_ = 0;
};

// The one way a recording is read as samples: by the replay's index, the
// statistics of a file and the command line alike, with one header parser,
// one bound on a sample line and one rule for a last line without its end.
class RecordingSource {
  public:
    // No sample line the recorder writes is longer; a longer one is a bad line.
    static constexpr std::size_t kMaxSampleLine = 256;
    enum class Line { Sample, Bad, End };

    // Opens the file and reads its header. False with why (a part of a
    // sentence such as "it is empty") when it is no recording to read.
    bool Open(const char *path, const char **why);
    const RecordingHeader &Header() const { return header_; }
    // The next line after the header: a Sample (into s), a Bad line (counted,
    // s of no use), or End once no whole line is left. There, a last line
    // without its end is taken when it reads whole as a sample (an editor may
    // have left the end off); otherwise its bytes are a line still being
    // written (PartialTail), no bad line.
    Line Next(Sample &s);
    // Of the line Next returned: its number in the file (from 1) and the
    // offset of its first byte.
    unsigned long LineNumber() const { return lineNumber_; }
    uint64_t LineOffset() const { return lineOffset_; }
    uint64_t BadLines() const { return bad_; }
    unsigned long FirstBadLine() const { return firstBad_; }
    std::size_t PartialTail() const { return partialTail_; }
    // The last sample was a last line without its end.
    bool TailTaken() const { return tailTaken_; }
    // A read failed (not the end of the file): why, or nullptr.
    const char *ReadError() const { return lines_.ReadError(); }
    int64_t FileSize() const { return lines_.FileSize(); }

  private:
    Line Take(const char *line, std::size_t len, bool overlong, Sample &s);

    RecordingLines lines_;
    RecordingHeader header_;
    // The second line, read with the header, when it is a sample line.
    std::string pending_;
    bool hasPending_ = false, pendingOverlong_ = false, ended_ = false, tailTaken_ = false;
    unsigned long pendingNumber_ = 0;
    uint64_t pendingOffset_ = 0;
    unsigned long lineNumber_ = 0, slots_ = 0, firstBad_ = 0;
    uint64_t lineOffset_ = 0, bad_ = 0;
    std::size_t partialTail_ = 0;
};
