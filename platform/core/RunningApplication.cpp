#include "platform/core/RunningApplication.h"

#include "platform/core/PathUtilities.h"
#include "platform/core/Queues.h"
#include "platform/core/SystemLog.h"

#include <QDir>
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

std::mutex gMutex;
std::function<void()> gActivationHandler;
bool gActivationPending = false;
std::function<QByteArray()> gStatusProvider;

struct Registration {
    int lockFd = -1;  // held for the life of the process
    QPointer<QLocalServer> server;
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
    const int fd = open(lockPath.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        systemLog(QStringLiteral("Cannot open %1: %2").arg(QFile::decodeName(lockPath), QString::fromLocal8Bit(strerror(errno))));
        return std::nullopt;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
        Registration& registration = gRegistrations[bundleIdentifier];
        registration.lockFd = fd;
        const QByteArray pid = QByteArray::number(static_cast<qint64>(getpid())) + '\n';
        if (ftruncate(fd, 0) != 0 || pwrite(fd, pid.constData(), static_cast<size_t>(pid.size()), 0) != pid.size()) {
            systemLog(QStringLiteral("Cannot record this instance in %1").arg(QFile::decodeName(lockPath)));
        }
        listenForActivation(registration, fileStem(bundleIdentifier) + QStringLiteral(".socket"));
        return QList<RunningApplication>{self};
    }

    // Another process holds the lock; it writes its number right after taking it.
    qint64 holder = 0;
    QElapsedTimer waited;
    waited.start();
    while ((holder = readHolderPid(fd)) == 0 && waited.elapsed() < kPidWaitMs) QThread::msleep(20);
    close(fd);
    return QList<RunningApplication>{RunningApplication(holder, bundleIdentifier), self};
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
