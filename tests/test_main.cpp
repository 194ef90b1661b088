// Every test program starts the run-time offscreen before its first case, as
// the program itself would before WinMain.
#include <gtest/gtest.h>

#include <cstdlib>

#include "ui.h"

int main(int argc, char **argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    testing::InitGoogleTest(&argc, argv);
    if (InitRunTime(argc, argv) < 0) return 1;
    return RUN_ALL_TESTS();
}
