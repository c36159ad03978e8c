#include "platform/core/Queues.h"

#include "platform/core/SystemLog.h"

#include <QCoreApplication>
#include <QThread>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <string>
#include <thread>

#include <pthread.h>
#include <time.h>

namespace {

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

// Threads made on demand, each leaving after a few idle seconds. Jobs may block for long
// (a hung network volume), so the pool grows rather than holding work back.
class WorkerPool {
public:
    WorkerPool(const char* name, int maxThreads) : name_(name), maxThreads_(maxThreads) {}

    void submit(DispatchQueue::Work work) {
        std::lock_guard<std::mutex> lock(mutex_);
        jobs_.push_back(std::move(work));
        if (idle_ > 0) {
            wake_.notify_one();
        } else if (threads_ < maxThreads_) {
            ++threads_;
            std::thread([this] { workerLoop(); }).detach();
        }
    }

private:
    void workerLoop() {
        pthread_setname_np(pthread_self(), name_);
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            ++idle_;
            const bool got = wake_.wait_for(lock, std::chrono::seconds(5), [this] { return !jobs_.empty(); });
            --idle_;
            if (!got) {
                --threads_;
                return;
            }
            DispatchQueue::Work work = std::move(jobs_.front());
            jobs_.pop_front();
            lock.unlock();
            runGuarded(work);
            work = nullptr;  // release what the job captured before waiting again
            lock.lock();
        }
    }

    const char* name_;
    const int maxThreads_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<DispatchQueue::Work> jobs_;
    int threads_ = 0;
    int idle_ = 0;
};

// Pools live for the whole process: worker threads may still run while it exits.
WorkerPool& highPool() {
    static WorkerPool* pool = new WorkerPool("vorn-high", 32);
    return *pool;
}
WorkerPool& defaultPool() {
    static WorkerPool* pool = new WorkerPool("vorn-default", 32);
    return *pool;
}
WorkerPool& serialPool() {
    static WorkerPool* pool = new WorkerPool("vorn-serial", 128);
    return *pool;
}

class MainQueue final : public DispatchQueue {
public:
    void async(Work work) override {
        QCoreApplication* app = QCoreApplication::instance();
        if (!app) {
            systemLog(QStringLiteral("main queue: no application object; job dropped"));
            return;
        }
        QMetaObject::invokeMethod(app, [work = std::move(work)] { runGuarded(work); }, Qt::QueuedConnection);
    }
};

class GlobalQueue final : public DispatchQueue {
public:
    explicit GlobalQueue(WorkerPool& pool) : pool_(pool) {}
    void async(Work work) override { pool_.submit(std::move(work)); }

private:
    WorkerPool& pool_;
};

class SerialQueue final : public DispatchQueue {
public:
    SerialQueue() : state_(std::make_shared<State>()) {}

    void async(Work work) override {
        std::lock_guard<std::mutex> lock(state_->mutex);
        state_->jobs.push_back(std::move(work));
        if (state_->draining) return;
        state_->draining = true;
        serialPool().submit([state = state_] { drain(state); });
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

void waitMicroseconds(std::uint64_t microseconds) {
    if (isMainThread()) systemLog(QStringLiteral("waitMicroseconds called on the main thread"));
    timespec rest{static_cast<time_t>(microseconds / 1000000), static_cast<long>((microseconds % 1000000) * 1000)};
    while (nanosleep(&rest, &rest) != 0 && errno == EINTR) {
    }
}

bool isMainThread() {
    const QCoreApplication* app = QCoreApplication::instance();
    return app && app->thread() == QThread::currentThread();
}
