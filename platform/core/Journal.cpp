#include "platform/core/Journal.h"

#include <QByteArray>
#include <QList>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <mutex>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

extern char* program_invocation_short_name;

namespace {

std::atomic<int> keptFd{-1};
std::atomic<bool> isJournal{false};

// JOURNAL_STREAM is "device:inode" of the stream systemd connected; a child that inherited the
// variable but not the stream must not take its own standard error for the journal.
bool isJournalStream(int fd) {
    const QByteArray stream = qgetenv("JOURNAL_STREAM");
    const QList<QByteArray> parts = stream.split(':');
    if (parts.size() != 2) return false;
    bool deviceOk = false;
    bool inodeOk = false;
    const qulonglong device = parts.at(0).toULongLong(&deviceOk);
    const qulonglong inode = parts.at(1).toULongLong(&inodeOk);
    struct stat st {};
    return deviceOk && inodeOk && fstat(fd, &st) == 0 && st.st_dev == device && st.st_ino == inode;
}

// Whole, and never a SIGPIPE: a journal that restarted or a terminal that closed only loses lines.
void writeLine(int fd, const QByteArray& line) {
    struct stat st {};
    const bool socket = fstat(fd, &st) == 0 && S_ISSOCK(st.st_mode);
    if (!socket) {
        pollfd p{fd, POLLOUT, 0};
        if (poll(&p, 1, 0) == 1 && (p.revents & (POLLERR | POLLHUP))) return;
    }
    qsizetype done = 0;
    while (done < line.size()) {
        const auto size = static_cast<size_t>(line.size() - done);
        const ssize_t n = socket ? ::send(fd, line.constData() + done, size, MSG_NOSIGNAL)
                                 : ::write(fd, line.constData() + done, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        done += n;
    }
}

}  // namespace

namespace Journal {

void attachToStandardError() {
    static std::once_flag once;
    std::call_once(once, [] {
        const int fd = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
        if (fd < 0) return;
        isJournal = isJournalStream(fd);
        keptFd = fd;
    });
}

bool isAttached() { return isJournal; }

void write(int priority, const QString& message) {
    if (!isJournal) return;
    // A message with newlines stays one entry of the journal.
    writeLine(keptFd, "<" + QByteArray::number(priority & 7) + ">" + message.toUtf8().replace('\n', ' ') + "\n");
}

void tellStarter(const QString& message) {
    const int fd = keptFd;
    if (fd < 0 || isJournal) return;
    writeLine(fd, QByteArray(program_invocation_short_name) + ": " + message.toUtf8() + "\n");
}

}  // namespace Journal
