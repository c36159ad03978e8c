#include "log/KORVAL_Log.h"

#include "platform/core/Format.h"
#include "platform/core/PathUtilities.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr mode_t kOldFileMode = 0664;
// Files are copied in pieces of this size: a roll needs this much memory, whatever the sizes.
constexpr std::size_t kPieceSize = 1 << 20;

QString oldFilePath(const QString& path) {
    const QString extension = Path::pathExtension(path);
    return Path::deletingPathExtension(path) + fmt("_old.%@", extension.isEmpty() ? QStringLiteral("log") : extension);
}

std::uint64_t sizeOf(int fd) {
    struct stat st {};
    return fstat(fd, &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
}

// pread or pwrite until every byte is through, resuming after interruptions and short transfers.
template <typename Transfer, typename Bytes>
bool transferWhole(Transfer transfer, int fd, Bytes bytes, std::size_t count, std::uint64_t offset) {
    while (count > 0) {
        const ssize_t n = transfer(fd, bytes, count, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes += n;
        count -= static_cast<std::size_t>(n);
        offset += static_cast<std::uint64_t>(n);
    }
    return true;
}

bool writeWhole(int fd, const char* bytes, std::size_t count, std::uint64_t offset) {
    return transferWhole(::pwrite, fd, bytes, count, offset);
}

bool readWhole(int fd, char* bytes, std::size_t count, std::uint64_t offset) {
    return transferWhole(::pread, fd, bytes, count, offset);
}

// The old file's bytes followed by the first bytes of the log file: the text that the old
// file is cut from, read in pieces, never whole.
struct CombinedText {
    int oldFd = -1;
    std::uint64_t oldSize = 0;
    int logFd = -1;
    std::uint64_t logSize = 0;

    std::uint64_t size() const { return oldSize + logSize; }

    // Up to `count` bytes at `offset`, from one file only; 0 on a read error.
    std::size_t read(std::uint64_t offset, char* bytes, std::size_t count) const {
        const bool inOld = offset < oldSize;
        const std::uint64_t end = inOld ? oldSize : size();
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(count, end - offset));
        return readWhole(inOld ? oldFd : logFd, bytes, n, inOld ? offset : offset - oldSize) ? n : 0;
    }
};

// Where the kept text begins: all of it when it fits the cap; otherwise just past the first
// newline at or after index size - cap - 1 (the end when there is none), so that at most `cap`
// bytes of whole lines remain. Only the bytes from that index on are read.
std::optional<std::uint64_t> keptFrom(const CombinedText& text, std::uint64_t cap, std::vector<char>& piece) {
    if (text.size() <= cap) return 0;
    for (std::uint64_t at = text.size() - cap - 1; at < text.size();) {
        const std::size_t n = text.read(at, piece.data(), piece.size());
        if (n == 0) return std::nullopt;
        const void* newline = std::memchr(piece.data(), '\n', n);
        if (newline) return at + static_cast<std::uint64_t>(static_cast<const char*>(newline) - piece.data()) + 1;
        at += n;
    }
    return text.size();
}

// Appends the log's first `logSize` bytes to the old file at `destination` and keeps there the
// newest `cap` bytes of whole lines, written in place. The result is what reading both files
// whole, appending and trimming the front gives, with memory for one piece at a time.
bool appendToOldFile(int logFd, std::uint64_t logSize, const QString& destination, std::uint64_t cap) {
    const QByteArray target = QFile::encodeName(destination);
    CombinedText text;
    text.logFd = logFd;
    text.logSize = logSize;
    // An old file that cannot be read counts as empty.
    text.oldFd = open(target.constData(), O_RDONLY | O_CLOEXEC);
    struct stat st {};
    if (text.oldFd >= 0 && (fstat(text.oldFd, &st) != 0 || !S_ISREG(st.st_mode))) {
        close(text.oldFd);
        text.oldFd = -1;
    }
    if (text.oldFd >= 0) text.oldSize = static_cast<std::uint64_t>(st.st_size);

    std::vector<char> piece(kPieceSize);
    const std::optional<std::uint64_t> from = keptFrom(text, cap, piece);
    // Nothing of the old file kept: it is replaced; otherwise its kept tail moves to the front
    // (each piece is read before anything is written over it) and the log follows.
    const bool replace = !from || *from >= text.oldSize;
    const int out = !from ? -1
                    : replace ? open(target.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666)
                              : open(target.constData(), O_WRONLY | O_CLOEXEC);
    bool ok = out >= 0;
    // From the start of the old file, its bytes already stand where they belong.
    std::uint64_t at = !from ? 0 : *from == 0 ? text.oldSize : *from;
    while (ok && at < text.size()) {
        const std::size_t n = text.read(at, piece.data(), piece.size());
        ok = n > 0 && writeWhole(out, piece.data(), n, at - *from);
        at += n;
    }
    if (ok && !replace) ok = ftruncate(out, static_cast<off_t>(text.size() - *from)) == 0;
    if (out >= 0) ok = close(out) == 0 && ok;
    if (text.oldFd >= 0) close(text.oldFd);
    return ok;
}

}  // namespace

void KORVAL_Log::rollLogFileIfNecessary(const QString& path) { rollLogFile(path, QString(), kRollThreshold); }

void KORVAL_Log::rollLogFile(const QString& path, const QString& toPath, std::uint64_t atSize) {
    if (path.isEmpty()) return;
    const QByteArray nativePath = QFile::encodeName(path);
    struct stat st {};
    if (stat(nativePath.constData(), &st) != 0 || static_cast<std::uint64_t>(st.st_size) < atSize) return;

    debug(QStringLiteral("Rolling log file."));
    const QString destination = toPath.isNull() ? oldFilePath(path) : toPath;

    const int logFd = open(nativePath.constData(), O_RDONLY | O_CLOEXEC);
    if (logFd < 0) return;  // leave it whole; the next start tries again
    const bool written = appendToOldFile(logFd, sizeOf(logFd), destination, kOldFileCap);
    close(logFd);
    if (!written) {
        // The log file keeps its lines: emptying it now would lose what was not copied.
        debug(fmt("Error writing old log file to %@", destination));
        return;
    }
    debug(fmt("Rolled previous log file into %@", destination));
    chmod(QFile::encodeName(destination).constData(), kOldFileMode);

    const int fd = open(nativePath.constData(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (fd < 0) return;
    debug(fmt("Starting new log file at %@", path));
    close(fd);
}

bool KORVAL_Log::rollOpenLogFile(int fd, const QString& path, QStringList& messages) {
    const std::uint64_t size = sizeOf(fd);
    messages += QStringLiteral("Rolling log file.");
    const QString destination = oldFilePath(path);
    if (!appendToOldFile(fd, size, destination, kOldFileCap)) {
        messages += fmt("Error writing old log file to %@", destination);
        return false;
    }
    messages += fmt("Rolled previous log file into %@", destination);
    chmod(QFile::encodeName(destination).constData(), kOldFileMode);
    // The caller holds the log, so no line of it can arrive meanwhile; other writers of
    // standard error can, and what they wrote since the copy goes on in the emptied file.
    const std::uint64_t now = sizeOf(fd);
    QByteArray since(static_cast<qsizetype>(now - std::min(now, size)), Qt::Uninitialized);
    if (!readWhole(fd, since.data(), static_cast<std::size_t>(since.size()), size)) since.clear();
    if (ftruncate(fd, 0) != 0) return false;
    if (!since.isEmpty()) writeWhole(fd, since.constData(), static_cast<std::size_t>(since.size()), 0);
    messages += fmt("Starting new log file at %@", path);
    return true;
}
