// Whole-program runs of what reaches the screen when files arrive slowly, when today's folder is
// empty, when there is no source folder, and under a locale with another calendar.
#include "e2e/PlaybackFixture.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QRegularExpression>
#include <QUrl>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

namespace {

using test::PlaybackE2E;
using test::PlayerRun;

// The wall-clock time of each "Need to play nextItem at:" line naming `name`.
QList<QDateTime> playsOf(const QString& log, const QString& name) {
    static const QRegularExpression next(R"(^\S+ \[(\S+ \S+)\.(\d{3}) \S+\] Need to play nextItem at: (\S+)$)");
    QList<QDateTime> times;
    for (const QString& line : log.split('\n')) {
        const auto m = next.match(line);
        if (!m.hasMatch() || QUrl(m.captured(3)).fileName() != name) continue;
        times += QDateTime::fromString(m.captured(1), "yyyy/MM/dd HH:mm:ss").addMSecs(m.captured(2).toInt());
    }
    return times;
}

// A clip copied in over a slow share, in chunks with pauses longer than the quiet time, is never
// loaded before its last byte is there; then it plays as new, the set number of times in a row.
TEST_F(PlaybackE2E, AClipCopiedInChunksWithPausesPlaysOnlyOnceItIsWhole) {
    addClip("older.mp4", 300);
    run.start(args(3, 2));
    ASSERT_TRUE(waitForNextItems(2)) << run.log().toStdString();

    const QByteArray whole = test::readAll(test::clip(2.0, false, "320x240"));
    ASSERT_GT(whole.size(), 3000);
    const QString path = daily + "/arriving.mp4";
    QFile out(path);
    ASSERT_TRUE(out.open(QIODevice::WriteOnly));
    const qsizetype chunk = whole.size() / 3 + 1;
    for (qsizetype at = 0; at < whole.size(); at += chunk) {
        out.write(whole.mid(at, chunk));
        out.flush();
        if (at + chunk < whole.size()) QThread::msleep(3000);  // a stalled copy, longer than the quiet time
    }
    out.close();
    const QDateTime copied = QDateTime::currentDateTime();

    test::waitUntil([&] { return playsOf(run.log(), "arriving.mp4").size() >= 2; }, 30000, 100);
    const QString log = run.log();
    const QList<QDateTime> plays = playsOf(log, "arriving.mp4");
    ASSERT_EQ(plays.size(), 2) << log.toStdString();
    EXPECT_GE(copied.msecsTo(plays.first()), 0) << "loaded while it was still being copied";
    EXPECT_LE(copied.msecsTo(plays.first()), 15000);
    EXPECT_FALSE(log.contains("Cannot play " + path));
    EXPECT_TRUE(log.contains("] Still arriving, not played until it is complete: " + path + "\n"));
    // Its two plays come one after the other: nothing else was taken for new meanwhile.
    const QStringList names = nextItems();
    const qsizetype first = names.indexOf("arriving.mp4");
    EXPECT_EQ(names.value(first + 1), "arriving.mp4");
    EXPECT_EQ(run.log().count("] hasNewItem = self.repeatList = "), 1);
    EXPECT_EQ(run.stop(), 0);
}

// The newest file touched keeps its place in the cycle and is not new again, nor is the one
// before it while the touched file waits for its second look; a clip with bytes after its last
// box comes in as new and plays its three times.
TEST_F(PlaybackE2E, ATouchedNewestFileKeepsTheCycleAndAClipWithTrailingBytesPlays) {
    addClip("a.mp4", 300);
    addClip("b.mp4", 200);
    addClip("c.mp4", 100);
    run.start(args(3, 3));
    ASSERT_TRUE(waitForNextItems(4)) << run.log().toStdString();
    QFile touched(daily + "/c.mp4");
    ASSERT_TRUE(touched.open(QIODevice::ReadWrite));
    ASSERT_TRUE(touched.setFileTime(QDateTime::currentDateTime(), QFileDevice::FileModificationTime));
    touched.close();
    const int atTouch = nextItems().size();
    // Left out by the script for 2 s, then 2 s until its second look: eight ends see it through.
    ASSERT_TRUE(waitForNextItems(atTouch + 8)) << run.log().toStdString();
    QStringList names = nextItems();
    const QStringList cycle{"b.mp4", "a.mp4", "c.mp4"};
    EXPECT_EQ(names.mid(0, 2).join(' ').toStdString(), "c.mp4 c.mp4");
    for (int i = 2; i < names.size(); ++i) {
        ASSERT_EQ(names[i].toStdString(), cycle[(i - 2) % 3].toStdString()) << i << ": " << names.join(' ').toStdString();
    }
    EXPECT_EQ(run.log().count("] hasNewItem = self.repeatList = "), 0);

    addFile("d.mp4", test::readAll(test::clip(1.0)) + QByteArray(16, '\0'), 0);
    const int atArrival = nextItems().size();
    auto afterArrival = [&] { return nextItems().mid(atArrival); };
    test::waitUntil(
        [&] {
            const QStringList seen = afterArrival();
            return seen.indexOf("d.mp4") >= 0 && seen.size() >= seen.indexOf("d.mp4") + 4;
        },
        30000, 100);
    names = afterArrival();
    const qsizetype first = names.indexOf("d.mp4");
    ASSERT_GE(first, 0) << names.join(' ').toStdString();
    EXPECT_EQ(names.mid(first, 4).join(' ').toStdString(), "d.mp4 d.mp4 d.mp4 c.mp4");
    const QString log = run.log();
    EXPECT_EQ(log.count("] hasNewItem = self.repeatList = "), 1);
    EXPECT_TRUE(log.contains("] curURL asset is: " + QUrl::fromLocalFile(daily + "/d.mp4").toString() + "\n"))
        << "d.mp4 never became the item that plays";
    EXPECT_FALSE(log.contains("Cannot play " + daily + "/d.mp4"));
    EXPECT_FALSE(log.contains("Incomplete or not a video, not played: " + daily + "/d.mp4"));
    EXPECT_EQ(run.stop(), 0);
}

// A complete clip that lands a few seconds into an item has had its two looks by that item's
// decision, and is the next item decided: not one item late.
// Clips written long before the player starts play from its first poll: an old MP4 whose boxes
// are whole needs no second look. An old Matroska file still waits for it.
TEST_F(PlaybackE2E, OldClipsPlayFromTheFirstPoll) {
    addClip("a.mp4", 3600);
    addClip("b.mp4", 1800);
    run.start(args(2, 1));
    ASSERT_TRUE(run.waitForLog("first av item", 15000)) << run.log().toStdString();
    const QString log = run.log();
    EXPECT_EQ(log.left(log.indexOf("first av item")).count("] start polling....\n"), 1) << log.toStdString();
    EXPECT_EQ(run.stop(), 0);

    // Another container has no boxes to tell a whole file: the first poll finds nothing complete.
    QFile::remove(daily + "/a.mp4");
    QFile::remove(daily + "/b.mp4");
    QFile::remove(run.logPath());
    QProcess remux;
    remux.start("ffmpeg", {"-loglevel", "error", "-y", "-i", test::clip(1.0), "-c", "copy", daily + "/c.mkv"});
    ASSERT_TRUE(remux.waitForFinished(60000));
    QFile f(daily + "/c.mkv");
    ASSERT_TRUE(f.open(QIODevice::ReadWrite));
    f.setFileTime(QDateTime::currentDateTime().addSecs(-3600), QFileDevice::FileModificationTime);
    f.close();
    run.env.insert("VORNPLAYER_LOG_REPEAT_INTERVAL_MS", "0");  // every poll's line, none folded
    run.start(args(2, 1));
    ASSERT_TRUE(run.waitForLog("first av item", 15000)) << run.log().toStdString();
    const QString mkvLog = run.log();
    EXPECT_GE(mkvLog.left(mkvLog.indexOf("first av item")).count("] start polling....\n"), 2) << mkvLog.toStdString();
    EXPECT_EQ(run.stop(), 0);
}

TEST_F(PlaybackE2E, AClipLandingDuringAnItemIsTheNextItemDecided) {
    addClip("long.mp4", 300, 10.0);
    const QByteArray fresh = test::readAll(test::clip(1.0));
    ASSERT_FALSE(fresh.isEmpty());
    run.start(args(3, 1));
    // The first decision comes 1.5 s before the first play's end; the next play starts at that end.
    ASSERT_TRUE(waitForNextItems(1, 30000)) << run.log().toStdString();
    QElapsedTimer sinceDecision;
    sinceDecision.start();
    // Lands 3 s into the next play of the 10 s clip, about 5.5 s before that play's decision.
    test::waitUntil([&] { return sinceDecision.elapsed() >= 4500; }, 10000, 50);
    addFile("fresh.mp4", fresh, 0);

    ASSERT_TRUE(waitForNextItems(2, 30000)) << run.log().toStdString();
    EXPECT_EQ(nextItems().mid(0, 2).join(' ').toStdString(), "long.mp4 fresh.mp4") << run.log().toStdString();
    EXPECT_EQ(run.log().count("] hasNewItem = self.repeatList = "), 1);
    EXPECT_EQ(run.stop(), 0);
}

// Video files whose names the script cannot list (a line feed in the name, bytes that are not
// UTF-8) are never played, and each is named once in the log, however often the folder changes.
TEST_F(PlaybackE2E, FilesWithNamesThatCannotBeListedAreNamedOnce) {
    addClip("fine.mp4", 300);
    const QByteArray clip = test::readAll(test::clip(1.0));
    const QByteArray folder = QFile::encodeName(daily);
    for (const QByteArray& name : {QByteArray("line\nfeed.mp4"), QByteArray("bad\xff\xfe bytes.MOV")}) {
        // Made by its bytes: Qt would turn bytes that are not UTF-8 into other characters.
        const int fd = ::open((folder + "/" + name).constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::write(fd, clip.constData(), clip.size()), clip.size());
        ::close(fd);
    }
    run.start(args(3, 1));
    const QString lineFeed = "] Not played, its name holds a line feed or is not UTF-8: " + daily + "/line\\nfeed.mp4\n";
    const QString badBytes = "] Not played, its name holds a line feed or is not UTF-8: " + daily + "/bad\\xff\\xfe bytes.MOV\n";
    ASSERT_TRUE(run.waitForLog(lineFeed)) << run.log().toStdString();
    ASSERT_TRUE(run.waitForLog(badBytes)) << run.log().toStdString();
    // The folder changes, and is looked at again.
    addClip("later.mp4", 0);
    ASSERT_TRUE(test::waitUntil([&] { return nextItems().contains("later.mp4"); }, 30000, 100)) << run.log().toStdString();
    const QString log = run.log();
    EXPECT_EQ(log.count(lineFeed), 1);
    EXPECT_EQ(log.count(badBytes), 1);
    EXPECT_FALSE(log.contains("Not played, its name holds a line feed or is not UTF-8: " + daily + "/fine.mp4"));
    EXPECT_FALSE(nextItems().contains("feed.mp4"));
    EXPECT_EQ(run.stop(), 0);
}

// Today's folder empty after the day changed: yesterday's newest files play in the usual cycle
// until the first complete file of today takes over. Folders are named by the Gregorian date
// with Latin digits whatever the locale's calendar.
TEST(DaysE2E, AnEmptyDayPlaysTheDayBeforeUntilTodaysFirstFileAndFoldersUseGregorianDates) {
    PlayerRun run;
    const QString source = run.root.filePath("source");
    const QDateTime dayNow = QDateTime::currentDateTime().addSecs(-3 * 3600);
    const QString today = dayNow.toString("yyyyMMdd");
    const QString yesterday = dayNow.addDays(-1).toString("yyyyMMdd");
    for (const QString& name : {QString("y1.mp4"), QString("y2.mp4")}) {
        test::copyClip(test::clip(1.0), source + "/" + yesterday + "/" + name);
    }
    run.env.insert("LANG", "th_TH.UTF-8");
    run.env.insert("LC_ALL", "th_TH.UTF-8");
    run.start({"-prefTamrinVideosFolder", source, "-prefRepeatListItemsCount", "3", "-prefNewMovieRepeatLoopCount", "1"});
    QElapsedTimer t;
    t.start();
    ASSERT_TRUE(run.waitForLog("] first av item[PlayerItem]", 15000)) << run.log().toStdString();
    EXPECT_LT(t.elapsed(), 6000);
    EXPECT_TRUE(QFileInfo(source + "/" + today).isDir()) << QDir(source).entryList().join(' ').toStdString();
    EXPECT_EQ(QDir(source).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size(), 2);
    EXPECT_TRUE(run.waitForLog("] Today's folder has no complete video yet: playing the newest of " + source + "/" +
                               yesterday + "\n"));

    auto nextNames = [&run] { return test::nextItemNames(run.log()); };
    test::waitUntil([&] { return nextNames().size() >= 3; }, 20000 - static_cast<int>(t.elapsed()), 100);
    const QStringList before = nextNames();
    ASSERT_GE(before.size(), 3);
    EXPECT_TRUE(before.contains("y1.mp4") && before.contains("y2.mp4")) << before.join(' ').toStdString();

    test::copyClip(test::clip(1.0), source + "/" + today + "/t1.mp4");
    EXPECT_TRUE(test::waitUntil([&] { return nextNames().mid(before.size()).contains("t1.mp4"); },
                                40000 - static_cast<int>(t.elapsed()), 100))
        << nextNames().join(' ').toStdString();
    EXPECT_EQ(run.stop(), 0);
}

// The player's clock an hour behind, and a share's clock five minutes ahead of the real one: files
// bear times to come, and still count once two looks agree. Today's folder (by the player's
// clock) is empty at first, so the day before plays; the day after never does, though it is the
// newest folder there is. (libfaketime sets the player's clock back; file times stay as they are.)
TEST(DaysE2E, UnderAClockBehindTheFilesNewFilesPlayAndNoLaterDayPlays) {
    const QString faketime = "/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1";
    if (!QFile::exists(faketime)) GTEST_SKIP() << "libfaketime is not installed (scripts/setup.sh --test)";
    PlayerRun run;
    const QString source = run.root.filePath("source");
    const QDateTime dayNow = QDateTime::currentDateTime().addSecs(-3600 - 3 * 3600);
    const QString today = dayNow.toString("yyyyMMdd");
    const QString before = dayNow.addDays(-1).toString("yyyyMMdd");
    const QString after = dayNow.addDays(1).toString("yyyyMMdd");
    test::copyClip(test::clip(1.0), source + "/" + before + "/before.mp4");
    test::copyClip(test::clip(1.0), source + "/" + after + "/after.mp4");
    QDir().mkpath(source + "/" + today);
    run.env.insert("LD_PRELOAD", faketime);
    run.env.insert("FAKETIME", "-3600");
    run.env.insert("FAKETIME_DONT_FAKE_MONOTONIC", "1");
    run.env.insert("NO_FAKE_STAT", "1");
    run.start({"-prefTamrinVideosFolder", source, "-prefRepeatListItemsCount", "3", "-prefNewMovieRepeatLoopCount", "1"});
    auto nextNames = [&run] { return test::nextItemNames(run.log()); };
    ASSERT_TRUE(test::waitUntil([&] { return nextNames().size() >= 2; }, 30000, 100)) << run.log().toStdString();
    EXPECT_TRUE(nextNames().contains("before.mp4")) << nextNames().join(' ').toStdString();

    const QString fresh = test::copyClip(test::clip(1.0), source + "/" + today + "/ahead.mp4");
    QFile stamp(fresh);
    ASSERT_TRUE(stamp.open(QIODevice::ReadWrite));
    ASSERT_TRUE(stamp.setFileTime(QDateTime::currentDateTime().addSecs(300), QFileDevice::FileModificationTime));
    stamp.close();
    QElapsedTimer t;
    t.start();
    EXPECT_TRUE(test::waitUntil([&] { return nextNames().contains("ahead.mp4"); }, 30000, 100))
        << run.log().toStdString();
    EXPECT_LT(t.elapsed(), 30000);
    const QString log = run.log();
    EXPECT_FALSE(nextNames().contains("after.mp4")) << nextNames().join(' ').toStdString();
    EXPECT_FALSE(log.contains("/" + after + "/after.mp4")) << log.toStdString();
    EXPECT_EQ(run.stop(), 0);
}

// Without a source folder nothing is scanned and no dated folder appears where the player started.
TEST(DaysE2E, WithoutASourceFolderNoFolderIsMadeAnywhere) {
    PlayerRun run;
    const QStringList before = QDir(run.root.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
    run.env.insert("VORNPLAYER_LOG_REPEAT_INTERVAL_MS", "0");  // every poll's line, none folded
    run.start();
    ASSERT_TRUE(run.waitForLog("] No source folder is set: nothing to play\n", 15000)) << run.log().toStdString();
    // Several polls go by.
    ASSERT_TRUE(run.waitForLog("] start polling....\n"));
    EXPECT_TRUE(test::waitUntil([&] { return run.log().count("] start polling....\n") >= 4; }, 15000, 100));
    EXPECT_EQ(QDir(run.root.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), before);
    EXPECT_EQ(run.log().count("] No source folder is set: nothing to play\n"), 1);
    EXPECT_FALSE(run.log().contains("Will execute"));
    EXPECT_EQ(run.stop(), 0);
}

}  // namespace
