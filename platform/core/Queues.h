#pragma once

#include <cstdint>
#include <functional>
#include <memory>

// Work queues: the main queue (the Qt event loop of the main thread), two global
// concurrent queues and private serial queues that run one job at a time, in order.
class DispatchQueue {
public:
    using Work = std::function<void()>;
    enum class Priority { High, Default };

    virtual ~DispatchQueue() = default;
    // Queues the work and returns at once.
    virtual void async(Work work) = 0;

    static DispatchQueue& main();
    static DispatchQueue& global(Priority priority);
    // A new serial queue; work already queued still runs when the last handle goes.
    static std::shared_ptr<DispatchQueue> createSerial();
};

// Sleeps the calling background thread; the main thread must never call it.
void waitMicroseconds(std::uint64_t microseconds);

// True on the thread that runs the application's event loop.
bool isMainThread();
