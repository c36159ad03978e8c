#include "log/KORVAL_Log.h"
#include "platform/core/StandardError.h"
#include "log/RepeatedLines.h"
#include "platform/core/DateFormatter.h"
#include "platform/core/NotificationCenter.h"
#include "platform/core/SystemLog.h"

#include "TestSupport.h"

#include <QDateTime>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTimeZone>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <vector>

// The log facility is process-wide and points standard error into its file, so every case
// runs in a child process of its own and the parent reads what the child left on disk.
namespace {

class LogTest : public ::testing::Test {
protected:
    QString logPath() const { return dir.filePath("Demo.log"); }
    QString errPath() const { return dir.filePath("stderr.txt"); }
    QStringList logLines() const {
        QStringList lines = QString::fromUtf8(test::readAll(logPath())).split('\n');
        if (!lines.isEmpty() && lines.last().isEmpty()) lines.removeLast();
        return lines;
    }
    // Points the child's standard error at a file of its own.
    void captureStderr() const {
        const int fd = open(QFile::encodeName(errPath()).constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(fd, 2);
        close(fd);
    }
    int child(const std::function<void()>& body) {
        return test::runInChild([&] {
            body();
            StandardError::finish();  // what exit() does; the child ends with _exit()
            return 0;
        });
    }
    QTemporaryDir dir;
};

const QRegularExpression kLine(R"(^(I|D|D2|E|W) \[(\d{4})/(\d{2})/(\d{2}) \d{2}:\d{2}:\d{2}\.\d{3} [+-]\d{4}\] (.*)$)");

TEST_F(LogTest, LinesCarryCodeTimestampAndMessage) {
    ASSERT_EQ(child([&] {
                  KORVAL_Log::setLogFile(logPath());
                  KORVAL_Log::debug("Rolling log file.");
                  KORVAL_Log::logLevel(0, "info");
                  KORVAL_Log::logLevel(2, "debug2");
                  KORVAL_Log::err("error\nstays one line");
                  KORVAL_Log::logLevel(4, "warn");
                  KORVAL_Log::logLevel(7, "seven");
                  KORVAL_Log::logLevel(-1, "minus one");
                  KORVAL_Log::debug("100% %@ %s done");
                  KORVAL_Log::logLevel(1, QString());
              }),
              0);
    const QStringList lines = logLines();
    ASSERT_EQ(lines.size(), 10) << lines.join('\n').toStdString();
    const QStringList codes{"D", "I", "D2", "E", "D", "W", "D", "D", "D", "D"};
    const QStringList messages{"Rolling log file.", "info", "debug2", "error", "stays one line", "warn",
                               "seven", "minus one", "100% %@ %s done", "(null)"};
    for (int i = 0; i < lines.size(); ++i) {
        // "stays one line" is the second line of the one error message.
        if (i == 4) {
            EXPECT_EQ(lines[i], "stays one line");
            continue;
        }
        const auto m = kLine.match(lines[i]);
        ASSERT_TRUE(m.hasMatch()) << lines[i].toStdString();
        EXPECT_EQ(m.captured(1), codes[i]);
        EXPECT_EQ(m.captured(5), messages[i]);
        EXPECT_EQ(lines[i].indexOf(']') - lines[i].indexOf('[') + 1, 31);
    }
}

TEST_F(LogTest, DebugSplitsAtEveryNewlineKeepingEmptyPieces) {
    ASSERT_EQ(child([&] {
                  KORVAL_Log::setLogFile(logPath());
                  KORVAL_Log::debug("a\nb\n");
                  KORVAL_Log::debug("\n");
              }),
              0);
    const QStringList lines = logLines();
    ASSERT_EQ(lines.size(), 5);
    EXPECT_TRUE(lines[0].endsWith("] a"));
    EXPECT_TRUE(lines[1].endsWith("] b"));
    // An empty piece: code, blank, timestamp, blank, nothing.
    for (int i : {2, 3, 4}) {
        EXPECT_TRUE(lines[i].startsWith("D [") && lines[i].endsWith("] ")) << lines[i].toStdString();
        EXPECT_EQ(lines[i].size(), 2 + 31 + 1);
    }
}

TEST_F(LogTest, WithEchoOffNothingLoggedBeforeTheFileOpensLeavesATrace) {
    test::writeAll(logPath(), QByteArray(KORVAL_Log::kRollThreshold, 'x'));
    ASSERT_EQ(child([&] {
                  captureStderr();
                  KORVAL_Log::debug("before the file");
                  KORVAL_Log::setLogFile(logPath());  // rolls first; its messages are dropped too
                  KORVAL_Log::debug("after the file");
              }),
              0);
    const QStringList lines = logLines();
    ASSERT_EQ(lines.size(), 1);
    EXPECT_TRUE(lines[0].endsWith("] after the file"));
    EXPECT_TRUE(test::readAll(errPath()).isEmpty());
    EXPECT_EQ(test::readAll(dir.filePath("Demo_old.log")).size(), static_cast<qsizetype>(KORVAL_Log::kRollThreshold));
}

TEST_F(LogTest, WithEchoOnEarlyLinesAreKeptAndWrittenFirstAndStandardErrorStaysApart) {
    test::writeAll(logPath(), QByteArray(KORVAL_Log::kRollThreshold, 'x'));
    ASSERT_EQ(child([&] {
                  captureStderr();
                  KORVAL_Log::setShouldLogToStdErr(true);
                  KORVAL_Log::setApplicationName("Demo");
                  KORVAL_Log::debug("first");
                  KORVAL_Log::err("second");
                  KORVAL_Log::setLogFile(logPath());
                  KORVAL_Log::debug("third");
                  std::fprintf(stderr, "raw stderr\n");
              }),
              0);
    const QStringList lines = logLines();
    ASSERT_GE(lines.size(), 6) << lines.join('\n').toStdString();
    EXPECT_TRUE(lines[0].startsWith("D [") && lines[0].endsWith("] first"));
    EXPECT_TRUE(lines[1].startsWith("E [") && lines[1].endsWith("] second"));
    // The roll's own messages, made before the file opened, come next.
    EXPECT_TRUE(lines[2].endsWith("] Rolling log file."));
    EXPECT_TRUE(lines[3].endsWith("] Rolled previous log file into " + dir.filePath("Demo_old.log")));
    EXPECT_TRUE(lines[4].endsWith("] Starting new log file at " + logPath()));
    EXPECT_TRUE(lines[5].endsWith("] third"));
    EXPECT_FALSE(test::readAll(logPath()).contains("raw stderr"));
    const QString err = QString::fromUtf8(test::readAll(errPath()));
    EXPECT_TRUE(err.startsWith("DEBUG: Demo: first\nERROR: second\nDEBUG: Demo: Rolling log file.\n")) << err.toStdString();
    EXPECT_TRUE(err.contains("DEBUG: Demo: third\nraw stderr\n"));
}

TEST_F(LogTest, StandardErrorOfTheProcessAndItsChildrenLandsInTheFile) {
    ASSERT_EQ(child([&] {
                  captureStderr();
                  KORVAL_Log::setLogFile(logPath());
                  KORVAL_Log::debug("one");
                  std::fprintf(stderr, "from this process\n");
                  std::system("echo from a child process >&2");
                  KORVAL_Log::debug("two");
              }),
              0);
    // Each with the time it was read from standard error; their order among the log's own lines
    // is the timestamps'.
    const QStringList lines = logLines();
    ASSERT_EQ(lines.size(), 4);
    EXPECT_TRUE(lines[0].endsWith("] one"));
    const QRegularExpression stamped(R"(^\[\d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2}\.\d{3} [+-]\d{4}\] \S+\[\d+\] (.*)$)");
    QStringList fromStandardError;
    for (const QString& line : lines) {
        const QRegularExpressionMatch m = stamped.match(line);
        if (m.hasMatch()) fromStandardError += m.captured(1);
    }
    EXPECT_EQ(fromStandardError, QStringList({"from this process", "from a child process"})) << lines.join('\n').toStdString();
    EXPECT_TRUE(lines.filter(QRegularExpression("\\] two$")).size() == 1);
}

TEST_F(LogTest, ChildrenHoldTheLogOnlyAsTheirStandardError) {
    const QString fds = dir.filePath("fds.txt");
    ASSERT_EQ(child([&] {
                  KORVAL_Log::setLogFile(logPath());
                  std::system(QStringLiteral("ls -l /proc/self/fd > '%1'").arg(fds).toLocal8Bit().constData());
              }),
              0);
    // Their standard error is the pipe whose lines are stamped into the log; the log itself is
    // closed on exec.
    const QStringList listed = QString::fromUtf8(test::readAll(fds)).split('\n');
    EXPECT_TRUE(listed.filter(logPath()).isEmpty()) << listed.join('\n').toStdString();
    EXPECT_EQ(listed.filter(QRegularExpression(" 2 -> pipe:")).size(), 1) << listed.join('\n').toStdString();
}

// An unattended player is seldom restarted: the open log rolls while it runs. Eight threads log
// about 13 MB at once; after every line the two files hold at most 11 MiB and a line, and in the
// end each thread's newest lines are there, each whole and once, back to where the old file's
// cap cut them off.
TEST_F(LogTest, TheOpenLogRollsWhileRunningWithinItsBoundsAndKeepsEveryLineWhole) {
    constexpr int kThreads = 8;
    constexpr int kLines = 1600;
    const QString oldPath = dir.filePath("Demo_old.log");
    const QString filler(1000, 'f');
    const qint64 bound = qint64(KORVAL_Log::kOldFileCap + KORVAL_Log::kRollThreshold) + 2 + 31 + 1 + 16 + 1000 + 1;
    ASSERT_EQ(test::runInChild([&] {
                  KORVAL_Log::setLogFile(logPath());
                  std::atomic<bool> withinBound{true};
                  std::vector<std::thread> threads;
                  for (int t = 0; t < kThreads; ++t) {
                      threads.emplace_back([&, t] {
                          for (int i = 0; i < kLines; ++i) {
                              KORVAL_Log::debug(QStringLiteral("%1 %2 %3").arg(QString::number(t), QString::number(i), filler));
                              if (QFileInfo(oldPath).size() + QFileInfo(logPath()).size() > bound) withinBound = false;
                          }
                      });
                  }
                  for (auto& thread : threads) thread.join();
                  return withinBound ? 0 : 2;
              }),
              0);
    const QByteArray old = test::readAll(oldPath);
    EXPECT_LE(old.size(), static_cast<qsizetype>(KORVAL_Log::kOldFileCap));
    EXPECT_GT(old.size(), static_cast<qsizetype>(KORVAL_Log::kOldFileCap - KORVAL_Log::kRollThreshold));
    EXPECT_LT(test::readAll(logPath()).size(), static_cast<qsizetype>(KORVAL_Log::kRollThreshold));
    QStringList lines = QString::fromUtf8(old + test::readAll(logPath())).split('\n');
    ASSERT_EQ(lines.takeLast(), "");
    std::vector<QList<int>> numbers(kThreads);
    for (const QString& line : lines) {
        const auto m = kLine.match(line);
        ASSERT_TRUE(m.hasMatch()) << line.left(80).toStdString();
        const QStringList words = m.captured(5).split(' ');
        if (words.size() == 3 && words[2] == filler) numbers[words[0].toInt()] += words[1].toInt();
    }
    for (const QList<int>& kept : numbers) {
        ASSERT_FALSE(kept.isEmpty());
        QList<int> newest;  // from the first kept line on, every line once, in order
        for (int i = kept.first(); i < kLines; ++i) newest += i;
        EXPECT_EQ(kept, newest);
    }
}

TEST_F(LogTest, TheFileGetsMode0664WhateverTheUmask) {
    ASSERT_EQ(child([&] {
                  umask(077);
                  KORVAL_Log::setLogFile(logPath());
              }),
              0);
    struct stat st {};
    ASSERT_EQ(stat(QFile::encodeName(logPath()).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0664u);
}

TEST_F(LogTest, ASecondLogFileIsRefusedAndLinesKeepGoingToTheFirst) {
    const QString other = dir.filePath("Other.log");
    ASSERT_EQ(test::runInChild([&] {
                  if (!KORVAL_Log::setLogFile(logPath())) return 2;
                  if (KORVAL_Log::setLogFile(other)) return 3;
                  KORVAL_Log::debug("still here");
                  return 0;
              }),
              0);
    EXPECT_TRUE(logLines().last().endsWith("] still here"));
    EXPECT_FALSE(QFile::exists(other));
}

TEST_F(LogTest, AFileInAMissingFolderIsNotMadeAndLinesAreDropped) {
    const QString missing = dir.filePath("no/such/folder/Demo.log");
    ASSERT_EQ(test::runInChild([&] {
                  captureStderr();
                  if (KORVAL_Log::setLogFile(missing)) return 2;
                  KORVAL_Log::debug("nowhere");
                  return 0;
              }),
              0);
    EXPECT_FALSE(QFile::exists(dir.filePath("no")));
    EXPECT_TRUE(test::readAll(errPath()).isEmpty());

    // With echo on, the failure is reported on standard error.
    ASSERT_EQ(test::runInChild([&] {
                  captureStderr();
                  KORVAL_Log::setShouldLogToStdErr(true);
                  return KORVAL_Log::setLogFile(missing) ? 2 : 0;
              }),
              0);
    const QString err = QString::fromUtf8(test::readAll(errPath()));
    EXPECT_TRUE(err.contains("Failed to open log file at " + missing + "; error 2 \"No such file or directory\""))
        << err.toStdString();
}

TEST_F(LogTest, NotificationsAndTheApplicationNameAreOptIn) {
    ASSERT_EQ(test::runInChild([&] {
                  KORVAL_Log::setLogFile(logPath());
                  QString seenLine, seenPath;
                  const int observer = 0;
                  NotificationCenter::defaultCenter().addObserver(
                      &observer, KORVAL_LogFileDidUpdate, nullptr, [&](const Notification& n) {
                          seenLine = n.userInfo->value(KORVAL_LogFileAddedString).toString();
                          seenPath = std::any_cast<QString>(n.object);
                      });
                  KORVAL_Log::debug("quiet");
                  if (!seenLine.isNull()) return 2;
                  KORVAL_Log::setShouldNotifyForLogUpdates(true);
                  KORVAL_Log::setShouldLogAppName(true);
                  KORVAL_Log::setApplicationName("Demo");
                  KORVAL_Log::debug("loud");
                  if (!seenLine.endsWith("] Demo: loud\n") || !seenLine.startsWith("D [")) return 3;
                  return seenPath == logPath() ? 0 : 4;
              }),
              0);
    EXPECT_TRUE(logLines().last().endsWith("] Demo: loud"));
}

TEST_F(LogTest, TheMemoryBufferStaysBounded) {
    ASSERT_EQ(child([&] {
                  captureStderr();
                  KORVAL_Log::setShouldLogToStdErr(true);
                  const QString filler(950, 'm');
                  for (int i = 0; i < 2000; ++i) KORVAL_Log::debug(QString::number(i) + " " + filler);
                  KORVAL_Log::setLogFile(logPath());
              }),
              0);
    const QByteArray bytes = test::readAll(logPath());
    // Above 1,000,000 characters the oldest 10,000 go before each append.
    EXPECT_LE(bytes.size(), KORVAL_Log::kMemoryBufferLimit + 1000);
    EXPECT_GT(bytes.size(), KORVAL_Log::kMemoryBufferLimit - KORVAL_Log::kMemoryBufferTrim);
    EXPECT_TRUE(bytes.contains("] 1999 m"));
    EXPECT_FALSE(bytes.contains("] 0 m"));
}

// The system's zone changed while the program runs (here through TZ): the log's stamps and the
// dates that name the day's folder follow within about a second, without a restart.
TEST_F(LogTest, StampsAndDatesFollowAChangeOfTheSystemsTimeZone) {
    EXPECT_EQ(child([&] {
                  const auto at = DateFormatter::Clock::time_point(std::chrono::hours(24 * 20794 + 20));  // 2026-12-07 20:00Z
                  const DateFormatter day("yyyyMMdd HH");
                  setenv("TZ", "UTC", 1);
                  if (!test::waitUntil([&] { return day.stringFromDate(at) == "20261207 20"; }, 5000)) _exit(2);
                  KORVAL_Log::setLogFile(logPath());
                  KORVAL_Log::debug("in UTC");
                  setenv("TZ", "Asia/Tokyo", 1);
                  if (!test::waitUntil([&] { return day.stringFromDate(at) == "20261208 05"; }, 5000)) _exit(3);
                  if (DateFormatter("yyyyMMdd").stringFromDate(at) != "20261208") _exit(4);
                  KORVAL_Log::debug("in Tokyo");
              }),
              0);
    const QStringList lines = logLines();
    ASSERT_GE(lines.size(), 2);
    EXPECT_TRUE(lines.filter(" +0000] in UTC").size() == 1) << lines.join('\n').toStdString();
    EXPECT_TRUE(lines.filter(" +0900] in Tokyo").size() == 1) << lines.join('\n').toStdString();
}

TEST(LogDateTest, TimestampUsesTheCalendarYearAndTheZoneOffset) {
    DateFormatter stamp(kLogTimestampPattern, "en_GB", "Europe/Paris");
    auto at = [](const char* iso) {
        return DateFormatter::Clock::time_point(
            std::chrono::milliseconds(QDateTime::fromString(iso, Qt::ISODateWithMs).toMSecsSinceEpoch()));
    };
    EXPECT_EQ(stamp.stringFromDate(at("2024-03-05T13:07:09.042Z")), "[2024/03/05 14:07:09.042 +0100]");
    // Days whose week belongs to the other year keep their own year: Monday 28 December 2026
    // starts week 53 of 2026, Monday 30 December 2024 the first week of 2025, Friday
    // 1 January 2021 the last week of 2020.
    EXPECT_EQ(stamp.stringFromDate(at("2026-12-28T11:00:00.000Z")), "[2026/12/28 12:00:00.000 +0100]");
    EXPECT_EQ(stamp.stringFromDate(at("2024-12-30T11:00:00.000Z")), "[2024/12/30 12:00:00.000 +0100]");
    EXPECT_EQ(stamp.stringFromDate(at("2021-01-01T11:00:00.000Z")), "[2021/01/01 12:00:00.000 +0100]");
    EXPECT_EQ(stamp.stringFromDate(at("2024-07-01T00:00:00.000Z")), "[2024/07/01 02:00:00.000 +0200]");
    // Digits stay Latin whatever the locale.
    DateFormatter arabic("yyyyMMdd", "ar_EG", "UTC");
    EXPECT_EQ(arabic.stringFromDate(at("2026-12-07T10:00:00.000Z")), "20261207");
}

TEST_F(LogTest, UnderSystemdEveryLineAlsoReachesTheJournalWithItsLevelAsPriority) {
    // The journal's stream is whatever standard error was when the log opened, named by
    // JOURNAL_STREAM as device:inode.
    const int status = child([&] {
        captureStderr();
        struct stat st {};
        fstat(2, &st);
        setenv("JOURNAL_STREAM", QByteArray::number(qulonglong(st.st_dev)) + ":" + QByteArray::number(qulonglong(st.st_ino)), 1);
        KORVAL_Log::setLogFile(logPath());
        KORVAL_Log::debug("one\ntwo");
        KORVAL_Log::logLevel(0, "info");
        KORVAL_Log::err("error\nin one entry");
        KORVAL_Log::logLevel(4, "warn");
        systemLog("from the platform");
        std::system("echo from a child process >&2");
    });
    ASSERT_EQ(status, 0);
    EXPECT_EQ(QString::fromUtf8(test::readAll(errPath())),
              "<7>one\n<7>two\n<6>info\n<3>error in one entry\n<4>warn\n<5>from the platform\n");
    const QString log = QString::fromUtf8(test::readAll(logPath()));
    EXPECT_TRUE(log.contains("] warn\n"));
    EXPECT_TRUE(log.contains(QRegularExpression(R"(\n\[\d{4}/\d{2}/\d{2} [^\]]+\] \S+\[\d+:\d+\] from the platform\n)"))) << log.toStdString();
    // A child's line on standard error carries the time too, and is in the file although the
    // process ended right after it.
    EXPECT_TRUE(log.contains(QRegularExpression(R"(\n\[\d{4}/\d{2}/\d{2} [^\]]+\] \S+\[\d+\] from a child process\n)"))) << log.toStdString();

    // A JOURNAL_STREAM inherited from elsewhere names another stream: nothing goes there.
    ASSERT_EQ(child([&] {
                  captureStderr();
                  setenv("JOURNAL_STREAM", "1:2", 1);
                  KORVAL_Log::setLogFile(dir.filePath("other.log"));
                  KORVAL_Log::debug("only in the file");
              }),
              0);
    EXPECT_TRUE(test::readAll(errPath()).isEmpty());
    EXPECT_TRUE(test::readAll(dir.filePath("other.log")).contains("] only in the file\n"));
}

TEST_F(LogTest, ALineSaidAgainAndAgainIsWrittenOnceUntilItsIntervalIsOver) {
    ASSERT_EQ(child([&] {
                  KORVAL_Log::setLogFile(logPath());
                  for (int i = 0; i < 5; ++i) {
                      KORVAL_Log::debugRepeatable("the folder is missing");
                      KORVAL_Log::debug("between");
                  }
              }),
              0);
    const QString log = QString::fromUtf8(test::readAll(logPath()));
    EXPECT_EQ(log.count("] the folder is missing\n"), 1) << log.toStdString();
    EXPECT_EQ(log.count("] between\n"), 5);
}

TEST(RepeatedLinesTest, HeldBackLinesAreCountedAndWrittenOnceAnInterval) {
    using namespace std::chrono_literals;
    RepeatedLines lines(60s);
    const RepeatedLines::Clock::time_point t0{};
    EXPECT_EQ(lines.pass("missing", t0), QString("missing"));
    for (int s = 2; s < 60; s += 2) EXPECT_FALSE(lines.pass("missing", t0 + std::chrono::seconds(s))) << s;
    // Another line is not held back by this one.
    EXPECT_EQ(lines.pass("other", t0 + 30s), QString("other"));
    // 29 held back, and this one.
    EXPECT_EQ(lines.pass("missing", t0 + 60s), QString("missing (repeated 30 times)"));
    EXPECT_FALSE(lines.pass("missing", t0 + 61s));
    EXPECT_EQ(lines.pass("missing", t0 + 121s), QString("missing (repeated 2 times)"));
    // Said again only after a long quiet: plain again.
    EXPECT_EQ(lines.pass("missing", t0 + 300s), QString("missing"));

    // The lines remembered are bounded; the one quiet for longest is forgotten and, said again,
    // is written as new.
    RepeatedLines few(60s);
    for (int i = 0; i <= RepeatedLines::kRemembered; ++i) EXPECT_TRUE(few.pass(QString::number(i), t0 + std::chrono::seconds(i)));
    EXPECT_EQ(few.pass("0", t0 + 40s), QString("0"));
    EXPECT_FALSE(few.pass(QString::number(RepeatedLines::kRemembered), t0 + 41s));
}

}  // namespace
