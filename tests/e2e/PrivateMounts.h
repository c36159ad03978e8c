#pragma once

// What the end-to-end tests on real mounts share: the player started in a mount namespace of its
// own (so that nothing is mounted where this test or anyone else on the machine would see it), the
// mount table, and the times of the items the log announces.
#include "e2e/PlayerRun.h"

#include <QDateTime>
#include <QList>
#include <QProcess>
#include <QRegularExpression>

#include <algorithm>

namespace test {

// The exit status of a namespace's prelude that could not mount what the player needs.
inline constexpr int kMountFailed = 97;

// Whether the process has ended; QProcess notices that only while it is asked.
inline bool ended(QProcess& p) { return p.state() == QProcess::NotRunning || p.waitForFinished(0); }

// Whether the mount table (ours, or another process's /proc/PID/mountinfo) has a mount at `path`.
inline bool mountedAt(const QString& path, const QString& mountinfo = QStringLiteral("/proc/self/mountinfo")) {
    for (const QByteArray& line : readAll(mountinfo).split('\n')) {
        const QList<QByteArray> fields = line.split(' ');
        if (fields.size() > 4 && fields[4] == QFile::encodeName(path)) return true;
    }
    return false;
}

inline QString whyNoPrivateMounts() {
    if (QProcess::execute("unshare", {"--mount", "--propagation", "private", "true"}) != 0) {
        return "no private mount namespace here (unshare --mount failed)";
    }
    return {};
}

// Starts the player in a mount namespace of its own after the prelude has set up its mounts;
// the prelude gets the given arguments as $1..., leaves the player's command line in "$@", and
// exits with $MOUNT_FAILED where a mount fails. The prelude execs the player, so that the
// process started is the player.
inline void startInOwnNamespace(PlayerRun& run, const QString& prelude, const QStringList& preludeArgs,
                                const QStringList& playerArgs) {
    const QString script = "MOUNT_FAILED=" + QString::number(kMountFailed) + "\n" + prelude + "\nexec \"$@\"\n";
    QStringList args{"--mount", "--propagation", "private", "sh", "-c", script, "sh"};
    args << preludeArgs << QStringLiteral(VORNPLAYER_EXE) << playerArgs;
    run.executable = "unshare";
    run.start(args);
}

// When each "Need to play nextItem at" line of the log was written, in order.
inline QList<QDateTime> nextItemTimes(const QString& log) {
    QList<QDateTime> times;
    static const QRegularExpression line(R"(^\S+ \[(\d{4}/\d\d/\d\d \d\d:\d\d:\d\d\.\d{3}) [^\]]*\] Need to play nextItem at: )");
    for (const QString& text : log.split('\n')) {
        const auto m = line.match(text);
        if (m.hasMatch()) times += QDateTime::fromString(m.captured(1), "yyyy/MM/dd HH:mm:ss.zzz");
    }
    return times;
}

// The longest time between two announcements one after the other, from the one at `from` on.
inline qint64 longestGap(const QString& log, qsizetype from) {
    const QList<QDateTime> times = nextItemTimes(log).mid(std::max<qsizetype>(from, 0));
    qint64 longest = 0;
    for (qsizetype i = 1; i < times.size(); ++i) longest = std::max(longest, times[i - 1].msecsTo(times[i]));
    return longest;
}

}  // namespace test
