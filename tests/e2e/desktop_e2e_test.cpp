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

// A Wayland session offers no screen-saver service, only its desktop portal.
TEST(DesktopE2E, ThePlayerKeepsTheScreenAwakeThroughTheDesktopPortal) {
    SessionBus bus;
    ASSERT_FALSE(bus.address.isEmpty()) << "dbus-daemon did not start";
    QProcess portal;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("DBUS_SESSION_BUS_ADDRESS", bus.address);
    portal.setProcessEnvironment(env);
    portal.start(QStringLiteral(VORN_TEST_HELPERS "/desktop_service"), {"portal", "30000"});
    ASSERT_TRUE(waitForOutputLine(portal, "ready"));

    PlayerRun run;
    run.env.insert("DBUS_SESSION_BUS_ADDRESS", bus.address);
    run.start();
    // Idle (8) and suspend (4), for no particular window.
    EXPECT_TRUE(waitForOutputLine(portal, "Inhibit [] 12 to prevent appNap"));
    EXPECT_TRUE(run.waitForLog("Idle inhibited through the desktop portal (/org/freedesktop/portal/desktop/request/1/vorn)"));
    EXPECT_EQ(run.stop(), 0);
    portal.kill();
    portal.waitForFinished();
}

TEST(DesktopE2E, ABusWithoutAScreenSaverIsPassedOverSilently) {
    SessionBus bus;
    ASSERT_FALSE(bus.address.isEmpty()) << "dbus-daemon did not start";
    PlayerRun run;
    run.env.insert("DBUS_SESSION_BUS_ADDRESS", bus.address);
    run.start();
    ASSERT_TRUE(run.waitForLog(kLaunched));
    // Not a word of it comes: a bounded wait that ends at once if one does.
    EXPECT_FALSE(test::waitUntil([&] { return run.log().contains("ScreenSaver") || run.log().contains("Screen saver") ||
                                              run.log().contains("portal"); }, 500, 50));
    EXPECT_EQ(run.stop(), 0);
    EXPECT_FALSE(run.log().contains("ScreenSaver"));
    EXPECT_FALSE(run.log().contains("Screen saver"));
    EXPECT_FALSE(run.log().contains("portal"));
}

}  // namespace
