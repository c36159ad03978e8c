#include "e2e/PlayerRun.h"

#include <QRegularExpression>

#include <gtest/gtest.h>

namespace {

using test::PlayerRun;

const char* kLaunched = "] infoDictioanry = {";

// A private session bus for one test.
class SessionBus {
public:
    SessionBus() {
        daemon.start("dbus-daemon", {"--session", "--nofork", "--print-address=1"});
        if (daemon.waitForStarted(5000) && daemon.waitForReadyRead(5000)) {
            address = QString::fromUtf8(daemon.readLine()).trimmed();
        }
    }
    ~SessionBus() {
        daemon.kill();
        daemon.waitForFinished();
    }
    QProcess daemon;
    QString address;
};

bool waitForOutputLine(QProcess& p, const QString& line, int timeoutMs = 15000) {
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < timeoutMs) {
        while (p.canReadLine()) {
            if (QString::fromUtf8(p.readLine()).trimmed() == line) return true;
        }
        p.waitForReadyRead(200);
    }
    return false;
}

TEST(DesktopE2E, ThePlayerKeepsTheScreenAwakeThroughTheSessionsScreenSaver) {
    SessionBus bus;
    ASSERT_FALSE(bus.address.isEmpty()) << "dbus-daemon did not start";
    QProcess saver;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("DBUS_SESSION_BUS_ADDRESS", bus.address);
    saver.setProcessEnvironment(env);
    saver.start(QStringLiteral(VORN_TEST_HELPERS "/screensaver_service"), {"30000"});
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
    QThread::msleep(500);
    EXPECT_EQ(run.stop(), 0);
    EXPECT_FALSE(run.log().contains("ScreenSaver"));
    EXPECT_FALSE(run.log().contains("Screen saver"));
}

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

}  // namespace
