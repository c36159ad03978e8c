#pragma once

#include "platform/core/Deadline.h"
#include "platform/core/ThreadContract.h"

#include <chrono>
#include <functional>
#include <optional>

// Every look at the source folder's file system (a share that may hang) goes through here: the
// call runs with a deadline, and never on the main thread, whose painting, status answers and
// watchdog must not wait for a share. A caller on the main thread breaks the thread contract.
namespace ShareAccess {

// How long one look at the file system may take before the share counts as not answering.
inline constexpr std::chrono::milliseconds kDeadline{2000};

// The call's result, or none when the file system did not answer in time.
template <typename T>
std::optional<T> call(std::function<T()> fn, std::chrono::milliseconds deadline = kDeadline) {
    VORN_ASSERT_NOT_MAIN_THREAD();
    return Deadline::call<T>(std::move(fn), deadline);
}

// True when the call ran to its end in time.
inline bool run(const std::function<void()>& fn, std::chrono::milliseconds deadline = kDeadline) {
    VORN_ASSERT_NOT_MAIN_THREAD();
    return Deadline::run(fn, deadline);
}

}  // namespace ShareAccess
