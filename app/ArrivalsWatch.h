#pragma once

#include "app/MediaFiles.h"

#include <QString>

#include <optional>

// Whether the look every 2 s lists today's folder again, so that files landing during an item get
// their two looks before its decision: when the folder changed (a file landed, was renamed or
// went), or a file listed at the last look was still changing. A folder that stays the same costs
// one look at the folder itself, whatever it holds. Used on the watch's queue only.
class ArrivalsWatch {
public:
    // `folderStamp`: the look at the folder now; none when its file system did not answer.
    bool needsListing(const QString& folder, const std::optional<MediaFiles::Stamp>& folderStamp) const;
    // The folder was listed after that look; `stillChanging`: a file listed has not settled yet.
    void listed(const QString& folder, const MediaFiles::Stamp& folderStamp, bool stillChanging);

private:
    QString folder_;
    std::optional<MediaFiles::Stamp> stamp_;
    bool stillChanging_ = false;
};
