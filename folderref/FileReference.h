#pragma once

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <optional>

// References that find a file or folder again after it was renamed or moved on its volume, or
// after its volume was mounted anew, even under another mount point. A reference is an opaque,
// versioned block of bytes: a magic number, a length-checked list of tagged fields and a CRC-32,
// so that damaged or foreign data is refused, never trusted. It records the absolute path, the
// device and inode numbers, the birth time where the file system keeps one, and the volume: its
// mount point, source, file-system type, UUID or label, and the path relative to the mount point.
namespace FileReference {

// Two forms of the same format, told apart by their magic number.
enum class Kind { Bookmark, LegacyAlias };

struct Record {
    QByteArray path;  // absolute, as given
    bool directory = false;
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    bool hasBirthTime = false;
    std::int64_t birthSeconds = 0;
    std::uint32_t birthNanoseconds = 0;
    QByteArray mountPoint;
    QByteArray source;
    QByteArray fsType;
    QByteArray uuid;
    QByteArray label;
    QByteArray relativePath;  // from the mount point, without a leading slash
};

// A reference for what exists at the path now; none (and the reason) when nothing does.
QByteArray make(const QString& path, Kind kind, QString* error = nullptr);

QByteArray encode(const Record& record, Kind kind);
// None for anything that is not an intact reference of this kind.
std::optional<Record> decode(const QByteArray& data, Kind kind);

struct Resolution {
    QString path;
    bool stale = false;  // found, but the reference should be made again from the new place
};

struct Limits {
    int searchDirectories = 5000;  // the bounded search for a moved folder
    int searchMilliseconds = 2000;
    int touchMilliseconds = 10000;  // touching the path, which may trigger an automount
    int mountMilliseconds = 30000;  // each mount command
};

// Finds what the reference names, never asking anyone anything: at its recorded path; on its
// volume mounted somewhere else; after having the volume mounted (automount, fstab, udisks);
// by a bounded search of its volume for the recorded inode. None (and the reason) otherwise.
std::optional<Resolution> resolve(const QByteArray& data, Kind kind, QString* error = nullptr,
                                  const Limits& limits = Limits());

// A path inside a trash folder: one that holds ".trash" in any letter case, or the user's
// freedesktop trash ($XDG_DATA_HOME/Trash).
bool isInTrash(const QString& path);

}  // namespace FileReference
