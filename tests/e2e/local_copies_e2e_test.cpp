// The real player with its local copies, on a source folder that goes away: it plays on from
// verified copies, never from a damaged one, and its copies stay within their limit.
#include "e2e/PlaybackFixture.h"
#include "e2e/ScreenWatch.h"

#include <QDirIterator>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStandardPaths>

#include <gtest/gtest.h>

#include <iostream>

namespace {

using test::PlaybackE2E;

QJsonObject statusOf(const test::PlayerRun& run) { return run.statusJson(); }

class LocalCopiesE2E : public PlaybackE2E {
protected:
    QString copies() const { return run.root.filePath("cache/Vorn/VornPlayer"); }

    qint64 bytesOfCopies() const {
        qint64 bytes = 0;
        QDirIterator it(copies(), QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot);
        while (it.hasNext()) bytes += it.nextFileInfo().size();
        return bytes;
    }

    bool waitForCopies(int count, int timeoutMs = 20000) const {
        return test::waitUntil(
            [&] { return statusOf(run).value("localCopies").toObject().value("count").toInt() >= count; }, timeoutMs, 200);
    }

    // The copy the index names for a file of today's folder; empty when it names none.
    QString copyOf(const QString& name) const {
        const QJsonArray index =
            QJsonDocument::fromJson(test::readAll(copies() + "/copies.json")).object().value("copies").toArray();
        for (const QJsonValue& entry : index) {
            if (entry.toObject().value("source").toString().endsWith("/day/" + name)) {
                return copies() + "/" + entry.toObject().value("name").toString();
            }
        }
        return {};
    }

    // The names announced after the log's first `marker` line.
    QStringList nextItemsAfter(const QString& marker) const {
        const QString log = run.log();
        const qsizetype at = log.indexOf(marker);
        return at < 0 ? QStringList() : test::nextItemNames(log.mid(at));
    }

    // The player shows its pictures on a screen of the test's own, where they are watched; without
    // Xvfb or ffmpeg it runs offscreen, unwatched.
    void showOnOwnScreen() {
        if (QStandardPaths::findExecutable("Xvfb").isEmpty() || QStandardPaths::findExecutable("ffmpeg").isEmpty()) return;
        screen = std::make_unique<test::OwnXServer>("320x240");
        if (screen->display.isEmpty()) {
            screen.reset();
            return;
        }
        run.env.insert("DISPLAY", screen->display);
        run.env.insert("QT_QPA_PLATFORM", "xcb");
        run.env.remove("VORNPLAYER_VIDEO_OUTPUT");
    }

    std::unique_ptr<test::OwnXServer> screen;
};

// The source folder goes away for half a minute while the player runs: it plays on from the
// copies of the last listing in the same cycle, the picture moving all along, says so in the log
// and the status, and never plays the copy that was damaged inside its media data (same size,
// same time): that copy alone is dropped, the others stay. The folder comes back, and the player
// plays from it again; a file deleted from it for good loses its copy.
TEST_F(LocalCopiesE2E, AGoneSourceFolderPlaysOnFromTheCopiesButNeverADamagedOne) {
    addClip("a.mp4", 300);
    addClip("b.mp4", 200);
    addClip("c.mp4", 100);
    showOnOwnScreen();
    run.start(args(3, 1) << "-prefLocalCopiesBytesPerSecond" << "0");
    ASSERT_TRUE(waitForNextItems(3)) << run.log().toStdString();
    ASSERT_TRUE(waitForCopies(3)) << run.log().toStdString();
    QJsonObject status = statusOf(run);
    EXPECT_EQ(status.value("localCopies").toObject().value("playingFrom").toString(), "share");
    EXPECT_EQ(status.value("localCopies").toObject().value("made").toInt(), 3);
    EXPECT_TRUE(status.value("localCopies").toObject().value("secondsSinceListingAnswered").isDouble());

    // The copy of b is damaged inside, and the whole source folder goes.
    const QString copyOfB = copyOf("b.mp4");
    ASSERT_FALSE(copyOfB.isEmpty());
    const qint64 sizeOfB = QFileInfo(copyOfB).size();
    const QDateTime timeOfB = QFileInfo(copyOfB).lastModified();
    ASSERT_TRUE(test::damageInsideMediaData(copyOfB));
    ASSERT_EQ(QFileInfo(copyOfB).size(), sizeOfB);
    ASSERT_EQ(QFileInfo(copyOfB).lastModified(), timeOfB);
    const qsizetype announcedBefore = nextItems().size();
    ASSERT_TRUE(QDir().rename(source, source + "-away"));
    QElapsedTimer away;
    away.start();
    std::unique_ptr<test::StillPictureWatch> watch = screen ? std::make_unique<test::StillPictureWatch>(*screen) : nullptr;

    ASSERT_TRUE(run.waitForLog("Playing from local copies: the source folder does not answer", 15000))
        << run.log().right(3000).toStdString();
    ASSERT_TRUE(run.waitForLog("/day/b.mp4 dropped, not played: damaged", 15000)) << run.log().right(6000).toStdString();
    // Half a minute away; the other copies stay all along.
    int fewestCopies = 3;
    ASSERT_TRUE(test::waitUntil(
        [&] {
            fewestCopies = std::min(fewestCopies, statusOf(run).value("localCopies").toObject().value("count").toInt());
            return away.elapsed() >= 30000;
        },
        40000, 500));
    const qint64 still = watch ? watch->stop() : -1;
    const QStringList whileAway = nextItems().mid(announcedBefore);
    std::cout << "[ measured ] " << whileAway.size() << " items in " << away.elapsed() / 1000.0
              << " s away; the picture stood still at most " << still << " ms; copies left: " << fewestCopies << "\n";
    EXPECT_EQ(fewestCopies, 2);
    EXPECT_FALSE(whileAway.contains("b.mp4")) << whileAway.join(' ').toStdString();
    EXPECT_GE(whileAway.size(), 20) << whileAway.join(' ').toStdString();
    const QStringList fromCopies = nextItemsAfter("Playing from local copies");
    for (int i = 2; i < fromCopies.size(); ++i) {
        EXPECT_NE(fromCopies[i], fromCopies[i - 1]) << "the cycle goes on: " << fromCopies.join(' ').toStdString();
    }
    if (watch) {
        EXPECT_GE(still, 0) << "the screen could not be grabbed";
        EXPECT_LE(still, 2000) << "1 s clips";
    }
    status = statusOf(run);
    EXPECT_EQ(status.value("sourceFolder").toObject().value("available"), QJsonValue(false));
    EXPECT_EQ(status.value("localCopies").toObject().value("playingFrom").toString(), "copies");
    EXPECT_EQ(status.value("currentItem").toObject().value("fromLocalCopy"), QJsonValue(true));
    EXPECT_EQ(status.value("localCopies").toObject().value("dropped").toInt(), 1);
    // Nothing failed to play: neither a source that is gone nor the damaged copy was opened.
    EXPECT_FALSE(run.log().contains("Set aside after a failed play")) << run.log().right(3000).toStdString();

    // A restart while the folder is still gone plays the last queue from the copies at once.
    EXPECT_EQ(run.stop(), 0);
    QFile::remove(run.logPath());
    run.start(args(3, 1) << "-prefLocalCopiesBytesPerSecond" << "0");
    ASSERT_TRUE(run.waitForLog("first av item", 15000)) << run.log().right(3000).toStdString();
    const qint64 toFirstItem = run.firstItemAfterFirstPollMs();
    std::cout << "[ measured ] restarted with the folder gone: the first item " << toFirstItem
              << " ms after the first poll\n";
    EXPECT_LE(toFirstItem, 3000);
    EXPECT_TRUE(run.log().contains("Playing from local copies"));
    ASSERT_TRUE(waitForNextItems(3)) << run.log().right(3000).toStdString();
    EXPECT_FALSE(nextItems().contains("b.mp4"));

    // Back: the folder's own listing decides again, and b is copied once more.
    ASSERT_TRUE(QDir().rename(source + "-away", source));
    ASSERT_TRUE(run.waitForLog("Playing from the source folder again", 15000)) << run.log().right(3000).toStdString();
    EXPECT_TRUE(waitForCopies(3));
    // b, passed over while the folder was gone, is in the cycle again.
    EXPECT_TRUE(test::waitUntil([&] { return nextItemsAfter("Playing from the source folder again").contains("b.mp4"); },
                                30000, 100))
        << nextItemsAfter("Playing from the source folder again").join(' ').toStdString();

    // A file deleted from the share for good: its copy goes too, and takes no room any more.
    const QString copyOfA = copyOf("a.mp4");
    ASSERT_FALSE(copyOfA.isEmpty());
    ASSERT_TRUE(QFile::remove(daily + "/a.mp4"));
    EXPECT_TRUE(run.waitForLog("/day/a.mp4 dropped, not played: its source is gone", 20000))
        << run.log().right(3000).toStdString();
    EXPECT_TRUE(test::waitUntil([&] { return statusOf(run).value("localCopies").toObject().value("count").toInt() == 2; },
                                10000, 200));
    EXPECT_FALSE(QFileInfo::exists(copyOfA));
    EXPECT_EQ(run.stop(), 0);
}

// A limit smaller than the list: the folder of copies never holds more than the limit, checked
// all along a run, and the newest files have the copies.
TEST_F(LocalCopiesE2E, TheCopiesNeverTakeMoreThanTheirLimit) {
    for (const char* name : {"a.mp4", "b.mp4", "c.mp4", "d.mp4"}) addClip(name, 400 - 100 * (name[0] - 'a'));
    const qint64 clip = QFileInfo(daily + "/a.mp4").size();
    const qint64 limit = 2 * clip + clip / 2 + 20 * 1024;  // two copies and the index
    run.start(args(4, 1) << "-prefLocalCopiesMaxBytes" << QString::number(limit) << "-prefLocalCopiesBytesPerSecond"
                         << "0");
    qint64 most = 0;
    ASSERT_TRUE(test::waitUntil(
        [&] {
            most = std::max(most, bytesOfCopies());
            return nextItems().size() >= 8;
        },
        40000, 20))
        << run.log().right(3000).toStdString();
    std::cout << "[ measured ] the copies took at most " << most << " bytes of " << limit << "\n";
    EXPECT_LE(most, limit);
    const QJsonObject copiesStatus = statusOf(run).value("localCopies").toObject();
    EXPECT_EQ(copiesStatus.value("count").toInt(), 2);
    EXPECT_EQ(copiesStatus.value("limitBytes").toInteger(), limit);
    EXPECT_TRUE(run.log().contains("Local copies: no room for"));
    EXPECT_EQ(run.stop(), 0);
}

// Copies off (a limit of 0): nothing is copied and a gone folder stops new items as before.
TEST_F(LocalCopiesE2E, ALimitOfZeroTurnsCopiesOff) {
    addClip("a.mp4", 200);
    addClip("b.mp4", 100);
    run.start(args(2, 1) << "-prefLocalCopiesMaxBytes" << "0");
    ASSERT_TRUE(waitForNextItems(2)) << run.log().toStdString();
    EXPECT_FALSE(QFileInfo::exists(copies()));
    EXPECT_EQ(statusOf(run).value("localCopies").toObject().value("enabled"), QJsonValue(false));
    EXPECT_EQ(run.stop(), 0);
}

}  // namespace
