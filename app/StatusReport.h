#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QJsonObject>
#include <QString>

#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

class PlayerItem;

// What someone in another room wants to know of a running player: what it shows and since when,
// whether its source folder is there, what came in last, how much it has played and failed.
// The controller reports events; the status answers (--status, the status server) take a
// snapshot. Every member is safe from any thread.
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
        SteadyTime currentItemSince{};
        QString lastNewItem;  // null: none yet
        QDateTime lastNewItemAt;
        SteadyTime lastNewItemSince{};
        quint64 itemsPlayed = 0;
        quint64 itemFailures = 0;
        QString sourceFolder;
        std::optional<bool> sourceFolderAvailable;  // none: not checked yet
        QString logPath;
        qint64 logBytes = 0;
        qint64 residentMemoryBytes = 0;
        std::optional<SteadyTime> lastFrame;  // none: no frame shown yet (or no video output)
    };

    StatusReport();

    // An item was handed to the player to play from its start.
    void itemStarted(const QString& path);
    // An item's end was posted: a play, unless it is the late end of a failure.
    void itemEnded(const std::shared_ptr<PlayerItem>& item);
    void itemFailed(const std::shared_ptr<PlayerItem>& item);
    // The scan found a file newer than the last new one.
    void newItemArrived(const QString& path);
    // The status light's name: "NSStatusAvailable", "NSStatusUnavailable", or not checked yet.
    void setSourceFolderStatusNamed(const QString& name);

    Snapshot snapshot() const;

    // The current item has been loading (or waiting for a view) for longer than `limit`
    // while nothing ended or failed: what the player reports as stuck. `loading` says whether
    // the player is still starting its current item.
    bool isStuck(bool loading, std::chrono::milliseconds limit, SteadyTime now) const;

    // The answer of --status --json and of /status.
    static QJsonObject json(const Snapshot& s, SteadyTime now);
    // The answer of /metrics, in Prometheus's text format (version 0.0.4).
    static QByteArray prometheusText(const Snapshot& s, SteadyTime now);
    // The answer of --status: the JSON answer as lines for a person.
    static QString text(const QJsonObject& status);

private:
    mutable std::mutex mutex_;
    Snapshot state_;
    // Failed items whose (late) end is still to come; it does not count as a play.
    std::vector<std::weak_ptr<PlayerItem>> failedAwaitingEnd_;
    SteadyTime lastProgress_{};
};
