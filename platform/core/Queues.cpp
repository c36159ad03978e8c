#include "platform/core/Queues.h"

#include "platform/core/SystemLog.h"

#include <QCoreApplication>
#include <QThread>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <algorithm>
#include <exception>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <pthread.h>

namespace {

std::atomic<bool> gShuttingDown{false};

// Wakes every sleeping waitMicroseconds() at shutdown. Never destroyed: a worker may still sleep
// while the process exits.
struct WaitWake {
    std::mutex mutex;
    std::condition_variable wake;
};
WaitWake& waitWake() {
    static WaitWake* w = new WaitWake;
    return *w;
}

void runGuarded(const DispatchQueue::Work& work) {
    // A job that throws must not take its worker, or the process, down with it.
    try {
        work();
    } catch (const std::exception& e) {
        systemLog(QStringLiteral("queued job ended with an exception: %1").arg(QString::fromUtf8(e.what())));
    } catch (...) {
        systemLog(QStringLiteral("queued job ended with an unknown exception"));
    }
}

// A thread that had no job for this long ends, unless fewer than a few others wait for jobs.
constexpr auto kIdleLife = std::chrono::seconds(5);
constexpr std::size_t kThreadsKept = 2;

// Threads made on demand up to a fixed number, each leaving after a few idle seconds; jobs past
// that number wait their turn. Jobs may block for long (a share that hangs), hence the headroom.
class WorkerPool {
public:
    WorkerPool(const char* name, int maxThreads) : name_(name), maxThreads_(maxThreads) {}

    bool submit(DispatchQueue::Work work) {
        std::shared_ptr<Idle> idle;  // held until told: the thread may end as soon as it wakes
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stopping_) return false;
            joinFinishedLocked();
            jobs_.push_back(std::move(work));
            if (!idle_.empty()) {
                // The thread that went idle last: the others stay asleep and retire.
                idle = idle_.back();
                idle_.pop_back();
                idle->woken = true;
            } else if (running_ < maxThreads_) {
                ++running_;
                threads_.emplace_back();
                auto slot = std::prev(threads_.end());
                *slot = std::thread([this, slot] { workerLoop(slot); });
            }
            if (!idle) return true;
            // Told after the lock is let go, so that the thread does not wake only to wait for it.
            std::lock_guard<std::mutex> idleLock(idle->mutex);
            idle->ready = true;
        }
        idle->wake.notify_one();
        return true;
    }

    // Takes no more work, lets the queued work run out, and joins the threads that end before
    // the deadline; the others are detached. True when every thread ended.
    bool stop(std::chrono::steady_clock::time_point deadline) {
        std::unique_lock<std::mutex> lock(mutex_);
        stopping_ = true;
        for (const std::shared_ptr<Idle>& idle : idle_) {
            idle->woken = true;
            std::lock_guard<std::mutex> idleLock(idle->mutex);
            idle->ready = true;
            idle->wake.notify_one();
        }
        idle_.clear();
        const bool allEnded = ended_.wait_until(lock, deadline, [this] { return running_ == 0; });
        joinFinishedLocked();
        for (std::thread& t : threads_) {
            if (t.joinable()) t.detach();
        }
        return allEnded;
    }

private:
    using Slot = std::list<std::thread>::iterator;

    // Each idle thread sleeps on its own condition, so that a job wakes exactly one thread, the
    // one that went idle last.
    struct Idle {
        std::mutex mutex;
        std::condition_variable wake;
        bool ready = false;  // under its mutex
        bool woken = false;  // under the pool's mutex
    };

    void workerLoop(Slot slot) {
        pthread_setname_np(pthread_self(), name_);
        const auto self = std::make_shared<Idle>();
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            if (jobs_.empty() && !stopping_) {
                self->woken = false;
                {
                    std::lock_guard<std::mutex> idleLock(self->mutex);
                    self->ready = false;
                }
                // The first few to wait sleep until a job comes, with no timer; the others retire
                // after a while.
                const bool kept = idle_.size() < kThreadsKept;
                idle_.push_back(self);
                lock.unlock();
                {
                    std::unique_lock<std::mutex> idleLock(self->mutex);
                    if (kept) {
                        self->wake.wait(idleLock, [&] { return self->ready; });
                    } else {
                        self->wake.wait_for(idleLock, kIdleLife, [&] { return self->ready; });
                    }
                }
                lock.lock();
                if (!self->woken) {
                    idle_.erase(std::find(idle_.begin(), idle_.end(), self));
                    if (idle_.size() < kThreadsKept && !stopping_) continue;
                }
            }
            if (jobs_.empty()) {
                // Woken for a job that a thread coming back from its own took first: idle again.
                if (self->woken && !stopping_) continue;
                break;  // idle for a while, or stopping with nothing left to run
            }
            DispatchQueue::Work work = std::move(jobs_.front());
            jobs_.pop_front();
            lock.unlock();
            runGuarded(work);
            work = nullptr;  // release what the job captured before waiting again
            lock.lock();
        }
        // Joined by the next submit() or by stop().
        finished_.push_back(slot);
        --running_;
        ended_.notify_all();
    }

    void joinFinishedLocked() {
        for (Slot slot : finished_) {
            if (slot->joinable() && slot->get_id() != std::this_thread::get_id()) slot->join();
            if (slot->joinable()) slot->detach();
            threads_.erase(slot);
        }
        finished_.clear();
    }

    const char* name_;
    const int maxThreads_;
    std::mutex mutex_;
    std::condition_variable ended_;
    std::deque<DispatchQueue::Work> jobs_;
    std::list<std::thread> threads_;
    std::list<Slot> finished_;
    std::vector<std::shared_ptr<Idle>> idle_;  // the last to go idle at the back
    int running_ = 0;
    bool stopping_ = false;
};

// The pools belong to the queue system and live as long as the process; shutdown() ends their
// threads. They are never destroyed, so that a thread left running at exit finds them intact.
WorkerPool& highPool() {
    static WorkerPool* pool = new WorkerPool("vorn-high", 32);
    return *pool;
}
WorkerPool& defaultPool() {
    static WorkerPool* pool = new WorkerPool("vorn-default", 32);
    return *pool;
}
WorkerPool& serialPool() {
    static WorkerPool* pool = new WorkerPool("vorn-serial", 64);
    return *pool;
}

// One thread that sleeps until the earliest timed job is due and hands it to the default pool.
class Timers {
public:
    bool add(std::chrono::steady_clock::time_point due, DispatchQueue::Work work) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (gShuttingDown) return false;
            if (!thread_.joinable()) thread_ = std::thread([this] { run(); });
            const bool earliest = jobs_.empty() || due < jobs_.begin()->first;
            jobs_.emplace(due, std::move(work));
            // The thread sleeps until the earliest job; a later one does not need it awake now.
            if (!earliest) return true;
        }
        wake_.notify_one();
        return true;
    }

    // Drops what is waiting and ends the thread.
    void stop() {
        std::thread thread;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            jobs_.clear();
            wake_.notify_one();
            thread = std::move(thread_);
        }
        if (thread.joinable()) thread.join();
    }

    void wake() {
        std::lock_guard<std::mutex> lock(mutex_);
        wake_.notify_one();
    }

private:
    void run();

    std::mutex mutex_;
    std::condition_variable wake_;
    std::multimap<std::chrono::steady_clock::time_point, DispatchQueue::Work> jobs_;
    std::thread thread_;
};

Timers& timers() {
    static Timers* t = new Timers;
    return *t;
}

class MainQueue final : public DispatchQueue {
public:
    bool async(Work work) override {
        QCoreApplication* app = QCoreApplication::instance();
        if (!app) {
            systemLog(QStringLiteral("main queue: no application object; job dropped"));
            return false;
        }
        QMetaObject::invokeMethod(app, [work = std::move(work)] { runGuarded(work); }, Qt::QueuedConnection);
        return true;
    }
};

class GlobalQueue final : public DispatchQueue {
public:
    explicit GlobalQueue(WorkerPool& pool) : pool_(pool) {}
    bool async(Work work) override { return pool_.submit(std::move(work)); }

private:
    WorkerPool& pool_;
};

class SerialQueue final : public DispatchQueue {
public:
    SerialQueue() : state_(std::make_shared<State>()) {}

    bool async(Work work) override {
        {
            std::lock_guard<std::mutex> lock(state_->mutex);
            state_->jobs.push_back(std::move(work));
            if (state_->draining) return true;
            state_->draining = true;
        }
        // Handed to the pool after the lock is let go, so that the drain does not wake only to
        // wait for it.
        if (serialPool().submit([state = state_] { drain(state); })) return true;
        // The pool has stopped: nothing queued here will run.
        std::lock_guard<std::mutex> lock(state_->mutex);
        state_->draining = false;
        state_->jobs.clear();
        return false;
    }

private:
    struct State {
        std::mutex mutex;
        std::deque<Work> jobs;
        bool draining = false;
    };

    static void drain(const std::shared_ptr<State>& state) {
        for (;;) {
            Work work;
            {
                std::lock_guard<std::mutex> lock(state->mutex);
                if (state->jobs.empty()) {
                    state->draining = false;
                    return;
                }
                work = std::move(state->jobs.front());
                state->jobs.pop_front();
            }
            runGuarded(work);
        }
    }

    std::shared_ptr<State> state_;
};

void Timers::run() {
    pthread_setname_np(pthread_self(), "vorn-timers");
    std::unique_lock<std::mutex> lock(mutex_);
    while (!gShuttingDown) {
        if (jobs_.empty()) {
            wake_.wait(lock);
            continue;
        }
        const auto due = jobs_.begin()->first;
        if (std::chrono::steady_clock::now() < due) {
            wake_.wait_until(lock, due);
            continue;
        }
        DispatchQueue::Work work = std::move(jobs_.begin()->second);
        jobs_.erase(jobs_.begin());
        lock.unlock();
        defaultPool().submit(std::move(work));
        lock.lock();
    }
    jobs_.clear();
}

}  // namespace

DispatchQueue& DispatchQueue::main() {
    static MainQueue* queue = new MainQueue;
    return *queue;
}

DispatchQueue& DispatchQueue::global(Priority priority) {
    static GlobalQueue* high = new GlobalQueue(highPool());
    static GlobalQueue* normal = new GlobalQueue(defaultPool());
    return priority == Priority::High ? *high : *normal;
}

std::shared_ptr<DispatchQueue> DispatchQueue::createSerial() { return std::make_shared<SerialQueue>(); }

bool DispatchQueue::after(std::chrono::microseconds delay, Work work) {
    return timers().add(std::chrono::steady_clock::now() + delay, std::move(work));
}

void DispatchQueue::beginShutdown() {
    {
        std::lock_guard<std::mutex> lock(waitWake().mutex);
        gShuttingDown = true;
    }
    waitWake().wake.notify_all();
    timers().wake();
}

bool DispatchQueue::shutdown(std::chrono::milliseconds deadline) {
    beginShutdown();
    const auto until = std::chrono::steady_clock::now() + deadline;
    timers().stop();
    // Serial queues drain on their pool, and their jobs may still queue global work: that pool
    // stops first, then the global ones.
    bool allEnded = serialPool().stop(until);
    allEnded = highPool().stop(until) && allEnded;
    allEnded = defaultPool().stop(until) && allEnded;
    return allEnded;
}

bool DispatchQueue::isShuttingDown() { return gShuttingDown.load(); }

bool waitMicroseconds(std::uint64_t microseconds) {
    if (isMainThread()) systemLog(QStringLiteral("waitMicroseconds called on the main thread"));
    std::unique_lock<std::mutex> lock(waitWake().mutex);
    return !waitWake().wake.wait_for(lock, std::chrono::microseconds(microseconds), [] { return gShuttingDown.load(); });
}

bool isMainThread() {
    const QCoreApplication* app = QCoreApplication::instance();
    return app && app->thread() == QThread::currentThread();
}

bool isMainThreadOrNoApplication() { return !QCoreApplication::instance() || isMainThread(); }
