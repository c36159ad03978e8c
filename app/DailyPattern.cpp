#include "app/DailyPattern.h"

#include "app/Notice.h"
#include "app/Settings.h"

#include "log/KORVAL_Log.h"
#include "platform/core/Format.h"

#include <QStringList>

bool liesInsideTheSourceFolder(const QString& name) {
    bool namesOne = false;
    for (const QString& part : name.split(QLatin1Char('/'))) {
        if (part == QLatin1String("..")) return false;
        if (!part.isEmpty() && part != QLatin1String(".")) namesOne = true;
    }
    return namesOne;
}

QString dailyFolderName(const QString& pattern, DateFormatter::Clock::time_point at) {
    const QString fallback = QLatin1String(Settings::kDefaultDailyDateFormat);
    const QString trimmed = pattern.trimmed();
    if (trimmed.isEmpty()) return DateFormatter(fallback).stringFromDate(at);
    const QString name = DateFormatter(trimmed).stringFromDate(at);
    if (liesInsideTheSourceFolder(name)) return name;
    // Said once per pattern: the scan asks every 2 s. The program has one log, so one notice.
    static Notice refused;
    refused.noteChange(trimmed, [&] {
        KORVAL_Log::debug(fmt("Daily folder pattern %@ refused: its folder \"%@\" would not lie inside the source "
                              "folder; the pattern %@ names today's folder instead",
                              trimmed, name, fallback));
    });
    return DateFormatter(fallback).stringFromDate(at);
}
