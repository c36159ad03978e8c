// Registers as an instance of a bundle identifier, the way the player does at start-up, and
// reports on standard output what it found: "primary <pid>" (then "replaced <pid>: <what was
// seen>" when it took the lock over) then "activated" for each request to come forward, or
// "secondary <pid of the instance>" then "sent 1|0".
// Usage: instance_probe <bundle id> <milliseconds to stay> [--late-handler|--main-thread-ends|--main-thread-hangs]
// --main-thread-ends: as primary, the main thread ends and another stays, the way a player killed
// in a hung share's read stays; --main-thread-hangs: as primary, the main thread sleeps.
#include "platform/core/RunningApplication.h"

#include <QCoreApplication>
#include <QThread>
#include <QTimer>

#include <cstdio>
#include <cstring>
#include <thread>

#include <pthread.h>
#include <unistd.h>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc < 3) return 2;
    const QString id = QString::fromUtf8(argv[1]);
    const int stayMs = std::atoi(argv[2]);
    const char* option = argc > 3 ? argv[3] : "";
    const bool lateHandler = std::strcmp(option, "--late-handler") == 0;

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
    if (const auto replaced = RunningApplication::replacedInstance(id)) {
        std::printf("replaced %lld: %s\n", static_cast<long long>(replaced->pid), qPrintable(replaced->seen));
    }
    std::fflush(stdout);
    if (std::strcmp(option, "--main-thread-ends") == 0) {
        std::thread([stayMs] {
            std::this_thread::sleep_for(std::chrono::milliseconds(stayMs));
            _exit(0);
        }).detach();
        pthread_exit(nullptr);
    }
    if (std::strcmp(option, "--main-thread-hangs") == 0) QThread::msleep(static_cast<unsigned long>(stayMs));
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
