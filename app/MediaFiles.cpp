#include "app/MediaFiles.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace MediaFiles {

namespace {

// A file of more boxes than this is not one a camera or an encoder writes: its end is not looked for.
constexpr int kMaxBoxes = 100000;

quint64 bigEndian(const unsigned char* p, int bytes) {
    quint64 v = 0;
    for (int i = 0; i < bytes; ++i) v = (v << 8) | p[i];
    return v;
}

bool isBoxType(const unsigned char* t) {
    for (int i = 0; i < 4; ++i) {
        if (t[i] < 0x20 || t[i] > 0x7e) return false;
    }
    return true;
}

// The boxes an ISO base media or QuickTime file may open with.
bool isTopLevelFirstBox(const unsigned char* t) {
    static const char* const kFirst[] = {"ftyp", "styp", "moov", "mdat", "free", "skip", "wide", "pdin",
                                         "uuid", "moof", "sidx", "meta", "pnot", "PICT", "junk", "jP  "};
    for (const char* type : kFirst) {
        if (memcmp(t, type, 4) == 0) return true;
    }
    return false;
}

enum class Read { Done, End, Error };

Read readAt(int fd, unsigned char* buffer, size_t bytes, off_t offset) {
    size_t done = 0;
    while (done < bytes) {
        const ssize_t n = pread(fd, buffer + done, bytes - done, offset + static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return Read::Error;
        if (n == 0) return Read::End;  // shorter than it said a moment ago
        done += static_cast<size_t>(n);
    }
    return Read::Done;
}

}  // namespace

std::optional<Stamp> stampOf(const QString& path) {
    struct stat st {};
    if (stat(QFile::encodeName(path).constData(), &st) != 0) {
        if (errno == ENOENT || errno == ENOTDIR) return Stamp{};
        return std::nullopt;
    }
    return Stamp{true, static_cast<qint64>(st.st_size),
                 static_cast<qint64>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec};
}

bool isIsoMediaName(const QString& path) {
    const QString suffix = QFileInfo(path).suffix().toLower();
    return suffix == QLatin1String("mp4") || suffix == QLatin1String("mov") || suffix == QLatin1String("m4v");
}

Completeness isoMediaCompleteness(const QString& path) {
    const int fd = open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno == ENOENT ? Completeness::Incomplete : Completeness::Unknown;
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        close(fd);
        return Completeness::Unknown;
    }
    const quint64 fileSize = static_cast<quint64>(st.st_size);
    quint64 offset = 0;
    bool moov = false;
    bool mdat = false;
    bool unfinished = false;  // a media data box runs past the end, or the file ends early
    bool unreadable = false;
    // The walk stops at the end or at the first bytes that are no whole box: players ignore what
    // follows the last box, but a media data box cut short means the copy is not finished.
    int boxes = 0;
    for (; boxes < kMaxBoxes && offset < fileSize; ++boxes) {
        unsigned char header[16];
        if (fileSize - offset < 8) break;
        if (const Read read = readAt(fd, header, 8, static_cast<off_t>(offset)); read != Read::Done) {
            (read == Read::Error ? unreadable : unfinished) = true;
            break;
        }
        // A file that does not open with a box of the format is no MP4/MOV, however long it
        // has been quiet (a file of zeros, a download that failed into an error page).
        if (!isBoxType(header + 4) || (boxes == 0 && !isTopLevelFirstBox(header + 4))) {
            if (boxes == 0) {
                close(fd);
                return Completeness::NotIsoMedia;
            }
            break;
        }
        const bool isMdat = memcmp(header + 4, "mdat", 4) == 0;
        quint64 size = bigEndian(header, 4);
        quint64 headerSize = 8;
        if (size == 1) {  // a 64-bit size follows the type
            if (fileSize - offset < 16) {
                unfinished = isMdat;
                break;
            }
            if (const Read read = readAt(fd, header + 8, 8, static_cast<off_t>(offset + 8)); read != Read::Done) {
                (read == Read::Error ? unreadable : unfinished) = true;
                break;
            }
            size = bigEndian(header + 8, 8);
            headerSize = 16;
        } else if (size == 0) {  // the box runs to the end of the file
            size = fileSize - offset;
        }
        if (size < headerSize) break;
        if (size > fileSize - offset) {
            unfinished = isMdat;
            break;
        }
        if (memcmp(header + 4, "moov", 4) == 0) moov = true;
        mdat = mdat || isMdat;
        offset += size;
    }
    close(fd);
    if (unreadable) return Completeness::Unknown;
    if (unfinished || (boxes == kMaxBoxes && offset < fileSize)) return Completeness::Incomplete;
    return moov && mdat ? Completeness::Complete : Completeness::Incomplete;
}

}  // namespace MediaFiles
