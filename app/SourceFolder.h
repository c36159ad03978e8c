#pragma once

#include "app/Arrivals.h"
#include "app/ArrivalsWatch.h"
#include "app/AtomicProperty.h"
#include "app/Notice.h"
#include "app/OddNames.h"
#include "app/PlayQueueState.h"
#include "app/SourceFolderMonitor.h"

#include <QHash>
#include <QSet>
#include <QString>
#include <QStringList>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>

class DispatchQueue;
class LocalCopies;

// The one owner of the source folder: its path (read once per decision), the file system it lives
// on and its state (the monitor), today's folder, the listing (the newest-files script, the
// arrival rule, odd names, the listing kept for local copies), the look every 2 s and the looks at
// files arriving between decisions, and the rule that says when a file has gone. The play queue,
// the controller, the status service and the operator's commands ask it. Every look at the share
// goes through ShareAccess, never on the main thread.
class SourceFolder : public std::enable_shared_from_this<SourceFolder> {
public:
    // The source folder as one decision sees it: the setting read once.
    struct Snapshot {
        QString setting;  // as stored; null when none is set
        QString folder;   // standardised; empty when none is set
        QString daily;    // today's folder under it (not standardised as a whole)
        bool isSet() const { return !setting.trimmed().isEmpty(); }
    };
    struct Hooks {
        // Told after every change of the light.
        std::function<void()> lightChanged;
        // The last new item the play queue took (the one file that cannot be new again).
        std::function<QString()> lastNewItem;
        // The item the controller last called the most recent (for its one log line).
        std::function<QString()> mostRecentItem;
        // Names the owner in the scan's log lines.
        QString ownerDescription;
    };
    static std::shared_ptr<SourceFolder> create(Hooks hooks);
    ~SourceFolder();

    static Snapshot snapshot();
    // The source folder setting as stored (null when none): the one place it is read.
    static QString storedPath();
    // The source folder, standardised; empty when none is set.
    static QString folderPath();
    SourceFolderMonitor& monitor() const { return *monitor_; }
    const std::shared_ptr<SourceFolderMonitor>& monitorShared() const { return monitor_; }
    // The local copies the listing keeps its answers for, and plays from while the folder is away.
    void setLocalCopies(std::shared_ptr<LocalCopies> copies) { copies_.set(std::move(copies)); }

    // Today's folder; made when it is missing, only inside a source folder that is there on its
    // own file system. True when it is a directory afterwards. Never on the main thread.
    bool validateDailyFolder(const Snapshot& at);
    // The script's list of today's folder as absolute paths, newest first; empty for none. Never
    // on the main thread.
    // How the script's call and answer are logged: not at all (the 2 s look lists quietly), every
    // time, or folded like any line said again and again (the start-up poll of an empty folder).
    enum class ListingLog { Quiet, Full, Folded };
    QStringList scanFolderForNewItems(const Snapshot& at, ListingLog logging = ListingLog::Full);
    // What the play queue works from: the newest complete files of today's folder (or, while it
    // has none, of the newest earlier day of the last week; or, while the folder is away, the
    // kept listing's files that have a local copy), with the newest that has ever counted.
    // Never on the main thread.
    PlayQueueState::Found newestCompleteListing(ListingLog logging = ListingLog::Full);

    // While today's folder has nothing to play: what lies elsewhere in the source folder that the
    // player does not play (videos directly in it), for the operator; empty otherwise. Any thread.
    QString strayVideosNote() const;

    // A file counts as gone once the folder, answering on its own file system, has not had it
    // at two looks at least kGoneAfter apart: a share that blinks, or today's folder renamed
    // away for a moment, takes nothing off the repeat list. `stamps`: what the looks saw now.
    struct Looked {
        QHash<QString, MediaFiles::Stamp> stamps;  // less the files missing that have not gone yet
        QSet<QString> missing;                     // those: passed over, in their places
    };
    Looked confirmGone(QHash<QString, MediaFiles::Stamp> stamps, std::chrono::steady_clock::time_point now);
    static constexpr std::chrono::seconds kGoneAfter{5};
    static constexpr std::chrono::minutes kForgetMissingAfter{10};

    // Starts the look every 2 s (launch); it runs until the queues shut down.
    void startWatching();
    // Whether the folder at `path` is a directory, asked off the main thread; `then` is called on
    // the main thread with the answer (false when the file system did not answer in time).
    static void askIsDirectory(const QString& path, std::function<void(bool)> then);

private:
    explicit SourceFolder(Hooks hooks);
    void watch();
    QStringList listNewestFilesIn(const QString& dailyFolder, ListingLog logging = ListingLog::Full);
    PlayQueueState::Found completeFilesOf(const QStringList& paths);
    Arrivals::Result lookAtArrivals(const QStringList& paths);
    void lookAtArrivingFilesSoon();
    void lookAtArrivingFiles();
    void nameOddFilesIn(const QString& folder);
    PlayQueueState::Found newestFilesOfAnEarlierDay(const Snapshot& at, ListingLog logging);

    const Hooks hooks_;
    std::shared_ptr<SourceFolderMonitor> monitor_;
    AtomicProperty<std::shared_ptr<LocalCopies>> copies_;
    Arrivals arrivals_;
    // The looks at files arriving between decisions, and what they remember (on that queue only).
    const std::shared_ptr<DispatchQueue> arrivalsLooks_;
    std::atomic<bool> arrivalsLookDue_{false};
    ArrivalsWatch arrivalsWatch_;
    OddNames oddNames_;
    Notice noSourceFolderNotice_{std::chrono::minutes(1)};
    Notice earlierDayNotice_;
    Notice strayVideosNotice_;
    mutable std::mutex strayVideosMutex_;
    QString strayVideosNote_;
    // Says once, and keeps for the status, which videos lie directly in the source folder while
    // today's folder has none to play; forgets it once today's folder has one.
    void noteStrayVideos(const Snapshot& at, bool todayHasNone);
    // When each file was first missing at a look, until it is gone or seen again.
    std::mutex missingMutex_;
    QHash<QString, std::chrono::steady_clock::time_point> missingSince_;
};
