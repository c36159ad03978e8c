#include "e2e/PlaybackFixture.h"

#include <QDateTime>
#include <QDirIterator>
#include <QImage>
#include <QRegularExpression>
#include <QUrl>

#include <gtest/gtest.h>

#include <random>

namespace {

using test::PlaybackE2E;

TEST_F(PlaybackE2E, ANewFileRepeatsThenTheListCyclesAndAFileThatLandsIsNext) {
    addClip("a.mp4", 400);
    addClip("b.mp4", 300);
    addClip("c.mp4", 200);
    addClip("d.mp4", 100);
    run.start(args(3, 2));
    ASSERT_TRUE(waitForNextItems(5)) << run.log().toStdString();
    EXPECT_EQ(nextItems().mid(0, 5), (QStringList{"d.mp4", "c.mp4", "b.mp4", "d.mp4", "c.mp4"}));
    EXPECT_TRUE(run.log().contains("] first av item[PlayerItem] = <PlayerItem: 0x"));

    // A clip lands while it plays: it becomes the next new item and plays twice.
    const int before = nextItems().size();
    addClip("e.mp4", 5);
    ASSERT_TRUE(waitForNextItems(before + 4));
    const QStringList after = nextItems().mid(before);
    const qsizetype firstE = after.indexOf("e.mp4");
    ASSERT_GE(firstE, 0) << after.join(' ').toStdString();
    ASSERT_LE(firstE, 1);  // the item playing when it landed may end first
    EXPECT_EQ(after.value(firstE + 1), "e.mp4");
    EXPECT_EQ(after.value(firstE + 2), "d.mp4");
    EXPECT_TRUE(run.log().contains("] hasNewItem = self.repeatList = (\n"));
    EXPECT_FALSE(run.log().contains("Cannot play"));
    EXPECT_EQ(run.stop(), 0);
}

// Seconds since the epoch of a log line, from either the log's own stamp or the platform's.
double lineTime(const QString& line) {
    static const QRegularExpression own(R"(^\S+ \[(\d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2}\.\d{3}) )");
    static const QRegularExpression platform(R"(^(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3}) )");
    auto m = own.match(line);
    if (m.hasMatch()) return QDateTime::fromString(m.captured(1), "yyyy/MM/dd HH:mm:ss.zzz").toMSecsSinceEpoch() / 1000.0;
    m = platform.match(line);
    if (m.hasMatch()) return QDateTime::fromString(m.captured(1), "yyyy-MM-dd HH:mm:ss.zzz").toMSecsSinceEpoch() / 1000.0;
    return -1;
}

// Settings typed by hand, with one line that is not a setting: the player plays from the stored
// folder with the stored counts, as it does with the same values given as arguments, and the log
// names the line that was dropped.
TEST_F(PlaybackE2E, AStrayLineInTheSettingsFileCostsOnlyThatLine) {
    addClip("a.mp4", 400);
    addClip("b.mp4", 300);
    addClip("c.mp4", 200);
    addClip("d.mp4", 100);
    QDir().mkpath(QFileInfo(run.settingsPath()).path());
    const QByteArray settings = "[General]\nprefTamrinVideosFolder=" + QFile::encodeName(source) +
                                "\nprefDailyDateFormat='day'\nprefRepeatListItemsCount=3\n"
                                "videos are on the share now\nprefNewMovieRepeatLoopCount=2\n";
    ASSERT_TRUE(test::writeAll(run.settingsPath(), settings));
    run.start();
    ASSERT_TRUE(waitForNextItems(5)) << run.log().toStdString();
    EXPECT_EQ(nextItems().mid(0, 5), (QStringList{"d.mp4", "c.mp4", "b.mp4", "d.mp4", "c.mp4"}));
    EXPECT_TRUE(run.log().contains(run.settingsPath() + ": line 5 cannot be read")) << run.log().toStdString();
    EXPECT_EQ(run.stop(), 0);
    const QByteArray stored = test::readAll(run.settingsPath());
    EXPECT_TRUE(stored.contains("\nprefTamrinVideosFolder=" + QFile::encodeName(source) + "\n")) << stored.constData();
    EXPECT_TRUE(stored.contains("\nprefNewMovieRepeatLoopCount=2\n"));
    EXPECT_TRUE(stored.contains("\nprefAppVersionString="));
    EXPECT_FALSE(stored.contains("share now"));
}

TEST_F(PlaybackE2E, BrokenFilesAmongTheNewestNeverStopThePlayer) {
    addClip("good.mp4", 300);
    std::mt19937 rng(3);
    QByteArray noise(300000, '\0');
    for (char& c : noise) c = static_cast<char>(rng());
    addFile("corrupt.mp4", noise, 200);
    addFile("empty.mp4", "", 100);
    run.start(args(3, 1));
    ASSERT_TRUE(waitForNextItems(9, 40000)) << run.log().toStdString();
    EXPECT_EQ(run.stop(), 0);

    const QString log = run.log();
    EXPECT_TRUE(log.contains("Cannot play " + daily + "/corrupt.mp4: ")) << log.toStdString();
    EXPECT_TRUE(log.contains("Cannot play " + daily + "/empty.mp4: "));
    EXPECT_GE(nextItems().count("good.mp4"), 2);
    // After every failure the next item is under way within about a second.
    const QStringList lines = log.split('\n');
    int failures = 0;
    for (int i = 0; i < lines.size(); ++i) {
        if (!lines[i].contains("Cannot play ")) continue;
        const double failedAt = lineTime(lines[i]);
        for (int j = i + 1; j < lines.size(); ++j) {
            if (!lines[j].contains("] Need to play nextItem at: ")) continue;
            EXPECT_LT(lineTime(lines[j]) - failedAt, 1.6) << lines[j].toStdString();
            ++failures;
            break;
        }
    }
    EXPECT_GE(failures, 4);
}

TEST_F(PlaybackE2E, ShellSyntaxInFolderAndFileNamesIsNeverRun) {
    source = run.root.filePath("a\"; rm -rf ~; \"b $(touch pwned) `touch pwned2` \\ $HOME");
    daily = source + "/day";
    QDir().mkpath(daily);
    addClip("$(touch pwned3).mp4", 300, 0.5);
    addClip("quote \" and 'single' `touch pwned4`.mp4", 200, 0.5);
    addClip("-dash; ls.mp4", 100, 0.5);
    run.start(args(3, 1));
    ASSERT_TRUE(waitForNextItems(4)) << run.log().toStdString();
    EXPECT_EQ(run.stop(), 0);
    EXPECT_EQ(nextItems().mid(0, 3),
              (QStringList{"quote \" and 'single' `touch pwned4`.mp4", "$(touch pwned3).mp4", "-dash; ls.mp4"}));
    EXPECT_FALSE(run.log().contains("Cannot play"));
    // Nothing was run: no file of those names appeared anywhere, and the home folder is there.
    QDirIterator it(run.root.path(), QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    int entries = 0;
    while (it.hasNext()) {
        it.next();
        ++entries;
        EXPECT_FALSE(QStringList({"pwned", "pwned2", "pwned3", "pwned4"}).contains(it.fileName())) << it.filePath().toStdString();
    }
    EXPECT_GT(entries, 5);
    EXPECT_TRUE(QFileInfo::exists(run.root.filePath("home/Library/Logs/Vorn/VornPlayer.log")));
}

TEST_F(PlaybackE2E, ThePollingLoopWaitsForTheFirstFileAndThenHandsItOver) {
    run.start(args());
    QElapsedTimer t;
    t.start();
    while (run.log().count("] start polling....\n") < 3 && t.elapsed() < 15000) QThread::msleep(100);
    ASSERT_GE(run.log().count("] start polling....\n"), 3);
    EXPECT_FALSE(run.log().contains("first av item"));
    addClip("late.mp4", 3);
    ASSERT_TRUE(run.waitForLog("] first av item[PlayerItem]", 10000));
    ASSERT_TRUE(waitForNextItems(1));
    EXPECT_EQ(nextItems().first(), "late.mp4");
    EXPECT_EQ(run.stop(), 0);
    EXPECT_TRUE(test::readAll(run.settingsPath()).contains("prefAppVersionString=Version: 1."));
}



}  // namespace
