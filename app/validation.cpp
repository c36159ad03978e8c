// The source folder's validation.
#include "app/Validation.h"

#include "app/Settings.h"
#include "platform/core/Deadline.h"
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

#include <pwd.h>
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
    return Deadline::call<bool>(
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

bool isUserName(const QString& name) { return getpwnam(QFile::encodeName(name).constData()) != nullptr; }

// The mount point a removable volume gets from the desktop's automounter, if the path lies under
// one: /media/USER/LABEL and /run/media/USER/LABEL (udisks), or /media/LABEL (older mounters).
// A plain folder such as /mnt/videos is not one: only /etc/fstab can say that it is.
QString automountVolumeFolder(const QString& path) {
    const QStringList parts = path.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    if (parts.size() >= 2 && parts[0] == QLatin1String("media")) {
        if (isUserName(parts[1])) {
            return parts.size() >= 3 ? QStringLiteral("/media/") + parts[1] + QLatin1Char('/') + parts[2] : QString();
        }
        return QStringLiteral("/media/") + parts[1];
    }
    if (parts.size() >= 4 && parts[0] == QLatin1String("run") && parts[1] == QLatin1String("media")) {
        return QStringLiteral("/run/media/") + parts[2] + QLatin1Char('/') + parts[3];
    }
    return QString();
}

}  // namespace

std::optional<bool> isDirectoryWithin(const QString& path, std::chrono::milliseconds deadline) {
    if (path.isEmpty()) return false;
    return Deadline::call<bool>([path] { return QFileInfo(path).isDir(); }, deadline);
}

FolderPreferenceTriple sourceFolderPreferenceTriple() {
    return {{sPrefFolderNameKey, sPrefTamrinVideosFolder},
            {sPrefFolderAliasDataKey, sPrefTamrinVideosFolderAliasData},
            {sPrefFolderNameIsValidKey, sPrefTamrinVideosFolderIsValid}};
}

bool mayCreateMissingFolder(const QString& path, const QByteArray& referenceData) {
    if (path.toLower().startsWith(QLatin1String("/volumes/"))) return false;
    QSet<QString> mounted;
    for (const MountEntry& m : MountTable::currentMounts()) mounted.insert(m.mountPoint);
    QStringList volumeFolders = MountTable::fstabMountPoints();
    if (const auto record = FileReference::decode(referenceData, FileReference::Kind::Bookmark)) {
        volumeFolders += QFile::decodeName(record->mountPoint);
    }
    const QString automount = automountVolumeFolder(path);
    if (!automount.isEmpty()) volumeFolders += automount;
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
    QDir().mkpath(again);
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
