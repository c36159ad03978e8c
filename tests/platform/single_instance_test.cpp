#include "platform/core/RunningApplication.h"

#include <QDir>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include <signal.h>

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
