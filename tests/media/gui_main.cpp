// The GUI tests need a QApplication (offscreen); the log facility writes to a file of its own,
// which the tests read. Standard error of this process goes there too.
#include "log/KORVAL_Log.h"
#include "platform/core/UserDefaults.h"

#include "GuiTestSupport.h"

#include <QApplication>

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    KORVAL_Log::setLogFile(test::guiLogPath());
    ::testing::InitGoogleTest(&argc, argv);
    const int status = RUN_ALL_TESTS();
    // As the player does at its end: no delayed settings write may run while the program ends.
    UserDefaults::standardUserDefaults().synchronize();
    return status;
}
