// The real player on real mounts, each in a private mount namespace of the player's own, so that
// nothing is mounted where this test or anyone else on the machine would see it: a share that
// stops answering (the stallfs helper), and a removable volume under /media/USER/LABEL.
#include "e2e/PlaybackFixture.h"
#include "e2e/PrivateMounts.h"
#include "e2e/ScreenWatch.h"

#include "DesktopStandIns.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QThread>

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <iostream>

#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

using test::PlaybackE2E;
using test::ended;
using test::kMountFailed;
using test::nextItemTimes;
using test::startInOwnNamespace;
using test::whyNoPrivateMounts;

const QString kUnavailable = QStringLiteral("] source folder unavailable since ");
const QString kAvailableAgain = QStringLiteral("] source folder available again after ");
const QString kVeryBad = QStringLiteral("scanFolderForNewItems... VERY BAD....");

// The stallfs tripwire that hangs the share at the player's next look at the source folder.
const QByteArray kAtNextLook = "at getattr /";

// Looks every 25 ms: often enough for the timings measured here, seldom enough to leave the player its CPU.
bool waitUntil(const std::function<bool()>& condition, int timeoutMs) { return test::waitUntil(condition, timeoutMs, 25); }

// What --status --json says of the source folder, asked of the player running in `run`.
QJsonObject sourceFolderStatus(const test::PlayerRun& run) { return run.statusJson().value("sourceFolder").toObject(); }

// The whole --status --json answer, and the --status answer for a person.
QJsonObject statusAnswer(const test::PlayerRun& run) { return run.statusJson(); }

QString statusText(const test::PlayerRun& run) {
    QProcess p;
    p.setProcessEnvironment(run.env);
    p.start(QStringLiteral(VORNPLAYER_EXE), {"--status"});
    if (!p.waitForFinished(10000)) p.kill();
    return QString::fromUtf8(p.readAllStandardOutput());
}

// A process that is gone or has ended and only waits to be reaped by whoever adopted it.
bool processEnded(qint64 pid) {
    const QByteArray stat = test::readAll(QString("/proc/%1/stat").arg(pid));
    if (stat.isEmpty()) return true;
    const qsizetype close = stat.lastIndexOf(')');
    return close < 0 || stat.mid(close + 2, 1) == "Z";
}

bool mountedHere(const QString& path) { return test::mountedAt(path); }

// The player's source folder is a stallfs mount of a backing folder that this test fills; the
// share hangs while the control file exists.
class HangingShareE2E : public PlaybackE2E {
protected:
    void SetUp() override {
        PlaybackE2E::SetUp();
        if (!QFileInfo(stallfs).isExecutable()) GTEST_SKIP() << "the stallfs helper was not built (no libfuse3)";
        // The scans are counted by their missing-folder line: every repetition is written.
        run.env.insert("VORNPLAYER_LOG_REPEAT_INTERVAL_MS", "0");
        if (!QFileInfo::exists("/dev/fuse")) GTEST_SKIP() << "no /dev/fuse here";
        const QString why = whyNoPrivateMounts();
        if (!why.isEmpty()) GTEST_SKIP() << why.toStdString();
        backing = run.root.filePath("backing");
        mountPoint = run.root.filePath("share");
        control = run.root.filePath("share-hangs");
        ready = run.root.filePath("stallfs.pid");
        events = run.root.filePath("stallfs.events");
        QDir().mkpath(backing + "/day");
        QDir().mkpath(mountPoint);
        source = mountPoint;
        daily = backing + "/day";  // where addClip puts files: the share's today's folder
    }

    void TearDown() override {
        // stallfs ends with the player (and lets go of every waiting call as it does).
        QFile::remove(control);
        if (run.process && run.process->state() != QProcess::NotRunning) {
            run.process->kill();
            run.process->waitForFinished();
        }
        if (stallfsPid > 0) {
            EXPECT_TRUE(waitUntil([this] { return processEnded(stallfsPid); }, 10000)) << "stallfs still runs";
        }
        EXPECT_FALSE(mountedHere(mountPoint));
    }

    // Starts the player on the mounted share; false where mounting failed (or took too long).
    // Given a file for the player's number, the shell that holds the namespace and stallfs starts
    // the player and outlives it, so that a launch after the player was killed sees the same
    // share (through nsenter into the shell's namespace).
    bool startOnShare(const QStringList& playerArgs, const QString& playerPidFile = {}) {
        QString prelude = R"(fs="$1" backing="$2" control="$3" mnt="$4" ready="$5" events="$6" pidfile="$7"
shift 7
"$fs" "$backing" "$control" "$mnt" --ready "$ready" --events "$events" &
child=$!
while [ ! -s "$ready" ]; do
    kill -0 "$child" 2>/dev/null || exit "$MOUNT_FAILED"
    sleep 0.05
done)";
        if (!playerPidFile.isEmpty()) prelude += "\n\"$@\" &\necho $! > \"$pidfile\"\nwait\nexit 0";
        startInOwnNamespace(run, prelude, {stallfs, backing, control, mountPoint, ready, events, playerPidFile}, playerArgs);
        const bool mounted = waitUntil(
            [this] { return QFileInfo(ready).size() > 0 || ended(*run.process); }, 20000);
        if (!mounted || QFileInfo(ready).size() == 0) {
            run.process->waitForFinished(1000);
            return false;
        }
        stallfsPid = test::readAll(ready).trimmed().toLongLong();
        return true;
    }

    // The share hangs now, or from the first call that matches a tripwire ("at OP PATH") on. The
    // control file appears whole, so that stallfs never reads half of it.
    void hang(const QByteArray& tripwire = {}) {
        ASSERT_TRUE(test::writeAll(control + ".new", tripwire));
        ASSERT_TRUE(std::rename(QFile::encodeName(control + ".new").constData(), QFile::encodeName(control).constData()) == 0);
    }
    void answer() { ASSERT_TRUE(QFile::remove(control)); }

    const QString stallfs = QStringLiteral(VORN_TEST_HELPERS "/stallfs");
    QString backing, mountPoint, control, ready, events;
    qint64 stallfsPid = 0;
};

// A share that stops answering costs the screen nothing but new items: the picture stays, the
// log (and the light) says so within the 5 s of one look, the player looks again every 2 s
// without spinning, the first look that gets an answer resumes playback, and quitting while the
// share hangs is as quick as ever.
TEST_F(HangingShareE2E, AHungShareHoldsThePictureAndPlaybackResumesWhenItAnswers) {
    addClip("a.mp4", 300);
    addClip("b.mp4", 200);
    addClip("c.mp4", 100);
    // Without local copies: what the screen does when the share alone has the files.
    if (!startOnShare(args(3, 1) << "-prefLocalCopiesMaxBytes" << "0")) {
        GTEST_SKIP() << "mounting stallfs in a private mount namespace failed (exit status "
                     << run.process->exitCode() << ")";
    }
    ASSERT_TRUE(waitForNextItems(3)) << run.log().toStdString();
    ASSERT_TRUE(run.log().contains("] Need to play nextItem at: " + QUrl::fromLocalFile(mountPoint + "/day/").toString()));
    ASSERT_FALSE(run.log().contains(kUnavailable));
    ASSERT_FALSE(run.log().contains(kVeryBad));

    // The share hangs from the player's next look at the source folder on: by then the item under
    // way has been read, as a short clip is read whole when it is opened.
    const qsizetype playedBeforeHang = nextItems().size();
    QElapsedTimer hung;
    hung.start();
    hang(kAtNextLook);
    ASSERT_TRUE(run.waitForLog(kUnavailable, 20000)) << run.log().right(3000).toStdString();
    const qint64 toUnavailable = hung.elapsed();
    std::cout << "[ measured ] the log said unavailable " << toUnavailable << " ms after the share hung\n";
    EXPECT_LE(toUnavailable, 5500);

    // It keeps looking at the share, every 2 s and no faster, and plays nothing new while the
    // share hangs: at most the item that was under way when it hung was announced.
    const auto looks = [&] { return test::readAll(events).count("stalled getattr /\n"); };
    const qsizetype looksBefore = looks();
    ASSERT_TRUE(waitUntil([&] { return looks() >= looksBefore + 3; }, 20000)) << run.log().right(4000).toStdString();
    const double hungSeconds = hung.elapsed() / 1000.0;
    EXPECT_FALSE(ended(*run.process));
    EXPECT_LE(nextItems().size(), playedBeforeHang + 1) << nextItems().join(' ').toStdString();
    EXPECT_LE(looks(), hungSeconds / 2 + 2) << "looked " << looks() << " times in " << hungSeconds << " s";
    EXPECT_EQ(run.log().count(kUnavailable), 1);
    EXPECT_TRUE(test::readAll(events).contains("stalled getattr /\n"));
    // The status answer says what the light and the log say.
    const QJsonObject whileHung = sourceFolderStatus(run);
    EXPECT_EQ(whileHung.value("available"), QJsonValue(false));
    EXPECT_EQ(whileHung.value("state").toString(), "not answering");

    // The share answers again: the next look finds it, and new items play.
    const qsizetype playedWhileHung = nextItems().size();
    QElapsedTimer back;
    back.start();
    answer();
    ASSERT_TRUE(run.waitForLog(kAvailableAgain, 20000)) << run.log().right(3000).toStdString();
    const qint64 toAvailable = back.elapsed();
    ASSERT_TRUE(waitForNextItems(playedWhileHung + 2, 20000)) << run.log().right(3000).toStdString();
    const qint64 toPlaying = back.elapsed();
    std::cout << "[ measured ] available again after " << toAvailable << " ms, two new items after " << toPlaying
              << " ms\n";
    EXPECT_LE(toAvailable, 10000);
    EXPECT_EQ(run.log().count(kAvailableAgain), 1);
    EXPECT_EQ(sourceFolderStatus(run).value("available"), QJsonValue(true));

    // It hangs again, and the player is told to quit while its calls wait in the share.
    hang(kAtNextLook);
    ASSERT_TRUE(waitUntil([&] { return run.log().count(kUnavailable) >= 2; }, 20000)) << run.log().right(3000).toStdString();
    QElapsedTimer quitting;
    quitting.start();
    const int status = run.stop();
    const qint64 quitMs = quitting.elapsed();
    std::cout << "[ measured ] quit with status " << status << " after " << quitMs << " ms while the share hung\n";
    EXPECT_EQ(status, 0);
    EXPECT_LE(quitMs, 1500);
    EXPECT_TRUE(run.log().contains("applicationWillTerminate:..."));
}

// The share stops answering just as the player opens the next file: the item does not end while
// it hangs, yet the log and the light say so within 5 s; playback goes on once the share answers.
TEST_F(HangingShareE2E, AShareThatHangsWhileAFileOpensIsNoticed) {
    addClip("a.mp4", 300);
    addClip("b.mp4", 200);
    addClip("c.mp4", 100);
    if (!startOnShare(args(3, 1) << "-prefLocalCopiesMaxBytes" << "0")) {
        GTEST_SKIP() << "mounting stallfs in a private mount namespace failed";
    }
    ASSERT_TRUE(waitForNextItems(3)) << run.log().toStdString();

    hang("at open /day/*");
    ASSERT_TRUE(waitUntil([&] { return test::readAll(events).contains("tripped open /day/"); }, 20000));
    QElapsedTimer hung;
    hung.start();
    EXPECT_TRUE(run.waitForLog(kUnavailable, 5500)) << "nothing said " << hung.elapsed() << " ms into the hang";

    // While the next file does not open, --status says that it opens, never that anything plays.
    QJsonObject current;
    EXPECT_TRUE(waitUntil([&] {
        current = statusAnswer(run).value("currentItem").toObject();
        return current.value("state").toString() == "opening";
    }, 5000)) << QJsonDocument(current).toJson().toStdString();
    const QString opening = current.value("path").toString();
    QElapsedTimer asked;
    asked.start();
    while (asked.elapsed() < 3000) {
        const QJsonObject now = statusAnswer(run).value("currentItem").toObject();
        ASSERT_EQ(now.value("state").toString(), "opening") << QJsonDocument(now).toJson().toStdString() << run.log().right(5000).toStdString();
        ASSERT_EQ(now.value("path").toString(), opening);
        const QString text = statusText(run);
        ASSERT_FALSE(text.contains("\nPlaying:")) << text.toStdString();
        ASSERT_TRUE(text.contains("\nOpening:        " + opening + " (for ")) << text.toStdString() << run.log().right(5000).toStdString();
        ASSERT_TRUE(text.contains("(not available: not answering)")) << text.toStdString();
    }

    const qsizetype played = nextItems().size();
    answer();
    EXPECT_TRUE(waitForNextItems(played + 2, 20000)) << run.log().right(3000).toStdString();
    EXPECT_EQ(run.stop(), 0);
}

// With local copies the share may hang for as long as it likes: the items go on at their pace
// from the copies, the light and the status say where they come from, a file that lands during
// the hang plays once the share answers, and a restart while it hangs plays the last queue from
// the copies within 3 s of the first poll.
TEST_F(HangingShareE2E, WithLocalCopiesTheItemsGoOnThroughAHangAndARestart) {
    addClip("a.mp4", 300);
    addClip("b.mp4", 200);
    addClip("c.mp4", 100);
    const QStringList playerArgs = args(3, 1) << "-prefLocalCopiesBytesPerSecond" << "0";
    if (!startOnShare(playerArgs)) GTEST_SKIP() << "mounting stallfs in a private mount namespace failed";
    ASSERT_TRUE(waitForNextItems(3)) << run.log().toStdString();
    const auto copiesStatus = [this] { return run.statusJson(); };
    ASSERT_TRUE(waitUntil([&] { return copiesStatus().value("localCopies").toObject().value("count").toInt() == 3; }, 20000));

    // A share that would hang at the next open of a file: the items open their copies, not it.
    const qsizetype beforeOpen = nextItems().size();
    hang("at open /day/*");
    ASSERT_TRUE(waitForNextItems(beforeOpen + 4, 20000)) << run.log().right(3000).toStdString();
    EXPECT_FALSE(test::readAll(events).contains("tripped open")) << test::readAll(events).toStdString();
    answer();

    // The share hangs for every call from now on.
    QElapsedTimer hung;
    hung.start();
    const qsizetype before = nextItems().size();
    hang();
    ASSERT_TRUE(run.waitForLog(kUnavailable, 20000)) << run.log().right(3000).toStdString();
    const qint64 toRed = hung.elapsed();
    ASSERT_TRUE(run.waitForLog("Playing from local copies", 20000)) << run.log().right(3000).toStdString();
    addClip("d.mp4", 0);  // lands on the share while it hangs
    ASSERT_TRUE(waitForNextItems(before + 10, 40000)) << run.log().right(3000).toStdString();
    const QJsonObject whileHung = copiesStatus();
    EXPECT_EQ(whileHung.value("sourceFolder").toObject().value("state").toString(), "not answering");
    EXPECT_EQ(whileHung.value("localCopies").toObject().value("playingFrom").toString(), "copies");
    EXPECT_EQ(whileHung.value("currentItem").toObject().value("fromLocalCopy"), QJsonValue(true));
    const QList<QDateTime> times = nextItemTimes(run.log()).mid(before + 1);
    qint64 longest = 0;
    for (int i = 1; i < times.size(); ++i) longest = std::max(longest, times[i - 1].msecsTo(times[i]));
    std::cout << "[ measured ] red " << toRed << " ms into the hang; " << times.size()
              << " items in the hang, at most " << longest << " ms apart\n";
    EXPECT_LE(toRed, 5500);
    EXPECT_LE(longest, 2500) << "1 s clips";
    EXPECT_FALSE(nextItems().contains("d.mp4"));

    // It answers: green again, and the file that landed meanwhile is the next new item.
    QElapsedTimer back;
    back.start();
    answer();
    ASSERT_TRUE(run.waitForLog(kAvailableAgain, 20000)) << run.log().right(3000).toStdString();
    const qint64 toGreen = back.elapsed();
    ASSERT_TRUE(run.waitForLog("Playing from the source folder again", 20000)) << run.log().right(3000).toStdString();
    ASSERT_TRUE(waitUntil([&] { return nextItems().contains("d.mp4"); }, 20000)) << run.log().right(3000).toStdString();
    std::cout << "[ measured ] green " << toGreen << " ms after the share answered, d.mp4 decided after " << back.elapsed()
              << " ms\n";
    EXPECT_LE(toGreen, 5500);
    ASSERT_TRUE(waitUntil([&] { return copiesStatus().value("localCopies").toObject().value("count").toInt() == 4; }, 20000));
    EXPECT_EQ(run.stop(), 0);

    // A restart while the share hangs from the first look on.
    if (stallfsPid > 0) {
        ASSERT_TRUE(waitUntil([this] { return processEnded(stallfsPid); }, 10000));
    }
    QFile::remove(ready);
    QFile::remove(run.logPath());
    hang();
    if (!startOnShare(playerArgs)) GTEST_SKIP() << "mounting stallfs again failed";
    ASSERT_TRUE(run.waitForLog("Playing from local copies", 20000)) << run.log().right(3000).toStdString();
    ASSERT_TRUE(run.waitForLog("first av item", 20000)) << run.log().right(3000).toStdString();
    const qint64 toFirstItem = run.firstItemAfterFirstPollMs();
    std::cout << "[ measured ] restarted on a hung share: the first item " << toFirstItem << " ms after the first poll\n";
    EXPECT_LE(toFirstItem, 3000);
    ASSERT_TRUE(waitForNextItems(3, 20000)) << run.log().right(3000).toStdString();
    EXPECT_EQ(copiesStatus().value("sourceFolder").toObject().value("available"), QJsonValue(false));
    EXPECT_EQ(copiesStatus().value("currentItem").toObject().value("fromLocalCopy"), QJsonValue(true));
    answer();
    EXPECT_EQ(run.stop(), 0);
}

// The share hangs while an item opened from it plays (a file too big for the copies), once early
// in the item and once just before its end: mpv holds on to that file, and the next items play
// from their copies in a new player. Watched on a screen of the test's own, the picture never
// stands still longer than one item and a second; once the share answers, its file plays again.
TEST_F(HangingShareE2E, AHangDuringAnItemFromTheShareCostsTheScreenAtMostThatItem) {
    const std::unique_ptr<test::OwnXServer> screen = test::watchableScreen();
    if (!screen) GTEST_SKIP() << "needs Xvfb and ffmpeg";
    screen->showPlayerHere(run.env);
    constexpr double kClipSeconds = 3.0;
    addFile("a.mp4", test::readAll(test::clip(kClipSeconds, true, "1920x1080")), 300);
    addFile("b.mp4", test::readAll(test::clip(kClipSeconds, false)), 200);
    addFile("c.mp4", test::readAll(test::clip(kClipSeconds, false)), 100);
    const qint64 twoCopies = QFileInfo(daily + "/b.mp4").size() + QFileInfo(daily + "/c.mp4").size();
    const qint64 limit = twoCopies + 64 * 1024;
    ASSERT_GT(QFileInfo(daily + "/a.mp4").size(), limit) << "a.mp4 must never have a copy";
    const QStringList playerArgs = args(3, 1) << "-prefLocalCopiesBytesPerSecond" << "0"
                                              << "-prefLocalCopiesMaxBytes" << QString::number(limit);
    if (!startOnShare(playerArgs)) GTEST_SKIP() << "mounting stallfs in a private mount namespace failed";
    ASSERT_TRUE(waitUntil([&] { return run.statusJson().value("localCopies").toObject().value("count").toInt() == 2; },
                          30000)) << QJsonDocument(run.statusJson()).toJson().toStdString();

    const auto aFromTheShare = [&] {
        const QJsonObject current = run.statusJson().value("currentItem").toObject();
        return current.value("path").toString().endsWith("/a.mp4") && current.value("state").toString() == "playing" &&
               current.value("fromLocalCopy") == QJsonValue(false);
    };
    qint64 longest = 0;
    int rounds = 0;
    for (const int hangAfterMs : {500, 2300}) {
        ++rounds;
        // Until a.mp4 is over and the picture moves again: nothing of the earlier round is watched.
        ASSERT_TRUE(waitUntil([&] { return !aFromTheShare(); }, 20000));
        ASSERT_TRUE(waitUntil(aFromTheShare, 30000)) << run.log().right(3000).toStdString();
        QElapsedTimer playing;
        playing.start();
        test::StillPictureWatch watch(*screen);
        while (playing.elapsed() < hangAfterMs) QThread::msleep(10);  // the moment the share stops answering
        hang();
        const qsizetype before = nextItems().size();
        // Three items from the copies while it hangs, then it answers.
        ASSERT_TRUE(waitForNextItems(before + 3, 30000)) << run.log().right(4000).toStdString();
        const qint64 still = watch.stop();
        std::cout << "[ measured ] a hang " << hangAfterMs << " ms into a " << kClipSeconds
                  << " s item from the share: the picture stood still for at most " << still << " ms\n";
        EXPECT_GE(still, 0) << "the screen was not watched";
        longest = std::max(longest, still);
        answer();
        ASSERT_TRUE(waitUntil([&] { return run.log().count(kAvailableAgain) >= rounds; }, 20000))
            << run.log().right(3000).toStdString();
    }
    EXPECT_LE(longest, static_cast<qint64>(kClipSeconds * 1000) + 1000);
    // At least one round caught mpv holding on to the share's file.
    EXPECT_TRUE(run.log().contains("mpv hangs on a file that does not answer")) << run.log().right(4000).toStdString();
    // Each player that hung is let go once the share answers; the player plays on and quits as ever.
    ASSERT_TRUE(waitUntil([&] { return run.log().count("A player that hung on its share was let go") ==
                                       run.log().count("mpv hangs on a file that does not answer"); },
                          20000)) << run.log().right(4000).toStdString();
    ASSERT_TRUE(waitUntil(aFromTheShare, 30000)) << run.log().right(3000).toStdString();
    EXPECT_EQ(run.stop(), 0);
}

// Whether the thread's (or the main thread's) /proc stat line says it is in this state.
bool inState(const QString& statPath, char state) {
    const QByteArray stat = test::readAll(statPath);
    return !stat.isEmpty() && stat.mid(stat.lastIndexOf(')') + 2, 1) == QByteArray(1, state);
}

// The live processes of the player that use this runtime folder.
int livePlayers(const QString& runtime) {
    const QString player = QFileInfo(VORNPLAYER_EXE).canonicalFilePath();
    const QByteArray ours = "XDG_RUNTIME_DIR=" + QFile::encodeName(runtime);
    int live = 0;
    for (const QString& pid : QDir("/proc").entryList({"[0-9]*"}, QDir::Dirs)) {
        const QString proc = "/proc/" + pid;
        if (QFileInfo(proc + "/exe").canonicalFilePath() != player) continue;
        if (test::readAll(proc + "/environ").split('\0').contains(ours) && !inState(proc + "/stat", 'Z')) ++live;
    }
    return live;
}

// Killed while a thread of it waits in a read of the hung share, the player stays a zombie that
// holds the single-instance lock. A launch beside it takes over: it says so, shows the copies
// within 3 s of its first poll, and is the one player that runs once the share answers and the
// zombie ends.
TEST_F(HangingShareE2E, ALaunchTakesOverFromAPlayerKilledInAHungSharesRead) {
    const std::unique_ptr<test::OwnXServer> screen = test::watchableScreen();
    if (screen) screen->showPlayerHere(run.env);
    addClip("a.mp4", 300);
    addClip("b.mp4", 200);
    addClip("c.mp4", 100);
    const QStringList playerArgs = args(3, 1) << "-prefLocalCopiesBytesPerSecond" << "0";
    const QString pidFile = run.root.filePath("player.pid");
    if (!startOnShare(playerArgs, pidFile)) GTEST_SKIP() << "mounting stallfs in a private mount namespace failed";
    ASSERT_TRUE(waitUntil([&] { return QFileInfo(pidFile).size() > 0; }, 10000));
    const QString old = QString::fromLatin1(test::readAll(pidFile).trimmed());
    ASSERT_TRUE(waitUntil([&] { return run.statusJson().value("localCopies").toObject().value("count").toInt() == 3; }, 30000));

    // A file lands, and the share hangs at the first read of a file in it: the look at the new file.
    hang("at read /day/*");
    addClip("d.mp4", 0);
    ASSERT_TRUE(waitUntil([&] { return test::readAll(events).contains("tripped read /day/d.mp4"); }, 20000));
    ASSERT_TRUE(run.waitForLog("Playing from local copies", 20000)) << run.log().right(3000).toStdString();
    ASSERT_TRUE(waitUntil([&] { return run.statusJson().value("currentItem").toObject().value("fromLocalCopy").toBool(); }, 10000));
    ::kill(static_cast<pid_t>(old.toLongLong()), SIGKILL);
    ASSERT_TRUE(waitUntil([&] { return inState("/proc/" + old + "/stat", 'Z'); }, 10000));
    const QByteArray lockPath = QFile::encodeName(run.root.filePath("run/org.vorn.VornPlayer.lock"));
    const int lockFd = open(lockPath.constData(), O_RDONLY | O_CLOEXEC);
    EXPECT_NE(flock(lockFd, LOCK_EX | LOCK_NB), 0) << "the killed player no longer holds the lock";
    close(lockFd);
    std::unique_ptr<test::StillPictureWatch> picture = screen ? std::make_unique<test::StillPictureWatch>(*screen) : nullptr;
    if (picture) {
        ASSERT_TRUE(waitUntil([&] { return picture->stillNow() >= 500; }, 10000)) << "the killed player's picture moves";
    }

    QFile::remove(run.logPath());
    QProcess next;
    next.setProcessEnvironment(run.env);
    next.setProcessChannelMode(QProcess::ForwardedChannels);
    next.start("nsenter", QStringList{"-t", QString::number(run.process->processId()), "-m", "--", VORNPLAYER_EXE} + playerArgs);
    ASSERT_TRUE(next.waitForStarted());
    ASSERT_TRUE(run.waitForLog("first av item", 20000)) << run.log().toStdString();
    const qint64 toFirstItem = run.firstItemAfterFirstPollMs();
    EXPECT_LE(toFirstItem, 3000);
    const QRegularExpression takeover("^W \\[[^]]*\\] Took over as the running instance from process " + old +
                                      ", which holds the single-instance lock but no longer runs: its main thread has "
                                      "ended \\(state Z\\); threads left: \\d+, of which in uninterruptible wait "
                                      "\\(state D\\): [1-9]\\d*$",
                                      QRegularExpression::MultilineOption);
    EXPECT_TRUE(run.log().contains(takeover)) << run.log().left(2000).toStdString();
    if (picture) {
        EXPECT_TRUE(waitUntil([&] { return picture->stillNow() == 0; }, 5000)) << "no picture moves after the takeover";
        std::cout << "[ measured ] the picture moves " << run.logTimeOf("start polling").msecsTo(QDateTime::currentDateTime())
                  << " ms after the first poll\n";
    }
    std::cout << "[ measured ] took over from a zombie: the first item " << toFirstItem << " ms after the first poll\n";
    ASSERT_TRUE(waitForNextItems(3, 20000)) << run.log().right(3000).toStdString();
    EXPECT_EQ(run.statusJson().value("pid").toInteger(), next.processId());
    EXPECT_EQ(run.statusJson().value("currentItem").toObject().value("fromLocalCopy"), QJsonValue(true));
    run.executable = QStringLiteral(VORNPLAYER_EXE);  // beside it, outside the namespace
    auto beside = run.launch();
    ASSERT_TRUE(beside->waitForFinished(15000));
    EXPECT_EQ(beside->exitCode(), 0);

    // The share answers: the zombie's reads end and so does it; one player runs, the new one.
    answer();
    EXPECT_TRUE(waitUntil([&] { return !QFileInfo::exists("/proc/" + old); }, 20000));
    EXPECT_EQ(livePlayers(run.root.filePath("run")), 1);
    EXPECT_FALSE(ended(next));
    next.terminate();
    ASSERT_TRUE(next.waitForFinished(15000));
    EXPECT_EQ(next.exitCode(), 0);
}

// A restart while the share hangs, on a real X screen: the launch check waits on the share
// with its panel up, yet the middle third of the screen shows the video from the local copies
// within 3 s of the first poll; the panel stands at the top edge.
TEST_F(HangingShareE2E, ARestartDuringAHangLeavesTheMiddleOfTheScreenToTheVideo) {
    for (const char* tool : {"Xvfb", "ffmpeg", "xwininfo"}) {
        if (QStandardPaths::findExecutable(tool).isEmpty()) GTEST_SKIP() << "needs " << tool;
    }
    addClip("a.mp4", 300);
    addClip("b.mp4", 200);
    addClip("c.mp4", 100);
    const QStringList playerArgs = args(3, 1) << "-prefLocalCopiesBytesPerSecond" << "0" << "-prefDoShowMenuBar" << "NO";
    if (!startOnShare(playerArgs)) GTEST_SKIP() << "mounting stallfs in a private mount namespace failed";
    ASSERT_TRUE(waitUntil([&] { return run.statusJson().value("localCopies").toObject().value("count").toInt() == 3; }, 30000))
        << run.log().right(3000).toStdString();
    EXPECT_EQ(run.stop(), 0);
    if (stallfsPid > 0) {
        ASSERT_TRUE(waitUntil([this] { return processEnded(stallfsPid); }, 10000));
    }

    // Again, on a screen of the test's own where the player draws its pictures, with the share
    // hanging from the first look on.
    const test::OwnXServer x("640x480");
    if (x.display.isEmpty()) GTEST_SKIP() << "Xvfb did not start";
    x.showPlayerHere(run.env);
    QFile::remove(ready);
    QFile::remove(run.logPath());
    hang();
    if (!startOnShare(playerArgs)) GTEST_SKIP() << "mounting stallfs again failed";
    ASSERT_TRUE(run.waitForLog("] start polling", 20000)) << run.log().right(3000).toStdString();
    const QDateTime firstPoll = run.logTimeOf("] start polling");

    // The first grab whose middle third is the coloured test pattern, which then moves on.
    const QRect centre = test::centreThird(QSize(640, 480));
    QImage shot;
    ASSERT_TRUE(waitUntil([&] {
        shot = x.grab();
        return test::colouredShareOfCentre(shot) > 0.8;
    }, 20000)) << "the middle of the screen never showed the video; " << run.log().right(3000).toStdString();
    const qint64 toVideo = firstPoll.msecsTo(QDateTime::currentDateTime());
    std::cout << "[ measured ] the middle third showed the video " << toVideo << " ms after the first poll (first item after "
              << run.firstItemAfterFirstPollMs() << " ms)\n";
    EXPECT_LE(toVideo, 3000);
    EXPECT_TRUE(waitUntil([&] { return x.grab().copy(centre) != shot.copy(centre); }, 5000)) << "the picture stood still";

    // The launch check still waits on the share: its panel is up, in a corner at the top edge.
    EXPECT_FALSE(run.log().contains("validate2  FAILED?????"));
    QList<QRect> panels;
    EXPECT_TRUE(waitUntil([&] {
        panels = x.windowsNamed("VornPlayer");
        panels.removeIf([](const QRect& w) { return w.size() == QSize(640, 480); });
        return panels.size() == 1;
    }, 5000)) << panels.size() << " windows besides the player's";
    for (const QRect& panel : panels) {
        EXPECT_LE(panel.top(), 16);
        EXPECT_FALSE(panel.intersects(centre));
        EXPECT_LT(shot.pixelColor(panel.left() + 8, panel.center().y()).value(), 140) << "the panel is not drawn there";
    }

    answer();
    EXPECT_EQ(run.stop(), 0);
}

// A share that answers looks but hangs every open of a file, and the copy of b damaged inside
// (same size, same time): that copy is dropped when b's turn comes, and b waits for its next turn
// rather than being opened on the share, so a and c play on from their copies.
TEST_F(HangingShareE2E, ADamagedCopyIsNotStoodInForByASourceThatHangsItsOpens) {
    addClip("a.mp4", 300);
    addClip("b.mp4", 200);
    addClip("c.mp4", 100);
    if (!startOnShare(args(3, 1) << "-prefLocalCopiesBytesPerSecond" << "0")) {
        GTEST_SKIP() << "mounting stallfs in a private mount namespace failed";
    }
    ASSERT_TRUE(waitForNextItems(3)) << run.log().toStdString();
    const auto copiesCount = [&] { return statusAnswer(run).value("localCopies").toObject().value("count").toInt(); };
    ASSERT_TRUE(waitUntil([&] { return copiesCount() == 3; }, 20000));
    const QString copies = run.root.filePath("cache/Vorn/VornPlayer");
    const QJsonObject index = QJsonDocument::fromJson(test::readAll(copies + "/copies.json")).object();
    QString copyOfB;
    for (const QJsonValue& entry : index.value("copies").toArray()) {
        if (entry.toObject().value("source").toString().endsWith("/day/b.mp4")) {
            copyOfB = copies + "/" + entry.toObject().value("name").toString();
        }
    }
    ASSERT_TRUE(test::damageInsideMediaData(copyOfB));
    const qsizetype before = nextItems().size();
    hang("at open /day/*");
    ASSERT_TRUE(run.waitForLog("/day/b.mp4 dropped, not played: damaged", 20000))
        << run.log().right(3000).toStdString();
    ASSERT_TRUE(waitForNextItems(before + 10, 30000)) << nextItems().mid(before).join(' ').toStdString();
    const QStringList items = nextItems().mid(before);
    const qint64 longest = test::longestGap(run.log(), before);
    std::cout << "[ measured ] with b's copy damaged and the share hanging opens: " << items.join(' ').toStdString()
              << "; announcements at most " << longest << " ms apart\n";
    EXPECT_FALSE(items.contains("b.mp4"));
    EXPECT_LE(longest, 7000) << "no longer than the share takes to count as not answering, and a clip";
    EXPECT_EQ(copiesCount(), 2);
    answer();
    EXPECT_EQ(run.stop(), 0);
}

// Every operator command, from the keyboard, while the share hangs: none of them waits on the share
// in the main thread (a look at it there breaks the thread contract, which aborts the player
// here), so the status answers, which the main thread gives, come at once throughout; and Reveal
// refuses the folder it cannot look at.
TEST_F(HangingShareE2E, OperatorCommandsDuringAHangNeverHoldTheWindow) {
    if (QStandardPaths::findExecutable("Xvfb").isEmpty() || QStandardPaths::findExecutable("xdotool").isEmpty()) {
        GTEST_SKIP() << "needs Xvfb and xdotool";
    }
    const test::OwnXServer x;
    if (x.display.isEmpty()) GTEST_SKIP() << "Xvfb did not start";
    const test::DesktopStandIns standIns;
    run.env.insert("DISPLAY", x.display);
    run.env.insert("QT_QPA_PLATFORM", "xcb");
    run.env.insert("PATH", standIns.path());
    run.env.insert("VORN_CONTRACTS", "abort");
    addClip("a.mp4", 300);
    addClip("b.mp4", 200);
    if (!startOnShare(args(3, 1) << "-prefDoShowMenuBar" << "NO")) GTEST_SKIP() << "mounting stallfs in a private mount namespace failed";
    ASSERT_TRUE(waitForNextItems(2)) << run.log().toStdString();
    hang();
    ASSERT_TRUE(run.waitForLog(kUnavailable, 20000)) << run.log().right(3000).toStdString();

    qint64 slowest = 0;
    // The status answer is asked for several times after each command: all answer, and soon.
    const auto answersAtOnce = [&](const QString& after) {
        for (int i = 0; i < 4; ++i) {
            QElapsedTimer asked;
            asked.start();
            const QJsonObject status = statusAnswer(run);
            slowest = std::max(slowest, asked.elapsed());
            if (status.value("sourceFolder").toObject().value("state").toString() != "not answering") {
                ADD_FAILURE() << "no answer after " << after.toStdString() << ": " << QJsonDocument(status).toJson().toStdString();
                return false;
            }
        }
        return !ended(*run.process);
    };
    const QStringList commands{"ctrl+r",       "ctrl+l", "ctrl+shift+o", "Escape", "ctrl+o",       "Escape",
                               "ctrl+comma",   "Escape", "ctrl+shift+m", "ctrl+shift+m", "ctrl+shift+l", "ctrl+shift+e"};
    for (const QString& keys : commands) {
        ASSERT_TRUE(x.typeKeys(keys)) << "no player window to type " << keys.toStdString() << " into";
        ASSERT_TRUE(answersAtOnce(keys)) << run.log().right(3000).toStdString();
    }
    // Reveal had its answer from a look with a deadline: a folder it could not look at is refused.
    EXPECT_TRUE(run.waitForLog("] User Needs to Select a Valid Existing Folder...", 5000)) << run.log().right(3000).toStdString();
    EXPECT_EQ(standIns.calls("xdg-open"), 0);
    EXPECT_TRUE(run.log().contains("ibTryToMountVolume:...")) << "Locate was not run";
    EXPECT_FALSE(run.log().contains("Contract broken"));
    std::cout << "[ measured ] the slowest status answer during the commands took " << slowest << " ms\n";
    EXPECT_LE(slowest, 1000);
    answer();
    EXPECT_EQ(run.stop(), 0);
}

// A volume the desktop mounts under /media/USER/LABEL: the player may make today's folder on it
// once it is mounted, and never on the root file system while it is not.
class MediaVolumeE2E : public PlaybackE2E {
protected:
    void SetUp() override {
        PlaybackE2E::SetUp();
        const QString why = whyNoPrivateMounts();
        if (!why.isEmpty()) GTEST_SKIP() << why.toStdString();
        if (!QFileInfo("/media").isDir()) GTEST_SKIP() << "no /media folder to mount over here";
        // The scans are counted by their missing-folder line: every repetition is written.
        run.env.insert("VORNPLAYER_LOG_REPEAT_INTERVAL_MS", "0");
        const passwd* pw = getpwuid(getuid());
        ASSERT_NE(pw, nullptr);
        user = QString::fromLocal8Bit(pw->pw_name);
        label = QString("VORN-TEST-%1-%2").arg(getpid()).arg(QRandomGenerator::global()->generate() % 100000);
        volume = "/media/" + user + "/" + label;
        source = volume + "/videos";
        ASSERT_FALSE(QFileInfo::exists(volume));
    }

    void TearDown() override {
        if (run.process && run.process->state() != QProcess::NotRunning) {
            run.process->kill();
            run.process->waitForFinished();
        }
        // Everything was made inside the player's own mounts, which went with it.
        EXPECT_FALSE(QFileInfo::exists(volume));
        EXPECT_FALSE(mountedHere(volume));
    }

    // /media becomes an empty tmpfs of the player's own, with the user's folder in it, as the
    // automounter leaves it; the volume is mounted at LABEL when asked.
    enum class Layout { Mounted, UserFolderOnly, LeftoverMountPoint };
    void startWithMedia(Layout layout, const QStringList& extraArgs = {}) {
        const QString prelude = R"(user="$1" label="$2" layout="$3"
shift 3
mount -t tmpfs -o size=16m vorn-test-media /media || exit "$MOUNT_FAILED"
mkdir -p "/media/$user"
case "$layout" in
mounted)
    mkdir "/media/$user/$label"
    mount -t tmpfs -o size=64m vorn-test-volume "/media/$user/$label" || exit "$MOUNT_FAILED"
    mkdir "/media/$user/$label/videos" ;;
leftover)
    mkdir -p "/media/$user/$label/videos" ;;
esac)";
        QStringList playerArgs{"-prefTamrinVideosFolder", source, "-prefRepeatListItemsCount", "3",
                               "-prefNewMovieRepeatLoopCount", "1"};
        playerArgs << extraArgs;
        const QString name = layout == Layout::Mounted ? "mounted" : layout == Layout::LeftoverMountPoint ? "leftover" : "none";
        startedAt = QDateTime::currentDateTime();
        startInOwnNamespace(run, prelude, {user, label, name}, playerArgs);
    }

    // Several scans find no folder to play from, and nothing was made for them to find.
    void expectNoStandIn() {
        ASSERT_TRUE(waitUntil([&] { return run.log().count(kVeryBad) >= 2 || run.log().contains("runCommand will execute: ") ||
                                           ended(*run.process); }, 30000))
            << run.log().toStdString();
        if (run.process->state() == QProcess::NotRunning && run.process->exitCode() == kMountFailed) {
            GTEST_SKIP() << "mounting a tmpfs in a private mount namespace failed";
        }
        ASSERT_EQ(run.process->state(), QProcess::Running) << run.log().toStdString();
        EXPECT_GE(run.log().count(kVeryBad), 2);
        EXPECT_FALSE(run.log().contains("runCommand will execute: ")) << run.log().toStdString();
        EXPECT_FALSE(run.log().contains("first av item"));
        for (const QString& name : {todaysName(startedAt), todaysName(QDateTime::currentDateTime())}) {
            EXPECT_FALSE(QFileInfo::exists(inPlayersView(source + "/" + name))) << name.toStdString();
        }
    }

    // A path as the player sees it, through its own mounts.
    QString inPlayersView(const QString& path) const {
        return QString("/proc/%1/root%2").arg(run.process->processId()).arg(path);
    }

    static QString todaysName(const QDateTime& now) { return now.addSecs(-3 * 3600).toString("yyyyMMdd"); }
    // Today's folder is made on the mounted volume, and a clip copied there plays.
    void expectTodaysFolderMadeAndItsClipPlays();

    QString user, label, volume;
    QDateTime startedAt;
};

TEST_F(MediaVolumeE2E, TodaysFolderIsMadeOnAMountedVolumeAndItsFilesPlay) {
    startWithMedia(Layout::Mounted);
    expectTodaysFolderMadeAndItsClipPlays();
}

// The volume's folder is named after nobody on this machine (a user from a directory service):
// the mount table alone says that the volume is mounted.
TEST_F(MediaVolumeE2E, TodaysFolderIsMadeOnAMountedVolumeInTheFolderOfAnUnknownUser) {
    user = "vorn-nobody-" + QString::number(getpid());
    ASSERT_EQ(getpwnam(user.toLocal8Bit().constData()), nullptr);
    volume = "/media/" + user + "/" + label;
    source = volume + "/videos";
    startWithMedia(Layout::Mounted);
    expectTodaysFolderMadeAndItsClipPlays();
}

void MediaVolumeE2E::expectTodaysFolderMadeAndItsClipPlays() {
    ASSERT_TRUE(waitUntil([&] { return run.log().contains("] start polling....") || ended(*run.process); }, 20000));
    if (run.process->state() == QProcess::NotRunning && run.process->exitCode() == kMountFailed) {
        GTEST_SKIP() << "mounting a tmpfs in a private mount namespace failed";
    }
    ASSERT_EQ(run.process->state(), QProcess::Running) << run.log().toStdString();

    // The first scans make today's folder on the volume and run the script in it.
    QString day;
    ASSERT_TRUE(waitUntil([&] {
        for (const QString& name : {todaysName(startedAt), todaysName(QDateTime::currentDateTime())}) {
            if (QFileInfo(inPlayersView(source + "/" + name)).isDir() &&
                run.log().contains("runCommand will execute: ") &&
                run.log().contains("\"" + source + "/" + name + "\" 3 *")) {
                day = name;
                return true;
            }
        }
        return false;
    }, 20000)) << run.log().toStdString();
    EXPECT_FALSE(run.log().contains(kVeryBad)) << run.log().toStdString();

    // A clip copied there plays.
    const QString clipPath = source + "/" + day + "/clip.mp4";
    ASSERT_TRUE(test::writeAll(inPlayersView(clipPath), test::readAll(test::clip(1.0))));
    {
        QFile f(inPlayersView(clipPath));
        ASSERT_TRUE(f.open(QIODevice::ReadWrite));
        f.setFileTime(QDateTime::currentDateTime().addSecs(-60), QFileDevice::FileModificationTime);
    }
    ASSERT_TRUE(run.waitForLog("] first av item[PlayerItem]", 20000)) << run.log().toStdString();
    ASSERT_TRUE(waitForNextItems(1));
    EXPECT_TRUE(run.log().contains("] Need to play nextItem at: " + QUrl::fromLocalFile(clipPath).toString() + "\n"));
    EXPECT_FALSE(run.log().contains(kVeryBad));
    EXPECT_FALSE(run.log().contains("Cannot play"));
    EXPECT_EQ(run.stop(), 0);
}

// The label's folder is missing, as the automounter leaves it once the volume is gone: neither
// the launch check (even where it may make a missing folder) nor the scans make the source folder.
TEST_F(MediaVolumeE2E, NoStandInIsMadeWhereTheVolumeIsNotMounted) {
    startWithMedia(Layout::UserFolderOnly, {"-prefDoAttemptToCreateFolderIfMissing", "YES"});
    expectNoStandIn();
    if (IsSkipped() || HasFatalFailure()) return;
    EXPECT_TRUE(QFileInfo(inPlayersView("/media/" + user)).isDir());
    EXPECT_FALSE(QFileInfo::exists(inPlayersView(volume)));
    ASSERT_TRUE(run.waitForLog("validate2  FAILED?????", 20000)) << run.log().toStdString();
    EXPECT_EQ(run.stop(), 0);
}

// A mount point left behind with the source folder in it, on the root file system: the source
// folder is there, but today's folder is not made in it.
TEST_F(MediaVolumeE2E, NoStandInIsMadeInALeftoverMountPoint) {
    startWithMedia(Layout::LeftoverMountPoint);
    expectNoStandIn();
    if (IsSkipped() || HasFatalFailure()) return;
    EXPECT_TRUE(QFileInfo(inPlayersView(source)).isDir());
    EXPECT_EQ(QDir(inPlayersView(source)).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList());
    EXPECT_EQ(run.stop(), 0);
}

}  // namespace
