// kvex params: the parameter set from the sensor to a file and back, through
// the window's panels, hidden: their fields hold the limits of each word.
#include <cstdio>
#include <string>

#include "cli_verb.h"
#include "com232.h"
#include "exchange.h"
#include "kvex_cli.h"
#include "kvex_main.h"
#include "parafile.h"
#include "service.h"
#include "ui.h"

namespace kvexcli {

const char *const kParamsHelp =
    "Usage: kvex params get --port DEVICE --memory ram|eeprom [--force] [--quiet] FILE\n"
    "       kvex params put --port DEVICE --memory ram|eeprom [--quiet] FILE\n"
    "get reads both parameter frames from the sensor's memory into FILE (30 numbers, the\n"
    "parameter file of the window); put sends FILE to the memory and reads it back to check\n"
    "it. A file whose numbers a field of the window could not show unchanged is refused\n"
    "with its line and value, and nothing is sent.\n\n"
    "  --memory ram|eeprom  the sensor's RAM or its EEPROM (kept through a power cycle)\n"
    "  --force          get: replace FILE if it exists (else the next free name is taken,\n"
    "                   FILE-2.cfg, ..., and named on standard error)\n";

int ParamsGet(const Verb &v) {
    if (!BeginLinkOperation()) return CLI_NOT_CONFIRMED;
    target = v.memory;
    const bool answered = GetParameterFrames();
    EndLinkOperation();
    if (!answered) {
        Say(kLogError, "the sensor did not send its parameters: %s", szStatus);
        return CLI_NOT_CONFIRMED;
    }
    char path[sizeof file_name];
    if (!OutputName(v, Absolute(v.file), path, sizeof path)) return CLI_FILE;
    std::snprintf(file_name, sizeof file_name, "%s", path);
    SendParaToFile();
    if (ParameterFileFault()[0] != '\0') {
        Say(kLogError, "cannot write %s: %s", path, ParameterFileFault());
        return CLI_FILE;
    }
    if (!g_quiet) Say(kLogInfo, "parameters saved to %s", path);
    return 0;
}

int ParamsPut(const Verb &v) {
    const std::string file = Absolute(v.file);
    if (!ReadParaFromPath(file.c_str())) {
        Say(kLogError, "%s not loaded: %s", file.c_str(), ParameterFileFault());
        return CLI_FILE;
    }
    SetPanelValues();  // as Get from a file leaves them: the panels hold what is sent
    if (!BeginLinkOperation()) return CLI_NOT_CONFIRMED;
    target = v.memory;
    const int differ = SendToSensor();
    EndLinkOperation();
    return differ == 0 ? 0 : CLI_NOT_CONFIRMED;
}

int Params(const Verb &v) { return v.action == "get" ? ParamsGet(v) : ParamsPut(v); }

namespace {

void SayStatusOnPanel(const char *text) {
    SetCtrlVal(pHandle, PANEL_StatusLine, text);
    SayStatus(text);
}

}  // namespace

// The panels, hidden, and the start-up handshake as the window makes it.
int StartOnPanels(const Verb &v) {
    if (InitRunTime(0, nullptr) < 0 || LoadKVexPanels() < 0) return CLI_PANEL_FILE;
    UsePort(v);
    link_display.status = SayStatusOnPanel;
    StartKVex(true);
    HidePanel(pHandle);
    link_display.status = SayStatusOnPanel;
    return SensorAnswered(v);
}

void EndOnPanels() {
    if (pHandle > 0) DiscardKVexPanels();
}

}  // namespace kvexcli
