#include "platform/core/ShellCommand.h"

#include "TestSupport.h"

#include <QElapsedTimer>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <csignal>

namespace {

TEST(ShellCommandTest, CapturesStandardOutputOnly) {
    const ShellOutput out = runShellCapturingOutput("printf 'one\\ntwo\\n'; echo err >&2", 1000, 10000);
    EXPECT_EQ(out.status, ShellOutput::Finished);
    EXPECT_EQ(out.bytes, "one\ntwo\n");
}

TEST(ShellCommandTest, ReadsNoMoreThanAskedAndStopsAWriterThatGoesOn) {
    QElapsedTimer clock;
    clock.start();
    const ShellOutput out = runShellCapturingOutput("yes 0123456789", 100000, 10000);
    EXPECT_EQ(out.status, ShellOutput::Finished);
    EXPECT_EQ(out.bytes.size(), 100000);
    EXPECT_TRUE(out.bytes.startsWith("0123456789\n0123456789\n"));
    EXPECT_LT(clock.elapsed(), 5000);
}

TEST(ShellCommandTest, ACommandPastItsTimeIsKilledWithWhatItStartedAndReaped) {
    QTemporaryDir dir;
    const QString pids = dir.filePath("pids");
    QElapsedTimer clock;
    clock.start();
    // The shell and a child of its own, both stuck.
    const ShellOutput out = runShellCapturingOutput(
        QFile::encodeName(QString("sleep 60 & echo $! > '%1'; echo $$ >> '%1'; echo partial; wait").arg(pids)), 1000, 700);
    EXPECT_EQ(out.status, ShellOutput::TimedOut);
    EXPECT_TRUE(out.bytes.isEmpty());
    EXPECT_LT(clock.elapsed(), 3000);
    const QList<QByteArray> ids = test::readAll(pids).trimmed().split('\n');
    ASSERT_EQ(ids.size(), 2);
    for (const QByteArray& id : ids) {
        const pid_t pid = id.toInt();
        // Reaped: no zombie left with this number.
        EXPECT_TRUE(test::waitUntil([pid] { return kill(pid, 0) != 0; }, 2000, 20)) << pid;
    }
}

TEST(ShellCommandTest, TheCommandSeesNoInputAndAFreshSignalState) {
    const ShellOutput out = runShellCapturingOutput("cat; trap; echo done", 1000, 10000);
    EXPECT_EQ(out.bytes, "done\n");
}

}  // namespace
