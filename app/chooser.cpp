// The folder chooser and opening files by hand.
#include "app/AppDelegate.h"
#include "app/Chooser.h"
#include "app/Settings.h"
#include "app/Validation.h"

#include "folderref/MyBookmarkDataKit.h"
#include "log/KORVAL_Log.h"
#include "platform/core/ThreadContract.h"
#include "platform/ui/Alert.h"
#include "platform/core/Format.h"
#include "platform/core/Queues.h"
#include "platform/ui/MainWindow.h"
#include "platform/ui/OpenPanel.h"
#include "platform/ui/PreferencesWindow.h"
#include "platform/core/UserDefaults.h"

#include <QDir>
#include <QUrl>

const QString sPanelMessageKey = QStringLiteral("panelMessageKey");
const QString sPanelPromptKey = QStringLiteral("panelPromptKey");
const QString sPanelDelegateKey = QStringLiteral("panelDelegateKey");
const QString sPanelSenderKey = QStringLiteral("panelSenderKey");

void AppDelegate::ibClickedOnChangeSourceVideosFolder(QObject* sender) {
    VORN_ASSERT_MAIN_THREAD();
    KORVAL_Log::debug(fmt("Inside %@ => %@...", description(), "ibClickedOnChangeSourceVideosFolder:"));
    // Qt's panels have no delegate; the entry names the controller, which answers nothing anyway.
    const OpenPanelParameters parameters{{sPanelDelegateKey, description()},
                                         {sPanelMessageKey, QStringLiteral("Please Select the Source Folder")},
                                         {sPanelPromptKey, QStringLiteral("Select")},
                                         {sPanelSenderKey, QVariant::fromValue(sender)},
                                         {sPrefFolderNameKey, sPrefTamrinVideosFolder},
                                         {sPrefFolderAliasDataKey, sPrefTamrinVideosFolderAliasData},
                                         {sPrefFolderNameIsValidKey, sPrefTamrinVideosFolderIsValid}};
    doNSOpenPanelWithParameters(parameters);
}

void AppDelegate::doNSOpenPanelWithParameters(const QVariantMap& parameters) {
    VORN_ASSERT_MAIN_THREAD();
    const char* name = "doNSOpenPanelWithParameters:";
    KORVAL_Log::debug(fmt("Inside %@ => %@...", description(), name));
    KORVAL_Log::debug(fmt("Inside %@ => %@... parameters = %@", description(), name, QVariant(parameters)));
    const QString pathKey = parameters.value(sPrefFolderNameKey).toString();
    QObject* sender = parameters.value(sPanelSenderKey).value<QObject*>();
    // A menu command has no window of its own: the panel hangs from the main window.
    const SheetHost host = SheetHost::forSender(sender, window());

    OpenPanel panel;
    panel.setCanChooseDirectories(true);
    panel.setCanChooseFiles(false);
    panel.setAllowsMultipleSelection(false);
    panel.setCanCreateDirectories(true);
    panel.setMessage(parameters.value(sPanelMessageKey).toString());
    panel.setPrompt(parameters.value(sPanelPromptKey).toString());
    // The panel lists the folder it opens in on the main thread: the source folder only while the
    // last look found it there, else the home folder, so that a share that hangs cannot hold the
    // window.
    const QString current = UserDefaults::standardUserDefaults().stringForKey(pathKey);
    const bool there = pathKey != sPrefTamrinVideosFolder || sourceFolder_->monitor().isAvailable();
    panel.setDirectoryURL(QUrl::fromLocalFile(!current.isNull() && there ? current : QDir::homePath()));

    panel.beginSheetModalForWindow(host, [weak = weak_from_this(), parameters, name](long result, const QList<QUrl>& urls) {
        const std::shared_ptr<AppDelegate> self = weak.lock();
        if (!self) return;
        KORVAL_Log::debug(fmt("User Clicked on result = %li", result));
        if (result != OpenPanel::kOK) {
            KORVAL_Log::debug(QStringLiteral("user cancelled change folder ..."));
            return;
        }
        const QString path = urls.isEmpty() ? QString() : urls.first().toLocalFile();
        KORVAL_Log::debug(fmt("Inside %@ => %@... User selected %@", self->description(), name, path));
        if (path.isEmpty()) return;
        UserDefaults& store = UserDefaults::standardUserDefaults();
        store.setObject(path, parameters.value(sPrefFolderNameKey).toString());
        store.setBool(true, parameters.value(sPrefFolderNameIsValidKey).toString());
        const QString enableKey = QLatin1String(SettingTripleKey::PathEnable);
        if (parameters.contains(enableKey)) {
            store.setBool(true, parameters.value(enableKey).toString());
        }
        if (QPointer<PreferencesWindow> preferences = self->fPreferencesWindow()) preferences->reload();
        // The reference looks at the folder (it may lie on a share that hangs), off the main
        // thread; a folder that is there then shows green at once, without waiting for the next scan.
        const bool isSourceFolder = parameters.value(sPrefFolderNameKey).toString() == sPrefTamrinVideosFolder;
        const QString referenceKey = parameters.value(sPrefFolderAliasDataKey).toString();
        DispatchQueue::global(DispatchQueue::Priority::High).async(
            self->whileAlive([self = self.get(), path, referenceKey, isSourceFolder] {
                MyBookmarkDataKit::savePath(path, referenceKey);
                if (isSourceFolder) self->sourceFolder_->monitor().look();
            }));
    });
}

void AppDelegate::doNSOpenPanelWithParameters_KORVAL_Obsolete(const QVariant& anything) {
    Q_UNUSED(anything);
    KORVAL_Log::debug(fmt("Inside %@ => %@...SHOULD NEVER BE CALLED.....", description(),
                          "doNSOpenPanelWithParameters_KORVAL_Obsolete:"));
}

void AppDelegate::handleOpenFile(QObject* sender) {
    VORN_ASSERT_MAIN_THREAD();
    Q_UNUSED(sender);
    OpenPanel panel;
    panel.setCanChooseDirectories(false);
    panel.setCanChooseFiles(true);
    panel.setAllowsMultipleSelection(true);
    panel.setAllowedFileTypes({QStringLiteral("mp4"), QStringLiteral("mov")});
    // Not the folder the panel last showed, which may be on the share, while the share is away.
    if (!sourceFolder_->monitor().isAvailable()) panel.setDirectoryURL(QUrl::fromLocalFile(QDir::homePath()));
    panel.beginSheetModalForWindow(SheetHost(window()), [weak = weak_from_this()](long result, const QList<QUrl>& urls) {
        const std::shared_ptr<AppDelegate> self = weak.lock();
        if (!self) return;
        KORVAL_Log::debug(fmt("open pane returned result = %li", result));
        if (result != OpenPanel::kOK) {
            KORVAL_Log::debug(QStringLiteral("user cncelled..."));
            return;
        }
        const QVariantList chosen(urls.cbegin(), urls.cend());
        KORVAL_Log::debug(fmt("user selected %@", QVariant(chosen)));
        if (chosen.isEmpty()) return;
        self->playFilesOpenedByHand(urls);
        self->saveCurrentUrlsToPrefs(chosen);
    });
}
