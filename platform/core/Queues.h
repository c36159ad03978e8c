#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

// Work queues: the main queue (the Qt event loop of the main thread), two global concurrent
// queues and private serial queues that run one job at a time, in order. The background queues
// run on worker threads that the queue system owns: at quit, shutdown() stops them, lets the
// work they hold run out and joins the threads. Every function here is safe from any thread
// unless it says otherwise.
class DispatchQueue {
public:
    using Work = std::function<void()>;
    enum class Priority { High, Default };

    virtual ~DispatchQueue() = default;
    // Queues the work and returns at once. False, and the work dropped, once a background queue
    // has shut down (the main queue takes work for as long as the application object lives).
    virtual bool async(Work work) = 0;

    static DispatchQueue& main();
    static DispatchQueue& global(Priority priority);
    // A new serial queue; work already queued still runs when the last handle goes.
    static std::shared_ptr<DispatchQueue> createSerial();
    // Queues the work on the default global queue once `delay` has passed, without holding a
    // worker meanwhile. False, and the work dropped, once the queues shut down; work still
    // waiting for its time then is dropped too.
    static bool after(std::chrono::microseconds delay, Work work);

    // Stops the background queues for good: they take no new work, every wait and every command
    // run through the shell runner is cut short, and the work already queued runs to its end.
    // Waits up to `deadline` for the worker threads to end and joins them; false when some were
    // still busy then (stuck in the kernel on a share that hangs): they are left to the end of
    // the process. Main thread, once, at quit.
    static bool shutdown(std::chrono::milliseconds deadline);
    // The first half of shutdown(), for the moment the quit begins: waits and commands are cut
    // short from now on, while the queues still take and run work.
    static void beginShutdown();
    static bool isShuttingDown();
};

// Sleeps the calling background thread; the main thread must never call it. Returns false, at
// once or early, when the queues shut down: the caller then stops what it was waiting for.
bool waitMicroseconds(std::uint64_t microseconds);

// True on the thread that runs the application's event loop.
bool isMainThread();
// The same, and also true where no application object exists (plain unit tests).
bool isMainThreadOrNoApplication();
