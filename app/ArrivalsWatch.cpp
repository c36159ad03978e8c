#include "app/ArrivalsWatch.h"

bool ArrivalsWatch::needsListing(const QString& folder, const std::optional<MediaFiles::Stamp>& folderStamp) const {
    if (!folderStamp || !folderStamp->exists) return false;
    return stillChanging_ || folder != folder_ || stamp_ != folderStamp;
}

void ArrivalsWatch::listed(const QString& folder, const MediaFiles::Stamp& folderStamp, bool stillChanging) {
    folder_ = folder;
    stamp_ = folderStamp;
    stillChanging_ = stillChanging;
}
