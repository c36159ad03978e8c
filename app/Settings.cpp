#include "app/Settings.h"

#include "log/KORVAL_Log.h"
#include "platform/core/Format.h"
#include "platform/core/UserDefaults.h"

#include <QHash>

#include <algorithm>
#include <climits>
#include <mutex>

namespace {
UserDefaults& store() { return UserDefaults::standardUserDefaults(); }

bool isInteger(const QVariant& value) {
    const int type = value.typeId();
    return type == QMetaType::LongLong || type == QMetaType::Int;
}

bool isStringArray(const QVariant& value) {
    if (value.typeId() == QMetaType::QStringList) return true;
    if (value.typeId() != QMetaType::QVariantList) return false;
    const QVariantList list = value.toList();
    return std::all_of(list.cbegin(), list.cend(), [](const QVariant& v) { return v.typeId() == QMetaType::QString; });
}

bool fitsType(SettingType type, const QVariant& value) {
    switch (type) {
        case SettingType::String:
        case SettingType::Path: return value.typeId() == QMetaType::QString;
        case SettingType::Data: return value.typeId() == QMetaType::QByteArray;
        case SettingType::Bool: return value.typeId() == QMetaType::Bool;
        case SettingType::Integer: return isInteger(value);
        case SettingType::StringList: return isStringArray(value);
    }
    return false;
}

QString typeName(SettingType type) {
    switch (type) {
        case SettingType::String:
        case SettingType::Path: return QStringLiteral("a string");
        case SettingType::Data: return QStringLiteral("data");
        case SettingType::Bool: return QStringLiteral("a boolean");
        case SettingType::Integer: return QStringLiteral("an integer");
        case SettingType::StringList: return QStringLiteral("an array of strings");
    }
    return QString();
}

// What a property-list value is, in the words of the log.
QString kindOf(const QVariant& value) {
    if (isInteger(value)) return QStringLiteral("an integer");
    switch (value.typeId()) {
        case QMetaType::QString: return QStringLiteral("a string");
        case QMetaType::Bool: return QStringLiteral("a boolean");
        case QMetaType::Double: return QStringLiteral("a real number");
        case QMetaType::QByteArray: return QStringLiteral("data");
        case QMetaType::QDateTime: return QStringLiteral("a date");
        case QMetaType::QVariantMap: return QStringLiteral("a dictionary");
        case QMetaType::QStringList: return QStringLiteral("an array");
        case QMetaType::QVariantList: {
            const QVariantList list = value.toList();
            const auto other = std::find_if(list.cbegin(), list.cend(),
                                            [](const QVariant& v) { return v.typeId() != QMetaType::QString; });
            if (other == list.cend()) return QStringLiteral("an array");
            return QStringLiteral("an array holding ") + kindOf(*other);
        }
        default: return QStringLiteral("a value of another kind");
    }
}
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
    if (say) KORVAL_Log::debug(fmt("%@ is %li, less than 1: taken as 1", setting.name(), static_cast<long long>(value)));
    return 1;
}

const SettingDeclaration* find(const QString& key) {
    for (const SettingDeclaration* setting : Setting::all) {
        if (key == QLatin1String(setting->key)) return setting;
    }
    return nullptr;
}

namespace {

// Letters to add, drop or change to turn one word into the other.
int editDistance(const QString& a, const QString& b) {
    QList<int> row(b.size() + 1);
    for (qsizetype j = 0; j <= b.size(); ++j) row[j] = static_cast<int>(j);
    for (qsizetype i = 1; i <= a.size(); ++i) {
        int diagonal = row[0];
        row[0] = static_cast<int>(i);
        for (qsizetype j = 1; j <= b.size(); ++j) {
            const int above = row[j];
            const int change = diagonal + (a.at(i - 1) == b.at(j - 1) ? 0 : 1);
            row[j] = std::min({above + 1, row[j - 1] + 1, change});
            diagonal = above;
        }
    }
    return row[b.size()];
}

bool namesASetting(const QString& argument) {
    return argument.startsWith(QLatin1String("-pref")) && find(argument.mid(1)) != nullptr;
}

bool looksLikeASetting(const QString& key) { return key.startsWith(QLatin1String("pref"), Qt::CaseInsensitive); }

}  // namespace

QString nearestKey(const QString& key) {
    QString nearest;
    int best = INT_MAX;
    for (const SettingDeclaration* setting : Setting::all) {
        const int distance = editDistance(key.toLower(), setting->name().toLower());
        if (distance < best) {
            best = distance;
            nearest = setting->name();
        }
    }
    return nearest;
}

QVariantMap argumentDomain(const QStringList& arguments, QStringList* problems) {
    QVariantMap values;
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const QString& arg = arguments.at(i);
        if (arg.size() < 2 || arg.at(0) != QLatin1Char('-') || !arg.at(1).isLetter()) continue;
        const QString key = arg.mid(1);
        const bool known = find(key) != nullptr;
        const bool hasValue = i + 1 < arguments.size() && !namesASetting(arguments.at(i + 1));
        if (known && !hasValue) {
            if (problems) {
                *problems += i + 1 < arguments.size()
                                 ? fmt("Setting %@ has no value (%@ follows it): left as it is for this run", arg,
                                       arguments.at(i + 1))
                                 : fmt("Setting %@ has no value (it is the last argument): left as it is for this run", arg);
            }
            continue;
        }
        if (!known && looksLikeASetting(key) && problems) {
            *problems += fmt("Unknown setting %@ (did you mean -%@?): ignored", arg, nearestKey(key));
        }
        if (hasValue) {
            values.insert(key, arguments.at(i + 1));
            ++i;
        }
    }
    return values;
}

QString typeText(const SettingDeclaration& setting) {
    switch (setting.type) {
        case SettingType::String: return QStringLiteral("string");
        case SettingType::Path: return QStringLiteral("path");
        case SettingType::Data: return QStringLiteral("data");
        case SettingType::Bool: return QStringLiteral("boolean (YES or NO)");
        case SettingType::StringList: return QStringLiteral("list of strings");
        case SettingType::Integer:
            return setting.hasBounds() ? fmt("integer from %li to %li", static_cast<long long>(setting.minimum),
                                             static_cast<long long>(setting.maximum))
                                       : QStringLiteral("integer");
    }
    return QString();
}

QString valueText(const QVariant& value) {
    if (!value.isValid()) return QStringLiteral("(none)");
    if (value.typeId() == QMetaType::Bool) return value.toBool() ? QStringLiteral("YES") : QStringLiteral("NO");
    if (value.typeId() == QMetaType::QString && value.toString().isEmpty()) return QStringLiteral("(empty)");
    if (value.typeId() == QMetaType::QString || isInteger(value)) return value.toString();
    return QStringLiteral("(none)");
}

QString factoryValueProblem(const QString& key, const QVariant& value) {
    const SettingDeclaration* setting = find(key);
    if (!setting) return QStringLiteral("no setting has this key");
    if (!fitsType(setting->type, value)) {
        return fmt("it is %@ where %@ belongs", kindOf(value), typeName(setting->type));
    }
    if (setting->type == SettingType::Integer && setting->hasBounds()) {
        const qint64 number = value.toLongLong();
        if (number < setting->minimum || number > setting->maximum) {
            return fmt("%li is outside its bounds %li to %li", static_cast<long long>(number),
                       static_cast<long long>(setting->minimum), static_cast<long long>(setting->maximum));
        }
    }
    return QString();
}

}  // namespace Settings
