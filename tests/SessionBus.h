#pragma once

// A private session bus (dbus-daemon) for one test.
#include <QProcess>
#include <QString>
#include <QTemporaryDir>

namespace test {

class SessionBus {
public:
    SessionBus() {
        // Its socket in a folder of ours: the default place is /tmp, where a killed daemon leaves it.
        daemon.start("dbus-daemon", {"--session", "--nofork", "--print-address=1",
                                     "--address=unix:dir=" + socketFolder.path()});
        if (daemon.waitForStarted(5000) && daemon.waitForReadyRead(5000)) {
            address = QString::fromUtf8(daemon.readLine()).trimmed();
        }
    }
    ~SessionBus() {
        daemon.terminate();
        if (!daemon.waitForFinished(5000)) {
            daemon.kill();
            daemon.waitForFinished();
        }
    }
    QTemporaryDir socketFolder;
    QProcess daemon;
    QString address;
};

}  // namespace test
