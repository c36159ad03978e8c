#include "platform/core/NotificationCenter.h"

#include <algorithm>

NotificationCenter& NotificationCenter::defaultCenter() {
    static NotificationCenter* center = new NotificationCenter;
    return *center;
}

void NotificationCenter::addObserver(const void* observer, const QString& name, const void* sender,
                                     Handler handler) {
    auto entry = std::make_shared<Entry>(Entry{observer, name, sender, std::move(handler)});
    std::lock_guard<std::mutex> lock(mutex_);
    entries_.push_back(std::move(entry));
}

void NotificationCenter::removeObserver(const void* observer) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& e : entries_) {
        if (e->observer == observer) e->active = false;
    }
    entries_.erase(std::remove_if(entries_.begin(), entries_.end(), [](const auto& e) { return !e->active; }),
                   entries_.end());
}

void NotificationCenter::removeObserver(const void* observer, const QString& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& e : entries_) {
        if (e->observer == observer && e->name == name) e->active = false;
    }
    entries_.erase(std::remove_if(entries_.begin(), entries_.end(), [](const auto& e) { return !e->active; }),
                   entries_.end());
}

void NotificationCenter::post(const Notification& notification) {
    std::vector<std::shared_ptr<Entry>> matching;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const auto& e : entries_) {
            if (!e->name.isNull() && e->name != notification.name) continue;
            if (e->sender && e->sender != notification.sender) continue;
            matching.push_back(e);
        }
    }
    // Handlers run without the lock, so that they may post, add or remove observers.
    for (const auto& e : matching) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!e->active) continue;
        }
        e->handler(notification);
    }
}

void NotificationCenter::postNotificationName(const QString& name, const void* sender, std::any object,
                                              std::optional<QVariantMap> userInfo) {
    post(Notification{name, sender, std::move(object), std::move(userInfo)});
}

std::size_t NotificationCenter::observerCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return entries_.size();
}
