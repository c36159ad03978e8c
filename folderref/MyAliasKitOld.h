#pragma once

#include <QByteArray>
#include <QString>

// The older form of the folder-reference store, kept for its interface: references in the
// legacy alias form, stored under a settings key. Nothing else in the program uses it.
class MyAliasKitOld {
public:
    // An alias record in memory.
    using AliasHandle = QByteArray;

    MyAliasKitOld() = delete;

    // A copy of the record's bytes; a null QByteArray for no handle.
    static QByteArray aliasDataForAliasHandle(const AliasHandle* handle);
    // Alias data for what exists at the path; null when nothing does.
    static QByteArray aliasDataForPath(const QString& path);
    // True when the data leads somewhere; changedData receives an updated record when the
    // old one led there only in a roundabout way.
    static bool resolveAliasFromData(const QByteArray& data, QString* resolvedPath, QByteArray* changedData);
    static bool resolveAliasFromData(const QByteArray& data, QString* resolvedPath);
    static void savePath(const QString& path, const QString& forKey);
};
