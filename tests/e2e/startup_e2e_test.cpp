#include "e2e/PlayerRun.h"

#include <QDirIterator>
#include <QFileInfo>
#include <QRegularExpression>

#include <gtest/gtest.h>

#include <vector>

namespace {

using test::PlayerRun;

const QRegularExpression kLogLine(R"(^(I|D|D2|E|W) \[\d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2}\.\d{3} [+-]\d{4}\] )");
const char* kLaunched = "] infoDictioanry = {";

TEST(StartupE2E, TheLogHasTimestampedLinesStandardErrorAndMode0664) {
    PlayerRun run;
    // A settings file full of garbage: the store reports it on standard error.
    QDir().mkpath(run.root.filePath("config/Vorn"));
    test::writeAll(run.settingsPath(), QByteArray("\x01\x02garbage\xff\xfe no settings here\n", 30));
    run.start({}, /*strictUmask=*/true);
    ASSERT_TRUE(run.waitForLog(kLaunched)) << run.log().toStdString();
    EXPECT_EQ(run.stop(SIGTERM), 0);

    const QString text = run.log();
    const QStringList lines = text.split('\n', Qt::SkipEmptyParts);
    ASSERT_FALSE(lines.isEmpty());
    EXPECT_TRUE(lines.first().contains(QRegularExpression(R"(^D \[[^\]]{29}\] setupFactoryDefaults$)")))
        << lines.first().toStdString();
    // Messages of class initialisation before the file opened are not there.
    EXPECT_FALSE(text.contains("initialize"));
    EXPECT_FALSE(text.contains("ReDirect"));
    // What the process wrote to standard error is in the file, between the log's own lines.
    EXPECT_TRUE(text.contains(QRegularExpression(R"(\n[^\n]*vornplayer\[\d+:\d+\] Settings file .*VornPlayer\.conf is unusable)")))
        << text.toStdString();
    EXPECT_TRUE(lines.last().contains(QRegularExpression(R"(^D \[.{29}\] Inside <AppDelegate: 0x[0-9a-f]+> => applicationWillTerminate:\.\.\.$)")))
        << lines.last().toStdString();
    int logLines = 0;
    for (const QString& line : lines) logLines += line.contains(kLogLine) ? 1 : 0;
    EXPECT_GE(logLines, 20);

    struct stat st {};
    ASSERT_EQ(stat(QFile::encodeName(run.logPath()).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0664u);

    // The garbage is kept aside and the program ran on its factory defaults, writing anew.
    const QStringList aside = QDir(run.root.filePath("config/Vorn")).entryList({"VornPlayer.conf.corrupt-*"});
    ASSERT_EQ(aside.size(), 1);
    EXPECT_TRUE(test::readAll(run.root.filePath("config/Vorn/" + aside.first())).startsWith("\x01\x02garbage"));
    EXPECT_TRUE(test::readAll(run.settingsPath()).contains("prefAppVersionString=Version: "));
}

TEST(StartupE2E, WithoutTheLogFolderThePlayerRunsAndMakesNoLog) {
    PlayerRun run(/*withLogFolder=*/false);
    run.start();
    // It still stores its version text, which shows that the launch ran.
    QElapsedTimer t;
    t.start();
    while (!test::readAll(run.settingsPath()).contains("prefAppVersionString") && t.elapsed() < 15000) QThread::msleep(50);
    EXPECT_TRUE(test::readAll(run.settingsPath()).contains("prefAppVersionString"));
    EXPECT_EQ(run.stop(SIGINT), 0);
    EXPECT_FALSE(QFileInfo::exists(run.root.filePath("home/Library/Logs")));
}

TEST(StartupE2E, ALogOfOneMebibyteIsRolledAtStartAndOneByteLessIsNot) {
    for (const qsizetype size : {qsizetype(1048576), qsizetype(1048575)}) {
        PlayerRun run;
        QByteArray previous;
        while (previous.size() < size) previous += QByteArray(79, 'p') + '\n';
        previous.truncate(size);
        test::writeAll(run.logPath(), previous);
        run.start();
        ASSERT_TRUE(run.waitForLog(kLaunched));
        EXPECT_EQ(run.stop(), 0);
        const QByteArray log = test::readAll(run.logPath());
        if (size == 1048576) {
            EXPECT_EQ(test::readAll(run.oldLogPath()), previous);
            EXPECT_TRUE(log.startsWith("D ["));
        } else {
            EXPECT_FALSE(QFileInfo::exists(run.oldLogPath()));
            EXPECT_TRUE(log.startsWith(previous));
        }
    }
}

TEST(StartupE2E, ASecondLaunchEndsWithStatusZeroAndAddsNothingToTheLog) {
    PlayerRun run;
    run.start();
    ASSERT_TRUE(run.waitForLog(kLaunched));
    QThread::msleep(300);
    const QByteArray before = test::readAll(run.logPath());

    auto second = run.launch();
    ASSERT_TRUE(second->waitForFinished(15000));
    EXPECT_EQ(second->exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(second->exitCode(), 0);
    EXPECT_EQ(test::readAll(run.logPath()), before);
    EXPECT_EQ(run.process->state(), QProcess::Running);
    EXPECT_EQ(run.stop(), 0);
}

TEST(StartupE2E, TenLaunchesAtTheSameInstantLeaveExactlyOneRunning) {
    PlayerRun run;
    std::vector<std::unique_ptr<QProcess>> launches;
    for (int i = 0; i < 10; ++i) launches.push_back(run.launch());
    std::vector<QProcess*> running;
    for (auto& p : launches) {
        if (p->waitForFinished(15000)) {
            EXPECT_EQ(p->exitStatus(), QProcess::NormalExit);
            EXPECT_EQ(p->exitCode(), 0);
        } else {
            running.push_back(p.get());
        }
    }
    ASSERT_EQ(running.size(), 1u);
    ASSERT_TRUE(run.waitForLog(kLaunched));
    EXPECT_EQ(run.log().count("setupFactoryDefaults\n"), 1);
    test::signalProcess(*running.front(), SIGTERM);
    ASSERT_TRUE(running.front()->waitForFinished(15000));
    EXPECT_EQ(running.front()->exitCode(), 0);
}

TEST(StartupE2E, WithoutTheFactoryDefaultsResourceTheLaunchGoesOn) {
    PlayerRun run;
    // A copy of the program with a bundle that lacks FactoryDefault.plist.
    const QString app = run.root.filePath("app");
    QDir().mkpath(app + "/share/vornplayer");
    ASSERT_TRUE(QFile::copy(run.executable, app + "/vornplayer"));
    ASSERT_TRUE(QFile::copy(QFileInfo(run.executable).dir().filePath("share/vornplayer/Info.plist"),
                            app + "/share/vornplayer/Info.plist"));
    run.executable = app + "/vornplayer";
    run.start();
    ASSERT_TRUE(run.waitForLog(kLaunched));
    EXPECT_EQ(run.stop(), 0);
    EXPECT_TRUE(run.log().contains("] userDefaultsValuesPath = [(null)]\n"));
    EXPECT_TRUE(run.log().contains("] userDefaultsValuesDict == NIL!!!!\n"));
}

}  // namespace
