#include "app/Settings.h"

#include "platform/core/UserDefaults.h"

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

const SettingDeclaration* find(const QString& key) {
    for (const SettingDeclaration* setting : Setting::all) {
        if (key == QLatin1String(setting->key)) return setting;
    }
    return nullptr;
}

}  // namespace Settings
