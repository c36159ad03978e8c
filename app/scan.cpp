// The daily folder and the newest-items scan.
#include "app/AppDelegate.h"
#include "app/Scan.h"
#include "app/Settings.h"
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

QString findNewestFilesScript() {
    const Bundle bundle = Bundle::mainBundle();
    QString path = bundle.pathForAuxiliaryExecutable(kScriptName);
    if (path.isNull()) path = bundle.pathForResource(QStringLiteral("getnewestfiles"), QStringLiteral("sh"));
    return path;
}

DateFormatter::Clock::time_point dayOf(std::int32_t hours, std::int32_t minutes, DateFormatter::Clock::time_point now) {
    return now - std::chrono::seconds(std::int64_t(hours) * 3600 + std::int64_t(minutes) * 60);
}

QString patternOrDefault(const QString& pattern) {
    return pattern.trimmed().isEmpty() ? QLatin1String(Settings::kDefaultDailyDateFormat) : pattern.trimmed();
}

}  // namespace

QString computeCurrentDaysFolderString2(std::int32_t hours, std::int32_t minutes) {
    return computeCurrentDaysFolderString2(hours, minutes, DateFormatter::Clock::now());
}

QString computeCurrentDaysFolderString2(std::int32_t hours, std::int32_t minutes,
                                        DateFormatter::Clock::time_point now) {
    return DateFormatter(patternOrDefault(Settings::string(Setting::DailyDateFormat)))
        .stringFromDate(dayOf(hours, minutes, now));
}

QString todaysFolderNameForPattern(const QString& pattern) {
    return DateFormatter(patternOrDefault(pattern))
        .stringFromDate(dayOf(Settings::kDayChangeHour, Settings::kDayChangeMinute, DateFormatter::Clock::now()));
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

bool AppDelegate::validateDailyFolder() const {
    const QString folder = Path::standardize(getDailyFolderForSourceFolder());
    // Every check makes today's folder when it is missing; whether that worked shows below. It is
    // made only inside a source folder that is there: a source folder on a share that is not
    // mounted must not get a local stand-in, which would pass for the real one.
    const QString source = Settings::string(Setting::TamrinVideosFolder);
    const bool sourceThere = source.isEmpty() || QFileInfo(Path::standardize(source)).isDir();
    if (sourceThere && mayCreateMissingFolder(folder, Settings::data(Setting::TamrinVideosFolderAliasData))) {
        QDir().mkpath(folder);
    }
    return QFileInfo(folder).isDir();
}

QStringList AppDelegate::scanFolderForNewItems() const {
    if (!validateDailyFolder()) {
        KORVAL_Log::debug(fmt("Inside %@ => %@... VERY BAD....", description(), "scanFolderForNewItems"));
        return {};
    }
    QStringList arrayWithFullPaths;
    const QString script = findNewestFilesScript();
    if (script.isNull()) {
        KORVAL_Log::debug(fmt("\n\nrunShellScript FAILED => UNABLE to find script named: [%@]!\n\n", kScriptName));
        return {};
    }
    const QVariant count = Settings::object(Setting::RepeatListItemsCount);
    const QString dailyFolder = getDailyFolderForSourceFolder();
    QVariantList parameters{dailyFolder};
    if (count.isValid()) parameters << count << QStringLiteral("*");
    KORVAL_Log::debug(fmt("Will execute %@ with param = %@", Path::lastPathComponent(script), QVariant(parameters)));

    const QString commandLine = fmt("%@ %@ %li %@", doubleQuotedForShell(script), doubleQuotedForShell(dailyFolder),
                                    static_cast<long long>(UserDefaults::integerValue(count)), "*");
    KORVAL_Log::debug(fmt("runCommand will execute: %@", commandLine));
    const QString output = runShellCommand(commandLine);
    // Quitting cut the script short: there is nothing to report, and nobody left to play it.
    if (DispatchQueue::isShuttingDown()) return {};

    const QStringList lines = output.isNull() ? QStringList() : output.trimmed().split(QLatin1Char('\n'));
    KORVAL_Log::debug(fmt("results is: %@", output.isNull() ? QVariant() : QVariant(lines)));
    if (output.isNull()) return {};

    for (QString line : lines) {
        if (line.startsWith(QLatin1Char('.'))) line.remove(0, 1);
        const QString fullPath = Path::appendingPathComponent(dailyFolder, line);
        KORVAL_Log::debug(fmt("full path = %@", fullPath));
        arrayWithFullPaths += fullPath;
    }
    KORVAL_Log::debug(fmt("arrayWithFullPaths = %@", QVariant(arrayWithFullPaths)));
    const QString mostRecent = pathToMostRecentItem();
    if (!arrayWithFullPaths.isEmpty() && !mostRecent.isEmpty() &&
        Path::lastPathComponent(mostRecent).toLower().compare(Path::lastPathComponent(arrayWithFullPaths.first()).toLower(),
                                                             Qt::CaseInsensitive) != 0) {
        KORVAL_Log::debug(QStringLiteral("Found a newer item to play....."));
    }
    return arrayWithFullPaths;
}
