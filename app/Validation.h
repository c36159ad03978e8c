#pragma once

#include "app/ShareAccess.h"

#include <QString>
#include <QVariantMap>

#include <chrono>
#include <optional>

// The three settings of one folder: its path, its folder reference and its validity flag. A
// triple maps these three keys to the names of those settings (declared in app/Settings.h).
extern const QString sPrefFolderNameKey;
extern const QString sPrefFolderAliasDataKey;
extern const QString sPrefFolderNameIsValidKey;
extern const QString sPrefTamrinVideosFolder;
extern const QString sPrefTamrinVideosFolderAliasData;
extern const QString sPrefTamrinVideosFolderIsValid;

using FolderPreferenceTriple = QVariantMap;

inline constexpr std::chrono::milliseconds kFileSystemDeadline = ShareAccess::kDeadline;
// Whether a directory is at the path; none when the file system did not answer in time. Never on
// the main thread.
std::optional<bool> isDirectoryWithin(const QString& path, std::chrono::milliseconds deadline = kFileSystemDeadline);

// The triple of the source videos folder.
FolderPreferenceTriple sourceFolderPreferenceTriple();

// True when the folder was found, at its stored path or through its reference; keeps path,
// reference and validity flag consistent, and makes a missing local folder where allowed.
bool validateFolderPrefWithParamNew(const FolderPreferenceTriple& triple);
bool validateFolderPrefWithParam(const FolderPreferenceTriple& triple);
// Retired with the alias era: only logs, and answers false.
bool validateFolderPrefWithParamNew_KORVAL_AliasObsolete(const FolderPreferenceTriple& triple);

// Makes the directory with its parents, mode 0777; true when it exists afterwards.
bool createDirectoryIfMissing(const QString& path);
// Sets the nine access bits of the mode and keeps the others; reports failures on standard output.
bool setPermission(const QString& path, int mode);
bool setPermissionInC(const char* path, unsigned mode);

// False where a missing folder must not be made: where a volume belongs that is not mounted
// now (a network share, a removable disk), so that nothing is put in its place.
bool mayCreateMissingFolder(const QString& path, const QByteArray& referenceData);
