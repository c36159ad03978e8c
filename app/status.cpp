// The player's status for those who are not in front of it: the status request of a second
// launch (--status), the service manager's watchdog and status line, and the status server.
#include "app/AppDelegate.h"
#include "app/Settings.h"

#include "log/KORVAL_Log.h"
#include "platform/core/Format.h"
#include "platform/core/NotificationCenter.h"
#include "platform/core/ProcessInfo.h"
#include "platform/core/RunningApplication.h"
#include "platform/core/ServiceManager.h"
#include "platform/core/StatusHttpServer.h"
#include "platform/core/ThreadContract.h"
#include "platform/media/Player.h"
#include "platform/media/PlayerCore.h"
#include "platform/media/PlayerView.h"
#include "platform/ui/MainWindow.h"

#include <QFileInfo>
#include <QJsonDocument>

#include <unistd.h>

namespace {

// The screenshot a status request gets is at most this wide.
constexpr int kScreenshotWidth = 640;
// An item that has not started after this long (or the watchdog's timeout, if longer) is stuck,
// and the watchdog is no longer told that all is well.
constexpr std::chrono::milliseconds kStuckLoadingLimit{10000};

}  // namespace

void AppDelegate::noteItemStarted(const QString& path) {
    status_.itemStarted(path);
    ServiceManager::notifyStatus(fmt("Playing %@", path));
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

    const std::optional<std::chrono::microseconds> watchdog = ServiceManager::watchdogTimeout();
    const auto stuckLimit =
        std::max(kStuckLoadingLimit, std::chrono::duration_cast<std::chrono::milliseconds>(
                                         watchdog.value_or(std::chrono::microseconds(0))));
    ServiceManager::startWatchdog([weak, stuckLimit]() -> QString {
        const std::shared_ptr<AppDelegate> self = weak.lock();
        const std::shared_ptr<Player> player = self ? self->player() : nullptr;
        if (!player) return QString();
        const PlayerCore::State state = player->core()->state();
        const bool loading = state == PlayerCore::State::Loading || state == PlayerCore::State::Pending;
        if (!self->status_.isStuck(loading, stuckLimit, std::chrono::steady_clock::now())) return QString();
        return fmt("the current item has not started within %li s", static_cast<long long>(stuckLimit.count() / 1000));
    });

    const QString address = Settings::string(Setting::StatusListenAddress).trimmed();
    if (address.isEmpty()) return;
    StatusHttpServer::Endpoints endpoints;
    endpoints.status = statusJson;
    endpoints.metrics = [weak]() -> QByteArray {
        const std::shared_ptr<AppDelegate> self = weak.lock();
        return self ? StatusReport::prometheusText(self->statusSnapshot(), std::chrono::steady_clock::now()) : QByteArray();
    };
    endpoints.screenshot = [weak]() -> QByteArray {
        const std::shared_ptr<AppDelegate> self = weak.lock();
        const QPointer<MainWindow> window = self ? self->window() : nullptr;
        return window ? window->snapshotPng(kScreenshotWidth) : QByteArray();
    };
    QString error;
    const std::optional<QString> url =
        StatusHttpServer::start(address, Settings::string(Setting::StatusToken).toUtf8(), std::move(endpoints), &error);
    if (!url) {
        KORVAL_Log::debug(fmt("Status server: cannot listen on %@: %@", address, error));
        return;
    }
    const bool withToken = !Settings::string(Setting::StatusToken).isEmpty();
    KORVAL_Log::debug(fmt("Status server: /metrics, /status and /screenshot.png at %@ (%@)", *url,
                          withToken ? "bearer token required" : "no token required"));
}
