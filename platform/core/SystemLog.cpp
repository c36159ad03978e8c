#include "platform/core/SystemLog.h"

#include "platform/core/DateFormatter.h"
#include "platform/core/Journal.h"
#include "platform/core/StandardError.h"

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
    // One write keeps the line whole among other writers of the same file; it is stamped already,
    // so it goes past the stamping of standard error.
    StandardError::writeLine(line.toUtf8());
    Journal::write(LOG_NOTICE, message);
}
