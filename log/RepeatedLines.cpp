#include "log/RepeatedLines.h"

#include <algorithm>

std::optional<QString> RepeatedLines::pass(const QString& line, Clock::time_point now) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = seen_.find(line);
    if (it == seen_.end()) {
        if (seen_.size() >= kRemembered) {
            const auto oldest = std::min_element(seen_.begin(), seen_.end(),
                                                 [](const Seen& a, const Seen& b) { return a.said < b.said; });
            seen_.erase(oldest);
        }
        seen_.insert(line, Seen{now, now, 0});
        return line;
    }
    it->said = now;
    if (now - it->written < interval_) {
        ++it->heldBack;
        return std::nullopt;
    }
    const std::int64_t times = it->heldBack + 1;
    it->written = now;
    it->heldBack = 0;
    // A line said once more after a long pause is no repetition worth counting.
    if (times == 1) return line;
    return QStringLiteral("%1 (repeated %2 times)").arg(line, QString::number(times));
}
