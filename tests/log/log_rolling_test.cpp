#include "log/KORVAL_Log.h"

#include "TestSupport.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>

// Rolling logs through the log facility, which has no file open in this process, so its
// messages are dropped and only the files tell what happened.
namespace {

// Lines of `lineLength` bytes (newline included) up to exactly `size` bytes; the last line may be short.
QByteArray linesOf(qsizetype size, char fill, qsizetype lineLength = 100) {
    QByteArray out;
    out.reserve(size);
    while (out.size() < size) {
        const qsizetype n = std::min(lineLength, size - out.size());
        out.append(QByteArray(n - 1, fill)).append('\n');
    }
    return out;
}

mode_t modeOf(const QString& path) {
    struct stat st {};
    stat(QFile::encodeName(path).constData(), &st);
    return st.st_mode & 07777;
}

class LogRollingTest : public ::testing::Test {
protected:
    QString path(const QString& name) const { return dir.filePath(name); }
    QTemporaryDir dir;
};

TEST_F(LogRollingTest, RollsAtOneMebibyteAndNotOneByteBelow) {
    const QByteArray below = linesOf(1048575, 'a');
    test::writeAll(path("Demo.log"), below);
    KORVAL_Log::rollLogFileIfNecessary(path("Demo.log"));
    EXPECT_EQ(test::readAll(path("Demo.log")), below);
    EXPECT_FALSE(QFile::exists(path("Demo_old.log")));

    const QByteArray at = linesOf(1048576, 'b');
    test::writeAll(path("Demo.log"), at);
    umask(077);
    KORVAL_Log::rollLogFileIfNecessary(path("Demo.log"));
    umask(022);
    // The first roll makes the old file with exactly the log's bytes and empties the log.
    EXPECT_EQ(test::readAll(path("Demo_old.log")), at);
    EXPECT_TRUE(QFile::exists(path("Demo.log")));
    EXPECT_EQ(QFileInfo(path("Demo.log")).size(), 0);
    EXPECT_EQ(modeOf(path("Demo_old.log")), 0664u);
}

TEST_F(LogRollingTest, TheOldFileKeepsTheNewestTenMebibytesOfWholeLines) {
    const QByteArray old = linesOf(10000000, 'o', 77);
    const QByteArray log = linesOf(1048576, 'n', 64);
    test::writeAll(path("Demo_old.log"), old);
    test::writeAll(path("Demo.log"), log);
    KORVAL_Log::rollLogFileIfNecessary(path("Demo.log"));

    const QByteArray combined = old + log;
    ASSERT_EQ(combined.size(), 11048576);
    const qsizetype cut = combined.indexOf('\n', 11048576 - 10485761) + 1;
    ASSERT_EQ(11048576 - 10485761, 562815);
    const QByteArray result = test::readAll(path("Demo_old.log"));
    EXPECT_EQ(result, combined.mid(cut));
    EXPECT_LE(result.size(), 10485760);
    EXPECT_TRUE(result.endsWith(log));
}

TEST_F(LogRollingTest, ACutThatLandsOnANewlineKeepsExactlyTheCap) {
    // Byte 0 is a newline at index L - 10,485,761, so the kept tail is exactly 10 MiB.
    QByteArray old = "\n" + linesOf(10485760 - 1048576, 'o');
    const QByteArray log = linesOf(1048576, 'n');
    test::writeAll(path("Demo_old.log"), old);
    test::writeAll(path("Demo.log"), log);
    KORVAL_Log::rollLogFileIfNecessary(path("Demo.log"));
    EXPECT_EQ(test::readAll(path("Demo_old.log")).size(), 10485760);
}

TEST_F(LogRollingTest, ACombinedContentOfExactlyTheCapStaysWhole) {
    const QByteArray old = linesOf(10485760 - 1048576, 'o');
    const QByteArray log = linesOf(1048576, 'n');
    test::writeAll(path("Demo_old.log"), old);
    test::writeAll(path("Demo.log"), log);
    KORVAL_Log::rollLogFileIfNecessary(path("Demo.log"));
    EXPECT_EQ(test::readAll(path("Demo_old.log")), old + log);
}

TEST_F(LogRollingTest, ATailWithoutNewlinesLeavesTheOldFileEmpty) {
    test::writeAll(path("Demo_old.log"), QByteArray(10485760, 'o'));
    test::writeAll(path("Demo.log"), QByteArray(1048576, 'n'));
    KORVAL_Log::rollLogFileIfNecessary(path("Demo.log"));
    EXPECT_TRUE(QFile::exists(path("Demo_old.log")));
    EXPECT_EQ(QFileInfo(path("Demo_old.log")).size(), 0);
}

TEST_F(LogRollingTest, TheOldFileIsNamedAfterTheLogFile) {
    const QByteArray big = linesOf(1048576, 'x');
    test::writeAll(path("Demo"), big);
    KORVAL_Log::rollLogFileIfNecessary(path("Demo"));
    EXPECT_EQ(test::readAll(path("Demo_old.log")), big);

    test::writeAll(path("notes.txt"), big);
    KORVAL_Log::rollLogFileIfNecessary(path("notes.txt"));
    EXPECT_EQ(test::readAll(path("notes_old.txt")), big);

    // An explicit destination is used as it is, whatever its name, at any threshold.
    test::writeAll(path("small.log"), "one line\n");
    KORVAL_Log::rollLogFile(path("small.log"), path("elsewhere.bin"), 4);
    EXPECT_EQ(test::readAll(path("elsewhere.bin")), "one line\n");
    EXPECT_EQ(QFileInfo(path("small.log")).size(), 0);

    KORVAL_Log::rollLogFileIfNecessary(path("missing.log"));
    EXPECT_FALSE(QFile::exists(path("missing.log")));
    EXPECT_FALSE(QFile::exists(path("missing_old.log")));
}

// Only the last 10,485,761 bytes of the two files can be kept, and only they are read: a log
// of a 256 MiB hole (zeros, no newline) and 2 MiB of lines, rolled in a child whose peak memory
// is measured, keeps its lines from the second one on.
TEST_F(LogRollingTest, AHugeLogIsRolledWithoutBeingReadWhole) {
    const QByteArray lines = linesOf(2 * 1048576, 'n');
    {
        QFile log(path("Demo.log"));
        ASSERT_TRUE(log.open(QIODevice::WriteOnly) && log.resize(256 * 1048576) && log.seek(log.size()));
        ASSERT_EQ(log.write(lines), lines.size());
    }
    test::writeAll(path("Demo_old.log"), linesOf(3 * 1048576, 'o'));
    const int status = test::runInChild([&] {
        rusage before {}, after {};
        getrusage(RUSAGE_SELF, &before);
        KORVAL_Log::rollLogFileIfNecessary(path("Demo.log"));
        getrusage(RUSAGE_SELF, &after);
        return after.ru_maxrss - before.ru_maxrss < 32 * 1024 ? 0 : 2;  // kibibytes
    });
    EXPECT_EQ(status, 0);
    EXPECT_EQ(test::readAll(path("Demo_old.log")), lines.mid(lines.indexOf('\n') + 1));
    EXPECT_EQ(QFileInfo(path("Demo.log")).size(), 0);
}

TEST_F(LogRollingTest, AFailedWriteOfTheOldFileLeavesTheLogWhole) {
    const QByteArray big = linesOf(1048576, 'x');
    test::writeAll(path("Demo.log"), big);
    // A folder where the old file should go cannot be written as a file.
    QDir(dir.path()).mkdir("Demo_old.log");
    KORVAL_Log::rollLogFileIfNecessary(path("Demo.log"));
    EXPECT_EQ(test::readAll(path("Demo.log")), big);
    EXPECT_TRUE(QFileInfo(path("Demo_old.log")).isDir());
}

}  // namespace
