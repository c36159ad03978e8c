#pragma once

#include <QByteArray>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QString>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <functional>

#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>

namespace test {

// This test program's own folder (home, settings, runtime and temporary files), made before
// main and removed when the program ends; see IsolatedEnvironment.cpp.
QString isolatedFolder();

// Where a screenshot named `name` goes: into the folder VORN_SCREENSHOT_DIR names, where it
// stays for a person to look at, else into this program's own folder.
inline QString screenshotPath(const QString& name) {
    QString folder = qEnvironmentVariable("VORN_SCREENSHOT_DIR");
    if (folder.isEmpty()) folder = isolatedFolder() + "/screenshots";
    QDir().mkpath(folder);
    return folder + "/screenshot-" + name + ".png";
}

// Waits until `condition` holds, looking every `pollMs` milliseconds, at most `timeoutMs`; true
// when it holds. On the thread of a Qt application it handles that thread's events meanwhile, so
// work queued for the main thread goes on; elsewhere it sleeps between looks.
inline bool waitUntil(const std::function<bool()>& condition, int timeoutMs = 10000, int pollMs = 10) {
    const QDeadlineTimer deadline(std::max(timeoutMs, 0));  // a negative time would never expire
    const QCoreApplication* app = QCoreApplication::instance();
    const bool handlesEvents = app && app->thread() == QThread::currentThread();
    for (;;) {
        if (condition()) return true;
        if (deadline.hasExpired()) return false;
        const int wait = static_cast<int>(std::min<qint64>(pollMs, std::max<qint64>(deadline.remainingTime(), 1)));
        if (handlesEvents) {
            // Returns at the first event handled, or when the timer fires.
            QTimer wake;
            wake.setSingleShot(true);
            wake.start(wait);
            QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
        } else {
            QThread::msleep(static_cast<unsigned long>(wait));
        }
    }
}

// Points this process's standard error at a file for as long as it lives.
class StderrToFile {
public:
    explicit StderrToFile(const QString& path) : saved_(dup(2)) {
        const int fd = open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(fd, 2);
        close(fd);
    }
    ~StderrToFile() { restore(); }
    void restore() {
        if (saved_ < 0) return;
        dup2(saved_, 2);
        close(saved_);
        saved_ = -1;
    }

private:
    int saved_;
};

inline QByteArray readAll(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

inline bool writeAll(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}

// Runs fn in a forked child (for process-wide state such as the log facility and standard
// error) and returns its exit status; a failed expectation in the child shows as status 1.
inline int runInChild(const std::function<int()>& fn) {
    fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        int status = 1;
        status = fn();
        fflush(nullptr);
        _exit(status);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace test
