#include "e2e/PlaybackFixture.h"

#include <QDateTime>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QImage>
#include <QRegularExpression>
#include <QUrl>

#include <gtest/gtest.h>

#include <algorithm>
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
    ASSERT_TRUE(waitForNextItems(before + 8));
    const QStringList after = nextItems().mid(before);
    const qsizetype firstE = after.indexOf("e.mp4");
    ASSERT_GE(firstE, 0) << after.join(' ').toStdString();
    // It counts once two looks at least two seconds apart saw it unchanged: a few 1 s items later.
    ASSERT_LE(firstE, 4) << after.join(' ').toStdString();
    EXPECT_EQ(after.value(firstE + 1), "e.mp4");
    EXPECT_EQ(after.value(firstE + 2), "d.mp4");
    EXPECT_TRUE(run.log().contains("] hasNewItem = self.repeatList = (\n"));
    EXPECT_FALSE(run.log().contains("Cannot play")) << run.log().toStdString();
    EXPECT_EQ(run.stop(), 0);

    // Once playing, each item's next is decided once, ahead of its end or at it, never both: one
    // scan per decision (the last one may have been under way at the stop).
    const QString played = run.log().mid(run.log().indexOf("] first av item["));
    const qsizetype scans = played.count("] Will execute getnewestfiles.sh with param = (");
    const qsizetype decisions = played.count("] Need to play nextItem at: ");
    EXPECT_GE(decisions, before + 8);
    EXPECT_GE(scans, decisions);
    EXPECT_LE(scans, decisions + 1);
}

// Seconds since the epoch of a log line, from either the log's own stamp or the platform's.
double lineTime(const QString& line) {
    static const QRegularExpression own(R"(^\S+ \[(\d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2}\.\d{3}) )");
    static const QRegularExpression platform(R"(^\[(\d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2}\.\d{3}) )");
    auto m = own.match(line);
    if (m.hasMatch()) return QDateTime::fromString(m.captured(1), "yyyy/MM/dd HH:mm:ss.zzz").toMSecsSinceEpoch() / 1000.0;
    m = platform.match(line);
    if (m.hasMatch()) return QDateTime::fromString(m.captured(1), "yyyy/MM/dd HH:mm:ss.zzz").toMSecsSinceEpoch() / 1000.0;
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

// A broken file costs one try: it is set aside and passed over (no load, no wait) until it
// changes; an empty file (maybe one being made) and an MP4 that does not open with a box of the
// format are never loaded; the good ones go on playing.
TEST_F(PlaybackE2E, BrokenFilesCostOneTryAndAreTakenBackWhenTheyChange) {
    addClip("good.mp4", 300);
    std::mt19937 rng(3);
    QByteArray noise(300000, '\0');
    for (char& c : noise) c = static_cast<char>(rng());
    // Whole boxes of the format around noise: it counts complete, and mpv cannot play it.
    const auto box = [](const char* type, const QByteArray& body) {
        const quint32 size = static_cast<quint32>(body.size() + 8);
        const char header[4] = {char(size >> 24), char(size >> 16), char(size >> 8), char(size)};
        return QByteArray(header, 4) + QByteArray(type, 4) + body;
    };
    addFile("corrupt.mp4", box("ftyp", QByteArray("isom\0\0\x02\0isommp41", 16)) + box("moov", noise.left(2000)) +
                               box("mdat", noise), 200);
    addFile("empty.mp4", "", 100);
    // Noise that does not even open with a box: no video, never tried.
    addFile("noise.mp4", noise, 150);
    run.start(args(4, 1));
    ASSERT_TRUE(waitForNextItems(8, 40000)) << run.log().toStdString();

    QString log = run.log();
    EXPECT_EQ(log.count("] Incomplete or not a video, not played: " + daily + "/noise.mp4 (300000 bytes)\n"), 1);
    EXPECT_FALSE(nextItems().contains("noise.mp4"));
    EXPECT_EQ(log.count("Cannot play " + daily + "/corrupt.mp4: "), 1) << log.toStdString();
    EXPECT_TRUE(log.contains("] Set aside after a failed play, passed over until it changes: " + daily + "/corrupt.mp4\n"));
    EXPECT_FALSE(log.contains("Cannot play " + daily + "/empty.mp4"));
    EXPECT_FALSE(nextItems().contains("empty.mp4"));
    // Unchanged for over a minute: named once as what it is, never as on its way.
    EXPECT_EQ(log.count("] Incomplete or not a video, not played: " + daily + "/empty.mp4 (0 bytes)\n"), 1);
    EXPECT_FALSE(log.contains("Still arriving, not played until it is complete: " + daily + "/empty.mp4"));
    EXPECT_GE(nextItems().count("good.mp4"), 5);
    // After the failure the next item is under way within about a second.
    const QStringList lines = log.split('\n');
    for (int i = 0; i < lines.size(); ++i) {
        if (!lines[i].contains("Cannot play ")) continue;
        const auto next = std::find_if(lines.begin() + i, lines.end(),
                                       [](const QString& l) { return l.contains("] Need to play nextItem at: "); });
        ASSERT_NE(next, lines.end());
        EXPECT_LT(lineTime(*next) - lineTime(lines[i]), 1.6) << next->toStdString();
    }

    // The broken file is copied anew, whole this time: it is taken back and plays.
    addClip("corrupt.mp4", 200);
    const int before = nextItems().size();
    ASSERT_TRUE(waitForNextItems(before + 8, 40000));
    EXPECT_TRUE(nextItems().mid(before).contains("corrupt.mp4")) << nextItems().join(' ').toStdString();
    log = run.log();
    EXPECT_TRUE(log.contains("] Taken back to be tried again: " + daily + "/corrupt.mp4\n"));
    EXPECT_EQ(log.count("Cannot play " + daily + "/corrupt.mp4: "), 1);
    EXPECT_EQ(run.stop(), 0);
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
    run.env.insert("VORNPLAYER_LOG_REPEAT_INTERVAL_MS", "0");  // every poll's line, none folded
    run.start(args());
    ASSERT_TRUE(test::waitUntil([&] { return run.log().count("] start polling....\n") >= 3; }, 15000, 100));
    EXPECT_FALSE(run.log().contains("first av item"));
    addClip("late.mp4", 3);
    ASSERT_TRUE(run.waitForLog("] first av item[PlayerItem]", 10000));
    ASSERT_TRUE(waitForNextItems(1));
    EXPECT_EQ(nextItems().first(), "late.mp4");
    EXPECT_EQ(run.stop(), 0);
    EXPECT_TRUE(test::readAll(run.settingsPath()).contains("prefAppVersionString=Version: 1."));
}

// After the controller's last word, nothing more happens: no item starts, fails or is listed.
void expectQuietAfterTermination(const QString& log) {
    const qsizetype end = log.lastIndexOf("applicationWillTerminate:...");
    ASSERT_GE(end, 0) << log.right(800).toStdString();
    const QString after = log.mid(end);
    for (const char* word : {"Need to play nextItem", "Cannot play", "results is", "first av item"}) {
        EXPECT_FALSE(after.contains(word)) << word << "\n" << after.toStdString();
    }
}

// Quitting never waits for the polling loop's sleep, a scan or mpv: the work queues are cut short
// and joined, mpv ends off the main thread, and the process returns from main with status 0.
TEST_F(PlaybackE2E, QuittingWhilePlayingOrPollingIsQuickAndOrderly) {
    addClip("long.mp4", 10, 8.0);
    run.env.remove("VORNPLAYER_VIDEO_OUTPUT");  // real frames, rendered in software off screen
    run.start(args(3, 5));
    ASSERT_TRUE(run.waitForLog("] first av item[PlayerItem]")) << run.log().toStdString();
    QElapsedTimer clock;
    clock.start();
    EXPECT_EQ(run.stop(SIGTERM), 0);
    EXPECT_LT(clock.elapsed(), 1500);
    expectQuietAfterTermination(run.log());
    EXPECT_FALSE(run.log().contains("still running on a blocked thread"));

    // Another run on an empty day: it quits in the middle of the polling loop's wait.
    test::PlayerRun polling;
    polling.start({"-prefTamrinVideosFolder", run.root.filePath("empty"), "-prefDailyDateFormat", "'day'"});
    QDir().mkpath(run.root.filePath("empty/day"));
    ASSERT_TRUE(polling.waitForLog("] start polling....\n")) << polling.log().toStdString();
    clock.restart();
    EXPECT_EQ(polling.stop(SIGINT), 0);
    EXPECT_LT(clock.elapsed(), 1500);
    expectQuietAfterTermination(polling.log());
}

}  // namespace
