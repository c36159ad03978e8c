#include "app/SourceFolderMonitor.h"

#include "app/Settings.h"
#include "app/SourceFolder.h"
#include "app/ShareAccess.h"

#include "folderref/FileReference.h"
#include "folderref/MountTable.h"
#include "log/KORVAL_Log.h"
#include "platform/core/Format.h"
#include "platform/core/PathUtilities.h"

#include <QDir>
#include <QFile>

#include <cerrno>

#include <sys/stat.h>
#include <unistd.h>

namespace {

QString stampOf(const QDateTime& time) { return time.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")); }

QString durationText(qint64 seconds) {
    if (seconds < 60) return QStringLiteral("%1 s").arg(seconds);
    if (seconds < 3600) return QStringLiteral("%1 min %2 s").arg(QString::number(seconds / 60), QString::number(seconds % 60));
    return QStringLiteral("%1 h %2 min").arg(QString::number(seconds / 3600), QString::number(seconds % 3600 / 60));
}

// Stops at the first entry.
bool hasEntries(const QString& path) {
    return !QDir(path).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
}

bool isMountPoint(const QString& path, const QList<MountEntry>& mounts) {
    for (const MountEntry& m : mounts) {
        if (m.mountPoint == path) return true;
    }
    return false;
}

SourceFolderMonitor::FileSystem fileSystemOf(const QString& path) {
    const std::optional<MountEntry> mount = MountTable::mountContaining(path);
    if (!mount) return {};
    return {mount->mountPoint, mount->fsType, mount->source, mount->root};
}

}  // namespace

QString SourceFolderMonitor::FileSystem::describe() const {
    return fmt("%@ %@ at %@", fsType, source, mountPoint);
}

SourceFolderMonitor::SourceFolderMonitor(std::function<void()> lightChanged) : lightChanged_(std::move(lightChanged)) {}

QString SourceFolderMonitor::sourceFolderPath() {
    return SourceFolder::folderPath();
}

SourceFolderMonitor::Seen SourceFolderMonitor::lookAt(const QString& path, const FileSystem& home) {
    if (path.isEmpty()) return {State::NotSet, {}, false};
    // One call with one deadline: the folder, the file system it is on now, and, where that is not
    // its home or its home is not known yet, whether anything is in it.
    return ShareAccess::call<Seen>([path, home] {
               const QByteArray native = QFile::encodeName(path);
               Seen seen;
               struct stat st {};
               if (stat(native.constData(), &st) != 0) {
                   seen.state = errno == ENOENT || errno == ENOTDIR ? State::Missing : State::Unreadable;
                   return seen;
               }
               if (!S_ISDIR(st.st_mode)) return Seen{State::NotAFolder, {}, false};
               if (access(native.constData(), X_OK) != 0) return Seen{State::Unreadable, {}, false};
               seen.state = State::Available;
               seen.fileSystem = fileSystemOf(path);
               bool read = false;
               if (seen.fileSystem.fsType == QLatin1String("autofs")) {
                   // An automount point not mounted yet: reading it has it mounted.
                   seen.hasEntries = hasEntries(path);
                   read = true;
                   seen.fileSystem = fileSystemOf(path);
               }
               const bool atHome = home.known() && seen.fileSystem.known() && seen.fileSystem.sameAs(home);
               if (atHome) return seen;
               if (!read) seen.hasEntries = hasEntries(path);
               if (!home.known()) return seen;
               // On a file system other than its own. Where that is no longer mounted (the bare
               // mount point a share left, whatever was put in it since), or an automount that
               // did not mount, it is not the folder; under another file system mounted in its
               // place, it is only with something in it (the share moved to a new server).
               // Its files are not gone either way.
               const bool homeMounted = isMountPoint(home.mountPoint, MountTable::currentMounts());
               if (!homeMounted || seen.fileSystem.fsType == QLatin1String("autofs")) {
                   seen.state = State::Unmounted;
               } else if (!seen.hasEntries) {
                   seen.state = State::Replaced;
               }
               return seen;
           })
        .value_or(Seen{State::NotAnswering, {}, false});
}

SourceFolderMonitor::FileSystem SourceFolderMonitor::homeFromReference(const QByteArray& reference, const QString& path) {
    const std::optional<FileReference::Record> record = FileReference::decode(reference, FileReference::Kind::Bookmark);
    if (!record || record->mountPoint.isEmpty() || Path::standardize(QFile::decodeName(record->path)) != path) return {};
    return {QFile::decodeName(record->mountPoint), QString::fromUtf8(record->fsType), QString::fromUtf8(record->source),
            QString()};
}

SourceFolderMonitor::FileSystem SourceFolderMonitor::homeFor(const QString& path) {
    // Read before the lock is taken: the settings store has a lock of its own.
    const QByteArray reference = Settings::data(Setting::TamrinVideosFolderAliasData);
    std::lock_guard<std::mutex> lock(mutex_);
    // Another folder, or a reference made anew (the chooser, Locate): what it says holds now.
    if (path != homePath_ || reference != homeReference_) {
        homePath_ = path;
        homeReference_ = reference;
        home_ = homeFromReference(reference, path);
    }
    return home_;
}

void SourceFolderMonitor::learnHome(const QString& path, const Seen& seen) {
    if (seen.state != State::Available || !seen.fileSystem.known()) return;
    std::lock_guard<std::mutex> lock(mutex_);
    if (path != homePath_) return;
    if (home_.known() && home_.sameAs(seen.fileSystem)) {
        if (home_.root.isEmpty()) home_.root = seen.fileSystem.root;  // a reference does not record it
        return;
    }
    // Only a folder with something in it is known to be the folder.
    if (!seen.hasEntries) return;
    const bool moved = home_.known();
    home_ = seen.fileSystem;
    if (moved) KORVAL_Log::debug(fmt("The source folder is on another file system now: %@", home_.describe()));
}

SourceFolderMonitor::State SourceFolderMonitor::look() { return look(sourceFolderPath()); }

SourceFolderMonitor::State SourceFolderMonitor::look(const QString& path) {
    const std::uint64_t ticket = startLook();
    const Seen seen = lookAt(path, homeFor(path));
    learnHome(path, seen);
    report(seen.state, ticket);
    return seen.state;
}

void SourceFolderMonitor::report(State seen, std::optional<std::uint64_t> ticket) {
    const std::uint64_t order = ticket ? *ticket : startLook();
    std::unique_lock<std::mutex> lock(mutex_);
    // A look that started before the last one applied saw an older folder.
    if (order < lastApplied_) return;
    lastApplied_ = order;
    const State was = state_;
    if (seen == was) return;
    state_ = seen;
    const QDateTime now = QDateTime::currentDateTime();
    stateSince_ = now;
    // Said under the lock, so that the lines come in the order of the changes.
    if (available(seen) && was != State::NotChecked) {
        const QString outage = durationText(unavailableSince_.secsTo(now));
        KORVAL_Log::debug(fmt("source folder available again after %@", outage));
        // The outage's end at warning level too, for whoever watches the journal's warnings only.
        if (outageWarned_) KORVAL_Log::warnOperator(fmt("The source folder is available again, after an outage of %@", outage));
        outageWarned_ = false;
    } else if (!available(seen) && (available(was) || was == State::NotChecked)) {
        unavailableSince_ = now;
        KORVAL_Log::debug(fmt("source folder unavailable since %@ (%@)", stampOf(now), describe(seen)));
        outageWarned_ = seen != State::NotSet;
        if (outageWarned_) KORVAL_Log::warnOperator(fmt("The source folder is unavailable (%@) since %@", describe(seen), stampOf(now)));
    }
    callWaitersIfBack(lock);
    if (lightChanged_) lightChanged_();
}

void SourceFolderMonitor::reset() {
    std::unique_lock<std::mutex> lock(mutex_);
    homePath_.clear();
    lastApplied_ = ++looksStarted_;
    if (state_ == State::NotChecked) return;
    state_ = State::NotChecked;
    stateSince_ = QDateTime();
    callWaitersIfBack(lock);
    if (lightChanged_) lightChanged_();
}

bool SourceFolderMonitor::callWhenBack(std::function<void()> then) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!away(state_)) return false;
    whenBack_.push_back(std::move(then));
    return true;
}

// Lets go of the lock: the waiters and the light are told outside it.
void SourceFolderMonitor::callWaitersIfBack(std::unique_lock<std::mutex>& lock) {
    std::vector<std::function<void()>> back;
    if (!away(state_)) back.swap(whenBack_);
    lock.unlock();
    for (const std::function<void()>& then : back) then();
}

SourceFolderMonitor::State SourceFolderMonitor::state() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return state_;
}

QDateTime SourceFolderMonitor::stateSince() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return stateSince_;
}

bool SourceFolderMonitor::isAvailable() const { return available(state()); }

bool SourceFolderMonitor::isAway() const { return away(state()); }

SourceFolderMonitor::FileSystem SourceFolderMonitor::home() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return home_;
}

std::vector<SourceFolderMonitor::State> SourceFolderMonitor::allStates() {
    return {State::NotChecked, State::Available, State::NotSet,       State::Missing,  State::NotAFolder,
            State::Unreadable, State::NotAnswering, State::Unmounted, State::Replaced};
}

SourceFolderMonitor::Light SourceFolderMonitor::light() const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (state_ == State::NotChecked) return {QStringLiteral("NSStatusNone"), QString()};
    if (available(state_)) return {QStringLiteral("NSStatusAvailable"), QString()};
    return {QStringLiteral("NSStatusUnavailable"),
            fmt("Unavailable since %@ (%@)", stampOf(unavailableSince_), describe(state_))};
}

QString SourceFolderMonitor::describe(State state) {
    switch (state) {
        case State::NotChecked: return QStringLiteral("not checked yet");
        case State::Available: return QStringLiteral("available");
        case State::NotSet: return QStringLiteral("not set");
        case State::Missing: return QStringLiteral("missing");
        case State::NotAFolder: return QStringLiteral("not a folder");
        case State::Unreadable: return QStringLiteral("unreadable");
        case State::NotAnswering: return QStringLiteral("not answering");
        case State::Unmounted: return QStringLiteral("unmounted");
        case State::Replaced: return QStringLiteral("replaced");
    }
    return QString();
}
