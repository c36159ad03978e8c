#include "app/SourceFolder.h"

#include "app/Listing.h"
#include "app/LocalCopies.h"
#include "app/Scan.h"
#include "app/Settings.h"
#include "app/ShareAccess.h"
#include "app/Validation.h"

#include "log/KORVAL_Log.h"
#include "platform/core/Bundle.h"
#include "platform/core/Format.h"
#include "platform/core/PathUtilities.h"
#include "platform/core/Queues.h"
#include "platform/core/ThreadContract.h"

#include <QDir>

namespace {

const QString kScriptName = QStringLiteral("getnewestfiles.sh");
// How far back an earlier daily folder may stand in for an empty today.
constexpr int kEarlierDaysToLookAt = 7;
constexpr std::uint64_t kSourceWatchMicroseconds = 2000000;

QString findNewestFilesScript() {
    const Bundle bundle = Bundle::mainBundle();
    QString path = bundle.pathForAuxiliaryExecutable(kScriptName);
    if (path.isNull()) path = bundle.pathForResource(QStringLiteral("getnewestfiles"), QStringLiteral("sh"));
    return path;
}

}  // namespace

std::shared_ptr<SourceFolder> SourceFolder::create(Hooks hooks) {
    return std::shared_ptr<SourceFolder>(new SourceFolder(std::move(hooks)));
}

SourceFolder::SourceFolder(Hooks hooks)
    : hooks_(std::move(hooks)),
      monitor_(std::make_shared<SourceFolderMonitor>(hooks_.lightChanged)),
      arrivalsLooks_(DispatchQueue::createSerial()) {}

SourceFolder::~SourceFolder() = default;

QString SourceFolder::storedPath() { return Settings::string(Setting::TamrinVideosFolder); }

namespace {
QString standardizedFolder(const QString& setting) {
    return setting.trimmed().isEmpty() ? QString() : Path::standardize(setting);
}
}  // namespace

QString SourceFolder::folderPath() { return standardizedFolder(storedPath()); }

SourceFolder::Snapshot SourceFolder::snapshot() {
    Snapshot at;
    at.setting = storedPath();
    at.folder = standardizedFolder(at.setting);
    const QString base = at.setting.isNull() ? QString(QLatin1String("")) : Path::standardize(at.setting);
    at.daily = Path::appendingPathComponent(base, getTodaysDateAsString());
    return at;
}

bool SourceFolder::validateDailyFolder(const Snapshot& at) {
    const QString folder = Path::standardize(at.daily);
    // Every check makes today's folder when it is missing; whether that worked shows below. It is
    // made only inside a source folder that is there on its own file system: a share that is not
    // mounted, or is covered by another file system, must not get a stand-in that would pass for
    // the real one. A share that does not answer counts as not there.
    if (monitor_->look(at.folder) != SourceFolderMonitor::State::Available) return false;
    if (mayCreateMissingFolder(folder, Settings::data(Setting::TamrinVideosFolderAliasData))) {
        ShareAccess::run([folder] { QDir().mkpath(folder); });
    }
    return isDirectoryWithin(folder).value_or(false);
}

QStringList SourceFolder::listNewestFilesIn(const QString& dailyFolder, ListingLog logging) {
    const auto say = [logging](const QString& line) {
        if (logging == ListingLog::Full) KORVAL_Log::debug(line);
        if (logging == ListingLog::Folded) KORVAL_Log::debugRepeatable(line);
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

    const QStringList lines = Listing::lines(output);
    say(fmt("results is: %@", output.isNull() ? QVariant() : QVariant(lines)));
    if (output.isNull()) return {};

    for (const QString& line : lines) {
        const QString fullPath = Listing::fullPath(dailyFolder, line);
        say(fmt("full path = %@", fullPath));
        arrayWithFullPaths += fullPath;
    }
    say(fmt("arrayWithFullPaths = %@", QVariant(arrayWithFullPaths)));
    const QString mostRecent = hooks_.mostRecentItem ? hooks_.mostRecentItem() : QString();
    if (!arrayWithFullPaths.isEmpty() && !mostRecent.isEmpty() &&
        Path::lastPathComponent(mostRecent).toLower().compare(Path::lastPathComponent(arrayWithFullPaths.first()).toLower(),
                                                             Qt::CaseInsensitive) != 0) {
        say(QStringLiteral("Found a newer item to play....."));
    }
    return arrayWithFullPaths;
}

PlayQueueState::Found SourceFolder::completeFilesOf(const QStringList& paths) {
    const Arrivals::Result arrived = lookAtArrivals(paths);
    return {arrived.complete, arrived.newestEverComplete};
}

Arrivals::Result SourceFolder::lookAtArrivals(const QStringList& paths) {
    const Arrivals::Result arrived = arrivals_.filter(
        paths, hooks_.lastNewItem ? hooks_.lastNewItem() : QString(), Arrivals::Clock::now(), Arrivals::WallClock::now(),
        [](const QString& path) {
            return ShareAccess::call<std::optional<MediaFiles::Stamp>>([path] { return MediaFiles::stampOf(path); })
                .value_or(std::nullopt);
        },
        [](const QString& path) {
            return ShareAccess::call<MediaFiles::Completeness>([path] { return MediaFiles::isoMediaCompleteness(path); })
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

QStringList SourceFolder::scanFolderForNewItems(const Snapshot& at, ListingLog logging) {
    if (!at.isSet()) {
        // Without a source folder there is nothing to look at, and no folder is made anywhere.
        monitor_->report(SourceFolderMonitor::State::NotSet);
        noSourceFolderNotice_.note([] { KORVAL_Log::debug(QStringLiteral("No source folder is set: nothing to play")); });
        return {};
    }
    // With local copies to play from, a share that hangs is not waited for at every decision: the
    // look every 2 s tells when it answers again.
    const std::shared_ptr<LocalCopies> copies = copies_.get();
    const bool hung = copies && copies->enabled() && monitor_->state() == SourceFolderMonitor::State::NotAnswering;
    if (hung || !validateDailyFolder(at)) {
        KORVAL_Log::debugRepeatable(fmt("Inside %@ => %@... VERY BAD....", hooks_.ownerDescription, "scanFolderForNewItems"));
        return {};
    }
    return listNewestFilesIn(at.daily, logging);
}

PlayQueueState::Found SourceFolder::newestCompleteListing(ListingLog logging) {
    const Snapshot at = snapshot();
    PlayQueueState::Found found = completeFilesOf(scanFolderForNewItems(at, logging));
    if (DispatchQueue::isShuttingDown()) return found;
    if (found.isEmpty() && monitor_->isAvailable()) {
        found = newestFilesOfAnEarlierDay(at, logging);
        noteStrayVideos(at, true);
    } else if (!found.isEmpty()) {
        noteStrayVideos(at, false);
    }
    const std::shared_ptr<LocalCopies> copies = copies_.get();
    if (!copies || !copies->enabled()) return found;
    // While the share is away (not answering, or not mounted), the queue goes on from the last
    // listing that answered, with the files that have a local copy.
    if (found.isEmpty() && monitor_->isAway()) {
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
QString SourceFolder::strayVideosNote() const {
    std::lock_guard<std::mutex> lock(strayVideosMutex_);
    return strayVideosNote_;
}

// A newcomer's first copy often lands in the source folder itself, where nothing is played.
void SourceFolder::noteStrayVideos(const Snapshot& at, bool todayHasNone) {
    QString note;
    if (todayHasNone && at.isSet()) {
        static const QStringList videos{"*.mp4", "*.m4v", "*.mov", "*.mkv", "*.webm", "*.avi", "*.mpg", "*.mpeg", "*.ts"};
        const QString folder = Path::standardize(at.folder);
        const std::optional<qsizetype> count = ShareAccess::call<qsizetype>(
            [folder] { return QDir(folder).entryList(videos, QDir::Files).size(); });
        if (count && *count > 0) {
            note = fmt("today's folder %@ is empty; %li %@ directly in %@: they are not played: put them in today's folder",
                       Path::standardize(at.daily), static_cast<long long>(*count),
                       *count == 1 ? "video lies" : "videos lie", folder);
        }
    }
    {
        std::lock_guard<std::mutex> lock(strayVideosMutex_);
        strayVideosNote_ = note;
    }
    if (note.isEmpty()) {
        strayVideosNotice_.clear();
        return;
    }
    strayVideosNotice_.noteChange(note, [note] { KORVAL_Log::warnOperator(note); });
}

PlayQueueState::Found SourceFolder::newestFilesOfAnEarlierDay(const Snapshot& at, ListingLog logging) {
    for (int daysBack = 1; daysBack <= kEarlierDaysToLookAt; ++daysBack) {
        const QString day = computeCurrentDaysFolderString2(Settings::kDayChangeHour + 24 * daysBack,
                                                            Settings::kDayChangeMinute);
        const QString folder = Path::appendingPathComponent(at.folder, day);
        if (!isDirectoryWithin(folder).value_or(false)) continue;
        const PlayQueueState::Found list = completeFilesOf(listNewestFilesIn(folder, logging));
        if (list.isEmpty()) continue;
        earlierDayNotice_.noteChange(folder, [folder] {
            KORVAL_Log::debug(fmt("Today's folder has no complete video yet: playing the newest of %@", folder));
        });
        return list;
    }
    return {};
}

SourceFolder::Looked SourceFolder::confirmGone(QHash<QString, MediaFiles::Stamp> stamps,
                                               std::chrono::steady_clock::time_point now) {
    Looked looked;
    std::lock_guard<std::mutex> lock(missingMutex_);
    for (auto it = stamps.begin(); it != stamps.end();) {
        if (it->exists) {
            missingSince_.remove(it.key());
            ++it;
            continue;
        }
        const auto since = missingSince_.constFind(it.key());
        if (since != missingSince_.constEnd() && now - *since >= kGoneAfter) {
            missingSince_.remove(it.key());
            ++it;
            continue;
        }
        if (since == missingSince_.constEnd()) missingSince_.insert(it.key(), now);
        looked.missing.insert(it.key());
        it = stamps.erase(it);
    }
    // A file no look asks about any more (it left the list another way) is forgotten.
    for (auto it = missingSince_.begin(); it != missingSince_.end();) {
        it = now - *it > kForgetMissingAfter ? missingSince_.erase(it) : std::next(it);
    }
    looked.stamps = std::move(stamps);
    return looked;
}

// ---- The looks between decisions

void SourceFolder::startWatching() {
    const std::weak_ptr<SourceFolder> weak = weak_from_this();
    DispatchQueue::createSerial()->async([weak] {
        while (waitMicroseconds(kSourceWatchMicroseconds)) {
            const std::shared_ptr<SourceFolder> self = weak.lock();
            if (!self) return;
            self->watch();
        }
    });
}

// Between item ends nothing else looks at the share: a share that hangs while mpv opens the next
// file would go unnoticed for as long as it hangs. This look, every few seconds, keeps the light
// and the log true meanwhile, and gives files arriving in today's folder their looks.
void SourceFolder::watch() {
    VORN_ASSERT_NOT_MAIN_THREAD();
    if (monitor_->look() == SourceFolderMonitor::State::Available) lookAtArrivingFilesSoon();
}

// A file is complete once two looks two seconds apart agree. Were it looked at only at decisions,
// a file landing during an item would get its first look at that item's decision and play an item
// late; so the 2 s look at the source folder gives it its looks meanwhile, quietly, and only
// while today's folder changes or a file in it has not settled. Today's folder is not made here.
// On a queue of its own, one look at a time, so that a script or a share that hangs never holds up
// the look at the source folder (and the light).
void SourceFolder::lookAtArrivingFilesSoon() {
    if (arrivalsLookDue_.exchange(true)) return;
    arrivalsLooks_->async([weak = weak_from_this()] {
        const std::shared_ptr<SourceFolder> self = weak.lock();
        if (!self) return;
        self->lookAtArrivingFiles();
        self->arrivalsLookDue_ = false;
    });
}

void SourceFolder::lookAtArrivingFiles() {
    VORN_ASSERT_NOT_MAIN_THREAD();
    const Snapshot at = snapshot();
    if (!at.isSet()) return;
    const QString folder = Path::standardize(at.daily);
    const std::optional<MediaFiles::Stamp> stamp =
        ShareAccess::call<std::optional<MediaFiles::Stamp>>([folder] { return MediaFiles::stampOf(folder); })
            .value_or(std::nullopt);
    if (!arrivalsWatch_.needsListing(folder, stamp)) return;
    nameOddFilesIn(folder);
    const Arrivals::Result looked = lookAtArrivals(listNewestFilesIn(at.daily, ListingLog::Quiet));
    arrivalsWatch_.listed(folder, *stamp, looked.stillChanging);
}

// Video files the script cannot list for their names are never played: each is named once.
void SourceFolder::nameOddFilesIn(const QString& folder) {
    const QList<QByteArray> odd =
        ShareAccess::call<QList<QByteArray>>([folder] { return OddNames::in(folder); }).value_or(QList<QByteArray>());
    for (const QByteArray& name : oddNames_.notNamedYet(folder, odd)) {
        KORVAL_Log::debug(fmt("Not played, its name holds a line feed or is not UTF-8: %@/%@", folder,
                              OddNames::readable(name)));
    }
}

void SourceFolder::askIsDirectory(const QString& path, std::function<void(bool)> then) {
    DispatchQueue::global(DispatchQueue::Priority::High).async([path, then = std::move(then)] {
        const bool directory = isDirectoryWithin(path).value_or(false);
        DispatchQueue::main().async([then, directory] { then(directory); });
    });
}
