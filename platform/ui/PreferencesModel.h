#pragma once

#include <QString>

#include <functional>

// What the window shows and edits, as the application defines it: the setting behind each
// control, the bounds of the numbers, and how a daily folder pattern names today's folder.
struct PreferencesModel {
    QString sourceFolderKey;
    QString dailyPatternKey;
    QString newestCountKey;
    QString repeatCountKey;
    QString createMissingFolderKey;
    QString showMenuBarKey;
    int newestCountMinimum = 0;
    int newestCountMaximum = 0;
    int repeatCountMinimum = 0;
    int repeatCountMaximum = 0;
    // Today's folder name for a pattern; the window calls it with the default pattern for a blank one.
    std::function<QString(const QString& pattern)> todaysFolderName;
    QString defaultDailyPattern;
};
