// Registers as an instance of a bundle identifier, the way the player does at start-up, and
// reports on standard output what it found: "primary <pid>" then "activated" for each request
// to come forward, or "secondary <pid of the instance>" then "sent 1|0".
// Usage: instance_probe <bundle id> <milliseconds to stay> [--late-handler]
#include "platform/core/RunningApplication.h"

#include <QCoreApplication>
#include <QTimer>

#include <cstdio>
#include <cstring>

#include <unistd.h>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc < 3) return 2;
    const QString id = QString::fromUtf8(argv[1]);
    const int stayMs = std::atoi(argv[2]);
    const bool lateHandler = argc > 3 && std::strcmp(argv[3], "--late-handler") == 0;

    const auto running = RunningApplication::runningApplicationsWithBundleIdentifier(id);
    if (!running) {
        std::printf("none\n");
        return 3;
    }
    if (running->size() > 1) {
        const RunningApplication& other = running->first();
        std::printf("secondary %lld\n", static_cast<long long>(other.processIdentifier()));
        std::fflush(stdout);
        std::printf("sent %d\n", other.activateWithOptions(2) ? 1 : 0);
        return 0;
    }
    std::printf("primary %lld\n", static_cast<long long>(getpid()));
    std::fflush(stdout);
    auto install = [] {
        RunningApplication::setActivationHandler([] {
            std::printf("activated\n");
            std::fflush(stdout);
        });
    };
    if (lateHandler) {
        QTimer::singleShot(1500, install);
    } else {
        install();
    }
    QTimer::singleShot(stayMs, &app, &QCoreApplication::quit);
    return app.exec();
}
