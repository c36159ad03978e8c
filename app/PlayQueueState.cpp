#include "app/PlayQueueState.h"

#include "platform/core/PathUtilities.h"
#include "platform/media/Player.h"

PlayQueueState::Decision PlayQueueState::itemEnded(const QStringList& found, qint64 newMovieRepeatLoopCount) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++repeatcount_;
    Decision decision;
    if (found.isEmpty()) return decision;

    const QString newest = found.first();
    if (pathToLastNewItem_.isNull() || !sameItem(pathToLastNewItem_, newest)) {
        pathToLastNewItem_ = Path::standardize(newest);
        repeatList_ = found;
        repeatcount_ = 0;
        decision.newItem = true;
    } else if (repeatcount_ >= newMovieRepeatLoopCount) {
        if (!repeatList_.isEmpty()) {
            const QString first = repeatList_.first();
            repeatList_.removeAll(first);
            repeatList_.append(first);
        }
        decision.rotated = true;
    }
    decision.repeatList = repeatList_;
    if (!repeatList_.isEmpty()) decision.next = Path::standardize(repeatList_.first());
    return decision;
}

void PlayQueueState::startWith(const QStringList& list) {
    std::lock_guard<std::mutex> lock(mutex_);
    pathToLastNewItem_ = list.isEmpty() ? QString() : list.first();
    repeatList_ = list;
}

void PlayQueueState::reset() {
    std::lock_guard<std::mutex> lock(mutex_);
    repeatcount_ = 0;
    pathToLastNewItem_ = QString();
    avitems_.clear();
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
QList<std::shared_ptr<PlayerItem>> PlayQueueState::avitems() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return avitems_;
}
void PlayQueueState::setAvitems(const QList<std::shared_ptr<PlayerItem>>& items) {
    std::lock_guard<std::mutex> lock(mutex_);
    avitems_ = items;
}
