#pragma once

#include <QList>
#include <QString>

#include <optional>

#include <sys/types.h>

// What is mounted where, from /proc/self/mountinfo, and what /etc/fstab knows.
struct MountEntry {
    QString mountPoint;
    QString root;    // the part of the file system mounted there ("/" unless a bind mount)
    QString source;  // "/dev/sdb1", "//nas/videos", "nas:/export"...
    QString fsType;
    dev_t device = 0;
};

namespace MountTable {

QList<MountEntry> currentMounts();
// Parses the text of a mountinfo file (octal escapes undone).
QList<MountEntry> parseMountInfo(const QByteArray& text);

// The mount that holds the path (the deepest mount point above it on the path's device).
std::optional<MountEntry> mountContaining(const QString& path);

// Mount points listed in /etc/fstab (or the given file).
QList<QString> fstabMountPoints(const QString& fstab = QStringLiteral("/etc/fstab"));

// The file-system UUID or label of a block device, from /dev/disk or, without udev, blkid.
// Empty for anything that is not a block device or has none.
QString fileSystemUuid(const QString& source);
QString fileSystemLabel(const QString& source);
// Whether the text can be a file-system UUID: hex digits and dashes, beginning with a digit.
bool isFileSystemUuid(const QString& uuid);
// The block device with this UUID, or an empty string; also for anything that is not a UUID,
// which is never looked up.
QString deviceForUuid(const QString& uuid);

}  // namespace MountTable
