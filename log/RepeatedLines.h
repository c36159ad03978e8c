#pragma once

#include <QHash>
#include <QString>

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>

// Holds back a line said again and again unchanged: it is written the first time, then at most
// once an interval as "<line> (repeated N times)", N counting every time it was said since it
// was last written. A few lines are remembered; the one not said for longest is forgotten first.
// Safe from any thread.
class RepeatedLines {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr int kRemembered = 32;

    explicit RepeatedLines(Clock::duration interval) : interval_(interval) {}

    // The text to write now, or none to hold the line back.
    std::optional<QString> pass(const QString& line, Clock::time_point now);

private:
    struct Seen {
        Clock::time_point written;
        Clock::time_point said;
        std::int64_t heldBack = 0;
    };
    const Clock::duration interval_;
    std::mutex mutex_;
    QHash<QString, Seen> seen_;
};
