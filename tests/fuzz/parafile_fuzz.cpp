// Parameter-file text of any content: either 30 words are taken, and writing
// them out as a parameter file and reading that back gives the same words,
// or the text is refused with a reason and the words stay as they were.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "parafile.h"

namespace {

void Check(bool ok) {
    if (!ok) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size > PARAFILE_MAX_BYTES) return 0;
    unsigned short words[30];
    for (auto &w : words) w = 0xBEEF;
    char why[48];
    std::memset(why, 'x', sizeof why);
    if (!ParseParameterText(reinterpret_cast<const char *>(data), size, words, why, sizeof why)) {
        for (unsigned short w : words) Check(w == 0xBEEF);
        Check(std::memchr(why, '\0', sizeof why) != nullptr && why[0] != '\0');
        return 0;
    }
    std::string file;
    char line[16];
    for (unsigned short w : words) {
        std::snprintf(line, sizeof line, "%10u\r\n", static_cast<unsigned>(w));
        file += line;
    }
    unsigned short again[30];
    Check(ParseParameterText(file.data(), file.size(), again, why, sizeof why) == 1);
    Check(std::memcmp(words, again, sizeof words) == 0);
    return 0;
}
