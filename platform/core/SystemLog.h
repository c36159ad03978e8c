#pragma once

#include <QString>

// The timestamp of every line in the log file, the log facility's and the platform's alike. The
// year is the calendar year (yyyy): the week-based year (YYYY) dates the last days of December
// a year ahead.
inline constexpr const char* kLogTimestampPattern = "[yyyy/MM/dd HH:mm:ss.SSS Z]";

// The platform's own diagnostic output: one line on standard error, which the log facility
// points into the log file once it is open, and into the journal under systemd.
// Line: "[2026/12/07 20:10:26.042 +0100] vornplayer[1234:1240] message"
void systemLog(const QString& message);
