// The play queue's entry points on the controller: the screen, the lists handed to the player,
// and the files opened by hand. The decisions themselves are PlayQueue's.
#include "app/AppDelegate.h"
#include "app/Settings.h"

#include "log/KORVAL_Log.h"
#include "platform/core/Format.h"
#include "platform/core/PathUtilities.h"
#include "platform/core/Queues.h"
#include "platform/core/ThreadContract.h"
#include "platform/media/Player.h"

#include <QUrl>

std::optional<Screen> AppDelegate::useThisScreen() const { return chooseScreen(screens()); }

std::optional<Screen> AppDelegate::chooseScreen(const QList<Screen>& all) {
    if (all.size() >= 2) return all.at(1);
    if (all.size() == 1) return all.first();
    return std::nullopt;
}

void AppDelegate::playArrayOfUrls(const QVariantList& list) { playArrayOfUrls(list, 0); }

void AppDelegate::playArrayOfUrls(const QVariantList& list, std::uint64_t handSession) {
    // Through a serial queue of its own, on to the main thread.
    auto queue = DispatchQueue::createSerial();
    queue->async(whileAlive([this, list, handSession] {
        DispatchQueue::main().async(whileAlive([this, list, handSession] { playListOnMainThread(list, handSession); }));
    }));
}

void AppDelegate::playListOnMainThread(const QVariantList& list, std::uint64_t handSession) {
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
    // A fresh item: one played before belongs to the player it played in.
    queue_->playFromStart(first->wasGivenToAPlayer() ? PlayerItem::playerItemWithURL(first->url()) : first,
                          handSession);
}

void AppDelegate::playerItemDidReachEnd(const std::shared_ptr<PlayerItem>& item) {
    if (item) playagain(item);
}

void AppDelegate::playagain(const std::shared_ptr<PlayerItem>& item) { queue_->decideAtEnd(item); }

void AppDelegate::playFilesOpenedByHand(const QList<QUrl>& urls) {
    QStringList paths;
    for (const QUrl& url : urls) {
        if (url.isLocalFile()) paths += url.toLocalFile();
    }
    playArrayOfUrls(QVariantList(urls.cbegin(), urls.cend()), queue_->startFilesOpenedByHand(paths));
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
