#include "folderref/FileReference.h"

#include "folderref/MountTable.h"
#include "platform/core/PathUtilities.h"
#include "platform/core/ShellCommand.h"
#include "platform/core/SystemLog.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSet>
#include <QStandardPaths>

#include <array>
#include <cstring>
#include <deque>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace FileReference {

namespace {

// ---- the byte layout

constexpr char kBookmarkMagic[4] = {'V', 'R', 'B', 'K'};
constexpr char kAliasMagic[4] = {'V', 'R', 'A', 'L'};
constexpr quint16 kVersion = 1;
constexpr qsizetype kHeaderSize = 12;  // magic, version, flags, total length
constexpr qsizetype kMaxSize = 65536;
constexpr quint32 kMaxField = 16384;

enum Tag : quint16 {
    TagPath = 1,
    TagDirectory = 2,
    TagDevice = 3,
    TagInode = 4,
    TagBirthTime = 5,
    TagMountPoint = 6,
    TagSource = 7,
    TagFsType = 8,
    TagUuid = 9,
    TagLabel = 10,
    TagRelativePath = 11,
};

const char* magicOf(Kind kind) { return kind == Kind::Bookmark ? kBookmarkMagic : kAliasMagic; }

quint32 crc32(const char* data, qsizetype size) {
    static const std::array<quint32, 256> table = [] {
        std::array<quint32, 256> t{};
        for (quint32 i = 0; i < 256; ++i) {
            quint32 c = i;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[i] = c;
        }
        return t;
    }();
    quint32 crc = 0xFFFFFFFFu;
    for (qsizetype i = 0; i < size; ++i) crc = table[(crc ^ static_cast<unsigned char>(data[i])) & 0xFF] ^ (crc >> 8);
    return crc ^ 0xFFFFFFFFu;
}

template <typename T>
void put(QByteArray& out, T value) {
    for (size_t i = 0; i < sizeof(T); ++i) out.append(static_cast<char>((static_cast<std::uint64_t>(value) >> (8 * i)) & 0xFF));
}

template <typename T>
T get(const char* p) {
    std::uint64_t v = 0;
    for (size_t i = 0; i < sizeof(T); ++i) v |= static_cast<std::uint64_t>(static_cast<unsigned char>(p[i])) << (8 * i);
    return static_cast<T>(v);
}

void putField(QByteArray& out, Tag tag, const QByteArray& value) {
    if (value.isEmpty()) return;
    put<quint16>(out, tag);
    put<quint32>(out, static_cast<quint32>(value.size()));
    out.append(value);
}

QByteArray number(std::uint64_t v) {
    QByteArray b;
    put<std::uint64_t>(b, v);
    return b;
}

// ---- identity and volumes

struct Identity {
    bool exists = false;
    bool directory = false;
    dev_t device = 0;
    std::uint64_t inode = 0;
    bool hasBirthTime = false;
    std::int64_t birthSeconds = 0;
    std::uint32_t birthNanoseconds = 0;
};

Identity identityOf(const QByteArray& path) {
    Identity id;
    struct statx stx {};
    if (statx(AT_FDCWD, path.constData(), 0, STATX_BASIC_STATS | STATX_BTIME, &stx) != 0) return id;
    id.exists = true;
    id.directory = S_ISDIR(stx.stx_mode);
    id.device = makedev(stx.stx_dev_major, stx.stx_dev_minor);
    id.inode = stx.stx_ino;
    if (stx.stx_mask & STATX_BTIME) {
        id.hasBirthTime = true;
        id.birthSeconds = stx.stx_btime.tv_sec;
        id.birthNanoseconds = stx.stx_btime.tv_nsec;
    }
    return id;
}

// The volume of a mount is the recorded one: by UUID when one was recorded, otherwise by its
// source and file-system type.
bool isRecordedVolume(const MountEntry& mount, const Record& r, QHash<QString, QString>& uuidCache) {
    if (!r.uuid.isEmpty()) {
        if (mount.fsType.toUtf8() != r.fsType) return false;
        auto it = uuidCache.find(mount.source);
        if (it == uuidCache.end()) it = uuidCache.insert(mount.source, MountTable::fileSystemUuid(mount.source));
        return it->toUtf8() == r.uuid;
    }
    return !r.source.isEmpty() && mount.source.toUtf8() == r.source && mount.fsType.toUtf8() == r.fsType;
}

bool sameObject(const QByteArray& path, const Record& r, QHash<QString, QString>& uuidCache) {
    const Identity id = identityOf(path);
    if (!id.exists || id.directory != r.directory || id.inode != r.inode) return false;
    // Inode numbers are reused: a folder made after the recorded one was deleted may get its number.
    if (r.hasBirthTime && id.hasBirthTime) return id.birthSeconds == r.birthSeconds && id.birthNanoseconds == r.birthNanoseconds;
    if (id.device == r.device) return true;
    // A new device number after a remount: the same inode on the same volume.
    const auto mount = MountTable::mountContaining(QFile::decodeName(path));
    return mount && isRecordedVolume(*mount, r, uuidCache);
}

bool sameKind(const QByteArray& path, const Record& r) {
    const Identity id = identityOf(path);
    return id.exists && id.directory == r.directory;
}

QByteArray joined(const QString& mountPoint, const QByteArray& relative) {
    const QString path = relative.isEmpty() ? mountPoint : Path::appendingPathComponent(mountPoint, QFile::decodeName(relative));
    return QFile::encodeName(path);
}

// The recorded volume mounted now, at any mount point: where the reference's relative path leads.
std::optional<QByteArray> onMountedVolume(const Record& r, QHash<QString, QString>& uuidCache) {
    const QList<MountEntry> mounts = MountTable::currentMounts();
    std::optional<QByteArray> sameKindCandidate;
    for (auto it = mounts.crbegin(); it != mounts.crend(); ++it) {
        if (!isRecordedVolume(*it, r, uuidCache)) continue;
        const QByteArray candidate = joined(it->mountPoint, r.relativePath);
        if (sameObject(candidate, r, uuidCache)) return candidate;
        if (!sameKindCandidate && sameKind(candidate, r)) sameKindCandidate = candidate;
    }
    return sameKindCandidate;
}

std::optional<MountEntry> recordedVolumeMount(const Record& r, QHash<QString, QString>& uuidCache) {
    const QList<MountEntry> mounts = MountTable::currentMounts();
    for (auto it = mounts.crbegin(); it != mounts.crend(); ++it) {
        if (isRecordedVolume(*it, r, uuidCache)) return *it;
    }
    return std::nullopt;
}

bool programExists(const char* name) {
    return !QStandardPaths::findExecutable(QString::fromLatin1(name)).isEmpty();
}

bool runWithin(const QList<QByteArray>& argv, int ms) {
    const ShellOutput out = runProgramCapturingOutput(argv, 65536, ms);
    if (out.status == ShellOutput::TimedOut) {
        systemLog(QStringLiteral("Gave up after %1 s: %2").arg(QString::number(ms / 1000), QString::fromUtf8(argv.join(' '))));
    }
    return out.status == ShellOutput::Finished && out.exitCode == 0;
}

// Asks, without any dialogue, for the volume to be mounted: automount, fstab, udisks.
void tryToMount(const Record& r, const Limits& limits) {
    // Looking at the path is what makes an automounter mount it.
    runWithin({"stat", "--", r.path}, limits.touchMilliseconds);
    if (!r.mountPoint.isEmpty() && r.mountPoint != "/") {
        runWithin({"stat", "--", r.mountPoint}, limits.touchMilliseconds);
        if (MountTable::fstabMountPoints().contains(QFile::decodeName(r.mountPoint)) && programExists("mount")) {
            if (runWithin({"mount", r.mountPoint}, limits.mountMilliseconds)) return;
        }
    }
    if (!r.uuid.isEmpty() && programExists("udisksctl")) {
        const QString uuid = QString::fromUtf8(r.uuid);
        if (!MountTable::isFileSystemUuid(uuid)) {
            systemLog(QStringLiteral("The reference's volume UUID is not a UUID; its volume is not mounted by UUID"));
            return;
        }
        const QString device = MountTable::deviceForUuid(uuid);
        if (!device.isEmpty()) {
            runWithin({"udisksctl", "mount", "--no-user-interaction", "-b", QFile::encodeName(device)},
                      limits.mountMilliseconds);
        }
    }
}

// Breadth first under each root, on one device only, for the recorded inode; bounded in folders
// visited and in time.
std::optional<QByteArray> searchForInode(const Record& r, const QList<QByteArray>& roots, dev_t device,
                                         const Limits& limits, QHash<QString, QString>& uuidCache) {
    QElapsedTimer clock;
    clock.start();
    int visited = 0;
    QSet<std::uint64_t> seen;
    for (const QByteArray& root : roots) {
        std::deque<QByteArray> queue{root};
        while (!queue.empty()) {
            if (visited >= limits.searchDirectories || clock.elapsed() >= limits.searchMilliseconds) return std::nullopt;
            const QByteArray dir = queue.front();
            queue.pop_front();
            struct stat st {};
            if (lstat(dir.constData(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_dev != device) continue;
            if (seen.contains(st.st_ino)) continue;
            seen.insert(st.st_ino);
            ++visited;
            DIR* d = opendir(dir.constData());
            if (!d) continue;
            while (const dirent* e = readdir(d)) {
                if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
                const QByteArray child = dir == "/" ? "/" + QByteArray(e->d_name) : dir + "/" + e->d_name;
                if (e->d_ino == r.inode && sameObject(child, r, uuidCache)) {
                    closedir(d);
                    return child;
                }
                if (e->d_type == DT_DIR || e->d_type == DT_UNKNOWN) queue.push_back(child);
            }
            closedir(d);
        }
    }
    return std::nullopt;
}

QByteArray absolutePath(const QString& path) {
    const QString absolute = path.startsWith(QLatin1Char('/')) ? path : QDir::current().absoluteFilePath(path);
    return QFile::encodeName(Path::standardize(absolute));
}

}  // namespace

QByteArray encode(const Record& r, Kind kind) {
    QByteArray body;
    putField(body, TagPath, r.path);
    putField(body, TagDirectory, QByteArray(1, r.directory ? 1 : 0));
    putField(body, TagDevice, number(r.device));
    putField(body, TagInode, number(r.inode));
    if (r.hasBirthTime) {
        QByteArray birth = number(static_cast<std::uint64_t>(r.birthSeconds));
        put<quint32>(birth, r.birthNanoseconds);
        putField(body, TagBirthTime, birth);
    }
    putField(body, TagMountPoint, r.mountPoint);
    putField(body, TagSource, r.source);
    putField(body, TagFsType, r.fsType);
    putField(body, TagUuid, r.uuid);
    putField(body, TagLabel, r.label);
    putField(body, TagRelativePath, r.relativePath);

    QByteArray out(magicOf(kind), 4);
    put<quint16>(out, kVersion);
    put<quint16>(out, 0);
    put<quint32>(out, static_cast<quint32>(kHeaderSize + body.size() + 4));
    out.append(body);
    put<quint32>(out, crc32(out.constData(), out.size()));
    return out;
}

std::optional<Record> decode(const QByteArray& data, Kind kind) {
    const qsizetype size = data.size();
    if (size < kHeaderSize + 4 || size > kMaxSize) return std::nullopt;
    const char* p = data.constData();
    if (std::memcmp(p, magicOf(kind), 4) != 0) return std::nullopt;
    if (get<quint16>(p + 4) != kVersion) return std::nullopt;
    if (get<quint32>(p + 8) != static_cast<quint32>(size)) return std::nullopt;
    if (get<quint32>(p + size - 4) != crc32(p, size - 4)) return std::nullopt;

    Record r;
    quint32 seen = 0;
    qsizetype at = kHeaderSize;
    const qsizetype end = size - 4;
    while (at < end) {
        if (end - at < 6) return std::nullopt;
        const quint16 tag = get<quint16>(p + at);
        const quint32 length = get<quint32>(p + at + 2);
        at += 6;
        if (length > kMaxField || length > static_cast<quint32>(end - at)) return std::nullopt;
        const QByteArray value(p + at, length);
        at += length;
        if (tag >= 1 && tag <= 31) {
            if (seen & (1u << tag)) return std::nullopt;  // a field twice: not ours
            seen |= 1u << tag;
        }
        switch (tag) {
            case TagPath: r.path = value; break;
            case TagDirectory:
                if (length != 1) return std::nullopt;
                r.directory = value[0] != 0;
                break;
            case TagDevice:
                if (length != 8) return std::nullopt;
                r.device = get<std::uint64_t>(value.constData());
                break;
            case TagInode:
                if (length != 8) return std::nullopt;
                r.inode = get<std::uint64_t>(value.constData());
                break;
            case TagBirthTime:
                if (length != 12) return std::nullopt;
                r.hasBirthTime = true;
                r.birthSeconds = get<std::int64_t>(value.constData());
                r.birthNanoseconds = get<quint32>(value.constData() + 8);
                break;
            case TagMountPoint: r.mountPoint = value; break;
            case TagSource: r.source = value; break;
            case TagFsType: r.fsType = value; break;
            case TagUuid: r.uuid = value; break;
            case TagLabel: r.label = value; break;
            case TagRelativePath: r.relativePath = value; break;
            default: break;  // a field of a later version: skipped
        }
    }
    const quint32 required = (1u << TagPath) | (1u << TagDirectory) | (1u << TagDevice) | (1u << TagInode);
    if ((seen & required) != required) return std::nullopt;
    for (const QByteArray* text : {&r.path, &r.mountPoint, &r.relativePath, &r.source, &r.fsType}) {
        if (text->contains('\0')) return std::nullopt;
    }
    if (!r.path.startsWith('/')) return std::nullopt;
    if (!r.mountPoint.isEmpty() && !r.mountPoint.startsWith('/')) return std::nullopt;
    return r;
}

QByteArray make(const QString& path, Kind kind, QString* error) {
    if (path.isEmpty()) {
        if (error) *error = QStringLiteral("no path");
        return QByteArray();
    }
    Record r;
    r.path = absolutePath(path);
    const Identity id = identityOf(r.path);
    if (!id.exists) {
        if (error) *error = QStringLiteral("nothing at %1: %2").arg(QFile::decodeName(r.path), QString::fromLocal8Bit(strerror(errno)));
        return QByteArray();
    }
    r.directory = id.directory;
    r.device = id.device;
    r.inode = id.inode;
    r.hasBirthTime = id.hasBirthTime;
    r.birthSeconds = id.birthSeconds;
    r.birthNanoseconds = id.birthNanoseconds;
    if (const auto mount = MountTable::mountContaining(QFile::decodeName(r.path))) {
        r.mountPoint = QFile::encodeName(mount->mountPoint);
        r.source = mount->source.toUtf8();
        r.fsType = mount->fsType.toUtf8();
        r.uuid = MountTable::fileSystemUuid(mount->source).toUtf8();
        r.label = MountTable::fileSystemLabel(mount->source).toUtf8();
        const QString canonical = QFileInfo(QFile::decodeName(r.path)).canonicalFilePath();
        const QByteArray real = canonical.isEmpty() ? r.path : QFile::encodeName(canonical);
        const QByteArray prefix = r.mountPoint == "/" ? QByteArray("/") : r.mountPoint + "/";
        r.relativePath = real == r.mountPoint ? QByteArray() : real.startsWith(prefix) ? real.mid(prefix.size()) : QByteArray();
    }
    return encode(r, kind);
}

std::optional<Resolution> resolve(const QByteArray& data, Kind kind, QString* error, const Limits& limits) {
    const std::optional<Record> decoded = decode(data, kind);
    if (!decoded) {
        if (error) *error = data.isEmpty() ? QStringLiteral("no reference data") : QStringLiteral("not a reference of this kind, or damaged");
        return std::nullopt;
    }
    const Record& r = *decoded;
    QHash<QString, QString> uuidCache;
    auto found = [](const QByteArray& path, bool stale) { return Resolution{QFile::decodeName(path), stale}; };

    if (sameObject(r.path, r, uuidCache)) return found(r.path, false);
    if (auto p = onMountedVolume(r, uuidCache)) return found(*p, true);

    auto mount = recordedVolumeMount(r, uuidCache);
    if (!mount) {
        tryToMount(r, limits);
        if (sameObject(r.path, r, uuidCache)) return found(r.path, false);
        if (auto p = onMountedVolume(r, uuidCache)) return found(*p, true);
        mount = recordedVolumeMount(r, uuidCache);
    }

    // Moved on its volume: folders move nearby, so the search widens outward from the old
    // place: the nearest folder above it that is still there, then each folder above that, up
    // to the volume's root. No folder is visited twice.
    if (mount) {
        QList<QByteArray> roots;
        const QByteArray mountPoint = QFile::encodeName(mount->mountPoint);
        QByteArray above = joined(mount->mountPoint, r.relativePath);
        for (int up = 0; up < 256 && above.size() > mountPoint.size(); ++up) {
            above = QFile::encodeName(Path::deletingLastPathComponent(QFile::decodeName(above)));
            if (above.size() > mountPoint.size() && identityOf(above).directory) roots += above;
        }
        roots += mountPoint;
        if (auto p = searchForInode(r, roots, mount->device, limits, uuidCache)) return found(*p, true);
    }

    // Another folder stands at the recorded path now: the best there is.
    if (sameKind(r.path, r)) return found(r.path, true);
    if (error) *error = QStringLiteral("%1 is gone and was not found on its volume").arg(QFile::decodeName(r.path));
    return std::nullopt;
}

bool isInTrash(const QString& path) {
    if (path.toLower().contains(QLatin1String(".trash"))) return true;
    QString data = QString::fromLocal8Bit(qgetenv("XDG_DATA_HOME"));
    if (data.isEmpty() || !data.startsWith(QLatin1Char('/'))) {
        data = Path::appendingPathComponent(Path::homeDirectory(), QStringLiteral(".local/share"));
    }
    const QString trash = Path::standardize(Path::appendingPathComponent(data, QStringLiteral("Trash")));
    const QString p = Path::standardize(path);
    return p == trash || p.startsWith(trash + QLatin1Char('/'));
}

}  // namespace FileReference
