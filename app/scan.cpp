// The daily folder and the newest-items scan.
#include "app/AppDelegate.h"
#include "app/DailyPattern.h"
#include "app/Listing.h"
#include "app/Scan.h"
#include "app/Settings.h"
#include "app/SourceFolder.h"

#include "log/KORVAL_Log.h"
#include "platform/core/Format.h"
#include "platform/core/ShellCommand.h"


namespace {

DateFormatter::Clock::time_point dayOf(std::int32_t hours, std::int32_t minutes, DateFormatter::Clock::time_point now) {
    return now - std::chrono::seconds(std::int64_t(hours) * 3600 + std::int64_t(minutes) * 60);
}

}  // namespace

QString computeCurrentDaysFolderString2(std::int32_t hours, std::int32_t minutes) {
    return computeCurrentDaysFolderString2(hours, minutes, DateFormatter::Clock::now());
}

QString computeCurrentDaysFolderString2(std::int32_t hours, std::int32_t minutes,
                                        DateFormatter::Clock::time_point now) {
    return dailyFolderName(Settings::string(Setting::DailyDateFormat), dayOf(hours, minutes, now));
}

QString todaysFolderNameForPattern(const QString& pattern) {
    return dailyFolderName(pattern, dayOf(Settings::kDayChangeHour, Settings::kDayChangeMinute, DateFormatter::Clock::now()));
}

QString getTodaysDateAsString() {
    return computeCurrentDaysFolderString2(Settings::kDayChangeHour, Settings::kDayChangeMinute);
}

QString doubleQuotedForShell(const QString& path) {
    QString out = QStringLiteral("\"");
    for (const QChar c : path) {
        if (c == QLatin1Char('"') || c == QLatin1Char('$') || c == QLatin1Char('`') || c == QLatin1Char('\\')) {
            out += QLatin1Char('\\');
        }
        out += c;
    }
    return out + QLatin1Char('"');
}

QString runShellCommand(const QString& commandLine) {
    const ShellOutput out = runShellCapturingOutput(commandLine.toUtf8(), kShellOutputLimit, kShellTimeoutMs);
    if (out.status == ShellOutput::TimedOut) {
        KORVAL_Log::debug(fmt("runShellCommand: no answer within %li s, going on without output: %@",
                              long(kShellTimeoutMs / 1000), commandLine));
        return QString();
    }
    if (out.status != ShellOutput::Finished) return QString();
    return Listing::textOfOutput(out.bytes);
}

// The scan belongs to the source folder; the controller answers for it.
QString AppDelegate::getDailyFolderForSourceFolder() const { return SourceFolder::snapshot().daily; }

bool AppDelegate::validateDailyFolder() { return sourceFolder_->validateDailyFolder(SourceFolder::snapshot()); }

QStringList AppDelegate::scanFolderForNewItems() { return sourceFolder_->scanFolderForNewItems(SourceFolder::snapshot()); }

QStringList AppDelegate::newestCompleteFiles() { return newestCompleteListing().complete; }

PlayQueueState::Found AppDelegate::newestCompleteListing() { return sourceFolder_->newestCompleteListing(); }
