// Stand-ins for the desktop's services on a private session bus. Each prints "ready" once it owns
// its name, then one line for every request it gets.
//   desktop_service screensaver <ms>   org.freedesktop.ScreenSaver: "Inhibit <application> <reason>"
//   desktop_service portal <ms>        org.freedesktop.portal.Inhibit: "Inhibit <window> <flags> <reason>"
//   desktop_service filemanager <ms>   org.freedesktop.FileManager1: "ShowItems <uri> <uri>..."
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusObjectPath>
#include <QVariantMap>
#include <QStringList>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {
void say(const QString& line) {
    std::printf("%s\n", qPrintable(line));
    std::fflush(stdout);
}
}  // namespace

class ScreenSaver : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.ScreenSaver")

public slots:
    uint Inhibit(const QString& application, const QString& reason) {
        say(QStringLiteral("Inhibit %1 %2").arg(application, reason));
        return 42;
    }
};

class Portal : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.portal.Inhibit")

public slots:
    QDBusObjectPath Inhibit(const QString& window, uint flags, const QVariantMap& options) {
        say(QStringLiteral("Inhibit [%1] %2 %3").arg(window, QString::number(flags), options.value("reason").toString()));
        return QDBusObjectPath("/org/freedesktop/portal/desktop/request/1/vorn");
    }
};

class FileManager : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.FileManager1")

public slots:
    void ShowItems(const QStringList& uris, const QString& startupId) {
        Q_UNUSED(startupId);
        say(QStringLiteral("ShowItems ") + uris.join(' '));
    }
};

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc < 2) return 2;
    const bool saver = std::strcmp(argv[1], "screensaver") == 0;
    const bool portal = std::strcmp(argv[1], "portal") == 0;
    ScreenSaver screenSaver;
    Portal desktopPortal;
    FileManager fileManager;
    QObject* object = saver ? static_cast<QObject*>(&screenSaver) : portal ? static_cast<QObject*>(&desktopPortal) : &fileManager;
    const QString name = saver ? "org.freedesktop.ScreenSaver" : portal ? "org.freedesktop.portal.Desktop" : "org.freedesktop.FileManager1";
    const QString path = saver ? "/org/freedesktop/ScreenSaver" : portal ? "/org/freedesktop/portal/desktop" : "/org/freedesktop/FileManager1";
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.registerObject(path, object, QDBusConnection::ExportAllSlots) || !bus.registerService(name)) {
        say("failed");
        return 1;
    }
    say("ready");
    QTimer::singleShot(argc > 2 ? std::atoi(argv[2]) : 10000, &app, &QCoreApplication::quit);
    return app.exec();
}

#include "desktop_service.moc"
