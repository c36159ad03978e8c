// The play queue and its repeat list.
#include "app/AppDelegate.h"
#include "app/Settings.h"
#include "app/Validation.h"

#include "log/KORVAL_Log.h"
#include "platform/core/Deadline.h"
#include "platform/core/Format.h"
#include "platform/core/NotificationCenter.h"
#include "platform/core/PathUtilities.h"
#include "platform/media/Player.h"
#include "platform/media/PlayerView.h"
#include "platform/core/Queues.h"
#include "platform/core/ThreadContract.h"

#include <QUrl>

namespace {
// While nothing can be played, the queue looks again this often; the picture stays meanwhile.
constexpr std::uint64_t kLookAgainMicroseconds = 2000000;
}  // namespace

std::optional<Screen> AppDelegate::useThisScreen() const { return chooseScreen(screens()); }

std::optional<Screen> AppDelegate::chooseScreen(const QList<Screen>& all) {
    if (all.size() >= 2) return all.at(1);
    if (all.size() == 1) return all.first();
    return std::nullopt;
}

void AppDelegate::playArrayOfUrls(const QVariantList& list) {
    // Through a serial queue of its own, on to the main thread.
    auto queue = DispatchQueue::createSerial();
    queue->async(whileAlive([this, list] {
        DispatchQueue::main().async(whileAlive([this, list] { playListOnMainThread(list); }));
    }));
}

void AppDelegate::playListOnMainThread(const QVariantList& list) {
    VORN_ASSERT_MAIN_THREAD();
    QList<std::shared_ptr<PlayerItem>> items;
    for (const QVariant& entry : list) {
        QUrl url;
        if (entry.typeId() == QMetaType::QUrl) {
            url = entry.toUrl();
        } else if (entry.typeId() == QMetaType::QString) {
            url = QUrl::fromLocalFile(Path::standardize(entry.toString()));
        } else {
            continue;
        }
        if (auto item = PlayerItem::playerItemWithURL(url)) items += item;
    }
    // The files just handed in replace the earlier ones: the first of them is what the operator
    // expects to see, and the list cannot grow over months of running.
    if (!items.isEmpty()) setAvitems(items);
    const QList<std::shared_ptr<PlayerItem>> all = avitems();
    if (all.isEmpty()) return;
    const std::shared_ptr<PlayerItem>& first = all.first();
    KORVAL_Log::debug(fmt("first av item[%@] = %@", "PlayerItem", first->description()));
    std::shared_ptr<Player> player = Player::playerWithPlayerItem(first);
    // The view lets go of the old player first, then the controller hands it to a worker.
    if (QPointer<PlayerView> view = playerview()) view->setPlayer(player);
    setPlayer(player);
    player->play();
    first->seekToTimeZero();
    noteItemStarted(first->url().toLocalFile());
}

void AppDelegate::playerItemDidReachEnd(const Notification& notification) {
    const auto* item = std::any_cast<std::shared_ptr<PlayerItem>>(&notification.object);
    if (!item || !*item) return;
    // The player went straight on to the item decided ahead: nothing is left to decide.
    if (notification.userInfo && notification.userInfo->contains(kPlayerItemNextKey)) return;
    const bool failed = notification.userInfo && notification.userInfo->contains(kPlayerItemErrorKey);
    const auto kind = failed ? PlayQueueState::EndKind::Failed : PlayQueueState::EndKind::Played;
    decisions_->async(whileAlive([this, item = *item, kind] { itemReachedEnd(item, kind); }));
}

void AppDelegate::playerItemWillReachEnd(const Notification& notification) {
    const auto* item = std::any_cast<std::shared_ptr<PlayerItem>>(&notification.object);
    if (!item || !*item) return;
    decisions_->async(whileAlive([this, item = *item] { decideAhead(item); }));
}

void AppDelegate::playagain(const std::shared_ptr<PlayerItem>& item) {
    takeStep(item, decideNext(item, PlayQueueState::EndKind::Played));
}

void AppDelegate::itemReachedEnd(const std::shared_ptr<PlayerItem>& item, PlayQueueState::EndKind kind) {
    VORN_ASSERT_NOT_MAIN_THREAD();
    if (kind == PlayQueueState::EndKind::Played && decidedAhead_.lock() == item) {
        // Decided before the end: the player has the next item already, or nothing could be
        // played then and the picture stays while the queue looks again.
        decidedAhead_.reset();
        if (lookAgainAtEnd_) scheduleLookAgain(item);
        return;
    }
    decidedAtEnd_ = item;
    takeStep(item, decideNext(item, kind));
}

void AppDelegate::decideAhead(const std::shared_ptr<PlayerItem>& item) {
    VORN_ASSERT_NOT_MAIN_THREAD();
    if (decidedAtEnd_.lock() == item) return;  // it ended first, and that end was decided
    // No player is held across the scan: the last reference to a replaced one must not end mpv here.
    if (const std::shared_ptr<Player> player = this->player(); !player || player->currentItem() != item) return;
    decidedAhead_ = item;
    lookAgainAtEnd_ = false;
    const NextStep step = decideNext(item, PlayQueueState::EndKind::Played);
    QString path;
    switch (step.kind) {
        case NextStep::Kind::Play:
            path = announceNextItem(step.path).toLocalFile();
            break;
        case NextStep::Kind::Replay:
            path = item->url().toLocalFile();
            break;
        case NextStep::Kind::LookAgain:
            lookAgainAtEnd_ = true;
            return;
        case NextStep::Kind::None:
            return;
    }
    // A fresh item even for the same file: every play has an end of its own.
    const std::shared_ptr<PlayerItem> next = PlayerItem::playerItemWithURL(QUrl::fromLocalFile(path));
    std::shared_ptr<Player> player = this->player();
    if (!next || !player || !player->setNextItem(next, item)) decidedAhead_.reset();
    // Dropped on a worker: if the player was replaced meanwhile, this may be the last reference.
    if (player) DispatchQueue::global(DispatchQueue::Priority::Default).async([player = std::move(player)] {});
}

void AppDelegate::decideOnQueue(const std::shared_ptr<PlayerItem>& item, PlayQueueState::EndKind kind) {
    decisions_->async(whileAlive([this, item, kind] { takeStep(item, decideNext(item, kind)); }));
}

void AppDelegate::takeStep(const std::shared_ptr<PlayerItem>& item, const NextStep& step) {
    switch (step.kind) {
        case NextStep::Kind::Play:
            playNext(item, step.path);
            return;
        case NextStep::Kind::Replay:
            replay(item);
            return;
        case NextStep::Kind::LookAgain:
            scheduleLookAgain(item);
            return;
        case NextStep::Kind::None:
            return;
    }
}

void AppDelegate::playFilesOpenedByHand(const QList<QUrl>& urls) {
    QStringList paths;
    for (const QUrl& url : urls) {
        if (url.isLocalFile()) paths += url.toLocalFile();
    }
    queue_.startFilesOpenedByHand(paths);
    playArrayOfUrls(QVariantList(urls.cbegin(), urls.cend()));
}

namespace {

// What one look at each file sees now; empty when the file system did not answer in time.
QHash<QString, MediaFiles::Stamp> lookAt(const QStringList& paths) {
    return Deadline::call<QHash<QString, MediaFiles::Stamp>>(
               [paths] {
                   QHash<QString, MediaFiles::Stamp> stamps;
                   for (const QString& path : paths) {
                       if (const auto stamp = MediaFiles::stampOf(path)) stamps.insert(path, *stamp);
                   }
                   return stamps;
               },
               kFileSystemDeadline)
        .value_or(QHash<QString, MediaFiles::Stamp>());
}

}  // namespace

AppDelegate::NextStep AppDelegate::decideNext(const std::shared_ptr<PlayerItem>& item, PlayQueueState::EndKind kind) {
    VORN_ASSERT_NOT_MAIN_THREAD();
    using EndKind = PlayQueueState::EndKind;
    using Kind = NextStep::Kind;
    if (!item) {
        KORVAL_Log::debug(QStringLiteral("hmm - nothing to playagain???"));
        return {};
    }
    if (const std::shared_ptr<Player> player = this->player()) {
        if (const std::shared_ptr<PlayerItem> current = player->currentItem()) {
            KORVAL_Log::debug(fmt("curURL asset is: %@", QVariant(current->url())));
        }
    }

    // Files opened by hand play one after the other; then the daily cycle goes on where it was.
    if (kind != EndKind::Recheck && queue_.filesOpenedByHandPlaying()) {
        if (const std::optional<QString> next = queue_.nextFileOpenedByHand()) return {Kind::Play, *next};
        kind = EndKind::Recheck;  // the end of a file opened by hand counts no play of the cycle
    }

    const PlayQueueState::Found found = newestCompleteListing();  // waits for the script
    if (DispatchQueue::isShuttingDown()) return {};
    const bool reachable = [this] {
        std::lock_guard<std::mutex> lock(reachableMutex_);
        return sourceReachable_.value_or(true);
    }();
    const qint64 loops = Settings::positiveCount(Setting::NewMovieRepeatLoopCount);
    const QString endedPath = Path::standardize(item->url().toLocalFile());
    // While the share is away its files look gone: they keep their places until it answers again.
    const QHash<QString, MediaFiles::Stamp> stamps =
        reachable ? lookAt(queue_.pathsToLookAt() << endedPath) : QHash<QString, MediaFiles::Stamp>();
    const PlayQueueState::Decision decision =
        queue_.itemEnded(found, loops, endedPath, kind, stamps, PlayQueueState::Clock::now());
    for (const QString& path : decision.setAside) {
        KORVAL_Log::debug(fmt("Set aside after a failed play, passed over until it changes: %@", path));
    }
    for (const QString& path : decision.takenBack) KORVAL_Log::debug(fmt("Taken back to be tried again: %@", path));
    for (const QString& path : decision.vanished) KORVAL_Log::debug(fmt("Gone, left the repeat list: %@", path));

    if (found.isEmpty()) {
        if (kind == EndKind::Played && reachable) {
            KORVAL_Log::debug(
                QStringLiteral("2017-01-14dorin - somehow list is empty - just keep it replaying whatever was loaded"));
            return {Kind::Replay, {}};
        }
        // The share does not answer, or what ended could not be played: the picture stays.
        return {Kind::LookAgain, {}};
    }
    if (decision.newItem) {
        noteNewItem(found.complete.first());
        KORVAL_Log::debug(fmt("hasNewItem = self.repeatList = %@", QVariant(found.complete)));
    } else if (decision.rotated) {
        KORVAL_Log::debug(fmt("Need to get from queue of last %li items....", static_cast<long long>(loops)));
        KORVAL_Log::debug(fmt("\nRepeatList AFTER:\n%@\n", QVariant(decision.repeatList)));
    }
    if (decision.nothingPlayable) {
        nothingPlayableNotice_.note([] {
            KORVAL_Log::debug(QStringLiteral(
                "Every file of the list is set aside: keeping the picture and looking again every 2 s"));
        });
        return {Kind::LookAgain, {}};
    }
    nothingPlayableNotice_.clear();
    if (decision.next.isNull()) {
        KORVAL_Log::debug(QStringLiteral("oops fitem is nil?????????"));
        return {kind == EndKind::Played ? Kind::Replay : Kind::LookAgain, {}};
    }
    return {Kind::Play, decision.next};
}

void AppDelegate::replay(const std::shared_ptr<PlayerItem>& item) {
    const std::shared_ptr<Player> player = this->player();
    item->seekToTimeZero();
    if (player) player->play();
    if (const auto now = player ? player->currentItem() : nullptr) noteItemStarted(now->url().toLocalFile());
}

QUrl AppDelegate::announceNextItem(const QString& path) {
    const QUrl next = QUrl::fromLocalFile(Path::standardize(path));
    KORVAL_Log::debug(fmt("Need to play nextItem at: %@", QVariant(next)));
    return next;
}

void AppDelegate::playNext(const std::shared_ptr<PlayerItem>& ended, const QString& path) {
    const std::shared_ptr<Player> player = this->player();
    const QUrl next = announceNextItem(path);
    if (player) player->replaceCurrentItemWithPlayerItem(PlayerItem::playerItemWithURL(next));
    ended->seekToTimeZero();
    if (player) player->play();
    noteItemStarted(next.toLocalFile());
}

void AppDelegate::scheduleLookAgain(const std::shared_ptr<PlayerItem>& item) {
    if (lookAgainPending_.exchange(true)) return;
    DispatchQueue::createSerial()->async(whileAlive([this, item] {
        if (!waitMicroseconds(kLookAgainMicroseconds)) return;
        lookAgainPending_ = false;
        decideOnQueue(item, PlayQueueState::EndKind::Recheck);
    }));
}

void AppDelegate::saveCurrentUrlsToPrefs(const QVariantList& list) {
    QStringList paths;
    for (const QVariant& entry : list) {
        if (entry.typeId() != QMetaType::QUrl) continue;
        const QString path = entry.toUrl().toLocalFile();
        if (!path.isEmpty()) paths += path;
    }
    if (!paths.isEmpty()) Settings::setObject(Setting::ArrayOfPathsOfLastItems, paths);
}

QList<std::shared_ptr<PlayerItem>> AppDelegate::getArrayOfLastAVPlayerItems() const {
    QList<std::shared_ptr<PlayerItem>> items;
    const QStringList paths = Settings::stringList(Setting::ArrayOfPathsOfLastItems);
    for (const QString& path : paths) {
        if (auto item = PlayerItem::playerItemWithURL(QUrl::fromLocalFile(path))) items += item;
    }
    return items;
}
