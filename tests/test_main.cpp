// Every test program starts the run-time offscreen before its first case, as
// the program itself would before WinMain.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "ui.h"
#include "ui_testing.h"

int main(int argc, char **argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    // Tests never touch the settings of the person who runs them.
    const std::string program = argc > 0 ? argv[0] : "tests";
    // One file per process: ctest runs cases of one program side by side.
    static const std::string settings = std::string(KVEX_TEST_OUTPUT) + "/settings-" +
                                        program.substr(program.find_last_of('/') + 1) + "-" +
                                        std::to_string(getpid()) + ".ini";
    setenv("KVEX_SETTINGS", settings.c_str(), 0);
    std::atexit([] { std::remove(settings.c_str()); });
    testing::InitGoogleTest(&argc, argv);
    if (InitRunTime(argc, argv) < 0) return 1;
    // No case waits on a box that nobody answers: unless a case answers the
    // program's questions itself, they are answered yes.
    SetConfirmScript([](const std::string &, const std::string &) { return true; });
    return RUN_ALL_TESTS();
}
