#include "platform/core/ProcessInfo.h"

#include "platform/core/Bundle.h"
#include "platform/core/SystemLog.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QFile>

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
}

qint64 ProcessInfo::residentMemoryBytes() {
    // statm: size, resident, ... in pages.
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly)) return 0;
    const QList<QByteArray> fields = statm.readLine().split(' ');
    if (fields.size() < 2) return 0;
    return fields.at(1).trimmed().toLongLong() * static_cast<qint64>(sysconf(_SC_PAGESIZE));
}
