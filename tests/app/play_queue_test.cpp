#include "app/AppDelegate.h"
#include "app/Arrivals.h"
#include "app/ArrivalsWatch.h"
#include "platform/core/Format.h"
#include "platform/media/Player.h"
#include "platform/core/UserDefaults.h"

#include "Clips.h"
#include "TestSupport.h"

#include <QDateTime>
#include <QDir>
#include <QThread>
#include <QTemporaryDir>
#include <QUrl>

#include <gtest/gtest.h>

#include <algorithm>

#include <fcntl.h>
#include <sys/stat.h>

// The play queue's decisions at each end, with the real script on a real folder, entered as the
// running program enters it: through what a player tells its delegate. Without a player, the next
// path is what stands first in the repeat list.
namespace {

using namespace std::chrono_literals;

class PlayQueueTest : public ::testing::Test {
protected:
    void SetUp() override {
        daily = root.filePath("src/day");
        QDir().mkpath(daily);
        setLoops(2);
    }
    void TearDown() override { UserDefaults::standardUserDefaults().setArgumentDomain({}); }

    void setLoops(int loops) {
        UserDefaults::standardUserDefaults().setArgumentDomain({{"prefTamrinVideosFolder", root.filePath("src")},
                                                               {"prefDailyDateFormat", "'day'"},
                                                               {"prefRepeatListItemsCount", 3},
                                                               {"prefNewMovieRepeatLoopCount", loops}});
    }
    // A complete (if tiny) MP4 file modified `minutesAgo` minutes ago: a whole moov and mdat.
    void addFile(const QString& name, int minutesAgo) {
        addBytes(name, QByteArray("\0\0\0\x10" "ftypisom\0\0\0\0" "\0\0\0\x08" "moov" "\0\0\0\x08" "mdat", 32), minutesAgo);
    }
    void addBytes(const QString& name, const QByteArray& bytes, int minutesAgo) {
        const QString path = daily + "/" + name;
        test::writeAll(path, bytes);
        QFile f(path);
        f.open(QIODevice::ReadWrite);
        f.setFileTime(QDateTime::currentDateTime().addSecs(-60 * minutesAgo), QFileDevice::FileModificationTime);
    }
    // Waits until every file of today's folder counts as arrived: two looks two seconds apart.
    void settle() {
        const int files = static_cast<int>(QDir(daily).entryList(QDir::Files).size());
        test::waitUntil([&] { return controller.newestCompleteFiles().size() >= std::min(files, 3); }, 10000, 100);
    }
    // What the start-up polling loop does with the first list.
    void startWithFirstList() {
        settle();
        const QStringList list = controller.scanFolderForNewItems();
        ASSERT_FALSE(list.isEmpty());
        queue.startWith(list);
    }
    // The names of the items the current player plays, one per play, until `count` have started.
    QStringList playsSeen(int count, int timeoutMs) {
        QStringList played;
        std::shared_ptr<PlayerItem> last;
        test::waitUntil(
            [&] {
                const Player::Status now = queue.player()->status();
                if (now.item && now.item != last) {
                    last = now.item;
                    played += now.item->url().fileName();
                }
                return played.size() >= count;
            },
            timeoutMs, 5);
        return played;
    }
    // One end of the playing item, as a player tells it; returns the name that plays next.
    QString end(PlayerItemEnd::Why why = PlayerItemEnd::Why::Played) {
        queue.playerItemDidPlayToEndTime(item, PlayerItemEnd{why, 0, false});
        EXPECT_TRUE(queue.waitForDecisions(10s));
        return QFileInfo(controller.repeatList().value(0)).fileName();
    }

    QTemporaryDir root;
    QString daily;
    const std::shared_ptr<AppDelegate> controllerHandle = AppDelegate::create();
    AppDelegate& controller = *controllerHandle;
    PlayQueue& queue = controller.playQueue();
    std::shared_ptr<PlayerItem> item = PlayerItem::playerItemWithURL(QUrl::fromLocalFile("/ended.mp4"));
};

TEST_F(PlayQueueTest, ANewFilePlaysTheSetNumberOfTimesThenTheListCyclesNewestToOldest) {
    addFile("a.mp4", 40);
    addFile("b.mp4", 30);
    addFile("c.mp4", 20);
    addFile("d.mp4", 10);
    startWithFirstList();  // d plays first
    QStringList next;
    for (int i = 0; i < 7; ++i) next += end();
    EXPECT_EQ(next, (QStringList{"d.mp4", "c.mp4", "b.mp4", "d.mp4", "c.mp4", "b.mp4", "d.mp4"}));

    // A file arrives: it is new, plays twice, then the list of the three newest cycles.
    addFile("e.mp4", 1);
    settle();
    next.clear();
    for (int i = 0; i < 5; ++i) next += end();
    EXPECT_EQ(next, (QStringList{"e.mp4", "e.mp4", "d.mp4", "c.mp4", "e.mp4"}));
    EXPECT_EQ(controller.pathToLastNewItem(), daily + "/e.mp4");
}

TEST_F(PlayQueueTest, ALoopCountOfZeroOrOnePlaysANewFileOnce) {
    addFile("a.mp4", 20);
    addFile("b.mp4", 10);
    for (int loops : {0, 1}) {
        setLoops(loops);
        startWithFirstList();
        controller.setRepeatcount(0);
        EXPECT_EQ(end(), "a.mp4") << loops;
        EXPECT_EQ(end(), "b.mp4") << loops;
    }
}

TEST_F(PlayQueueTest, TheSameNameInAnyLetterCaseIsNotNew) {
    addFile("clip.mp4", 10);
    controller.setPathToLastNewItem(root.filePath("src/yesterday/CLIP.MP4"));
    controller.setRepeatList({daily + "/clip.mp4"});
    controller.setRepeatcount(5);
    EXPECT_EQ(end(), "clip.mp4");
    EXPECT_EQ(controller.repeatcount(), 6);  // not reset: nothing new came
}

TEST_F(PlayQueueTest, RepeatListEdgeCases) {
    addFile("only.mp4", 10);
    startWithFirstList();
    for (int i = 0; i < 4; ++i) EXPECT_EQ(end(), "only.mp4");

    // The same path twice: moving the first entry on removes both and appends one.
    addFile("x.mp4", 20);
    controller.setRepeatList({daily + "/only.mp4", daily + "/x.mp4", daily + "/only.mp4"});
    end();
    EXPECT_EQ(controller.repeatList(), (QStringList{daily + "/x.mp4", daily + "/only.mp4"}));
}

TEST_F(PlayQueueTest, NoListKeepsEverythingAndTheCountStillRises) {
    addFile("a.mp4", 30);
    addFile("b.mp4", 20);
    addFile("c.mp4", 10);
    startWithFirstList();
    end();
    end();  // cycling now: b first
    const QStringList before = controller.repeatList();
    const qint64 count = controller.repeatcount();
    // The share goes away: nothing is listed, and its files keep their places meanwhile.
    ASSERT_TRUE(QDir(root.path()).rename("src", "src-away"));
    end();
    EXPECT_EQ(controller.repeatList(), before);
    EXPECT_EQ(controller.repeatcount(), count + 1);
    EXPECT_TRUE(controller.sourceFolderMonitor().isAway());
    ASSERT_TRUE(QDir(root.path()).rename("src-away", "src"));
    settle();
    EXPECT_TRUE(before.contains(daily + "/" + end()));  // the cycle goes on with the same files
    EXPECT_TRUE(controller.sourceFolderMonitor().isAvailable());
}

TEST_F(PlayQueueTest, NoItemChangesNothingAndAFailureCountsNoPlay) {
    addFile("a.mp4", 20);
    addFile("b.mp4", 10);
    startWithFirstList();
    controller.playagain(nullptr);
    EXPECT_EQ(controller.repeatcount(), 0);
    // A failed item ends without a play counted, and is set aside; the new file b plays on.
    item = PlayerItem::playerItemWithURL(QUrl::fromLocalFile(daily + "/a.mp4"));
    EXPECT_EQ(end(PlayerItemEnd::Why::Failed), "b.mp4");
    EXPECT_EQ(controller.repeatcount(), 0);
    EXPECT_TRUE(queue.state().isSetAside(daily + "/a.mp4"));
}

// The items of a player that was replaced decide nothing: a decision for the player the files
// opened by hand replace never takes one of them, and each plays once, in order, in its own player.
TEST_F(PlayQueueTest, FilesOpenedByHandAreNeverTakenByThePlayerTheyReplace) {
    qputenv("VORNPLAYER_VIDEO_OUTPUT", "null");
    const QString clip = test::clip(0.6, false);
    ASSERT_FALSE(clip.isEmpty());
    for (const char* name : {"a.mp4", "b.mp4"}) addBytes(name, test::readAll(clip), name[0] == 'a' ? 20 : 10);
    QTemporaryDir hand;
    QStringList opened;
    for (const char* name : {"h1.mp4", "h2.mp4", "h3.mp4"}) {
        opened += hand.filePath(name);
        QFile::copy(clip, opened.last());
    }
    startWithFirstList();
    queue.playFromStart(PlayerItem::playerItemWithURL(QUrl::fromLocalFile(daily + "/b.mp4")));
    std::shared_ptr<Player> dailyPlayer = queue.player();
    ASSERT_TRUE(dailyPlayer);
    // The operator opens three files; the daily player's item ends before the hand player exists.
    const std::uint64_t session = queue.startFilesOpenedByHand(opened);
    queue.playerItemDidPlayToEndTime(dailyPlayer->currentItem(), PlayerItemEnd{});
    ASSERT_TRUE(queue.waitForDecisions(10s));
    queue.playFromStart(PlayerItem::playerItemWithURL(QUrl::fromLocalFile(opened[0])), session);
    // The daily player's late events no longer count either.
    queue.playerItemDidPlayToEndTime(dailyPlayer->currentItem(), PlayerItemEnd{});

    const QStringList played = playsSeen(5, 30000);
    Player::release(std::move(dailyPlayer));
    queue.setPlayer(nullptr);
    qunsetenv("VORNPLAYER_VIDEO_OUTPUT");
    ASSERT_GE(played.size(), 4) << played.join(' ').toStdString();
    EXPECT_EQ(played.mid(0, 3), (QStringList{"h1.mp4", "h2.mp4", "h3.mp4"}));
    EXPECT_FALSE(played.mid(3).contains("h2.mp4")) << played.join(' ').toStdString();
    EXPECT_FALSE(queue.filesOpenedByHandPlaying());
}

// The running program's path with a real player: each item is announced before its end, decided
// while it still plays (its play is counted then) and handed in, and the order holds: the new file
// twice, then the list newest to oldest.
TEST_F(PlayQueueTest, WithARealPlayerEveryItemIsDecidedAheadAndPlaysInOrder) {
    qputenv("VORNPLAYER_VIDEO_OUTPUT", "null");
    const QString clip = test::clip(1.0, false);
    ASSERT_FALSE(clip.isEmpty());
    addBytes("a.mp4", test::readAll(clip), 30);
    addBytes("b.mp4", test::readAll(clip), 20);
    addBytes("c.mp4", test::readAll(clip), 10);
    startWithFirstList();
    queue.playFromStart(PlayerItem::playerItemWithURL(QUrl::fromLocalFile(daily + "/c.mp4")));

    struct Play {
        std::shared_ptr<PlayerItem> item;
        qint64 countAtStart = 0;
        qint64 countWhilePlaying = 0;
    };
    std::vector<Play> plays;
    test::waitUntil(
        [&] {
            const qint64 count = controller.repeatcount();
            const Player::Status now = queue.player()->status();
            if (now.item && (plays.empty() || plays.back().item != now.item)) plays.push_back({now.item, count, count});
            if (!plays.empty() && now.item == plays.back().item && now.state == Player::State::Playing) {
                plays.back().countWhilePlaying = count;
            }
            return plays.size() >= 8;
        },
        40000, 5);
    queue.setPlayer(nullptr);
    qunsetenv("VORNPLAYER_VIDEO_OUTPUT");
    QStringList played;
    for (const Play& play : plays) played += play.item->url().fileName();
    EXPECT_EQ(played, (QStringList{"c.mp4", "c.mp4", "b.mp4", "a.mp4", "c.mp4", "b.mp4", "a.mp4", "c.mp4"}));
    for (std::size_t i = 0; i + 1 < plays.size(); ++i) {
        EXPECT_EQ(plays[i].countWhilePlaying, plays[i].countAtStart + 1) << "play " << i << " was not decided ahead";
    }
}

// While the share is away the picture stays and the queue looks again once it is back. The operator
// opens a short file, which ends while the share is still away and asks for a look again of its
// own, while the one of the player it replaced is still due: the later one is kept, and the
// cycle goes on once the share answers.
TEST_F(PlayQueueTest, AFileOpenedByHandThatEndsDuringAnOutageLooksAgainAndTheCycleResumes) {
    qputenv("VORNPLAYER_VIDEO_OUTPUT", "null");
    const QString clip = test::clip(0.6, false), shortClip = test::clip(0.3, false);
    ASSERT_FALSE(clip.isEmpty() || shortClip.isEmpty());
    addBytes("a.mp4", test::readAll(clip), 20);
    addBytes("b.mp4", test::readAll(clip), 10);
    QTemporaryDir local;
    const QString onLocalDisk = local.filePath("local.mp4"), opened = local.filePath("opened.mp4");
    ASSERT_TRUE(QFile::copy(clip, onLocalDisk) && QFile::copy(shortClip, opened));
    startWithFirstList();

    // The share goes away; what plays (from a local disk) ends, and the queue looks again.
    ASSERT_TRUE(QDir(root.path()).rename("src", "src-away"));
    queue.playFromStart(PlayerItem::playerItemWithURL(QUrl::fromLocalFile(onLocalDisk)));
    std::shared_ptr<Player> first = queue.player();
    ASSERT_TRUE(test::waitUntil([&] { return first->status().state == Player::State::Ended; }, 10000, 5));
    ASSERT_TRUE(queue.waitForDecisions(10s));
    Player::release(std::move(first));

    const std::uint64_t session = queue.startFilesOpenedByHand({opened});
    queue.playFromStart(PlayerItem::playerItemWithURL(QUrl::fromLocalFile(opened)), session);
    const std::shared_ptr<PlayerItem> hand = queue.player()->currentItem();
    ASSERT_TRUE(test::waitUntil(
        [&] {
            const Player::Status now = queue.player()->status();
            return now.item == hand && now.state == Player::State::Ended;
        },
        10000, 5));
    ASSERT_TRUE(queue.waitForDecisions(10s));

    // The queue waits for the share to be back instead of deciding again every 2 s: with the
    // folder back but nobody looking at it, nothing changes; the look at the share (every 2 s in
    // the running program) lets the cycle go on.
    ASSERT_TRUE(QDir(root.path()).rename("src-away", "src"));
    EXPECT_FALSE(test::waitUntil([&] { return queue.player()->currentItem() != hand; }, 3000, 20))
        << "decided again before a look found the share back";
    controller.sourceFolderMonitor().look();
    EXPECT_TRUE(test::waitUntil([&] { return queue.player()->currentItem() != hand; }, 15000, 20))
        << "still on the file opened by hand after the share came back";
    queue.setPlayer(nullptr);
    qunsetenv("VORNPLAYER_VIDEO_OUTPUT");
}

TEST(ScreenChoiceTest, TheSecondScreenWhenThereAreSeveral) {
    const Screen one{"one", QRect(0, 0, 100, 100)}, two{"two", QRect(100, 0, 100, 100)}, three{"three", QRect()};
    EXPECT_FALSE(AppDelegate::chooseScreen({}).has_value());
    EXPECT_EQ(AppDelegate::chooseScreen({one})->name, "one");
    EXPECT_EQ(AppDelegate::chooseScreen({one, two})->name, "two");
    EXPECT_EQ(AppDelegate::chooseScreen({one, two, three})->name, "two");
}

TEST(SavedItemsTest, OnlyFileUrlsAreStoredAndTheyComeBackAsItems) {
    const std::shared_ptr<AppDelegate> controllerHandle = AppDelegate::create();
    AppDelegate& controller = *controllerHandle;
    UserDefaults& store = UserDefaults::standardUserDefaults();
    store.removeObjectForKey("prefArrayOfPathsOfLastItems");
    controller.saveCurrentUrlsToPrefs({QString("/not/a/url.mp4"), 42});
    EXPECT_FALSE(store.objectForKey("prefArrayOfPathsOfLastItems").isValid());
    controller.saveCurrentUrlsToPrefs({QUrl::fromLocalFile("/v/a b.mp4"), QString("/skipped.mp4"),
                                       QUrl("https://example.org/x.mp4"), QUrl::fromLocalFile("/v/c.mov")});
    EXPECT_EQ(store.stringArrayForKey("prefArrayOfPathsOfLastItems"), (QStringList{"/v/a b.mp4", "/v/c.mov"}));
    const auto items = controller.getArrayOfLastAVPlayerItems();
    ASSERT_EQ(items.size(), 2);
    EXPECT_EQ(items[0]->url(), QUrl::fromLocalFile("/v/a b.mp4"));
    store.removeObjectForKey("prefArrayOfPathsOfLastItems");
    EXPECT_TRUE(controller.getArrayOfLastAVPlayerItems().isEmpty());
}

}  // namespace

// The queue's state alone: no settings store, no script, no player, no disk.
TEST(PlayQueueStateTest, DecidesNewRepeatAndRotationFromTheListsItIsGiven) {
    using Kind = PlayQueueState::EndKind;
    const auto now = PlayQueueState::Clock::now();
    PlayQueueState state;
    const QStringList first{"/v/day/c.mp4", "/v/day/b.mp4", "/v/day/a.mp4"};
    state.startWith(first);
    EXPECT_EQ(state.pathToLastNewItem(), "/v/day/c.mp4");

    // c is not new: it plays again until it has had its two plays, then the list moves on.
    PlayQueueState::Decision d = state.itemEnded(first, 2, "/v/day/c.mp4", Kind::Played, {}, now);
    EXPECT_FALSE(d.newItem);
    EXPECT_FALSE(d.rotated);
    EXPECT_EQ(d.next, "/v/day/c.mp4");
    d = state.itemEnded(first, 2, "/v/day/c.mp4", Kind::Played, {}, now);
    EXPECT_TRUE(d.rotated);
    EXPECT_EQ(d.repeatList, (QStringList{"/v/day/b.mp4", "/v/day/a.mp4", "/v/day/c.mp4"}));
    EXPECT_EQ(d.next, "/v/day/b.mp4");
    EXPECT_EQ(state.repeatcount(), 2);

    // An empty scan changes nothing but the count; a look again counts nothing.
    d = state.itemEnded({}, 2, "/v/day/b.mp4", Kind::Played, {}, now);
    EXPECT_TRUE(d.next.isNull());
    EXPECT_EQ(state.repeatcount(), 3);
    state.itemEnded({}, 2, "/v/day/b.mp4", Kind::Recheck, {}, now);
    EXPECT_EQ(state.repeatcount(), 3);
    EXPECT_EQ(state.repeatList().first(), "/v/day/b.mp4");

    // A new newest file (a name differing only in letter case is not new) resets the count.
    d = state.itemEnded(QStringList{"/v/day/C.MP4", "/v/day/b.mp4"}, 2, "/v/day/b.mp4", Kind::Played, {}, now);
    EXPECT_FALSE(d.newItem);
    d = state.itemEnded(QStringList{"/v/day/./d.mp4", "/v/day/c.mp4"}, 2, "/v/day/a.mp4", Kind::Played, {}, now);
    EXPECT_TRUE(d.newItem);
    EXPECT_EQ(state.pathToLastNewItem(), "/v/day/d.mp4");
    EXPECT_EQ(state.repeatcount(), 0);
    EXPECT_EQ(d.next, "/v/day/d.mp4");

    state.reset();
    EXPECT_TRUE(state.pathToLastNewItem().isNull());
    EXPECT_EQ(state.repeatcount(), 0);
}

TEST(PlayQueueStateTest, FailedFilesArePassedOverUntilTheyChangeAndANewFileKeepsItsPlays) {
    using Kind = PlayQueueState::EndKind;
    using Stamps = QHash<QString, MediaFiles::Stamp>;
    const auto t0 = PlayQueueState::Clock::now();
    const MediaFiles::Stamp bad{true, 100, 1}, fixed{true, 5000, 2}, fine{true, 10, 1}, gone{};
    const QStringList list{"/v/new.mp4", "/v/b.mp4", "/v/c.mp4"};
    PlayQueueState state;
    state.startWith({"/v/old.mp4"});
    PlayQueueState::Decision d = state.itemEnded(list, 3, "/v/old.mp4", Kind::Played, {}, t0);
    ASSERT_TRUE(d.newItem);
    EXPECT_EQ(d.next, "/v/new.mp4");

    // The new file fails on its first play: set aside with what the player said, its plays are not
    // used up, the others play.
    state.noteFailure("/v/new.mp4", "unrecognized file format (mpv error -17)");
    d = state.itemEnded(list, 3, "/v/new.mp4", Kind::Failed, Stamps{{"/v/new.mp4", bad}}, t0);
    EXPECT_EQ(d.setAside, QStringList{"/v/new.mp4"});
    ASSERT_EQ(state.outlook(3).setAside.size(), 1);
    EXPECT_EQ(state.outlook(3).setAside[0].why, "unrecognized file format (mpv error -17)");
    EXPECT_EQ(d.next, "/v/b.mp4");
    d = state.itemEnded(list, 3, "/v/b.mp4", Kind::Played, Stamps{{"/v/new.mp4", bad}}, t0);
    EXPECT_EQ(d.next, "/v/c.mp4");
    d = state.itemEnded(list, 3, "/v/c.mp4", Kind::Played, Stamps{{"/v/new.mp4", bad}}, t0);
    EXPECT_EQ(d.next, "/v/b.mp4") << "a file set aside is passed over, not loaded";

    // It changes (the copy was finished after all): taken back, and it gets all its plays.
    d = state.itemEnded(list, 3, "/v/b.mp4", Kind::Played, Stamps{{"/v/new.mp4", fixed}}, t0);
    EXPECT_EQ(d.takenBack, QStringList{"/v/new.mp4"});
    EXPECT_EQ(d.next, "/v/new.mp4");
    for (int play = 1; play < 3; ++play) {
        d = state.itemEnded(list, 3, "/v/new.mp4", Kind::Played, {}, t0);
        EXPECT_EQ(d.next, "/v/new.mp4") << play;
    }
    d = state.itemEnded(list, 3, "/v/new.mp4", Kind::Played, {}, t0);
    EXPECT_NE(d.next, "/v/new.mp4");

    // A file that is gone leaves the list; when every file left is set aside, nothing is chosen.
    d = state.itemEnded(list, 3, d.next, Kind::Failed, Stamps{{"/v/b.mp4", fine}, {"/v/c.mp4", gone}}, t0);
    EXPECT_EQ(d.vanished, QStringList{"/v/c.mp4"});
    EXPECT_FALSE(state.repeatList().contains("/v/c.mp4"));
    d = state.itemEnded(list, 3, d.next, Kind::Failed, Stamps{{"/v/new.mp4", fixed}, {"/v/b.mp4", fine}}, t0);
    EXPECT_TRUE(d.nothingPlayable);
    EXPECT_TRUE(d.next.isNull());
    // Unchanged files are tried again after ten minutes at the latest.
    d = state.itemEnded(list, 3, QString(), Kind::Recheck, Stamps{{"/v/new.mp4", fixed}, {"/v/b.mp4", fine}},
                        t0 + std::chrono::minutes(11));
    EXPECT_EQ(d.takenBack.size(), 2);
    EXPECT_FALSE(d.next.isNull());
}

TEST(PlayQueueStateTest, FilesOpenedByHandPlayOnceEachInTheirOrderAfterTheirOwnPlayer) {
    using Kind = PlayQueueState::HandTurn::Kind;
    const int oldPlayer = 0, handPlayer = 0;
    PlayQueueState state;
    EXPECT_FALSE(state.filesOpenedByHandPlaying());
    const std::uint64_t replaced = state.startFilesOpenedByHand({"/x.mp4", "/y.mp4"});
    const std::uint64_t session = state.startFilesOpenedByHand({"/a.mp4", "/b.mp4", "/c.mp4"});
    EXPECT_TRUE(state.filesOpenedByHandPlaying());
    // Until their player exists, no player's items take them.
    EXPECT_EQ(state.takeFileOpenedByHand(&oldPlayer).kind, Kind::None);
    EXPECT_TRUE(state.bindFilesOpenedByHand(session, &handPlayer));
    // The player of an opening replaced since takes none of them.
    EXPECT_FALSE(state.bindFilesOpenedByHand(replaced, &oldPlayer));
    EXPECT_EQ(state.takeFileOpenedByHand(&oldPlayer).kind, Kind::None);
    EXPECT_EQ(state.takeFileOpenedByHand(&handPlayer).path, "/b.mp4");
    EXPECT_EQ(state.takeFileOpenedByHand(&handPlayer).path, "/c.mp4");
    EXPECT_TRUE(state.filesOpenedByHandPlaying());
    EXPECT_EQ(state.takeFileOpenedByHand(&handPlayer).kind, Kind::Done);
    EXPECT_FALSE(state.filesOpenedByHandPlaying());
    EXPECT_EQ(state.takeFileOpenedByHand(&handPlayer).kind, Kind::None);

    // A player not made for them takes over: they play no more.
    const std::uint64_t next = state.startFilesOpenedByHand({"/d.mp4", "/e.mp4"});
    EXPECT_TRUE(state.bindFilesOpenedByHand(next, &handPlayer));
    state.dropFilesOpenedByHand();
    EXPECT_FALSE(state.filesOpenedByHandPlaying());
    EXPECT_EQ(state.takeFileOpenedByHand(&handPlayer).kind, Kind::None);
}

namespace {

// A folder as the newest-files script and a look at the disk see it, on a clock the test moves
// by whole seconds.
class Folder {
public:
    void write(const QString& name, qint64 size, bool whole = true, int secondsAgo = 0) {
        stamps_["/v/" + name] = MediaFiles::Stamp{true, size, wallNs(now_ - secondsAgo)};
        whole_["/v/" + name] = whole;
    }
    void tick(int seconds = 1) { now_ += seconds; }
    int now() const { return now_; }
    // Newest first, at most three, without what was written within the last two seconds.
    QStringList listed() const {
        QStringList paths;
        for (auto it = stamps_.constBegin(); it != stamps_.constEnd(); ++it) {
            if (it->modifiedNs <= wallNs(now_ - 2)) paths += it.key();
        }
        std::sort(paths.begin(), paths.end(),
                  [this](const QString& x, const QString& y) { return stamps_[x].modifiedNs > stamps_[y].modifiedNs; });
        return paths.mid(0, 3);
    }
    Arrivals::Result look(Arrivals& arrivals, const QString& lastTaken, const QStringList& paths) const {
        return arrivals.filter(
            paths, lastTaken, t0_ + std::chrono::seconds(now_), wall0_ + std::chrono::seconds(now_),
            [this](const QString& path) { return std::optional(stamps_.value(path)); },
            [this](const QString& path) {
                return whole_.value(path) ? MediaFiles::Completeness::Complete : MediaFiles::Completeness::Incomplete;
            });
    }

private:
    qint64 wallNs(int second) const {
        return std::chrono::duration_cast<std::chrono::nanoseconds>(wall0_.time_since_epoch()).count() +
               qint64(second) * 1000000000;
    }
    const Arrivals::Clock::time_point t0_ = Arrivals::Clock::now();
    const Arrivals::WallClock::time_point wall0_ = Arrivals::WallClock::now();
    int now_ = 0;
    QHash<QString, MediaFiles::Stamp> stamps_;
    QHash<QString, bool> whole_;
};

}  // namespace

// The newest file touched, then copied in again over a few seconds: the script leaves it out at
// first, then it is listed but not yet complete. Nothing older is new meanwhile, the cycle goes
// on as it was, and the file is not new when it is whole again; a newer file still is.
// A box check the share did not answer (or could not read) says nothing: it is asked again at the
// next look, and a whole file counts as soon as one check answers.
TEST(ArrivalsTest, ABoxCheckWithoutAnAnswerIsAskedAgain) {
    Arrivals arrivals;
    const auto t0 = Arrivals::Clock::now();
    const auto wall0 = Arrivals::WallClock::now();
    const MediaFiles::Stamp stamp{true, 1000,
                                  std::chrono::duration_cast<std::chrono::nanoseconds>(
                                      (wall0 - std::chrono::minutes(5)).time_since_epoch())
                                      .count()};
    int checks = 0;
    const auto completenessOf = [&](const QString&) {
        return ++checks <= 2 ? MediaFiles::Completeness::Unknown : MediaFiles::Completeness::Complete;
    };
    Arrivals::Result result;
    for (int second = 0; second <= 10 && result.complete.isEmpty(); second += 2) {
        result = arrivals.filter({"/share/day/new.mp4"}, {}, t0 + std::chrono::seconds(second),
                                 wall0 + std::chrono::seconds(second),
                                 [&](const QString&) { return std::optional(stamp); }, completenessOf);
        EXPECT_TRUE(result.unfinished.isEmpty()) << "a check without an answer names nothing";
    }
    EXPECT_EQ(result.complete, QStringList{"/share/day/new.mp4"});
    EXPECT_EQ(checks, 3);
}

TEST(ArrivalsTest, ARewrittenNewestFileKeepsItsPlaceAndOnlyANewerFileIsNew) {
    using Kind = PlayQueueState::EndKind;
    Folder disk;
    disk.write("a.mp4", 100, true, 300);
    disk.write("b.mp4", 100, true, 200);
    disk.write("c.mp4", 100, true, 100);
    Arrivals arrivals;
    PlayQueueState state;
    disk.look(arrivals, {}, disk.listed());
    disk.tick(2);
    state.startWith(disk.look(arrivals, {}, disk.listed()).complete);
    ASSERT_EQ(state.repeatList().size(), 3);
    QString playing = state.repeatList().first();
    int newItems = 0;
    auto ends = [&](int count) {
        QStringList next;
        for (int i = 0; i < count; ++i) {
            disk.tick();
            const Arrivals::Result r = disk.look(arrivals, state.pathToLastNewItem(), disk.listed());
            const PlayQueueState::Decision d = state.itemEnded(
                {r.complete, r.newestEverComplete}, 3, playing, Kind::Played, {}, PlayQueueState::Clock::now());
            newItems += d.newItem;
            playing = d.next;
            next += QFileInfo(d.next).completeBaseName();
        }
        return next.join(' ').toStdString();
    };
    EXPECT_EQ(ends(4), "c c b a");

    disk.write("c.mp4", 100);  // touched
    EXPECT_EQ(ends(6), "c b a c b a");
    std::string copying;
    for (int second = 0; second < 3; ++second) {  // copied in again over three ends, whole at the last
        disk.write("c.mp4", 40 * (second + 1), second == 2);
        copying += ends(1) + ' ';
    }
    EXPECT_EQ(copying + ends(5), "c b a c b a c b");
    EXPECT_EQ(newItems, 0);

    disk.write("d.mp4", 100);
    EXPECT_EQ(ends(9), "a c b d d d c b d");
    EXPECT_EQ(newItems, 1);
    EXPECT_EQ(state.pathToLastNewItem(), "/v/d.mp4");
}

// A file that never completes is named once: "still arriving" while it changes (or bears a time
// to come), "unfinished" once it stayed the same for a minute of looks or, at the first look,
// bore a time over a minute old.
TEST(ArrivalsTest, FilesThatNeverCompleteAreNamedOnceByHowLongTheyStayedTheSame) {
    Folder disk;
    disk.write("old-empty.mp4", 0, false, 3 * 3600);
    disk.write("growing.mp4", 10, false);
    disk.write("future.mp4", 10, false, -3600);
    disk.write("fine.mp4", 10, true, 3600);
    Arrivals arrivals;
    QStringList arriving, unfinished;
    const QStringList all{"/v/old-empty.mp4", "/v/growing.mp4", "/v/future.mp4", "/v/fine.mp4"};
    for (; disk.now() <= 90; disk.tick(2)) {
        if (disk.now() == 4) disk.write("growing.mp4", 20, false);
        const Arrivals::Result r = disk.look(arrivals, {}, all);
        for (const QString& path : r.arriving) arriving += fmt("%@ at %li", path, long(disk.now()));
        for (const auto& file : r.unfinished) {
            unfinished += fmt("%@ (%li bytes) at %li", file.path, long(file.size), long(disk.now()));
        }
        // An hour old and whole: it counts at the first look.
        EXPECT_EQ(r.complete.join(' ').toStdString(), "/v/fine.mp4") << disk.now();
    }
    EXPECT_EQ(arriving.join(", ").toStdString(), "/v/growing.mp4 at 0, /v/future.mp4 at 0");
    EXPECT_EQ(unfinished.join(", ").toStdString(),
              "/v/old-empty.mp4 (0 bytes) at 0, /v/future.mp4 (10 bytes) at 60, /v/growing.mp4 (20 bytes) at 64");
}

// The 2 s look lists today's folder again only while something there may still become complete:
// after the folder changed, and for as long as a file listed keeps changing; a file that settles
// counts at the look after, and then the looks cost nothing more than a look at the folder.
TEST(ArrivalsTest, TheLooksBetweenDecisionsFollowAFileUntilItSettles) {
    Folder disk;
    disk.write("old.mp4", 100, true, 300);
    Arrivals arrivals;
    ArrivalsWatch watch;
    const QString day = "/v";
    MediaFiles::Stamp folder{true, 4096, 1};
    std::string seen;
    auto tick = [&] {
        if (watch.needsListing(day, folder)) {
            const Arrivals::Result r = disk.look(arrivals, {}, disk.listed());
            watch.listed(day, folder, r.stillChanging);
            seen += r.complete.join(',').toStdString() + (r.stillChanging ? " changing" : "") + "; ";
        } else {
            seen += "-; ";
        }
        disk.tick(2);
    };
    tick();  // the first look at old.mp4, five minutes old and whole: it counts at once
    tick();
    tick();  // nothing changed
    EXPECT_EQ(seen, "/v/old.mp4; -; -; ");

    seen.clear();
    folder.modifiedNs = 2;  // a file lands, and grows for two more looks
    disk.write("new.mp4", 10, false, 3);
    tick();
    disk.write("new.mp4", 20, false, 3);
    tick();
    disk.write("new.mp4", 30, true, 3);
    tick();
    tick();
    tick();
    EXPECT_EQ(seen, "/v/old.mp4 changing; /v/old.mp4 changing; /v/old.mp4 changing; /v/new.mp4,/v/old.mp4; -; ");

    // A share that does not answer is not listed.
    folder.modifiedNs = 3;
    EXPECT_FALSE(watch.needsListing(day, std::nullopt));
    EXPECT_FALSE(watch.needsListing(day, MediaFiles::Stamp{}));
    EXPECT_TRUE(watch.needsListing(day, folder));
    EXPECT_TRUE(watch.needsListing("/v/other", MediaFiles::Stamp{true, 4096, 2}));
}
