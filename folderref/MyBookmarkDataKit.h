#pragma once

#include <QByteArray>
#include <QString>
#include <QUrl>

// Folder references kept beside a folder's path in the settings store, so that the folder is
// found again after it moved or its volume was mounted anew. Class methods only, no state.
class MyBookmarkDataKit {
public:
    MyBookmarkDataKit() = delete;

    // Reference data for the URL; a null QByteArray when none can be made.
    static QByteArray bookmarkForURL(const QUrl& url);
    // The file URL the data leads to now, or an empty URL; isStale tells whether the data
    // should be made again from that place.
    static QUrl urlForBookmark(const QByteArray& data, bool& isStale);
    // True when the data leads to a usable place (one outside any trash folder).
    static bool resolveAliasFromData(const QByteArray& data, QString* resolvedPath, bool& isStale);
    // Makes a reference for the path and stores it under the settings key.
    static bool savePath(const QString& path, const QString& forKey);
};
