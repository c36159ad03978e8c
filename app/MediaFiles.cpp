#include "app/MediaFiles.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>

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

bool readAt(int fd, unsigned char* buffer, size_t bytes, off_t offset) {
    size_t done = 0;
    while (done < bytes) {
        const ssize_t n = pread(fd, buffer + done, bytes - done, offset + static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
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
    if (fd < 0) return Completeness::Incomplete;
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        close(fd);
        return Completeness::Incomplete;
    }
    const quint64 fileSize = static_cast<quint64>(st.st_size);
    quint64 offset = 0;
    bool moov = false;
    Completeness result = Completeness::Incomplete;
    for (int boxes = 0; boxes < kMaxBoxes; ++boxes) {
        if (offset == fileSize) {
            result = moov ? Completeness::Complete : Completeness::Incomplete;
            break;
        }
        unsigned char header[16];
        if (fileSize - offset < 8 || !readAt(fd, header, 8, static_cast<off_t>(offset))) break;
        if (!isBoxType(header + 4)) {
            if (boxes == 0) result = Completeness::NotIsoMedia;
            break;
        }
        quint64 size = bigEndian(header, 4);
        quint64 headerSize = 8;
        if (size == 1) {  // a 64-bit size follows the type
            if (fileSize - offset < 16 || !readAt(fd, header + 8, 8, static_cast<off_t>(offset + 8))) break;
            size = bigEndian(header + 8, 8);
            headerSize = 16;
        } else if (size == 0) {  // the box runs to the end of the file
            size = fileSize - offset;
        }
        if (size < headerSize || size > fileSize - offset) break;  // damaged, or still being written
        if (bigEndian(header + 4, 4) == bigEndian(reinterpret_cast<const unsigned char*>("moov"), 4)) moov = true;
        offset += size;
    }
    close(fd);
    return result;
}

}  // namespace MediaFiles
