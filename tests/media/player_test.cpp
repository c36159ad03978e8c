#include "platform/media/Player.h"
#include "platform/media/PlayerCore.h"
#include "platform/media/PlayerView.h"

#include "Clips.h"
#include "media/ViewInWindow.h"
#include "TestSupport.h"

#include <QApplication>
#include <QFileInfo>
#include <QImage>
#include <QTemporaryDir>
#include <QVBoxLayout>
#include <QThread>

#include <gtest/gtest.h>
#include <mpv/client.h>

#include <algorithm>
#include <condition_variable>
#include <fcntl.h>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

namespace {

// What a player tells its delegate, in order; an optional reaction to an end or a near end runs on
// the player's thread, as the play queue's would.
class Events : public PlayerDelegate {
public:
    struct Event {
        QString what;  // "near", "start", "failed", "end", "refused"
        std::shared_ptr<PlayerItem> item;
        std::chrono::steady_clock::time_point at;
        std::thread::id thread;
        PlayerItemEnd end;
    };

    // A reaction set (or cleared) here no longer runs once this returns: what it uses may go then.
    using Reaction = std::function<void(const std::shared_ptr<PlayerItem>&)>;
    void reactToEnd(Reaction reaction) { set(onEnd_, std::move(reaction)); }
    void reactToNear(Reaction reaction) { set(onNear_, std::move(reaction)); }

    void playerItemWillPlayToEndTime(const std::shared_ptr<PlayerItem>& item) override {
        note("near", item);
        react(onNear_, item);
    }
    void playerItemDidStart(const std::shared_ptr<PlayerItem>& item) override { note("start", item); }
    void playerItemFailedToPlay(const std::shared_ptr<PlayerItem>& item, int) override { note("failed", item); }
    void playerItemDidPlayToEndTime(const std::shared_ptr<PlayerItem>& item, const PlayerItemEnd& end) override {
        note("end", item, end);
        react(onEnd_, item);
    }
    void playerDidRefuseNextItem(const std::shared_ptr<PlayerItem>& item, int) override { note("refused", item); }
    void playerDidHang(const std::shared_ptr<PlayerItem>& item) override { note("hung", item); }

    // Waits until `count` events of the kind have come.
    bool waitFor(const QString& what, std::size_t count, int timeoutMs) {
        std::unique_lock<std::mutex> lock(mutex_);
        return cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return countLocked(what) >= count; });
    }
    std::size_t count(const QString& what) {
        std::lock_guard<std::mutex> lock(mutex_);
        return countLocked(what);
    }
    std::vector<Event> of(const QString& what) {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<Event> found;
        for (const Event& e : events_) {
            if (e.what == what) found.push_back(e);
        }
        return found;
    }
    std::vector<Event> all() {
        std::lock_guard<std::mutex> lock(mutex_);
        return events_;
    }

private:
    void set(Reaction& slot, Reaction reaction) {
        std::unique_lock<std::mutex> lock(mutex_);
        cv_.wait(lock, [this] { return reacting_ == 0; });
        slot = std::move(reaction);
    }
    void react(const Reaction& slot, const std::shared_ptr<PlayerItem>& item) {
        Reaction reaction;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!slot) return;
            reaction = slot;
            ++reacting_;
        }
        reaction(item);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            --reacting_;
        }
        cv_.notify_all();
    }
    void note(const QString& what, const std::shared_ptr<PlayerItem>& item, const PlayerItemEnd& end = {}) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            events_.push_back({what, item, std::chrono::steady_clock::now(), std::this_thread::get_id(), end});
        }
        cv_.notify_all();
    }
    std::size_t countLocked(const QString& what) const {
        return static_cast<std::size_t>(
            std::count_if(events_.begin(), events_.end(), [&](const Event& e) { return e.what == what; }));
    }
    std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<Event> events_;
    Reaction onEnd_;
    Reaction onNear_;
    int reacting_ = 0;
};

std::shared_ptr<PlayerItem> itemFor(const QString& path) { return PlayerItem::playerItemWithURL(QUrl::fromLocalFile(path)); }

class PlayerTest : public ::testing::Test {
protected:
    void SetUp() override { qputenv("VORNPLAYER_VIDEO_OUTPUT", "null"); }
    void TearDown() override { qunsetenv("VORNPLAYER_VIDEO_OUTPUT"); }
};

TEST_F(PlayerTest, AnItemThatPlaysToItsEndIsReportedOnceOffTheMainThread) {
    const QString clip = test::clip(0.4);
    ASSERT_FALSE(clip.isEmpty());
    auto events = std::make_shared<Events>();
    auto item = itemFor(clip);
    auto player = Player::playerWithPlayerItem(item, events);
    player->play();
    ASSERT_TRUE(events->waitFor("end", 1, 10000));
    const Events::Event end = events->of("end").at(0);
    EXPECT_EQ(end.item, item);
    EXPECT_EQ(end.end.why, PlayerItemEnd::Why::Played);
    EXPECT_FALSE(end.end.nextFollows);
    EXPECT_NE(end.thread, std::this_thread::get_id());
    EXPECT_EQ(events->of("start").at(0).item, item);
    // It stays on its last frame and says nothing more (a wait that ends at once should it speak).
    EXPECT_FALSE(events->waitFor("end", 2, 1200));
    EXPECT_EQ(player->currentItem(), item);
    EXPECT_EQ(player->status().state, Player::State::Ended);
    EXPECT_TRUE(player->holds(*item));
    EXPECT_FALSE(player->holds(*itemFor(clip)));
}

TEST_F(PlayerTest, ReplacingTheItemAtEachEndCatchesEveryEnd) {
    const QString clip = test::clip(0.2, false);
    auto events = std::make_shared<Events>();
    std::shared_ptr<Player> player;
    std::vector<std::shared_ptr<PlayerItem>> played;
    std::mutex m;
    // On the player's thread, a fresh item replaces the ended one.
    events->reactToEnd([&](const std::shared_ptr<PlayerItem>& ended) {
        auto next = itemFor(clip);
        {
            std::lock_guard<std::mutex> lock(m);
            played.push_back(next);
        }
        player->replaceCurrentItemWithPlayerItem(next);
        ended->seekToTimeZero();  // not current any more: does nothing
        player->play();
    });
    auto first = itemFor(clip);
    played.push_back(first);
    player = Player::playerWithPlayerItem(first, events);
    player->play();
    ASSERT_TRUE(events->waitFor("end", 60, 60000)) << events->count("end");
    events->reactToEnd(nullptr);
    std::lock_guard<std::mutex> lock(m);
    const std::vector<Events::Event> ends = events->of("end");
    const std::vector<Events::Event> starts = events->of("start");
    for (int i = 0; i < 60; ++i) {
        EXPECT_EQ(ends[i].item, played[i]) << i;
        EXPECT_EQ(starts[i].item, played[i]) << i;
    }
}

// As the play queue does: each item is announced well before its end, the next one is handed in
// then, and the player goes straight on to it, saying so at the end; mpv's playlist does not grow.
// A file that is gone by the time it should open is told at once as refused, with no end to follow.
TEST_F(PlayerTest, AnItemHandedInAheadFollowsStraightOnAndOneThatCannotOpenIsReportedAtOnce) {
    const QString clip = test::clip(2.0, false);
    ASSERT_FALSE(clip.isEmpty());
    const QString gone = QFileInfo(clip).absolutePath() + "/not-there.mp4";
    auto events = std::make_shared<Events>();
    std::shared_ptr<Player> player;
    int handedIn = 0;
    std::vector<std::shared_ptr<PlayerItem>> following;
    events->reactToNear([&](const std::shared_ptr<PlayerItem>& item) {
        auto next = itemFor(++handedIn < 4 ? clip : gone);
        following.push_back(next);
        EXPECT_TRUE(player->setNextItem(next, item));
        EXPECT_FALSE(player->setNextItem(itemFor(clip), item));  // one is handed in already: refused
        EXPECT_FALSE(player->setNextItem(itemFor(clip), next));  // not the current item: refused
    });

    auto first = itemFor(clip);
    player = Player::playerWithPlayerItem(first, events);
    player->play();
    const auto order = [&] {
        std::string text;
        for (const auto& e : events->all()) text += e.what.toStdString() + " ";
        return text;
    };
    ASSERT_TRUE(events->waitFor("refused", 1, 30000)) << order();
    // Nothing follows the refusal: no end of the file that is gone (a wait that ends at once should one come).
    EXPECT_FALSE(events->waitFor("end", 5, 1500)) << order();
    events->reactToNear(nullptr);
    const std::vector<Events::Event> all = events->all();
    QStringList kinds;
    for (const auto& e : all) kinds += e.what;
    ASSERT_EQ(kinds, (QStringList{"start", "near", "end", "start", "near", "end", "start", "near", "end", "start",
                                  "near", "end", "start", "refused"}));
    const std::vector<std::shared_ptr<PlayerItem>> expected{first,        first,        first,        following[0],
                                                            following[0], following[0], following[1], following[1],
                                                            following[1], following[2], following[2], following[2],
                                                            following[3], following[3]};
    for (std::size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(all[i].item, expected[i]) << i;
    for (std::size_t i = 0; i + 1 < all.size(); ++i) {
        // Announced about 1.5 s before the end, not at it.
        if (all[i].what == "near") {
            EXPECT_GE(all[i + 1].at - all[i].at, std::chrono::milliseconds(1000)) << i;
        }
        if (all[i].what == "end") {
            EXPECT_TRUE(all[i].end.nextFollows) << i;
        }
    }
    EXPECT_EQ(player->currentItem(), following[3]);
    std::int64_t entries = -1;
    ASSERT_EQ(mpv_get_property(PlayerCoreAccess::core(*player).mpvHandle(), "playlist-count", MPV_FORMAT_INT64, &entries), 0);
    EXPECT_LE(entries, 1);
}

TEST_F(PlayerTest, RestartingAnEndedItemPlaysItAgain) {
    auto events = std::make_shared<Events>();
    auto item = itemFor(test::clip(0.3));
    auto player = Player::playerWithPlayerItem(item, events);
    player->play();
    ASSERT_TRUE(events->waitFor("end", 1, 10000));
    item->seekToTimeZero();
    player->play();
    ASSERT_TRUE(events->waitFor("end", 2, 10000));
    EXPECT_EQ(events->of("end").at(1).item, item);
    EXPECT_EQ(events->count("start"), 2u);
}

class BrokenFileTest : public PlayerTest, public ::testing::WithParamInterface<const char*> {
protected:
    QString make(const QString& kind) {
        const QString path = dir.filePath(kind + " file.mp4");
        if (kind == "random") {
            std::mt19937 rng(7);
            QByteArray bytes(200000, '\0');
            for (char& c : bytes) c = static_cast<char>(rng());
            test::writeAll(path, bytes);
        } else if (kind == "empty") {
            test::writeAll(path, "");
        } else if (kind == "text") {
            test::writeAll(path, "This is not a video.\n");
        } else if (kind == "truncated") {
            // Cut before the index at its end.
            const QByteArray whole = test::readAll(test::clip(2.0));
            test::writeAll(path, whole.left(whole.size() / 2));
        }
        return path;  // "missing": never made
    }
    QTemporaryDir dir;
};

TEST_P(BrokenFileTest, CountsAsEndedOneSecondAfterItsFailureWithALogLine) {
    const QString path = make(GetParam());
    const QString errPath = dir.filePath("stderr");
    test::StderrToFile capture(errPath);
    auto events = std::make_shared<Events>();
    auto item = itemFor(path);
    auto player = Player::playerWithPlayerItem(item, events);
    const auto started = std::chrono::steady_clock::now();
    player->play();
    const bool ended = events->waitFor("end", 1, 10000);
    capture.restore();
    ASSERT_TRUE(ended);
    const Events::Event end = events->of("end").at(0);
    EXPECT_EQ(end.end.why, PlayerItemEnd::Why::Failed);
    EXPECT_NE(end.end.error, 0);
    EXPECT_EQ(events->count("failed"), 1u);
    const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(end.at - started).count();
    EXPECT_GE(waited, 1000);
    EXPECT_LE(waited, 3500);
    const QString err = QString::fromUtf8(test::readAll(errPath));
    EXPECT_TRUE(err.contains("Cannot play " + path + ": ")) << err.toStdString();

    // Asked to play again, it fails again and is reported again: the player never stalls on it.
    item->seekToTimeZero();
    player->play();
    EXPECT_TRUE(events->waitFor("end", 2, 10000));
    EXPECT_EQ(events->count("failed"), 2u);
}

TEST_F(PlayerTest, WithoutAnAudioDeviceItPlaysSilentlyAndStopsProbing) {
    QTemporaryDir dir;
    const QString errPath = dir.filePath("stderr");
    test::StderrToFile capture(errPath);
    auto events = std::make_shared<Events>();
    std::shared_ptr<Player> player;
    const QString clip = test::clip(0.2);
    events->reactToEnd([&](const std::shared_ptr<PlayerItem>&) {
        player->replaceCurrentItemWithPlayerItem(itemFor(clip));
        player->play();
    });
    player = Player::playerWithPlayerItem(itemFor(clip), events);
    player->play();
    const bool ended = events->waitFor("end", 12, 30000);
    events->reactToEnd(nullptr);
    capture.restore();
    ASSERT_TRUE(ended);
    const QString err = QString::fromUtf8(test::readAll(errPath));
    if (!err.contains("Could not open/initialize audio device")) GTEST_SKIP() << "this machine has sound";
    EXPECT_EQ(err.count("No audio device: playing without sound"), 1);
    // Probed once: had it gone on probing, the tenth failure would show in the log with its count.
    EXPECT_FALSE(err.contains("Could not open/initialize audio device -> no sound. (seen"));
}

// A complaint mpv repeats goes to the log again at its tenth time, with its count; the file
// name in it stays as it is, even where it looks like a placeholder.
TEST_F(PlayerTest, ARepeatedMpvMessageKeepsItsFileNameIntact) {
    QTemporaryDir dir;
    const QString path = dir.filePath("a%2Bb.mp4");  // never made
    const QString errPath = dir.filePath("stderr");
    test::StderrToFile capture(errPath);
    auto player = Player::playerWithPlayerItem(itemFor(path));
    // Each play loads the file again once the failure of the one before is logged.
    for (int failures = 1; failures <= 10; ++failures) {
        player->play();
        test::waitUntil([&] { return test::readAll(errPath).count("Cannot play ") >= failures; }, 10000, 20);
    }
    capture.restore();
    const QString err = QString::fromUtf8(test::readAll(errPath));
    ASSERT_EQ(err.count("Cannot play " + path + ": "), 10) << err.toStdString();
    QStringList counted;
    for (const QString& line : err.split('\n')) {
        if (line.endsWith(" (seen 10 times)")) counted += line;
    }
    ASSERT_FALSE(counted.isEmpty()) << err.toStdString();
    for (const QString& line : counted) EXPECT_TRUE(line.contains(path)) << line.toStdString();
}

INSTANTIATE_TEST_SUITE_P(Kinds, BrokenFileTest, ::testing::Values("random", "empty", "text", "missing", "truncated"));

TEST(PlayerViewTest, TheSoftwareViewShowsTheFrames) {
    qunsetenv("VORNPLAYER_VIDEO_OUTPUT");
    EXPECT_EQ(PlayerView::chooseRenderer(), PlayerView::Renderer::Software);  // offscreen platform
    std::unique_ptr<PlayerView> view(PlayerView::create());
    ASSERT_EQ(view->renderer(), PlayerView::Renderer::Software);
    view->resize(320, 240);
    view->show();
    const QImage blank = view->grab().toImage();
    EXPECT_EQ(blank.pixelColor(160, 120), QColor(Qt::black));

    auto player = Player::playerWithPlayerItem(itemFor(test::clip(4.0)));
    view->setPlayer(player);
    player->play();
    int coloured = 0;
    test::waitUntil(
        [&] {
            const QImage frame = view->grab().toImage();
            coloured = 0;
            for (int y = 0; y < frame.height(); y += 8) {
                for (int x = 0; x < frame.width(); x += 8) {
                    const QColor c = frame.pixelColor(x, y);
                    if (c.saturation() > 100 && c.value() > 100) ++coloured;
                }
            }
            return coloured > 300;
        },
        8000, 50);
    // The test pattern's colour bars fill the view (160x120 scaled to 320x240).
    EXPECT_GT(coloured, 300);
    view->setPlayer(nullptr);
    EXPECT_EQ(view->grab().toImage().pixelColor(160, 120), QColor(Qt::black));
}

// The software view between other widgets, on the offscreen platform (whose screen is the
// window's backing store).
class SoftwareViewInWindowTest : public ::testing::TestWithParam<bool> {};

TEST_P(SoftwareViewInWindowTest, TheVideoLandsInTheViewsPlaceOnly) {
    test::expectTheVideoInTheViewsPlaceOnly(GetParam());
}

INSTANTIATE_TEST_SUITE_P(Beside, SoftwareViewInWindowTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "APanel" : "Nothing"; });

// A grab of a widget that is not opaque keeps alpha; the view in it comes out opaque, its video
// and its black bars alike.
TEST(PlayerViewTest, AGrabThatKeepsAlphaHasTheVideoOpaque) {
    qunsetenv("VORNPLAYER_VIDEO_OUTPUT");
    QWidget window;
    auto* holder = new QWidget(&window);
    auto* layout = new QVBoxLayout(holder);
    layout->setContentsMargins(10, 10, 10, 10);
    std::unique_ptr<PlayerView> owned(PlayerView::create());
    PlayerView* view = owned.release();
    view->setFixedSize(480, 240);
    layout->addWidget(view);
    holder->adjustSize();
    window.resize(holder->size());
    window.show();
    auto player = Player::playerWithPlayerItem(itemFor(test::solidClip("blue", 10.0, "320x240")));
    view->setPlayer(player);
    player->play();

    QImage grabbed;
    const QPoint video = view->geometry().center();
    const QPoint bar = view->geometry().topLeft() + QPoint(20, 120);
    const bool opaque = test::waitUntil([&] {
        grabbed = holder->grab().toImage();
        return test::isBlue(grabbed.pixelColor(video)) && grabbed.pixelColor(video).alpha() == 255 &&
               grabbed.pixelColor(bar) == QColor(Qt::black);
    });
    ASSERT_TRUE(grabbed.hasAlphaChannel()) << "the grab was to keep alpha";
    EXPECT_TRUE(opaque) << "video " << grabbed.pixelColor(video).name(QColor::HexArgb).toStdString() << ", bar "
                        << grabbed.pixelColor(bar).name(QColor::HexArgb).toStdString();
    view->setPlayer(nullptr);
}

TEST(PlayerViewTest, TheRendererCanBeChosenByHand) {
    qputenv("VORNPLAYER_RENDER", "opengl");
    EXPECT_EQ(PlayerView::chooseRenderer(), PlayerView::Renderer::OpenGL);
    qputenv("VORNPLAYER_RENDER", "software");
    EXPECT_EQ(PlayerView::chooseRenderer(), PlayerView::Renderer::Software);
    qunsetenv("VORNPLAYER_RENDER");
}

}  // namespace
