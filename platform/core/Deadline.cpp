#include "platform/core/Deadline.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include <pthread.h>

namespace {

// At most this many threads wait for calls when none is running; more are made only while calls
// run (a call stuck on a hung share keeps its thread), and go once their call ends.
constexpr std::size_t kIdleThreadsKept = 2;
// How long a caller looks for the answer before it sleeps until it comes.
constexpr std::chrono::microseconds kSpin{200};

std::atomic<int>& stuck() {
    static auto* count = new std::atomic<int>(0);
    return *count;
}

struct Call {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    bool abandoned = false;
    std::atomic<bool> answered{false};  // `finished`, for the caller's look before it sleeps
};

// The threads that run the calls, kept for the next ones: an idle player must not make a thread
// at every look at its share. Never destroyed, since a thread stuck in a call may outlive
// everything else. A waiting thread sleeps on the condition, with no timer.
struct Workers {
    struct Job {
        std::function<void()> work;
        std::function<void()> done;  // told once the thread is free for the next call
    };
    std::mutex mutex;
    std::condition_variable work;
    std::deque<Job> jobs;
    std::size_t waiting = 0;

    void submit(Job job) {
        std::unique_lock<std::mutex> lock(mutex);
        jobs.push_back(std::move(job));
        // Every call queued has a waiting thread to take it, or a new one: a call never waits
        // behind one that is stuck.
        const bool taken = waiting >= jobs.size();
        lock.unlock();
        // Told after the lock is let go, so that the thread does not wake only to wait for it.
        if (taken) {
            work.notify_one();
            return;
        }
        std::thread([this] { serve(); }).detach();
    }

    void serve() {
        pthread_setname_np(pthread_self(), "vorn-deadline");
        std::unique_lock<std::mutex> lock(mutex);
        ++waiting;
        for (;;) {
            work.wait(lock, [this] { return !jobs.empty(); });
            --waiting;
            Job job = std::move(jobs.front());
            jobs.pop_front();
            lock.unlock();
            job.work();
            lock.lock();
            // Counted as waiting before its caller hears the answer, so that a caller's next call
            // finds this thread rather than making another.
            const bool stay = waiting < kIdleThreadsKept;
            if (stay) ++waiting;
            lock.unlock();
            job.done();
            job = Job{};
            lock.lock();
            if (!stay) return;
        }
    }
};

Workers& workers() {
    static auto* pool = new Workers;
    return *pool;
}

}  // namespace

namespace Deadline {

bool run(const std::function<void()>& fn, std::chrono::milliseconds timeout) {
    if (stuck().load() >= kMaxStuckCalls) return false;
    auto state = std::make_shared<Call>();
    workers().submit({fn, [state] {
                          {
                              std::lock_guard<std::mutex> lock(state->mutex);
                              state->finished = true;
                              state->answered.store(true, std::memory_order_release);
                              if (state->abandoned) --stuck();
                          }
                          state->done.notify_all();
                      }});
    // Most calls answer within microseconds (a stat of a folder on a disk). The caller looks for
    // the answer for a moment before it sleeps, so that such a call costs no wake-up of the
    // caller: an idle player looks at its share every 2 s and should cost nothing more.
    const auto spinUntil = std::chrono::steady_clock::now() + std::min<std::chrono::steady_clock::duration>(kSpin, timeout);
    while (!state->answered.load(std::memory_order_acquire) && std::chrono::steady_clock::now() < spinUntil) {
        std::this_thread::yield();
    }
    std::unique_lock<std::mutex> lock(state->mutex);
    if (state->done.wait_for(lock, timeout, [&] { return state->finished; })) return true;
    state->abandoned = true;
    ++stuck();
    return false;
}

int stuckCalls() { return stuck().load(); }

}  // namespace Deadline
