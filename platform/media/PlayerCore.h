#pragma once

// The libmpv side of Player, shared with the video views of platform/media.
#include "platform/media/Player.h"

#include <QHash>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

struct mpv_handle;
struct mpv_event;
struct mpv_event_property;
class DispatchQueue;

// Every public member is safe from any thread. mpv's events are drained on the player's own
// serial queue, one handler per kind of event.
//
// Two sides, each one value with its own state: the current item (what mpv plays or opens now)
// and the item handed in ahead of its end (appended to mpv's playlist, or loaded by us at the end).
//
// Locks: mutex_ guards the current item, the item handed in, the maps of mpv's loads and playlist
// entries, the render flag and the audio retry; placementMutex_ guards where the video was
// rendered; PlayerItem's own mutex guards its owner. No two of them are ever held at once: each
// is taken, read or changed, and let go before anything else is called; mpv, the delegate, the
// queues and the log are never called with one held.
class PlayerCore : public std::enable_shared_from_this<PlayerCore> {
public:
    using State = Player::State;
    using Clock = std::chrono::steady_clock;
    static const char* stateName(State state);

    static std::shared_ptr<PlayerCore> create(std::weak_ptr<PlayerDelegate> delegate);
    // Lets go of a reference that may be the last on a worker, as Player::release does.
    static void release(std::shared_ptr<PlayerCore>&& core);
    // Ends mpv, which may wait for a file on a share that hangs: never on the main thread
    // (Player::release takes care of that).
    ~PlayerCore();

    // The mpv handle, for the views' render contexts.
    mpv_handle* mpvHandle() const { return mpv_; }

    std::shared_ptr<PlayerItem> currentItem() const;
    Player::Status status() const;
    State state() const;
    void setCurrentItem(const std::shared_ptr<PlayerItem>& item);
    void play();
    void pause();
    void restart(const PlayerItem* item);
    // How long before an item's end the delegate hears of it (Player::setNearEndLead).
    void setNearEndLead(std::chrono::milliseconds lead) { nearEndLeadMs_.store(lead.count()); }
    bool setNextItem(const std::shared_ptr<PlayerItem>& next, const std::shared_ptr<PlayerItem>& after);

    // A view has made (or freed) its render context: loading may start.
    void setRenderContextReady(bool ready);

    // mpv waits in a file on a share that does not answer: it did not go on to the next item in
    // time, an item stalled, or an open did not end. Anything loaded now would wait behind that
    // file, so whatever plays next plays in a new player; this one is let go once the share lets
    // go of it. Never cleared.
    bool isHung() const { return hung_.load(); }
    // How many players that hung have not ended yet, in the whole process.
    static int hungCount();
    // The view lets go of this player while it hangs: mpv is asked to stop and, once it has (the
    // share let go), retired() turns true and its render context can be freed without waiting.
    void retire();
    bool retired() const { return retired_.load(); }

    // Where mpv put the video in the last frame it rendered in software: the width it rendered
    // into and the black margins it left left and right of the video, in pixels.
    struct VideoPlacement {
        int width = 0;
        int left = 0;
        int right = 0;
    };
    std::optional<VideoPlacement> videoPlacement() const;
    // The size of the video's picture at 1:1 (mpv's display size of the current file), none
    // before its first frame's parameters are known.
    std::optional<std::pair<int, int>> videoSize() const;

private:
    // The current item and the load (mpv command) that opens it.
    struct Current {
        std::shared_ptr<PlayerItem> item;
        State state = State::Idle;
        std::uint64_t load = 0;
        std::int64_t entry = -1;  // mpv's playlist entry that started last
        Clock::time_point since;
        bool openingAhead = false;  // came in ahead and has not loaded yet: failing to open is a refusal
        bool fileStarted = false;   // mpv started the file of its load (it let go of the one before)
        // Its near end: timed from its length, announced to the delegate.
        bool timed = false;
        double lengthSeconds = 0;  // 0: not known
        bool announced = false;
        Clock::time_point expectedEnd;
    };
    // The item handed in ahead of the current item's end.
    struct Ahead {
        enum class Stage {
            Appending,  // asked mpv to append it; its playlist entry is not known yet
            Appended,   // in mpv's playlist: mpv goes on to it by itself
            AtEnd,      // we load it when the current item ends (mpv refused it, or a look for audio is due)
        };
        // Asked how much of the current item is left, to tell a long item from a hung mpv.
        enum class Probe { None, Asked, Answered };
        std::shared_ptr<PlayerItem> item;
        std::uint64_t load = 0;
        std::int64_t entry = -1;
        Stage stage = Stage::Appending;
        Probe probe = Probe::None;
        // The last answer while the current item still played: what was left, and when.
        std::optional<std::pair<Clock::time_point, double>> lastLeft;
        // Not started by then, though mpv answers: the file before does not let go of mpv.
        Clock::time_point startBy;
        bool givenUp = false;  // did not start in time, and the delegate was told
    };
    // What follows the end of the current item.
    struct FollowUp {
        bool nextFollows = false;
        std::shared_ptr<PlayerItem> loadNow;     // the item handed in, loaded by us
        std::shared_ptr<PlayerItem> awaitStart;  // the item handed in, which mpv goes on to
        std::uint64_t awaitLoad = 0;
    };
    struct Entry {
        std::shared_ptr<PlayerItem> item;
        std::uint64_t load = 0;
    };

    explicit PlayerCore(std::weak_ptr<PlayerDelegate> delegate) : delegate_(std::move(delegate)) {}
    // Every change of the current item's state goes through here, with mutex_ held.
    void enter(State next);
    bool canShowFrames() const;  // mutex_ held
    bool audioRetryDue() const;  // mutex_ held
    FollowUp endedLocked();      // mutex_ held
    std::shared_ptr<PlayerDelegate> delegate() const { return delegate_.lock(); }

    void load(const std::shared_ptr<PlayerItem>& item);
    void followUp(const FollowUp& next);
    void told(const std::shared_ptr<PlayerItem>& ended, const PlayerItemEnd& end);
    void itemFailed(const std::shared_ptr<PlayerItem>& item, std::uint64_t load, int error);
    void noAudioDevice();

    // mpv's events, each on the event queue.
    void scheduleDrain();
    void drainEvents();
    void handle(const mpv_event& event);
    void onCommandReply(const mpv_event& event);
    void onStartFile(std::int64_t entry);
    void onFileLoaded();
    void onPropertyReply(const mpv_event& event);
    void onPropertyChange(const mpv_event_property& property);
    void onEndOfFileReached(bool atEnd);
    void onEndFile(const mpv_event& event);
    void onLogMessage(const mpv_event& event);
    void notePlacement(const mpv_event_property& property);

    // The near end: timed once mpv knows the length, then announced.
    void lengthKnown(std::uint64_t load, double seconds);
    void nearEnd(std::uint64_t load);

    // The item handed in ahead. Watched until it starts: not started in time (probed first while
    // the current item still plays), refused by mpv, or failed to open once it started.
    void watchAhead(const std::shared_ptr<PlayerItem>& item, std::uint64_t load, Clock::duration delay,
                    bool afterProbe = false);
    void aheadNotStarted(const std::shared_ptr<PlayerItem>& item, std::uint64_t load, bool afterProbe);
    void probeAnswered(std::uint64_t load, std::optional<double> secondsLeft);
    // A load in place of the current item that has not started in time: held up by the file
    // before (the item goes to a new player) or opening on a share that hangs (decided again).
    void watchLoad(const std::shared_ptr<PlayerItem>& item, std::uint64_t load);
    void loadNotStarted(const std::shared_ptr<PlayerItem>& item, std::uint64_t load);
    void openGivenUp(const std::shared_ptr<PlayerItem>& item, const QString& why);
    // mpv hangs: the item it never took (or that stalled) goes to a new player.
    void hangs(const std::shared_ptr<PlayerItem>& item, const QString& why);
    void markHung();
    bool aheadRefused(const std::shared_ptr<PlayerItem>& item, std::uint64_t load);
    void aheadFailedToOpen(const std::shared_ptr<PlayerItem>& item, std::uint64_t load, std::optional<int> error);
    void startNow(const std::shared_ptr<PlayerItem>& item);

    const std::weak_ptr<PlayerDelegate> delegate_;
    mpv_handle* mpv_ = nullptr;
    std::shared_ptr<DispatchQueue> events_;
    std::atomic<bool> drainScheduled_{false};
    std::atomic<std::int64_t> nearEndLeadMs_{1500};

    mutable std::mutex mutex_;
    Current current_;
    std::optional<Ahead> ahead_;
    QHash<std::uint64_t, std::shared_ptr<PlayerItem>> loads_;  // mpv commands not answered yet, by id
    QHash<std::int64_t, Entry> entries_;                      // mpv's playlist entries, by id
    std::uint64_t nextLoad_ = 1;
    // The view's render context exists (or no view is needed): an input, not the item's state.
    bool renderReady_ = false;
    // No audio device could be opened: play silently, and look for one again now and then.
    std::optional<Clock::time_point> audioOffSince_;
    bool paused_ = false;  // paused by the owner: an item that does not move then has not stalled

    std::atomic<bool> hung_{false};
    std::atomic<bool> retiring_{false};
    std::atomic<bool> retired_{false};
    std::atomic<bool> stopTaken_{false};  // mpv has taken the stop asked for by retire()
    std::atomic<bool> idle_{false};       // mpv has no file

    mutable std::mutex placementMutex_;
    std::optional<VideoPlacement> videoPlacement_;
    int videoWidth_ = 0;
    int videoHeight_ = 0;
};

// The views and the platform's tests reach a player's mpv side through here; nothing else does.
struct PlayerCoreAccess {
    static PlayerCore& core(const Player& player) { return *player.core_; }
};
