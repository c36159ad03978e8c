#include "folderref/MyBookmarkDataKit.h"

#include "folderref/FileReference.h"
#include "platform/core/Format.h"
#include "platform/core/SystemLog.h"
#include "platform/core/UserDefaults.h"

namespace {
const char* const kClass = "MyBookmarkDataKit";
}

QByteArray MyBookmarkDataKit::bookmarkForURL(const QUrl& url) {
    QString error;
    const QByteArray data = url.isLocalFile() ? FileReference::make(url.toLocalFile(), FileReference::Kind::Bookmark, &error)
                                              : QByteArray();
    if (data.isEmpty()) {
        systemLog(fmt("%@->%@...WHAT - FAILED to create bookmark ?????", kClass, "bookmarkForURL:"));
        return QByteArray();
    }
    return data;
}

QUrl MyBookmarkDataKit::urlForBookmark(const QByteArray& data, bool& isStale) {
    isStale = false;
    QString error;
    const auto resolution = FileReference::resolve(data, FileReference::Kind::Bookmark, &error);
    const QUrl url = resolution ? QUrl::fromLocalFile(resolution->path) : QUrl();
    if (!resolution) {
        systemLog(fmt("%@->%@...bookmarkURL[%@]\n==> ERROR occurred = %@", kClass, "urlForBookmark:isStale:",
                      QVariant(), error));
        return url;
    }
    isStale = resolution->stale;
    if (isStale) {
        systemLog(fmt("%@->%@...Bookmarkdata is stale - so we need to create new bookmarkdata...", kClass,
                      "urlForBookmark:isStale:"));
    }
    return url;
}

bool MyBookmarkDataKit::resolveAliasFromData(const QByteArray& data, QString* resolvedPath, bool& isStale) {
    isStale = false;
    const QUrl url = urlForBookmark(data, isStale);
    if (url.isEmpty()) {
        isStale = false;
        systemLog(fmt("%@->%@...Unable to resolve as bookmark data....", kClass, "resolveAliasFromData:resolvedPath:isStale:"));
        return false;
    }
    // A folder in a trash folder is as good as gone.
    if (FileReference::isInTrash(url.toLocalFile())) return false;
    if (resolvedPath) *resolvedPath = url.toLocalFile();
    return true;
}

bool MyBookmarkDataKit::savePath(const QString& path, const QString& forKey) {
    systemLog(fmt("Inside %@ => %@...as BookmarkData withPath=[%@] forKey=[%@]", kClass, "savePath:forKey:", path, forKey));
    if (path.isEmpty()) return false;
    const QByteArray data = bookmarkForURL(QUrl::fromLocalFile(path));
    if (data.isEmpty()) {
        systemLog(fmt("%@->%@...WHAT - UNABLE to create bookmarkdata from url ?????", kClass, "savePath:forKey:"));
        return false;
    }
    UserDefaults::standardUserDefaults().setObject(data, forKey);
    return true;
}
