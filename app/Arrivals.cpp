#include "app/Arrivals.h"

Arrivals::Result Arrivals::filter(const QStringList& paths, Clock::time_point now,
                                  const std::function<std::optional<MediaFiles::Stamp>(const QString&)>& stampOf,
                                  const std::function<MediaFiles::Completeness(const QString&)>& completenessOf) {
    std::lock_guard<std::mutex> lock(mutex_);
    Result result;
    for (const QString& path : paths) {
        const std::optional<MediaFiles::Stamp> stamp = stampOf(path);
        if (!stamp || !stamp->exists) continue;
        Entry entry = entries_.value(path);
        if (!entries_.contains(path) || entry.first.stamp != *stamp) {
            // A new file, or one that changed since: its quiet time starts again.
            entry = Entry{Look{*stamp, now}, std::nullopt, entry.reported, now};
        }
        bool ready = now - entry.first.at >= kQuietTime;
        if (ready && MediaFiles::isIsoMediaName(path)) {
            if (!entry.complete) entry.complete = completenessOf(path) != MediaFiles::Completeness::Incomplete;
            ready = *entry.complete;
        }
        if (ready) {
            result.complete += path;
        } else if (!entry.reported) {
            result.incomplete += path;
            entry.reported = true;
        }
        entry.lastSeen = now;
        entries_.insert(path, entry);
    }
    for (auto it = entries_.begin(); it != entries_.end();) {
        it = now - it->lastSeen >= kForgetAfter ? entries_.erase(it) : std::next(it);
    }
    return result;
}
