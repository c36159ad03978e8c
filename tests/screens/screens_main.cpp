// Runs in a real X window when a display is there, else on the offscreen platform (and skips).
#include "platform/core/UserDefaults.h"

#include <QApplication>

#include <gtest/gtest.h>

#include <cstdlib>

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsSet("DISPLAY")) qputenv("QT_QPA_PLATFORM", "xcb");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    const int status = RUN_ALL_TESTS();
    // As the player does at its end: no delayed settings write may run while the program ends.
    UserDefaults::standardUserDefaults().synchronize();
    return status;
}
