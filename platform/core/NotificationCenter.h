#pragma once

#include <QString>
#include <QVariantMap>

#include <any>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

struct Notification {
    QString name;
    // Identity of the posting object; observers may filter on it.
    const void* sender = nullptr;
    // What the poster hands over with the notification (a message, a player item...).
    std::any object;
    std::optional<QVariantMap> userInfo;
};

// Named notifications, delivered synchronously on the posting thread to every observer
// registered for the name (or for every name) and for the sender (or for any sender).
class NotificationCenter {
public:
    using Handler = std::function<void(const Notification&)>;

    static NotificationCenter& defaultCenter();

    // name null: every name; sender null: any sender.
    void addObserver(const void* observer, const QString& name, const void* sender, Handler handler);
    // Ends every registration of the observer.
    void removeObserver(const void* observer);
    void removeObserver(const void* observer, const QString& name);

    void post(const Notification& notification);
    void postNotificationName(const QString& name, const void* sender, std::any object = {},
                              std::optional<QVariantMap> userInfo = std::nullopt);

    std::size_t observerCount() const;

private:
    struct Entry {
        const void* observer;
        QString name;
        const void* sender;
        Handler handler;
        bool active = true;  // guarded by mutex_
    };

    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<Entry>> entries_;
};
