// The daily folder and the newest-items scan.
#include "app/AppDelegate.h"
#include "app/DailyPattern.h"
#include "app/LocalCopies.h"
#include "app/Scan.h"
#include "app/Settings.h"
#include "platform/core/Deadline.h"
#include "app/Validation.h"

#include "log/KORVAL_Log.h"
#include "platform/core/Bundle.h"
#include "platform/core/Format.h"
#include "platform/core/PathUtilities.h"
#include "platform/core/Queues.h"
#include "platform/core/ShellCommand.h"
#include "platform/core/UserDefaults.h"

#include <QDir>
#include <QFileInfo>
#include <QStringDecoder>

namespace {

const QString kScriptName = QStringLiteral("getnewestfiles.sh");
// How far back an earlier daily folder may stand in for an empty today.
constexpr int kEarlierDaysToLookAt = 7;

QString findNewestFilesScript() {
    const Bundle bundle = Bundle::mainBundle();
    QString path = bundle.pathForAuxiliaryExecutable(kScriptName);
    if (path.isNull()) path = bundle.pathForResource(QStringLiteral("getnewestfiles"), QStringLiteral("sh"));
    return path;
}

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
    if (out.status != ShellOutput::Finished || out.bytes.isEmpty()) return QString();
    const qsizetype zero = out.bytes.indexOf('\0');
    const QByteArray text = zero < 0 ? out.bytes : out.bytes.left(zero);
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString decoded = utf8.decode(text);
    if (utf8.hasError()) return QString();
    if (decoded.isNull()) decoded = QString(QLatin1String(""));  // a leading zero byte: read, but empty
    return decoded;
}

QString AppDelegate::getDailyFolderForSourceFolder() const {
    QString source = Settings::string(Setting::TamrinVideosFolder);
    source = source.isNull() ? QString(QLatin1String("")) : Path::standardize(source);
    return Path::appendingPathComponent(source, getTodaysDateAsString());
}

bool AppDelegate::validateDailyFolder() {
    const QString folder = Path::standardize(getDailyFolderForSourceFolder());
    // Every check makes today's folder when it is missing; whether that worked shows below. It is
    // made only inside a source folder that is there: a source folder on a share that is not
    // mounted must not get a local stand-in, which would pass for the real one. A share that does
    // not answer counts as not there.
    if (sourceFolder_->look() != SourceFolderMonitor::State::Available) return false;
    if (mayCreateMissingFolder(folder, Settings::data(Setting::TamrinVideosFolderAliasData))) {
        Deadline::run([folder] { QDir().mkpath(folder); }, kFileSystemDeadline);
    }
    return isDirectoryWithin(folder).value_or(false);
}

QStringList AppDelegate::listNewestFilesIn(const QString& dailyFolder, bool logged) {
    const auto say = [logged](const QString& line) {
        if (logged) KORVAL_Log::debug(line);
    };
    QStringList arrayWithFullPaths;
    const QString script = findNewestFilesScript();
    if (script.isNull()) {
        KORVAL_Log::debug(fmt("\n\nrunShellScript FAILED => UNABLE to find script named: [%@]!\n\n", kScriptName));
        return {};
    }
    const qint64 count = Settings::positiveCount(Setting::RepeatListItemsCount);
    const QVariantList parameters{dailyFolder, count, QStringLiteral("*")};
    say(fmt("Will execute %@ with param = %@", Path::lastPathComponent(script), QVariant(parameters)));

    const QString commandLine = fmt("%@ %@ %li %@", doubleQuotedForShell(script), doubleQuotedForShell(dailyFolder),
                                    static_cast<long long>(count), "*");
    say(fmt("runCommand will execute: %@", commandLine));
    const QString output = runShellCommand(commandLine);
    // Quitting cut the script short: there is nothing to report, and nobody left to play it.
    if (DispatchQueue::isShuttingDown()) return {};

    const QStringList lines = output.isNull() ? QStringList() : output.trimmed().split(QLatin1Char('\n'));
    say(fmt("results is: %@", output.isNull() ? QVariant() : QVariant(lines)));
    if (output.isNull()) return {};

    for (QString line : lines) {
        if (line.startsWith(QLatin1Char('.'))) line.remove(0, 1);
        const QString fullPath = Path::appendingPathComponent(dailyFolder, line);
        say(fmt("full path = %@", fullPath));
        arrayWithFullPaths += fullPath;
    }
    say(fmt("arrayWithFullPaths = %@", QVariant(arrayWithFullPaths)));
    const QString mostRecent = pathToMostRecentItem();
    if (!arrayWithFullPaths.isEmpty() && !mostRecent.isEmpty() &&
        Path::lastPathComponent(mostRecent).toLower().compare(Path::lastPathComponent(arrayWithFullPaths.first()).toLower(),
                                                             Qt::CaseInsensitive) != 0) {
        say(QStringLiteral("Found a newer item to play....."));
    }
    return arrayWithFullPaths;
}

PlayQueueState::Found AppDelegate::completeFilesOf(const QStringList& paths) {
    const Arrivals::Result arrived = lookAtArrivals(paths);
    return {arrived.complete, arrived.newestEverComplete};
}

Arrivals::Result AppDelegate::lookAtArrivals(const QStringList& paths) {
    const Arrivals::Result arrived = arrivals_.filter(
        paths, pathToLastNewItem(), Arrivals::Clock::now(), Arrivals::WallClock::now(),
        [](const QString& path) {
            return Deadline::call<std::optional<MediaFiles::Stamp>>([path] { return MediaFiles::stampOf(path); },
                                                                    kFileSystemDeadline)
                .value_or(std::nullopt);
        },
        [](const QString& path) {
            return Deadline::call<MediaFiles::Completeness>([path] { return MediaFiles::isoMediaCompleteness(path); },
                                                            kFileSystemDeadline)
                .value_or(MediaFiles::Completeness::Unknown);
        });
    for (const QString& path : arrived.arriving) {
        KORVAL_Log::debug(fmt("Still arriving, not played until it is complete: %@", path));
    }
    for (const Arrivals::Unfinished& file : arrived.unfinished) {
        KORVAL_Log::debug(fmt("Incomplete or not a video, not played: %@ (%li bytes)", file.path,
                              static_cast<long long>(file.size)));
    }
    return arrived;
}

QStringList AppDelegate::scanFolderForNewItems() {
    if (Settings::string(Setting::TamrinVideosFolder).trimmed().isEmpty()) {
        // Without a source folder there is nothing to look at, and no folder is made anywhere.
        sourceFolder_->report(SourceFolderMonitor::State::NotSet);
        noSourceFolderNotice_.note([] { KORVAL_Log::debug(QStringLiteral("No source folder is set: nothing to play")); });
        return {};
    }
    // With local copies to play from, a share that hangs is not waited for at every decision: the
    // look every 2 s tells when it answers again.
    const std::shared_ptr<LocalCopies> copies = localCopies_.get();
    const bool hung = copies && copies->enabled() && sourceFolder_->state() == SourceFolderMonitor::State::NotAnswering;
    if (hung || !validateDailyFolder()) {
        KORVAL_Log::debugRepeatable(fmt("Inside %@ => %@... VERY BAD....", description(), "scanFolderForNewItems"));
        return {};
    }
    return listNewestFilesIn(getDailyFolderForSourceFolder());
}

QStringList AppDelegate::newestCompleteFiles() { return newestCompleteListing().complete; }

PlayQueueState::Found AppDelegate::newestCompleteListing() {
    PlayQueueState::Found found = completeFilesOf(scanFolderForNewItems());
    if (DispatchQueue::isShuttingDown()) return found;
    if (found.isEmpty() && sourceFolder_->isAvailable()) found = newestFilesOfAnEarlierDay();
    const std::shared_ptr<LocalCopies> copies = localCopies_.get();
    if (!copies || !copies->enabled()) return found;
    // While the share does not answer, the queue goes on from the last listing that answered, with
    // the files that have a local copy.
    if (found.isEmpty() && sourceFolder_->isAway()) {
        found = copies->keptListing();
        copies->setPlayingFromCopies(!found.isEmpty());
        return found;
    }
    copies->setPlayingFromCopies(false);
    copies->listingAnswered(found);
    return found;
}

// While today's folder holds no complete video, the newest earlier daily folder of the last week
// stands in, so that the screen shows the newest videos there are rather than nothing.
PlayQueueState::Found AppDelegate::newestFilesOfAnEarlierDay() {
    const QString source = Path::standardize(Settings::string(Setting::TamrinVideosFolder));
    for (int daysBack = 1; daysBack <= kEarlierDaysToLookAt; ++daysBack) {
        const QString day = computeCurrentDaysFolderString2(Settings::kDayChangeHour + 24 * daysBack,
                                                            Settings::kDayChangeMinute);
        const QString folder = Path::appendingPathComponent(source, day);
        if (!isDirectoryWithin(folder).value_or(false)) continue;
        const PlayQueueState::Found list = completeFilesOf(listNewestFilesIn(folder));
        if (list.isEmpty()) continue;
        earlierDayNotice_.noteChange(folder, [folder] {
            KORVAL_Log::debug(fmt("Today's folder has no complete video yet: playing the newest of %@", folder));
        });
        return list;
    }
    return {};
}
