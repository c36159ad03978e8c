// Whole-program tests that need a real X display (./test.sh starts Xvfb). They hold a CTest
// resource lock on the display, so no other test's windows get in their way.
#include "e2e/PlaybackFixture.h"
#include "e2e/XBell.h"
#include "DesktopStandIns.h"
#include "SessionBus.h"

#include <QImage>
#include <QRegularExpression>

#include <gtest/gtest.h>

namespace {

using test::PlaybackE2E;
using test::PlayerRun;
using test::waitForOutputLine;

const char* kLaunched = "] infoDictioanry = {";

// Window ids of the root's children titled `name`, listed top-most first as xwininfo gives them.
int stackingIndex(const QString& name) {
    QProcess xwininfo;
    xwininfo.start("xwininfo", {"-root", "-children"});
    xwininfo.waitForFinished(5000);
    const QStringList lines = QString::fromUtf8(xwininfo.readAllStandardOutput()).split('\n');
    int index = 0;
    for (const QString& line : lines) {
        if (!line.contains(QRegularExpression(R"(^\s+0x[0-9a-f]+ )"))) continue;
        if (line.contains(QStringLiteral(" \"%1\":").arg(name))) return index;
        ++index;
    }
    return -1;
}

TEST(DesktopE2E, ASecondLaunchBringsTheRunningPlayersWindowToTheFront) {
    if (qEnvironmentVariableIsEmpty("DISPLAY")) GTEST_SKIP() << "needs an X display (./test.sh starts Xvfb)";
    PlayerRun run;
    run.env.insert("QT_QPA_PLATFORM", "xcb");
    run.start();
    ASSERT_TRUE(run.waitForLog(kLaunched));

    QProcess cover;
    cover.setProcessEnvironment(run.env);
    cover.start(QStringLiteral(VORN_TEST_HELPERS "/cover_window"), {"30000"});
    ASSERT_TRUE(waitForOutputLine(cover, "shown"));
    ASSERT_GE(stackingIndex("VornPlayer"), 0);
    ASSERT_LT(stackingIndex("cover"), stackingIndex("VornPlayer")) << "the cover should start on top";

    auto second = run.launch();
    ASSERT_TRUE(second->waitForFinished(15000));
    EXPECT_EQ(second->exitCode(), 0);
    QElapsedTimer t;
    t.start();
    while (stackingIndex("VornPlayer") > stackingIndex("cover") && t.elapsed() < 10000) QThread::msleep(100);
    EXPECT_LT(stackingIndex("VornPlayer"), stackingIndex("cover"));

    cover.kill();
    cover.waitForFinished();
    EXPECT_EQ(run.stop(), 0);
}

TEST(DesktopE2E, ASecondLaunchRingsTheBellAndLeavesTheRunningPlayerPlaying) {
    if (qEnvironmentVariableIsEmpty("DISPLAY")) GTEST_SKIP() << "needs an X display (./test.sh starts Xvfb)";
    PlayerRun run;
    run.env.insert("QT_QPA_PLATFORM", "xcb");
    run.start();
    ASSERT_TRUE(run.waitForLog(kLaunched));
    test::XBell bell;
    ASSERT_TRUE(bell.isListening()) << "the display has no keyboard extension";

    auto second = run.launch();
    ASSERT_TRUE(second->waitForFinished(15000));
    EXPECT_EQ(second->exitCode(), 0);
    EXPECT_EQ(bell.waitForRings(1, 10000), 1);
    EXPECT_EQ(run.process->state(), QProcess::Running);
    EXPECT_EQ(run.stop(), 0);
}

// Under X: the window covers the whole screen with no title bar, and shows the video.
class ScreenE2E : public PlaybackE2E, public ::testing::WithParamInterface<const char*> {};

TEST_P(ScreenE2E, TheVideoFillsTheScreenWithoutATitleBar) {
    if (qEnvironmentVariableIsEmpty("DISPLAY")) GTEST_SKIP() << "needs an X display (./test.sh starts Xvfb)";
    addFile("pattern.mp4", test::readAll(test::clip(6.0, true, "320x240")), 100);
    run.env.insert("QT_QPA_PLATFORM", "xcb");
    run.env.insert("VORNPLAYER_RENDER", GetParam());
    run.env.remove("VORNPLAYER_VIDEO_OUTPUT");
    run.start(args() << "-prefDoShowMenuBar" << "NO");
    ASSERT_TRUE(run.waitForLog("] first av item[PlayerItem]"));
    QThread::msleep(2500);

    QProcess info;
    info.start("xwininfo", {"-name", "VornPlayer"});
    info.waitForFinished(5000);
    const QString geometry = QString::fromUtf8(info.readAllStandardOutput());
    EXPECT_TRUE(geometry.contains("Absolute upper-left X:  0")) << geometry.toStdString();
    EXPECT_TRUE(geometry.contains("Absolute upper-left Y:  0"));
    EXPECT_TRUE(geometry.contains("Width: 1280"));
    EXPECT_TRUE(geometry.contains("Height: 720"));

    const QString shot = test::screenshotPath(GetParam());
    QProcess grab;
    grab.start("ffmpeg", {"-loglevel", "error", "-y", "-f", "x11grab", "-video_size", "1280x720", "-i",
                          qgetenv("DISPLAY"), "-frames:v", "1", shot});
    grab.waitForFinished(20000);
    const QImage image(shot);
    ASSERT_FALSE(image.isNull());
    // 4:3 video on a 16:9 screen: black bars left and right, the test pattern between them,
    // from the very top row (no title bar, no menu bar) to the bottom.
    EXPECT_EQ(image.pixelColor(40, 360), QColor(Qt::black));
    EXPECT_EQ(image.pixelColor(1240, 360), QColor(Qt::black));
    int coloured = 0;
    for (int x = 200; x < 1080; x += 40) {
        for (int y : {2, 360, 717}) {
            const QColor c = image.pixelColor(x, y);
            if (c.value() > 60) ++coloured;
        }
    }
    EXPECT_GT(coloured, 50) << shot.toStdString();
    EXPECT_EQ(run.stop(), 0);
}

INSTANTIATE_TEST_SUITE_P(Renderers, ScreenE2E, ::testing::Values("software", "opengl"));

// Keys typed into the real player's window, as an operator would.
void typeKeys(const QString& keys) {
    QProcess find;
    find.start("xdotool", {"search", "--onlyvisible", "--name", "^VornPlayer$"});
    find.waitForFinished(5000);
    const QString id = QString::fromUtf8(find.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts).value(0);
    ASSERT_FALSE(id.isEmpty()) << "no player window";
    QProcess::execute("xdotool", {"windowfocus", "--sync", id});
    QProcess::execute("xdotool", {"key", "--clearmodifiers", keys});
}

TEST(CommandsE2E, ShortcutsRevealTheFolderAndTheLogsAndMailTheLogs) {
    if (qEnvironmentVariableIsEmpty("DISPLAY")) GTEST_SKIP() << "needs an X display (./test.sh starts Xvfb)";
    test::SessionBus bus;
    ASSERT_FALSE(bus.address.isEmpty());
    test::DesktopStandIns standIns;
    PlayerRun run;
    run.env.insert("QT_QPA_PLATFORM", "xcb");
    run.env.insert("DBUS_SESSION_BUS_ADDRESS", bus.address);
    run.env.insert("PATH", standIns.path());
    QProcess manager;
    manager.setProcessEnvironment(run.env);
    manager.start(QStringLiteral(VORN_TEST_HELPERS "/desktop_service"), {"filemanager", "60000"});
    ASSERT_TRUE(waitForOutputLine(manager, "ready"));

    const QString folder = run.root.filePath("my \"videos\" $HOME");
    QDir().mkpath(folder);
    test::writeAll(run.oldLogPath(), "an older run\n");
    run.start({"-prefTamrinVideosFolder", folder, "-prefDoShowMenuBar", "NO"});
    ASSERT_TRUE(run.waitForLog(kLaunched));
    QThread::msleep(1500);  // the launch-time check and its panel are over

    typeKeys("ctrl+r");
    ASSERT_TRUE(standIns.waitForCalls("xdg-open", 1)) << run.log().toStdString();
    EXPECT_EQ(standIns.arguments("xdg-open"), QStringList{folder});

    typeKeys("ctrl+shift+l");
    const QString uris = QString::fromLatin1(QUrl::fromLocalFile(run.logPath()).toEncoded()) + " " +
                         QString::fromLatin1(QUrl::fromLocalFile(run.oldLogPath()).toEncoded());
    EXPECT_TRUE(waitForOutputLine(manager, "ShowItems " + uris));

    typeKeys("ctrl+shift+e");
    ASSERT_TRUE(standIns.waitForCalls("xdg-email", 1));
    EXPECT_EQ(standIns.arguments("xdg-email"),
              (QStringList{"--subject", "Log(s) From VornPlayer.app", "--body", "We've fallen and wanna get up...\n\n",
                           "--attach", run.logPath(), "--attach", run.oldLogPath()}));
    EXPECT_EQ(run.stop(), 0);
    manager.kill();
    manager.waitForFinished();
}

}  // namespace
