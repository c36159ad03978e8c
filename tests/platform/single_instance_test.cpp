#include "platform/core/RunningApplication.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>

#include "TestSupport.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

class SingleInstanceTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(runtime.isValid()); }

    std::unique_ptr<QProcess> probe(int stayMs, const QStringList& extra = {}) {
        auto p = std::make_unique<QProcess>();
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("XDG_RUNTIME_DIR", runtime.path());
        p->setProcessEnvironment(env);
        p->start(QStringLiteral(VORN_TEST_HELPERS "/instance_probe"),
                 QStringList{"org.vorn.test.Probe", QString::number(stayMs)} + extra);
        return p;
    }

    static QString firstLine(QProcess& p) {
        while (!p.canReadLine() && p.waitForReadyRead(10000)) {
        }
        return QString::fromUtf8(p.readLine()).trimmed();
    }

    static bool waitForLine(QProcess& p, const QString& line) {
        for (;;) {
            while (p.canReadLine()) {
                if (QString::fromUtf8(p.readLine()).trimmed() == line) return true;
            }
            if (!p.waitForReadyRead(10000)) return false;
        }
    }

    QTemporaryDir runtime;
};

TEST_F(SingleInstanceTest, ASecondLaunchFindsTheFirstAndBringsItForward) {
    auto first = probe(20000);
    const QString line = firstLine(*first);
    ASSERT_TRUE(line.startsWith("primary ")) << line.toStdString();
    const QString pid = line.mid(8);

    auto second = probe(0);
    EXPECT_EQ(firstLine(*second), "secondary " + pid);
    EXPECT_EQ(firstLine(*second), "sent 1");
    ASSERT_TRUE(second->waitForFinished(10000));
    EXPECT_EQ(second->exitCode(), 0);
    EXPECT_TRUE(waitForLine(*first, "activated"));
    first->kill();
    first->waitForFinished();
}

TEST_F(SingleInstanceTest, TenLaunchesAtOnceLeaveExactlyOneInstance) {
    std::vector<std::unique_ptr<QProcess>> launches;
    for (int i = 0; i < 10; ++i) launches.push_back(probe(3000));
    int primaries = 0;
    QString primaryPid;
    QStringList secondaries;
    for (auto& p : launches) {
        const QString line = firstLine(*p);
        if (line.startsWith("primary ")) {
            ++primaries;
            primaryPid = line.mid(8);
        } else {
            secondaries += line;
        }
    }
    EXPECT_EQ(primaries, 1);
    ASSERT_EQ(secondaries.size(), 9);
    for (const QString& s : secondaries) EXPECT_EQ(s, "secondary " + primaryPid);
    for (auto& p : launches) p->waitForFinished(15000);
}

TEST_F(SingleInstanceTest, AnInstanceThatDiedLeavesNothingBehindThatBlocksTheNext) {
    auto first = probe(20000);
    ASSERT_TRUE(firstLine(*first).startsWith("primary "));
    if (first->processId() > 0) ::kill(static_cast<pid_t>(first->processId()), SIGKILL);
    first->waitForFinished();
    // Lock and socket files are still there, but the lock is free again.
    EXPECT_TRUE(QDir(runtime.path()).exists("org.vorn.test.Probe.lock"));
    auto next = probe(20000);
    ASSERT_TRUE(firstLine(*next).startsWith("primary "));
    auto third = probe(0);
    EXPECT_EQ(firstLine(*third), "secondary " + QString::number(next->processId()));
    EXPECT_EQ(firstLine(*third), "sent 1");
    EXPECT_TRUE(waitForLine(*next, "activated"));
    next->kill();
    next->waitForFinished();
}

// A holder whose main thread has ended while another thread of it stays (a real zombie that keeps
// its files, the lock among them) is taken over by exactly one of ten launches made at once; a
// holder whose main thread only sleeps is not.
TEST_F(SingleInstanceTest, OnlyAHolderWhoseMainThreadEndedIsTakenOverAndByOneLaunch) {
    auto slow = probe(3000, {"--main-thread-hangs"});
    ASSERT_TRUE(firstLine(*slow).startsWith("primary "));
    auto beside = probe(0);
    EXPECT_EQ(firstLine(*beside), "secondary " + QString::number(slow->processId()));
    slow->kill();
    slow->waitForFinished();

    auto stale = probe(20000, {"--main-thread-ends"});
    ASSERT_TRUE(firstLine(*stale).startsWith("primary "));
    const QString stalePid = QString::number(stale->processId());
    ASSERT_TRUE(test::waitUntil([&] {
        const QByteArray stat = test::readAll("/proc/" + stalePid + "/stat");
        return stat.mid(stat.lastIndexOf(')') + 2, 1) == "Z";
    }, 10000, 20));
    const int fd = open(QFile::encodeName(runtime.filePath("org.vorn.test.Probe.lock")).constData(), O_RDONLY | O_CLOEXEC);
    EXPECT_NE(flock(fd, LOCK_EX | LOCK_NB), 0) << "the zombie still holds the lock";
    close(fd);

    std::vector<std::unique_ptr<QProcess>> launches;
    for (int i = 0; i < 10; ++i) launches.push_back(probe(3000));
    QStringList primaries, secondaries;
    for (auto& p : launches) {
        const QString line = firstLine(*p);
        (line.startsWith("primary ") ? primaries : secondaries) += line;
        if (line.startsWith("primary ")) {
            EXPECT_EQ(firstLine(*p), "replaced " + stalePid + ": its main thread has ended (state Z); threads left: 1, "
                                     "of which in uninterruptible wait (state D): 0");
        }
    }
    ASSERT_EQ(primaries.size(), 1) << primaries.join(", ").toStdString();
    for (const QString& s : secondaries) EXPECT_EQ(s, "secondary " + primaries.first().mid(8));
    for (auto& p : launches) p->waitForFinished(15000);
    stale->kill();
    stale->waitForFinished();
}

TEST_F(SingleInstanceTest, ARequestBeforeTheHandlerIsKeptForIt) {
    auto first = probe(20000, {"--late-handler"});
    ASSERT_TRUE(firstLine(*first).startsWith("primary "));
    auto second = probe(0);
    firstLine(*second);
    EXPECT_EQ(firstLine(*second), "sent 1");
    EXPECT_TRUE(waitForLine(*first, "activated"));
    first->kill();
    first->waitForFinished();
}

}  // namespace
