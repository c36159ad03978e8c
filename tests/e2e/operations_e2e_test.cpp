// The player as operators run it: its log under a clock at the turn of the year, and a line that
// repeats.
#include "e2e/PlayerRun.h"

#include <QDateTime>
#include <QFileInfo>
#include <QRegularExpression>

#include <gtest/gtest.h>

namespace {

using test::PlayerRun;

const char* kLaunched = "] infoDictioanry = {";
const QString kLibFaketime = QStringLiteral("/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1");

// Every timestamp of the log file: the log's own lines and the platform's.
QStringList timestampsOf(const QString& log) {
    static const QRegularExpression stamp(R"(^(?:\S+ )?\[(\d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2}\.\d{3} [+-]\d{4})\] )",
                                          QRegularExpression::MultilineOption);
    QStringList stamps;
    for (auto it = stamp.globalMatch(log); it.hasNext();) stamps += it.next().captured(1);
    return stamps;
}

TEST(LogE2E, OnTheTwentyEighthOfDecemberEveryTimestampSaysItsCalendarYear) {
    if (!QFileInfo::exists(kLibFaketime)) GTEST_SKIP() << "libfaketime is not installed (package faketime)";
    PlayerRun run;
    // Monday 28 December 2026 begins week 53 of 2026 and is followed by the week-based 2027 days.
    run.env.insert("LD_PRELOAD", kLibFaketime);
    run.env.insert("FAKETIME", "@2026-12-28 12:00:00");
    run.env.insert("DONT_FAKE_MONOTONIC", "1");
    // An unreadable settings file makes the platform write a line of its own.
    QDir().mkpath(run.root.filePath("config/Vorn"));
    test::writeAll(run.settingsPath(), QByteArray("\x01\x02 not settings\n", 16));
    run.start({"-prefTamrinVideosFolder", run.root.filePath("no-such-folder")});
    ASSERT_TRUE(run.waitForLog(kLaunched)) << run.log().toStdString();
    EXPECT_EQ(run.stop(), 0);

    const QString log = run.log();
    const QStringList stamps = timestampsOf(log);
    ASSERT_GE(stamps.size(), 20) << log.toStdString();
    for (const QString& stamp : stamps) EXPECT_TRUE(stamp.startsWith("2026/12/28 ")) << stamp.toStdString();
    // The platform's line has the same stamp as the log's.
    EXPECT_TRUE(log.contains(QRegularExpression(R"(\n\[2026/12/28 [^\]]{18}\] vornplayer\[\d+:\d+\] Settings file )")))
        << log.toStdString();
}

TEST(LogE2E, TheMissingFolderLineIsWrittenOnceThenAtMostOnceAnIntervalWithItsCount) {
    PlayerRun run;
    // The interval is shortened, so that a few repetitions fit into the test.
    constexpr int kIntervalMs = 3000;
    run.env.insert("VORNPLAYER_LOG_REPEAT_INTERVAL_MS", QString::number(kIntervalMs));
    run.start({"-prefTamrinVideosFolder", run.root.filePath("no-such-folder")});
    static const QRegularExpression line(
        R"(^D \[(\d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2}\.\d{3}) [+-]\d{4}\] Inside <AppDelegate: 0x[0-9a-f]+> => scanFolderForNewItems\.\.\. VERY BAD\.\.\.\.(?: \(repeated (\d+) times\))?$)",
        QRegularExpression::MultilineOption);
    const auto lines = [&] {
        QList<QRegularExpressionMatch> found;
        for (auto it = line.globalMatch(run.log()); it.hasNext();) found += it.next();
        return found;
    };
    ASSERT_TRUE(test::waitUntil([&] { return lines().size() >= 3; }, 30000, 100)) << run.log().toStdString();
    EXPECT_EQ(run.stop(), 0);

    const QList<QRegularExpressionMatch> written = lines();
    EXPECT_TRUE(written.first().captured(2).isEmpty()) << "the first time is said as is";
    for (qsizetype i = 1; i < written.size(); ++i) {
        // The scan looks every 2 s: each written line stands for one or more looks since the last.
        EXPECT_GE(written[i].captured(2).toInt(), 1) << written[i].captured(0).toStdString();
        const auto at = [](const QRegularExpressionMatch& m) {
            return QDateTime::fromString(m.captured(1), "yyyy/MM/dd HH:mm:ss.zzz").toMSecsSinceEpoch();
        };
        EXPECT_GE(at(written[i]) - at(written[i - 1]), kIntervalMs) << written[i].captured(0).toStdString();
    }
}

}  // namespace
