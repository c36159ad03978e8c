#include "platform/core/ShellCommand.h"

#include "platform/core/Queues.h"

#include <QElapsedTimer>

#include <cerrno>
#include <csignal>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

// How often a waiting command looks whether the program is quitting.
constexpr int kCancelCheckMs = 50;

// Waits for the child until the deadline; true when it has been reaped.
bool reapBefore(pid_t pid, const QElapsedTimer& clock, int timeoutMs, int* exitCode) {
    for (;;) {
        int status = 0;
        const pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) {
            *exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            return true;
        }
        if (r < 0 && errno != EINTR) return true;
        if (clock.elapsed() >= timeoutMs || DispatchQueue::isShuttingDown()) return false;
        usleep(2000);
    }
}

void killAndReapLater(pid_t pid) {
    kill(-pid, SIGKILL);  // the whole group: the shell and what it started
    const bool queued = DispatchQueue::global(DispatchQueue::Priority::Default).async([pid] {
        while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
    });
    if (!queued) waitpid(pid, nullptr, WNOHANG);  // quitting: whatever is left goes with the process
}

}  // namespace

ShellOutput runShellCapturingOutput(const QByteArray& commandLine, qsizetype maxBytes, int timeoutMs) {
    return runProgramCapturingOutput(QList<QByteArray>{"/bin/sh", "-c", commandLine}, maxBytes, timeoutMs);
}

ShellOutput runProgramCapturingOutput(const QList<QByteArray>& arguments, qsizetype maxBytes, int timeoutMs) {
    ShellOutput result;
    if (arguments.isEmpty()) return result;
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return result;

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (int s : {SIGPIPE, SIGTERM, SIGINT, SIGCHLD}) sigaddset(&defaults, s);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    std::vector<char*> argv;
    for (const QByteArray& a : arguments) argv.push_back(const_cast<char*>(a.constData()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int spawned = posix_spawnp(&pid, arguments.first().constData(), &actions, &attr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    close(fds[1]);
    if (spawned != 0) {
        close(fds[0]);
        return result;
    }

    QElapsedTimer clock;
    clock.start();
    result.bytes.reserve(std::min<qsizetype>(maxBytes, 65536));
    bool timedOut = false;
    bool cancelled = false;
    char buffer[65536];
    while (result.bytes.size() < maxBytes) {
        const qint64 left = timeoutMs - clock.elapsed();
        if (left <= 0) {
            timedOut = true;
            break;
        }
        if (DispatchQueue::isShuttingDown()) {
            cancelled = true;
            break;
        }
        pollfd p{fds[0], POLLIN, 0};
        const int ready = poll(&p, 1, static_cast<int>(std::min<qint64>(left, kCancelCheckMs)));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) continue;  // time is checked at the top
        const qsizetype want = std::min<qsizetype>(sizeof buffer, maxBytes - result.bytes.size());
        const ssize_t n = read(fds[0], buffer, static_cast<size_t>(want));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;  // end of output
        result.bytes.append(buffer, n);
    }
    // Closing our end stops a command that still writes (it gets SIGPIPE).
    close(fds[0]);
    if (cancelled || timedOut || !reapBefore(pid, clock, timeoutMs, &result.exitCode)) {
        killAndReapLater(pid);
        result.status = DispatchQueue::isShuttingDown() ? ShellOutput::Cancelled : ShellOutput::TimedOut;
        result.bytes.clear();
        return result;
    }
    result.status = ShellOutput::Finished;
    return result;
}
