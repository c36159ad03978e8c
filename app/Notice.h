#pragma once

#include <QString>

#include <chrono>
#include <mutex>

// A log line that is said once, then again only after a while, or when what it is about changes:
// an unattended player must not fill its log with the same sentence. Safe from any thread.
class Notice {
public:
    using Clock = std::chrono::steady_clock;
    explicit Notice(Clock::duration every = Clock::duration::max()) : every_(every) {}

    // Says it now if it was never said, or not for `every`.
    template <typename Say>
    void note(Say say) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            const Clock::time_point now = Clock::now();
            if (said_ && now - last_ < every_) return;
            said_ = true;
            last_ = now;
        }
        say();
    }
    // Says it when `about` differs from what it was last said about.
    template <typename Say>
    void noteChange(const QString& about, Say say) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (said_ && about == about_) return;
            said_ = true;
            about_ = about;
        }
        say();
    }
    // The next note is said again.
    void clear() {
        std::lock_guard<std::mutex> lock(mutex_);
        said_ = false;
        about_.clear();
    }

private:
    std::mutex mutex_;
    const Clock::duration every_;
    bool said_ = false;
    Clock::time_point last_;
    QString about_;
};
