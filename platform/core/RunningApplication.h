#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <functional>
#include <optional>

// The running instances of a program, known by its bundle identifier, and their activation.
// Per user, an instance is the process that holds the identifier's lock file in the runtime
// folder; it listens on a local socket beside it for requests to come to the front. Only
// one process can hold the lock at the path, so of launches made at the same instant exactly
// one gets it, also while one of them takes the lock over from a holder whose main thread ended.
class RunningApplication {
public:
    static RunningApplication currentApplication();

    // The instances with this identifier, in registration order: the one holding the lock
    // first, then this process when it is not that one. Asking registers this process when no
    // other holds the lock (and then it listens for activation requests: call it on the
    // main thread). None when the runtime folder cannot be used.
    static std::optional<QList<RunningApplication>> runningApplicationsWithBundleIdentifier(const QString& bundleIdentifier);

    // A holder of the lock whose main thread has ended is not running: killed while a thread of it
    // waits in a file system that does not answer, it stays a zombie that keeps the lock until that
    // thread ends. Asking for the running instances then takes the lock over from it (the lock
    // file made anew at the same path) and registers this process; this says which process was
    // replaced and what was seen of it. None when this process took a free lock, or is not registered.
    struct Replaced {
        qint64 pid = 0;
        QString seen;
    };
    static std::optional<Replaced> replacedInstance(const QString& bundleIdentifier);

    // What the registered instance does when another launch asks it to come to the front;
    // runs on the main thread. A request that came before the handler is kept for it.
    static void setActivationHandler(std::function<void()> handler);

    // What the registered instance answers to a status request: one line of text (JSON, say),
    // made on the main thread when the request comes, so an instance whose main thread hangs
    // does not answer. Without a provider it answers an empty line.
    static void setStatusProvider(std::function<QByteArray()> provider);

    // Asks the running instance with this identifier for its status. Any thread; waits at
    // most timeoutMs for the answer.
    struct StatusAnswer {
        enum class Outcome { Answered, NotRunning, NoAnswer } outcome = Outcome::NotRunning;
        QByteArray reply;  // the provider's line, without its newline
    };
    static StatusAnswer requestStatus(const QString& bundleIdentifier, int timeoutMs);

    // $XDG_RUNTIME_DIR, or a private folder in /tmp when it is not set.
    static QString runtimeDirectory();

    qint64 processIdentifier() const { return pid_; }
    QString bundleIdentifier() const { return bundleIdentifier_; }

    // Asks that instance to bring its windows to the front (option 2: ignoring other
    // applications, which is what every request here does). False when it did not answer.
    bool activateWithOptions(unsigned options) const;

private:
    RunningApplication(qint64 pid, const QString& bundleIdentifier) : pid_(pid), bundleIdentifier_(bundleIdentifier) {}
    qint64 pid_;
    QString bundleIdentifier_;
};
