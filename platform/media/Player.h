#pragma once

#include <QString>
#include <QUrl>

#include <chrono>
#include <memory>
#include <mutex>

class PlayerCore;

// Posted once for every item that plays to its end, on the player's event thread (its serial
// queue), and for an item that cannot be played one second after its failure, from a worker of
// the global queue; never on the main thread. The sender is the item, the object its
// std::shared_ptr<PlayerItem>.
extern const QString AVPlayerItemDidPlayToEndTimeNotification;
// In the user info of the end of an item that could not be played: mpv's error code.
extern const QString kPlayerItemErrorKey;
// In the user info of an item's end when the player went straight on to the item handed in with
// Player::setNextItem(): true. Nothing is left to decide.
extern const QString kPlayerItemNextKey;
// Posted once per play of an item, about kNearEndLead before its end (at its start when it is
// shorter), from a worker of the global queue, so that what follows can be decided and handed
// in with Player::setNextItem() while it still plays. The sender is the item, the object its
// std::shared_ptr<PlayerItem>. An item whose length mpv does not know is not announced.
extern const QString PlayerItemWillPlayToEndTimeNotification;
// Posted when an item handed in with Player::setNextItem() starts, on the player's event thread.
// The sender is the item, the object its std::shared_ptr<PlayerItem>.
extern const QString PlayerItemDidStartNotification;
// In the user info of the failure of an item handed in with Player::setNextItem() that mpv could
// not open (the file went, or its share does not answer): true. No end follows such a failure:
// what plays instead is for the owner to decide at once.
extern const QString kPlayerItemHandedInAheadKey;
// Posted when an item cannot be played, before its end is posted, on the thread that learnt
// of the failure. The sender is the item, the object its std::shared_ptr<PlayerItem>.
extern const QString AVPlayerItemFailedToPlayToEndTimeNotification;

// One video file to play. Safe from any thread.
class PlayerItem {
public:
    // None for a URL that is not a local file.
    static std::shared_ptr<PlayerItem> playerItemWithURL(const QUrl& url);

    // The URL of the item's asset.
    QUrl url() const { return url_; }
    QString description() const;

    // Restarts the item from its first frame when it is its player's current item (an item that
    // failed to load is loaded again); otherwise does nothing.
    void seekToTimeZero();

private:
    friend class PlayerCore;
    explicit PlayerItem(const QUrl& url) : url_(url) {}
    std::weak_ptr<PlayerCore> owner() const;
    void setOwner(const std::weak_ptr<PlayerCore>& owner);

    const QUrl url_;
    mutable std::mutex mutex_;
    std::weak_ptr<PlayerCore> owner_;
};

// A player over libmpv that holds one current item, plays it, stays paused on its last frame
// when it has ended, and can have it replaced. Safe to use from any thread.
class Player {
public:
    static std::shared_ptr<Player> playerWithPlayerItem(const std::shared_ptr<PlayerItem>& item);
    // Ends mpv: may wait for a file on a share that hangs, so the last reference to a player is
    // let go through release(), never on the main thread.
    ~Player();
    // Lets go of the caller's reference; when called on the main thread, the reference (and with
    // the last one, mpv) is dropped on a worker. Any thread.
    static void release(std::shared_ptr<Player>&& player);

    std::shared_ptr<PlayerItem> currentItem() const;
    void replaceCurrentItemWithPlayerItem(const std::shared_ptr<PlayerItem>& item);
    // The item to play when `after`, the current item, ends: mpv opens it ahead and shows its
    // first frame right after the last one of `after`. When `after` has ended already it replaces
    // it now. False, and nothing done, when `after` is no longer the current item.
    bool setNextItem(const std::shared_ptr<PlayerItem>& next, const std::shared_ptr<PlayerItem>& after);
    // How long before an item's end PlayerItemWillPlayToEndTimeNotification is posted.
    static constexpr std::chrono::milliseconds kNearEndLead{1500};
    void play();
    void pause();

    // The video output chosen for every player: mpv's own "null" output when the environment
    // variable VORNPLAYER_VIDEO_OUTPUT is "null", frames for a PlayerView otherwise.
    static bool rendersIntoView();

    std::shared_ptr<PlayerCore> core() const { return core_; }

private:
    explicit Player(std::shared_ptr<PlayerCore> core) : core_(std::move(core)) {}
    std::shared_ptr<PlayerCore> core_;
};
