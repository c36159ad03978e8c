#pragma once

#include "platform/core/DateFormatter.h"

#include <QString>

#include <cstdint>

// The date text naming the daily folder: the instant that many hours and minutes before now,
// formatted with the daily date pattern setting (or the default pattern when it is blank or absent) in the local
// time zone and the user's locale.
QString computeCurrentDaysFolderString2(std::int32_t hours, std::int32_t minutes);
QString computeCurrentDaysFolderString2(std::int32_t hours, std::int32_t minutes, DateFormatter::Clock::time_point now);

// Today's date text: the day changes at 03:00 local time, not at midnight.
QString getTodaysDateAsString();
// Today's folder name for a pattern as typed (the default pattern for a blank one), with the same
// day change: what the preferences window previews.
QString todaysFolderNameForPattern(const QString& pattern);

// Runs the command line through the shell and returns what it printed (at most 512,000 bytes,
// up to the first zero byte, as UTF-8), or a null string when it printed nothing, printed
// something that is not UTF-8, could not be started or did not end within 30 seconds.
QString runShellCommand(const QString& commandLine);

// Puts a path between double quotes for the shell so that it reaches the command as one
// argument, whatever it holds: ", $, ` and \ are escaped.
QString doubleQuotedForShell(const QString& path);

inline constexpr qsizetype kShellOutputLimit = 512000;
inline constexpr int kShellTimeoutMs = 30000;
