#pragma once

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>
#include <QTemporaryDir>

#include <functional>

#include <sys/wait.h>
#include <unistd.h>

namespace test {

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
