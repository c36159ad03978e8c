#include "log/KORVAL_Log.h"

#include "platform/core/DateFormatter.h"
#include "log/RepeatedLines.h"
#include "platform/core/Format.h"
#include "platform/core/Journal.h"
#include "platform/core/NotificationCenter.h"
#include "platform/core/PathUtilities.h"
#include "platform/core/StandardError.h"
#include "platform/core/SystemLog.h"

#include <QFile>
#include <QStringList>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <optional>
#include <thread>

#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

extern char* program_invocation_short_name;

const QString KORVAL_LogFileDidUpdate = QStringLiteral("KORVAL_LogFileDidUpdate");
const QString KORVAL_LogFileAddedString = QStringLiteral("KORVAL_LogFileAddedString");

namespace {

constexpr mode_t kLogFileMode = 0664;

// Process-wide state of the facility, made on first use.
struct LogState {
    std::mutex mutex;
    QString applicationName = QString::fromLocal8Bit(program_invocation_short_name);
    FILE* logFileHandle = nullptr;  // never closed once open
    DateFormatter logDateFormatter{QLatin1String(kLogTimestampPattern)};
    QString logFilePath;
    QString openedPath;              // the path the open log file was opened at
    std::uint64_t rollRetrySize = 0;  // after a failed roll: the size at which to try again
    std::optional<QString> logString = QString();  // gone for good once the file opens
    std::atomic<bool> shouldNotifyForUpdates{false};
    std::atomic<bool> shouldLogToStdErr{false};
    std::atomic<bool> shouldLogAppName{false};
};

LogState& state() {
    static LogState* s = new LogState;  // outlives every thread that may still log at exit
    return *s;
}

struct LevelText {
    const char* label;
    const char* code;
    bool withName;
    int priority;  // the journal's
};

LevelText levelText(int level) {
    switch (level) {
        case 0: return {"INFO", "I", false, LOG_INFO};
        case 2: return {"DEBUG2: %@", "D2", true, LOG_DEBUG};
        case 3: return {"ERROR", "E", false, LOG_ERR};
        case 4: return {"WARN", "W", false, LOG_WARNING};
        default: return {"DEBUG: %@", "D", true, LOG_DEBUG};
    }
}

// How often a line held back as a repetition is written at most; VORNPLAYER_LOG_REPEAT_INTERVAL_MS
// shortens it for whoever needs to watch each repetition.
RepeatedLines& repeatedLines() {
    static RepeatedLines* lines = [] {
        bool ok = false;
        const qint64 ms = qEnvironmentVariable("VORNPLAYER_LOG_REPEAT_INTERVAL_MS").toLongLong(&ok);
        return new RepeatedLines(ok && ms >= 0 ? std::chrono::milliseconds(ms) : KORVAL_Log::kRepeatInterval);
    }();
    return *lines;
}

void writeAll(FILE* stream, const QByteArray& bytes) {
    if (!bytes.isEmpty()) std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stream);
}

// The player runs for weeks unattended, so the open log is rolled as soon as a line takes it
// past the threshold. Called with the log held.
bool needsRoll(const LogState& s) {
    struct stat st {};
    if (fstat(fileno(s.logFileHandle), &st) != 0) return false;
    const auto size = static_cast<std::uint64_t>(st.st_size);
    return size >= KORVAL_Log::kRollThreshold && size >= s.rollRetrySize;
}

}  // namespace

void KORVAL_Log::setShouldNotifyForLogUpdates(bool flag) { state().shouldNotifyForUpdates = flag; }
void KORVAL_Log::setShouldLogToStdErr(bool flag) { state().shouldLogToStdErr = flag; }
void KORVAL_Log::setShouldLogAppName(bool flag) { state().shouldLogAppName = flag; }

void KORVAL_Log::setApplicationName(const QString& name) {
    LogState& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.applicationName = name;
}

QString KORVAL_Log::logDateString() {
    return state().logDateFormatter.stringFromDate(DateFormatter::Clock::now());
}

void KORVAL_Log::logLevel(int level, const QString& message) {
    LogState& s = state();
    const bool echo = s.shouldLogToStdErr;
    QString line;
    QString path;
    QStringList rollMessages;
    const LevelText text = levelText(level);
    Journal::write(text.priority, message);
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        if (!echo && !s.logFileHandle) return;
        if (echo) {
            const QString label = text.withName ? fmt(text.label, s.applicationName) : QString::fromLatin1(text.label);
            writeAll(stderr, fmt("%@: %@\n", label, message).toUtf8());
        }
        if (!s.logString && !s.logFileHandle) return;
        const QString namePart = s.shouldLogAppName ? fmt(" %@:", s.applicationName) : QString(QLatin1String(""));
        line = fmt("%s %@%@ %@\n", text.code, logDateString(), namePart, message);
        if (s.logString) {
            if (s.logString->size() > kMemoryBufferLimit) s.logString->remove(0, kMemoryBufferTrim);
            s.logString->append(line);
        } else {
            // One call on an unbuffered stream: the line reaches the file whole, at once.
            writeAll(s.logFileHandle, line.toUtf8());
            if (needsRoll(s)) {
                const bool rolled = rollOpenLogFile(fileno(s.logFileHandle), s.openedPath, rollMessages);
                // A log that could not be rolled is left whole and tried again a threshold later.
                struct stat st {};
                s.rollRetrySize = rolled || fstat(fileno(s.logFileHandle), &st) != 0
                                      ? 0
                                      : static_cast<std::uint64_t>(st.st_size) + kRollThreshold;
            }
        }
        path = s.logFilePath;
    }
    if (s.shouldNotifyForUpdates) {
        NotificationCenter::defaultCenter().postNotificationName(KORVAL_LogFileDidUpdate, &s, path,
                                                                 QVariantMap{{KORVAL_LogFileAddedString, line}});
    }
    for (const QString& message : rollMessages) logLevel(Debug, message);
}

void KORVAL_Log::debug(const QString& message) {
    const QStringList pieces = message.split(QLatin1Char('\n'));
    if (pieces.size() < 2) {
        logLevel(Debug, message);
        return;
    }
    for (const QString& piece : pieces) logLevel(Debug, piece);
}

void KORVAL_Log::debugRepeatable(const QString& message) {
    if (const std::optional<QString> line = repeatedLines().pass(message, RepeatedLines::Clock::now())) debug(*line);
}

void KORVAL_Log::err(const QString& message) { logLevel(Error, message); }

void KORVAL_Log::warnOperator(const QString& message) {
    logLevel(Warn, message);
    Journal::tellStarter(message);
}

void KORVAL_Log::fatal(const QString& message) {
    logLevel(Error, message);
    std::this_thread::sleep_for(std::chrono::hours(24 * 365 * 1000));
    std::exit(1);
}

void KORVAL_Log::logFileDidUpdate(const Notification& notification) { Q_UNUSED(notification); }

bool KORVAL_Log::setLogFile(const QString& path) {
    LogState& s = state();
    // Under systemd, standard error is the journal's stream until it is pointed at the file below.
    Journal::attachToStandardError();
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        s.logFilePath = Path::standardize(path);
    }
    rollLogFileIfNecessary(path);
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        if (path.isNull() || s.logFileHandle) return false;
    }
    const QByteArray nativePath = QFile::encodeName(path);
    // Readable too, so that it can be rolled while open; close-on-exec, so that no child holds
    // it beyond the standard error it inherits.
    FILE* file = std::fopen(nativePath.constData(), "a+e");
    if (!file) {
        const int error = errno;
        debug(fmt("Failed to open log file at %@; error %d \"%s\"", path, error, std::strerror(error)));
        return false;
    }
    // Unbuffered from the first byte on, so every line is in the file the moment it is logged.
    std::setvbuf(file, nullptr, _IONBF, 0);
    fchmod(fileno(file), kLogFileMode);
    bool echo = false;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        if (s.logString && !s.logString->isEmpty()) {
            writeAll(file, s.logString->toUtf8());
            std::fflush(file);
        }
        s.logString.reset();
        s.logFileHandle = file;
        s.openedPath = path;
        echo = s.shouldLogToStdErr;
    }
    // The same open file behind standard error, so that its lines roll with the log's, each with
    // its timestamp. Should that fail, standard error stays as it was.
    if (!echo) StandardError::stampInto(fileno(file));
    return true;
}
