// The settings file (INI) as the player takes it in, as its own file and as a system-wide one;
// what cannot be read is set aside or left out, and every setting of the table then reads as some value.
#include "app/Settings.h"
#include "platform/core/UserDefaults.h"

#include <QByteArray>
#include <QFile>
#include <QTemporaryDir>

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    QTemporaryDir dir;
    const QString own = dir.filePath("VornPlayer.conf");
    const QString system = dir.filePath("system.conf");
    for (const QString& path : {own, system}) {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size()) return 0;
    }
    UserDefaults defaults(own, {system});
    for (const SettingDeclaration* setting : Setting::all) {
        const QString key = setting->name();
        defaults.stringForKey(key);
        defaults.boolForKey(key);
        defaults.integerForKey(key);
        defaults.dataForKey(key);
        defaults.stringArrayForKey(key);
    }
    defaults.synchronize();
    return 0;
}
