#pragma once

#include "app/LocalCopies.h"

#include <QByteArray>
#include <QDateTime>
#include <QJsonObject>
#include <QString>

#include "platform/core/ProcessInfo.h"

#include <chrono>
#include <mutex>
#include <optional>

// What someone in another room wants to know of a running player: what it shows and since when,
// whether its source folder is there, what came in last, how much it has played and failed.
// The status service reports the player's events; the status answers (--status, the status
// server) take a snapshot, which the service completes with what the player, the source-folder
// monitor and the process say. Every member is safe from any thread.
class StatusReport {
public:
    using SteadyTime = std::chrono::steady_clock::time_point;

    // Everything one answer says. The process-wide parts (pid, paths, sizes, the last frame)
    // are filled in by whoever asks.
    struct Snapshot {
        qint64 pid = 0;
        QString version;
        QDateTime startedAt;
        SteadyTime started{};
        QString currentItem;  // null: nothing handed to the player yet
        bool currentItemFromCopy = false;  // opened from its local copy
        SteadyTime currentItemSince{};
        // "opening" (handed to the player, not opened yet), "playing", "ended" (its last frame
        // stays) or "failed"; empty counts as playing.
        QString currentItemState;
        double currentItemLength = 0;  // seconds; 0: not known yet
        QString lastNewItem;  // null: none yet
        QDateTime lastNewItemAt;
        SteadyTime lastNewItemSince{};
        QDateTime newestFileModified;  // the newest complete file's modification time; invalid: none seen
        qint64 newestFilesSetAside = 0;  // of the newest files listed, those set aside after a failed play
        quint64 itemsPlayed = 0;
        quint64 itemFailures = 0;
        QString sourceFolder;
        std::optional<bool> sourceFolderAvailable;  // none: not checked yet
        QString sourceFolderState;                  // "available", "missing", "not answering"...
        QString sourceFolderNote;  // videos where the player does not look; empty: none
        QString logPath;
        qint64 logBytes = 0;
        qint64 residentMemoryBytes = 0;
        ProcessInfo::Usage process;
        std::optional<SteadyTime> lastFrame;  // none: no frame shown yet (or no video output)
        LocalCopies::Stats localCopies;
        QDateTime now;  // when the answer was taken, for the ages of wall-clock times
    };

    StatusReport();

    // An item started, played to its end, or could not be played.
    void itemStarted();
    void itemPlayed();
    void itemFailed();
    // The scan found a file newer than the last new one.
    void newItemArrived(const QString& path);
    // A decision looked at the newest files: the newest one's modification time (invalid: not known)
    // and how many of them are set aside after a failed play.
    void newestFilesSeen(const QDateTime& newestModified, qint64 setAside);
    // Whether the picture should move and does not: an item is opening or playing, and no new frame
    // has come for `limit`, counted from its start at the earliest. A still that is meant (the last
    // frame of an ended item, nothing to play, an item held by a share that is away) is never frozen.
    static bool isFrozen(const Snapshot& s, std::chrono::milliseconds limit, SteadyTime now);
    // How long a picture that should move may show no new frame before it counts as frozen: longer
    // than any gap between frames of a playing item, and than the hold at an item change.
    static constexpr std::chrono::milliseconds kFrozenAfter{5000};
    // Whether the picture should move now.
    static bool pictureShouldMove(const Snapshot& s);

    // The counts and times; the current item and the source folder are left for the caller.
    Snapshot snapshot() const;

    // The current item (current since `since`) has been loading, or waiting for a view, for longer
    // than `limit` while nothing started, ended or failed: what the player reports as stuck.
    // `loading` says whether the player is still starting its current item.
    bool isStuck(bool loading, SteadyTime since, std::chrono::milliseconds limit, SteadyTime now) const;

    // The answer of --status --json and of /status.
    static QJsonObject json(const Snapshot& s, SteadyTime now);
    // The answer of /metrics, in Prometheus's text format (version 0.0.4): counts, moments as Unix
    // time (never ages, which Prometheus cannot tell from a stale scrape), and the standard
    // process_* metrics. Whether the player answers is Prometheus's own "up".
    static QByteArray prometheusText(const Snapshot& s, SteadyTime now);
    // The answer of --status: the JSON answer as lines for a person.
    static QString text(const QJsonObject& status);

private:
    mutable std::mutex mutex_;
    Snapshot state_;
    SteadyTime lastProgress_{};
};
