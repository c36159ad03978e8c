// The play queue and its repeat list.
#include "app/AppDelegate.h"

#include "log/KORVAL_Log.h"
#include "platform/core/Format.h"
#include "platform/core/NotificationCenter.h"
#include "platform/core/PathUtilities.h"
#include "platform/media/Player.h"
#include "platform/media/PlayerView.h"
#include "platform/core/Queues.h"
#include "platform/core/UserDefaults.h"

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
    queue->async([this, list] { DispatchQueue::main().async([this, list] { playListOnMainThread(list); }); });
}

void AppDelegate::playListOnMainThread(const QVariantList& list) {
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
    setPlayer(player);
    if (QPointer<PlayerView> view = playerview()) view->setPlayer(player);
    player->play();
    first->seekToTimeZero();
}

void AppDelegate::playerItemDidReachEnd(const Notification& notification) {
    const auto* item = std::any_cast<std::shared_ptr<PlayerItem>>(&notification.object);
    if (item && *item) playagain(*item);
}

void AppDelegate::playagain(const std::shared_ptr<PlayerItem>& item) {
    if (!item) {
        KORVAL_Log::debug(QStringLiteral("hmm - nothing to playagain???"));
        return;
    }
    setRepeatcount(repeatcount() + 1);
    const std::shared_ptr<Player> player = this->player();
    const std::shared_ptr<PlayerItem> current = player ? player->currentItem() : nullptr;
    if (current) KORVAL_Log::debug(fmt("curURL asset is: %@", QVariant(current->url())));

    const QStringList found = scanFolderForNewItems();  // waits for the script
    auto replay = [&] {
        item->seekToTimeZero();
        if (player) player->play();
    };
    if (found.isEmpty()) {
        KORVAL_Log::debug(QStringLiteral("2017-01-14dorin - somehow list is empty - just keep it replaying whatever was loaded"));
        replay();
        return;
    }

    const QString newest = found.first();
    const QString lastNew = pathToLastNewItem();
    const bool isNew = lastNew.isNull() || Path::lastPathComponent(Path::standardize(lastNew))
                                                   .compare(Path::lastPathComponent(Path::standardize(newest)),
                                                            Qt::CaseInsensitive) != 0;
    if (isNew) {
        setPathToLastNewItem(Path::standardize(newest));
        setRepeatList(found);
        setRepeatcount(0);
        KORVAL_Log::debug(fmt("hasNewItem = self.repeatList = %@", QVariant(found)));
    } else {
        const qint64 loops = UserDefaults::standardUserDefaults().integerForKey(QStringLiteral("prefNewMovieRepeatLoopCount"));
        if (repeatcount() >= loops) {
            KORVAL_Log::debug(fmt("Need to get from queue of last %li items....", static_cast<long long>(loops)));
            QStringList list = repeatList();
            if (!list.isEmpty()) {
                const QString first = list.first();
                list.removeAll(first);
                list.append(first);
            }
            setRepeatList(list);
            KORVAL_Log::debug(fmt("\nRepeatList AFTER:\n%@\n", QVariant(list)));
        }
    }

    const QStringList list = repeatList();
    if (list.isEmpty()) {
        KORVAL_Log::debug(QStringLiteral("oops fitem is nil?????????"));
        replay();
        return;
    }
    const QUrl next = QUrl::fromLocalFile(Path::standardize(list.first()));
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
    if (!paths.isEmpty()) UserDefaults::standardUserDefaults().setObject(paths, QStringLiteral("prefArrayOfPathsOfLastItems"));
}

QList<std::shared_ptr<PlayerItem>> AppDelegate::getArrayOfLastAVPlayerItems() const {
    QList<std::shared_ptr<PlayerItem>> items;
    const QStringList paths = UserDefaults::standardUserDefaults().stringArrayForKey(QStringLiteral("prefArrayOfPathsOfLastItems"));
    for (const QString& path : paths) {
        if (auto item = PlayerItem::playerItemWithURL(QUrl::fromLocalFile(path))) items += item;
    }
    return items;
}
