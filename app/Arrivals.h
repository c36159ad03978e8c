#pragma once

#include "app/MediaFiles.h"

#include <QHash>
#include <QString>
#include <QStringList>

#include <chrono>
#include <functional>
#include <mutex>
#include <optional>

// Tells the files that have fully arrived from those still being copied in. A file counts once
// two looks at least two seconds apart saw the same size and modification time and, for an ISO
// base media file (MP4, MOV), its boxes are whole (see MediaFiles::isoMediaCompleteness).
// Safe from any thread.
class Arrivals {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::seconds kQuietTime{2};

    struct Look {
        MediaFiles::Stamp stamp;
        Clock::time_point at;
    };
    struct Result {
        QStringList complete;    // in the order given
        QStringList incomplete;  // left out this time, first seen so (for the log, once each)
    };

    // stampOf and completenessOf answer for one path; a stamp of none means the file system did
    // not answer, and the file is left out for now.
    Result filter(const QStringList& paths, Clock::time_point now,
                  const std::function<std::optional<MediaFiles::Stamp>(const QString&)>& stampOf,
                  const std::function<MediaFiles::Completeness(const QString&)>& completenessOf);

private:
    struct Entry {
        Look first;  // the earliest look that saw the present stamp
        std::optional<bool> complete;  // the box check's answer for that stamp
        bool reported = false;
        Clock::time_point lastSeen;
    };
    // A file not listed for this long is forgotten: the memory stays bounded over months.
    static constexpr std::chrono::minutes kForgetAfter{10};
    std::mutex mutex_;
    QHash<QString, Entry> entries_;
};
