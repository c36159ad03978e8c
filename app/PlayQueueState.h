#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include <memory>
#include <mutex>

class PlayerItem;

// What the play queue knows between two item ends: the repeat list (newest first), how often
// the current new file has played, the last new file, and the items handed in last (by the
// polling loop or by hand). It reads no settings: the caller passes them in. Every member is
// safe from any thread; each call reads or changes the state as a whole.
class PlayQueueState {
public:
    // What plays after an item ended, and what changed on the way, in the order it happened.
    struct Decision {
        bool newItem = false;        // the scan's newest file is new: the repeat list is the scan's list
        bool rotated = false;        // the new file has had its plays: the repeat list moved on by one
        QStringList repeatList;      // the repeat list after the decision
        QString next;                // the path to play next; null: keep replaying what was loaded
    };

    // An item ended: counts its play and decides from the scan's list (newest first) and the
    // number of plays a new file gets. An empty list changes nothing but the count.
    Decision itemEnded(const QStringList& found, qint64 newMovieRepeatLoopCount);
    // The polling loop's first list: its newest file is the last new item.
    void startWith(const QStringList& list);
    void reset();

    qint64 repeatcount() const;
    void setRepeatcount(qint64 count);
    QString pathToLastNewItem() const;
    void setPathToLastNewItem(const QString& path);
    QStringList repeatList() const;
    void setRepeatList(const QStringList& list);
    QList<std::shared_ptr<PlayerItem>> avitems() const;
    void setAvitems(const QList<std::shared_ptr<PlayerItem>>& items);

    // Whether two paths name the same file for the queue: the same file name, in any letter case.
    static bool sameItem(const QString& a, const QString& b);

private:
    mutable std::mutex mutex_;
    QStringList repeatList_;
    qint64 repeatcount_ = 0;
    QString pathToLastNewItem_;
    QList<std::shared_ptr<PlayerItem>> avitems_;
};
