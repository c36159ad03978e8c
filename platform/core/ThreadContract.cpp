#include "platform/core/ThreadContract.h"

#include "platform/core/StandardError.h"
#include "platform/core/SystemLog.h"

#include <QByteArray>

#include <cstdlib>

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

bool abortsOnBreak() {
    static const bool aborts = qgetenv("VORN_CONTRACTS") == "abort";
    return aborts;
}

QString callingThread() {
    if (isMainThread()) return QStringLiteral("the main thread");
    char name[16] = {};
    pthread_getname_np(pthread_self(), name, sizeof name);
    return QStringLiteral("thread %1 (%2)").arg(QString::number(syscall(SYS_gettid)), QString::fromLocal8Bit(name));
}

}  // namespace

void contract::broken(std::atomic<bool>& siteReported, const char* function, const QString& expected) {
    const QString line =
        QStringLiteral("Contract broken in %1: %2; called on %3").arg(QString::fromUtf8(function), expected, callingThread());
    if (abortsOnBreak()) {
        // Straight to the descriptor: the line must be out before the process goes.
        const QByteArray bytes = (line + QLatin1Char('\n')).toLocal8Bit();
        StandardError::writeLine(bytes);
        std::abort();
    }
    if (siteReported.exchange(true)) return;
    systemLog(line + QStringLiteral(" (reported once; the program goes on)"));
}
