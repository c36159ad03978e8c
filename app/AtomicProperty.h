#pragma once

#include <mutex>
#include <utility>

// A value read and written as a whole from any thread: a read returns the old or the new
// value, never a mixture, and what it returned stays valid for the reader (a copy, or a
// shared pointer that keeps its object alive).
template <typename T>
class AtomicProperty {
public:
    AtomicProperty() = default;
    explicit AtomicProperty(T initial) : value_(std::move(initial)) {}

    T get() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return value_;
    }

    void set(T value) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            std::swap(value_, value);
        }
        // The old value is released here, outside the lock.
    }

private:
    mutable std::mutex mutex_;
    T value_{};
};
