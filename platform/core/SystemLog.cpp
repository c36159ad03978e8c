#include "platform/core/SystemLog.h"

#include "platform/core/DateFormatter.h"
#include "platform/core/Journal.h"

#include <cerrno>
#include <sys/syscall.h>
#include <syslog.h>
#include <unistd.h>

extern char* program_invocation_short_name;

void systemLog(const QString& message) {
    static const DateFormatter* stamp = new DateFormatter(QLatin1String(kLogTimestampPattern));  // lives to the exit
    const QString line = QStringLiteral("%1 %2[%3:%4] %5\n")
                             .arg(stamp->stringFromDate(DateFormatter::Clock::now()),
                                  QString::fromLocal8Bit(program_invocation_short_name),
                                  QString::number(getpid()), QString::number(syscall(SYS_gettid)), message);
    const QByteArray bytes = line.toUtf8();
    // One write keeps the line whole among other writers of the same file.
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(STDERR_FILENO, bytes.constData() + done, static_cast<size_t>(bytes.size() - done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += n;
    }
    Journal::write(LOG_NOTICE, message);
}
