#include "platform/core/RunningApplication.h"

#include "platform/core/PathUtilities.h"
#include "platform/core/Queues.h"
#include "platform/core/SystemLog.h"

#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QCoreApplication>
#include <QLocalServer>
#include <QLocalSocket>
#include <QMap>
#include <QPointer>
#include <QThread>

#include <cerrno>
#include <cstring>
#include <utility>
#include <mutex>

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QByteArray kActivateRequest = "activate\n";
const QByteArray kStatusRequest = "status\n";
// Requests are one short line; a peer that sends more is not one of ours.
constexpr qint64 kMaxRequestBytes = 256;
constexpr int kActivationTimeoutMs = 5000;
constexpr int kPidWaitMs = 2000;
// The takeover lock is held only while a launch replaces the lock file.
constexpr int kTakeoverWaitMs = 5000;

std::mutex gMutex;
std::function<void()> gActivationHandler;
bool gActivationPending = false;
std::function<QByteArray()> gStatusProvider;

struct Registration {
    int lockFd = -1;  // held for the life of the process
    QPointer<QLocalServer> server;
    std::optional<RunningApplication::Replaced> replaced;
};
QMap<QString, Registration> gRegistrations;

QString fileStem(const QString& bundleIdentifier) {
    return Path::appendingPathComponent(RunningApplication::runtimeDirectory(), bundleIdentifier);
}

void deliverActivation() {
    std::function<void()> handler;
    {
        std::lock_guard<std::mutex> lock(gMutex);
        if (!gActivationHandler) {
            gActivationPending = true;
            return;
        }
        handler = gActivationHandler;
    }
    DispatchQueue::main().async(handler);
}

// On the main thread, where the server lives: a hung main thread leaves the request unanswered.
void answerStatus(QLocalSocket* socket) {
    std::function<QByteArray()> provider;
    {
        std::lock_guard<std::mutex> lock(gMutex);
        provider = gStatusProvider;
    }
    QByteArray reply = provider ? provider() : QByteArray();
    reply.replace('\n', ' ');
    socket->write(reply + '\n');
    socket->disconnectFromServer();  // after the bytes are written
}

void listenForActivation(Registration& registration, const QString& socketPath) {
    // Owned by the application object, so that it closes (and its socket goes) when the run ends.
    auto* server = new QLocalServer(QCoreApplication::instance());
    server->setSocketOptions(QLocalServer::UserAccessOption);
    QLocalServer::removeServer(socketPath);  // we hold the lock: any socket left there is stale
    if (!server->listen(socketPath)) {
        systemLog(QStringLiteral("Cannot listen for activation requests at %1: %2").arg(socketPath, server->errorString()));
        delete server;
        return;
    }
    QObject::connect(server, &QLocalServer::newConnection, server, [server] {
        while (QLocalSocket* socket = server->nextPendingConnection()) {
            QObject::connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
            QObject::connect(socket, &QLocalSocket::readyRead, socket, [socket] {
                while (socket->canReadLine()) {
                    const QByteArray request = socket->readLine();
                    if (request == kActivateRequest) deliverActivation();
                    if (request == kStatusRequest) answerStatus(socket);
                }
                if (socket->bytesAvailable() > kMaxRequestBytes) socket->abort();
            });
        }
    });
    registration.server = server;
}

// The state letter of a thread (or of a process's main thread) in its /proc stat line; 0 when it
// cannot be read. The name before it may hold any character, so the letter follows the last ')'.
char threadState(const QString& statPath) {
    QFile file(statPath);
    if (!file.open(QIODevice::ReadOnly)) return 0;
    const QByteArray stat = file.read(4096);
    const qsizetype close = stat.lastIndexOf(')');
    return close >= 0 && close + 2 < stat.size() ? stat.at(close + 2) : 0;
}

// What was seen of a lock holder whose main thread has ended, for the log; empty while its main
// thread runs. A process killed while a thread of it waits in a file system that does not answer
// stays a zombie with that thread, and keeps its open files (the lock among them) until it ends.
QString mainThreadEnded(qint64 pid) {
    const QString task = QStringLiteral("/proc/%1/task").arg(pid);
    const char main = threadState(QStringLiteral("%1/%2/stat").arg(task).arg(pid));
    if (main != 'Z' && main != 'X') return QString();
    int threads = 0;
    int waiting = 0;
    QDirIterator it(task, QDir::Dirs | QDir::NoDotAndDotDot);
    while (it.hasNext()) {
        const QString path = it.next();
        if (it.fileName() == QString::number(pid)) continue;
        ++threads;
        if (threadState(path + QStringLiteral("/stat")) == 'D') ++waiting;
    }
    return QStringLiteral("its main thread has ended (state %1); threads left: %2, of which in uninterruptible "
                          "wait (state D): %3")
        .arg(QChar::fromLatin1(main), QString::number(threads), QString::number(waiting));
}

qint64 readHolderPid(int fd) {
    char buffer[32] = {};
    const ssize_t n = pread(fd, buffer, sizeof buffer - 1, 0);
    if (n <= 0) return 0;
    const qint64 pid = QByteArray(buffer, static_cast<qsizetype>(n)).trimmed().toLongLong();
    if (pid <= 0) return 0;
    // A number left behind by an instance that has ended does not count.
    if (kill(static_cast<pid_t>(pid), 0) != 0 && errno != EPERM) return 0;
    return pid;
}

// Waits a little for the holder's number: it writes it right after taking the lock.
qint64 waitForHolderPid(int fd) {
    qint64 holder = 0;
    QElapsedTimer waited;
    waited.start();
    while ((holder = readHolderPid(fd)) == 0 && waited.elapsed() < kPidWaitMs) QThread::msleep(20);
    return holder;
}

// Whether the open file is the one that the path names now.
bool namesFile(const QByteArray& path, int fd) {
    struct stat opened {};
    struct stat named {};
    return fstat(fd, &opened) == 0 && stat(path.constData(), &named) == 0 && opened.st_dev == named.st_dev &&
           opened.st_ino == named.st_ino;
}

enum class Lock { Held, Busy, Failed };

// Takes the lock of the file at the path without waiting, and writes this process's number into
// it. Held: `fd` holds the lock; Busy: another process holds it, and `fd` is open on its file (or
// -1 when the file kept being replaced). A takeover may unlink the file between the open and the
// lock: a lock taken on a file that the path no longer names counts for nothing, so that two
// launches never both hold the lock.
Lock tryLock(const QByteArray& path, int* fd) {
    *fd = -1;
    for (int attempt = 0; attempt < 10; ++attempt) {
        const int opened = open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (opened < 0) {
            systemLog(QStringLiteral("Cannot open %1: %2").arg(QFile::decodeName(path), QString::fromLocal8Bit(strerror(errno))));
            return Lock::Failed;
        }
        if (flock(opened, LOCK_EX | LOCK_NB) != 0) {
            *fd = opened;
            return Lock::Busy;
        }
        if (namesFile(path, opened)) {
            const QByteArray pid = QByteArray::number(static_cast<qint64>(getpid())) + '\n';
            if (ftruncate(opened, 0) != 0 || pwrite(opened, pid.constData(), static_cast<size_t>(pid.size()), 0) != pid.size()) {
                systemLog(QStringLiteral("Cannot record this instance in %1").arg(QFile::decodeName(path)));
            }
            *fd = opened;
            return Lock::Held;
        }
        close(opened);
    }
    return Lock::Busy;
}

// Replaces the lock file of a holder whose main thread has ended with a fresh one and locks that.
// Launches that all found the same holder gone take turns under the takeover lock, and each looks
// again at the lock first: only the first replaces the file, the others find the new holder.
Lock takeOver(const QByteArray& path, const QByteArray& takeoverPath, qint64 gone, int* fd) {
    const int guard = open(takeoverPath.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (guard < 0) return Lock::Failed;
    QElapsedTimer waited;
    waited.start();
    while (flock(guard, LOCK_EX | LOCK_NB) != 0) {
        if (waited.elapsed() >= kTakeoverWaitMs) {
            close(guard);
            return Lock::Failed;
        }
        QThread::msleep(10);
    }
    Lock lock = tryLock(path, fd);
    if (lock == Lock::Busy && *fd >= 0 && readHolderPid(*fd) == gone && !mainThreadEnded(gone).isEmpty()) {
        unlink(path.constData());
        close(*fd);
        lock = tryLock(path, fd);
    }
    close(guard);
    return lock;
}

}  // namespace

RunningApplication RunningApplication::currentApplication() {
    return RunningApplication(getpid(), QString());
}

QString RunningApplication::runtimeDirectory() {
    const QString runtime = QString::fromLocal8Bit(qgetenv("XDG_RUNTIME_DIR"));
    if (!runtime.isEmpty() && QFileInfo(runtime).isDir()) return runtime;
    const QString fallback = QStringLiteral("/tmp/vornplayer-%1").arg(getuid());
    mkdir(QFile::encodeName(fallback).constData(), 0700);
    struct stat st {};
    if (lstat(QFile::encodeName(fallback).constData(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != getuid()) {
        return QString();  // someone else's folder: do not use it
    }
    return fallback;
}

std::optional<QList<RunningApplication>> RunningApplication::runningApplicationsWithBundleIdentifier(
    const QString& bundleIdentifier) {
    if (bundleIdentifier.isEmpty() || runtimeDirectory().isEmpty()) return std::nullopt;
    const RunningApplication self(getpid(), bundleIdentifier);
    std::lock_guard<std::mutex> lock(gMutex);
    if (gRegistrations.contains(bundleIdentifier)) return QList<RunningApplication>{self};

    const QByteArray lockPath = QFile::encodeName(fileStem(bundleIdentifier) + QStringLiteral(".lock"));
    int fd = -1;
    Lock got = tryLock(lockPath, &fd);
    if (got == Lock::Failed) return std::nullopt;
    qint64 holder = got == Lock::Busy && fd >= 0 ? waitForHolderPid(fd) : 0;
    std::optional<Replaced> replaced;
    const QString seen = holder > 0 ? mainThreadEnded(holder) : QString();
    if (!seen.isEmpty()) {
        close(fd);
        fd = -1;
        const QByteArray takeoverPath = QFile::encodeName(fileStem(bundleIdentifier) + QStringLiteral(".takeover.lock"));
        // Without the takeover lock, the holder stays the instance, and this launch ends as beside any other.
        got = takeOver(lockPath, takeoverPath, holder, &fd);
        if (got == Lock::Held) replaced = Replaced{holder, seen};
        if (got == Lock::Busy && fd >= 0) holder = waitForHolderPid(fd);
        if (got == Lock::Failed) got = Lock::Busy;
    }
    if (got == Lock::Held) {
        Registration& registration = gRegistrations[bundleIdentifier];
        registration.lockFd = fd;
        registration.replaced = replaced;
        listenForActivation(registration, fileStem(bundleIdentifier) + QStringLiteral(".socket"));
        return QList<RunningApplication>{self};
    }
    if (fd >= 0) close(fd);
    return QList<RunningApplication>{RunningApplication(holder, bundleIdentifier), self};
}

std::optional<RunningApplication::Replaced> RunningApplication::replacedInstance(const QString& bundleIdentifier) {
    std::lock_guard<std::mutex> lock(gMutex);
    const auto it = gRegistrations.constFind(bundleIdentifier);
    return it == gRegistrations.constEnd() ? std::nullopt : it->replaced;
}

void RunningApplication::setActivationHandler(std::function<void()> handler) {
    bool pending = false;
    {
        std::lock_guard<std::mutex> lock(gMutex);
        gActivationHandler = std::move(handler);
        pending = std::exchange(gActivationPending, false) && gActivationHandler;
    }
    if (pending) deliverActivation();
}

void RunningApplication::setStatusProvider(std::function<QByteArray()> provider) {
    std::lock_guard<std::mutex> lock(gMutex);
    gStatusProvider = std::move(provider);
}

RunningApplication::StatusAnswer RunningApplication::requestStatus(const QString& bundleIdentifier, int timeoutMs) {
    StatusAnswer answer;
    if (bundleIdentifier.isEmpty() || runtimeDirectory().isEmpty()) return answer;
    QLocalSocket socket;
    socket.connectToServer(fileStem(bundleIdentifier) + QStringLiteral(".socket"));
    // A socket nobody listens on refuses at once; a running instance's kernel takes the
    // connection even while its main thread hangs, which then shows as no answer.
    if (!socket.waitForConnected(timeoutMs)) return answer;
    answer.outcome = StatusAnswer::Outcome::NoAnswer;
    QElapsedTimer waited;
    waited.start();
    socket.write(kStatusRequest);
    QByteArray reply;
    while (!reply.endsWith('\n')) {
        const qint64 left = timeoutMs - waited.elapsed();
        if (left <= 0) return answer;
        if (socket.bytesAvailable() == 0 && !socket.waitForReadyRead(static_cast<int>(left))) {
            if (socket.state() != QLocalSocket::ConnectedState && socket.bytesAvailable() == 0) return answer;
            continue;
        }
        reply += socket.readAll();
    }
    answer.outcome = StatusAnswer::Outcome::Answered;
    answer.reply = reply.chopped(1);
    return answer;
}

bool RunningApplication::activateWithOptions(unsigned options) const {
    Q_UNUSED(options);
    if (pid_ == getpid()) {
        deliverActivation();
        return true;
    }
    const QString socketPath = fileStem(bundleIdentifier_) + QStringLiteral(".socket");
    QElapsedTimer waited;
    waited.start();
    // The instance may still be starting and not yet listening: keep trying for a while.
    while (waited.elapsed() < kActivationTimeoutMs) {
        QLocalSocket socket;
        socket.connectToServer(socketPath);
        if (socket.waitForConnected(500)) {
            socket.write(kActivateRequest);
            const bool sent = socket.waitForBytesWritten(1000);
            socket.disconnectFromServer();
            return sent;
        }
        QThread::msleep(50);
    }
    return false;
}
