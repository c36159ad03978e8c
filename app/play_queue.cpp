// The play queue and its repeat list.
#include "app/AppDelegate.h"
#include "app/Settings.h"

#include "log/KORVAL_Log.h"
#include "platform/core/Format.h"
#include "platform/core/NotificationCenter.h"
#include "platform/core/PathUtilities.h"
#include "platform/media/Player.h"
#include "platform/media/PlayerView.h"
#include "platform/core/Queues.h"
#include "platform/core/ThreadContract.h"

#include <QUrl>

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
    if (item && *item) playagain(*item);
}

void AppDelegate::playagain(const std::shared_ptr<PlayerItem>& item) {
    VORN_ASSERT_NOT_MAIN_THREAD();
    if (!item) {
        KORVAL_Log::debug(QStringLiteral("hmm - nothing to playagain???"));
        return;
    }
    const std::shared_ptr<Player> player = this->player();
    const std::shared_ptr<PlayerItem> current = player ? player->currentItem() : nullptr;
    if (current) KORVAL_Log::debug(fmt("curURL asset is: %@", QVariant(current->url())));

    const QStringList found = scanFolderForNewItems();  // waits for the script
    if (DispatchQueue::isShuttingDown()) return;
    const qint64 loops = Settings::integer(Setting::NewMovieRepeatLoopCount);
    const PlayQueueState::Decision decision = queue_.itemEnded(found, loops);
    auto replay = [&] {
        item->seekToTimeZero();
        if (player) player->play();
        if (const auto now = player ? player->currentItem() : nullptr) noteItemStarted(now->url().toLocalFile());
    };
    if (found.isEmpty()) {
        KORVAL_Log::debug(QStringLiteral("2017-01-14dorin - somehow list is empty - just keep it replaying whatever was loaded"));
        replay();
        return;
    }
    if (decision.newItem) {
        noteNewItem(found.first());
        KORVAL_Log::debug(fmt("hasNewItem = self.repeatList = %@", QVariant(found)));
    } else if (decision.rotated) {
        KORVAL_Log::debug(fmt("Need to get from queue of last %li items....", static_cast<long long>(loops)));
        KORVAL_Log::debug(fmt("\nRepeatList AFTER:\n%@\n", QVariant(decision.repeatList)));
    }
    if (decision.next.isNull()) {
        KORVAL_Log::debug(QStringLiteral("oops fitem is nil?????????"));
        replay();
        return;
    }
    const QUrl next = QUrl::fromLocalFile(decision.next);
    KORVAL_Log::debug(fmt("Need to play nextItem at: %@", QVariant(next)));
    if (player) player->replaceCurrentItemWithPlayerItem(PlayerItem::playerItemWithURL(next));
    replay();
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
