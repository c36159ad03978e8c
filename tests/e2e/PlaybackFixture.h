#pragma once

// A run of the real player on a source folder of its own, with today's folder named "day".
#include "e2e/PlayerRun.h"

#include "Clips.h"

#include <QDateTime>
#include <QRegularExpression>
#include <QUrl>

#include <gtest/gtest.h>

namespace test {

// The names of the files that "Need to play nextItem at" lines of a log announce, in order.
inline QStringList nextItemNames(const QString& log) {
    QStringList names;
    static const QRegularExpression next(R"(\] Need to play nextItem at: (\S+)$)");
    for (const QString& line : log.split('\n')) {
        const auto m = next.match(line);
        if (m.hasMatch()) names += QUrl(m.captured(1)).fileName();
    }
    return names;
}

class PlaybackE2E : public ::testing::Test {
protected:
    void SetUp() override {
        source = run.root.filePath("source");
        daily = source + "/day";
        QDir().mkpath(daily);
    }

    QStringList args(int count = 3, int loops = 2) const {
        return {"-prefTamrinVideosFolder", source, "-prefDailyDateFormat", "'day'", "-prefRepeatListItemsCount",
                QString::number(count), "-prefNewMovieRepeatLoopCount", QString::number(loops)};
    }

    // A clip in today's folder, modified `secondsAgo` seconds ago.
    void addClip(const QString& name, int secondsAgo, double length = 1.0) {
        addFile(name, test::readAll(test::clip(length)), secondsAgo);
    }
    void addFile(const QString& name, const QByteArray& bytes, int secondsAgo) {
        const QString path = daily + "/" + name;
        test::writeAll(path, bytes);
        QFile f(path);
        f.open(QIODevice::ReadWrite);
        f.setFileTime(QDateTime::currentDateTime().addSecs(-secondsAgo), QFileDevice::FileModificationTime);
    }

    // The names of the files that "Need to play nextItem at" lines announce, in order.
    QStringList nextItems() const { return nextItemNames(run.log()); }

    bool waitForNextItems(int count, int timeoutMs = 30000) const {
        return waitUntil([&] { return nextItems().size() >= count; }, timeoutMs, 100);
    }

    PlayerRun run;
    QString source;
    QString daily;
};

}  // namespace test
