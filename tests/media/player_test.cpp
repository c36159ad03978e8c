#include "platform/core/NotificationCenter.h"
#include "platform/media/Player.h"
#include "platform/media/PlayerCore.h"
#include "platform/media/PlayerView.h"

#include "Clips.h"
#include "media/ViewInWindow.h"
#include "TestSupport.h"

#include <QApplication>
#include <QElapsedTimer>
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

// Collects end-of-item notifications; an optional reaction runs on the posting thread.
class Ends {
public:
    Ends() {
        NotificationCenter::defaultCenter().addObserver(this, AVPlayerItemDidPlayToEndTimeNotification, nullptr,
                                                        [this](const Notification& n) { onEnd(n); });
    }
    ~Ends() { NotificationCenter::defaultCenter().removeObserver(this); }

    std::function<void(const std::shared_ptr<PlayerItem>&)> react;

    bool waitFor(std::size_t count, int timeoutMs) {
        std::unique_lock<std::mutex> lock(mutex_);
        return cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return items.size() >= count; });
    }
    std::size_t count() {
        std::lock_guard<std::mutex> lock(mutex_);
        return items.size();
    }

    std::vector<std::shared_ptr<PlayerItem>> items;
    std::vector<std::thread::id> threads;
    std::vector<std::chrono::steady_clock::time_point> times;

private:
    void onEnd(const Notification& n) {
        auto item = std::any_cast<std::shared_ptr<PlayerItem>>(n.object);
        if (n.sender != item.get()) return;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            items.push_back(item);
            threads.push_back(std::this_thread::get_id());
            times.push_back(std::chrono::steady_clock::now());
        }
        if (react) react(item);
        cv_.notify_all();
    }
    std::mutex mutex_;
    std::condition_variable cv_;
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
    Ends ends;
    auto item = itemFor(clip);
    auto player = Player::playerWithPlayerItem(item);
    player->play();
    ASSERT_TRUE(ends.waitFor(1, 10000));
    EXPECT_EQ(ends.items[0], item);
    EXPECT_NE(ends.threads[0], std::this_thread::get_id());
    // It stays on its last frame and says nothing more.
    QThread::msleep(1200);
    EXPECT_EQ(ends.count(), 1u);
    EXPECT_EQ(player->currentItem(), item);
}

TEST_F(PlayerTest, ReplacingTheItemAtEachEndCatchesEveryEnd) {
    const QString clip = test::clip(0.2, false);
    Ends ends;
    std::shared_ptr<Player> player;
    std::vector<std::shared_ptr<PlayerItem>> played;
    std::mutex m;
    // As the play queue does: on the posting thread, a fresh item replaces the ended one.
    ends.react = [&](const std::shared_ptr<PlayerItem>& ended) {
        auto next = itemFor(clip);
        {
            std::lock_guard<std::mutex> lock(m);
            played.push_back(next);
        }
        player->replaceCurrentItemWithPlayerItem(next);
        ended->seekToTimeZero();  // not current any more: does nothing
        player->play();
    };
    auto first = itemFor(clip);
    played.push_back(first);
    player = Player::playerWithPlayerItem(first);
    player->play();
    ASSERT_TRUE(ends.waitFor(60, 60000)) << ends.count();
    std::lock_guard<std::mutex> lock(m);
    for (int i = 0; i < 60; ++i) EXPECT_EQ(ends.items[i], played[i]) << i;
    ends.react = nullptr;
}

// As the play queue does: each item is announced well before its end, the next one is handed in
// then, and the player goes straight on to it, saying so in the end's user info; mpv's playlist
// does not grow. A file that is gone by the time it should open is reported at once as a failure
// of an item handed in ahead, with no end to follow.
TEST_F(PlayerTest, AnItemHandedInAheadFollowsStraightOnAndOneThatCannotOpenIsReportedAtOnce) {
    const QString clip = test::clip(2.0, false);
    ASSERT_FALSE(clip.isEmpty());
    const QString gone = QFileInfo(clip).absolutePath() + "/not-there.mp4";
    struct Seen {
        std::mutex mutex;
        std::condition_variable cv;
        std::vector<std::pair<QString, std::shared_ptr<PlayerItem>>> events;  // in order
        std::vector<std::chrono::steady_clock::time_point> times;
        std::vector<QVariantMap> infos;
    } seen;
    std::shared_ptr<Player> player;
    int handedIn = 0;
    std::vector<std::shared_ptr<PlayerItem>> following;
    const auto note = [&](const QString& what, const Notification& n) {
        auto item = std::any_cast<std::shared_ptr<PlayerItem>>(n.object);
        std::lock_guard<std::mutex> lock(seen.mutex);
        seen.events.emplace_back(what, item);
        seen.times.push_back(std::chrono::steady_clock::now());
        seen.infos.push_back(n.userInfo.value_or(QVariantMap()));
        seen.cv.notify_all();
    };
    auto& center = NotificationCenter::defaultCenter();
    center.addObserver(&seen, PlayerItemWillPlayToEndTimeNotification, nullptr, [&](const Notification& n) {
        note("near", n);
        auto item = std::any_cast<std::shared_ptr<PlayerItem>>(n.object);
        auto next = itemFor(++handedIn < 4 ? clip : gone);
        following.push_back(next);
        EXPECT_TRUE(player->setNextItem(next, item));
        EXPECT_FALSE(player->setNextItem(itemFor(clip), next));  // not the current item: refused
    });
    center.addObserver(&seen, PlayerItemDidStartNotification, nullptr, [&](const Notification& n) { note("start", n); });
    center.addObserver(&seen, AVPlayerItemDidPlayToEndTimeNotification, nullptr, [&](const Notification& n) { note("end", n); });
    center.addObserver(&seen, AVPlayerItemFailedToPlayToEndTimeNotification, nullptr,
                       [&](const Notification& n) { note("failed", n); });

    auto first = itemFor(clip);
    player = Player::playerWithPlayerItem(first);
    player->play();
    {
        std::unique_lock<std::mutex> lock(seen.mutex);
        ASSERT_TRUE(seen.cv.wait_for(lock, std::chrono::seconds(30), [&] {
            return std::any_of(seen.events.begin(), seen.events.end(), [](const auto& e) { return e.first == "failed"; });
        })) << [&] {
            std::string order;
            for (const auto& e : seen.events) order += e.first.toStdString() + " ";
            return order;
        }();
    }
    // Nothing follows the failure: no end of the file that is gone, however long one waits for it.
    QThread::msleep(1500);
    center.removeObserver(&seen);
    std::lock_guard<std::mutex> lock(seen.mutex);
    QStringList order;
    for (const auto& e : seen.events) order += e.first;
    ASSERT_EQ(order, (QStringList{"near", "end", "start", "near", "end", "start", "near", "end", "start", "near", "end",
                                  "start", "failed"}));
    const std::vector<std::shared_ptr<PlayerItem>> expected{first, first, following[0], following[0], following[0],
                                                            following[1], following[1], following[1], following[2],
                                                            following[2], following[2], following[3], following[3]};
    for (std::size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(seen.events[i].second, expected[i]) << i;
    for (std::size_t i = 0; i + 1 < seen.events.size(); ++i) {
        if (seen.events[i].first == "near") {
            // Announced about 1.5 s before the end, not at it.
            EXPECT_GE(seen.times[i + 1] - seen.times[i], std::chrono::milliseconds(1000)) << i;
        }
        if (seen.events[i].first == "end") {
            EXPECT_TRUE(seen.infos[i].value(kPlayerItemNextKey).toBool()) << i;
        }
    }
    EXPECT_TRUE(seen.infos.back().value(kPlayerItemHandedInAheadKey).toBool());
    EXPECT_EQ(player->currentItem(), following[3]);
    std::int64_t entries = -1;
    ASSERT_EQ(mpv_get_property(player->core()->handle(), "playlist-count", MPV_FORMAT_INT64, &entries), 0);
    EXPECT_LE(entries, 1);
}

TEST_F(PlayerTest, RestartingAnEndedItemPlaysItAgain) {
    Ends ends;
    auto item = itemFor(test::clip(0.3));
    auto player = Player::playerWithPlayerItem(item);
    player->play();
    ASSERT_TRUE(ends.waitFor(1, 10000));
    item->seekToTimeZero();
    player->play();
    ASSERT_TRUE(ends.waitFor(2, 10000));
    EXPECT_EQ(ends.items[1], item);
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
    Ends ends;
    auto item = itemFor(path);
    auto player = Player::playerWithPlayerItem(item);
    const auto started = std::chrono::steady_clock::now();
    player->play();
    const bool ended = ends.waitFor(1, 10000);
    capture.restore();
    ASSERT_TRUE(ended);
    const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(ends.times[0] - started).count();
    EXPECT_GE(waited, 1000);
    EXPECT_LE(waited, 3500);
    const QString err = QString::fromUtf8(test::readAll(errPath));
    EXPECT_TRUE(err.contains("Cannot play " + path + ": ")) << err.toStdString();

    // Asked to play again, it fails again and is reported again: the player never stalls on it.
    item->seekToTimeZero();
    player->play();
    EXPECT_TRUE(ends.waitFor(2, 10000));
}

TEST_F(PlayerTest, WithoutAnAudioDeviceItPlaysSilentlyAndStopsProbing) {
    QTemporaryDir dir;
    const QString errPath = dir.filePath("stderr");
    test::StderrToFile capture(errPath);
    Ends ends;
    std::shared_ptr<Player> player;
    const QString clip = test::clip(0.2);
    ends.react = [&](const std::shared_ptr<PlayerItem>&) {
        player->replaceCurrentItemWithPlayerItem(itemFor(clip));
        player->play();
    };
    player = Player::playerWithPlayerItem(itemFor(clip));
    player->play();
    const bool ended = ends.waitFor(12, 30000);
    ends.react = nullptr;
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
        QElapsedTimer t;
        t.start();
        while (test::readAll(errPath).count("Cannot play ") < failures && t.elapsed() < 10000) QThread::msleep(20);
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
    QElapsedTimer t;
    t.start();
    int coloured = 0;
    while (t.elapsed() < 8000) {
        QApplication::processEvents(QEventLoop::AllEvents, 50);
        const QImage frame = view->grab().toImage();
        coloured = 0;
        for (int y = 0; y < frame.height(); y += 8) {
            for (int x = 0; x < frame.width(); x += 8) {
                const QColor c = frame.pixelColor(x, y);
                if (c.saturation() > 100 && c.value() > 100) ++coloured;
            }
        }
        if (coloured > 300) break;
    }
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
    const bool opaque = test::processUntil([&] {
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
