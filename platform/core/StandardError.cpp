#include "platform/core/StandardError.h"

#include "platform/core/DateFormatter.h"
#include "platform/core/SystemLog.h"

#include <QString>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/eventfd.h>
#include <unistd.h>

extern char* program_invocation_short_name;

namespace {

// A line longer than this without a line feed is written in pieces of this size.
constexpr qsizetype kLongestLine = 64 * 1024;

struct Stamper {
    std::atomic<int> target{-1};
    std::atomic<ino_t> pipeInode{0};  // of the pipe behind descriptor 2 while stamping
    int readEnd = -1;
    int stop = -1;  // an eventfd that wakes the thread for the last drain
    std::thread thread;
    std::mutex finishing;
    bool finished = false;
};

Stamper& stamper() {
    static Stamper* s = new Stamper;  // outlives every thread that may still write at exit
    return *s;
}

void writeAll(int fd, const QByteArray& bytes) {
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + done, static_cast<size_t>(bytes.size() - done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        done += n;
    }
}

QByteArray stamped(const QByteArray& text) {
    static const DateFormatter* stamp = new DateFormatter(QLatin1String(kLogTimestampPattern));  // lives to the exit
    static const QByteArray who = QByteArray(program_invocation_short_name) + '[' + QByteArray::number(getpid()) + "] ";
    return stamp->stringFromDate(DateFormatter::Clock::now()).toUtf8() + ' ' + who + text + '\n';
}

// Writes every whole line of `pending` (all of it when `all`), stamped, and keeps the rest.
void writeLines(int target, QByteArray& pending, bool all) {
    qsizetype start = 0;
    for (;;) {
        const qsizetype end = pending.indexOf('\n', start);
        if (end < 0) break;
        writeAll(target, stamped(pending.mid(start, end - start)));
        start = end + 1;
    }
    pending.remove(0, start);
    while (pending.size() >= kLongestLine || (all && !pending.isEmpty())) {
        writeAll(target, stamped(pending.left(kLongestLine)));
        pending.remove(0, kLongestLine);
    }
}

// Reads until told to stop, then what is still in the pipe. Never takes a lock that a writer of
// descriptor 2 may hold: a writer blocked on a full pipe is always drained.
void run(Stamper& s) {
    const int target = s.target;
    QByteArray pending;
    char buffer[8192];
    bool stopping = false;
    for (;;) {
        pollfd fds[2] = {{s.readEnd, POLLIN, 0}, {s.stop, POLLIN, 0}};
        if (poll(fds, 2, stopping ? 0 : -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (fds[1].revents & POLLIN) stopping = true;
        const ssize_t n = ::read(s.readEnd, buffer, sizeof buffer);
        if (n > 0) {
            pending.append(buffer, n);
            writeLines(target, pending, false);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        // End of the pipe, or nothing left to read once stopping.
        if (n == 0 || stopping) break;
    }
    writeLines(target, pending, true);
}

}  // namespace

namespace StandardError {

bool stampInto(int target) {
    Stamper& s = stamper();
    std::lock_guard<std::mutex> lock(s.finishing);
    if (s.target >= 0 || s.finished) return false;
    std::fflush(stderr);
    int ends[2] = {-1, -1};
    const int stop = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (stop < 0 || pipe2(ends, O_CLOEXEC) != 0) {
        if (stop >= 0) ::close(stop);
        return dup2(target, STDERR_FILENO) >= 0;
    }
    fcntl(ends[0], F_SETFL, O_NONBLOCK);
    if (dup2(ends[1], STDERR_FILENO) < 0) {
        ::close(ends[0]);
        ::close(ends[1]);
        ::close(stop);
        return dup2(target, STDERR_FILENO) >= 0;
    }
    ::close(ends[1]);
    struct stat pipe {};
    if (fstat(ends[0], &pipe) == 0) s.pipeInode = pipe.st_ino;
    s.readEnd = ends[0];
    s.stop = stop;
    s.target = target;
    s.thread = std::thread([&s] {
        pthread_setname_np(pthread_self(), "stderr stamps");
        run(s);
    });
    std::atexit(finish);
    return true;
}

void writeLine(const QByteArray& line) {
    const Stamper& s = stamper();
    const int target = s.target;
    // Straight into the target only while descriptor 2 is still the pipe: pointed elsewhere since
    // (a test that captures it, say), the line follows descriptor 2.
    struct stat now {};
    const bool pipe = target >= 0 && fstat(STDERR_FILENO, &now) == 0 && S_ISFIFO(now.st_mode) &&
                      now.st_ino == s.pipeInode.load();
    writeAll(pipe ? target : STDERR_FILENO, line);
}

void finish() {
    Stamper& s = stamper();
    std::lock_guard<std::mutex> lock(s.finishing);
    if (s.finished || s.target < 0) return;
    s.finished = true;
    // From here on descriptor 2 writes straight into the target; the pipe only has what came before.
    std::fflush(stderr);
    dup2(s.target, STDERR_FILENO);
    const std::uint64_t one = 1;
    (void)!::write(s.stop, &one, sizeof one);
    if (s.thread.joinable()) s.thread.join();
}

}  // namespace StandardError
