#include "app/PlayQueue.h"

#include "app/LocalCopies.h"
#include "app/Settings.h"
#include "app/ShareAccess.h"
#include "app/SourceFolder.h"
#include "app/StatusService.h"
#include "app/Validation.h"

#include "log/KORVAL_Log.h"
#include "platform/core/Format.h"
#include "platform/core/PathUtilities.h"
#include "platform/core/Queues.h"
#include "platform/core/ThreadContract.h"

#include <QSet>

#include <algorithm>
#include <future>

namespace {

// While nothing can be played, the queue looks again this often; the picture stays meanwhile.
constexpr std::chrono::seconds kLookAgainAfter{2};
constexpr std::chrono::seconds kLookAgainWhileAway{30};

// A player held for one decision, let go on a worker: should a new player have taken over
// meanwhile, this may be the last reference, and mpv must not end on the decision queue.
class HeldPlayer {
public:
    explicit HeldPlayer(std::shared_ptr<Player> player) : player_(std::move(player)) {}
    ~HeldPlayer() { Player::release(std::move(player_)); }
    HeldPlayer(const HeldPlayer&) = delete;
    HeldPlayer& operator=(const HeldPlayer&) = delete;
    Player* get() const { return player_.get(); }

private:
    std::shared_ptr<Player> player_;
};

}  // namespace

SourceFolder::Looked PlayQueue::lookAt(const QStringList& paths) const {
    const std::uint64_t ticket = sources_.sourceFolder->startLook();
    const std::optional<QHash<QString, MediaFiles::Stamp>> answered =
        ShareAccess::call<QHash<QString, MediaFiles::Stamp>>([paths] {
            QHash<QString, MediaFiles::Stamp> seen;
            for (const QString& path : paths) {
                if (const auto stamp = MediaFiles::stampOf(path)) seen.insert(path, *stamp);
            }
            return seen;
        });
    // Its files not answering is the share not answering: the rest of the decision, and the
    // decisions after it, do not wait for it again.
    if (!answered) sources_.sourceFolder->report(SourceFolderMonitor::State::NotAnswering, ticket);
    QHash<QString, MediaFiles::Stamp> stamps = answered.value_or(QHash<QString, MediaFiles::Stamp>());
    if (!sources_.folder) return {stamps, {}};
    return sources_.folder->confirmGone(std::move(stamps), std::chrono::steady_clock::now());
}

std::shared_ptr<PlayQueue> PlayQueue::create(Sources sources) {
    return std::shared_ptr<PlayQueue>(new PlayQueue(std::move(sources)));
}

PlayQueue::PlayQueue(Sources sources) : sources_(std::move(sources)), decisions_(DispatchQueue::createSerial()) {}

PlayQueue::~PlayQueue() { setPlayer(nullptr); }

template <typename F>
void PlayQueue::onDecisionQueue(F work) {
    decisions_->async([weak = weak_from_this(), work = std::move(work)]() mutable {
        if (const std::shared_ptr<PlayQueue> self = weak.lock()) work(*self);
    });
}

void PlayQueue::setPlayer(std::shared_ptr<Player> player) {
    std::shared_ptr<Player> old = player_.get();
    player_.set(std::move(player));
    Player::release(std::move(old));
}

bool PlayQueue::belongsElsewhere(const PlayerItem& item, const Player* current) {
    return item.wasGivenToAPlayer() && !(current && current->holds(item));
}

// ---- What the players tell

void PlayQueue::playerItemWillPlayToEndTime(const std::shared_ptr<PlayerItem>& item) {
    onDecisionQueue([item](PlayQueue& self) { self.decideAhead(item); });
}

// The status counts only what the current player does: a player let go may still speak while it ends.
bool PlayQueue::isCurrent(const PlayerItem& item) const { return !belongsElsewhere(item, HeldPlayer(player()).get()); }

void PlayQueue::playerItemDidStart(const std::shared_ptr<PlayerItem>& item) {
    if (isCurrent(*item)) sources_.status->itemStarted(item->url().toLocalFile());
}

void PlayQueue::playerItemFailedToPlay(const std::shared_ptr<PlayerItem>& item, int error) {
    // The player's own line says why on the debug level; the operator hears of it as a warning.
    KORVAL_Log::warnOperator(fmt("Cannot play %@ (player error %li): it counts as ended", item->url().toLocalFile(),
                                 static_cast<long long>(error)));
    if (isCurrent(*item)) sources_.status->itemFailed();
}

void PlayQueue::playerItemDidPlayToEndTime(const std::shared_ptr<PlayerItem>& item, const PlayerItemEnd& end) {
    if (isCurrent(*item)) sources_.status->itemEnded(end);
    if (end.why == PlayerItemEnd::Why::Failed) {
        state_.noteFailure(Path::standardize(item->url().toLocalFile()), Player::describeError(end.error));
    }
    // The player went straight on to the item decided ahead: nothing is left to decide.
    if (end.nextFollows) return;
    const EndKind kind = end.why == PlayerItemEnd::Why::Failed ? EndKind::Failed : EndKind::Played;
    onDecisionQueue([item, kind](PlayQueue& self) { self.itemEnded(item, kind); });
}

void PlayQueue::playerDidRefuseNextItem(const std::shared_ptr<PlayerItem>& item, int) {
    if (isCurrent(*item)) sources_.status->itemFailed();
    onDecisionQueue([item](PlayQueue& self) { self.decideAgain(item, EndKind::NotOpened); });
}

// What was decided for the hung player plays in a new one: a local copy at once, as nothing is
// wrong with it; a file of the share only once a decision has found the share answering, for a
// share that hangs would hold the new player as well.
void PlayQueue::playerDidHang(const std::shared_ptr<PlayerItem>& item) {
    const HeldPlayer player(this->player());
    if (!player.get() || !player.get()->holds(*item)) return;
    KORVAL_Log::warnOperator(fmt("The player hangs on a file that does not answer: %@ and what follows play in a new player",
                                 item->url().toLocalFile()));
    if (item->opensACopy()) {
        playInNewPlayer(player.get(), item->url(), item->openPath());
        return;
    }
    onDecisionQueue([item](PlayQueue& self) { self.decideAgain(item, EndKind::NotOpened); });
}

void PlayQueue::playInNewPlayer(const Player* hung, const QUrl& url, const QString& openFrom) {
    DispatchQueue::main().async([weak = weak_from_this(), hung, url, openFrom] {
        const std::shared_ptr<PlayQueue> self = weak.lock();
        if (!self) return;
        const HeldPlayer current(self->player());
        if (current.get() != hung) return;  // another player took over meanwhile
        if (Player::hungCount() > kMostHungPlayers) {
            self->tooManyHungNotice_.note([] {
                KORVAL_Log::debug(QStringLiteral(
                    "Too many players wait on a share that does not answer: keeping the picture until it answers"));
            });
            return;
        }
        self->tooManyHungNotice_.clear();
        const std::shared_ptr<PlayerItem> item = PlayerItem::playerItemWithURL(url, openFrom);
        if (!item) return;
        std::shared_ptr<Player> player = Player::playerWithPlayerItem(item, weak);
        self->state_.moveFilesOpenedByHand(hung, player.get());
        player->setNearEndLead(self->lead());
        if (self->sources_.showPlayer) self->sources_.showPlayer(player);
        self->setPlayer(player);
        player->play();
    });
}

// ---- What the controller asks

void PlayQueue::playFromStart(const std::shared_ptr<PlayerItem>& given, std::uint64_t handSession) {
    VORN_ASSERT_MAIN_THREAD();
    std::shared_ptr<PlayerItem> item = given;
    // A file of the cycle opens its local copy when it has one (checked against the share when the
    // list was taken); a file opened by hand opens itself.
    if (const std::shared_ptr<LocalCopies> copies = copies_.get(); copies && handSession == 0 && !item->opensACopy()) {
        if (const std::optional<QString> copy = copies->copyToPlay(Path::standardize(item->url().toLocalFile()))) {
            item = PlayerItem::playerItemWithURL(item->url(), *copy);
        }
    }
    std::shared_ptr<Player> player = Player::playerWithPlayerItem(item, weak_from_this());
    // From now on the files opened by hand follow this player's items, and no other's.
    if (handSession == 0) {
        state_.dropFilesOpenedByHand();
    } else if (!state_.bindFilesOpenedByHand(handSession, player.get())) {
        Player::release(std::move(player));
        return;  // the operator opened other files since
    }
    // The view lets go of the old player first, then it is handed to a worker.
    player->setNearEndLead(lead());
    if (sources_.showPlayer) sources_.showPlayer(player);
    setPlayer(player);
    player->play();
    item->seekToTimeZero();
}

std::uint64_t PlayQueue::startFilesOpenedByHand(const QStringList& paths) {
    return state_.startFilesOpenedByHand(paths);
}

void PlayQueue::startWith(const QStringList& list) { start(list, false); }

bool PlayQueue::startFirst(const QStringList& list) { return start(list, true); }

bool PlayQueue::start(const QStringList& list, bool onlyFirst) {
    if (list.isEmpty()) return true;
    if (const std::shared_ptr<LocalCopies> copies = copies_.get(); copies && !sources_.sourceFolder->isAway()) {
        // What changed on the share while the player was off is not played from an old copy.
        const QHash<QString, MediaFiles::Stamp> stamps = lookAt(list).stamps;
        for (auto it = stamps.cbegin(); it != stamps.cend(); ++it) copies->copyToPlay(it.key(), *it);
        copies->want(list, list);
    }
    if (!onlyFirst) {
        state_.startWith(list);
    } else if (!state_.startWithIfFirst(list)) {
        return false;
    }
    sources_.status->newItemArrived(list.first());
    // Its look at the share waits on the decision queue, never on the caller's thread.
    onDecisionQueue([list](PlayQueue& self) { self.noteNewestFiles(list, {}); });
    return true;
}

void PlayQueue::noteNewestFiles(const QStringList& newest, const QHash<QString, MediaFiles::Stamp>& stamps) {
    if (newest.isEmpty() || sources_.sourceFolder->isAway()) return;
    qint64 setAside = 0;
    for (const QString& path : newest) setAside += state_.isSetAside(path) ? 1 : 0;
    // The file's own time, not when this run found it, so that a restart says nothing of its age.
    const auto known = stamps.constFind(newest.first());
    const std::optional<MediaFiles::Stamp> stamp =
        known != stamps.constEnd() ? std::optional<MediaFiles::Stamp>(*known) : lookAt({newest.first()}).stamps.value(newest.first());
    QDateTime modified;
    if (stamp && stamp->exists) modified = QDateTime::fromMSecsSinceEpoch(stamp->modifiedNs / 1000000);
    sources_.status->newestFilesSeen(modified, setAside);
}

void PlayQueue::decideAtEnd(const std::shared_ptr<PlayerItem>& item) {
    VORN_ASSERT_NOT_MAIN_THREAD();
    onDecisionQueue([item](PlayQueue& self) { self.itemEnded(item, EndKind::Played); });
    waitForDecisions(std::chrono::hours(1));  // the scan has its own time limit
}

bool PlayQueue::waitForDecisions(std::chrono::milliseconds timeout) {
    VORN_ASSERT_NOT_MAIN_THREAD();
    auto done = std::make_shared<std::promise<void>>();
    std::future<void> taken = done->get_future();
    if (!decisions_->async([done] { done->set_value(); })) return false;
    return taken.wait_for(timeout) == std::future_status::ready;
}

// ---- The decisions, on the decision queue

void PlayQueue::decideAhead(const std::shared_ptr<PlayerItem>& item) {
    VORN_ASSERT_NOT_MAIN_THREAD();
    const HeldPlayer player(this->player());
    if (!player.get() || !player.get()->holds(*item) || decidedAhead_.item.lock() == item) return;
    // It ended, or was replaced, before its turn came here: its end decides.
    const Player::Status now = player.get()->status();
    if (now.item != item || now.state != Player::State::Playing) return;
    const Step step = decideNext(item, EndKind::Played, player.get());
    decidedAhead_ = DecidedAhead{item, step, handIn(*player.get(), item, step)};
}

void PlayQueue::itemEnded(const std::shared_ptr<PlayerItem>& item, EndKind kind) {
    VORN_ASSERT_NOT_MAIN_THREAD();
    if (!item) {
        KORVAL_Log::debug(QStringLiteral("hmm - nothing to playagain???"));
        return;
    }
    const HeldPlayer player(this->player());
    if (belongsElsewhere(*item, player.get())) return;
    if (decidedAhead_.item.lock() == item) {
        const DecidedAhead ahead = std::exchange(decidedAhead_, DecidedAhead{});
        // Decided before the end: the player has the next item already; or it could not take it
        // then, or nothing could be played, and the step decided then is carried out now.
        if (kind == EndKind::Played) {
            if (!ahead.handedIn) carryOut(player.get(), item, ahead.step);
            return;
        }
    }
    carryOut(player.get(), item, decideNext(item, kind, player.get()));
}

void PlayQueue::decideAgain(const std::shared_ptr<PlayerItem>& item, EndKind kind) {
    VORN_ASSERT_NOT_MAIN_THREAD();
    const HeldPlayer player(this->player());
    if (belongsElsewhere(*item, player.get())) return;
    carryOut(player.get(), item, decideNext(item, kind, player.get()));
}

PlayQueue::Step PlayQueue::decideNext(const std::shared_ptr<PlayerItem>& item, EndKind kind, const Player* player) {
    if (player) {
        if (const std::shared_ptr<PlayerItem> current = player->currentItem()) {
            KORVAL_Log::debug(fmt("curURL asset is: %@", QVariant(current->url())));
        }
    }
    // Files opened by hand play one after the other; then the daily cycle goes on where it was.
    if (kind != EndKind::Recheck) {
        const PlayQueueState::HandTurn hand = state_.takeFileOpenedByHand(player);
        if (hand.kind == PlayQueueState::HandTurn::Kind::Next) {
            const QUrl next = QUrl::fromLocalFile(Path::standardize(hand.path));
            KORVAL_Log::debug(fmt("Need to play nextItem at: %@", QVariant(next)));
            return {Step::Kind::Play, next, {}};
        }
        // The end of the last file opened by hand counts no play of the cycle.
        if (hand.kind == PlayQueueState::HandTurn::Kind::Done) kind = EndKind::Recheck;
    }

    const auto scanStarted = std::chrono::steady_clock::now();
    const PlayQueueState::Found found = sources_.scan();  // waits for the script
    leadForScan(std::chrono::steady_clock::now() - scanStarted);
    if (DispatchQueue::isShuttingDown()) return {};
    // A new player took over during the scan: the decision is nobody's now and changes nothing.
    if (belongsElsewhere(*item, HeldPlayer(this->player()).get())) return {};
    const bool reachable = !sources_.sourceFolder->isAway();
    const qint64 loops = Settings::positiveCount(Setting::NewMovieRepeatLoopCount);
    const QString endedPath = Path::standardize(item->url().toLocalFile());
    // While the share is away its files look gone: they keep their places until it answers again.
    // A file missing at a look has not gone yet either: it is passed over in its place.
    const SourceFolder::Looked looked =
        reachable ? lookAt(state_.pathsToLookAt() << endedPath) : SourceFolder::Looked();
    const QHash<QString, MediaFiles::Stamp>& stamps = looked.stamps;
    const std::shared_ptr<LocalCopies> copies = copies_.get();
    // A copy that could not be played says nothing of its source: the copy goes, no play is
    // counted, and the source plays in its turn; only its own failure sets it aside.
    if (copies && kind == EndKind::Failed && item->opensACopy()) {
        copies->dropFailedCopy(endedPath);
        kind = EndKind::NotOpened;
    }
    // While the share is away only the files with a local copy can be played; the others keep
    // their places and are passed over. So are the files missing now that have not gone yet.
    // The copies are checked here, outside the state's lock.
    QSet<QString> passed;
    for (const QString& path : looked.missing) {
        if (!copies || !copies->hasPlayableCopy(path)) passed.insert(path);
    }
    // With the share answering, a file whose copy is found damaged now waits for its next turn
    // all the same: a share that answers looks but hangs opens would hold the picture.
    if (copies) {
        for (const QString& path : state_.repeatList() + found.complete) {
            if (passed.contains(path) || (reachable && !copies->hasCopy(path))) continue;
            if (!copies->hasPlayableCopy(path)) passed.insert(path);
        }
    }
    std::function<bool(const QString&)> passOver;
    if (!passed.isEmpty()) passOver = [passed](const QString& path) { return passed.contains(path); };
    // A copy whose source changed since it was made is not played, now or in an outage later.
    if (copies && reachable) copies->dropOutdated(stamps);
    const PlayQueueState::Decision decision =
        state_.itemEnded(found, loops, endedPath, kind, stamps, PlayQueueState::Clock::now(), passOver);
    // The copier works on what may play next: the newest files listed, then the repeat list.
    if (copies && reachable) copies->want(found.complete, decision.repeatList);
    for (const QString& path : decision.setAside) {
        KORVAL_Log::debug(fmt("Set aside after a failed play, passed over until it changes: %@", path));
        KORVAL_Log::warnOperator(fmt("A file that failed to play is not played again until it changes: %@", path));
    }
    for (const QString& path : decision.takenBack) KORVAL_Log::debug(fmt("Taken back to be tried again: %@", path));
    for (const QString& path : decision.vanished) KORVAL_Log::debug(fmt("Gone, left the repeat list: %@", path));
    noteNewestFiles(found.complete, stamps);
    if (decision.newItem) {
        sources_.status->newItemArrived(found.complete.first());
        KORVAL_Log::debug(fmt("hasNewItem = self.repeatList = %@", QVariant(found.complete)));
    } else if (decision.rotated) {
        KORVAL_Log::debug(fmt("Need to get from queue of last %li items....", static_cast<long long>(loops)));
        KORVAL_Log::debug(fmt("\nRepeatList AFTER:\n%@\n", QVariant(decision.repeatList)));
    }
    const Step step = withCopy(stepFor(decision, found, kind, reachable), item, reachable, stamps);
    // Away, a file opens only from its copy: its source would hang or fail. Should the copy have
    // gone since the decision, the picture stays and the queue looks again.
    if (copies && !reachable && step.kind == Step::Kind::Play && step.openFrom.isEmpty()) {
        return {Step::Kind::LookAgain, {}, {}};
    }
    return step;
}

// The decision ahead starts early enough for its scan to end before the item does: the lead
// follows the scans (half as long again as the last, with a margin), falling back slowly after
// one slow scan, between the player's own lead and kLongestLead.
void PlayQueue::leadForScan(std::chrono::steady_clock::duration scan) {
    using std::chrono::milliseconds;
    const auto took = std::chrono::duration_cast<milliseconds>(scan);
    const milliseconds wanted = took + took / 2 + milliseconds(250);
    const milliseconds before(nearEndLeadMs_.load());
    const milliseconds lead = std::clamp(std::max(wanted, before * 3 / 4), shortestLead(), kLongestLead);
    nearEndLeadMs_.store(lead.count());
    const HeldPlayer player(this->player());
    if (player.get()) player.get()->setNearEndLead(lead);
}

// With local copies to go on from, a share that stops answering costs the decision one look at it
// (ShareAccess::kDeadline) before the copies are decided: started that much earlier, the
// decision still ends before the item does.
std::chrono::milliseconds PlayQueue::lead() const {
    return std::max(std::chrono::milliseconds(nearEndLeadMs_.load()), shortestLead());
}

std::chrono::milliseconds PlayQueue::shortestLead() const {
    const std::shared_ptr<LocalCopies> copies = copies_.get();
    const bool withCopies = copies && copies->enabled();
    return withCopies ? ShareAccess::kDeadline + std::chrono::milliseconds(500) : Player::kNearEndLead;
}

PlayQueue::Step PlayQueue::withCopy(Step step, const std::shared_ptr<PlayerItem>& ended, bool reachable,
                                    const QHash<QString, MediaFiles::Stamp>& stamps) {
    if (step.kind == Step::Kind::Replay) step.url = ended->url();
    if (step.kind == Step::Kind::Play || step.kind == Step::Kind::Replay) {
        step.openFrom = copyToOpen(Path::standardize(step.url.toLocalFile()), reachable, stamps);
    }
    return step;
}

QString PlayQueue::copyToOpen(const QString& path, bool reachable, const QHash<QString, MediaFiles::Stamp>& stamps) {
    const std::shared_ptr<LocalCopies> copies = copies_.get();
    if (!copies || !copies->hasCopy(path)) return QString();
    std::optional<MediaFiles::Stamp> sourceNow;
    if (reachable && !sources_.sourceFolder->isAway()) {
        // A file the decision did not look at (a new one) is looked at now; a share that stops
        // answering just now leaves the copy as it is.
        const QHash<QString, MediaFiles::Stamp> looked = stamps.contains(path) ? stamps : lookAt({path}).stamps;
        if (looked.contains(path)) sourceNow = looked.value(path);
    }
    return copies->copyToPlay(path, sourceNow).value_or(QString());
}

PlayQueue::Step PlayQueue::stepFor(const PlayQueueState::Decision& decision, const PlayQueueState::Found& found,
                                   EndKind kind, bool reachable) {
    if (found.isEmpty()) {
        if (kind == EndKind::Played && reachable) {
            KORVAL_Log::debug(
                QStringLiteral("2017-01-14dorin - somehow list is empty - just keep it replaying whatever was loaded"));
            return {Step::Kind::Replay, {}, {}};
        }
        // The share does not answer, or what ended could not be played: the picture stays.
        return {Step::Kind::LookAgain, {}, {}, !reachable};
    }
    if (decision.nothingPlayable) {
        nothingPlayableNotice_.note([] {
            KORVAL_Log::debug(QStringLiteral(
                "Every file of the list is set aside: keeping the picture and looking again every 2 s"));
        });
        // Away, only files with a copy can play, and little changes until the share answers.
        return {Step::Kind::LookAgain, {}, {}, !reachable};
    }
    nothingPlayableNotice_.clear();
    if (decision.next.isNull()) {
        KORVAL_Log::debug(QStringLiteral("oops fitem is nil?????????"));
        return {kind == EndKind::Played ? Step::Kind::Replay : Step::Kind::LookAgain, {}, {}};
    }
    const QUrl next = QUrl::fromLocalFile(Path::standardize(decision.next));
    KORVAL_Log::debug(fmt("Need to play nextItem at: %@", QVariant(next)));
    return {Step::Kind::Play, next, {}};
}

bool PlayQueue::handIn(Player& player, const std::shared_ptr<PlayerItem>& ended, const Step& step) {
    if (step.kind != Step::Kind::Play && step.kind != Step::Kind::Replay) return false;
    // A fresh item even for the same file: every play has an end of its own.
    const std::shared_ptr<PlayerItem> next = PlayerItem::playerItemWithURL(step.url, step.openFrom);
    return next && player.setNextItem(next, ended);
}

void PlayQueue::carryOut(Player* player, const std::shared_ptr<PlayerItem>& item, const Step& step) {
    // A player that hangs would load nothing more until its share answers.
    const bool toPlay = step.kind == Step::Kind::Play || step.kind == Step::Kind::Replay;
    if (player && player->isHung() && toPlay) {
        playInNewPlayer(player, step.kind == Step::Kind::Play ? step.url : item->url(), step.openFrom);
        return;
    }
    switch (step.kind) {
        case Step::Kind::Play:
            if (player) player->replaceCurrentItemWithPlayerItem(PlayerItem::playerItemWithURL(step.url, step.openFrom));
            item->seekToTimeZero();  // no longer the current item: nothing happens to it
            if (player) player->play();
            return;
        case Step::Kind::Replay:
            item->seekToTimeZero();
            if (player) player->play();
            return;
        case Step::Kind::LookAgain:
            scheduleLookAgain(item, step.untilBack);
            return;
        case Step::Kind::None:
            return;
    }
}

void PlayQueue::scheduleLookAgain(const std::shared_ptr<PlayerItem>& item, bool untilBack) {
    lookAgainFor_ = item;
    if (lookAgainDue_) return;
    lookAgainDue_ = true;
    auto look = [weak = weak_from_this()] {
        if (const std::shared_ptr<PlayQueue> self = weak.lock()) self->onDecisionQueue([](PlayQueue& queue) { queue.lookAgain(); });
    };
    // A player holding its picture while the share is away wakes for little but the look at the
    // folder every 2 s, which says when it is back; should it be back already, the look again is
    // at the usual time. With local copies something may change while it is away (a file set
    // aside is taken back after a while, a copy under way may still end): a slow look again sees it.
    // One wait for the folder at a time, however long it stays away.
    const auto back = [weak = weak_from_this()] {
        if (const std::shared_ptr<PlayQueue> self = weak.lock()) {
            self->onDecisionQueue([](PlayQueue& queue) {
                queue.waitingForBack_ = false;
                queue.lookAgain();
            });
        }
    };
    if (untilBack && (waitingForBack_ || sources_.sourceFolder->callWhenBack(back))) {
        waitingForBack_ = true;
        const std::shared_ptr<LocalCopies> copies = copies_.get();
        if (copies && copies->enabled()) DispatchQueue::after(kLookAgainWhileAway, std::move(look));
        return;
    }
    DispatchQueue::after(kLookAgainAfter, std::move(look));
}

void PlayQueue::lookAgain() {
    lookAgainDue_ = false;
    const std::shared_ptr<PlayerItem> item = std::exchange(lookAgainFor_, nullptr);
    if (item) decideAgain(item, EndKind::Recheck);
}
