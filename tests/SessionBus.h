#pragma once

// A private session bus (dbus-daemon) for one test.
#include <QProcess>
#include <QString>

namespace test {

class SessionBus {
public:
    SessionBus() {
        daemon.start("dbus-daemon", {"--session", "--nofork", "--print-address=1"});
        if (daemon.waitForStarted(5000) && daemon.waitForReadyRead(5000)) {
            address = QString::fromUtf8(daemon.readLine()).trimmed();
        }
    }
    ~SessionBus() {
        daemon.kill();
        daemon.waitForFinished();
    }
    QProcess daemon;
    QString address;
};

}  // namespace test
