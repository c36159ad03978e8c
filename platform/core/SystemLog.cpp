#include "platform/core/SystemLog.h"

#include <QDateTime>

#include <cerrno>
#include <sys/syscall.h>
#include <unistd.h>

extern char* program_invocation_short_name;

void systemLog(const QString& message) {
    const QString line = QStringLiteral("%1 %2[%3:%4] %5\n")
                             .arg(QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz")),
                                  QString::fromLocal8Bit(program_invocation_short_name),
                                  QString::number(getpid()), QString::number(syscall(SYS_gettid)), message);
    const QByteArray bytes = line.toUtf8();
    // One write keeps the line whole among other writers of the same file.
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(STDERR_FILENO, bytes.constData() + done, static_cast<size_t>(bytes.size() - done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        done += n;
    }
}
