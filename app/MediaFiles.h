#pragma once

#include <QString>

#include <optional>

// What the play queue needs to know of a video file on disk. Every function here may block on a
// share that hangs: callers run them through Deadline, off the main thread.
namespace MediaFiles {

// A file's size and modification time, as one look at it saw them.
struct Stamp {
    bool exists = false;
    qint64 size = 0;
    qint64 modifiedNs = 0;
    bool operator==(const Stamp& o) const {
        return exists == o.exists && size == o.size && modifiedNs == o.modifiedNs;
    }
    bool operator!=(const Stamp& o) const { return !(*this == o); }
};

// None when the file system could not say (an error other than "no such file").
std::optional<Stamp> stampOf(const QString& path);

// Unknown: the file could not be read now (an error, or no answer in time): ask again later.
enum class Completeness { Complete, Incomplete, NotIsoMedia, Unknown };

// For an ISO base media file (MP4, MOV): complete when its top-level boxes hold a whole "moov" and
// at least one "mdat", and no "mdat" runs past the end; bytes after the last whole box do not
// count. Reads the box headers only. NotIsoMedia for a file whose first bytes are not a box such
// a file opens with ("ftyp", "moov", "mdat", "free", "wide"...): for an MP4/MOV name, not a video.
Completeness isoMediaCompleteness(const QString& path);

// MP4, MOV and M4V files are checked for their boxes; other containers rely on the quiet time.
bool isIsoMediaName(const QString& path);

}  // namespace MediaFiles
