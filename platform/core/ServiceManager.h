#pragma once

#include <QString>

#include <chrono>
#include <functional>
#include <optional>

// Tells the service manager that started the process (systemd, through sd_notify) how it
// stands: ready, what it does, alive (the watchdog), stopping. Without NOTIFY_SOCKET in the
// environment every call does nothing.
class ServiceManager {
public:
    // READY=1, with a status line. Any thread.
    static void notifyReady(const QString& status);
    // STATUS=, the line systemctl status shows. Any thread.
    static void notifyStatus(const QString& status);
    // STOPPING=1. Any thread.
    static void notifyStopping();
    // Whether a service manager listens (NOTIFY_SOCKET is set). Any thread.
    static bool isSupervised();

    // The watchdog's timeout (WatchdogSec=) when the service manager set one for this process.
    static std::optional<std::chrono::microseconds> watchdogTimeout();
    // From now on sends WATCHDOG=1 from the main thread's event loop four times per timeout, so
    // a hung main thread stops it. problem() is asked first: a non-empty answer withholds the
    // message (the service manager then restarts the process) and is logged once per spell.
    // Does nothing without a watchdog. Main thread.
    static void startWatchdog(std::function<QString()> problem);
};
