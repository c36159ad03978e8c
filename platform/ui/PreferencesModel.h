#pragma once

#include <QList>
#include <QString>

#include <functional>

// The controls of the preferences window that stand for a setting; None for a setting the
// window does not show.
enum class PreferencesControl {
    None,
    SourceFolder,
    DailyPattern,
    NewestCount,
    RepeatCount,
    CreateMissingFolder,
    ShowMenuBar,
};

// One setting the window shows: the control bound to it, its key, and for a number its bounds.
struct PreferencesSetting {
    PreferencesControl control = PreferencesControl::None;
    QString key;
    int minimum = 0;
    int maximum = 0;
};

// What the window shows and edits, as the application defines it: the setting behind each
// control with its bounds, and how a daily folder pattern names today's folder.
struct PreferencesModel {
    QList<PreferencesSetting> settings;
    // Today's folder name for a pattern; the window calls it with the default pattern for a blank one.
    std::function<QString(const QString& pattern)> todaysFolderName;
    QString defaultDailyPattern;
};
