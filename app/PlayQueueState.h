#pragma once

#include "app/MediaFiles.h"

#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>

#include <chrono>
#include <functional>
#include <mutex>
#include <optional>

// What the play queue knows between two item ends: the repeat list (newest first), how often
// the current new file has played, the last new file, the files set aside after a failed play,
// and the files opened by hand still to play. It reads no settings and
// touches no file: the caller passes in the settings and what it saw of the files. Every member
// is safe from any thread; each call reads or changes the state as a whole.
class PlayQueueState {
public:
    using Clock = std::chrono::steady_clock;
    // A file set aside is tried again when it changes, or after this long.
    static constexpr std::chrono::minutes kRetrySetAsideAfter{10};

    enum class EndKind {
        Played,   // played to its end
        Failed,   // could not be played
        Recheck,  // no end: a look again while nothing could be played
        NotOpened,  // the file chosen ahead could not be opened: decided again, no play counted
    };

    // What a scan found: the complete files, newest first, and the newest file that is complete
    // now or has counted complete before. Only that file can be new: while it is being rewritten
    // (touched, copied again) nothing is. A bare list stands for files that all stayed complete.
    struct Found {
        QStringList complete;
        QString newestEverComplete;
        Found() = default;
        Found(const QStringList& files) : complete(files), newestEverComplete(files.value(0)) {}
        Found(const QStringList& files, const QString& newestEver) : complete(files), newestEverComplete(newestEver) {}
        bool isEmpty() const { return complete.isEmpty() && newestEverComplete.isEmpty(); }
    };

    // What plays after an item ended, and what changed on the way.
    struct Decision {
        bool newItem = false;        // the scan's newest file is new: the repeat list is the scan's list
        bool rotated = false;        // the new file has had its plays: the repeat list moved on
        QStringList repeatList;      // the repeat list after the decision
        QString next;                // the path to play next; null: nothing to load
        bool nothingPlayable = false;  // every file of the list is set aside
        QStringList setAside;        // set aside now
        QStringList takenBack;       // taken back now (changed, or their time was up)
        QStringList vanished;        // gone from the disk: left the repeat list
    };

    // An item ended (or a look again is due): counts a play, sets a failed file aside, takes back
    // files that changed, drops files that are gone, and decides from what the scan found and the
    // plays a new file gets. `stamps` holds what a look at the files of the repeat list and at the
    // set-aside ones saw just now; a file missing from it was not looked at (the share did not
    // answer) and keeps its place.
    // `passOver` names files that cannot be played now (no local copy while the share is away):
    // they are passed over like files set aside, and keep their places.
    Decision itemEnded(const Found& found, qint64 newMovieRepeatLoopCount, const QString& endedPath,
                       EndKind kind, const QHash<QString, MediaFiles::Stamp>& stamps, Clock::time_point now,
                       const std::function<bool(const QString&)>& passOver = {});
    // The polling loop's first list: its newest file is the last new item.
    void startWith(const QStringList& list);
    // The same, unless a last new item is there already: false then, and nothing changes.
    bool startWithIfFirst(const QStringList& list);
    void reset();
    // Every path whose stamp a decision wants: the repeat list and the set-aside files.
    QStringList pathsToLookAt() const;

    // Files opened by hand play once each, in the order given, before the daily cycle goes on. The
    // first plays in a player of its own, made for them: the rest follow only the items of that
    // player, so that a decision for the player they replace never takes one of them. Each opening
    // is a session of its own; a later one replaces an earlier one.
    std::uint64_t startFilesOpenedByHand(const QStringList& paths);
    // The player made for the session's first file. False, and nothing bound, when a later
    // opening has replaced the session.
    bool bindFilesOpenedByHand(std::uint64_t session, const void* player);
    // A player not made for them replaces their player: they play no more.
    void dropFilesOpenedByHand();
    // What the player said when the file could not be played, shown with it while it is set aside.
    void noteFailure(const QString& path, const QString& why);
    // Their player hung and a new one takes over where it was: they follow the new one.
    void moveFilesOpenedByHand(const void* from, const void* to);
    struct HandTurn {
        enum class Kind {
            None,  // no files opened by hand follow the items of this player
            Next,  // `path` plays next
            Done,  // the last of them ended: the daily cycle goes on
        };
        Kind kind = Kind::None;
        QString path;
    };
    HandTurn takeFileOpenedByHand(const void* player);
    bool filesOpenedByHandPlaying() const;

    qint64 repeatcount() const;
    void setRepeatcount(qint64 count);
    QString pathToLastNewItem() const;
    void setPathToLastNewItem(const QString& path);
    QStringList repeatList() const;
    void setRepeatList(const QStringList& list);
    bool isSetAside(const QString& path) const;

    // What the queue expects, for those who watch it (the operator's page): what follows the
    // current item if no new file comes, the repeat list with the plays each entry has left in
    // this round, and the files set aside with when they are tried again. Changes nothing.
    struct Outlook {
        struct Entry {
            QString path;
            qint64 playsLeft = 0;
            bool setAside = false;
        };
        struct Aside {
            QString path;
            Clock::time_point retryAt;
            QString why;  // what the player said of its failure; empty: not known
        };
        QString next;  // null: nothing playable
        QList<Entry> repeatList;
        QList<Aside> setAside;
    };
    Outlook outlook(qint64 newMovieRepeatLoopCount) const;

    // Whether two paths name the same file for the queue: the same file name, in any letter case.
    static bool sameItem(const QString& a, const QString& b);

private:
    struct SetAside {
        std::optional<MediaFiles::Stamp> stamp;
        Clock::time_point since;
    };
    bool setAsideLocked(const QString& path) const;
    void rotateLocked();

    mutable std::mutex mutex_;
    QStringList repeatList_;
    qint64 repeatcount_ = 0;
    QString pathToLastNewItem_;
    // The last new file failed before it had its plays: it gets them when it is taken back.
    bool newItemOwed_ = false;
    QHash<QString, SetAside> setAside_;
    QHash<QString, QString> failureWhy_;  // of the files set aside, and of the one failing now
    QStringList handFiles_;
    bool handFilesPlaying_ = false;
    const void* handFilesPlayer_ = nullptr;
    std::uint64_t handSession_ = 0;
};
