// The player as operators run it: its log under a clock at the turn of the year, a line that
// repeats, its settings file, and its failures said out loud.
#include "e2e/PlaybackFixture.h"

#include "app/Settings.h"

#include <QDateTime>
#include <QFileInfo>
#include <QSettings>
#include <QRegularExpression>

#include <gtest/gtest.h>

namespace {

using test::PlaybackE2E;
using test::PlayerRun;

const char* kLaunched = "] infoDictioanry = {";
const QString kLibFaketime = QStringLiteral("/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1");

// Every timestamp of the log file: the log's own lines and the platform's.
QStringList timestampsOf(const QString& log) {
    static const QRegularExpression stamp(R"(^(?:\S+ )?\[(\d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2}\.\d{3} [+-]\d{4})\] )",
                                          QRegularExpression::MultilineOption);
    QStringList stamps;
    for (auto it = stamp.globalMatch(log); it.hasNext();) stamps += it.next().captured(1);
    return stamps;
}

TEST(LogE2E, OnTheTwentyEighthOfDecemberEveryTimestampSaysItsCalendarYear) {
    if (!QFileInfo::exists(kLibFaketime)) GTEST_SKIP() << "libfaketime is not installed (package faketime)";
    PlayerRun run;
    // Monday 28 December 2026 begins week 53 of 2026 and is followed by the week-based 2027 days.
    run.env.insert("LD_PRELOAD", kLibFaketime);
    run.env.insert("FAKETIME", "@2026-12-28 12:00:00");
    run.env.insert("DONT_FAKE_MONOTONIC", "1");
    // An unreadable settings file makes the platform write a line of its own.
    QDir().mkpath(run.root.filePath("config/Vorn"));
    test::writeAll(run.settingsPath(), QByteArray("\x01\x02 not settings\n", 16));
    run.start({"-prefTamrinVideosFolder", run.root.filePath("no-such-folder")});
    ASSERT_TRUE(run.waitForLog(kLaunched)) << run.log().toStdString();
    EXPECT_EQ(run.stop(), 0);

    const QString log = run.log();
    const QStringList stamps = timestampsOf(log);
    ASSERT_GE(stamps.size(), 20) << log.toStdString();
    for (const QString& stamp : stamps) EXPECT_TRUE(stamp.startsWith("2026/12/28 ")) << stamp.toStdString();
    // The platform's line has the same stamp as the log's.
    EXPECT_TRUE(log.contains(QRegularExpression(R"(\n\[2026/12/28 [^\]]{18}\] vornplayer\[\d+:\d+\] Settings file )")))
        << log.toStdString();
}

TEST(LogE2E, TheMissingFolderLineIsWrittenOnceThenAtMostOnceAnIntervalWithItsCount) {
    PlayerRun run;
    // The interval is shortened, so that a few repetitions fit into the test.
    constexpr int kIntervalMs = 3000;
    run.env.insert("VORNPLAYER_LOG_REPEAT_INTERVAL_MS", QString::number(kIntervalMs));
    run.start({"-prefTamrinVideosFolder", run.root.filePath("no-such-folder")});
    static const QRegularExpression line(
        R"(^D \[(\d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2}\.\d{3}) [+-]\d{4}\] Inside <AppDelegate: 0x[0-9a-f]+> => scanFolderForNewItems\.\.\. VERY BAD\.\.\.\.(?: \(repeated (\d+) times\))?$)",
        QRegularExpression::MultilineOption);
    const auto lines = [&] {
        QList<QRegularExpressionMatch> found;
        for (auto it = line.globalMatch(run.log()); it.hasNext();) found += it.next();
        return found;
    };
    ASSERT_TRUE(test::waitUntil([&] { return lines().size() >= 3; }, 30000, 100)) << run.log().toStdString();
    EXPECT_EQ(run.stop(), 0);

    const QList<QRegularExpressionMatch> written = lines();
    EXPECT_TRUE(written.first().captured(2).isEmpty()) << "the first time is said as is";
    for (qsizetype i = 1; i < written.size(); ++i) {
        // The scan looks every 2 s: each written line stands for one or more looks since the last.
        EXPECT_GE(written[i].captured(2).toInt(), 1) << written[i].captured(0).toStdString();
        const auto at = [](const QRegularExpressionMatch& m) {
            return QDateTime::fromString(m.captured(1), "yyyy/MM/dd HH:mm:ss.zzz").toMSecsSinceEpoch();
        };
        EXPECT_GE(at(written[i]) - at(written[i - 1]), kIntervalMs) << written[i].captured(0).toStdString();
    }
}

using SettingsE2E = PlaybackE2E;

TEST_F(SettingsE2E, AStartWithNothingChangedLeavesTheSettingsFileAsItIs) {
    addClip("a.mp4", 100);
    QDir().mkpath(QFileInfo(run.settingsPath()).path());
    test::writeAll(run.settingsPath(), "; the screen in the hall\n[General]\nprefTamrinVideosFolder=" +
                                           QFile::encodeName(source) + "\nprefDailyDateFormat='day'\n");
    // The first start writes what the player keeps (its version, the folder's state and reference).
    run.start();
    ASSERT_TRUE(waitForNextItems(1)) << run.log().toStdString();
    EXPECT_EQ(run.stop(), 0);
    const QByteArray first = test::readAll(run.settingsPath());
    ASSERT_TRUE(first.contains("prefAppVersionString=")) << first.toStdString();
    const QDateTime anHourAgo = QDateTime::currentDateTime().addSecs(-3600);
    {
        QFile file(run.settingsPath());
        ASSERT_TRUE(file.open(QIODevice::ReadWrite));
        ASSERT_TRUE(file.setFileTime(anHourAgo, QFileDevice::FileModificationTime));
    }

    // The second start finds everything as it left it, and writes nothing.
    QFile::remove(run.logPath());
    run.start();
    ASSERT_TRUE(waitForNextItems(1)) << run.log().toStdString();
    EXPECT_EQ(run.stop(), 0);
    EXPECT_EQ(test::readAll(run.settingsPath()), first);
    EXPECT_EQ(QFileInfo(run.settingsPath()).lastModified(), anHourAgo);
}

TEST_F(SettingsE2E, AMisspeltSettingOrAMissingValueIsSaidWithTheNearestKeyAndThePlayerRunsOn) {
    addClip("a.mp4", 100);
    run.startCapturingStandardError({"-prefRepeatListItemsCount", "-prefTamrinVideosFolder", source, "-prefDailyDateFormat",
                                 "'day'", "-prefNewMovieRepaetLoopCount", "2"});
    // The folder was not taken for the count: it plays from it.
    ASSERT_TRUE(waitForNextItems(1)) << run.log().toStdString();
    const QString missing = "Setting -prefRepeatListItemsCount has no value (-prefTamrinVideosFolder follows it)";
    const QString unknown = "Unknown setting -prefNewMovieRepaetLoopCount (did you mean -prefNewMovieRepeatLoopCount?)";
    EXPECT_TRUE(test::waitUntil([&] { return run.standardError().contains(missing) && run.standardError().contains(unknown); },
                                5000, 50))
        << run.stderrText.toStdString();
    EXPECT_TRUE(run.log().contains("] " + missing)) << run.log().toStdString();
    EXPECT_TRUE(run.log().contains("] " + unknown));
    EXPECT_EQ(run.stop(), 0);
}

TEST_F(SettingsE2E, AFleetFileUnderXdgConfigDirsIsReadBelowTheUsersAndNeverWritten) {
    addClip("a.mp4", 100);
    const QString fleet = run.root.filePath("etc-xdg/Vorn/VornPlayer.conf");
    QDir().mkpath(QFileInfo(fleet).path());
    const QByteArray fleetText = "[General]\nprefTamrinVideosFolder=" + QFile::encodeName(source) +
                                 "\nprefDailyDateFormat='day'\nprefRepeatListItemsCount=7\n";
    test::writeAll(fleet, fleetText);
    QDir().mkpath(QFileInfo(run.settingsPath()).path());
    test::writeAll(run.settingsPath(), "[General]\nprefRepeatListItemsCount=4\n");
    run.env.insert("XDG_CONFIG_DIRS", run.root.filePath("etc-xdg"));
    run.start();
    ASSERT_TRUE(waitForNextItems(1)) << run.log().toStdString();
    // The user's count wins over the fleet's; the fleet's folder is the one played from.
    EXPECT_TRUE(run.log().contains("] Will execute getnewestfiles.sh with param = (\n")) << run.log().toStdString();
    EXPECT_TRUE(run.log().contains("    4,\n"));
    EXPECT_EQ(run.stop(), 0);
    EXPECT_EQ(test::readAll(fleet), fleetText);
}

TEST(HelpE2E, TheHelpListsEverySettingWithItsTypeFactoryValueAndMeaning) {
    QProcess help;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove("XDG_CONFIG_DIRS");
    help.setProcessEnvironment(env);
    help.start(VORNPLAYER_EXE, {"--help"});
    ASSERT_TRUE(help.waitForFinished(15000));
    EXPECT_EQ(help.exitCode(), 0);
    const QString text = QString::fromLocal8Bit(help.readAllStandardOutput());
    for (const SettingDeclaration* setting : Setting::all) {
        const qsizetype at = text.indexOf("  -" + setting->name() + "\n");
        ASSERT_GE(at, 0) << setting->key << "\n" << text.toStdString();
        const QString entry = text.mid(at, text.indexOf("\n  -", at + 3) - at);
        EXPECT_TRUE(entry.contains(Settings::typeText(*setting) + ", ")) << entry.toStdString();
        EXPECT_TRUE(entry.simplified().contains(QString::fromUtf8(setting->meaning))) << entry.toStdString();
    }
    // The factory values are those the player registers.
    EXPECT_TRUE(text.contains("  -prefRepeatListItemsCount\n      integer from 1 to 100, 10; ")) << text.toStdString();
    EXPECT_TRUE(text.contains("  -prefDoShowMenuBar\n      boolean (YES or NO), YES; "));
    EXPECT_TRUE(text.contains("/etc/xdg/Vorn/VornPlayer.conf"));
}

}  // namespace
