#include "platform/core/ServiceManager.h"

#include "platform/core/SystemLog.h"
#include "platform/core/ThreadContract.h"

#include <QCoreApplication>
#include <QTimer>

#include <systemd/sd-daemon.h>

namespace {

void notify(const QString& message) {
    // One datagram; sd_notify does nothing (and returns 0) without NOTIFY_SOCKET.
    sd_notify(0, message.toUtf8().constData());
}

QString statusLine(QString status) { return status.replace(QLatin1Char('\n'), QLatin1Char(' ')); }

}  // namespace

void ServiceManager::notifyReady(const QString& status) {
    notify(QStringLiteral("READY=1\nSTATUS=%1").arg(statusLine(status)));
}

void ServiceManager::notifyStatus(const QString& status) { notify(QStringLiteral("STATUS=%1").arg(statusLine(status))); }

void ServiceManager::notifyStopping() { notify(QStringLiteral("STOPPING=1")); }

bool ServiceManager::isSupervised() { return !qEnvironmentVariableIsEmpty("NOTIFY_SOCKET"); }

std::optional<std::chrono::microseconds> ServiceManager::watchdogTimeout() {
    uint64_t usec = 0;
    if (sd_watchdog_enabled(0, &usec) <= 0 || usec == 0) return std::nullopt;
    return std::chrono::microseconds(usec);
}

void ServiceManager::startWatchdog(std::function<QString()> problem) {
    VORN_ASSERT_MAIN_THREAD();
    const std::optional<std::chrono::microseconds> timeout = watchdogTimeout();
    if (!timeout || !QCoreApplication::instance()) return;
    const auto interval =
        std::max(std::chrono::milliseconds(50), std::chrono::duration_cast<std::chrono::milliseconds>(*timeout / 4));
    auto* timer = new QTimer(QCoreApplication::instance());
    timer->setInterval(interval);
    auto withheld = std::make_shared<bool>(false);
    QObject::connect(timer, &QTimer::timeout, timer, [problem = std::move(problem), withheld] {
        const QString reason = problem ? problem() : QString();
        if (reason.isEmpty()) {
            if (*withheld) systemLog(QStringLiteral("Watchdog: the player goes on, telling the service manager again"));
            *withheld = false;
            notify(QStringLiteral("WATCHDOG=1"));
            return;
        }
        if (!*withheld) systemLog(QStringLiteral("Watchdog: not telling the service manager that all is well: %1").arg(reason));
        *withheld = true;
    });
    timer->start();
    systemLog(QStringLiteral("Watchdog: telling the service manager every %1 ms (timeout %2 ms)")
                  .arg(QString::number(interval.count()),
                       QString::number(std::chrono::duration_cast<std::chrono::milliseconds>(*timeout).count())));
}
