#pragma once

#include "app/Arrivals.h"
#include "app/AtomicProperty.h"
#include "app/Notice.h"
#include "app/PlayQueueState.h"
#include "app/StatusReport.h"
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

class MainWindow;
class MyProgressWindowController;
class Player;
class PlayerItem;
class PlayerView;
class PreferencesWindow;
struct Notification;
class QObject;

// Opens the folder at the path (a leading "~" expanded) in the file manager, or beeps.
void revealItemInFinder(const QString& path);

// The application controller: owns the player's state, receives the launch and termination
// calls and carries the operator's commands. One exists, made with the main interface; it is
// shared, so that the jobs it queues can hold it while they run, and a job queued by a
// controller that is gone does nothing.
//
// Threads: launch, termination, the operator's commands (the ib... and do... members), the
// window and status image run on the main thread; the scan and the decisions of the play queue
// on the controller's serial decision queue (playagain() on its caller's thread, never the main
// thread); the accessors of the play-queue state, the
// atomic properties and setStatusImage() are safe from any thread. Debug builds check it.
class AppDelegate : public ApplicationDelegate, public std::enable_shared_from_this<AppDelegate> {
public:
    static std::shared_ptr<AppDelegate> create();
    ~AppDelegate() override;

    // Class initialisation, once, on the main thread, before the controller is made: refuses a
    // second instance, opens the log file and registers the factory defaults.
    static void initialize();
    // Returns only when no other instance runs; otherwise ends the process with status 0.
    static void checkForDuplicateRunningInstances();
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
    // Makes today's folder when it is missing; true when it is a directory afterwards. Notes
    // whether the source folder answered (the status light follows). Never on the main thread.
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
    void playerItemDidReachEnd(const Notification& notification);
    // An item nears its end: what follows is decided now and handed to the player, which opens it
    // ahead and shows it right after the last frame.
    void playerItemWillReachEnd(const Notification& notification);
    // Decides what plays after the item that ended: a new file, a repeat or the next entry.
    void playagain(const std::shared_ptr<PlayerItem>& item);
    // Plays the files the operator chose, each once in the order given, then the daily cycle goes on.
    void playFilesOpenedByHand(const QList<QUrl>& urls);
    void saveCurrentUrlsToPrefs(const QVariantList& list);
    QList<std::shared_ptr<PlayerItem>> getArrayOfLastAVPlayerItems() const;

    // The source folder's status light: an image, the name of one, or none, with a line for its
    // tooltip; from any thread, shown on the main thread.
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
    // What the status answers say now. Main thread.
    StatusReport::Snapshot statusSnapshot() const;
    // An item was handed to the player from its start / the scan found a new item. Any thread.
    void noteItemStarted(const QString& path);
    void noteNewItem(const QString& path);

    // The version text stored at every launch, from the bundle's information dictionary.
    static QString versionStringFromInfo(const QVariantMap& info);

    // Properties. Atomic ones may be used from any thread; the others on the main thread.
    QPointer<PreferencesWindow> fPreferencesWindow() const;
    void setFPreferencesWindow(PreferencesWindow* window);
    QPointer<PlayerView> playerview() const;
    void setPlayerview(PlayerView* view);
    std::shared_ptr<Player> player() const { return player_.get(); }
    // The player that was there is let go off the main thread (see Player::release).
    void setPlayer(std::shared_ptr<Player> player);
    QList<std::shared_ptr<PlayerItem>> avitems() const { return queue_.avitems(); }
    void setAvitems(const QList<std::shared_ptr<PlayerItem>>& items) { queue_.setAvitems(items); }
    QString pathToMostRecentItem() const { return pathToMostRecentItem_.get(); }
    void setPathToMostRecentItem(const QString& path) { pathToMostRecentItem_.set(path); }
    qint64 repeatcount() const { return queue_.repeatcount(); }
    void setRepeatcount(qint64 count) { queue_.setRepeatcount(count); }
    QString pathToLastNewItem() const { return queue_.pathToLastNewItem(); }
    void setPathToLastNewItem(const QString& path) { queue_.setPathToLastNewItem(path); }
    QStringList repeatList() const { return queue_.repeatList(); }
    void setRepeatList(const QStringList& list) { queue_.setRepeatList(list); }
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

    void playListOnMainThread(const QVariantList& list);
    // What follows an item: a file to play, the item once more, or a look again in a while.
    struct NextStep {
        enum class Kind { None, Play, Replay, LookAgain };
        Kind kind = Kind::None;
        QString path;  // Play: the file
    };
    // What follows an item's end, a failed play, or a look again while nothing could be played:
    // one scan, one decision of the queue and its log lines. Changes nothing on the player.
    NextStep decideNext(const std::shared_ptr<PlayerItem>& item, PlayQueueState::EndKind kind);
    // Carries the step out now, at the item's end.
    void takeStep(const std::shared_ptr<PlayerItem>& item, const NextStep& step);
    // On the decision queue: an item's end, its near end, a look again.
    void itemReachedEnd(const std::shared_ptr<PlayerItem>& item, PlayQueueState::EndKind kind);
    void decideAhead(const std::shared_ptr<PlayerItem>& item);
    void decideOnQueue(const std::shared_ptr<PlayerItem>& item, PlayQueueState::EndKind kind);
    // Looks again in a while, keeping the picture, when nothing could be played now.
    void scheduleLookAgain(const std::shared_ptr<PlayerItem>& item);
    void playNext(const std::shared_ptr<PlayerItem>& ended, const QString& path);
    // Logs the file chosen to play next; its URL.
    static QUrl announceNextItem(const QString& path);
    // Plays what ended once more, from its first frame.
    void replay(const std::shared_ptr<PlayerItem>& item);
    QStringList listNewestFilesIn(const QString& dailyFolder);
    PlayQueueState::Found completeFilesOf(const QStringList& paths);
    PlayQueueState::Found newestFilesOfAnEarlierDay();
    void noteSourceFolderReachable(bool reachable);
    void checkSourceFolderAtLaunch();
    void showProgress(const QString& message);
    void alertInvalidSourceFolder(const QString& informativeText, const QStringList& buttons, QObject* sender,
                                  std::function<void(long)> handler);
    bool validateSourceFolder();
    void setUpWindow();
    void startupPollingLoop();
    // Looks at the source folder every few seconds for as long as the program runs.
    void watchSourceFolder();
    static QString logFilePathWithSuffix(const char* suffix);

    AtomicProperty<QPointer<PreferencesWindow>> fPreferencesWindow_;
    AtomicProperty<QPointer<PlayerView>> playerview_;
    AtomicProperty<std::shared_ptr<Player>> player_;
    PlayQueueState queue_;
    AtomicProperty<QString> pathToMostRecentItem_;
    AtomicProperty<QPointer<MainWindow>> window_;  // weak: the runner owns the window
    QImage fStatusImage_;
    AtomicProperty<std::shared_ptr<MyProgressWindowController>> fMyProgressWindowController_;
    std::atomic<bool> fInsideTryingToMount_{false};

    Arrivals arrivals_;
    // Every decision of the play queue runs here, one after the other, in the order of the
    // player's announcements and ends; the members below are touched only on it.
    const std::shared_ptr<DispatchQueue> decisions_ = DispatchQueue::createSerial();
    std::weak_ptr<PlayerItem> decidedAhead_;  // what follows it was decided before its end
    bool lookAgainAtEnd_ = false;             // ... and nothing could be handed in then
    std::weak_ptr<PlayerItem> decidedAtEnd_;  // its end came before its near end was decided
    std::atomic<bool> lookAgainPending_{false};
    // Whether the last scan found the source folder; none before the first.
    std::mutex reachableMutex_;
    std::optional<bool> sourceReachable_;
    QDateTime sourceReachableSince_;
    QString fStatusDetail_;
    Notice noSourceFolderNotice_{std::chrono::minutes(1)};
    Notice earlierDayNotice_;
    Notice nothingPlayableNotice_;
    StatusReport status_;
};
