// The source folder's validation.
#include "app/Validation.h"

#include "app/Settings.h"
#include "folderref/MyBookmarkDataKit.h"
#include "log/KORVAL_Log.h"
#include "folderref/FileReference.h"
#include "platform/core/Format.h"
#include "folderref/MountTable.h"
#include "platform/core/PathUtilities.h"
#include "platform/core/UserDefaults.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <sys/stat.h>

const QString sPrefFolderNameKey = QLatin1String(SettingTripleKey::FolderName);
const QString sPrefFolderAliasDataKey = QLatin1String(SettingTripleKey::FolderAliasData);
const QString sPrefFolderNameIsValidKey = QLatin1String(SettingTripleKey::FolderNameIsValid);
const QString sPrefTamrinVideosFolder = Setting::TamrinVideosFolder.name();
const QString sPrefTamrinVideosFolderAliasData = Setting::TamrinVideosFolderAliasData.name();
const QString sPrefTamrinVideosFolderIsValid = Setting::TamrinVideosFolderIsValid.name();

namespace {

// A share that does not answer counts as not there: validation never waits for it for good.
bool isDirectory(const QString& path) { return isDirectoryWithin(path).value_or(false); }

bool existsAtAll(const QString& path) {
    return ShareAccess::call<bool>(
               [path] {
                   struct stat st {};
                   return lstat(QFile::encodeName(path).constData(), &st) == 0;
               },
               kFileSystemDeadline)
        .value_or(false);
}

bool isUnder(const QString& path, const QString& folder) {
    return path == folder || path.startsWith(folder == QLatin1String("/") ? folder : folder + QLatin1Char('/'));
}

// The folders where the desktop's automounter puts removable volumes: /media/USER/LABEL and
// /run/media/USER/LABEL (udisks), or /media/LABEL (older mounters).
bool isUnderRemovableMedia(const QString& path) { return isUnder(path, QStringLiteral("/media")) || isUnder(path, QStringLiteral("/run/media")); }

// The deepest mount point above the path (the path itself included).
QString deepestMountPointAbove(const QString& path, const QList<MountEntry>& mounts) {
    QString deepest = QStringLiteral("/");
    for (const MountEntry& m : mounts) {
        if (isUnder(path, m.mountPoint) && m.mountPoint.size() > deepest.size()) deepest = m.mountPoint;
    }
    return deepest;
}

// A path under /media lies on a mounted volume when the deepest mount point above it is not the
// file system that holds /media itself: the mount table says so, whoever the folder is named after
// (users from a directory service, a volume labelled like a system user).
bool onAMountedVolume(const QString& path, const QList<MountEntry>& mounts) {
    const QString root = isUnder(path, QStringLiteral("/run/media")) ? QStringLiteral("/run/media") : QStringLiteral("/media");
    return deepestMountPointAbove(path, mounts) != deepestMountPointAbove(root, mounts);
}

}  // namespace

std::optional<bool> isDirectoryWithin(const QString& path, std::chrono::milliseconds deadline) {
    if (path.isEmpty()) return false;
    return ShareAccess::call<bool>([path] { return QFileInfo(path).isDir(); }, deadline);
}

FolderPreferenceTriple sourceFolderPreferenceTriple() {
    return {{sPrefFolderNameKey, sPrefTamrinVideosFolder},
            {sPrefFolderAliasDataKey, sPrefTamrinVideosFolderAliasData},
            {sPrefFolderNameIsValidKey, sPrefTamrinVideosFolderIsValid}};
}

bool mayCreateMissingFolder(const QString& path, const QByteArray& referenceData) {
    if (path.toLower().startsWith(QLatin1String("/volumes/"))) return false;
    const QList<MountEntry> mounts = MountTable::currentMounts();
    if (isUnderRemovableMedia(path) && !onAMountedVolume(path, mounts)) return false;
    QSet<QString> mounted;
    for (const MountEntry& m : mounts) mounted.insert(m.mountPoint);
    QStringList volumeFolders = MountTable::fstabMountPoints();
    if (const auto record = FileReference::decode(referenceData, FileReference::Kind::Bookmark)) {
        volumeFolders += QFile::decodeName(record->mountPoint);
    }
    for (const QString& folder : volumeFolders) {
        if (folder.isEmpty() || folder == QLatin1String("/")) continue;
        if (isUnder(path, folder) && !mounted.contains(folder)) return false;
    }
    return true;
}

bool validateFolderPrefWithParamNew(const FolderPreferenceTriple& triple) {
    KORVAL_Log::debug(fmt("Inside %s withParameter = %@", "validateFolderPrefWithParamNew", QVariant(triple)));
    UserDefaults& store = UserDefaults::standardUserDefaults();
    const QString pathKey = triple.value(sPrefFolderNameKey).toString();
    const QString validKey = triple.value(sPrefFolderNameIsValidKey).toString();
    const QString referenceKey = triple.value(sPrefFolderAliasDataKey).toString();
    const QString path = store.stringForKey(pathKey);
    const QByteArray reference = store.dataForKey(referenceKey);
    if (path.isNull()) return false;

    // The stored path is used exactly as it stands.
    if (isDirectory(path)) {
        MyBookmarkDataKit::savePath(path, referenceKey);
        store.setBool(true, validKey);
        store.synchronize();
        return true;
    }

    QString resolved;
    bool stale = false;
    if (MyBookmarkDataKit::resolveAliasFromData(reference, &resolved, stale)) {
        store.setBool(true, validKey);
        store.setObject(resolved, pathKey);
        if (stale) MyBookmarkDataKit::savePath(resolved, referenceKey);
        return true;
    }

    store.setBool(false, validKey);
    const bool allowed = Settings::flag(Setting::DoAttemptToCreateFolderIfMissing) &&
                         mayCreateMissingFolder(path, reference);
    if (!allowed) return false;
    const QString again = store.stringForKey(pathKey);
    if (again.isNull() || existsAtAll(again)) return false;
    ShareAccess::run([again] { QDir().mkpath(again); });
    if (existsAtAll(again)) {
        MyBookmarkDataKit::savePath(again, referenceKey);
        store.setBool(true, validKey);
        store.synchronize();
    }
    // The caller still warns once about a folder that had to be made.
    return false;
}

bool validateFolderPrefWithParam(const FolderPreferenceTriple& triple) { return validateFolderPrefWithParamNew(triple); }

bool validateFolderPrefWithParamNew_KORVAL_AliasObsolete(const FolderPreferenceTriple& triple) {
    KORVAL_Log::debug(fmt("should NEVER NEVER be here - Inside %s withParameter = %@",
                          "validateFolderPrefWithParamNew_KORVAL_AliasObsolete", QVariant(triple)));
    return false;
}

bool createDirectoryIfMissing(const QString& path) {
    KORVAL_Log::debug(fmt("Inside createDirectoryIfMissing -> withPath=[%@]", path));
    if (isDirectory(path)) {
        setPermission(path, 0777);
        return true;
    }
    // Every folder made gets 0777, whatever the process's file-creation mask.
    QString error;
    QString made;
    const QString target = path.startsWith(QLatin1Char('/')) ? path : QDir::current().absoluteFilePath(path);
    for (const QString& part : target.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        made += QLatin1Char('/') + part;
        if (isDirectory(made)) continue;
        const QByteArray native = QFile::encodeName(made);
        if (mkdir(native.constData(), 0777) != 0) {
            error = QStringLiteral("cannot create %1: %2").arg(made, QString::fromLocal8Bit(std::strerror(errno)));
            break;
        }
        chmod(native.constData(), 0777);
    }
    if (!error.isEmpty()) {
        KORVAL_Log::debug(fmt("2010-11-04dorin doCreateDirectoryIfMissing error returned: %@", error));
        return false;
    }
    return isDirectory(path);
}

bool setPermission(const QString& path, int mode) {
    // A path on Linux is bytes in the file-system encoding.
    const QByteArray native = QFile::encodeName(path);
    return setPermissionInC(native.constData(), static_cast<unsigned>(mode));
}

bool setPermissionInC(const char* path, unsigned mode) {
    struct stat st {};
    if (!path || stat(path, &st) != 0) {
        std::printf("\nsetPermission => Unable to get info on itemPath = [%s]!!!\n", path ? path : "(null)");
        return false;
    }
    const mode_t newMode = static_cast<mode_t>((mode & 0777) | (st.st_mode & 0177000));
    const int r = chmod(path, newMode);
    if (r != 0) {
        std::printf("setPermission => chmod newFolderMode FAILED with errorCode = [%i] = [0x%04x]", r, static_cast<unsigned>(r));
        return false;
    }
    return true;
}
