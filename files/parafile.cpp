// The parameter file: both frames as 30 numbers, one per line, right-aligned
// in 10 characters, CR LF.
#include "parafile.h"

#include <cstring>

#include "com232.h"
#include "file_messages.h"
#include "kvex_main.h"
#include "ui.h"

namespace {

constexpr int kValues = 30;

}  // namespace

void SendParaToFile() {
    GetPanelValues();
    unsigned int values[kValues];
    CopyVarsToPP(0);
    for (int i = 0; i < 15; ++i) values[i] = pp[i];
    CopyVarsToPP(1);
    for (int i = 0; i < 15; ++i) values[15 + i] = pp[i];

    char text[72];
    if (ArrayToFile(file_name, values, VAL_UNSIGNED_INTEGER, kValues, 1, VAL_GROUPS_TOGETHER,
                    VAL_GROUPS_AS_COLUMNS, VAL_CONST_WIDTH, 10, VAL_ASCII, VAL_TRUNCATE) < 0)
        FormatFileMessage(text, sizeof text, "Cannot write parameter file ", file_name);
    else
        FormatFileMessage(text, sizeof text, "Parameters saved: ", file_name);
    ShowStatusText(text);
}

// A file that cannot be read leaves the parameter words as they were; the
// reason stays in szStatus, which the get operation shows next.
int ReadParaFromFile() {
    char path[260] = "";
    if (FileSelectPopup(proj_dir, "KVEXpara.cfg", "*.cfg", "K-VEX-RB-Series-Parameter-File",
                        VAL_LOAD_BUTTON, 0, 1, 1, 1, path) <= 0)
        return 0;
    std::memcpy(file_name, path, sizeof file_name);
    file_name[sizeof file_name - 1] = '\0';

    unsigned int values[kValues];
    if (FileToArray(file_name, values, VAL_UNSIGNED_INTEGER, kValues, 1, VAL_GROUPS_TOGETHER,
                    VAL_GROUPS_AS_COLUMNS, VAL_ASCII) < 0) {
        FormatFileMessage(szStatus, sizeof szStatus, "No 30 numbers in ", file_name);
        return 0;
    }
    for (int i = 0; i < 15; ++i) pp[i] = static_cast<unsigned short>(values[i] & 0xFFFF);
    CopyPPtoVars(0);
    for (int i = 0; i < 15; ++i) pp[i] = static_cast<unsigned short>(values[15 + i] & 0xFFFF);
    CopyPPtoVars(1);
    FormatFileMessage(szStatus, sizeof szStatus, "Parameters loaded: ", file_name);
    return 1;
}
