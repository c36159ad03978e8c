#pragma once

#include <QString>

// Facts and requests about this process towards the desktop session.
class ProcessInfo {
public:
    static ProcessInfo& processInfo();

    // Keeps the screen awake (no screen saver, no idle sleep) while the process runs, through
    // the session's org.freedesktop.ScreenSaver service. Skipped without a word where there is
    // no session bus or no such service. Never undone; ends with the process.
    void disableAutomaticTermination(const QString& reason);

    // The process's resident memory in bytes, from /proc; 0 when it cannot be read. Any thread.
    static qint64 residentMemoryBytes();

    // What monitoring systems ask of every process (Prometheus's process_* metrics), from /proc;
    // a figure that cannot be read is 0. Any thread.
    struct Usage {
        double cpuSeconds = 0;        // user and system time
        qint64 residentMemoryBytes = 0;
        qint64 virtualMemoryBytes = 0;
        qint64 openFds = 0;
        qint64 maxFds = 0;
        double startTimeSeconds = 0;  // since the Unix epoch
    };
    static Usage usage();

private:
    ProcessInfo() = default;
    bool requested_ = false;
};
