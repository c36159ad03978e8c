#pragma once

#include "app/AtomicProperty.h"
#include "app/Notice.h"
#include "app/PlayQueueState.h"
#include "app/SourceFolder.h"
#include "platform/media/Player.h"

#include <QStringList>
#include <QUrl>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>

class DispatchQueue;
class LocalCopies;
class SourceFolder;
class SourceFolderMonitor;
class StatusService;

// What plays next. The one owner of the player, of the decision queue and of every decision of
// the play queue with its fallbacks; the delegate of every player it makes. One item change:
//   1. the player announces the item's near end: on the decision queue one scan, one decision,
//      one "Need to play nextItem at:", and the next item handed to the player (setNextItem);
//   2. the item ends: when the player went straight on to the item handed in, nothing is left to
//      do; otherwise the step decided ahead is carried out now (the player refused the hand-in, or
//      nothing was playable then), or, when the end came before its decision, it is decided now;
//   3. the next item starts, and the status is told.
// Fallbacks: an item handed in that cannot be opened is decided again at once, with no play
// counted; while nothing can be played the picture stays and the queue looks again every 2 s, or,
// while the source folder is away, as soon as the look at it every 2 s finds it back.
// Decisions for the items of a player that was replaced are dropped.
class PlayQueue : public PlayerDelegate, public std::enable_shared_from_this<PlayQueue> {
public:
    using EndKind = PlayQueueState::EndKind;
    struct Sources {
        // The newest complete files, newest first, and the newest that has counted complete: the
        // scan. Waits for the script and the file system.
        std::function<PlayQueueState::Found()> scan;
        std::shared_ptr<SourceFolderMonitor> sourceFolder;
        // Says when a file missing at a look has really gone; none: at once.
        std::shared_ptr<SourceFolder> folder;
        std::shared_ptr<StatusService> status;
        // Gives a new player to the view, which lets go of the one before. Main thread.
        std::function<void(const std::shared_ptr<Player>&)> showPlayer;
    };
    static std::shared_ptr<PlayQueue> create(Sources sources);
    ~PlayQueue() override;

    // What the players tell; each returns at once (the decisions go to the decision queue).
    void playerItemWillPlayToEndTime(const std::shared_ptr<PlayerItem>& item) override;
    void playerItemDidStart(const std::shared_ptr<PlayerItem>& item) override;
    void playerItemFailedToPlay(const std::shared_ptr<PlayerItem>& item, int error) override;
    void playerItemDidPlayToEndTime(const std::shared_ptr<PlayerItem>& item, const PlayerItemEnd& end) override;
    void playerDidRefuseNextItem(const std::shared_ptr<PlayerItem>& item, int error) override;
    void playerDidHang(const std::shared_ptr<PlayerItem>& item) override;

    // A new player plays the item from its start, shown by the view; the one before is let go.
    // `handSession`: the item is the first of the files opened by hand in that session (0: it is
    // not), and a session replaced by a later one plays nothing. Main thread.
    void playFromStart(const std::shared_ptr<PlayerItem>& item, std::uint64_t handSession = 0);
    // The files the operator opened: each plays once, in the order given, then the daily cycle goes
    // on. The first comes through playFromStart() with the session returned. Any thread.
    std::uint64_t startFilesOpenedByHand(const QStringList& paths);
    bool filesOpenedByHandPlaying() const { return state_.filesOpenedByHandPlaying(); }
    // The start-up polling loop's first list: its newest file is the last new item. Any thread.
    void startWith(const QStringList& list);
    // The same, unless the cycle has started already (a decision took a new item): false then,
    // and nothing changes.
    bool startFirst(const QStringList& list);
    // Decides what follows the item's end as the decision queue does for an end that was not
    // decided ahead, and returns once it is decided. Never on the main thread or the decision queue.
    void decideAtEnd(const std::shared_ptr<PlayerItem>& item);
    // Returns once the decisions queued so far have been taken, or after `timeout`; false then.
    // Never on the main thread.
    bool waitForDecisions(std::chrono::milliseconds timeout);

    // The local copies the items open when they have one, and which the decisions ask for; none:
    // every item opens its source. Any thread.
    void setLocalCopies(std::shared_ptr<LocalCopies> copies) { copies_.set(std::move(copies)); }

    std::shared_ptr<Player> player() const { return player_.get(); }
    // The player that was there is let go on a worker (see Player::release).
    void setPlayer(std::shared_ptr<Player> player);
    PlayQueueState& state() { return state_; }
    const PlayQueueState& state() const { return state_; }

private:
    // What follows an item: a file to play, the item once more, or a look again in a while.
    struct Step {
        enum class Kind { None, Play, Replay, LookAgain };
        Kind kind = Kind::None;
        QUrl url;  // Play: the file; Replay: the file again
        QString openFrom;  // its local copy, opened in its place; empty: none
        // LookAgain: the source folder is away and nothing can play until it is back; deciding
        // again before then would find the same.
        bool untilBack = false;
    };
    // The decision taken ahead of an item's end, waiting for that end.
    struct DecidedAhead {
        std::weak_ptr<PlayerItem> item;
        Step step;
        bool handedIn = false;  // the player has the next item
    };

    explicit PlayQueue(Sources sources);
    template <typename F>
    void onDecisionQueue(F work);
    // On the decision queue.
    void decideAhead(const std::shared_ptr<PlayerItem>& item);
    void itemEnded(const std::shared_ptr<PlayerItem>& item, EndKind kind);
    void decideAgain(const std::shared_ptr<PlayerItem>& item, EndKind kind);
    // One scan, one decision of the queue and its log lines. Changes nothing on the player.
    Step decideNext(const std::shared_ptr<PlayerItem>& item, EndKind kind, const Player* player);
    Step stepFor(const PlayQueueState::Decision& decision, const PlayQueueState::Found& found, EndKind kind,
                 bool reachable);
    void leadForScan(std::chrono::steady_clock::duration scan);
    std::chrono::milliseconds shortestLead() const;
    std::chrono::milliseconds lead() const;  // for a player made now
    Step withCopy(Step step, const std::shared_ptr<PlayerItem>& ended, bool reachable,
                  const QHash<QString, MediaFiles::Stamp>& stamps);
    // The local copy to open for the file, checked now; `reachable`: the share answers, and a
    // copy whose source changed since is dropped. Empty: the file itself.
    QString copyToOpen(const QString& path, bool reachable, const QHash<QString, MediaFiles::Stamp>& stamps);
    bool handIn(Player& player, const std::shared_ptr<PlayerItem>& ended, const Step& step);
    // The player hangs on a file of a share that does not answer: the item plays in a new
    // player, made on the main thread, unless another has taken over meanwhile or too many
    // players that hang are still waiting to end (then the picture stays until the share answers).
    void playInNewPlayer(const Player* hung, const QUrl& url, const QString& openFrom);
    void carryOut(Player* player, const std::shared_ptr<PlayerItem>& item, const Step& step);
    // Looks again in a while, keeping the picture, when nothing could be played now; `untilBack`:
    // once the source folder is back.
    void scheduleLookAgain(const std::shared_ptr<PlayerItem>& item, bool untilBack);
    void lookAgain();
    // The item was given to a player that is not the current one: what happens to it no longer matters.
    static bool belongsElsewhere(const PlayerItem& item, const Player* current);
    bool isCurrent(const PlayerItem& item) const;
    // startWith() and startFirst(): `onlyFirst`, nothing changes once a decision took a new item.
    bool start(const QStringList& list, bool onlyFirst);
    // What one look at each file sees now (empty when the file system did not answer in time),
    // with the files missing that have not gone for good yet set apart.
    SourceFolder::Looked lookAt(const QStringList& paths) const;
    // Tells the status the newest file's modification time and how many of the newest are set aside.
    void noteNewestFiles(const QStringList& newest, const QHash<QString, MediaFiles::Stamp>& stamps);

    const Sources sources_;
    PlayQueueState state_;
    AtomicProperty<std::shared_ptr<Player>> player_;
    AtomicProperty<std::shared_ptr<LocalCopies>> copies_;
    // Every decision runs here, one after the other, in the order of the players' announcements
    // and ends; decidedAhead_ and the look again are touched only on it.
    const std::shared_ptr<DispatchQueue> decisions_;
    DecidedAhead decidedAhead_;
    // The item to look again for once the time comes: the latest asked for, so that a look again
    // asked for by the items of a new player is never lost behind one of the player before.
    std::shared_ptr<PlayerItem> lookAgainFor_;
    bool lookAgainDue_ = false;
    bool waitingForBack_ = false;  // told by the source folder monitor once the folder is back
    Notice nothingPlayableNotice_;
    Notice tooManyHungNotice_;
    // How long before an item's end its decision starts, in milliseconds: it follows the scans.
    std::atomic<std::int64_t> nearEndLeadMs_{Player::kNearEndLead.count()};
    static constexpr std::chrono::milliseconds kLongestLead{10000};
    // Each player that hangs holds mpv and its memory until the share answers.
    static constexpr int kMostHungPlayers = 3;
};
