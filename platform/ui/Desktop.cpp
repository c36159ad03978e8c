#include "platform/ui/Desktop.h"

#include "platform/core/PathUtilities.h"
#include "platform/core/Queues.h"
#include "platform/core/ShellCommand.h"
#include "platform/core/SystemLog.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QUrl>

namespace Desktop {

namespace {

constexpr int kOpenTimeoutMs = 15000;

bool available(const QString& program, const QString& whatFor) {
    if (!QStandardPaths::findExecutable(program).isEmpty()) return true;
    systemLog(QStringLiteral("%1 is not installed: %2").arg(program, whatFor));
    return false;
}

}  // namespace

QString openCommandLine(const QString& folder) { return QStringLiteral("xdg-open \"%1\"").arg(folder); }

void openInFileManager(const QString& folder, std::function<void(const QString&)> done) {
    if (!available(QStringLiteral("xdg-open"), QStringLiteral("folders cannot be opened in the file manager"))) {
        if (done) done(QString());
        return;
    }
    // xdg-open may take its time (or wait for the program it starts): never on the main thread.
    DispatchQueue::global(DispatchQueue::Priority::Default).async([folder, done] {
        const ShellOutput out = runProgramCapturingOutput({"xdg-open", QFile::encodeName(folder)}, 65536, kOpenTimeoutMs);
        const QString text = out.bytes.isEmpty() ? QString() : QString::fromUtf8(out.bytes);
        if (done) done(text);
    });
}

void showItemsInFileManager(const QStringList& paths) {
    if (paths.isEmpty()) return;
    auto fallback = [paths](const QString& why) {
        systemLog(QStringLiteral("No file manager shows files on the session bus (%1): opening their folder").arg(why));
        openInFileManager(Path::deletingLastPathComponent(paths.first()));
    };
    if (qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS")) {
        fallback(QStringLiteral("no session bus"));
        return;
    }
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        fallback(QStringLiteral("not connected"));
        return;
    }
    QStringList uris;
    for (const QString& path : paths) uris += QString::fromLatin1(QUrl::fromLocalFile(path).toEncoded());
    QDBusMessage call = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.FileManager1"),
                                                       QStringLiteral("/org/freedesktop/FileManager1"),
                                                       QStringLiteral("org.freedesktop.FileManager1"),
                                                       QStringLiteral("ShowItems"));
    call << uris << QString();
    auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(call, 5000));
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, [fallback](QDBusPendingCallWatcher* w) {
        const QDBusPendingReply<> reply = *w;
        if (reply.isError()) fallback(reply.error().name());
        w->deleteLater();
    });
}

bool composeEmail(const QString& subject, const QString& body, const QStringList& attachments) {
    if (!available(QStringLiteral("xdg-email"), QStringLiteral("the logs cannot be handed to a mail program"))) return false;
    QStringList args{QStringLiteral("--subject"), subject, QStringLiteral("--body"), body};
    for (const QString& file : attachments) args << QStringLiteral("--attach") << file;
    // Detached: the mail program lives on after we are done with it.
    if (QProcess::startDetached(QStringLiteral("xdg-email"), args)) return true;
    systemLog(QStringLiteral("xdg-email could not be started"));
    return false;
}

}  // namespace Desktop
