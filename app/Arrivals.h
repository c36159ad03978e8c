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

// Tells the files that have fully arrived from those still being copied in. A file counts once
// two looks at least two seconds apart saw the same size and modification time and, for an ISO
// base media file (MP4, MOV), its boxes are whole (see MediaFiles::isoMediaCompleteness).
// It remembers which files have counted complete, so that a file being rewritten (touched,
// copied again) keeps its rank as the newest. Safe from any thread.
class Arrivals {
public:
    using Clock = std::chrono::steady_clock;
    using WallClock = std::chrono::system_clock;
    static constexpr std::chrono::seconds kQuietTime{2};
    // A file that stays the same this long and still is not complete is not on its way any more.
    static constexpr std::chrono::seconds kSettledAfter{60};
    // An MP4/MOV file last written at least this long before the first look at it, with whole
    // boxes, counts complete at that first look: a player started on a folder of old files
    // shows the first at once. Other containers, and files that change, wait for the two looks.
    static constexpr std::chrono::seconds kOldEnough{10};

    struct Look {
        MediaFiles::Stamp stamp;
        Clock::time_point at;
    };
    struct Unfinished {
        QString path;
        qint64 size = 0;
    };
    struct Result {
        QStringList complete;  // in the order given
        // Not complete, each named once (for the log): still changing, or unchanged for a minute.
        QStringList arriving;
        QList<Unfinished> unfinished;
        // The first path given that is complete now or has counted complete before; or, while it
        // is being rewritten and not listed, the path given as the last one taken for new.
        QString newestEverComplete;
        // A file listed is not complete and changed since the look before (or was first seen now).
        bool stillChanging = false;
    };

    // stampOf and completenessOf answer for one path; a stamp of none means the file system did
    // not answer, and the file is left out for now. `lastTaken` is the file the caller last took
    // for new: the newest-files script leaves out a file while it is being written.
    Result filter(const QStringList& paths, const QString& lastTaken, Clock::time_point now,
                  WallClock::time_point wallNow,
                  const std::function<std::optional<MediaFiles::Stamp>(const QString&)>& stampOf,
                  const std::function<MediaFiles::Completeness(const QString&)>& completenessOf);

private:
    struct Entry {
        Look first;  // the earliest look that saw the present stamp
        bool oldAtFirstLook = false;  // the first look ever saw a time over a minute ago
        std::optional<bool> complete;  // the box check's answer for the present stamp
        std::optional<MediaFiles::Stamp> completeStamp;  // the stamp it last counted complete with
        bool reportedArriving = false;
        bool reportedUnfinished = false;
        Clock::time_point lastSeen;
        // The first look ever saw a time at least kOldEnough ago: an MP4/MOV whose boxes are
        // whole counts at once, without a second look.
        bool oldEnoughAtFirstLook = false;
    };
    // Takes one look; true when the file is complete now.
    bool lookLocked(const QString& path, const MediaFiles::Stamp& stamp, Clock::time_point now,
                    WallClock::time_point wallNow,
                    const std::function<MediaFiles::Completeness(const QString&)>& completenessOf);

    // A file not listed for this long is forgotten: the memory stays bounded over months.
    static constexpr std::chrono::minutes kForgetAfter{10};
    std::mutex mutex_;
    QHash<QString, Entry> entries_;
};
