#pragma once

// The libmpv side of Player, shared with the video views of platform/.
#include "platform/media/Player.h"

#include <QHash>
#include <QVariantMap>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

struct mpv_handle;
struct mpv_event;
struct mpv_event_property;
class DispatchQueue;

// Every member is safe from any thread. mpv's events are drained on the player's own serial
// queue; the end of a played item is posted there, the end of a failed one from a worker.
class PlayerCore : public std::enable_shared_from_this<PlayerCore> {
public:
    // Where the current item stands. Idle: nothing asked to play yet. Pending: asked to play,
    // waiting for an item or for a view that can show frames. Loading: handed to mpv, not yet
    // started. Playing: started, its end not reached. Ended: its end was reached and posted.
    // Failed: mpv could not play it.
    enum class State { Idle, Pending, Loading, Playing, Ended, Failed };
    static const char* stateName(State state);

    static std::shared_ptr<PlayerCore> create();
    // Ends mpv, which may wait for a file on a share that hangs: never on the main thread
    // (Player::release takes care of that).
    ~PlayerCore();

    mpv_handle* handle() const { return mpv_; }

    std::shared_ptr<PlayerItem> currentItem() const;
    void setCurrentItem(const std::shared_ptr<PlayerItem>& item);
    void play();
    void pause();
    void restart(const PlayerItem* item);
    bool setNextItem(const std::shared_ptr<PlayerItem>& next, const std::shared_ptr<PlayerItem>& after);

    // A view has made (or freed) its render context: loading may start.
    void setRenderContextReady(bool ready);

    State state() const;

    // Where mpv put the video in the last frame it rendered in software: the width it rendered
    // into and the black margins it left left and right of the video, in pixels.
    struct VideoPlacement {
        int width = 0;
        int left = 0;
        int right = 0;
    };
    std::optional<VideoPlacement> videoPlacement() const;

private:
    PlayerCore() = default;
    // Every change of state goes through here, with mutex_ held: an impossible change is a bug.
    void enter(State next);
    bool canShowFrames() const;  // mutex_ held
    void load(const std::shared_ptr<PlayerItem>& item);
    void scheduleDrain();
    void drainEvents();
    void handle(const mpv_event& event);
    void itemEnded(const std::shared_ptr<PlayerItem>& item, const std::optional<QVariantMap>& info);
    // A failure of the given load: reported once, and only while that load is the current one.
    void itemFailed(const std::shared_ptr<PlayerItem>& item, std::uint64_t load, int error);
    void noAudioDevice();
    // mpv told the current item's length: its near end is timed.
    void lengthKnown(std::uint64_t load, double seconds);
    void nearEnd(std::uint64_t load);
    // The item handed in ahead has not started when it should have: its owner decides again.
    void handedInNotStarted(const std::shared_ptr<PlayerItem>& item, std::uint64_t load, bool afterProbe);
    // The item handed in ahead could not be opened: its owner decides again.
    void handedInFailed(const std::shared_ptr<PlayerItem>& item, std::uint64_t load, std::optional<int> error);
    // What follows the end of the current item: what the end's user info carries, the item handed
    // in ahead that we load ourselves (mpv never got it), or the one mpv goes on to, whose start is
    // then watched for.
    struct EndFollowUp {
        std::optional<QVariantMap> info;
        std::shared_ptr<PlayerItem> loadNow;
        std::shared_ptr<PlayerItem> awaitStart;
        std::uint64_t awaitLoad = 0;
    };
    EndFollowUp endedLocked();  // mutex_ held
    void followUp(const EndFollowUp& next);
    // Looks after a while whether the item handed in with this load has started (handedInNotStarted).
    void watchHandedIn(const std::shared_ptr<PlayerItem>& item, std::uint64_t load, std::chrono::steady_clock::duration delay,
                       bool afterProbe = false);
    // mpv refused the item handed in ahead with this load: it is loaded at the end instead (now,
    // if the end came already). False when that is not the item handed in.
    bool appendRefused(const std::shared_ptr<PlayerItem>& item, std::uint64_t load);
    // Loads the item in place of the current one, and says it started.
    void startNow(const std::shared_ptr<PlayerItem>& item);
    void notePlacement(const mpv_event_property& property);
    std::shared_ptr<PlayerItem> itemForEntry(std::int64_t entry) const;

    mpv_handle* mpv_ = nullptr;
    std::shared_ptr<DispatchQueue> events_;
    std::atomic<bool> drainScheduled_{false};

    mutable std::mutex mutex_;
    State state_ = State::Idle;
    std::shared_ptr<PlayerItem> current_;
    // The view's render context exists (or no view is needed): an input, not the item's state.
    bool renderReady_ = false;
    std::uint64_t nextLoad_ = 1;
    std::uint64_t currentLoad_ = 0;
    QHash<std::uint64_t, std::shared_ptr<PlayerItem>> loads_;      // by load (command reply) id
    QHash<std::int64_t, std::shared_ptr<PlayerItem>> entries_;     // by playlist entry id
    QHash<std::int64_t, std::uint64_t> entryLoads_;                // the load of each entry
    std::int64_t startedEntry_ = -1;
    // The near end of these loads is timed / was announced.
    std::uint64_t timedLoad_ = 0;
    std::uint64_t announcedLoad_ = 0;
    std::uint64_t givenUpLoad_ = 0;  // the item handed in with this load did not start in time
    std::chrono::steady_clock::time_point expectedEnd_;  // of the timed load
    // mpv was asked how much of the current item is left, for the item handed in with this load,
    // and answered that much is.
    std::uint64_t probedLoad_ = 0;
    bool probeAnswered_ = false;
    // The item handed in ahead: appended to mpv's playlist as load queuedLoad_, entry queuedEntry_
    // once mpv has answered; loadAtEnd_ when we load it at the end instead (mpv refused it, or a
    // look for an audio device is due).
    std::shared_ptr<PlayerItem> queued_;
    std::uint64_t queuedLoad_ = 0;
    std::int64_t queuedEntry_ = -1;
    bool loadAtEnd_ = false;
    // The current item came in ahead and has not loaded yet.
    bool openingQueued_ = false;
    mutable std::mutex placementMutex_;
    std::optional<VideoPlacement> videoPlacement_;  // placementMutex_ held
    // No audio device could be opened: play silently, and look for one again now and then.
    std::optional<std::chrono::steady_clock::time_point> audioOffSince_;
};
