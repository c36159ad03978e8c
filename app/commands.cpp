// The window, menu and reveal commands, and mailing the logs.
#include "app/AppDelegate.h"
#include "app/Scan.h"
#include "app/Settings.h"

#include "log/KORVAL_Log.h"
#include "platform/ui/Alert.h"
#include "platform/ui/Beep.h"
#include "platform/core/Bundle.h"
#include "platform/ui/Desktop.h"
#include "platform/core/Format.h"
#include "platform/ui/MainWindow.h"
#include "platform/core/PathUtilities.h"
#include "platform/core/Queues.h"
#include "platform/core/ThreadContract.h"
#include "platform/ui/SharingService.h"

#include <QFileInfo>
#include <QUrl>

namespace {
constexpr std::uint64_t kMailDelayMicroseconds = 10000;
}

PreferencesModel AppDelegate::preferencesModel() {
    PreferencesModel model;
    for (const SettingDeclaration* setting : Setting::all) {
        if (!setting->inPreferences()) continue;
        model.settings.append({setting->preferencesControl, setting->name(), static_cast<int>(setting->minimum),
                               static_cast<int>(setting->maximum)});
    }
    model.todaysFolderName = &todaysFolderNameForPattern;
    model.defaultDailyPattern = QLatin1String(Settings::kDefaultDailyDateFormat);
    return model;
}

namespace {

void refuseReveal() {
    beep();
    KORVAL_Log::debug(QStringLiteral("User Needs to Select a Valid Existing Folder..."));
}

}  // namespace

// The folder may lie on a share that hangs: whether it is a folder is asked off the main thread,
// and the file manager is started (or the beep sounds) when the answer comes.
void revealItemInFinder(const QString& path) {
    VORN_ASSERT_MAIN_THREAD();
    KORVAL_Log::debug(fmt("Inside revealItemInFinder...revealItemInFinder => %@...", path));
    if (path.isEmpty()) {
        refuseReveal();
        return;
    }
    const QString expanded = Path::expandingTildeInPath(path);
    SourceFolder::askIsDirectory(expanded, [expanded](bool directory) {
        if (!directory) {
            refuseReveal();
            return;
        }
        KORVAL_Log::debug(fmt("runCommand will execute: %@", Desktop::openCommandLine(expanded)));
        // The file manager is started off the main thread; its answer is logged when it comes.
        Desktop::openInFileManager(expanded, [](const QString& output) {
            KORVAL_Log::debug(fmt("shellcommand returned = %@", output));
        });
    });
}

void AppDelegate::doRevealItem1(QObject* sender) {
    VORN_ASSERT_MAIN_THREAD();
    Q_UNUSED(sender);
    KORVAL_Log::debug(fmt("Inside %@ => %@...", description(), "doRevealItem1:"));
    revealItemInFinder(SourceFolder::storedPath());
}

void AppDelegate::ibHandleShowHideMenuBar(QObject* sender) {
    VORN_ASSERT_MAIN_THREAD();
    Q_UNUSED(sender);
    KORVAL_Log::debug(fmt("Inside %@ => %@...", description(), "ibHandleShowHideMenuBar:"));
    Settings::synchronize();
    if (QPointer<MainWindow> w = window()) w->setMenuBarVisible(Settings::flag(Setting::DoShowMenuBar));
}

void AppDelegate::ibCloseWindow(QObject* sender) { endSheetHoldingButton(sender); }

void AppDelegate::ibRevealLogFolder(QObject* sender) {
    VORN_ASSERT_MAIN_THREAD();
    Q_UNUSED(sender);
    KORVAL_Log::debug(fmt("Inside %@ => %@...", description(), "ibRevealLogFolder:"));
    QStringList present;
    for (const QString& path : {logFilePath(), oldLogFilePath()}) {
        if (QFileInfo::exists(path)) present += path;
    }
    if (present.isEmpty()) {
        beep();
        return;
    }
    Desktop::showItemsInFileManager(present);
}

void AppDelegate::ibEmailButton(QObject* sender) {
    VORN_ASSERT_MAIN_THREAD();
    Q_UNUSED(sender);
    KORVAL_Log::debug(fmt("Inside %@ => %@...", description(), "ibEmailButton:"));
    QVariantList items{QStringLiteral("We've fallen and wanna get up...\n\n")};
    for (const QString& path : {logFilePath(), oldLogFilePath()}) {
        if (QFileInfo::exists(path)) items += QUrl::fromLocalFile(path);
    }
    if (items.size() < 2) return;
    DispatchQueue::global(DispatchQueue::Priority::Default).async([items] {
        if (!waitMicroseconds(kMailDelayMicroseconds)) return;
        const auto service = SharingService::sharingServiceNamed(QString::fromLatin1(SharingService::kComposeEmail));
        if (service) service->setSubject(fmt("Log(s) From %@.app", Bundle::mainBundle().bundleName()));
        DispatchQueue::main().async([service, items] {
            if (service) service->performWithItems(items);
        });
    });
}
