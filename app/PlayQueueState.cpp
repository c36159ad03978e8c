#include "app/PlayQueueState.h"

#include "platform/core/PathUtilities.h"

#include <algorithm>

PlayQueueState::Decision PlayQueueState::itemEnded(const Found& found, qint64 newMovieRepeatLoopCount,
                                                   const QString& endedPath, EndKind kind,
                                                   const QHash<QString, MediaFiles::Stamp>& stamps,
                                                   Clock::time_point now,
                                                   const std::function<bool(const QString&)>& passOver) {
    std::lock_guard<std::mutex> lock(mutex_);
    Decision decision;
    if (kind == EndKind::Played) ++repeatcount_;
    if (kind == EndKind::Failed && !endedPath.isEmpty()) {
        if (!setAside_.contains(endedPath)) decision.setAside += endedPath;
        const auto stamp = stamps.constFind(endedPath);
        setAside_.insert(endedPath, SetAside{stamp == stamps.constEnd() ? std::nullopt : std::optional(*stamp), now});
        // A new file that fails keeps its plays for when it works.
        if (!pathToLastNewItem_.isNull() && sameItem(endedPath, pathToLastNewItem_) &&
            repeatcount_ < newMovieRepeatLoopCount) {
            newItemOwed_ = true;
            repeatcount_ = newMovieRepeatLoopCount;
        }
    }

    for (auto it = setAside_.begin(); it != setAside_.end();) {
        const auto stamp = stamps.constFind(it.key());
        const bool changed = stamp != stamps.constEnd() && (!it->stamp || *it->stamp != *stamp);
        if (!changed && now - it->since < kRetrySetAsideAfter) {
            ++it;
            continue;
        }
        const QString path = it.key();
        it = setAside_.erase(it);
        decision.takenBack += path;
        if (newItemOwed_ && sameItem(path, pathToLastNewItem_)) {
            newItemOwed_ = false;
            repeatcount_ = 0;
            repeatList_.removeAll(path);
            repeatList_.prepend(path);
        }
    }

    for (const QString& path : QStringList(repeatList_)) {
        const auto stamp = stamps.constFind(path);
        if (stamp == stamps.constEnd() || stamp->exists) continue;
        repeatList_.removeAll(path);
        setAside_.remove(path);
        decision.vanished += path;
    }

    if (found.isEmpty()) {
        decision.repeatList = repeatList_;
        return decision;
    }
    const QString newest = found.complete.value(0);
    const bool newestEver = !newest.isNull() && newest == found.newestEverComplete;
    if (newestEver && (pathToLastNewItem_.isNull() || !sameItem(pathToLastNewItem_, newest))) {
        pathToLastNewItem_ = Path::standardize(newest);
        repeatList_ = found.complete;
        repeatcount_ = 0;
        newItemOwed_ = false;
        decision.newItem = true;
    } else if (repeatList_.isEmpty()) {
        repeatList_ = found.complete;  // every file of the list went: the cycle goes on with what is there
    } else if (repeatcount_ >= newMovieRepeatLoopCount) {
        rotateLocked();
        decision.rotated = true;
    }
    // Files set aside are passed over: no load, no wait.
    const auto playable = [&](const QString& path) { return !setAsideLocked(path) && !(passOver && passOver(path)); };
    for (int turns = 0; turns < repeatList_.size() && !playable(repeatList_.first()); ++turns) rotateLocked();
    decision.repeatList = repeatList_;
    if (repeatList_.isEmpty()) return decision;
    if (!playable(repeatList_.first())) {
        decision.nothingPlayable = true;
        return decision;
    }
    decision.next = Path::standardize(repeatList_.first());
    return decision;
}

void PlayQueueState::rotateLocked() {
    if (repeatList_.isEmpty()) return;
    const QString first = repeatList_.first();
    repeatList_.removeAll(first);
    repeatList_.append(first);
}

bool PlayQueueState::setAsideLocked(const QString& path) const { return setAside_.contains(path); }

PlayQueueState::Outlook PlayQueueState::outlook(qint64 newMovieRepeatLoopCount) const {
    std::lock_guard<std::mutex> lock(mutex_);
    Outlook out;
    const bool newItemFirst = !repeatList_.isEmpty() && !pathToLastNewItem_.isNull() &&
                              sameItem(repeatList_.first(), pathToLastNewItem_);
    for (qsizetype i = 0; i < repeatList_.size(); ++i) {
        const QString& path = repeatList_.at(i);
        const qint64 left = i == 0 && newItemFirst ? std::max<qint64>(newMovieRepeatLoopCount - repeatcount_, 1) : 1;
        out.repeatList += Outlook::Entry{path, setAsideLocked(path) ? 0 : left, setAsideLocked(path)};
    }
    // The current item ends and counts a play: it plays again while it has plays left, else the
    // list moves on past the files set aside.
    if (!repeatList_.isEmpty()) {
        if (repeatcount_ + 1 < newMovieRepeatLoopCount && !setAsideLocked(repeatList_.first())) {
            out.next = repeatList_.first();
        } else {
            for (qsizetype i = 1; i <= repeatList_.size() && out.next.isNull(); ++i) {
                const QString& path = repeatList_.at(i % repeatList_.size());
                if (!setAsideLocked(path)) out.next = path;
            }
        }
    }
    for (auto it = setAside_.constBegin(); it != setAside_.constEnd(); ++it) {
        out.setAside += Outlook::Aside{it.key(), it->since + kRetrySetAsideAfter, failureWhy_.value(it.key())};
    }
    return out;
}

bool PlayQueueState::isSetAside(const QString& path) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return setAsideLocked(path);
}

QStringList PlayQueueState::pathsToLookAt() const {
    std::lock_guard<std::mutex> lock(mutex_);
    QStringList paths = repeatList_;
    for (auto it = setAside_.constBegin(); it != setAside_.constEnd(); ++it) {
        if (!paths.contains(it.key())) paths += it.key();
    }
    return paths;
}

void PlayQueueState::startWith(const QStringList& list) {
    std::lock_guard<std::mutex> lock(mutex_);
    pathToLastNewItem_ = list.isEmpty() ? QString() : list.first();
    repeatList_ = list;
}

bool PlayQueueState::startWithIfFirst(const QStringList& list) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!pathToLastNewItem_.isNull()) return false;
    pathToLastNewItem_ = list.isEmpty() ? QString() : list.first();
    repeatList_ = list;
    return true;
}

void PlayQueueState::reset() {
    std::lock_guard<std::mutex> lock(mutex_);
    repeatcount_ = 0;
    pathToLastNewItem_ = QString();
    newItemOwed_ = false;
    setAside_.clear();
    handFiles_.clear();
    handFilesPlaying_ = false;
    handFilesPlayer_ = nullptr;
}

std::uint64_t PlayQueueState::startFilesOpenedByHand(const QStringList& paths) {
    std::lock_guard<std::mutex> lock(mutex_);
    handFiles_ = paths.mid(1);
    handFilesPlaying_ = !paths.isEmpty();
    handFilesPlayer_ = nullptr;
    return ++handSession_;
}

bool PlayQueueState::bindFilesOpenedByHand(std::uint64_t session, const void* player) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (session != handSession_) return false;
    if (handFilesPlaying_) handFilesPlayer_ = player;
    return true;
}

void PlayQueueState::dropFilesOpenedByHand() {
    std::lock_guard<std::mutex> lock(mutex_);
    handFiles_.clear();
    handFilesPlaying_ = false;
    handFilesPlayer_ = nullptr;
}

void PlayQueueState::noteFailure(const QString& path, const QString& why) {
    std::lock_guard<std::mutex> lock(mutex_);
    // Kept only for the files set aside, which are few.
    for (auto it = failureWhy_.begin(); it != failureWhy_.end();) {
        it = setAside_.contains(it.key()) ? std::next(it) : failureWhy_.erase(it);
    }
    failureWhy_.insert(path, why);
}

void PlayQueueState::moveFilesOpenedByHand(const void* from, const void* to) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (handFilesPlaying_ && from && handFilesPlayer_ == from) handFilesPlayer_ = to;
}

PlayQueueState::HandTurn PlayQueueState::takeFileOpenedByHand(const void* player) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!handFilesPlaying_ || !player || player != handFilesPlayer_) return {};
    if (handFiles_.isEmpty()) {
        handFilesPlaying_ = false;
        handFilesPlayer_ = nullptr;
        return {HandTurn::Kind::Done, QString()};
    }
    return {HandTurn::Kind::Next, handFiles_.takeFirst()};
}

bool PlayQueueState::filesOpenedByHandPlaying() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return handFilesPlaying_;
}

bool PlayQueueState::sameItem(const QString& a, const QString& b) {
    return Path::lastPathComponent(Path::standardize(a))
               .compare(Path::lastPathComponent(Path::standardize(b)), Qt::CaseInsensitive) == 0;
}

qint64 PlayQueueState::repeatcount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return repeatcount_;
}
void PlayQueueState::setRepeatcount(qint64 count) {
    std::lock_guard<std::mutex> lock(mutex_);
    repeatcount_ = count;
}
QString PlayQueueState::pathToLastNewItem() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return pathToLastNewItem_;
}
void PlayQueueState::setPathToLastNewItem(const QString& path) {
    std::lock_guard<std::mutex> lock(mutex_);
    pathToLastNewItem_ = path;
}
QStringList PlayQueueState::repeatList() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return repeatList_;
}
void PlayQueueState::setRepeatList(const QStringList& list) {
    std::lock_guard<std::mutex> lock(mutex_);
    repeatList_ = list;
}
