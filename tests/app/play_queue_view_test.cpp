// The play queue with a real player shown by a real (software) view, as in the running program.
#include "app/LocalCopies.h"
#include "app/PlayQueue.h"
#include "app/SourceFolderMonitor.h"
#include "app/StatusService.h"
#include "platform/core/Queues.h"
#include "platform/core/UserDefaults.h"
#include "platform/media/PlayerView.h"

#include "Clips.h"
#include "GuiTestSupport.h"

#include <QTemporaryDir>
#include <QUrl>

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

namespace {

// Two clips, a.mp4 and b.mp4, a real software view shown, and a monitor of no source folder; a
// new file plays once.
class PlayQueueWithAViewTest : public ::testing::Test {
protected:
    void SetUp() override {
        qunsetenv("VORNPLAYER_VIDEO_OUTPUT");
        UserDefaults::standardUserDefaults().setArgumentDomain({{"prefNewMovieRepeatLoopCount", 1}});
        view.reset(PlayerView::create());
        view->resize(160, 120);
        view->show();
    }
    void TearDown() override { UserDefaults::standardUserDefaults().setArgumentDomain({}); }

    bool makeClips(double seconds) {
        const QString clip = test::clip(seconds, false);
        return !clip.isEmpty() && QFile::copy(clip, a) && QFile::copy(clip, b);
    }

    QTemporaryDir dir;
    const QString a = dir.filePath("a.mp4"), b = dir.filePath("b.mp4");
    std::unique_ptr<PlayerView> view;
    std::shared_ptr<SourceFolderMonitor> monitor = std::make_shared<SourceFolderMonitor>(nullptr);
};

// The view lets go of the player while the queue decides ahead of the first item's end, so the
// player refuses the next item then. The decision is carried out at the end, without a second
// one: one scan, one play counted, and the file chosen plays next.
TEST_F(PlayQueueWithAViewTest, ADecisionThePlayerCouldNotTakeIsCarriedOutAtTheEndAndNotTakenTwice) {
    ASSERT_TRUE(makeClips(3.0));
    std::atomic<int> scans{0};
    PlayQueue::Sources sources;
    sources.scan = [&] {
        if (++scans == 1) {
            std::promise<void> gone;
            DispatchQueue::main().async([&] {
                view->setPlayer(nullptr);
                gone.set_value();
            });
            gone.get_future().wait();
        }
        return PlayQueueState::Found(QStringList{b, a});
    };
    sources.sourceFolder = monitor;
    sources.status = std::make_shared<StatusService>(monitor);
    sources.showPlayer = [&](const std::shared_ptr<Player>& player) { view->setPlayer(player); };
    const std::shared_ptr<PlayQueue> queue = PlayQueue::create(sources);
    queue->startWith({b, a});
    queue->playFromStart(PlayerItem::playerItemWithURL(QUrl::fromLocalFile(b)));

    ASSERT_TRUE(test::waitUntil([&] { return scans == 1; }, 15000));
    // The decision taken then (a) is done before the view comes back: b plays again from its start.
    std::future<bool> decided = std::async(std::launch::async, [&] { return queue->waitForDecisions(std::chrono::seconds(15)); });
    ASSERT_TRUE(test::waitUntil([&] { return decided.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }, 20000));
    ASSERT_TRUE(decided.get());
    EXPECT_EQ(queue->player()->status().item->url().toLocalFile(), b);
    view->setPlayer(queue->player());
    int scansWhenNextStarted = -1;
    qint64 playsWhenNextStarted = -1;
    ASSERT_TRUE(test::waitUntil(
        [&] {
            const Player::Status now = queue->player()->status();
            if (!now.item || now.item->url().toLocalFile() != a) return false;
            scansWhenNextStarted = scans;
            playsWhenNextStarted = queue->state().repeatcount();
            return true;
        },
        20000, 5));
    EXPECT_EQ(scansWhenNextStarted, 1);
    EXPECT_EQ(playsWhenNextStarted, 1);

    view->setPlayer(nullptr);
    queue->setPlayer(nullptr);
}

// A scan slower than the player's own lead: the first item ends before its decision, and from
// then on the decision starts early enough to be taken while its item still plays.
TEST_F(PlayQueueWithAViewTest, TheLeadGrowsWithTheScanSoThatDecisionsEndBeforeTheirItem) {
    ASSERT_TRUE(makeClips(4.0));
    std::shared_ptr<PlayQueue> queue;
    std::mutex mutex;
    std::vector<bool> stillPlaying;  // for each scan: its item still played once it was done
    PlayQueue::Sources sources;
    sources.scan = [&] {
        const std::shared_ptr<Player> player = queue->player();
        const std::shared_ptr<PlayerItem> item = player ? player->status().item : nullptr;
        // A scan of a large folder on a slow share takes this long.
        std::this_thread::sleep_for(std::chrono::milliseconds(2500));
        const Player::Status after = player ? player->status() : Player::Status{};
        {
            std::lock_guard<std::mutex> lock(mutex);
            stillPlaying.push_back(after.item == item && after.state == Player::State::Playing);
        }
        Player::release(std::shared_ptr<Player>(player));
        return PlayQueueState::Found(QStringList{b, a});
    };
    sources.sourceFolder = monitor;
    sources.status = std::make_shared<StatusService>(monitor);
    sources.showPlayer = [&](const std::shared_ptr<Player>& player) { view->setPlayer(player); };
    queue = PlayQueue::create(sources);
    queue->startWith({b, a});
    queue->playFromStart(PlayerItem::playerItemWithURL(QUrl::fromLocalFile(b)));

    ASSERT_TRUE(test::waitUntil(
        [&] {
            std::lock_guard<std::mutex> lock(mutex);
            return stillPlaying.size() >= 4;
        },
        60000, 20));
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_FALSE(stillPlaying[0]) << "the first decision, with the player's own lead, ends after its item";
    for (std::size_t i = 1; i < stillPlaying.size(); ++i) EXPECT_TRUE(stillPlaying[i]) << "scan " << i;
    view->setPlayer(nullptr);
    queue->setPlayer(nullptr);
}

// An item opened from its local copy fails to play (the copy is bad): the copy is dropped, its
// source is not set aside, and it plays next from the source itself.
TEST_F(PlayQueueWithAViewTest, ACopyThatFailsToPlayIsDroppedAndItsSourcePlaysInstead) {
    ASSERT_TRUE(makeClips(2.0));
    const std::shared_ptr<LocalCopies> copies = LocalCopies::create({dir.filePath("copies"), std::nullopt, 0});
    copies->want({b}, {b});
    ASSERT_TRUE(copies->waitUntilIdle(std::chrono::seconds(20)));
    const QString copy = copies->copyPathFor(b);
    ASSERT_TRUE(test::writeAll(copy, QByteArray(QFileInfo(b).size(), '\0')));
    PlayQueue::Sources sources;
    sources.scan = [&] { return PlayQueueState::Found(QStringList{b, a}); };
    sources.sourceFolder = monitor;
    sources.status = std::make_shared<StatusService>(monitor);
    sources.showPlayer = [&](const std::shared_ptr<Player>& player) { view->setPlayer(player); };
    const std::shared_ptr<PlayQueue> queue = PlayQueue::create(sources);
    queue->startWith({b, a});
    queue->setLocalCopies(copies);
    queue->playFromStart(PlayerItem::playerItemWithURL(QUrl::fromLocalFile(b), copy));

    ASSERT_TRUE(test::waitUntil(
        [&] {
            const Player::Status now = queue->player()->status();
            return now.item && !now.item->opensACopy() && now.state == Player::State::Playing;
        },
        20000, 10));
    EXPECT_EQ(queue->player()->status().item->url().toLocalFile().toStdString(), b.toStdString());
    EXPECT_FALSE(queue->state().isSetAside(b));
    EXPECT_EQ(copies->stats().dropped, 1u);
    copies->stop();
    view->setPlayer(nullptr);
    queue->setPlayer(nullptr);
}

}  // namespace
