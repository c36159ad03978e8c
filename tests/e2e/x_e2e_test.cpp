// Whole-program tests that need a real X display (./test.sh starts Xvfb). They hold a CTest
// resource lock on the display, so no other test's windows get in their way.
#include "e2e/PlaybackFixture.h"
#include "e2e/XBell.h"
#include "DesktopStandIns.h"
#include "SessionBus.h"

#include <QElapsedTimer>
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
    test::waitUntil([] { return stackingIndex("VornPlayer") < stackingIndex("cover"); }, 10000, 100);
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

// A grab of the whole X screen.
QImage grabScreen(const QString& name) {
    const QString shot = test::screenshotPath(name);
    QProcess grab;
    grab.start("ffmpeg", {"-loglevel", "error", "-y", "-f", "x11grab", "-video_size", "1280x720", "-i",
                          qgetenv("DISPLAY"), "-frames:v", "1", shot});
    grab.waitForFinished(20000);
    return QImage(shot);
}

// Where the test pattern shows: samples across the middle of the screen, top to bottom, that are not dark.
int colouredSamples(const QImage& image) {
    int coloured = 0;
    for (int x = 200; x < 1080; x += 40) {
        for (int y : {2, 360, 717}) {
            const QColor c = image.pixelColor(x, y);
            if (c.value() > 60) ++coloured;
        }
    }
    return coloured;
}

QString windowGeometry(const QString& name) {
    QProcess info;
    info.start("xwininfo", {"-name", name});
    info.waitForFinished(5000);
    return QString::fromUtf8(info.readAllStandardOutput());
}

TEST_P(ScreenE2E, TheVideoFillsTheScreenWithoutATitleBar) {
    if (qEnvironmentVariableIsEmpty("DISPLAY")) GTEST_SKIP() << "needs an X display (./test.sh starts Xvfb)";
    addFile("pattern.mp4", test::readAll(test::clip(6.0, true, "320x240")), 100);
    run.env.insert("QT_QPA_PLATFORM", "xcb");
    run.env.insert("VORNPLAYER_RENDER", GetParam());
    run.env.remove("VORNPLAYER_VIDEO_OUTPUT");
    run.start(args() << "-prefDoShowMenuBar" << "NO");
    ASSERT_TRUE(run.waitForLog("] first av item[PlayerItem]"));

    // The window takes its place and the first frames reach the screen; the checks below say what is wrong.
    QString geometry;
    QImage image;
    test::waitUntil(
        [&] {
            geometry = windowGeometry("VornPlayer");
            image = grabScreen(GetParam());
            return geometry.contains("Width: 1280") && geometry.contains("Height: 720") && !image.isNull() &&
                   image.pixelColor(40, 360) == QColor(Qt::black) && colouredSamples(image) > 50;
        },
        20000, 250);
    EXPECT_TRUE(geometry.contains("Absolute upper-left X:  0")) << geometry.toStdString();
    EXPECT_TRUE(geometry.contains("Absolute upper-left Y:  0"));
    EXPECT_TRUE(geometry.contains("Width: 1280"));
    EXPECT_TRUE(geometry.contains("Height: 720"));

    const QString shot = test::screenshotPath(GetParam());
    ASSERT_FALSE(image.isNull());
    // 4:3 video on a 16:9 screen: black bars left and right, the test pattern between them,
    // from the very top row (no title bar, no menu bar) to the bottom.
    EXPECT_EQ(image.pixelColor(40, 360), QColor(Qt::black));
    EXPECT_EQ(image.pixelColor(1240, 360), QColor(Qt::black));
    EXPECT_GT(colouredSamples(image), 50) << shot.toStdString();
    EXPECT_EQ(run.stop(), 0);
}

// With the menu bar shown, a video of the screen's size keeps its pixels: it is shown at 1:1
// under the menu bar, filling the width, its bottom rows at the bottom of the screen (the few
// rows the menu bar takes are those at its top), not scaled down between black bars.
TEST_F(PlaybackE2E, UnderTheMenuBarAVideoOfTheScreensSizeIsShownAtOneToOne) {
    if (qEnvironmentVariableIsEmpty("DISPLAY")) GTEST_SKIP() << "needs an X display (./test.sh starts Xvfb)";
    // Red, with a blue band over its bottom 20 rows and a green column at its left edge.
    const QString clip = run.root.filePath("banded.mp4");
    QProcess::execute("ffmpeg", {"-loglevel", "error", "-y", "-f", "lavfi", "-i",
                                 "color=c=red:size=1280x720:duration=6:rate=25,"
                                 "drawbox=x=0:y=700:w=1280:h=20:color=blue:t=fill,"
                                 "drawbox=x=0:y=0:w=4:h=700:color=lime:t=fill",
                                 "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv444p", clip});
    addFile("banded.mp4", test::readAll(clip), 100);
    run.env.insert("QT_QPA_PLATFORM", "xcb");
    run.env.insert("VORNPLAYER_RENDER", "software");
    run.env.remove("VORNPLAYER_VIDEO_OUTPUT");
    run.start(args() << "-prefDoShowMenuBar" << "YES");
    ASSERT_TRUE(run.waitForLog("] first av item[PlayerItem]", 20000)) << run.log().toStdString();

    auto red = [](QColor c) { return c.red() > 180 && c.green() < 80 && c.blue() < 80; };
    auto blue = [](QColor c) { return c.blue() > 180 && c.red() < 80 && c.green() < 80; };
    auto green = [](QColor c) { return c.green() > 180 && c.red() < 80 && c.blue() < 80; };
    QImage image;
    const bool shown = test::waitUntil(
        [&] {
            image = grabScreen("menu-bar-one-to-one");
            // The first frames may come before the view knows the video's size: it is the
            // picture once the edges are the video's that counts.
            return !image.isNull() && red(image.pixelColor(640, 400)) && blue(image.pixelColor(640, 710)) &&
                   green(image.pixelColor(1, 400)) && red(image.pixelColor(1276, 400));
        },
        20000, 250);
    const QString shot = test::screenshotPath("menu-bar-one-to-one");
    ASSERT_TRUE(shown) << shot.toStdString();
    // The menu bar at the top, the video's first column at the screen's left edge, no bars.
    EXPECT_FALSE(red(image.pixelColor(640, 4))) << shot.toStdString();
    EXPECT_TRUE(green(image.pixelColor(1, 400))) << shot.toStdString();
    EXPECT_TRUE(red(image.pixelColor(8, 400))) << shot.toStdString();
    EXPECT_TRUE(red(image.pixelColor(1276, 400))) << shot.toStdString();
    // The band where it lies in the video: rows 700 to 719, not moved or stretched.
    EXPECT_TRUE(red(image.pixelColor(640, 697))) << shot.toStdString();
    EXPECT_TRUE(blue(image.pixelColor(640, 702))) << shot.toStdString();
    EXPECT_TRUE(blue(image.pixelColor(640, 719))) << shot.toStdString();
    EXPECT_EQ(run.stop(), 0);
}

// The player that renders in software chooses so without loading the OpenGL driver: no Mesa or
// LLVM library is mapped in it while it plays.
TEST_F(PlaybackE2E, APlayerThatRendersInSoftwareHasNoOpenGLDriverLoaded) {
    if (qEnvironmentVariableIsEmpty("DISPLAY")) GTEST_SKIP() << "needs an X display (./test.sh starts Xvfb)";
    addFile("clip.mp4", test::readAll(test::clip(6.0, true, "320x240")), 100);
    run.env.insert("QT_QPA_PLATFORM", "xcb");
    run.env.remove("VORNPLAYER_RENDER");  // chosen from the display's driver
    run.env.remove("VORNPLAYER_VIDEO_OUTPUT");
    run.start(args() << "-prefDoShowMenuBar" << "NO");
    ASSERT_TRUE(run.waitForLog("] first av item[PlayerItem]", 20000)) << run.log().toStdString();
    ASSERT_TRUE(test::waitUntil([&] { return run.log().contains(": rendering in software"); }, 5000, 50))
        << "the display's OpenGL is not a software renderer here: " << run.log().right(2000).toStdString();

    QFile maps(QStringLiteral("/proc/%1/maps").arg(run.process->processId()));
    ASSERT_TRUE(maps.open(QIODevice::ReadOnly));
    const QString mapped = QString::fromUtf8(maps.readAll());
    for (const char* library : {"libGLX_mesa", "libEGL_mesa", "libLLVM", "_dri.so", "libgallium"}) {
        EXPECT_FALSE(mapped.contains(QLatin1String(library))) << library;
    }
    EXPECT_EQ(run.stop(), 0);
}

// The colour of the status light in the top right corner: 'r', 'g', or '?' for neither.
char lightIn(const QImage& screen) {
    int red = 0, green = 0;
    for (int y = 0; y < 80; ++y) {
        for (int x = screen.width() - 80; x < screen.width(); ++x) {
            const QColor c = screen.pixelColor(x, y);
            if (c.red() > 180 && c.green() < 90 && c.blue() < 90) ++red;
            if (c.green() > 140 && c.red() < 90 && c.blue() < 120) ++green;
        }
    }
    if (red > 40 && green < 10) return 'r';
    if (green > 40 && red < 10) return 'g';
    return '?';
}

bool waitForLight(char colour, const QString& name, int timeoutMs) {
    return test::waitUntil([&] { return lightIn(grabScreen(name)) == colour; }, timeoutMs, 50);
}

// The light follows what the player sees of its source folder: red within seconds of the folder
// going away, green again when it is back, and the log says when, for whoever is not in the room.
TEST_F(PlaybackE2E, TheStatusLightFollowsTheSourceFolderGoingAndComingBack) {
    if (qEnvironmentVariableIsEmpty("DISPLAY")) GTEST_SKIP() << "needs an X display (./test.sh starts Xvfb)";
    // A grey clip, so that no colour of the video passes for the light.
    const QString grey = run.root.filePath("grey.mp4");
    QProcess::execute("ffmpeg", {"-loglevel", "error", "-y", "-f", "lavfi", "-i",
                                 "color=c=0x505050:size=320x240:duration=1:rate=25", "-c:v", "libx264", "-preset",
                                 "ultrafast", "-pix_fmt", "yuv420p", grey});
    addFile("grey.mp4", test::readAll(grey), 100);
    run.env.insert("QT_QPA_PLATFORM", "xcb");
    run.env.insert("VORNPLAYER_RENDER", "software");
    run.env.remove("VORNPLAYER_VIDEO_OUTPUT");
    run.start(args() << "-prefDoShowMenuBar" << "NO");
    ASSERT_TRUE(run.waitForLog("] first av item[PlayerItem]", 20000)) << run.log().toStdString();
    ASSERT_TRUE(waitForLight('g', "light-green", 10000));

    ASSERT_TRUE(QDir(run.root.path()).rename("source", "source-away"));
    QElapsedTimer clock;
    clock.start();
    EXPECT_TRUE(waitForLight('r', "light-red", 5000)) << run.log().right(2000).toStdString();
    EXPECT_LT(clock.elapsed(), 5000);
    EXPECT_TRUE(run.waitForLog("] source folder unavailable since ", 1000));

    ASSERT_TRUE(QDir(run.root.path()).rename("source-away", "source"));
    clock.restart();
    EXPECT_TRUE(waitForLight('g', "light-green-again", 5000)) << run.log().right(2000).toStdString();
    EXPECT_TRUE(run.waitForLog("] source folder available again after ", 1000));
    // Playback goes on from the folder that came back.
    const int plays = run.log().count("] Need to play nextItem at: ");
    EXPECT_TRUE(test::waitUntil([&] { return run.log().count("] Need to play nextItem at: ") > plays; }, 10000, 100));
    EXPECT_EQ(run.log().count("] source folder unavailable since "), 1);
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
    // The launch-time check is over once its progress panel has gone.
    const QRegularExpression panelGone(R"(MyProgressWindowController: 0x[0-9a-f]+> => dealloc\.\.\.)");
    ASSERT_TRUE(test::waitUntil([&] { return run.log().contains(panelGone); }, 15000, 50)) << run.log().toStdString();

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
