#pragma once

#include "app/MediaFiles.h"
#include "app/Notice.h"
#include "app/PlayQueueState.h"

#include <QDateTime>
#include <QHash>
#include <QSet>
#include <QString>
#include <QStringList>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

// Verified local copies of the files the play queue may play next, so that the wall plays on
// while the share hangs or is gone. A copier thread of its own copies the wanted files, newest
// first, at idle I/O priority and a bounded rate: each to a temporary name, synced, checked
// (size and modification time equal to the source's, whole boxes for MP4/MOV), then renamed into
// place, with a checksum of its bytes (XXH3) taken as they were written. A scrub thread reads the
// copies again, one at a time and slowly, and drops a copy whose bytes no longer match; so is a
// copy read whole before it plays while the share does not answer. The folder holds at most the
// limit, and never fills its file system below 1 GiB free: the copies least recently played go
// first, a copy of the repeat list only when nothing else is left. Beside the copies it keeps the last listing of the source folder that answered, for
// the queue to decide from while the share does not answer, also after a restart.
//
// Copies are named by a hash of their source path; nothing else in the folder is touched. Safe
// from any thread; only the copier touches the share, and no call blocks on it.
class LocalCopies {
public:
    using WallClock = std::chrono::system_clock;

    static constexpr qint64 kGiB = 1024LL * 1024 * 1024;
    static constexpr qint64 kDefaultMaxBytes = 4 * kGiB;
    static constexpr qint64 kKeepFreeBytes = kGiB;
    static constexpr qint64 kDefaultBytesPerSecond = 64LL * 1024 * 1024;
    // The scrub reads one copy at a time, at most this fast, each copy again after kScrubEvery.
    static constexpr qint64 kScrubBytesPerSecond = 32LL * 1024 * 1024;
    static constexpr std::chrono::milliseconds kScrubEvery{std::chrono::hours(6)};

    struct Config {
        QString folder;                   // empty: no local copies
        std::optional<qint64> maxBytes;   // none: 4 GiB or 10 % of the free space, whichever is smaller
        qint64 bytesPerSecond = 0;        // 0: as fast as the disks go
        qint64 scrubBytesPerSecond = kScrubBytesPerSecond;
        std::chrono::milliseconds scrubEvery = kScrubEvery;
    };
    // What the settings say (the folder, the limit, the rate); a limit of 0 turns copies off.
    static Config configFromSettings();
    static QString defaultFolder();

    struct Stats {
        bool enabled = false;
        qint64 count = 0;
        qint64 bytes = 0;  // the copies, their index and the kept listing
        qint64 limitBytes = 0;
        qint64 freeBytes = -1;  // free on the copies' file system; -1: not known
        quint64 made = 0;
        quint64 failed = 0;
        quint64 dropped = 0;  // damaged, or out of date with their source
        quint64 scrubbed = 0;  // copies the scrub read whole and found as they were made
        bool playingFromCopies = false;  // the queue decides from the kept listing: the share does not answer
        QDateTime listingAnsweredAt;     // invalid: no listing answered yet
    };

    // Takes in what the folder holds (a copy whose file is gone or of the wrong size is forgotten,
    // and a temporary left by a copy cut short is removed) and starts the copier.
    static std::shared_ptr<LocalCopies> create(Config config);
    ~LocalCopies();
    // The copier ends after the read under way; a copy it cut short is removed.
    void stop();
    LocalCopies(const LocalCopies&) = delete;
    LocalCopies& operator=(const LocalCopies&) = delete;

    bool enabled() const { return enabled_; }
    const Config& config() const { return config_; }

    // The files the queue may play next, newest first: the copier works on them in this order.
    // `keep` (the repeat list) is evicted only when nothing else is left. Replaces earlier wishes.
    void want(const QStringList& paths, const QStringList& keep);

    // The source folder answered with this listing: it is kept (on disk too) for an outage.
    void listingAnswered(const PlayQueueState::Found& found);
    // The last listing that answered, while any of its files has a copy; each file passed over
    // for want of a copy is named once in the log. Empty when copies are off, none was kept, or
    // none of its files has a copy.
    PlayQueueState::Found keptListing();
    // Whether the queue decides from the kept listing now; a change is one log line.
    void setPlayingFromCopies(bool fromCopies);

    // The copy to open for a source file, checked now (size, time, whole boxes, and its bytes
    // against its checksum: always while playing from the copies, else when the copy was written
    // to since they were last read): none when there is no copy, or it is damaged (it is dropped,
    // never played), or `sourceNow` (what a look at the source saw just now, when the share
    // answered) tells that the source changed since (dropped, made again). Counts as played for
    // the order of eviction.
    std::optional<QString> copyToPlay(const QString& sourcePath,
                                      const std::optional<MediaFiles::Stamp>& sourceNow = std::nullopt);
    // Drops the copies whose source, as a look at it just saw it, is no longer what was copied.
    void dropOutdated(const QHash<QString, MediaFiles::Stamp>& sources);
    // Whether a copy of the file is there (no check of its content).
    bool hasCopy(const QString& sourcePath) const;
    // Whether its copy passes the check before a play (a damaged one is dropped); its bytes are
    // read only when it was written to since they were last read.
    bool hasPlayableCopy(const QString& sourcePath);
    // A copy that the player could not play is dropped: its source may play, and it is made again.
    void dropFailedCopy(const QString& sourcePath);
    // The path a copy of the source file has in the folder.
    QString copyPathFor(const QString& sourcePath) const;

    Stats stats() const;
    // Returns once the copier has nothing left to do, or after `timeout`; false then. For tests
    // and the benchmark.
    bool waitUntilIdle(std::chrono::milliseconds timeout) const;

    // Copies one file as the copier does (temporary name, sync, check, rename), at most `rate`
    // bytes a second (0: no bound); the copy gets the source's modification time, and the
    // checksum of the bytes written. For the copier and the benchmark.
    struct Copied {
        QString why;  // empty: it worked
        quint64 checksum = 0;
    };
    static Copied copyFile(const QString& from, const QString& to, const MediaFiles::Stamp& expected,
                           qint64 bytesPerSecond, const std::function<bool()>& stop = {});
    // The checksum of the file's bytes, read at most `bytesPerSecond` (0: no bound); none when it
    // cannot be read whole, or `stop` says so.
    static std::optional<quint64> checksumOf(const QString& path, qint64 bytesPerSecond,
                                             const std::function<bool()>& stop = {});
    // Idle I/O class and a low CPU priority for the calling thread, as the copier has.
    static void lowerCopierPriority();

private:
    struct Entry {
        QString name;  // the copy's file name in the folder
        qint64 size = 0;
        qint64 modifiedNs = 0;  // the source's, which the copy also has
        bool boxesWhole = false;  // an MP4/MOV whose boxes were whole when it was copied
        qint64 lastPlayed = 0;    // seconds since the epoch; 0: never played
        // XXH3 of its bytes as they were written; none: named by an older index, and taken by
        // the first whole read that finds the copy otherwise sound.
        std::optional<quint64> checksum;
        // The copy's change time when its bytes were last read and matched: a write since (which
        // moves it) sends the copy through a whole read before it plays. -1: never.
        qint64 checkedChangeNs = -1;
        // In memory only: which making of the copy this is, and when the scrub last read it.
        quint64 serial = 0;
        std::chrono::steady_clock::time_point scrubbedAt{};
    };
    // How far a check goes beyond the size, time and boxes: the bytes too when the copy was
    // written to since they were last read, or the bytes always.
    enum class Depth { WholeIfWritten, Whole };
    struct Checked {
        QString damage;  // empty: it passed
        bool readWhole = false;
        quint64 checksum = 0;   // when read whole
        qint64 changeNs = -1;   // the copy's change time at the check
    };
    explicit LocalCopies(Config config);
    void load();
    static QByteArray readFile(const QString& path);
    void copierLoop();
    std::optional<QString> nextToCopyLocked() const;
    // One wanted file, copied into place; a failure is said once and tried again later.
    void copyOne(const QString& source);
    // Evicts copies until one of `bytes` fits; false when it cannot. A null `forSource`: only
    // until the copies are within the limit.
    bool makeRoomLocked(qint64 bytes, const QString& forSource);
    qint64 limitLocked() const;
    qint64 bytesLocked() const;
    void dropLocked(const QString& source, const QString& why);
    void saveIndexLocked() const;
    void saveListingLocked() const;
    QString folderPath(const QString& name) const;
    bool makeFolderLocked() const;
    // What is wrong with the copy on disk, looked at as deep as asked. Reads at most
    // `bytesPerSecond` (0: no bound).
    Checked check(const Entry& entry, Depth depth, qint64 bytesPerSecond = 0) const;
    // Drops the copy when it is damaged, and notes a whole read that matched; true when it passed.
    bool checkCopy(const QString& sourcePath, const Entry& entry, Depth depth, bool byScrub = false);
    void scrubLoop();
    // The copy the scrub reads next: one never read whole first, then the one read longest ago,
    // once its time has come; none till then.
    std::optional<std::pair<QString, Entry>> nextToScrubLocked(std::chrono::steady_clock::time_point now) const;

    const Config config_;
    const bool enabled_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;       // wishes, plays and stop: the copier wakes
    mutable std::condition_variable idle_;  // the copier has nothing left to do
    bool stopping_ = false;
    mutable bool indexDirty_ = false;
    // What the index and the kept listing take on disk.
    mutable qint64 indexBytes_ = 0;
    mutable qint64 listingBytes_ = 0;
    mutable qint64 metadataBytes_ = 0;
    QHash<QString, Entry> entries_;  // by source path
    QStringList wanted_;
    QStringList keep_;
    bool busy_ = false;
    // A copy that failed, or found no room, is not tried again for a while.
    QHash<QString, std::chrono::steady_clock::time_point> failedAt_;
    QSet<QString> notThere_;  // wanted, but not found at the copier's look
    PlayQueueState::Found listing_;
    QDateTime listingAnsweredAt_;
    QDateTime listingSavedAt_;
    QStringList passedOverSaid_;
    bool playingFromCopies_ = false;
    quint64 made_ = 0;
    quint64 failed_ = 0;
    quint64 dropped_ = 0;
    quint64 scrubbed_ = 0;
    quint64 serials_ = 0;
    Notice roomNotice_;
    Notice folderNotice_{std::chrono::minutes(10)};
};
