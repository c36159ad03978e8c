#include "folderref/MyAliasKitOld.h"

#include "folderref/FileReference.h"
#include "platform/core/Format.h"
#include "platform/core/SystemLog.h"
#include "platform/core/UserDefaults.h"

#include <QFileInfo>

namespace {
const char* const kClass = "MyAliasKitOld";
}

QByteArray MyAliasKitOld::aliasDataForAliasHandle(const AliasHandle* handle) {
    return handle ? QByteArray(handle->constData(), handle->size()) : QByteArray();
}

QByteArray MyAliasKitOld::aliasDataForPath(const QString& path) {
    if (path.isEmpty() || !QFileInfo::exists(path)) return QByteArray();
    const AliasHandle record = FileReference::make(path, FileReference::Kind::LegacyAlias);
    return record.isEmpty() ? QByteArray() : aliasDataForAliasHandle(&record);
}

bool MyAliasKitOld::resolveAliasFromData(const QByteArray& data, QString* resolvedPath, QByteArray* changedData) {
    if (data.isEmpty()) return false;
    const AliasHandle record = data;
    const auto resolution = FileReference::resolve(record, FileReference::Kind::LegacyAlias);
    if (!resolution) return false;
    if (changedData && resolution->stale) {
        const AliasHandle updated = FileReference::make(resolution->path, FileReference::Kind::LegacyAlias);
        if (!updated.isEmpty()) *changedData = aliasDataForAliasHandle(&updated);
    }
    if (resolvedPath) *resolvedPath = resolution->path;
    return true;
}

bool MyAliasKitOld::resolveAliasFromData(const QByteArray& data, QString* resolvedPath) {
    return resolveAliasFromData(data, resolvedPath, nullptr);
}

void MyAliasKitOld::savePath(const QString& path, const QString& forKey) {
    systemLog(fmt("Inside %@ => %@...withPath=[%@] forKey=[%@]", kClass, "savePath:forKey:", path, forKey));
    const QByteArray data = aliasDataForPath(path);
    if (data.isEmpty()) {
        systemLog(fmt("Inside %@ => %@... aliasDataForPath returned NIL?????? ", kClass, "savePath:forKey:"));
        return;
    }
    UserDefaults::standardUserDefaults().setObject(data, forKey);
}
