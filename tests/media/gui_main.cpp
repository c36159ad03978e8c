// The GUI tests need a QApplication (offscreen); the log facility writes to a file of its own,
// which the tests read. Standard error of this process goes there too.
#include "log/KORVAL_Log.h"

#include "GuiTestSupport.h"

#include <QApplication>

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    KORVAL_Log::setLogFile(test::guiLogPath());
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
