#include "app/LocalCopies.h"

#include "Clips.h"
#include "TestSupport.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

constexpr auto kIdle = std::chrono::seconds(20);

class LocalCopiesTest : public ::testing::Test {
protected:
    void SetUp() override {
        QDir().mkpath(source());
        clipBytes = test::readAll(test::clip(1.0));
        ASSERT_FALSE(clipBytes.isEmpty());
    }

    QString source() const { return dir.filePath("share/day"); }
    QString folder() const { return dir.filePath("copies"); }

    // A clip in the source folder, `secondsAgo` old; a few bytes of its own make every copy differ.
    QString addClip(const QString& name, int secondsAgo) {
        const QString path = source() + "/" + name;
        test::writeAll(path, clipBytes + name.toUtf8());
        QFile f(path);
        f.open(QIODevice::ReadWrite);
        f.setFileTime(QDateTime::currentDateTime().addSecs(-secondsAgo), QFileDevice::FileModificationTime);
        return path;
    }

    std::shared_ptr<LocalCopies> make(std::optional<qint64> maxBytes = std::nullopt,
                                      std::chrono::milliseconds scrubEvery = LocalCopies::kScrubEvery) {
        return LocalCopies::create({folder(), maxBytes, 0, LocalCopies::kScrubBytesPerSecond, scrubEvery});
    }

    // The checksums the index names, by source; empty for an entry without one.
    QHash<QString, QString> checksumsInIndex() const {
        QHash<QString, QString> sums;
        const QJsonObject index = QJsonDocument::fromJson(test::readAll(folder() + "/copies.json")).object();
        for (const QJsonValue& entry : index.value("copies").toArray()) {
            sums.insert(entry.toObject().value("source").toString(), entry.toObject().value("xxh3").toString());
        }
        return sums;
    }
    static QString checksumText(const QString& path) {
        const std::optional<quint64> sum = LocalCopies::checksumOf(path, 0);
        return sum ? QStringLiteral("%1").arg(*sum, 16, 16, QLatin1Char('0')) : QString();
    }

    // What lies in the folder of copies: the copies' sizes, the index and the listing.
    qint64 bytesOnDisk() const {
        qint64 bytes = 0;
        for (const QFileInfo& file : QDir(folder()).entryInfoList(QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot)) {
            bytes += file.size();
        }
        return bytes;
    }

    QTemporaryDir dir;
    QByteArray clipBytes;
};

// The copier copies what is wanted, newest first, each with its source's size and time; a copy
// is played only after a check, and one that is damaged on disk, or whose source changed, is
// dropped (never played) and made again while it is still wanted.
TEST_F(LocalCopiesTest, CopiesWhatIsWantedAndPlaysOnlyCopiesThatStillMatch) {
    const QString a = addClip("a.mp4", 300), b = addClip("b.mp4", 200), c = addClip("c.mp4", 100);
    const std::shared_ptr<LocalCopies> copies = make();
    copies->want({c, b, a}, {c, b, a});
    ASSERT_TRUE(copies->waitUntilIdle(kIdle));
    LocalCopies::Stats stats = copies->stats();
    EXPECT_EQ(stats.count, 3);
    EXPECT_EQ(stats.made, 3u);
    // The copies and their index, as they are on disk.
    EXPECT_EQ(stats.bytes, bytesOnDisk());
    EXPECT_GT(stats.bytes, QFileInfo(a).size() + QFileInfo(b).size() + QFileInfo(c).size());
    for (const QString& path : {a, b, c}) {
        const std::optional<QString> copy = copies->copyToPlay(path, MediaFiles::stampOf(path));
        ASSERT_TRUE(copy) << path.toStdString();
        EXPECT_EQ(test::readAll(*copy), test::readAll(path));
        EXPECT_EQ(QFileInfo(*copy).lastModified(), QFileInfo(path).lastModified());
    }
    EXPECT_FALSE(copies->copyToPlay(dir.filePath("share/day/never-wanted.mp4")));

    // A copy cut short on disk is dropped, not played; the copier makes it again.
    const QString copyOfB = copies->copyPathFor(b);
    QFile cut(copyOfB);
    ASSERT_TRUE(cut.open(QIODevice::ReadWrite));
    ASSERT_TRUE(cut.resize(cut.size() / 2));
    cut.close();
    EXPECT_FALSE(copies->copyToPlay(b));
    EXPECT_FALSE(QFileInfo::exists(copyOfB));
    // Damaged inside, with its size and time as they were: the boxes tell.
    const QString copyOfA = copies->copyPathFor(a);
    const QDateTime time = QFileInfo(copyOfA).lastModified();
    QByteArray bytes = test::readAll(copyOfA);
    bytes.replace("moov", "xxxx");
    ASSERT_TRUE(test::writeAll(copyOfA, bytes));
    QFile touched(copyOfA);
    ASSERT_TRUE(touched.open(QIODevice::ReadWrite));
    touched.setFileTime(time, QFileDevice::FileModificationTime);
    touched.close();
    EXPECT_FALSE(copies->copyToPlay(a));
    // The source changed since it was copied: the old copy is not played.
    test::writeAll(c, clipBytes + "changed");
    EXPECT_FALSE(copies->copyToPlay(c, MediaFiles::stampOf(c)));
    EXPECT_EQ(copies->stats().dropped, 3u);

    ASSERT_TRUE(copies->waitUntilIdle(kIdle));
    stats = copies->stats();
    EXPECT_EQ(stats.count, 3);
    EXPECT_EQ(stats.made, 6u);
    const std::optional<QString> again = copies->copyToPlay(c, MediaFiles::stampOf(c));
    ASSERT_TRUE(again);
    EXPECT_TRUE(test::readAll(*again).endsWith("changed"));
    copies->stop();
}

// With a limit smaller than the list, the folder never holds more than the limit, the newest
// files get the copies, and a newer file takes the room of the copy least wanted.
TEST_F(LocalCopiesTest, NeverHoldsMoreThanItsLimitAndTheNewestFilesGetTheRoom) {
    const QStringList files{addClip("d.mp4", 100), addClip("c.mp4", 200), addClip("b.mp4", 300), addClip("a.mp4", 400)};
    const qint64 one = QFileInfo(files.first()).size();
    const qint64 limit = 2 * one + one / 2 + 20 * 1024;  // two copies and the index
    const std::shared_ptr<LocalCopies> copies = make(limit);
    copies->want(files, files);
    ASSERT_TRUE(copies->waitUntilIdle(kIdle));
    EXPECT_LE(bytesOnDisk(), limit);
    EXPECT_TRUE(copies->hasCopy(files[0]));
    EXPECT_TRUE(copies->hasCopy(files[1]));
    EXPECT_FALSE(copies->hasCopy(files[2]));
    EXPECT_EQ(copies->stats().limitBytes, limit);

    const QString e = addClip("e.mp4", 10);
    copies->want(QStringList{e} + files, QStringList{e} + files);
    ASSERT_TRUE(copies->waitUntilIdle(kIdle));
    EXPECT_LE(bytesOnDisk(), limit);
    EXPECT_TRUE(copies->hasCopy(e));
    EXPECT_TRUE(copies->hasCopy(files[0]));
    EXPECT_FALSE(copies->hasCopy(files[1]));
    copies->stop();

    // A limit lowered since: the copies made before go down to it; a file larger than the whole
    // limit is never copied.
    const std::shared_ptr<LocalCopies> tiny = make(one / 2 + 20 * 1024);
    tiny->want(files, files);
    ASSERT_TRUE(tiny->waitUntilIdle(kIdle));
    EXPECT_EQ(tiny->stats().count, 0);
    EXPECT_LE(bytesOnDisk(), one / 2 + 20 * 1024);
    tiny->stop();
}

// What a restart finds: the copies the index names and the last listing that answered, with only
// the files that have a copy; a copy cut short by the end of the last run is removed, and files
// the player did not make are left alone.
TEST_F(LocalCopiesTest, ARestartFindsTheCopiesAndTheLastListing) {
    const QString a = addClip("a.mp4", 300), b = addClip("b.mp4", 200), c = addClip("c.mp4", 100);
    QString partial;
    {
        const std::shared_ptr<LocalCopies> copies = make();
        copies->want({c, a}, {c, a});
        ASSERT_TRUE(copies->waitUntilIdle(kIdle));
        copies->listingAnswered(PlayQueueState::Found({c, b, a}, c));
        partial = folder() + "/.partial-" + QFileInfo(copies->copyPathFor(b)).fileName();
        copies->stop();
    }
    const QString stranger = folder() + "/notes.txt";
    ASSERT_TRUE(test::writeAll(partial, "cut short"));
    ASSERT_TRUE(test::writeAll(stranger, "mine"));
    QFile::remove(c);  // the share is gone: nothing is looked at

    const std::shared_ptr<LocalCopies> copies = make();
    EXPECT_TRUE(copies->hasCopy(a));
    EXPECT_TRUE(copies->hasCopy(c));
    EXPECT_FALSE(copies->hasCopy(b));
    const PlayQueueState::Found kept = copies->keptListing();
    EXPECT_EQ(kept.complete, QStringList({c, b, a}));
    EXPECT_EQ(kept.newestEverComplete, c);
    EXPECT_TRUE(copies->stats().listingAnsweredAt.isValid());
    EXPECT_FALSE(QFileInfo::exists(partial));
    EXPECT_TRUE(QFileInfo::exists(stranger));
    ASSERT_TRUE(copies->copyToPlay(c));
    copies->stop();
}

// A source folder of many files: its listing is longer than a few dozen kilobytes. A restart
// still finds it, and the folder with the listing in it stays within the limit.
TEST_F(LocalCopiesTest, ALongListingSurvivesARestartAndCountsAgainstTheLimit) {
    const QString a = addClip("a.mp4", 100), b = addClip("b.mp4", 200);
    const qint64 one = QFileInfo(a).size();
    const qint64 limit = 2 * one + 160 * 1024;  // the two copies and a small index
    QStringList listed{a, b};
    const QString longName = QString(120, QLatin1Char('x'));
    for (int i = 0; i < 500; ++i) listed += source() + QStringLiteral("/%1-%2.mp4").arg(longName).arg(i, 4, 10, QLatin1Char('0'));
    {
        const std::shared_ptr<LocalCopies> copies = make(limit);
        copies->want({a, b}, {a, b});
        ASSERT_TRUE(copies->waitUntilIdle(kIdle));
        ASSERT_TRUE(copies->hasCopy(a));
        ASSERT_TRUE(copies->hasCopy(b));
        copies->listingAnswered(PlayQueueState::Found(listed, a));
        ASSERT_GT(QFileInfo(folder() + "/listing.json").size(), 64 * 1024);
        // Whatever the copier does next, the folder is within its limit.
        ASSERT_TRUE(copies->waitUntilIdle(kIdle));
        EXPECT_LE(bytesOnDisk(), limit);
        copies->stop();
    }
    const std::shared_ptr<LocalCopies> copies = make(limit);
    const PlayQueueState::Found kept = copies->keptListing();
    EXPECT_EQ(kept.complete.join(", ").toStdString(), listed.join(", ").toStdString());
    EXPECT_EQ(kept.newestEverComplete.toStdString(), a.toStdString());
    copies->stop();
}

// Copies of many files with long names: the index is longer than a few dozen kilobytes, and a
// restart still finds every copy.
TEST_F(LocalCopiesTest, ARestartFindsTheCopiesOfALongIndex) {
    const QString longName = QString(200, QLatin1Char('y'));
    QStringList files;
    for (int i = 0; i < 220; ++i) {
        const QString path = source() + QStringLiteral("/%1-%2.mkv").arg(longName).arg(i, 3, 10, QLatin1Char('0'));
        ASSERT_TRUE(test::writeAll(path, QByteArray::number(i)));
        files += path;
    }
    {
        const std::shared_ptr<LocalCopies> copies = make();
        copies->want(files, files);
        ASSERT_TRUE(copies->waitUntilIdle(std::chrono::seconds(120)));
        ASSERT_EQ(copies->stats().count, files.size());
        ASSERT_GT(QFileInfo(folder() + "/copies.json").size(), 64 * 1024);
        copies->stop();
    }
    const std::shared_ptr<LocalCopies> copies = make();
    EXPECT_EQ(copies->stats().count, files.size());
    EXPECT_TRUE(copies->copyToPlay(files.first()));
    copies->stop();
}

// A file that cannot get room (larger than the whole limit) takes none: the copies it could not
// use are left in place, not dropped and made again.
TEST_F(LocalCopiesTest, AFileThatCannotFitDropsNoCopies) {
    const QString a = addClip("a.mp4", 300), b = addClip("b.mp4", 200);
    const qint64 one = QFileInfo(a).size();
    const qint64 limit = 2 * one + one / 2 + 64 * 1024;
    const QString big = source() + "/big.mp4";
    ASSERT_TRUE(test::writeAll(big, QByteArray(limit, 'b')));
    const std::shared_ptr<LocalCopies> copies = make(limit);
    copies->want({b, a}, {b, a});
    ASSERT_TRUE(copies->waitUntilIdle(kIdle));
    ASSERT_EQ(copies->stats().made, 2u);

    copies->want({big, b, a}, {big, b, a});
    ASSERT_TRUE(copies->waitUntilIdle(kIdle));
    EXPECT_FALSE(copies->hasCopy(big));
    EXPECT_TRUE(copies->hasCopy(a));
    EXPECT_TRUE(copies->hasCopy(b));
    EXPECT_EQ(copies->stats().made, 2u) << "the copies of a and b were dropped for nothing and made again";
    copies->stop();
}

// A restart while the share is away starts the cycle from the files that have a copy; once the
// share answers again, the files that had none come back into the cycle.
TEST_F(LocalCopiesTest, AfterARestartDuringAnOutageTheFilesWithoutACopyPlayAgain) {
    using Kind = PlayQueueState::EndKind;
    const QString a = addClip("a.mp4", 300), b = addClip("b.mp4", 200), c = addClip("c.mp4", 100);
    const PlayQueueState::Found listing({c, b, a}, c);
    {
        const std::shared_ptr<LocalCopies> copies = make();
        copies->want({c, a}, {c, a});  // the share hung before b was copied
        ASSERT_TRUE(copies->waitUntilIdle(kIdle));
        copies->listingAnswered(listing);
        copies->stop();
    }
    // The player starts again while the share does not answer: the first list is the kept one.
    const std::shared_ptr<LocalCopies> copies = make();
    const PlayQueueState::Found kept = copies->keptListing();
    ASSERT_EQ(kept.complete, QStringList({c, b, a}));
    PlayQueueState state;
    state.startWith(kept.complete);
    // The share answers again: every decision has its whole listing.
    QStringList played;
    QString ended = kept.complete.first();
    const auto now = PlayQueueState::Clock::now();
    for (int i = 0; i < 9; ++i) {
        const PlayQueueState::Decision d = state.itemEnded(listing, 1, ended, Kind::Played, {}, now);
        ASSERT_FALSE(d.next.isNull());
        played += d.next;
        ended = d.next;
    }
    EXPECT_TRUE(played.contains(b)) << played.join(", ").toStdString();
    copies->stop();
}

// Each copy's checksum is taken as it is copied and kept in the index, across a restart: a copy
// damaged inside (same size, same time, whole boxes) is dropped before a play, with or without a
// look at its source. An index written before checksums keeps its copies, and the scrub takes
// their checksums from their bytes.
TEST_F(LocalCopiesTest, ChecksumsInTheIndexCatchACopyDamagedInsideAndAnOldIndexGetsThem) {
    const QString a = addClip("a.mp4", 300), b = addClip("b.mp4", 200), c = addClip("c.mp4", 100);
    {
        const std::shared_ptr<LocalCopies> copies = make();
        copies->want({c, b, a}, {c, b, a});
        ASSERT_TRUE(copies->waitUntilIdle(kIdle));
        for (const QString& path : {a, b, c}) EXPECT_EQ(checksumsInIndex().value(path), checksumText(path));
        ASSERT_TRUE(test::damageInsideMediaData(copies->copyPathFor(b)));
        EXPECT_FALSE(copies->copyToPlay(b, MediaFiles::stampOf(b)));  // the share answers
        copies->stop();
    }
    const std::shared_ptr<LocalCopies> restarted = make();
    restarted->setPlayingFromCopies(true);  // the share does not answer
    ASSERT_TRUE(test::damageInsideMediaData(restarted->copyPathFor(c)));
    EXPECT_FALSE(restarted->copyToPlay(c));
    EXPECT_TRUE(restarted->copyToPlay(a));
    EXPECT_EQ(restarted->stats().dropped, 1u);
    restarted->stop();

    // The index as a player before checksums wrote it.
    QJsonObject index = QJsonDocument::fromJson(test::readAll(folder() + "/copies.json")).object();
    QJsonArray old;
    for (const QJsonValue& entry : index.value("copies").toArray()) {
        QJsonObject o = entry.toObject();
        o.remove("xxh3");
        o.remove("checkedChangeNs");
        old.append(o);
    }
    index.insert("copies", old);
    ASSERT_TRUE(test::writeAll(folder() + "/copies.json", QJsonDocument(index).toJson()));
    const std::shared_ptr<LocalCopies> upgraded = make();
    EXPECT_TRUE(upgraded->hasCopy(a));
    const auto scrubbedAll = [&] { return upgraded->stats().scrubbed >= quint64(upgraded->stats().count); };
    ASSERT_TRUE(test::waitUntil(scrubbedAll, 10000, 20));
    EXPECT_EQ(checksumsInIndex().value(a), checksumText(a));
    ASSERT_TRUE(test::damageInsideMediaData(upgraded->copyPathFor(a)));
    EXPECT_FALSE(upgraded->copyToPlay(a));
    upgraded->stop();
}

// The scrub reads every copy again in its time; the one damaged inside is dropped alone, and
// made again while its source is there, and the others are neither dropped nor made again.
TEST_F(LocalCopiesTest, TheScrubDropsADamagedCopyAloneAndItIsMadeAgain) {
    const QString a = addClip("a.mp4", 300), b = addClip("b.mp4", 200), c = addClip("c.mp4", 100);
    const std::shared_ptr<LocalCopies> copies = make(std::nullopt, std::chrono::milliseconds(50));
    copies->want({c, b, a}, {c, b, a});
    ASSERT_TRUE(copies->waitUntilIdle(kIdle));
    ASSERT_TRUE(test::damageInsideMediaData(copies->copyPathFor(b)));
    ASSERT_TRUE(test::waitUntil([&] { return copies->stats().made == 4; }, 10000, 20));
    const quint64 scrubbed = copies->stats().scrubbed;
    ASSERT_TRUE(test::waitUntil([&] { return copies->stats().scrubbed >= scrubbed + 6; }, 10000, 20));
    const LocalCopies::Stats stats = copies->stats();
    EXPECT_EQ(stats.dropped, 1u);
    EXPECT_EQ(stats.made, 4u);
    EXPECT_EQ(stats.count, 3);
    for (const QString& path : {a, b, c}) {
        const std::optional<QString> copy = copies->copyToPlay(path);
        ASSERT_TRUE(copy) << path.toStdString();
        EXPECT_EQ(test::readAll(*copy), test::readAll(path));
    }
    copies->stop();
}

// A folder of copies that cannot be made costs nothing but the copies: each failure is counted.
TEST_F(LocalCopiesTest, AFolderThatCannotBeMadeOnlyCountsFailures) {
    const QString a = addClip("a.mp4", 100);
    ASSERT_TRUE(test::writeAll(dir.filePath("blocker"), "a file where a folder should be"));
    const std::shared_ptr<LocalCopies> copies = LocalCopies::create({dir.filePath("blocker/copies"), std::nullopt, 0});
    copies->want({a}, {a});
    ASSERT_TRUE(copies->waitUntilIdle(kIdle));
    EXPECT_EQ(copies->stats().count, 0);
    EXPECT_GE(copies->stats().failed, 1u);
    EXPECT_FALSE(copies->copyToPlay(a));
    copies->stop();
}

}  // namespace
