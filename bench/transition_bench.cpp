// Time from an item's end (the end-of-item notification) to the next item's first frame
// (mpv's "playback-restart"), headless, as the play queue replaces items. Reports the median
// and the 90th percentile over the transitions of each run.
// Usage: build/bench/transition_bench [--benchmark_filter=...]
#include "platform/core/NotificationCenter.h"
#include "platform/media/Player.h"
#include "platform/media/PlayerCore.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>
#include <mpv/client.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

QString makeClip(const QTemporaryDir& dir, bool audio) {
    const QString path = dir.filePath(audio ? "av.mp4" : "v.mp4");
    QStringList args{"-loglevel", "error", "-y", "-f", "lavfi", "-i", "testsrc=duration=0.3:size=320x240:rate=25"};
    if (audio) args << "-f" << "lavfi" << "-i" << "sine=duration=0.3";
    args << "-c:v" << "libx264" << "-preset" << "ultrafast" << "-pix_fmt" << "yuv420p";
    if (audio) args << "-c:a" << "aac" << "-shortest";
    args << path;
    QProcess::execute("ffmpeg", args);
    return path;
}

void BM_EndToNextFirstFrame(benchmark::State& state) {
    qputenv("VORNPLAYER_VIDEO_OUTPUT", "null");
    QTemporaryDir dir;
    const QString clip = makeClip(dir, state.range(0) != 0);
    auto item = [&] { return PlayerItem::playerItemWithURL(QUrl::fromLocalFile(clip)); };

    std::mutex m;
    std::condition_variable cv;
    std::deque<Clock::time_point> ends;
    std::shared_ptr<Player> player;
    const int observer = 0;
    NotificationCenter::defaultCenter().addObserver(&observer, AVPlayerItemDidPlayToEndTimeNotification, nullptr,
                                                    [&](const Notification&) {
                                                        {
                                                            std::lock_guard<std::mutex> lock(m);
                                                            ends.push_back(Clock::now());
                                                        }
                                                        player->replaceCurrentItemWithPlayerItem(item());
                                                        player->play();
                                                    });
    player = Player::playerWithPlayerItem(item());
    // A second client on the same player sees its events without disturbing it.
    mpv_handle* watch = mpv_create_client(player->core()->handle(), "bench");
    player->play();

    std::vector<double> ms;
    for (auto _ : state) {
        Clock::time_point end;
        {
            std::unique_lock<std::mutex> lock(m);
            cv.wait_for(lock, std::chrono::milliseconds(5), [&] { return !ends.empty(); });
            while (ends.empty()) {
                lock.unlock();
                mpv_wait_event(watch, 0.005);  // keep the watcher's queue short meanwhile
                lock.lock();
            }
            end = ends.front();
            ends.pop_front();
        }
        Clock::time_point restart;
        for (;;) {
            const mpv_event* e = mpv_wait_event(watch, 5);
            if (e->event_id == MPV_EVENT_PLAYBACK_RESTART && Clock::now() >= end) {
                restart = Clock::now();
                break;
            }
        }
        const double elapsed = std::chrono::duration<double>(restart - end).count();
        ms.push_back(elapsed * 1000);
        state.SetIterationTime(elapsed);
    }
    NotificationCenter::defaultCenter().removeObserver(&observer);
    mpv_destroy(watch);
    player.reset();
    std::sort(ms.begin(), ms.end());
    state.counters["median_ms"] = ms[ms.size() / 2];
    state.counters["p90_ms"] = ms[ms.size() * 9 / 10];
}

}  // namespace

BENCHMARK(BM_EndToNextFirstFrame)
    ->ArgName("audio")
    ->Arg(1)
    ->Arg(0)
    ->UseManualTime()
    ->Iterations(30)
    ->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    return 0;
}
