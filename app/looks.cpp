// The looks at today's folder between decisions.
#include "app/AppDelegate.h"
#include "app/Settings.h"
#include "app/Validation.h"

#include "log/KORVAL_Log.h"
#include "platform/core/Format.h"

#include "platform/core/Deadline.h"
#include "platform/core/PathUtilities.h"
#include "platform/core/ThreadContract.h"

// A file is complete once two looks two seconds apart agree. Were it looked at only at decisions,
// a file landing during an item would get its first look at that item's decision and play an item
// late; so the 2 s look at the source folder gives it its looks meanwhile, quietly, and only
// while today's folder changes or a file in it has not settled. Today's folder is not made here.
// On a queue of its own, one look at a time, so that a script or a share that hangs never holds up
// the look at the source folder (and the light).
void AppDelegate::lookAtArrivingFilesSoon() {
    if (arrivalsLookDue_.exchange(true)) return;
    arrivalsLooks_->async(whileAlive([this] {
        lookAtArrivingFiles();
        arrivalsLookDue_ = false;
    }));
}

void AppDelegate::lookAtArrivingFiles() {
    VORN_ASSERT_NOT_MAIN_THREAD();
    if (Settings::string(Setting::TamrinVideosFolder).trimmed().isEmpty()) return;
    const QString daily = getDailyFolderForSourceFolder();
    const QString folder = Path::standardize(daily);
    const std::optional<MediaFiles::Stamp> stamp =
        Deadline::call<std::optional<MediaFiles::Stamp>>([folder] { return MediaFiles::stampOf(folder); },
                                                         kFileSystemDeadline)
            .value_or(std::nullopt);
    if (!arrivalsWatch_.needsListing(folder, stamp)) return;
    nameOddFilesIn(folder);
    const Arrivals::Result looked = lookAtArrivals(listNewestFilesIn(daily, false));
    arrivalsWatch_.listed(folder, *stamp, looked.stillChanging);
}

// Video files the script cannot list for their names are never played: each is named once.
void AppDelegate::nameOddFilesIn(const QString& folder) {
    const QList<QByteArray> odd =
        Deadline::call<QList<QByteArray>>([folder] { return OddNames::in(folder); }, kFileSystemDeadline)
            .value_or(QList<QByteArray>());
    for (const QByteArray& name : oddNames_.notNamedYet(folder, odd)) {
        KORVAL_Log::debug(fmt("Not played, its name holds a line feed or is not UTF-8: %@/%@", folder,
                              OddNames::readable(name)));
    }
}
