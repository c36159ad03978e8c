#pragma once

// The libmpv side of Player, shared with the video views of platform/.
#include "platform/media/Player.h"

#include <QHash>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>

struct mpv_handle;
struct mpv_event;
class DispatchQueue;

class PlayerCore : public std::enable_shared_from_this<PlayerCore> {
public:
    static std::shared_ptr<PlayerCore> create();
    ~PlayerCore();

    mpv_handle* handle() const { return mpv_; }

    std::shared_ptr<PlayerItem> currentItem() const;
    void setCurrentItem(const std::shared_ptr<PlayerItem>& item);
    void play();
    void pause();
    void restart(const PlayerItem* item);

    // A view has made (or freed) its render context: loading may start.
    void setRenderContextReady(bool ready);

private:
    PlayerCore() = default;
    void load(const std::shared_ptr<PlayerItem>& item);
    void scheduleDrain();
    void drainEvents();
    void handle(const mpv_event& event);
    void itemEnded(const std::shared_ptr<PlayerItem>& item);
    void itemFailed(const std::shared_ptr<PlayerItem>& item, int error);
    void noAudioDevice();
    std::shared_ptr<PlayerItem> itemForEntry(std::int64_t entry) const;

    mpv_handle* mpv_ = nullptr;
    std::shared_ptr<DispatchQueue> events_;
    std::atomic<bool> drainScheduled_{false};

    mutable std::mutex mutex_;
    std::shared_ptr<PlayerItem> current_;
    std::shared_ptr<PlayerItem> loadedItem_;  // of the last load command
    bool playRequested_ = false;
    bool renderReady_ = false;
    bool loadPending_ = false;   // play() came before the view could show frames
    bool currentFailed_ = false;
    std::uint64_t nextLoad_ = 1;
    QHash<std::uint64_t, std::shared_ptr<PlayerItem>> loads_;      // by command reply id
    QHash<std::int64_t, std::shared_ptr<PlayerItem>> entries_;     // by playlist entry id
    std::int64_t startedEntry_ = -1;
    bool loaded_ = false;
    bool endPosted_ = false;
    // No audio device could be opened: play silently, and look for one again now and then.
    bool audioOff_ = false;
    std::chrono::steady_clock::time_point audioOffSince_;
};
