// The main of the test programs that need no QApplication. Like the player at its end, it writes
// the settings changed during the run at once: a delayed write must not run while the program ends.
#include "platform/core/UserDefaults.h"

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    const int status = RUN_ALL_TESTS();
    UserDefaults::standardUserDefaults().synchronize();
    return status;
}
