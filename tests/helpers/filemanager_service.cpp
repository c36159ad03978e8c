// A stand-in for the desktop's file manager on a private session bus: owns
// org.freedesktop.FileManager1 and prints "ShowItems <uri> <uri>..." for every request.
// Prints "ready" once it owns the name. Usage: filemanager_service <milliseconds to stay>
#include <QCoreApplication>
#include <QDBusConnection>
#include <QStringList>
#include <QTimer>

#include <cstdio>
#include <cstdlib>

class FileManager : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.FileManager1")

public slots:
    void ShowItems(const QStringList& uris, const QString& startupId) {
        Q_UNUSED(startupId);
        std::printf("ShowItems %s\n", qPrintable(uris.join(' ')));
        std::fflush(stdout);
    }
};

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    FileManager manager;
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.registerObject("/org/freedesktop/FileManager1", &manager, QDBusConnection::ExportAllSlots) ||
        !bus.registerService("org.freedesktop.FileManager1")) {
        std::printf("failed\n");
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    QTimer::singleShot(argc > 1 ? std::atoi(argv[1]) : 10000, &app, &QCoreApplication::quit);
    return app.exec();
}

#include "filemanager_service.moc"
