// Panel files of any content, through the program's own start-up: either
// every control the program needs is there with its kind, or the file is
// refused with one line that says why.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "kvex_main.h"
#include "ui.h"

namespace {

std::string g_path;

void Check(bool ok) {
    if (!ok) __builtin_trap();
}

void CheckControl(int panel, int id, const char *kind) {
    const char *found = GetCtrlKind(*PanelHandle(panel), id);
    Check(found != nullptr && std::strcmp(found, kind) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    g_path = "/tmp/kvex-panelfile-fuzz-" + std::to_string(getpid()) + ".uir";
    return InitRunTime(0, nullptr) < 0 ? 1 : 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size > 300000) return 0;
    std::FILE *f = std::fopen(g_path.c_str(), "wb");
    if (!f) return 0;
    std::fwrite(data, 1, size, f);
    std::fclose(f);

    if (LoadKVexPanels(g_path.c_str()) < 0) {
        const char *said = PanelFileRefusal();
        Check(std::strncmp(said, "kvex: panel file ", 17) == 0);
        Check(std::strchr(said, '\n') == nullptr);
    } else {
#define KVEX_CHECK_CONTROL(panel, name, id, kind) CheckControl(panel, id, #kind);
        KVEX_CONTROLS(KVEX_CHECK_CONTROL)
#undef KVEX_CHECK_CONTROL
    }
    DiscardKVexPanels();
    pHandle = pPara1 = pPara2 = pCalib = panelPopUp = 0;
    return 0;
}
