#include "folderref/MountTable.h"

#include "platform/core/ShellCommand.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cctype>

#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace MountTable {

namespace {

// mountinfo writes blanks, tabs, newlines and backslashes as \ooo.
QString unescape(const QByteArray& field) {
    QByteArray out;
    out.reserve(field.size());
    for (qsizetype i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size()) {
            bool ok = false;
            const int value = field.mid(i + 1, 3).toInt(&ok, 8);
            if (ok) {
                out.append(static_cast<char>(value));
                i += 3;
                continue;
            }
        }
        out.append(field[i]);
    }
    return QFile::decodeName(out);
}

QString blkidValue(const QString& tag, const QString& device) {
    const ShellOutput out = runProgramCapturingOutput(
        {"blkid", "-c", "/dev/null", "-o", "value", "-s", tag.toLatin1(), QFile::encodeName(device)}, 4096, 5000);
    return out.status == ShellOutput::Finished ? QString::fromUtf8(out.bytes).trimmed() : QString();
}

QString linkNameFor(const QString& folder, const QString& device) {
    const QString target = QFileInfo(device).canonicalFilePath();
    if (target.isEmpty()) return QString();
    for (const QFileInfo& link : QDir(folder).entryInfoList(QDir::System | QDir::Files | QDir::NoDotAndDotDot)) {
        if (link.canonicalFilePath() == target) return link.fileName();
    }
    return QString();
}

bool isBlockDevice(const QString& source) {
    struct stat st {};
    return source.startsWith(QLatin1Char('/')) && stat(QFile::encodeName(source).constData(), &st) == 0 &&
           S_ISBLK(st.st_mode);
}

}  // namespace

QList<MountEntry> parseMountInfo(const QByteArray& text) {
    QList<MountEntry> mounts;
    for (const QByteArray& line : text.split('\n')) {
        const QList<QByteArray> fields = line.split(' ');
        const qsizetype dash = fields.indexOf("-");
        if (fields.size() < 10 || dash < 6 || dash + 2 >= fields.size()) continue;
        const QList<QByteArray> majorMinor = fields[2].split(':');
        if (majorMinor.size() != 2) continue;
        MountEntry e;
        e.device = makedev(majorMinor[0].toUInt(), majorMinor[1].toUInt());
        e.root = unescape(fields[3]);
        e.mountPoint = unescape(fields[4]);
        e.fsType = unescape(fields[dash + 1]);
        e.source = unescape(fields[dash + 2]);
        mounts += e;
    }
    return mounts;
}

QList<MountEntry> currentMounts() {
    QFile f(QStringLiteral("/proc/self/mountinfo"));
    if (!f.open(QIODevice::ReadOnly)) return {};
    return parseMountInfo(f.readAll());
}

std::optional<MountEntry> mountContaining(const QString& path) {
    struct stat st {};
    if (stat(QFile::encodeName(path).constData(), &st) != 0) return std::nullopt;
    const QString real = QFileInfo(path).canonicalFilePath();
    std::optional<MountEntry> best;
    for (const MountEntry& m : currentMounts()) {
        if (m.device != st.st_dev) continue;
        const bool above = m.mountPoint == QLatin1String("/") || real == m.mountPoint ||
                           real.startsWith(m.mountPoint + QLatin1Char('/'));
        // The later of two entries at the same place is the one on top.
        if (above && (!best || m.mountPoint.size() >= best->mountPoint.size())) best = m;
    }
    return best;
}

QList<QString> fstabMountPoints(const QString& fstab) {
    QFile f(fstab);
    if (!f.open(QIODevice::ReadOnly)) return {};
    QList<QString> points;
    for (const QByteArray& raw : f.readAll().split('\n')) {
        const QByteArray line = raw.simplified();
        if (line.isEmpty() || line.startsWith('#')) continue;
        const QList<QByteArray> fields = line.split(' ');
        if (fields.size() >= 2 && fields[1].startsWith('/')) points += unescape(fields[1]);
    }
    return points;
}

QString fileSystemUuid(const QString& source) {
    if (!isBlockDevice(source)) return QString();
    const QString name = linkNameFor(QStringLiteral("/dev/disk/by-uuid"), source);
    return name.isEmpty() ? blkidValue(QStringLiteral("UUID"), source) : name;
}

QString fileSystemLabel(const QString& source) {
    if (!isBlockDevice(source)) return QString();
    const QString name = linkNameFor(QStringLiteral("/dev/disk/by-label"), source);
    return name.isEmpty() ? blkidValue(QStringLiteral("LABEL"), source) : name;
}

bool isFileSystemUuid(const QString& uuid) {
    auto hexDigit = [](QChar c) { return c.unicode() < 0x80 && std::isxdigit(c.unicode()); };
    if (uuid.isEmpty() || !hexDigit(uuid.front())) return false;
    return std::all_of(uuid.begin(), uuid.end(), [&](QChar c) { return hexDigit(c) || c == QLatin1Char('-'); });
}

QString deviceForUuid(const QString& uuid) {
    // It comes from a reference that anyone who can write the settings may have made: anything
    // else could lead out of /dev/disk/by-uuid ("../../sdb1") or be taken for an option.
    if (!isFileSystemUuid(uuid)) return QString();
    const QString link = QStringLiteral("/dev/disk/by-uuid/") + uuid;
    if (QFileInfo::exists(link)) return link;
    const ShellOutput out = runProgramCapturingOutput({"blkid", "-c", "/dev/null", "-U", uuid.toUtf8()}, 4096, 5000);
    return out.status == ShellOutput::Finished && out.exitCode == 0 ? QString::fromUtf8(out.bytes).trimmed() : QString();
}

}  // namespace MountTable
