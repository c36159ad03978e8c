#include "platform/core/Deadline.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace {

// Threads still running a call, answered or not; never destroyed, since such a thread may
// outlive everything else.
std::atomic<int>& runningCalls() {
    static auto* count = new std::atomic<int>(0);
    return *count;
}
std::atomic<int>& stuck() {
    static auto* count = new std::atomic<int>(0);
    return *count;
}

struct Call {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    bool abandoned = false;
};

}  // namespace

namespace Deadline {

bool run(const std::function<void()>& fn, std::chrono::milliseconds timeout) {
    if (stuck().load() >= kMaxStuckCalls) return false;
    auto state = std::make_shared<Call>();
    ++runningCalls();
    // A thread a call: a call stuck on one share must not hold up calls on another.
    std::thread([fn, state] {
        fn();
        std::lock_guard<std::mutex> lock(state->mutex);
        state->finished = true;
        if (state->abandoned) --stuck();
        --runningCalls();
        state->done.notify_all();
    }).detach();
    std::unique_lock<std::mutex> lock(state->mutex);
    if (state->done.wait_for(lock, timeout, [&] { return state->finished; })) return true;
    state->abandoned = true;
    ++stuck();
    return false;
}

int stuckCalls() { return stuck().load(); }

}  // namespace Deadline
