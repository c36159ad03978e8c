// The launch sequence.
#include "app/AppDelegate.h"

#include "log/KORVAL_Log.h"
#include "platform/Bundle.h"
#include "platform/Format.h"
#include "platform/UserDefaults.h"

QString AppDelegate::versionStringFromInfo(const QVariantMap& info) {
    QString version = QStringLiteral("Unknown Version");
    if (info.contains(QStringLiteral("CFBundleShortVersionString"))) {
        version = fmt("Version: %@", info.value(QStringLiteral("CFBundleShortVersionString")));
    } else if (info.contains(QStringLiteral("CFBundleGetInfoString"))) {
        version = fmt("%@", info.value(QStringLiteral("CFBundleGetInfoString")));
    }
    return version + fmt(" xc-%@ sdk-%@", info.value(QStringLiteral("DTXcode")), info.value(QStringLiteral("DTSDKName")));
}

void AppDelegate::applicationDidFinishLaunching() {
    setFInsideTryingToMount(false);
    const QVariantMap info = Bundle::mainBundle().infoDictionary();
    KORVAL_Log::debug(fmt("infoDictioanry = %@", QVariant(info)));
    UserDefaults::standardUserDefaults().setObject(versionStringFromInfo(info), QStringLiteral("prefAppVersionString"));
    setRepeatcount(0);
    setPathToLastNewItem(QString());
    setAvitems({});
}
