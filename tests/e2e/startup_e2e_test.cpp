#include "e2e/PlayerRun.h"

#include "Clips.h"

#include <QDateTime>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
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
    EXPECT_TRUE(test::waitUntil([&] { return test::readAll(run.settingsPath()).contains("prefAppVersionString"); }, 15000, 50));
    EXPECT_EQ(run.stop(SIGINT), 0);
    EXPECT_FALSE(QFileInfo::exists(run.root.filePath("home/Library/Logs")));
}

// HOME names a folder that is not there: the player does not make it (nor its settings folder),
// says so on standard error, and plays on the factory defaults and its arguments.
TEST(StartupE2E, AMissingHomeFolderIsNotMadeAndThePlayerRunsWithoutASettingsFile) {
    PlayerRun run;
    const QString home = run.root.filePath("nobody-home");
    const QString source = run.root.filePath("source");
    const QString today = QDateTime::currentDateTime().addSecs(-3 * 3600).toString("yyyyMMdd");
    test::copyClip(test::clip(1.0), source + "/" + today + "/a.mp4");
    run.env.insert("HOME", home);
    run.env.remove("XDG_CONFIG_HOME");
    QProcess player;
    player.setProcessEnvironment(run.env);
    player.setWorkingDirectory(run.root.path());
    player.setProcessChannelMode(QProcess::MergedChannels);
    player.start(QStringLiteral(VORNPLAYER_EXE), {"-prefTamrinVideosFolder", source});
    ASSERT_TRUE(player.waitForStarted());
    QByteArray said;
    const QByteArray expected = "Home folder " + QFile::encodeName(home) +
                                " does not exist and is not made: running on the factory defaults without a settings file.";
    EXPECT_TRUE(test::waitUntil([&] {
        player.waitForReadyRead(0);
        said += player.readAll();
        return said.contains(expected);
    }, 15000, 50)) << said.toStdString();
    // It plays: --status counts plays.
    auto played = [&] {
        QProcess status;
        status.setProcessEnvironment(run.env);
        status.start(QStringLiteral(VORNPLAYER_EXE), {"--status", "--json"});
        status.waitForFinished(10000);
        return QJsonDocument::fromJson(status.readAllStandardOutput()).object().value("itemsPlayed").toInteger();
    };
    EXPECT_TRUE(test::waitUntil([&] { return played() >= 2; }, 20000, 200));
    EXPECT_FALSE(QFileInfo::exists(home));
    player.terminate();
    EXPECT_TRUE(player.waitForFinished(15000));
    EXPECT_FALSE(QFileInfo::exists(home));
    EXPECT_EQ(said.count(expected), 1);
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
            // Not rolled at start: the first lines of the run take it to the threshold, and it
            // is rolled while running, after them.
            const QByteArray old = test::readAll(run.oldLogPath());
            EXPECT_TRUE(old.startsWith(previous));
            EXPECT_GT(old.size(), previous.size());
            EXPECT_TRUE(log.contains("] Rolled previous log file into " + QFile::encodeName(run.oldLogPath()) + "\n"));
        }
    }
}

TEST(StartupE2E, ASecondLaunchEndsWithStatusZeroAndAddsNothingToTheLog) {
    PlayerRun run;
    // A quiet first instance: one long clip playing, nothing more to log for a while.
    const QString day = run.root.filePath("videos/day");
    test::copyClip(test::clip(60.0, false), day + "/long.mp4");
    QFile clip(day + "/long.mp4");
    clip.open(QIODevice::ReadWrite);
    clip.setFileTime(QDateTime::currentDateTime().addSecs(-60), QFileDevice::FileModificationTime);
    run.start({"-prefTamrinVideosFolder", run.root.filePath("videos"), "-prefDailyDateFormat", "'day'"});
    ASSERT_TRUE(run.waitForLog("] first av item[PlayerItem]"));
    // Quiet once its log has stood still for half a second: the launch has nothing more to say.
    QByteArray before = test::readAll(run.logPath());
    QElapsedTimer unchanged;
    unchanged.start();
    ASSERT_TRUE(test::waitUntil(
        [&] {
            const QByteArray now = test::readAll(run.logPath());
            if (now != before) {
                before = now;
                unchanged.restart();
            }
            return unchanged.elapsed() >= 500;
        },
        15000, 50))
        << "the first instance never went quiet";

    auto second = run.launch();
    ASSERT_TRUE(second->waitForFinished(15000));
    EXPECT_EQ(second->exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(second->exitCode(), 0);
    // Nothing comes after it either: a bounded wait that ends at once if a line does.
    test::waitUntil([&] { return test::readAll(run.logPath()) != before; }, 300, 50);
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

// The three layers of the settings store, seen through the daily folder the player makes:
// the factory pattern names it by the date, a user value hides that across restarts, and a
// value on the command line hides both for one run without being stored.
TEST(StartupE2E, UserValuesHideFactoryDefaultsAndArgumentsHideBothForOneRun) {
    PlayerRun run;
    const QString source = run.root.filePath("videos");
    QDir().mkpath(source);
    QDir().mkpath(run.root.filePath("config/Vorn"));
    auto runOnce = [&](const QStringList& args) {
        const int before = run.log().count("] start polling....");
        run.start(args);
        EXPECT_TRUE(test::waitUntil([&] { return run.log().count("] start polling....") > before; }, 15000, 50))
            << run.log().toStdString();
        EXPECT_EQ(run.stop(), 0);
    };

    test::writeAll(run.settingsPath(), ("[General]\nprefTamrinVideosFolder=" + source + "\n").toUtf8());
    runOnce({});
    const QString today = QDateTime::currentDateTime().addSecs(-3 * 3600).toString("yyyyMMdd");
    EXPECT_TRUE(QFileInfo(source + "/" + today).isDir()) << QDir(source).entryList().join(",").toStdString();

    test::writeAll(run.settingsPath(), ("[General]\nprefTamrinVideosFolder=" + source +
                                        "\nprefDailyDateFormat='by user'\n").toUtf8());
    runOnce({});
    runOnce({});  // and again after a restart
    EXPECT_TRUE(QFileInfo(source + "/by user").isDir());

    const QString elsewhere = run.root.filePath("elsewhere");
    QDir().mkpath(elsewhere);
    runOnce({"-prefTamrinVideosFolder", elsewhere, "-prefDailyDateFormat", "'by argument'"});
    EXPECT_TRUE(QFileInfo(elsewhere + "/by argument").isDir());
    const QByteArray stored = test::readAll(run.settingsPath());
    EXPECT_TRUE(stored.contains("prefTamrinVideosFolder=" + QFile::encodeName(source) + "\n")) << stored.constData();
    EXPECT_TRUE(stored.contains("prefDailyDateFormat='by user'\n"));
    EXPECT_FALSE(stored.contains("by argument"));
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

    // A factory defaults file with a NUL byte inside a string: the launch goes on, the log names
    // the string, and the good values are registered.
    QByteArray factory = test::readAll(QFileInfo(QStringLiteral(VORNPLAYER_EXE)).dir().filePath("share/vornplayer/FactoryDefault.plist"));
    ASSERT_TRUE(factory.contains("<string>yyyyMMdd</string>"));
    factory.replace("<string>yyyyMMdd</string>", QByteArray("<string>yyyy\0MMdd</string>", 26));
    ASSERT_TRUE(test::writeAll(app + "/share/vornplayer/FactoryDefault.plist", factory));
    QFile::remove(run.logPath());
    run.start();
    ASSERT_TRUE(run.waitForLog(kLaunched)) << run.log().toStdString();
    EXPECT_EQ(run.stop(), 0);
    const QString log = run.log();
    EXPECT_TRUE(log.contains("FactoryDefault.plist: the string at prefDailyDateFormat holds a NUL byte; left out.\n")) << log.toStdString();
    const QString registered = log.section("About to register factory default dictionary:", 1).section("\n\n", 0, 0);
    EXPECT_TRUE(registered.contains("prefRepeatListItemsCount = 10;")) << registered.toStdString();
    EXPECT_TRUE(registered.contains("prefNewMovieRepeatLoopCount = 3;")) << registered.toStdString();
    EXPECT_FALSE(registered.contains("prefDailyDateFormat")) << registered.toStdString();
}

}  // namespace
