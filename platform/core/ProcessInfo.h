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

private:
    ProcessInfo() = default;
    bool requested_ = false;
};
