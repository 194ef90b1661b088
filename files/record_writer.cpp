// The recording itself, apart from the recorder's window: the run-mode
// exchange with every due sample written to the record file, each line on
// disk before the next request goes out. The window and the command line
// both record through here; the window shows it through recorderView.
#include "record_writer.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "com232.h"
#include "exchange.h"
#include "file_checks.h"
#include "file_messages.h"
#include "frame.h"
#include "modes.h"
#include "ui.h"

char szDate[24];
char szTime[12];
void (*recordProgress)(unsigned done, unsigned wanted) = nullptr;
void (*recordedSample)(const Sample &sample, unsigned number) = nullptr;
RecorderView recorderView;

namespace {

// The record file stays open while recording; every line is flushed to the
// system at once, so a crash loses no written sample. A write that fails is
// cut back to the last whole line, and after every line the file must still
// be the one at its path: a deleted or renamed file, or a vanished folder,
// would take every later sample into nowhere.
struct RecordFile {
    std::FILE *f = nullptr;
    const char *path = nullptr;
    long lineEnd = 0;  // bytes up to the end of the last whole line
    dev_t device = 0;
    ino_t inode = 0;

    const char *why = nullptr;  // what went wrong, in the operator's words

    bool Create(const char *name) {
        path = name;
        const int fd = CreateRegularFile(name, &why);
        if (fd < 0) return false;
        HoldFile(kHeldRecording, name);
        f = fdopen(fd, "wb");
        struct stat st {};
        if (!f || fstat(fileno(f), &st) != 0) {
            why = FileErrorText(errno);
            if (!f) close(fd);
            return false;
        }
        device = st.st_dev;
        inode = st.st_ino;
        return true;
    }
    bool Write(const char *bytes, std::size_t n) {
        errno = 0;
        if (f && std::fwrite(bytes, 1, n, f) == n && std::fflush(f) == 0) return true;
        why = errno ? FileErrorText(errno) : "write failed";
        CutToLastLine();
        return false;
    }
    bool WriteLine(const char *text) {
        char line[330];
        const int n = std::snprintf(line, sizeof line, "%s\r\n", text);
        if (n <= 0 || static_cast<std::size_t>(n) >= sizeof line || !Write(line, n)) return false;
        lineEnd = std::ftell(f);
        return true;
    }
    void CutToLastLine() {
        if (!f) return;
        std::clearerr(f);
        if (ftruncate(fileno(f), lineEnd) == 0) std::fseek(f, lineEnd, SEEK_SET);
    }
    bool StillThere() const {
        struct stat open {
        }, named{};
        return f && fstat(fileno(f), &open) == 0 && open.st_nlink > 0 && stat(path, &named) == 0 &&
               named.st_dev == device && named.st_ino == inode;
    }
    void Close() {
        HoldFile(kHeldRecording, nullptr);
        if (f) std::fclose(f);
        f = nullptr;
    }
};

enum class FileFault { None, Write, Gone };

// The file of the running recording; empty when none runs.
char g_recordingPath[260];
// The running recording's format: 0 the tab-separated lines that other
// programs read, 1 CSV with a header row and a timestamp per sample.
int g_csv = 0;
RecordingOutcome g_outcome;

void CopyPath(char *to, const char *from) { std::snprintf(to, 260, "%s", from); }

// The status line and its log say when a recording began and how it ended,
// so a recording that ends by itself, maybe hours later, leaves a trace.
void SayRecordingStarts(unsigned short samples, unsigned short interval, const char *path) {
    char prefix[120], text[400];
    std::snprintf(prefix, sizeof prefix, "Recording %u sample%s every %u s to ",
                  static_cast<unsigned>(samples), samples == 1 ? "" : "s",
                  static_cast<unsigned>(interval));
    FormatFileMessage(text, sizeof text, prefix, path);
    ShowText(text);
}

void SayRecordingEnded(unsigned short wanted, unsigned written, bool timedOut, const char *path) {
    // An end the operator did not ask for reads as the fault that caused it.
    const char *how = line_lost           ? "Line lost, recording ended"
                      : timedOut          ? "Timeout RS232-Line, recording ended"
                      : written >= wanted ? "Recording complete"
                                          : "Recording stopped";
    char prefix[160], text[400];
    std::snprintf(prefix, sizeof prefix, "%s: %u of %u sample%s in ", how, written,
                  static_cast<unsigned>(wanted), wanted == 1 ? "" : "s");
    FormatFileMessage(text, sizeof text, prefix, path);
    ShowText(text);
}

unsigned short WholeSeconds(double t) {
    return static_cast<unsigned short>(static_cast<uint64_t>(t < 0 ? 0 : t) & 0xFFFF);
}

// The header row is the first line, so that any spreadsheet or script reads
// the file as it stands; the timestamps replace the interval line. Each line
// ends with the limits and setpoint in force when it was measured, and the
// verdict they gave, so a recording can be judged again as it was.
bool WriteCsvHeader(RecordFile &file) {
    return file.WriteLine(
        "sample,time,A [pixel],B [pixel],measured value [units],measured value [\xC2\xB5m],"
        "edges A,edges B,lower limit [\xC2\xB5m],upper limit [\xC2\xB5m],setpoint [\xC2\xB5m],"
        "verdict,scale [\xC2\xB5m/unit],setpoint [units],measured value exact [\xC2\xB5m]");
}

bool WriteHeader(RecordFile &file, unsigned short interval, uint32_t setpoint) {
    if (g_csv) return WriteCsvHeader(file);
    std::snprintf(szDate, sizeof szDate, "%s", DateStr());
    std::snprintf(szTime, sizeof szTime, "%s", TimeStr());
    std::strncat(szDate, " ", sizeof szDate - std::strlen(szDate) - 1);
    std::strncat(szDate, szTime, sizeof szDate - std::strlen(szDate) - 1);

    static const char kLabel1[] = "  K-VEX-RECORDER-FILE: Time-Interval[s]: ";
    static const char kLabel2[] = "SETPOINT-VALUE [\xB5m]: ";  // 0xB5: micro sign, one byte
    char number[16];
    bool ok = file.Write(szDate, StringLength(szDate));
    ok = ok && file.Write(kLabel1, sizeof kLabel1 - 1);
    std::snprintf(number, sizeof number, "%u", static_cast<unsigned>(interval));
    ok = ok && file.WriteLine(number);
    ok = ok && file.Write(kLabel2, sizeof kLabel2 - 1);
    std::snprintf(number, sizeof number, "%u", static_cast<unsigned>(setpoint));
    return ok && file.WriteLine(number);
}

// The line is made of the sample alone: what the displays showed of it is
// what the file keeps.
// The limits, the scale and the exact value are written in their shortest
// exact form: read back, each is the double that was judged.
bool WriteSample(RecordFile &file, unsigned short number, const Sample &s) {
    char line[320];
    if (g_csv) {
        char time[48], lower[40], upper[40], scale[40], exact[40];
        IsoTimestamp(time, sizeof time, s.wallMs);
        if (ShortestNumber(lower, sizeof lower, s.lowerUm) < 0 ||
            ShortestNumber(upper, sizeof upper, s.upperUm) < 0 ||
            ShortestNumber(scale, sizeof scale, s.umPerUnit) < 0 ||
            ShortestNumber(exact, sizeof exact, s.exactUm) < 0)
            return false;
        std::snprintf(line, sizeof line, "%u,%s,%u,%u,%u,%d,%u,%u,%s,%s,%d,%s,%s,%u,%s",
                      static_cast<unsigned>(number), time, static_cast<unsigned>(s.a),
                      static_cast<unsigned>(s.b), static_cast<unsigned>(s.units), s.sensorUm,
                      static_cast<unsigned>(s.edgesA), static_cast<unsigned>(s.edgesB), lower,
                      upper, s.setpointUm, VerdictName(s.verdict), scale,
                      static_cast<unsigned>(s.setpointUnits), exact);
        return file.WriteLine(line);
    }
    std::snprintf(line, sizeof line, "%u\t%u\t%u\t%d\t%u\t%u", static_cast<unsigned>(s.a),
                  static_cast<unsigned>(s.b), static_cast<unsigned>(s.units), s.sensorUm,
                  static_cast<unsigned>(s.edgesA), static_cast<unsigned>(s.edgesB));
    return file.WriteLine(line);
}

void ReportFileText(const char *text) {
    ShowText(text);
    if (recorderView.fault) recorderView.fault(text);
}

// The cause and what the file holds, so the operator knows what is left.
void ReportFileFault(FileFault fault, const char *why, unsigned samples, const char *path) {
    char prefix[120];
    if (fault == FileFault::Gone)
        std::snprintf(prefix, sizeof prefix, "Record file gone, recording stopped: ");
    else
        std::snprintf(prefix, sizeof prefix, "Cannot write record file (%s), %u sample%s kept: ",
                      why ? why : "write failed", samples, samples == 1 ? "" : "s");
    char text[400];
    FormatFileMessage(text, sizeof text, prefix, path);
    ReportFileText(text);
}

void EndRecording() {
    rx_flag = graph_flag = 0;
    FlushQueues();
    if (recorderView.idle) recorderView.idle();
}

// The running recording: its file, its counts and the time of its request in
// flight, kept outside the loop so that a dialog's event loop can go on with
// it.
struct Recording {
    RecordFile *file = nullptr;
    unsigned short samples = 0, interval = 0, counter = 0, reference = 0;
    double lastSent = 0;
    FileFault fault = FileFault::None;
    bool timedOut = false;
} g_rec;

// The recorder's subscriber of the sample stream: a sample that comes when
// the interval is up becomes the file's next line.
void RecordSample(const Sample &sample) {
    Recording &r = g_rec;
    if (!r.file || r.fault != FileFault::None || r.counter >= r.samples) return;
    if (WholeSeconds(Timer() - r.reference) < r.interval) return;
    ++r.counter;
    if (!WriteSample(*r.file, r.counter, sample))
        r.fault = FileFault::Write;
    else if (!r.file->StillThere())
        r.fault = FileFault::Gone;
    if (r.fault != FileFault::None) return;
    if (recorderView.counter) recorderView.counter(r.counter);
    g_outcome.samples = r.counter;
    if (recordedSample) recordedSample(sample, r.counter);
    if (recordProgress) recordProgress(r.counter, r.samples);
    r.reference = WholeSeconds(Timer());
}

// One look at the recording's exchange: a reply that came becomes a sample
// for the stream (the displays and the file); the next request goes out.
// False once the recording must end (a file fault or no reply in time).
bool RecordPass() {
    Recording &r = g_rec;
    if (graph_flag == 1) {
        PublishRawReply();
        if (r.fault != FileFault::None) return false;
        graph_flag = 0;
        FlushQueues();
    }
    // The last sample is in: a further request would only leave a reply owed
    // (or be flushed unsent) when the recording ends.
    if (r.counter >= r.samples) {
        StopMeasuring();
        return true;
    }
    if (rx_flag == 1) {
        SendRawRequest();
        r.lastSent = Timer();
        NoteLinkActivity();
    }
    if (Timer() - r.lastSent > TIMEOUT) {
        r.timedOut = true;
        EndForMissingReply();
        return false;
    }
    return true;
}

// A dialog opened during the recording runs its own event loop; the
// recording goes on from there and keeps its interval.
void RecordUnderDialog() {
    if (stop_flag == 0 && !RecordPass()) StopMeasuring();
}

// Runs until the sample count is reached, a reply is missing or a stop comes.
// Returns what went wrong with the file, if anything did.
FileFault RecordLoop(RecordFile &file, unsigned short samples, unsigned short interval) {
    g_rec = Recording{};
    g_rec.file = &file;
    g_rec.samples = samples;
    g_rec.interval = interval;
    g_rec.lastSent = Timer();
    g_rec.reference = WholeSeconds(Timer());
    graph_flag = 0;
    SubscribeSamples(RecordSample);
    SetModalPass(RecordUnderDialog);
    do {
        if (!RecordPass()) break;
        ProcessSystemEventsUntil(g_rec.lastSent + TIMEOUT + 0.001);
    } while (stop_flag == 0);
    SetModalPass(nullptr);
    // A reply taken in while the stop came, or in by now, is a measurement
    // all the same.
    FlushQueues();
    if (graph_flag == 1 && g_rec.fault == FileFault::None) {
        PublishRawReply();
        graph_flag = 0;
    }
    UnsubscribeSamples(RecordSample);
    g_rec.file = nullptr;
    return g_rec.fault;
}

// Why a path cannot take a recording, or nullptr.
const char *UnusableReason(const char *path) {
    if (path[0] == '\0') return "no file name";
    if (const char *why = ControlCharacterIn(path)) return why;
    if (const char *why = WindowOutputRefused(path)) return why;
    struct stat st {};
    char folder[260];
    CopyPath(folder, path);
    char *slash = std::strrchr(folder, '/');
    if (slash == folder)
        slash[1] = '\0';
    else if (slash)
        *slash = '\0';
    else
        CopyPath(folder, ".");
    if (stat(folder, &st) != 0 || !S_ISDIR(st.st_mode)) return "no such folder";
    if (access(folder, W_OK) != 0) return "folder not writable";
    return nullptr;
}

}  // namespace

// An existing file is replaced only when that was agreed, else the next
// free name is taken. False, with the reason shown, when the path is no use.
bool UsableRecordPath(char *path, bool replace) {
    if (const char *why = UnusableReason(path)) {
        std::snprintf(g_outcome.why, sizeof g_outcome.why, "%s", why);
        char prefix[80];
        std::snprintf(prefix, sizeof prefix, "Cannot write record file (%s) ", why);
        char text[400];
        FormatFileMessage(text, sizeof text, prefix, path);
        ReportFileText(text);
        return false;
    }
    struct stat st {};
    if (stat(path, &st) == 0 && st.st_size > 0 && !replace) {
        char free[260];
        if (!NextFreeName(path, free, sizeof free)) {
            std::snprintf(g_outcome.why, sizeof g_outcome.why, "no free name beside it");
            ReportFileText("Cannot write record file: no free name beside the existing one");
            return false;
        }
        CopyPath(path, free);
    }
    CopyPath(recfile_name, path);
    return true;
}

void RunRecording(const char *path, const RecordingRequest &req, bool onScreen) {
    CopyPath(g_recordingPath, path);
    g_outcome.started = true;
    CopyPath(g_outcome.path, g_recordingPath);
    if (onScreen && recorderView.begin) recorderView.begin();
    BeginMeasuringLoop(Activity::Recording);
    const unsigned short samples = req.samples, interval = req.interval;
    g_csv = req.csv ? 1 : 0;
    if (recorderView.path) recorderView.path(g_recordingPath);

    RecordFile file;
    FileFault fault = FileFault::Write;
    if (file.Create(g_recordingPath) && WriteHeader(file, interval, SetpointValue())) {
        file.why = nullptr;
        parameter[PW_COMMAND] = CMD_RAW_VALUES;
        if (SendRawRequest() == FRAME_BYTES) ShowText("Line Ok!");
        SayRecordingStarts(samples, interval, g_recordingPath);
        fault = RecordLoop(file, samples, interval);
    }
    file.Close();
    StopMeasuring();
    EndRecording();
    EndMeasuringLoop();
    g_outcome.fileFault = fault != FileFault::None;
    if (fault == FileFault::Gone) file.why = "the file went away";
    if (fault != FileFault::None) {
        std::snprintf(g_outcome.why, sizeof g_outcome.why, "%s",
                      file.why ? file.why : "write failed");
        ReportFileFault(fault, file.why, g_outcome.samples, g_recordingPath);
    } else {
        SayRecordingEnded(samples, g_outcome.samples, g_rec.timedOut, g_recordingPath);
    }
    g_recordingPath[0] = '\0';
}

void ResetRecordingOutcome() { g_outcome = RecordingOutcome{}; }

bool RecordingRuns() { return g_recordingPath[0] != '\0'; }

const RecordingOutcome &LastRecording() { return g_outcome; }

const RecordingOutcome &RecordTo(const char *path, bool replace, const RecordingRequest &req) {
    g_outcome = RecordingOutcome{};
    if (!BeginLinkOperation()) {
        std::snprintf(g_outcome.why, sizeof g_outcome.why, "another operation runs on the port");
        return g_outcome;
    }
    char usable[260];
    CopyPath(usable, path);
    if (UsableRecordPath(usable, replace)) RunRecording(usable, req, false);
    EndLinkOperation();
    return g_outcome;
}
