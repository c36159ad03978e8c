#pragma once

#include <QByteArray>
#include <QList>
#include <QSet>
#include <QString>

// Video files that the newest-files script leaves out for their names: a name holding a line feed
// would break its one name a line, and one that is not valid UTF-8 cannot be read back. They are
// never played, so each is named in the log once.
class OddNames {
public:
    // The names (as stored, raw bytes) of the video files in the folder that cannot be listed. Blocks
    // on a share that hangs: run it through Deadline.
    static QList<QByteArray> in(const QString& folder);
    // The name for the log: a line feed as "\n", a byte that is not UTF-8 as "\xNN".
    static QString readable(const QByteArray& name);

    // Those of the names in the folder not named before. A new folder (a new day) starts afresh.
    QList<QByteArray> notNamedYet(const QString& folder, const QList<QByteArray>& names);

private:
    // A folder with more such names than this has bigger troubles: the rest go unnamed.
    static constexpr qsizetype kMostRemembered = 1000;
    QString folder_;
    QSet<QByteArray> named_;
};
