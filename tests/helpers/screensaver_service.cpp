// A stand-in for the desktop's screen saver service on a private session bus: owns
// org.freedesktop.ScreenSaver and prints "Inhibit <application> <reason>" for every request.
// Prints "ready" once it owns the name. Usage: screensaver_service <milliseconds to stay>
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusAbstractAdaptor>
#include <QTimer>

#include <cstdio>
#include <cstdlib>

class ScreenSaver : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.ScreenSaver")

public slots:
    uint Inhibit(const QString& application, const QString& reason) {
        std::printf("Inhibit %s %s\n", qPrintable(application), qPrintable(reason));
        std::fflush(stdout);
        return 42;
    }
};

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ScreenSaver saver;
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.registerObject("/org/freedesktop/ScreenSaver", &saver, QDBusConnection::ExportAllSlots) ||
        !bus.registerService("org.freedesktop.ScreenSaver")) {
        std::printf("failed\n");
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    QTimer::singleShot(argc > 1 ? std::atoi(argv[1]) : 10000, &app, &QCoreApplication::quit);
    return app.exec();
}

#include "screensaver_service.moc"
