#pragma once

#include "log/KORVAL_Base.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QVariantMap>

#include <chrono>
#include <cstdint>
#include <optional>

struct Notification;

extern const QString KORVAL_LogFileDidUpdate;
extern const QString KORVAL_LogFileAddedString;

// The process-wide log: one timestamped line per message, written unbuffered to the log file,
// with standard error pointed into the same file once it is open. Before a file is open,
// lines are kept in memory only while echo to standard error is on; otherwise dropped.
//
// Line: code, blank, "[yyyy/MM/dd HH:mm:ss.SSS Z]" (the calendar year), blank, message, newline;
// the codes are I (0), D (1 and any unknown level), D2 (2), E (3), W (4). Under systemd each
// message also goes to the journal, with its level as priority.
class KORVAL_Log : public KORVAL_Base {
public:
    enum Level { Info = 0, Debug = 1, Debug2 = 2, Error = 3, Warn = 4 };

    // Rolls the file, opens it for appending with mode 0664 and redirects standard error
    // into it. False when the path is none, a file is already open, or it cannot be opened.
    static bool setLogFile(const QString& path);
    static void setShouldNotifyForLogUpdates(bool flag);
    static void setShouldLogToStdErr(bool flag);
    static void setShouldLogAppName(bool flag);
    static void setApplicationName(const QString& name);

    static QString logDateString();
    static void logLevel(int level, const QString& message);
    // Level 1, one line per newline-separated piece.
    static void debug(const QString& message);
    // A line that a loop may say again and again unchanged: written the first time, then at most
    // once every kRepeatInterval as "<message> (repeated N times)".
    static void debugRepeatable(const QString& message);
    static void err(const QString& message);
    // A failure the operator must see at once: a WARN line of the log (and so of the journal),
    // and on standard error as it was at start when that was a terminal.
    static void warnOperator(const QString& message);
    // Logs at level 3, then stops the calling thread for good.
    [[noreturn]] static void fatal(const QString& message);

    static void logFileDidUpdate(const Notification& notification);

    // Rolls at 1 MiB into the companion "_old" file. The open log file rolls by the same rule
    // while the program runs, checked after each line.
    static void rollLogFileIfNecessary(const QString& path);
    // When the file has reached atSize bytes: appends it to toPath (none: the file's name
    // with "_old" before its extension), keeps at most the last 10 MiB of whole lines there,
    // then empties the log file. Reads no more of either file than the kept tail.
    static void rollLogFile(const QString& path, const QString& toPath, std::uint64_t atSize);

    // The system-information utilities again, as the log's own: a failed temporary file is
    // reported through debug(), and the versions of this class take part in the banner.
    static std::optional<QVariantMap> vmStats() { return KORVAL_Base::vmStats(); }
    static QString hostModelAndArch() { return KORVAL_Base::hostModelAndArch(); }
    static QString systemVersionInfo() { return systemVersionInfoOf<KORVAL_Log>(); }
    static QString startupInfo() { return startupInfoOf<KORVAL_Log>(); }
    static QString safeTempFile(int* descriptor = nullptr);
    // Whether the whole address, lower-cased, is an e-mail address by the general expression
    // after RFC 5322.
    static bool validateEmailAddress(const QString& address);

    // The data as hex-and-characters lines, sixteen bytes a line, each a DEBUG line of the log.
    static void logData(const QByteArray& data);
    // The body of a dump line (hex column, " |", characters, "|"); a percent sign is written
    // twice for the log, once otherwise.
    static QString hexDumpBody(const char* bytes, qsizetype count, bool doublePercent);

    static constexpr std::uint64_t kRollThreshold = 1048576;
    static constexpr std::uint64_t kOldFileCap = 10485760;
    static constexpr qsizetype kMemoryBufferLimit = 1000000;
    static constexpr qsizetype kMemoryBufferTrim = 10000;
    static constexpr std::chrono::seconds kRepeatInterval{60};

private:
    // Rolls the open log file (read and emptied through fd; its old file is named after path) by
    // the same rule while the program runs. The caller holds the log and logs the messages once
    // it has let go. False when the log file was left whole.
    static bool rollOpenLogFile(int fd, const QString& path, QStringList& messages);
};
