#pragma once

#include "app/AtomicProperty.h"
#include "platform/ui/Application.h"
#include "platform/ui/Screens.h"

#include <QImage>
#include <QList>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QVariantMap>

#include <atomic>
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
// calls and carries the operator's commands. Exactly one exists, made with the main interface.
class AppDelegate : public ApplicationDelegate {
public:
    AppDelegate();
    ~AppDelegate() override;

    // Class initialisation, once, on the main thread, before the controller is made: refuses a
    // second instance, opens the log file and registers the factory defaults.
    static void initialize();
    // Returns only when no other instance runs; otherwise ends the process with status 0.
    static void checkForDuplicateRunningInstances();
    static void setupFactoryDefaults();
    // "~/Library/Logs/Vorn/<bundle name>.log", standardised.
    static QString logFilePath();

    void applicationDidFinishLaunching() override;
    void applicationWillTerminate() override;

    // "<AppDelegate: 0x...>"
    QString description() const;

    // Today's folder under the source folder (not standardised as a whole).
    QString getDailyFolderForSourceFolder() const;
    // Makes today's folder when it is missing; true when it is a directory afterwards.
    bool validateDailyFolder() const;
    // The newest files of today's folder as absolute paths, newest first; empty for none.
    QStringList scanFolderForNewItems() const;

    // The play queue. The screen to play on: the second when there are several.
    std::optional<Screen> useThisScreen() const;
    static std::optional<Screen> chooseScreen(const QList<Screen>& screens);
    // Plays the first of the files (file URLs or path strings) from now on; returns at once and
    // does the work on the main thread.
    void playArrayOfUrls(const QVariantList& list);
    void playerItemDidReachEnd(const Notification& notification);
    // Decides what plays after the item that ended: a new file, a repeat or the next entry.
    void playagain(const std::shared_ptr<PlayerItem>& item);
    void saveCurrentUrlsToPrefs(const QVariantList& list);
    QList<std::shared_ptr<PlayerItem>> getArrayOfLastAVPlayerItems() const;

    // The source folder's status light: an image, the name of one, or none; from any thread,
    // shown on the main thread.
    void setStatusImage(const QVariant& imageOrName);
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

    // The version text stored at every launch, from the bundle's information dictionary.
    static QString versionStringFromInfo(const QVariantMap& info);

    // Properties. Atomic ones may be used from any thread; the others on the main thread.
    QPointer<PreferencesWindow> fPreferencesWindow() const;
    void setFPreferencesWindow(PreferencesWindow* window);
    QPointer<PlayerView> playerview() const;
    void setPlayerview(PlayerView* view);
    std::shared_ptr<Player> player() const { return player_.get(); }
    void setPlayer(std::shared_ptr<Player> player) { player_.set(std::move(player)); }
    QList<std::shared_ptr<PlayerItem>> avitems() const { return avitems_.get(); }
    void setAvitems(QList<std::shared_ptr<PlayerItem>> items) { avitems_.set(std::move(items)); }
    QString pathToMostRecentItem() const { return pathToMostRecentItem_.get(); }
    void setPathToMostRecentItem(const QString& path) { pathToMostRecentItem_.set(path); }
    qint64 repeatcount() const { return repeatcount_.load(); }
    void setRepeatcount(qint64 count) { repeatcount_.store(count); }
    QString pathToLastNewItem() const { return pathToLastNewItem_.get(); }
    void setPathToLastNewItem(const QString& path) { pathToLastNewItem_.set(path); }
    QStringList repeatList() const { return repeatList_.get(); }
    void setRepeatList(const QStringList& list) { repeatList_.set(list); }
    QPointer<MainWindow> window() const;
    void setWindow(MainWindow* window);
    QImage fStatusImage() const { return fStatusImage_; }
    // Main thread only; the main window shows the image.
    void setFStatusImage(const QImage& image);
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
    void playListOnMainThread(const QVariantList& list);
    void showLaunchProgress();
    void checkSourceFolderAtLaunch();
    void showProgress(const QString& message);
    bool validateSourceFolder();
    void setUpWindow();
    void startupPollingLoop();

    AtomicProperty<QPointer<PreferencesWindow>> fPreferencesWindow_;
    AtomicProperty<QPointer<PlayerView>> playerview_;
    AtomicProperty<std::shared_ptr<Player>> player_;
    AtomicProperty<QList<std::shared_ptr<PlayerItem>>> avitems_;
    AtomicProperty<QString> pathToMostRecentItem_;
    std::atomic<qint64> repeatcount_{0};
    AtomicProperty<QString> pathToLastNewItem_;
    AtomicProperty<QStringList> repeatList_;
    AtomicProperty<QPointer<MainWindow>> window_;  // weak: the runner owns the window
    QImage fStatusImage_;
    AtomicProperty<std::shared_ptr<MyProgressWindowController>> fMyProgressWindowController_;
    std::atomic<bool> fInsideTryingToMount_{false};
};
