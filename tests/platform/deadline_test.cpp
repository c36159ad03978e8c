#include "platform/core/Deadline.h"

#include "TestSupport.h"

#include <QDir>

#include <gtest/gtest.h>

#include <future>
#include <set>

#include <sys/syscall.h>
#include <unistd.h>

namespace {

pid_t threadId() { return static_cast<pid_t>(syscall(SYS_gettid)); }

int threadsOfThisProcess() { return QDir("/proc/self/task").entryList(QDir::Dirs | QDir::NoDotAndDotDot).size(); }

// Calls one after the other run on the same few threads, so an idle player that looks at its
// share every 2 s makes no thread; a call stuck in the kernel keeps its thread, and the calls
// after it are neither refused nor kept waiting behind it.
TEST(DeadlineTest, CallsReuseAFewThreadsAndAStuckCallHoldsUpNoOther) {
    ASSERT_TRUE(Deadline::run([] {}, std::chrono::seconds(5)));
    const int threadsBefore = threadsOfThisProcess();
    std::set<pid_t> callers;
    for (int i = 0; i < 200; ++i) {
        const std::optional<pid_t> id = Deadline::call<pid_t>(threadId, std::chrono::seconds(5));
        ASSERT_TRUE(id);
        callers.insert(*id);
    }
    EXPECT_LE(callers.size(), 2u);
    EXPECT_LE(threadsOfThisProcess(), threadsBefore + 1);

    std::promise<void> release;
    const std::shared_future<void> released = release.get_future().share();
    EXPECT_FALSE(Deadline::run([released] { released.wait(); }, std::chrono::milliseconds(50)));
    EXPECT_EQ(Deadline::stuckCalls(), 1);
    for (int i = 0; i < 20; ++i) {
        const std::optional<pid_t> id = Deadline::call<pid_t>(threadId, std::chrono::seconds(5));
        ASSERT_TRUE(id) << "call " << i << " waited behind the stuck one";
    }
    release.set_value();
    EXPECT_TRUE(test::waitUntil([] { return Deadline::stuckCalls() == 0; }, 5000));
    // The thread the stuck call had goes, or stays as one of the few kept.
    EXPECT_TRUE(test::waitUntil([&] { return threadsOfThisProcess() <= threadsBefore + 1; }, 5000))
        << threadsOfThisProcess() << " threads, " << threadsBefore << " before";
}

}  // namespace
