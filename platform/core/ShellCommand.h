#pragma once

#include <QByteArray>
#include <QList>

// Runs a command line through /bin/sh and collects what it prints on standard output, within
// a time limit. Its standard error goes where ours goes (the log file). A command that has not
// ended in time is killed with its process group; when it cannot die at once (a process stuck
// on a hung network volume), it is reaped later on a background thread, never blocking the caller.
// When the work queues shut down (the program quits), a running command is killed the same way
// at once and reported as Cancelled. Safe from any thread; it blocks the caller, so never the
// main thread.
struct ShellOutput {
    enum Status { Finished, TimedOut, NotStarted, Cancelled };
    Status status = NotStarted;
    int exitCode = -1;  // when Finished: the exit status, or -1 when a signal ended it
    QByteArray bytes;   // at most the number asked for
};

ShellOutput runShellCapturingOutput(const QByteArray& commandLine, qsizetype maxBytes, int timeoutMs);

// The same for a program and its arguments, without a shell: no quoting can go wrong. The
// program is looked up in PATH when it holds no slash.
ShellOutput runProgramCapturingOutput(const QList<QByteArray>& arguments, qsizetype maxBytes, int timeoutMs);
