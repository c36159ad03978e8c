#pragma once

#include <QDateTime>
#include <QString>

#include <functional>
#include <mutex>
#include <vector>

// Whether the source folder is there: the one answer that the status light, the status answers,
// the metrics and the log lines all follow. Validation, the scans and the look every 2 s report
// what they saw into it; a change between available and not is one log line. What counts is the
// folder the player plays from: the setting, standardised. Safe from any thread.
class SourceFolderMonitor {
public:
    enum class State {
        NotChecked,    // not looked at since launch
        Available,     // a folder the player can enter
        NotSet,        // no source folder is set
        Missing,       // nothing at its path (a share or a disk not mounted, a folder removed)
        NotAFolder,    // something other than a folder at its path
        Unreadable,    // a folder the player may not enter
        NotAnswering,  // its file system did not answer within 2 s (a share that hangs)
    };
    // What the light shows for the present state: the status image's name and its tooltip.
    struct Light {
        QString imageName;
        QString detail;
    };

    // Told after every change of the light, on the thread that reported it; it reads light() itself,
    // so that lights shown out of order still end on the latest.
    explicit SourceFolderMonitor(std::function<void()> lightChanged);

    // Looks at the source folder now (at most 2 s), reports what it saw and returns it. Never on
    // the main thread.
    State look();
    void report(State state);
    // Back to "not checked" (launch).
    void reset();
    // While the folder is away, keeps `then` and calls it once, on the reporting thread, as soon
    // as a report (the look every 2 s, a scan, a reset) finds it no longer away; true then.
    // False, and nothing kept, when it is not away now.
    bool callWhenBack(std::function<void()> then);

    State state() const;
    // When the present state began (its first report); invalid before the first look.
    QDateTime stateSince() const;
    bool isAvailable() const;
    // Set, and not there or not answering: its files keep their places until it answers again.
    bool isAway() const;
    Light light() const;
    // "available", "missing", "not answering"...
    static QString describe(State state);

    // One look at a folder; the file system gets at most 2 s to answer. Never on the main thread.
    static State lookAt(const QString& path);
    // The source folder the player plays from: the setting, standardised; empty when none is set.
    static QString sourceFolderPath();

private:
    static bool available(State state) { return state == State::Available; }
    static bool away(State state) { return state != State::NotChecked && state != State::NotSet && !available(state); }
    void callWaitersIfBack(std::unique_lock<std::mutex>& lock);
    mutable std::mutex mutex_;
    State state_ = State::NotChecked;
    QDateTime unavailableSince_;
    QDateTime stateSince_;
    const std::function<void()> lightChanged_;
    std::vector<std::function<void()>> whenBack_;
};
