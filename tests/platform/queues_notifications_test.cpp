#include "platform/core/NotificationCenter.h"
#include "platform/core/Queues.h"
#include "platform/core/ServiceManager.h"
#include "platform/core/ShellCommand.h"

#include "TestSupport.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <condition_variable>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

namespace {

using test::waitUntil;

TEST(QueuesTest, ASerialQueueRunsItsJobsOneAtATimeInOrder) {
    auto queue = DispatchQueue::createSerial();
    std::mutex m;
    std::vector<int> order;
    std::atomic<int> running{0};
    std::atomic<bool> overlapped{false};
    for (int i = 0; i < 200; ++i) {
        queue->async([&, i] {
            if (running.fetch_add(1) != 0) overlapped = true;
            if (i % 50 == 0) waitMicroseconds(2000);
            {
                std::lock_guard<std::mutex> lock(m);
                order.push_back(i);
            }
            running.fetch_sub(1);
        });
    }
    queue.reset();  // queued jobs still run without the handle
    ASSERT_TRUE(waitUntil([&] {
        std::lock_guard<std::mutex> lock(m);
        return order.size() == 200;
    }));
    EXPECT_FALSE(overlapped);
    for (int i = 0; i < 200; ++i) EXPECT_EQ(order[i], i);
}

// After a burst has left several threads idle, jobs that come one at a time keep to the thread
// that went idle last (at most a second one while it is on its way back): the others sleep on
// and retire, rather than each waking in turn.
TEST(QueuesTest, JobsOneAfterAnotherKeepToTheThreadIdleLast) {
    DispatchQueue& queue = DispatchQueue::global(DispatchQueue::Priority::High);
    std::mutex m;
    std::condition_variable cv;
    int started = 0;
    std::atomic<int> finished{0};
    for (int i = 0; i < 4; ++i) {
        queue.async([&] {
            std::unique_lock<std::mutex> lock(m);
            ++started;
            cv.notify_all();
            cv.wait(lock, [&] { return started == 4; });
            ++finished;
        });
    }
    ASSERT_TRUE(waitUntil([&] { return finished == 4; }));

    std::set<std::thread::id> threads;
    for (int i = 0; i < 12; ++i) {
        std::atomic<bool> ran{false};
        std::thread::id ranOn;
        queue.async([&] {
            ranOn = std::this_thread::get_id();
            ran = true;
        });
        ASSERT_TRUE(waitUntil([&] { return ran.load(); }));
        threads.insert(ranOn);
    }
    EXPECT_LE(threads.size(), 2u);
}

TEST(QueuesTest, GlobalQueuesRunJobsSideBySideOffTheCallingThread) {
    // Four jobs that each wait for all four to have started can only finish if they run at once.
    std::mutex m;
    std::condition_variable cv;
    int started = 0;
    std::atomic<int> finished{0};
    std::set<std::thread::id> threads;
    for (int i = 0; i < 4; ++i) {
        DispatchQueue::global(i % 2 ? DispatchQueue::Priority::High : DispatchQueue::Priority::Default).async([&] {
            std::unique_lock<std::mutex> lock(m);
            ++started;
            threads.insert(std::this_thread::get_id());
            cv.notify_all();
            cv.wait_for(lock, std::chrono::seconds(5), [&] { return started == 4; });
            if (started == 4) ++finished;
        });
    }
    ASSERT_TRUE(waitUntil([&] { return finished.load() == 4; }));
    EXPECT_EQ(threads.size(), 4u);
    EXPECT_EQ(threads.count(std::this_thread::get_id()), 0u);
}

TEST(QueuesTest, AJobThatThrowsDoesNotStopItsQueue) {
    auto queue = DispatchQueue::createSerial();
    std::atomic<bool> ranAfter{false};
    queue->async([] { throw std::runtime_error("bad job"); });
    queue->async([&] { ranAfter = true; });
    EXPECT_TRUE(waitUntil([&] { return ranAfter.load(); }));
}

TEST(QueuesTest, TheMainQueueRunsOnTheEventLoopThread) {
    int argc = 1;
    char name[] = "queues_test";
    char* argv[] = {name, nullptr};
    QCoreApplication app(argc, argv);
    std::vector<int> order;
    std::atomic<bool> mainFromWorker{true};
    DispatchQueue::main().async([&] { order.push_back(1); });
    DispatchQueue::main().async([&] { order.push_back(2); });
    DispatchQueue::global(DispatchQueue::Priority::Default).async([&] {
        mainFromWorker = isMainThread();
        DispatchQueue::main().async([&] {
            order.push_back(isMainThread() ? 3 : -3);
            QCoreApplication::quit();
        });
    });
    EXPECT_TRUE(isMainThread());
    EXPECT_TRUE(order.empty());  // nothing runs before the loop does
    app.exec();
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
    EXPECT_FALSE(mainFromWorker.load());
}

// Shutting down is for good, so it runs in a fresh process of its own (a re-executed copy of
// this test program, not a fork: the worker threads of earlier tests must not be half there).
int shutDownWhileBusy() {
    {
        std::atomic<bool> waitCutShort{false};
        std::atomic<int> commandStatus{-1};
        std::atomic<bool> queuedJobRan{false};
        std::atomic<bool> started{false};
        auto serial = DispatchQueue::createSerial();
        serial->async([&] {
            started = true;
            waitCutShort = !waitMicroseconds(60 * 1000 * 1000);
        });
        serial->async([&] { queuedJobRan = true; });
        DispatchQueue::global(DispatchQueue::Priority::High).async([&] {
            commandStatus = runShellCapturingOutput("sleep 30", 100, 60000).status;
        });
        if (!waitUntil([&] { return started.load(); })) return 2;
        QElapsedTimer clock;
        clock.start();
        if (!DispatchQueue::shutdown(std::chrono::seconds(20))) return 3;
        // Neither the minute's wait nor the half-minute command held the shutdown up.
        if (clock.elapsed() > 5000) return 4;
        if (!waitCutShort || !queuedJobRan || commandStatus != ShellOutput::Cancelled) return 5;
        if (DispatchQueue::global(DispatchQueue::Priority::Default).async([] {})) return 6;
        if (serial->async([] {})) return 7;
        return waitMicroseconds(1000000) ? 8 : 0;
    }
}

TEST(QueuesTest, ShutdownCutsWaitsAndCommandsShortRunsWhatIsQueuedAndJoins) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(std::exit(shutDownWhileBusy()), ::testing::ExitedWithCode(0), "");
}

// Sets an environment variable, or clears it for a null value, until the end of the scope.
class ScopedVariable {
public:
    ScopedVariable(const char* name, const char* value) : name_(name), had_(qEnvironmentVariableIsSet(name)), old_(qgetenv(name)) {
        if (value) {
            qputenv(name, value);
        } else {
            qunsetenv(name);
        }
    }
    ~ScopedVariable() {
        if (had_) {
            qputenv(name_, old_);
        } else {
            qunsetenv(name_);
        }
    }

private:
    const char* name_;
    bool had_;
    QByteArray old_;
};

// Calls a main-thread-only entry point from a worker thread `times` times, in an application.
void callTheMainThreadsEntryPointFromAWorker(int times) {
    int argc = 1;
    char name[] = "contracts_test";
    char* argv[] = {name, nullptr};
    QCoreApplication app(argc, argv);
    std::thread([times] {
        for (int i = 0; i < times; ++i) ServiceManager::startWatchdog({});
    }).join();
}

const char* const kBrokenOffTheMainThread =
    "Contract broken in .*ServiceManager::startWatchdog.*: must run on the main thread; called on thread [0-9]+ ";

// Contracts are read once per process, so each case runs in a fresh copy of this program with the
// variable of its own.
TEST(ThreadContractDeathTest, AWrongThreadCallAbortsWhenContractsAreFatal) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const ScopedVariable fatal("VORN_CONTRACTS", "abort");
    EXPECT_DEATH(callTheMainThreadsEntryPointFromAWorker(1), kBrokenOffTheMainThread);
}

// Writes what the calls report to a file of its own, and exits with the number of reports.
int reportsOfThreeWrongThreadCalls() {
    const QString path = test::isolatedFolder() + "/contract-reports";
    {
        test::StderrToFile toFile(path);
        callTheMainThreadsEntryPointFromAWorker(3);
    }
    const QByteArray reports = test::readAll(path);
    QFile::remove(path);
    fputs(reports.constData(), stderr);
    return static_cast<int>(reports.count("Contract broken"));
}

TEST(ThreadContractDeathTest, OtherwiseAWrongThreadCallIsLoggedOnceAndTheProgramGoesOn) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    for (const char* value : {static_cast<const char*>(nullptr), "", "log"}) {
        const ScopedVariable logged("VORN_CONTRACTS", value);
        EXPECT_EXIT(std::exit(reportsOfThreeWrongThreadCalls()), ::testing::ExitedWithCode(1),
                    std::string(kBrokenOffTheMainThread) + ".*the program goes on")
            << "VORN_CONTRACTS=" << (value ? value : "(unset)");
    }
}

TEST(NotificationCenterTest, DeliversByNameAndSenderOnThePostingThread) {
    NotificationCenter center;
    int a = 0, b = 0, any = 0;
    const int senderA = 0, senderB = 0;
    const int observer = 0;
    std::thread::id deliveredOn;
    std::vector<QString> seen;
    center.addObserver(&observer, "ItemDidEnd", &senderA, [&](const Notification& n) {
        ++a;
        deliveredOn = std::this_thread::get_id();
        seen.push_back(std::any_cast<QString>(n.object));
    });
    center.addObserver(&observer, "ItemDidEnd", nullptr, [&](const Notification&) { ++b; });
    center.addObserver(&observer, QString(), nullptr, [&](const Notification&) { ++any; });

    std::thread poster([&] { center.postNotificationName("ItemDidEnd", &senderA, QString("a.mp4")); });
    poster.join();
    center.postNotificationName("ItemDidEnd", &senderB, QString("b.mp4"));
    center.postNotificationName("Other", &senderA);
    EXPECT_EQ(a, 1);
    EXPECT_EQ(b, 2);
    EXPECT_EQ(any, 3);
    EXPECT_NE(deliveredOn, std::this_thread::get_id());
    EXPECT_EQ(seen, std::vector<QString>{"a.mp4"});
}

TEST(NotificationCenterTest, RemovingAnObserverEndsAllItsRegistrationsEvenDuringDelivery) {
    NotificationCenter center;
    const int first = 0, second = 0;
    int firstCalls = 0, secondCalls = 0;
    // The first handler removes the second observer while the notification is being delivered.
    center.addObserver(&first, "n", nullptr, [&](const Notification&) {
        ++firstCalls;
        center.removeObserver(&second);
    });
    center.addObserver(&second, "n", nullptr, [&](const Notification&) { ++secondCalls; });
    center.addObserver(&second, "m", nullptr, [&](const Notification&) { ++secondCalls; });
    center.postNotificationName("n", nullptr);
    center.postNotificationName("m", nullptr);
    EXPECT_EQ(firstCalls, 1);
    EXPECT_EQ(secondCalls, 0);
    EXPECT_EQ(center.observerCount(), 1u);
    center.removeObserver(&first, "n");
    EXPECT_EQ(center.observerCount(), 0u);
}

TEST(NotificationCenterTest, UserInfoIsAbsentUnlessGiven) {
    NotificationCenter center;
    const int observer = 0;
    std::vector<bool> had;
    center.addObserver(&observer, "n", nullptr, [&](const Notification& n) { had.push_back(n.userInfo.has_value()); });
    center.postNotificationName("n", nullptr);
    center.postNotificationName("n", nullptr, {}, QVariantMap{});
    EXPECT_EQ(had, (std::vector<bool>{false, true}));
}

}  // namespace
