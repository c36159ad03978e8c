#include "app/Settings.h"

#include "log/KORVAL_Log.h"
#include "platform/core/Format.h"
#include "platform/core/UserDefaults.h"

#include <QHash>

#include <mutex>

namespace {
UserDefaults& store() { return UserDefaults::standardUserDefaults(); }
}  // namespace

namespace Settings {

QVariant object(const SettingDeclaration& setting) { return store().objectForKey(setting.name()); }
QString string(const SettingDeclaration& setting) { return store().stringForKey(setting.name()); }
bool flag(const SettingDeclaration& setting) { return store().boolForKey(setting.name()); }
qint64 integer(const SettingDeclaration& setting) { return store().integerForKey(setting.name()); }
QByteArray data(const SettingDeclaration& setting) { return store().dataForKey(setting.name()); }
QStringList stringList(const SettingDeclaration& setting) { return store().stringArrayForKey(setting.name()); }

void setObject(const SettingDeclaration& setting, const QVariant& value) { store().setObject(value, setting.name()); }
void setFlag(const SettingDeclaration& setting, bool value) { store().setBool(value, setting.name()); }
void remove(const SettingDeclaration& setting) { store().removeObjectForKey(setting.name()); }
bool synchronize() { return store().synchronize(); }

qint64 positiveCount(const SettingDeclaration& setting) {
    const qint64 value = integer(setting);
    if (value >= 1) return value;
    static std::mutex mutex;
    static QHash<QString, qint64> said;
    bool say = false;
    {
        std::lock_guard<std::mutex> lock(mutex);
        const auto it = said.constFind(setting.name());
        say = it == said.constEnd() || *it != value;
        said.insert(setting.name(), value);
    }
    if (say) KORVAL_Log::debug(fmt("%@ is %li, which would play nothing: taken as 1", setting.name(), static_cast<long long>(value)));
    return 1;
}

const SettingDeclaration* find(const QString& key) {
    for (const SettingDeclaration* setting : Setting::all) {
        if (key == QLatin1String(setting->key)) return setting;
    }
    return nullptr;
}

}  // namespace Settings
