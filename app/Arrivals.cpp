#include "app/Arrivals.h"

bool Arrivals::lookLocked(const QString& path, const MediaFiles::Stamp& stamp, Clock::time_point now,
                          WallClock::time_point wallNow,
                          const std::function<MediaFiles::Completeness(const QString&)>& completenessOf) {
    auto it = entries_.find(path);
    if (it == entries_.end()) {
        const qint64 wallNs =
            std::chrono::duration_cast<std::chrono::nanoseconds>((wallNow - kSettledAfter).time_since_epoch()).count();
        const qint64 oldEnoughNs =
            std::chrono::duration_cast<std::chrono::nanoseconds>((wallNow - kOldEnough).time_since_epoch()).count();
        it = entries_.insert(path, Entry{Look{stamp, now}, stamp.modifiedNs < wallNs, {}, {}, false, false, now,
                                         stamp.modifiedNs <= oldEnoughNs});
    } else if (it->first.stamp != stamp) {
        // It changed since: its quiet time starts again.
        it->first = Look{stamp, now};
        it->oldAtFirstLook = false;
        it->oldEnoughAtFirstLook = false;
        it->complete.reset();
    }
    Entry& entry = *it;
    entry.lastSeen = now;
    const bool iso = MediaFiles::isIsoMediaName(path);
    bool ready = now - entry.first.at >= kQuietTime || (iso && entry.oldEnoughAtFirstLook);
    if (ready && iso) {
        // Only a real answer is kept: a check the share did not answer is asked again next time.
        if (!entry.complete) {
            const MediaFiles::Completeness answer = completenessOf(path);
            // An MP4/MOV that does not start like one never counts, whatever its quiet time.
            if (answer != MediaFiles::Completeness::Unknown) entry.complete = answer == MediaFiles::Completeness::Complete;
        }
        ready = entry.complete.value_or(false);
    }
    if (ready) entry.completeStamp = stamp;
    return ready;
}

Arrivals::Result Arrivals::filter(const QStringList& paths, const QString& lastTaken, Clock::time_point now,
                                  WallClock::time_point wallNow,
                                  const std::function<std::optional<MediaFiles::Stamp>(const QString&)>& stampOf,
                                  const std::function<MediaFiles::Completeness(const QString&)>& completenessOf) {
    std::lock_guard<std::mutex> lock(mutex_);
    Result result;
    for (const QString& path : paths) {
        const std::optional<MediaFiles::Stamp> stamp = stampOf(path);
        if (!stamp || !stamp->exists) continue;
        const bool complete = lookLocked(path, *stamp, now, wallNow, completenessOf);
        Entry& entry = entries_[path];
        if (result.newestEverComplete.isNull() && entry.completeStamp) result.newestEverComplete = path;
        if (complete) {
            result.complete += path;
            continue;
        }
        if (entry.first.at == now) result.stillChanging = true;
        // Named once as on its way while it changes; once as unfinished when it stopped changing
        // (an old file's first look waits for its box check before it is named).
        const bool settled = entry.oldAtFirstLook || now - entry.first.at >= kSettledAfter;
        if (!settled && !entry.reportedArriving) {
            result.arriving += path;
            entry.reportedArriving = true;
        } else if (settled && entry.complete.has_value() && !entry.reportedUnfinished) {
            result.unfinished += Unfinished{path, stamp->size};
            entry.reportedUnfinished = true;
        }
    }

    // The file last taken for new, rewritten just now, is left out by the script until it is
    // written; meanwhile it is still the newest, and nothing older is new.
    const auto taken = entries_.constFind(lastTaken);
    if (!lastTaken.isEmpty() && !paths.contains(lastTaken) && taken != entries_.constEnd() && taken->completeStamp) {
        const std::optional<MediaFiles::Stamp> stamp = stampOf(lastTaken);
        if (stamp && stamp->exists && !lookLocked(lastTaken, *stamp, now, wallNow, completenessOf)) {
            result.newestEverComplete = lastTaken;
        }
    }

    for (auto it = entries_.begin(); it != entries_.end();) {
        it = now - it->lastSeen >= kForgetAfter ? entries_.erase(it) : std::next(it);
    }
    return result;
}
