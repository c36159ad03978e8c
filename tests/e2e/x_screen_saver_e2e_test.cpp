// Under X the player keeps the X server's own screen saver from starting while it plays, and
// gives it back at quit. Needs the display of ./test.sh (the x-display lock keeps others off it).
#include "e2e/PlayerRun.h"

#include <gtest/gtest.h>

// Xlib's macros clash with Qt's and GoogleTest's names: its headers come last.
#include <X11/Xlib.h>
#include <X11/extensions/scrnsaver.h>

namespace {

TEST(DesktopE2E, TheXScreenSaverDoesNotStartWhilePlayingAndDoesAgainAfterQuit) {
    if (qEnvironmentVariableIsEmpty("DISPLAY")) GTEST_SKIP() << "needs an X display (./test.sh starts Xvfb)";
    Display* display = XOpenDisplay(nullptr);
    ASSERT_NE(display, nullptr);
    int timeout = 0, interval = 0, blanking = 0, exposures = 0;
    XGetScreenSaver(display, &timeout, &interval, &blanking, &exposures);
    XScreenSaverInfo* info = XScreenSaverAllocInfo();
    const auto saverOn = [&] {
        XScreenSaverQueryInfo(display, DefaultRootWindow(display), info);
        return info->state == ScreenSaverOn;
    };
    const auto resetIdle = [&] {
        XForceScreenSaver(display, ScreenSaverReset);
        XSync(display, False);
    };

    // On this server one second without input starts the saver.
    XSetScreenSaver(display, 1, 0, DefaultBlanking, DefaultExposures);
    resetIdle();
    ASSERT_TRUE(test::waitUntil(saverOn, 5000, 50)) << "the saver does not start on this display at all";
    resetIdle();

    test::PlayerRun run;
    run.env.insert("QT_QPA_PLATFORM", "xcb");
    run.start();
    ASSERT_TRUE(run.waitForLog("] Screen blanking held off: X screen saver suspended")) << run.log().toStdString();
    resetIdle();
    // Three times the saver's timeout without it: a bounded wait that ends at once if it starts.
    EXPECT_FALSE(test::waitUntil(saverOn, 3000, 50)) << "the saver started while the player ran";
    EXPECT_EQ(run.stop(), 0);
    EXPECT_TRUE(test::waitUntil(saverOn, 5000, 50)) << "the saver did not come back after the quit";

    XSetScreenSaver(display, timeout, interval, blanking, exposures);
    resetIdle();
    XFree(info);
    XCloseDisplay(display);
}

}  // namespace
