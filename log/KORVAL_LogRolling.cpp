#include "log/KORVAL_Log.h"

#include "platform/core/Format.h"
#include "platform/core/PathUtilities.h"

#include <QFile>

#include <cstdio>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr mode_t kOldFileMode = 0664;

QString oldFilePath(const QString& path) {
    const QString extension = Path::pathExtension(path);
    return Path::deletingPathExtension(path) + fmt("_old.%@", extension.isEmpty() ? QStringLiteral("log") : extension);
}

// Keeps at most `cap` bytes, starting just past the first newline at or after the cut point.
void trimToWholeLines(QByteArray& buffer, std::uint64_t cap) {
    const qsizetype length = buffer.size();
    if (static_cast<std::uint64_t>(length) <= cap) return;
    const qsizetype cut = length - static_cast<qsizetype>(cap) - 1;
    const qsizetype newline = buffer.indexOf('\n', cut);
    buffer.remove(0, newline < 0 ? length : newline + 1);
}

// Writes the file in place (no temporary and rename), replacing its content.
bool writeInPlace(const QString& path, const QByteArray& bytes) {
    FILE* file = std::fopen(QFile::encodeName(path).constData(), "wb");
    if (!file) return false;
    const bool written = std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), file) ==
                         static_cast<size_t>(bytes.size());
    return std::fclose(file) == 0 && written;
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

    QFile logFile(path);
    if (!logFile.open(QIODevice::ReadOnly)) return;  // leave it whole; the next start tries again
    const QByteArray logBytes = logFile.readAll();
    logFile.close();

    QByteArray buffer;
    QFile oldFile(destination);
    if (oldFile.open(QIODevice::ReadOnly)) buffer = oldFile.readAll();
    oldFile.close();
    buffer.append(logBytes);
    trimToWholeLines(buffer, kOldFileCap);

    if (!writeInPlace(destination, buffer)) {
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
