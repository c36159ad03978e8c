#include "app/SourceFolderMonitor.h"

#include "app/Settings.h"
#include "app/Validation.h"

#include "log/KORVAL_Log.h"
#include "platform/core/Deadline.h"
#include "platform/core/Format.h"
#include "platform/core/PathUtilities.h"

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

}  // namespace

SourceFolderMonitor::SourceFolderMonitor(std::function<void()> lightChanged) : lightChanged_(std::move(lightChanged)) {}

QString SourceFolderMonitor::sourceFolderPath() {
    const QString path = Settings::string(Setting::TamrinVideosFolder);
    return path.trimmed().isEmpty() ? QString() : Path::standardize(path);
}

SourceFolderMonitor::State SourceFolderMonitor::lookAt(const QString& path) {
    if (path.isEmpty()) return State::NotSet;
    return Deadline::call<State>(
               [path] {
                   const QByteArray native = QFile::encodeName(path);
                   struct stat st {};
                   if (stat(native.constData(), &st) != 0) {
                       return errno == ENOENT || errno == ENOTDIR ? State::Missing : State::Unreadable;
                   }
                   if (!S_ISDIR(st.st_mode)) return State::NotAFolder;
                   return access(native.constData(), X_OK) == 0 ? State::Available : State::Unreadable;
               },
               kFileSystemDeadline)
        .value_or(State::NotAnswering);
}

SourceFolderMonitor::State SourceFolderMonitor::look() {
    const State seen = lookAt(sourceFolderPath());
    report(seen);
    return seen;
}

void SourceFolderMonitor::report(State seen) {
    std::unique_lock<std::mutex> lock(mutex_);
    const State was = state_;
    if (seen == was) return;
    state_ = seen;
    const QDateTime now = QDateTime::currentDateTime();
    stateSince_ = now;
    // Said under the lock, so that the lines come in the order of the changes.
    if (available(seen) && was != State::NotChecked) {
        KORVAL_Log::debug(fmt("source folder available again after %@", durationText(unavailableSince_.secsTo(now))));
    } else if (!available(seen) && (available(was) || was == State::NotChecked)) {
        unavailableSince_ = now;
        KORVAL_Log::debug(fmt("source folder unavailable since %@ (%@)", stampOf(now), describe(seen)));
    }
    callWaitersIfBack(lock);
    if (lightChanged_) lightChanged_();
}

void SourceFolderMonitor::reset() {
    std::unique_lock<std::mutex> lock(mutex_);
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
    }
    return QString();
}
