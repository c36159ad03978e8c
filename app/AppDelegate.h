#pragma once

#include "app/AtomicProperty.h"
#include "app/PlayQueue.h"
#include "app/SourceFolder.h"
#include "app/StatusService.h"
#include "platform/core/Queues.h"
#include "platform/ui/Application.h"
#include "platform/ui/PreferencesModel.h"
#include "platform/ui/Screens.h"

#include <QDateTime>
#include <QImage>
#include <QList>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <QVariantMap>

#include <atomic>
#include <functional>
#include <memory>
#include <optional>

class LocalCopies;
class MainWindow;
class MyProgressWindowController;
class Player;
class PlayerItem;
class PlayerView;
class PreferencesWindow;
class QObject;

// Opens the folder at the path (a leading "~" expanded) in the file manager, or beeps.
void revealItemInFinder(const QString& path);

// The application controller: receives the launch and termination calls, carries the operator's
// commands, and is the front over three services, each the one owner of its facts: the play
// queue (the player and what plays next), the source folder (its path, its file system and state,
// today's folder and the listing) and the status service (the status answers, the watchdog, the
// status server). One
// exists, made with the main interface; it is shared, so that the jobs it queues can hold it while
// they run, and a job queued by a controller that is gone does nothing.
//
// Threads: launch, termination, the operator's commands (the ib... and do... members), the
// window and status image run on the main thread; the scan runs on the play queue's decision
// queue (playagain() on its caller's thread, never the main thread); the accessors of the
// play-queue state, the atomic properties and setStatusImage() are safe from any thread. The
// thread checks say so.
class AppDelegate : public ApplicationDelegate, public std::enable_shared_from_this<AppDelegate> {
public:
    static std::shared_ptr<AppDelegate> create();
    ~AppDelegate() override;

    // Class initialisation, once, on the main thread, before the controller is made: refuses a
    // second instance, opens the log file and registers the factory defaults.
    static void initialize();
    // Returns only when no other instance runs; otherwise ends the process with status 0. An
    // instance whose main thread has ended does not run: this process takes its place.
    static void checkForDuplicateRunningInstances();
    // A WARN line when this process took the place of an instance whose main thread had ended.
    static void logTakeover();
    static void setupFactoryDefaults();
    // "~/Library/Logs/Vorn/<bundle name>.log", standardised.
    static QString logFilePath();
    // What the preferences window shows and edits: the settings, their bounds, today's folder.
    static PreferencesModel preferencesModel();

    void applicationDidFinishLaunching() override;
    void applicationWillTerminate() override;

    // "<AppDelegate: 0x...>"
    QString description() const;

    // Today's folder under the source folder (not standardised as a whole).
    QString getDailyFolderForSourceFolder() const;
    // Makes today's folder when it is missing; true when it is a directory afterwards. Tells the
    // source-folder monitor what it saw (the status light follows). Never on the main thread.
    bool validateDailyFolder();
    // The newest complete files of today's folder as absolute paths, newest first (or, while
    // today's folder has none, those of the newest earlier day of the last week); empty for none.
    // Never on the main thread: it waits for the script and the file system.
    QStringList scanFolderForNewItems();
    // What the play queue works from: the scan's files that have fully arrived or, while today's
    // folder has none, those of the newest earlier day of the last week. Never on the main thread.
    QStringList newestCompleteFiles();
    // The same, with the newest file that has counted complete (which alone can be new).
    PlayQueueState::Found newestCompleteListing();

    // The play queue. The screen to play on: the second when there are several.
    std::optional<Screen> useThisScreen() const;
    static std::optional<Screen> chooseScreen(const QList<Screen>& screens);
    // Plays the first of the files (file URLs or path strings) from now on; returns at once and
    // does the work on the main thread.
    void playArrayOfUrls(const QVariantList& list);
    // An item played to its end: what follows is decided (the players tell the play queue this
    // themselves; this is the same path for whoever else learns of an end).
    void playerItemDidReachEnd(const std::shared_ptr<PlayerItem>& item);
    // Decides what plays after the item that ended: a new file, a repeat or the next entry, and
    // returns once it is decided (on the play queue's decision queue, in turn with the players'
    // ends). Never on the main thread.
    void playagain(const std::shared_ptr<PlayerItem>& item);
    // Plays the files the operator chose, each once in the order given, then the daily cycle goes on.
    void playFilesOpenedByHand(const QList<QUrl>& urls);
    void saveCurrentUrlsToPrefs(const QVariantList& list);
    QList<std::shared_ptr<PlayerItem>> getArrayOfLastAVPlayerItems() const;

    // The source folder's status light: an image, the name of one, or none, with a line for its
    // tooltip; from any thread, shown on the main thread. The source-folder monitor sets it.
    void setStatusImage(const QVariant& imageOrName, const QString& detail = QString());
    // Looks for the source folder again (it may be mounted on the way), in the background.
    void ibTryToMountVolume(QObject* sender);
    // Presents the preferences window as a sheet of the main window.
    void ibOpenPreferences(QObject* sender);

    // The operator's commands.
    void ibClickedOnChangeSourceVideosFolder(QObject* sender);
    void doNSOpenPanelWithParameters(const QVariantMap& parameters);
    void doNSOpenPanelWithParameters_KORVAL_Obsolete(const QVariant& anything);
    void handleOpenFile(QObject* sender);
    void doRevealItem1(QObject* sender);
    void ibHandleShowHideMenuBar(QObject* sender);
    void ibCloseWindow(QObject* sender);
    void ibRevealLogFolder(QObject* sender);
    void ibEmailButton(QObject* sender);
    // "~/Library/Logs/Vorn/<bundle name>_old.log", standardised.
    static QString oldLogFilePath();

    // The status answers (--status, the watchdog, the status server): started once, on the main
    // thread, when the controller is connected to its windows.
    void startStatusServices();
    // The services behind the front.
    PlayQueue& playQueue() const { return *queue_; }
    SourceFolder& sourceFolder() const { return *sourceFolder_; }
    SourceFolderMonitor& sourceFolderMonitor() const { return sourceFolder_->monitor(); }
    StatusService& statusService() const { return *status_; }
    // The verified local copies of the source folder's files; made at launch (none before).
    std::shared_ptr<LocalCopies> localCopies() const { return localCopies_.get(); }

    // The version text stored at every launch, from the bundle's information dictionary.
    static QString versionStringFromInfo(const QVariantMap& info);

    // Properties. Atomic ones may be used from any thread; the others on the main thread.
    QPointer<PreferencesWindow> fPreferencesWindow() const;
    void setFPreferencesWindow(PreferencesWindow* window);
    QPointer<PlayerView> playerview() const;
    void setPlayerview(PlayerView* view);
    std::shared_ptr<Player> player() const { return queue_->player(); }
    // The player that was there is let go off the main thread (see Player::release).
    void setPlayer(std::shared_ptr<Player> player) { queue_->setPlayer(std::move(player)); }
    QList<std::shared_ptr<PlayerItem>> avitems() const { return avitems_.get(); }
    void setAvitems(const QList<std::shared_ptr<PlayerItem>>& items) { avitems_.set(items); }
    QString pathToMostRecentItem() const { return pathToMostRecentItem_.get(); }
    void setPathToMostRecentItem(const QString& path) { pathToMostRecentItem_.set(path); }
    qint64 repeatcount() const { return queue_->state().repeatcount(); }
    void setRepeatcount(qint64 count) { queue_->state().setRepeatcount(count); }
    QString pathToLastNewItem() const { return queue_->state().pathToLastNewItem(); }
    void setPathToLastNewItem(const QString& path) { queue_->state().setPathToLastNewItem(path); }
    QStringList repeatList() const { return queue_->state().repeatList(); }
    void setRepeatList(const QStringList& list) { queue_->state().setRepeatList(list); }
    QPointer<MainWindow> window() const;
    void setWindow(MainWindow* window);
    QImage fStatusImage() const { return fStatusImage_; }
    // Main thread only; the main window shows the image.
    void setFStatusImage(const QImage& image, const QString& detail = QString());
    // Read on background queues as well, so atomic.
    std::shared_ptr<MyProgressWindowController> fMyProgressWindowController() const {
        return fMyProgressWindowController_.get();
    }
    void setFMyProgressWindowController(std::shared_ptr<MyProgressWindowController> controller) {
        fMyProgressWindowController_.set(std::move(controller));
    }
    // Written on the main thread and on the mount attempt's queue, so atomic.
    bool fInsideTryingToMount() const { return fInsideTryingToMount_.load(); }
    void setFInsideTryingToMount(bool flag) { fInsideTryingToMount_.store(flag); }

private:
    AppDelegate();
    // Work for a queue that runs only while the controller exists, and holds it while it runs.
    template <typename F>
    DispatchQueue::Work whileAlive(F work) {
        return [weak = weak_from_this(), work = std::move(work)]() mutable {
            if (const std::shared_ptr<AppDelegate> self = weak.lock()) work();
        };
    }

    void makeServices();
    // playArrayOfUrls(); `handSession`: the files are the ones the operator opened then (0: not).
    void playArrayOfUrls(const QVariantList& list, std::uint64_t handSession);
    void playListOnMainThread(const QVariantList& list, std::uint64_t handSession);
    // Shows what the source-folder monitor says on the light, on the main thread.
    void showSourceFolderLight();
    void checkSourceFolderAtLaunch();
    void showProgress(const QString& message);
    void alertInvalidSourceFolder(const QString& informativeText, const QStringList& buttons, QObject* sender,
                                  std::function<void(long)> handler);
    bool validateSourceFolder();
    void setUpWindow();
    void startupPollingLoop();
    // The play queue has taken a new item of the daily cycle (says so in the log once it has).
    bool cycleStarted() const;
    QStringList playableNow(const QStringList& list) const;
    static QString logFilePathWithSuffix(const char* suffix);

    AtomicProperty<QPointer<PreferencesWindow>> fPreferencesWindow_;
    AtomicProperty<QPointer<PlayerView>> playerview_;
    AtomicProperty<QList<std::shared_ptr<PlayerItem>>> avitems_;
    AtomicProperty<QString> pathToMostRecentItem_;
    AtomicProperty<QPointer<MainWindow>> window_;  // weak: the runner owns the window
    QImage fStatusImage_;
    QString fStatusDetail_;
    AtomicProperty<std::shared_ptr<MyProgressWindowController>> fMyProgressWindowController_;
    std::atomic<bool> fInsideTryingToMount_{false};

    // The services; made with the controller, never replaced.
    std::shared_ptr<SourceFolder> sourceFolder_;
    std::shared_ptr<StatusService> status_;
    std::shared_ptr<PlayQueue> queue_;
    AtomicProperty<std::shared_ptr<LocalCopies>> localCopies_;
};
