#include "e2e/PlayerRun.h"
#include "SessionBus.h"

#include <QRegularExpression>

#include <gtest/gtest.h>

namespace {

using test::PlayerRun;
using test::SessionBus;
using test::waitForOutputLine;

const char* kLaunched = "] infoDictioanry = {";

TEST(DesktopE2E, ThePlayerKeepsTheScreenAwakeThroughTheSessionsScreenSaver) {
    SessionBus bus;
    ASSERT_FALSE(bus.address.isEmpty()) << "dbus-daemon did not start";
    QProcess saver;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("DBUS_SESSION_BUS_ADDRESS", bus.address);
    saver.setProcessEnvironment(env);
    saver.start(QStringLiteral(VORN_TEST_HELPERS "/desktop_service"), {"screensaver", "30000"});
    ASSERT_TRUE(waitForOutputLine(saver, "ready"));

    PlayerRun run;
    run.env.insert("DBUS_SESSION_BUS_ADDRESS", bus.address);
    run.start();
    EXPECT_TRUE(waitForOutputLine(saver, "Inhibit VornPlayer to prevent appNap"));
    EXPECT_TRUE(run.waitForLog("Screen saver inhibited (cookie 42)"));
    EXPECT_EQ(run.stop(), 0);
    saver.kill();
    saver.waitForFinished();
}

TEST(DesktopE2E, ABusWithoutAScreenSaverIsPassedOverSilently) {
    SessionBus bus;
    ASSERT_FALSE(bus.address.isEmpty()) << "dbus-daemon did not start";
    PlayerRun run;
    run.env.insert("DBUS_SESSION_BUS_ADDRESS", bus.address);
    run.start();
    ASSERT_TRUE(run.waitForLog(kLaunched));
    // Not a word of it comes: a bounded wait that ends at once if one does.
    EXPECT_FALSE(test::waitUntil([&] { return run.log().contains("ScreenSaver") || run.log().contains("Screen saver"); }, 500, 50));
    EXPECT_EQ(run.stop(), 0);
    EXPECT_FALSE(run.log().contains("ScreenSaver"));
    EXPECT_FALSE(run.log().contains("Screen saver"));
}

}  // namespace
