// The player's status for those who are not in front of it: the status request of a second
// launch (--status).
#include "app/AppDelegate.h"
#include "app/Settings.h"

#include "platform/core/NotificationCenter.h"
#include "platform/core/ProcessInfo.h"
#include "platform/core/RunningApplication.h"
#include "platform/core/ThreadContract.h"
#include "platform/media/Player.h"
#include "platform/media/PlayerView.h"

#include <QFileInfo>
#include <QJsonDocument>

#include <unistd.h>

void AppDelegate::noteItemStarted(const QString& path) {
    status_.itemStarted(path);
}

void AppDelegate::noteNewItem(const QString& path) { status_.newItemArrived(path); }

StatusReport::Snapshot AppDelegate::statusSnapshot() const {
    VORN_ASSERT_MAIN_THREAD();
    StatusReport::Snapshot s = status_.snapshot();
    s.pid = getpid();
    s.version = QStringLiteral(VORN_VERSION);
    s.sourceFolder = Settings::string(Setting::TamrinVideosFolder);
    s.logPath = logFilePath();
    s.logBytes = QFileInfo(s.logPath).size();
    s.residentMemoryBytes = ProcessInfo::residentMemoryBytes();
    if (const QPointer<PlayerView> view = playerview()) s.lastFrame = view->lastFrameTime();
    return s;
}

void AppDelegate::startStatusServices() {
    VORN_ASSERT_MAIN_THREAD();
    const std::weak_ptr<AppDelegate> weak = weak_from_this();
    // Plays and failures, whichever player they come from.
    NotificationCenter::defaultCenter().addObserver(
        this, AVPlayerItemDidPlayToEndTimeNotification, nullptr, [weak](const Notification& n) {
            const auto* item = std::any_cast<std::shared_ptr<PlayerItem>>(&n.object);
            if (const std::shared_ptr<AppDelegate> self = weak.lock(); self && item) self->status_.itemEnded(*item);
        });
    NotificationCenter::defaultCenter().addObserver(
        this, AVPlayerItemFailedToPlayToEndTimeNotification, nullptr, [weak](const Notification& n) {
            const auto* item = std::any_cast<std::shared_ptr<PlayerItem>>(&n.object);
            if (const std::shared_ptr<AppDelegate> self = weak.lock(); self && item) self->status_.itemFailed(*item);
        });

    const auto statusJson = [weak]() -> QByteArray {
        const std::shared_ptr<AppDelegate> self = weak.lock();
        if (!self) return QByteArray();  // quitting
        const QJsonObject json = StatusReport::json(self->statusSnapshot(), std::chrono::steady_clock::now());
        return QJsonDocument(json).toJson(QJsonDocument::Compact);
    };
    RunningApplication::setStatusProvider(statusJson);
}
