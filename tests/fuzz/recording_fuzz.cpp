// A recording of any content, as a file: it is refused with a reason, or
// indexed with every sample readable again from its place, found by the
// out-of-tolerance search in order and counted once; nothing reads beyond
// the file or the index.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "recording_index.h"

namespace {

void Check(bool ok) {
    if (!ok) __builtin_trap();
}

std::string ScratchFile() {
    return "/tmp/fuzz_recording_" + std::to_string(static_cast<long>(getpid())) + ".dat";
}

bool IsOut(Verdict v) { return v == Verdict::Below || v == Verdict::Above; }

void Exercise(RecordingIndex &index) {
    const unsigned long n = index.Count();
    for (unsigned long i = 0; i < n; ++i) {
        Sample s;
        Check(index.Read(i, s));
        Check(s.sensorUm == index.Um(i));
        Check(s.verdict == index.VerdictAt(i));
    }
    // Walking forward and back by the search meets each counted sample once.
    unsigned long forward = 0, back = 0;
    for (long at = n > 0 && IsOut(index.VerdictAt(0)) ? 0 : index.NextOut(0); at >= 0;
         at = index.NextOut(static_cast<unsigned long>(at))) {
        Check(IsOut(index.VerdictAt(static_cast<unsigned long>(at))));
        ++forward;
    }
    for (long at = index.PreviousOut(n); at >= 0;
         at = index.PreviousOut(static_cast<unsigned long>(at)))
        ++back;
    Check(forward == index.OutCount() && back == forward);
    for (int mark : index.OutMarks(37)) Check(mark >= 0 && static_cast<unsigned long>(mark) < n);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size > 1 << 16) return 0;
    const std::string path = ScratchFile();
    FILE *f = std::fopen(path.c_str(), "wb");
    if (!f) return 0;
    std::fwrite(data, 1, size, f);
    std::fclose(f);
    RecordingIndex index;
    char why[200];
    std::memset(why, 'x', sizeof why);
    if (!index.Open(path.c_str(), why, sizeof why, 64)) {
        Check(std::memchr(why, '\0', sizeof why) != nullptr && why[0] != '\0');
        std::remove(path.c_str());
        return 0;
    }
    while (index.IndexMore(1.0)) {
    }
    Check(index.Count() <= 64);
    if (!index.Refused()) {
        Exercise(index);
        index.Judge({true, true, true, -5, 5, 0});
        Exercise(index);
    }
    std::remove(path.c_str());
    return 0;
}
