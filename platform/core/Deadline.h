#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

// Calls that may block in the kernel for good (a file system on a share that hangs: stat, mkdir,
// reading a directory) run on a worker thread while the caller waits at most `timeout` for the
// answer. A call that does not answer in time goes on by itself and its answer is dropped. The
// workers are kept for later calls (two wait when nothing runs); a call stuck in the kernel keeps
// its worker, and another is made for the next call, so that no call ever waits behind it.
// Only a bounded number of calls may be stuck at once; past that, new calls are refused at once,
// which their callers take as "no answer". Safe from any thread; never call it on the main thread
// with a long timeout.
namespace Deadline {

inline constexpr int kMaxStuckCalls = 32;

// True when the call ran to its end within the timeout.
bool run(const std::function<void()>& call, std::chrono::milliseconds timeout);

// The call's result, or none when it did not answer in time.
template <typename T>
std::optional<T> call(std::function<T()> fn, std::chrono::milliseconds timeout) {
    auto result = std::make_shared<std::optional<T>>();
    // The result is only read after run() saw the call end, so the two threads never race on it.
    const bool answered = run([fn = std::move(fn), result] { *result = fn(); }, timeout);
    if (!answered) return std::nullopt;
    return *result;
}

// Calls now stuck past their deadline (for the log and for tests).
int stuckCalls();

}  // namespace Deadline
