#pragma once

#include <QString>
#include <QUrl>

#include <chrono>
#include <memory>
#include <mutex>

class Player;
class PlayerCore;

// One video file to play. Safe from any thread.
class PlayerItem {
public:
    // None for a URL that is not a local file.
    static std::shared_ptr<PlayerItem> playerItemWithURL(const QUrl& url);
    // An item that is the URL's file for everyone, and that the player opens from another local
    // file with the same content (a verified local copy); an empty `openFrom` opens the URL's file.
    static std::shared_ptr<PlayerItem> playerItemWithURL(const QUrl& url, const QString& openFrom);

    // The URL of the item's asset.
    QUrl url() const { return url_; }
    // The file the player opens for it.
    QString openPath() const { return openFrom_.isEmpty() ? url_.toLocalFile() : openFrom_; }
    bool opensACopy() const { return !openFrom_.isEmpty(); }
    QString description() const;

    // Restarts the item from its first frame when it is its player's current item (an item that
    // failed to load is loaded again); otherwise does nothing.
    void seekToTimeZero();
    // Whether the item was ever given to a player (as its current item or handed in ahead).
    bool wasGivenToAPlayer() const;

private:
    friend class PlayerCore;
    friend class Player;
    PlayerItem(const QUrl& url, const QString& openFrom) : url_(url), openFrom_(openFrom) {}
    std::weak_ptr<PlayerCore> owner() const;
    void setOwner(const std::weak_ptr<PlayerCore>& owner);
    bool isOwnedBy(const std::shared_ptr<PlayerCore>& core) const;

    const QUrl url_;
    const QString openFrom_;
    mutable std::mutex mutex_;
    std::weak_ptr<PlayerCore> owner_;
    bool given_ = false;
};

// How an item's end came about.
struct PlayerItemEnd {
    enum class Why {
        Played,  // it played to its end
        Failed,  // it could not be played: its end counts one second after its failure
    };
    Why why = Why::Played;
    int error = 0;  // mpv's error code, for a failed item
    // The player went straight on to the item handed in with Player::setNextItem(): nothing is
    // left to decide.
    bool nextFollows = false;
};

// What a player tells whoever decides what it plays. Called on the player's own threads (its
// event queue, the timer thread, a worker) or, for a start or a failure to start, on the thread
// that asked it to play (the main thread among them): so each call returns at once, and it is
// never made with a lock of the player held. One call per event, in the order of the events of
// each item.
class PlayerDelegate {
public:
    virtual ~PlayerDelegate() = default;
    // About Player::kNearEndLead before the item's end (at its start when it is shorter), once per
    // play, so that what follows can be handed in with setNextItem() while it still plays. An item
    // whose length mpv does not know is not announced.
    virtual void playerItemWillPlayToEndTime(const std::shared_ptr<PlayerItem>& item) = 0;
    // The item became the current one and opens: given to the player, restarted, or handed in
    // ahead and gone on to.
    virtual void playerItemDidStart(const std::shared_ptr<PlayerItem>& item) = 0;
    // The item cannot be played; its end (Why::Failed) follows one second later unless it is
    // replaced or restarted meanwhile.
    virtual void playerItemFailedToPlay(const std::shared_ptr<PlayerItem>& item, int error) = 0;
    // Once for every item that plays to its end, and for a failed one one second after its failure.
    virtual void playerItemDidPlayToEndTime(const std::shared_ptr<PlayerItem>& item, const PlayerItemEnd& end) = 0;
    // The item handed in with setNextItem() cannot be opened (the file went, or its share does not
    // answer). No end follows: what plays instead is for the delegate to decide at once.
    virtual void playerDidRefuseNextItem(const std::shared_ptr<PlayerItem>& item, int error) = 0;
    // mpv hangs in the file of the item before (a share that stopped answering) and never took
    // `item`, or `item` itself stalled: the player plays nothing more (Player::isHung()). No end
    // follows: `item`, or what follows it, is for the delegate to play in a new player.
    virtual void playerDidHang(const std::shared_ptr<PlayerItem>& item) = 0;
};

// A player over libmpv that holds one current item, plays it, stays paused on its last frame
// when it has ended, and can have it replaced. Safe to use from any thread.
class Player {
public:
    // Where the current item stands. Idle: nothing asked to play yet. Pending: asked to play,
    // waiting for an item or for a view that can show frames. Loading: handed to mpv, not yet
    // started. Playing: started, its end not reached. Ended: its end was reached and told.
    // Failed: mpv could not play it.
    enum class State { Idle, Pending, Loading, Playing, Ended, Failed };
    struct Status {
        std::shared_ptr<PlayerItem> item;  // none before the first item
        State state = State::Idle;
        std::chrono::steady_clock::time_point since;  // when the item became current (or restarted)
        // Past the current item's end, the item handed in that mpv has not started yet (it may hang
        // in its open on a share), and since when it is due; none otherwise.
        std::shared_ptr<PlayerItem> opening;
        std::chrono::steady_clock::time_point openingSince;
        double lengthSeconds = 0;  // the current item's length as mpv gave it; 0: not known yet
    };

    // The delegate is held weakly and told of every item of this player.
    static std::shared_ptr<Player> playerWithPlayerItem(const std::shared_ptr<PlayerItem>& item,
                                                        std::weak_ptr<PlayerDelegate> delegate = {});
    // Ends mpv: may wait for a file on a share that hangs, so the last reference to a player is
    // let go through release(), never on the main thread or a queue that must not stall.
    ~Player();
    // Lets go of the caller's reference on a worker of the global queue, so that mpv, should this
    // be the last reference, never ends on the caller's thread. Any thread.
    static void release(std::shared_ptr<Player>&& player);

    std::shared_ptr<PlayerItem> currentItem() const;
    Status status() const;
    // Whether the item was given to this player (current, handed in ahead, or played before).
    bool holds(const PlayerItem& item) const;
    void replaceCurrentItemWithPlayerItem(const std::shared_ptr<PlayerItem>& item);
    // The item to play when `after`, the current item, ends: mpv opens it ahead and shows its
    // first frame right after the last one of `after`. When `after` has ended already it replaces
    // it now. False, and nothing done, when `after` is no longer the current item, another item is
    // handed in already, or no view can show frames.
    bool setNextItem(const std::shared_ptr<PlayerItem>& next, const std::shared_ptr<PlayerItem>& after);
    // How long before an item's end PlayerDelegate::playerItemWillPlayToEndTime() comes.
    static constexpr std::chrono::milliseconds kNearEndLead{1500};
    // A longer lead for the items timed from now on (never shorter than kNearEndLead): whoever
    // decides at the near end and takes longer than that gets its time. Any thread.
    void setNearEndLead(std::chrono::milliseconds lead);
    void play();
    void pause();
    // mpv waits in a file on a share that does not answer: anything loaded now would wait behind
    // it, so what plays next needs a new player. The player is then let go on a thread of its own,
    // which ends it once the share lets go. Any thread.
    bool isHung() const;
    // How many players that hung have not ended yet, in the whole process.
    static int hungCount();
    // mpv's words for an error code of PlayerItemEnd or of a failure, with the code.
    static QString describeError(int error);

    // The video output chosen for every player: mpv's own "null" output when the environment
    // variable VORNPLAYER_VIDEO_OUTPUT is "null", frames for a PlayerView otherwise.
    static bool rendersIntoView();

private:
    friend struct PlayerCoreAccess;
    explicit Player(std::shared_ptr<PlayerCore> core) : core_(std::move(core)) {}
    std::shared_ptr<PlayerCore> core_;
};
