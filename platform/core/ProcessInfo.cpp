#include "platform/core/ProcessInfo.h"

#include "platform/core/Bundle.h"
#include "platform/core/SystemLog.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDir>
#include <QFile>

#include <sys/resource.h>
#include <unistd.h>

ProcessInfo& ProcessInfo::processInfo() {
    static ProcessInfo* info = new ProcessInfo;
    return *info;
}

void ProcessInfo::disableAutomaticTermination(const QString& reason) {
    if (requested_) return;
    requested_ = true;
    // Without an address libdbus would try to start a bus of its own; there is none to ask.
    if (qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS")) return;
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) return;
    QDBusMessage call = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.ScreenSaver"),
                                                       QStringLiteral("/org/freedesktop/ScreenSaver"),
                                                       QStringLiteral("org.freedesktop.ScreenSaver"),
                                                       QStringLiteral("Inhibit"));
    call << Bundle::mainBundle().bundleName() << reason;
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call, 5000));
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, [](QDBusPendingCallWatcher* w) {
        const QDBusPendingReply<uint> reply = *w;
        // The service keeps the inhibition while our connection to the bus lives.
        if (!reply.isError()) systemLog(QStringLiteral("Screen saver inhibited (cookie %1)").arg(reply.value()));
        w->deleteLater();
    });

    // Wayland compositors offer no screen-saver service to a plain client: their desktop portal
    // keeps the screen awake instead, while our connection to the bus lives.
    QDBusMessage portal = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.portal.Desktop"),
                                                         QStringLiteral("/org/freedesktop/portal/desktop"),
                                                         QStringLiteral("org.freedesktop.portal.Inhibit"),
                                                         QStringLiteral("Inhibit"));
    constexpr uint kInhibitSuspendAndIdle = 4 | 8;
    portal << QString() << kInhibitSuspendAndIdle << QVariantMap{{QStringLiteral("reason"), reason}};
    auto* portalWatcher = new QDBusPendingCallWatcher(bus.asyncCall(portal, 5000));
    QObject::connect(portalWatcher, &QDBusPendingCallWatcher::finished, [](QDBusPendingCallWatcher* w) {
        const QDBusPendingReply<QDBusObjectPath> reply = *w;
        if (!reply.isError()) systemLog(QStringLiteral("Idle inhibited through the desktop portal (%1)").arg(reply.value().path()));
        w->deleteLater();
    });
}

qint64 ProcessInfo::residentMemoryBytes() {
    // statm: size, resident, ... in pages.
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly)) return 0;
    const QList<QByteArray> fields = statm.readLine().split(' ');
    if (fields.size() < 2) return 0;
    return fields.at(1).trimmed().toLongLong() * static_cast<qint64>(sysconf(_SC_PAGESIZE));
}

ProcessInfo::Usage ProcessInfo::usage() {
    Usage u;
    u.residentMemoryBytes = residentMemoryBytes();
    const double ticks = static_cast<double>(sysconf(_SC_CLK_TCK));
    QFile stat(QStringLiteral("/proc/self/stat"));
    if (stat.open(QIODevice::ReadOnly)) {
        // The name in parentheses may hold blanks: the fields are counted after its closing one.
        const QByteArray line = stat.readAll();
        const QList<QByteArray> f = line.mid(line.lastIndexOf(')') + 2).split(' ');
        // From field 3 (state) on: utime 14, stime 15, starttime 22, vsize 23.
        if (f.size() > 20 && ticks > 0) {
            u.cpuSeconds = (f.at(11).toDouble() + f.at(12).toDouble()) / ticks;
            u.virtualMemoryBytes = f.at(20).toLongLong();
            QFile system(QStringLiteral("/proc/stat"));
            if (system.open(QIODevice::ReadOnly)) {
                for (const QByteArray& l : system.readAll().split('\n')) {
                    if (l.startsWith("btime ")) u.startTimeSeconds = l.mid(6).trimmed().toDouble() + f.at(19).toDouble() / ticks;
                }
            }
        }
    }
    u.openFds = QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System).size();
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) u.maxFds = static_cast<qint64>(limit.rlim_cur);
    return u;
}
