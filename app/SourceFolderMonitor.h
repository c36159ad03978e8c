#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <vector>

// Whether the source folder is there: the one answer that the status light, the status answers,
// the metrics and the log lines all follow. Validation, the scans and the look every 2 s report
// what they saw into it; a change between available and not is one log line. What counts is the
// folder the player plays from: the setting, standardised. Safe from any thread.
//
// It knows the file system the folder lives on (its home): the one its stored folder reference
// names, or the one it was last seen on with files in it. A folder on another file system where
// its home is no longer mounted (the bare mount point a share left), or standing empty under
// another file system mounted in its place, is not the folder: it is away, like a share that does
// not answer, and its files are not gone.
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
        Unmounted,     // its file system is no longer mounted: an empty folder stands in its place
        Replaced,      // another file system, with nothing in the folder, is mounted where it was
    };
    // What the light shows for the present state: the status image's name and its tooltip.
    struct Light {
        QString imageName;
        QString detail;
    };
    // The file system a folder lives on, as the mount table says.
    struct FileSystem {
        QString mountPoint;
        QString fsType;
        QString source;
        QString root;  // the part of the file system mounted there; empty: not known
        bool known() const { return !mountPoint.isEmpty(); }
        bool sameAs(const FileSystem& o) const {
            return mountPoint == o.mountPoint && fsType == o.fsType && source == o.source &&
                   (root.isEmpty() || o.root.isEmpty() || root == o.root);
        }
        QString describe() const;
    };
    // One look at a folder: its state and, when it could be entered, its file system and whether
    // it holds anything.
    struct Seen {
        State state = State::NotChecked;
        FileSystem fileSystem;
        bool hasEntries = false;
    };

    // Told after every change of the light, on the thread that reported it; it reads light() itself,
    // so that lights shown out of order still end on the latest.
    explicit SourceFolderMonitor(std::function<void()> lightChanged);

    // Looks at the source folder now (at most 2 s), reports what it saw and returns it. Never on
    // the main thread.
    State look();
    // The same for the folder at `path` (the source folder as a decision read it).
    State look(const QString& path);
    // A report of what a look saw. Looks may finish out of order (one waits 2 s for a share, a
    // later one answers at once): the report of a look that started before the last one applied
    // is dropped. `ticket`: from startLook(); none: the report counts as a look started now.
    void report(State state, std::optional<std::uint64_t> ticket = std::nullopt);
    std::uint64_t startLook() { return ++looksStarted_; }
    // Back to "not checked" (launch); the folder's home is taken again from its stored reference.
    void reset();
    // While the folder is away, keeps `then` and calls it once, on the reporting thread, as soon
    // as a report (the look every 2 s, a scan, a reset) finds it no longer away; true then.
    // False, and nothing kept, when it is not away now.
    bool callWhenBack(std::function<void()> then);

    State state() const;
    // When the present state began (its first report); invalid before the first look.
    QDateTime stateSince() const;
    bool isAvailable() const;
    // Set, and not there, not answering or not on its file system: its files keep their places
    // until it answers again.
    bool isAway() const;
    Light light() const;
    // The file system the folder is known to live on: the one its stored reference names, or the
    // one a look last found it on with files in it; unknown before either.
    FileSystem home() const;
    // "available", "missing", "not answering", "unmounted"...
    static QString describe(State state);
    // Every state, in the order of the enumeration (for the metrics).
    static std::vector<State> allStates();

    // One look at a folder, checked against the file system it is known to live on; the file
    // system gets at most 2 s to answer. Never on the main thread.
    static Seen lookAt(const QString& path, const FileSystem& home = {});
    // The file system a stored folder reference names for the folder at `path` (unknown when the
    // reference is of another folder, or names none).
    static FileSystem homeFromReference(const QByteArray& reference, const QString& path);
    // The source folder the player plays from: the setting, standardised; empty when none is set.
    static QString sourceFolderPath();

private:
    static bool available(State state) { return state == State::Available; }
    static bool away(State state) { return state != State::NotChecked && state != State::NotSet && !available(state); }
    void callWaitersIfBack(std::unique_lock<std::mutex>& lock);
    // The home to check a look at `path` against: taken from the stored reference when the
    // folder is not the one the home was learnt for.
    FileSystem homeFor(const QString& path);
    // A look that entered the folder and found files: that file system is its home from now on.
    void learnHome(const QString& path, const Seen& seen);

    mutable std::mutex mutex_;
    State state_ = State::NotChecked;
    QDateTime unavailableSince_;
    bool outageWarned_ = false;  // a folder that is not set is no outage to warn of
    QDateTime stateSince_;
    const std::function<void()> lightChanged_;
    std::vector<std::function<void()>> whenBack_;
    std::atomic<std::uint64_t> looksStarted_{0};
    std::uint64_t lastApplied_ = 0;  // the ticket of the last report applied
    QString homePath_;               // the folder `home_` belongs to
    QByteArray homeReference_;       // the stored reference it was taken from
    FileSystem home_;
};
