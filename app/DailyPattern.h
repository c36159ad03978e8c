#pragma once

#include "platform/core/DateFormatter.h"

#include <QString>

// The name of a daily folder: an instant formatted with the daily date pattern. A pattern whose
// folder would not lie inside the source folder (a ".." component, or nothing but "." and
// separators) is refused with one log line per pattern, and the default pattern names the folder:
// the settings file and the command line are not checked as the preferences window checks them.
// Safe from any thread.
QString dailyFolderName(const QString& pattern, DateFormatter::Clock::time_point at);

// Whether a folder name joined to the source folder names a folder inside it.
bool liesInsideTheSourceFolder(const QString& name);
