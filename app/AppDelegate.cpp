#include "app/AppDelegate.h"
#include "app/LocalCopies.h"
#include "app/Settings.h"

#include "platform/core/Description.h"
#include "platform/core/ThreadContract.h"
#include "platform/media/Player.h"
#include "platform/media/PlayerView.h"
#include "platform/ui/MainWindow.h"
#include "platform/ui/PreferencesWindow.h"
#include "platform/ui/StatusImages.h"
#include "progress/MyProgressWindowController.h"

AppDelegate::AppDelegate() = default;
AppDelegate::~AppDelegate() = default;

std::shared_ptr<AppDelegate> AppDelegate::create() {
    std::shared_ptr<AppDelegate> delegate(new AppDelegate);
    delegate->makeServices();
    return delegate;
}

// The services hold the controller weakly: they outlive it only while a job of theirs runs out.
void AppDelegate::makeServices() {
    const std::weak_ptr<AppDelegate> weak = weak_from_this();
    SourceFolder::Hooks hooks;
    hooks.lightChanged = [weak] {
        const std::shared_ptr<AppDelegate> self = weak.lock();
        if (!self) return;
        self->showSourceFolderLight();
        if (self->status_) self->status_->sourceFolderChanged();
    };
    hooks.lastNewItem = [weak] {
        const std::shared_ptr<AppDelegate> self = weak.lock();
        return self ? self->pathToLastNewItem() : QString();
    };
    hooks.mostRecentItem = [weak] {
        const std::shared_ptr<AppDelegate> self = weak.lock();
        return self ? self->pathToMostRecentItem() : QString();
    };
    hooks.ownerDescription = description();
    sourceFolder_ = SourceFolder::create(std::move(hooks));
    status_ = std::make_shared<StatusService>(sourceFolder_->monitorShared());
    PlayQueue::Sources sources;
    // The play queue asks the source folder for its listings, not the controller.
    sources.scan = [folder = std::weak_ptr<SourceFolder>(sourceFolder_)] {
        const std::shared_ptr<SourceFolder> self = folder.lock();
        return self ? self->newestCompleteListing() : PlayQueueState::Found();
    };
    sources.sourceFolder = sourceFolder_->monitorShared();
    sources.folder = sourceFolder_;
    sources.status = status_;
    sources.showPlayer = [weak](const std::shared_ptr<Player>& player) {
        const std::shared_ptr<AppDelegate> self = weak.lock();
        if (const QPointer<PlayerView> view = self ? self->playerview() : nullptr) view->setPlayer(player);
    };
    queue_ = PlayQueue::create(std::move(sources));
}

QString AppDelegate::description() const { return Description::ofObject("AppDelegate", this); }

QPointer<PreferencesWindow> AppDelegate::fPreferencesWindow() const { return fPreferencesWindow_.get(); }
void AppDelegate::setFPreferencesWindow(PreferencesWindow* window) { fPreferencesWindow_.set(window); }

QPointer<PlayerView> AppDelegate::playerview() const { return playerview_.get(); }
void AppDelegate::setPlayerview(PlayerView* view) { playerview_.set(view); }

QPointer<MainWindow> AppDelegate::window() const { return window_.get(); }

void AppDelegate::setFStatusImage(const QImage& image, const QString& detail) {
    VORN_ASSERT_MAIN_THREAD();
    fStatusImage_ = image;
    fStatusDetail_ = detail;
    if (QPointer<MainWindow> w = window()) w->setStatusImage(image, detail);
    if (QPointer<PreferencesWindow> p = fPreferencesWindow()) p->setStatusImage(image, detail);
}
void AppDelegate::setWindow(MainWindow* window) { window_.set(window); }

// The light shows what the monitor says when the main thread gets to it, so that changes reported
// from several threads at once still end on the latest.
void AppDelegate::showSourceFolderLight() {
    DispatchQueue::main().async(whileAlive([this] {
        const SourceFolderMonitor::Light light = sourceFolder_->monitor().light();
        setFStatusImage(statusImageNamed(light.imageName), light.detail);
    }));
}

void AppDelegate::startStatusServices() {
    VORN_ASSERT_MAIN_THREAD();
    const std::weak_ptr<AppDelegate> weak = weak_from_this();
    StatusService::Sources sources;
    sources.player = [weak] {
        const std::shared_ptr<AppDelegate> self = weak.lock();
        std::shared_ptr<Player> player = self ? self->player() : nullptr;
        const Player::Status status = player ? player->status() : Player::Status{};
        Player::release(std::move(player));
        return status;
    };
    sources.lastFrame = [weak]() -> std::optional<StatusService::SteadyTime> {
        const std::shared_ptr<AppDelegate> self = weak.lock();
        const QPointer<PlayerView> view = self ? self->playerview() : nullptr;
        return view ? view->lastFrameTime() : std::nullopt;
    };
    sources.screenshotPng = [weak](int width) {
        const std::shared_ptr<AppDelegate> self = weak.lock();
        const QPointer<MainWindow> window = self ? self->window() : nullptr;
        return window ? window->snapshotPng(width) : QByteArray();
    };
    sources.queue = [weak] {
        const std::shared_ptr<AppDelegate> self = weak.lock();
        return self ? self->playQueue().state().outlook(Settings::positiveCount(Setting::NewMovieRepeatLoopCount))
                    : PlayQueueState::Outlook();
    };
    sources.logPath = logFilePath();
    sources.sourceFolderNote = [folder = std::weak_ptr<SourceFolder>(sourceFolder_)] {
        const std::shared_ptr<SourceFolder> self = folder.lock();
        return self ? self->strayVideosNote() : QString();
    };
    sources.localCopies = [weak] {
        const std::shared_ptr<AppDelegate> self = weak.lock();
        const std::shared_ptr<LocalCopies> copies = self ? self->localCopies() : nullptr;
        return copies ? copies->stats() : LocalCopies::Stats{};
    };
    status_->start(std::move(sources));
}
