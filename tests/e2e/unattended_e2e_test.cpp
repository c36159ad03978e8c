// Whole-program tests of running unattended: the command line.
#include "e2e/PlayerRun.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace {

using test::PlayerRun;

struct Outcome {
    int status = -1;
    QString out;
    QString err;
    qint64 ms = 0;
};

// Runs the program to its end (the options that answer and exit).
Outcome runToEnd(const PlayerRun& run, const QStringList& args) {
    QProcess p;
    p.setProcessEnvironment(run.env);
    p.setWorkingDirectory(run.root.path());
    QElapsedTimer t;
    t.start();
    p.start(run.executable, args);
    Outcome o;
    if (!p.waitForFinished(15000)) {
        p.kill();
        p.waitForFinished();
        return o;
    }
    o.ms = t.elapsed();
    o.status = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    o.out = QString::fromUtf8(p.readAllStandardOutput());
    o.err = QString::fromUtf8(p.readAllStandardError());
    return o;
}

TEST(CommandLineE2E, HelpVersionAndWrongOptionsAnswerAtOnceAndTouchNothing) {
    PlayerRun run;
    // A log and a settings file that must stay exactly as they are.
    test::writeAll(run.logPath(), "an earlier run's log\n");
    QDir().mkpath(run.root.filePath("config/Vorn"));
    test::writeAll(run.settingsPath(), "[General]\nprefDoShowMenuBar=false\n");
    struct stat logBefore {};
    struct stat settingsBefore {};
    ASSERT_EQ(stat(QFile::encodeName(run.logPath()).constData(), &logBefore), 0);
    ASSERT_EQ(stat(QFile::encodeName(run.settingsPath()).constData(), &settingsBefore), 0);

    const Outcome help = runToEnd(run, {"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_LT(help.ms, 1000);
    EXPECT_TRUE(help.out.startsWith("Usage: vornplayer [options]\n")) << help.out.toStdString();
    for (const char* part : {"--version", "--status", "--json", "-prefKey value", "VornPlayer.conf",
                             "/home/Library/Logs/Vorn/VornPlayer.log", "Exit status:", "3  --status: no instance"}) {
        EXPECT_TRUE(help.out.contains(part)) << part;
    }
    EXPECT_EQ(runToEnd(run, {"-h"}).out, help.out);

    const Outcome version = runToEnd(run, {"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_LT(version.ms, 1000);
    EXPECT_EQ(version.out, "VornPlayer 1.0.0\n");

    // Settings arguments around an option change nothing about it.
    const Outcome both = runToEnd(run, {"-prefTamrinVideosFolder", "--not-an-option", "--version"});
    EXPECT_EQ(both.status, 0);
    EXPECT_EQ(both.out, "VornPlayer 1.0.0\n");

    const Outcome unknown = runToEnd(run, {"--fullscreen"});
    EXPECT_EQ(unknown.status, 2);
    EXPECT_TRUE(unknown.out.isEmpty());
    EXPECT_TRUE(unknown.err.startsWith("vornplayer: Unknown option 'fullscreen'.")) << unknown.err.toStdString();
    EXPECT_TRUE(unknown.err.contains("Usage: vornplayer [options]"));
    EXPECT_EQ(runToEnd(run, {"--json"}).status, 2);
    EXPECT_EQ(runToEnd(run, {"--version=2"}).status, 2);

    const Outcome none = runToEnd(run, {"--status"});
    EXPECT_EQ(none.status, 3);
    EXPECT_TRUE(none.out.isEmpty());
    EXPECT_EQ(none.err, "VornPlayer is not running\n");

    struct stat logAfter {};
    struct stat settingsAfter {};
    ASSERT_EQ(stat(QFile::encodeName(run.logPath()).constData(), &logAfter), 0);
    ASSERT_EQ(stat(QFile::encodeName(run.settingsPath()).constData(), &settingsAfter), 0);
    EXPECT_EQ(test::readAll(run.logPath()), "an earlier run's log\n");
    EXPECT_EQ(logAfter.st_mtim.tv_nsec, logBefore.st_mtim.tv_nsec);
    EXPECT_EQ(logAfter.st_mtim.tv_sec, logBefore.st_mtim.tv_sec);
    EXPECT_EQ(settingsAfter.st_mtim.tv_nsec, settingsBefore.st_mtim.tv_nsec);
    EXPECT_EQ(QDir(run.root.filePath("config/Vorn")).entryList(QDir::Files), QStringList{"VornPlayer.conf"});
    EXPECT_EQ(QDir(run.root.filePath("home/Library/Logs/Vorn")).entryList(QDir::Files), QStringList{"VornPlayer.log"});
}

}  // namespace
