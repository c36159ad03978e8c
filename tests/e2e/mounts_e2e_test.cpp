// The real player on a share that is a mount of its own, in a private mount namespace of the
// player's, so that nothing is mounted where this test or anyone else on the machine would see
// it: the share is unmounted under the running player, covered by another file system, today's
// folder on it blinks away for a moment, and the player starts again while the share is not
// mounted. None of it is a deletion: while the share is unmounted or covered the items go on from
// the local copies in their order, no copy is dropped, and nothing is made in the bare mount point
// or on the file system that covers it; a blink of today's folder leaves the cycle where it was.
#include "e2e/PlaybackFixture.h"
#include "e2e/PrivateMounts.h"
#include "e2e/ScreenWatch.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QHash>
#include <QJsonObject>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QSet>

#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <iostream>

#include <signal.h>

namespace {

using test::PlaybackE2E;
using test::ended;
using test::kMountFailed;
using test::longestGap;
using test::mountedAt;
using test::nextItemTimes;
using test::startInOwnNamespace;
using test::whyNoPrivateMounts;

const QString kAvailableAgain = QStringLiteral("] source folder available again after ");
const QString kCopyOfGoneSource = QStringLiteral("dropped, not played: its source is gone");
const QString kLeftTheRepeatList = QStringLiteral("Gone, left the repeat list");

// 1 s clips: an item follows the one before within its length and a second.
constexpr qint64 kLongestGapMs = 2500;

// How many lines of the log say that the source folder became unavailable for `why`.
qsizetype unavailableLines(const QString& log, const QString& why) {
    const QRegularExpression line("\\] source folder unavailable since [^\\n]* \\(" + QRegularExpression::escape(why) + "\\)\\n");
    qsizetype count = 0;
    for (auto it = line.globalMatch(log); it.hasNext(); it.next()) ++count;
    return count;
}

// Where the names stop going round one cycle, in which each name is always followed by the same
// one; empty while they go round it.
QString cycleBreak(const QStringList& names) {
    QHash<QString, QString> follower;
    QHash<QString, qsizetype> seenAt;
    for (qsizetype i = 1; i < names.size(); ++i) {
        const auto it = follower.constFind(names[i - 1]);
        if (it == follower.constEnd()) {
            follower.insert(names[i - 1], names[i]);
            seenAt.insert(names[i - 1], i);
        } else if (*it != names[i]) {
            return QString("item %1: %2 followed by %3, but by %4 at item %5")
                .arg(i)
                .arg(names[i - 1], names[i], *it)
                .arg(seenAt.value(names[i - 1]));
        }
    }
    return {};
}

// The player's source folder is the mount point of a bind mount of a backing folder that this
// test fills, mounted in the player's own mount namespace; the test unmounts, covers and mounts
// it again there through nsenter.
class MountedShareE2E : public PlaybackE2E {
protected:
    void SetUp() override {
        PlaybackE2E::SetUp();
        const QString why = whyNoPrivateMounts();
        if (!why.isEmpty()) GTEST_SKIP() << why.toStdString();
        // Whatever the player keeps of its own state stays in the run's folders.
        run.env.remove("XDG_STATE_HOME");
        backing = run.root.filePath("backing");
        mountPoint = run.root.filePath("share");
        QDir().mkpath(backing + "/day");
        QDir().mkpath(mountPoint);
        // The player shows its pictures on a screen of this test's own, where they are watched.
        screen = test::watchableScreen();
        if (screen) screen->showPlayerHere(run.env);
        source = mountPoint;
        daily = backing + "/day";  // where addClip puts files: the share's today's folder
    }

    void TearDown() override {
        if (run.process && run.process->state() != QProcess::NotRunning) {
            run.process->kill();
            run.process->waitForFinished();
        }
        if (mountPoint.isEmpty()) return;  // skipped before anything was made
        // The player's mounts went with its namespace; the bare mount point, which this test sees,
        // holds nothing that the player made there.
        EXPECT_FALSE(mountedAt(mountPoint));
        EXPECT_EQ(listed(mountPoint), "");
    }

    QStringList playerArgs() const { return args(3, 1) << "-prefLocalCopiesBytesPerSecond" << "0"; }

    // Starts the player on the share mounted in its namespace, or on the bare mount point; false
    // where mounting failed. Returns once the player polls.
    bool startPlayer(bool mounted) {
        const QString prelude = R"(backing="$1" mnt="$2" mounted="$3"
shift 3
if [ "$mounted" = yes ]; then
    mount --bind "$backing" "$mnt" || exit "$MOUNT_FAILED"
fi)";
        startInOwnNamespace(run, prelude, {backing, mountPoint, mounted ? "yes" : "no"}, playerArgs());
        const bool polling = test::waitUntil(
            [this] { return run.log().contains("] start polling") || ended(*run.process); }, 20000, 25);
        if (!polling || ended(*run.process)) {
            run.process->waitForFinished(1000);
            return false;
        }
        return true;
    }

    // Three clips on the share, and the player started on it mounted; skips where it cannot be.
    void startOnMountedShare() {
        addClip("a.mp4", 300);
        addClip("b.mp4", 200);
        addClip("c.mp4", 100);
        if (startPlayer(true)) return;
        if (run.process->exitCode() == kMountFailed) GTEST_SKIP() << "bind-mounting the share in a private mount namespace failed";
        FAIL() << "the player did not start (exit status " << run.process->exitCode() << ")\n" << run.log().toStdString();
    }

    qint64 playerPid() const { return run.process->processId(); }

    // Runs a command in the player's mount namespace; its exit status.
    int inPlayersNamespace(const QStringList& command) const {
        QStringList args{"-t", QString::number(playerPid()), "-m", "--"};
        args << command;
        return QProcess::execute("nsenter", args);
    }

    // Takes the top mount off the mount point in the player's namespace: a plain unmount, or a
    // lazy one where something of the player's still holds the file system.
    bool unmountInPlayersNamespace() const {
        if (inPlayersNamespace({"umount", mountPoint}) == 0) return true;
        std::cout << "[ measured ] umount " << mountPoint.toStdString() << " was refused; unmounting lazily\n";
        return inPlayersNamespace({"umount", "-l", mountPoint}) == 0;
    }

    static QStringList entriesOf(const QString& folder) {
        return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    }
    // A folder's entries by name, in order, for a message.
    static std::string listed(const QString& folder) { return entriesOf(folder).join(' ').toStdString(); }

    // The mount point as the player sees it, through its own mounts.
    QStringList mountPointInPlayersView() const {
        return entriesOf(QString("/proc/%1/root%2").arg(playerPid()).arg(mountPoint));
    }
    bool mountedInPlayersView() const { return mountedAt(mountPoint, QString("/proc/%1/mountinfo").arg(playerPid())); }

    QJsonObject sourceFolderStatus() const { return run.statusJson().value("sourceFolder").toObject(); }
    int copiesCount() const { return run.statusJson().value("localCopies").toObject().value("count").toInt(-1); }

    // What the status answers and the player's view of the mount point showed during an outage.
    struct Outage {
        QSet<QString> states;
        bool everAvailable = false;
        int fewestCopies = INT_MAX;
        int mostCopies = INT_MIN;
        QStringList madeInMountPoint;
        int looks = 0;
    };

    // Looks at the status and the mount point every 200 ms until `items` items have been
    // announced in all (at most `timeoutMs`).
    Outage watchOutageUntil(qsizetype items, int timeoutMs) {
        Outage seen;
        test::waitUntil(
            [&] {
                const QJsonObject status = run.statusJson();
                const QJsonObject folder = status.value("sourceFolder").toObject();
                seen.states.insert(folder.value("state").toString());
                if (folder.value("available") != QJsonValue(false)) seen.everAvailable = true;
                const int copies = status.value("localCopies").toObject().value("count").toInt(-1);
                seen.fewestCopies = std::min(seen.fewestCopies, copies);
                seen.mostCopies = std::max(seen.mostCopies, copies);
                for (const QString& name : mountPointInPlayersView()) {
                    if (!seen.madeInMountPoint.contains(name)) seen.madeInMountPoint += name;
                }
                ++seen.looks;
                return nextItems().size() >= items;
            },
            timeoutMs, 200);
        return seen;
    }

    // Checks an outage that was watched: the state said all along, the copies kept, nothing made.
    void expectHeldThrough(const Outage& seen, const QString& state) const {
        QStringList states = seen.states.values();
        states.sort();
        EXPECT_EQ(states.join(", ").toStdString(), state.toStdString());
        EXPECT_FALSE(seen.everAvailable);
        EXPECT_EQ(seen.fewestCopies, 3);
        EXPECT_EQ(seen.mostCopies, 3);
        EXPECT_EQ(seen.madeInMountPoint.join(' ').toStdString(), "");
        EXPECT_GE(seen.looks, 5);
    }

    // Waits for the source folder to be available again for the `count`th time; its time in ms.
    qint64 waitForAvailableAgain(qsizetype count, const QElapsedTimer& since) {
        if (!test::waitUntil([&] { return run.log().count(kAvailableAgain) >= count; }, 20000, 25)) return -1;
        return since.elapsed();
    }

    // Mounts the share again in the player's namespace, over a mount point left as it was: the
    // player takes it back, and nothing stray was made on the share.
    void mountAgain() {
        QElapsedTimer remounted;
        remounted.start();
        ASSERT_EQ(inPlayersNamespace({"mount", "--bind", backing, mountPoint}), 0);
        const qint64 toAvailable = waitForAvailableAgain(1, remounted);
        ASSERT_GE(toAvailable, 0) << run.log().right(3000).toStdString();
        std::cout << "[ measured ] mounted again: available " << toAvailable << " ms later\n";
        EXPECT_LE(toAvailable, 5500);
        EXPECT_EQ(sourceFolderStatus().value("available"), QJsonValue(true));
        EXPECT_EQ(listed(backing), "day");
    }

    // Watches the picture from now on; none without a screen of the test's own.
    std::unique_ptr<test::StillPictureWatch> watchPicture() const {
        return screen ? std::make_unique<test::StillPictureWatch>(*screen) : nullptr;
    }
    // The longest the picture stood still since the watch began: at most one clip and a second.
    static void expectPictureMoved(std::unique_ptr<test::StillPictureWatch>& watch, const char* what) {
        if (!watch) {
            std::cout << "[ measured ] " << what << ": the picture was not watched (no Xvfb or ffmpeg)\n";
            return;
        }
        const qint64 still = watch->stop();
        std::cout << "[ measured ] " << what << ": the picture stood still at most " << still << " ms\n";
        ASSERT_GE(still, 0) << "the screen could not be grabbed";
        EXPECT_LE(still, 2000) << what;
    }

    QString backing, mountPoint;
    std::unique_ptr<test::OwnXServer> screen;
};

// The share is unmounted under the running player, then covered by an empty file system: each
// time the log and the status say so within 5 s, the items go on from the copies at their pace,
// no copy is dropped, nothing is made where the share was, and the share is taken back as soon as
// it is there again. Then its today's folder is renamed away for a moment: no file leaves the
// repeat list, and through all three the items go round one cycle, each time where they were.
TEST_F(MountedShareE2E, AnUnmountedOrCoveredShareIsAnOutageAndTodaysFolderMayBlink) {
    startOnMountedShare();
    if (IsSkipped() || HasFatalFailure()) return;
    if (QProcess::execute("nsenter", {"-t", QString::number(playerPid()), "-m", "--", "true"}) != 0) {
        GTEST_SKIP() << "nsenter cannot enter the player's mount namespace here";
    }
    ASSERT_TRUE(mountedInPlayersView());
    ASSERT_TRUE(waitForNextItems(3)) << run.log().toStdString();
    ASSERT_TRUE(test::waitUntil([&] { return copiesCount() == 3; }, 20000, 200)) << run.log().right(3000).toStdString();
    ASSERT_EQ(sourceFolderStatus().value("available"), QJsonValue(true));

    std::unique_ptr<test::StillPictureWatch> picture = watchPicture();

    // a. The share is unmounted: a bare mount point that answers, empty.
    const qsizetype beforeUnmount = nextItems().size();
    QElapsedTimer unmounted;
    unmounted.start();
    ASSERT_TRUE(unmountInPlayersNamespace());
    ASSERT_FALSE(mountedInPlayersView());
    ASSERT_TRUE(test::waitUntil([&] { return unavailableLines(run.log(), "unmounted") >= 1; }, 20000, 25))
        << run.log().right(3000).toStdString();
    const qint64 toUnmounted = unmounted.elapsed();
    const Outage whileUnmounted = watchOutageUntil(beforeUnmount + 10, 30000);  // some 10 s of items
    ASSERT_GE(nextItems().size(), beforeUnmount + 10) << run.log().right(3000).toStdString();
    const qint64 gapUnmounted = longestGap(run.log(), beforeUnmount - 1);
    std::cout << "[ measured ] unmounted: said " << toUnmounted << " ms after the unmount; "
              << nextItems().size() - beforeUnmount << " items in " << unmounted.elapsed() << " ms, at most "
              << gapUnmounted << " ms apart; " << whileUnmounted.looks << " looks at the status\n";
    EXPECT_LE(toUnmounted, 5000);
    expectHeldThrough(whileUnmounted, "unmounted");
    EXPECT_LE(gapUnmounted, kLongestGapMs);
    EXPECT_FALSE(run.log().contains(kCopyOfGoneSource)) << run.log().right(3000).toStdString();
    EXPECT_EQ(listed(mountPoint), "");

    // It is mounted again.
    ASSERT_NO_FATAL_FAILURE(mountAgain());
    EXPECT_EQ(listed(daily), "a.mp4 b.mp4 c.mp4");

    // b. An empty file system covers the share.
    const qsizetype beforeCover = nextItems().size();
    QElapsedTimer covered;
    covered.start();
    ASSERT_EQ(inPlayersNamespace({"mount", "-t", "tmpfs", "-o", "size=1m", "vorn-cover", mountPoint}), 0);
    ASSERT_TRUE(test::waitUntil([&] { return unavailableLines(run.log(), "replaced") >= 1; }, 20000, 25))
        << run.log().right(3000).toStdString();
    const qint64 toReplaced = covered.elapsed();
    const Outage whileCovered = watchOutageUntil(beforeCover + 8, 30000);  // some 8 s of items
    ASSERT_GE(nextItems().size(), beforeCover + 8) << run.log().right(3000).toStdString();
    const qint64 gapCovered = longestGap(run.log(), beforeCover - 1);
    std::cout << "[ measured ] covered: said " << toReplaced << " ms after the cover; "
              << nextItems().size() - beforeCover << " items in " << covered.elapsed() << " ms, at most " << gapCovered
              << " ms apart; " << whileCovered.looks << " looks at the status\n";
    EXPECT_LE(toReplaced, 5000);
    expectHeldThrough(whileCovered, "replaced");
    EXPECT_LE(gapCovered, kLongestGapMs);
    EXPECT_FALSE(run.log().contains(kCopyOfGoneSource)) << run.log().right(3000).toStdString();

    // The cover goes: the share beneath it is there again.
    QElapsedTimer uncovered;
    uncovered.start();
    ASSERT_TRUE(unmountInPlayersNamespace());
    ASSERT_TRUE(mountedInPlayersView());
    const qint64 toUncovered = waitForAvailableAgain(2, uncovered);
    ASSERT_GE(toUncovered, 0) << run.log().right(3000).toStdString();
    std::cout << "[ measured ] cover gone: available " << toUncovered << " ms later\n";
    EXPECT_LE(toUncovered, 5500);
    EXPECT_EQ(sourceFolderStatus().value("available"), QJsonValue(true));
    EXPECT_EQ(listed(backing), "day");
    EXPECT_EQ(copiesCount(), 3);

    // c. Today's folder is renamed away and back, as a copy tool that swaps a folder does. It stays
    // away for two decisions at an item's end (some 2 s of 1 s clips; one "curURL asset is" line each).
    const auto decisions = [this] { return run.log().count(QStringLiteral("] curURL asset is: ")); };
    const qsizetype beforeBlink = nextItems().size();
    const qsizetype decisionsBeforeBlink = decisions();
    const QString away = backing + "/day-away";
    QElapsedTimer blink;
    blink.start();
    ASSERT_EQ(std::rename(QFile::encodeName(daily).constData(), QFile::encodeName(away).constData()), 0);
    EXPECT_TRUE(test::waitUntil([&] { return decisions() >= decisionsBeforeBlink + 2; }, 10000, 25))
        << "no two item ends decided in 10 s with today's folder away\n" << run.log().right(3000).toStdString();
    // A day folder the player may have made meanwhile is empty, and the rename puts the real one back over it.
    ASSERT_EQ(std::rename(QFile::encodeName(away).constData(), QFile::encodeName(daily).constData()), 0)
        << listed(daily);
    const qint64 blinkMs = blink.elapsed();
    const qsizetype duringBlink = nextItems().size() - beforeBlink;
    ASSERT_TRUE(waitForNextItems(beforeBlink + duringBlink + 6, 30000)) << run.log().right(3000).toStdString();
    const qint64 gapBlink = longestGap(run.log(), beforeBlink - 1);
    std::cout << "[ measured ] today's folder away for " << blinkMs << " ms (" << duringBlink
              << " items announced meanwhile); announcements at most " << gapBlink << " ms apart around it\n";
    EXPECT_FALSE(run.log().contains(kLeftTheRepeatList)) << run.log().right(4000).toStdString();
    EXPECT_FALSE(run.log().contains(kCopyOfGoneSource)) << run.log().right(4000).toStdString();
    EXPECT_EQ(copiesCount(), 3);
    EXPECT_EQ(listed(daily), "a.mp4 b.mp4 c.mp4");
    expectPictureMoved(picture, "unmounted, covered, today's folder away");

    // Through all of it the items went round one cycle of the three, each time where it was.
    const QStringList names = nextItems();
    const QStringList steady = names.mid(3);
    std::cout << "[ measured ] items: " << names.join(' ').toStdString() << "\n";
    QStringList distinct(QSet<QString>(steady.begin(), steady.end()).values());
    distinct.sort();
    EXPECT_EQ(distinct.join(' ').toStdString(), "a.mp4 b.mp4 c.mp4");
    const QString broken = cycleBreak(steady);
    EXPECT_TRUE(broken.isEmpty()) << "the order broke (counted from the fourth item) at " << broken.toStdString()
                                  << " (unmounted at item " << beforeUnmount - 3 << ", covered at "
                                  << beforeCover - 3 << ", today's folder away at " << beforeBlink - 3 << ")";
    EXPECT_EQ(run.stop(), 0);
}

// The player starts again while the share is not mounted: it knows the bare mount point for what
// it is, plays from its copies at once, makes nothing in the mount point, and takes the share back
// once it is mounted again.
TEST_F(MountedShareE2E, ARestartWhileTheShareIsUnmountedPlaysFromTheCopies) {
    startOnMountedShare();
    if (IsSkipped() || HasFatalFailure()) return;
    ASSERT_TRUE(waitForNextItems(3)) << run.log().toStdString();
    ASSERT_TRUE(test::waitUntil([&] { return copiesCount() == 3; }, 20000, 200)) << run.log().right(3000).toStdString();
    ASSERT_EQ(run.stop(), 0);

    QFile::remove(run.logPath());
    ASSERT_TRUE(startPlayer(false)) << run.log().toStdString();
    ASSERT_TRUE(run.waitForLog("first av item", 20000)) << run.log().right(3000).toStdString();
    const qint64 toFirstItem = run.firstItemAfterFirstPollMs();
    std::cout << "[ measured ] restarted with the share unmounted: the first item " << toFirstItem
              << " ms after the first poll\n";
    EXPECT_LE(toFirstItem, 3000);
    // Once the first item shows: the picture goes on from the copies.
    ASSERT_TRUE(waitForNextItems(1, 20000)) << run.log().right(3000).toStdString();
    std::unique_ptr<test::StillPictureWatch> picture = watchPicture();
    ASSERT_TRUE(waitForNextItems(6, 30000)) << run.log().right(3000).toStdString();  // some 6 s of items
    expectPictureMoved(picture, "restarted with the share unmounted");
    const qint64 longest = longestGap(run.log(), 0);
    std::cout << "[ measured ] " << nextItems().size() << " items after the restart, at most " << longest
              << " ms apart: " << nextItems().join(' ').toStdString() << "\n";
    EXPECT_LE(longest, kLongestGapMs);
    const QJsonObject status = run.statusJson();
    EXPECT_EQ(status.value("sourceFolder").toObject().value("state").toString(), "unmounted");
    EXPECT_EQ(status.value("sourceFolder").toObject().value("available"), QJsonValue(false));
    EXPECT_EQ(status.value("localCopies").toObject().value("count").toInt(), 3);
    EXPECT_EQ(status.value("currentItem").toObject().value("fromLocalCopy"), QJsonValue(true));
    EXPECT_EQ(unavailableLines(run.log(), "unmounted"), 1) << run.log().right(3000).toStdString();
    EXPECT_FALSE(run.log().contains(kCopyOfGoneSource)) << run.log().right(3000).toStdString();
    EXPECT_FALSE(run.log().contains(kLeftTheRepeatList)) << run.log().right(3000).toStdString();
    // Nothing is mounted at the mount point, so this test sees what the player sees there.
    EXPECT_FALSE(mountedInPlayersView());
    EXPECT_EQ(listed(mountPoint), "");

    // The share is mounted again: the player takes it back.
    if (QProcess::execute("nsenter", {"-t", QString::number(playerPid()), "-m", "--", "true"}) != 0) {
        EXPECT_EQ(run.stop(), 0);
        GTEST_SKIP() << "nsenter cannot enter the player's mount namespace here";
    }
    ASSERT_NO_FATAL_FAILURE(mountAgain());
    if (screen) {
        // The watch does see a picture that stands still: the player stopped for some 3 s.
        std::unique_ptr<test::StillPictureWatch> check = watchPicture();
        ::kill(static_cast<pid_t>(playerPid()), SIGSTOP);
        const bool seenStill = test::waitUntil([&] { return check->stillNow() > 3000; }, 15000, 50);
        ::kill(static_cast<pid_t>(playerPid()), SIGCONT);
        EXPECT_TRUE(seenStill);
        EXPECT_GE(check->stop(), 2000);
    }
    EXPECT_EQ(run.stop(), 0);
}

}  // namespace
