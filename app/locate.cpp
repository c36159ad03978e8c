// Locating the source folder, its status light, and the preferences sheet.
#include "app/AppDelegate.h"
#include "app/Settings.h"
#include "app/Validation.h"

#include "folderref/MyBookmarkDataKit.h"
#include "log/KORVAL_Log.h"
#include "platform/core/Format.h"
#include "platform/core/Queues.h"
#include "platform/core/ThreadContract.h"
#include "platform/ui/Alert.h"
#include "platform/ui/Beep.h"
#include "platform/ui/MainWindow.h"
#include "platform/ui/PreferencesWindow.h"
#include "platform/ui/StatusImages.h"
#include "progress/MyProgressWindowController.h"

#include <QImage>

namespace {

const QString kProgressInterface = QStringLiteral("MyProgressWindowController");
constexpr std::uint64_t kAlertDelayMicroseconds = 500000;

}  // namespace

void AppDelegate::setStatusImage(const QVariant& imageOrName, const QString& detail) {
    DispatchQueue::main().async(whileAlive([this, imageOrName, detail] {
        QImage image;
        if (imageOrName.typeId() == QMetaType::QString) {
            image = statusImageNamed(imageOrName.toString());
        } else if (imageOrName.typeId() == QMetaType::QImage) {
            image = imageOrName.value<QImage>();
        }
        setFStatusImage(image, detail);
    }));
}

// The validation keeps the folder's settings right; what the light says is what a look at the folder
// the player plays from sees afterwards (the path may have been found anew through the reference).
// A folder standing where the source folder's file system was (a share not mounted, or covered
// by another) is not the source folder: its reference is not made again from it, which would
// forget where the share belongs.
bool AppDelegate::validateSourceFolder() {
    SourceFolderMonitor& monitor = sourceFolder_->monitor();
    const SourceFolderMonitor::State seen = monitor.look();
    if (seen == SourceFolderMonitor::State::Unmounted || seen == SourceFolderMonitor::State::Replaced) {
        KORVAL_Log::debug(fmt("The source folder's file system is not there (%@; it lives on %@): trying its reference",
                              SourceFolderMonitor::describe(seen), monitor.home().describe()));
        // Resolving it may have the share mounted again at its place (fstab, udisks). What it
        // finds elsewhere is not taken: a bind-mounted share's volume resolves to the top of the
        // disk it lives on. (A folder whose path is missing is found elsewhere by the validation.)
        QString resolved;
        bool stale = false;
        MyBookmarkDataKit::resolveAliasFromData(Settings::data(Setting::TamrinVideosFolderAliasData), &resolved, stale);
        if (monitor.look() != SourceFolderMonitor::State::Available) return false;
    }
    const bool valid = validateFolderPrefWithParamNew(sourceFolderPreferenceTriple());
    monitor.look();
    return valid;
}

void AppDelegate::showProgress(const QString& message) {
    VORN_ASSERT_MAIN_THREAD();
    auto controller = MyProgressWindowController::initWithWindowNibName(kProgressInterface);
    setFMyProgressWindowController(controller);
    if (!controller->window()) {
        KORVAL_Log::debug(QStringLiteral("what NIL???"));
        return;
    }
    controller->setMessage(message);
    controller->showProgressWindow();
}

// After a failed validation: the progress panel goes at once, and the alert comes half a second
// later as a sheet of the sender's window (or the main window).
void AppDelegate::alertInvalidSourceFolder(const QString& informativeText, const QStringList& buttons, QObject* sender,
                                           std::function<void(long)> handler) {
    VORN_ASSERT_NOT_MAIN_THREAD();
    KORVAL_Log::debug(QStringLiteral("validate2  FAILED?????"));
    const QPointer<QObject> from(sender);
    DispatchQueue::createSerial()->async(whileAlive([this, informativeText, buttons, from, handler] {
        if (!waitMicroseconds(kAlertDelayMicroseconds)) return;
        DispatchQueue::main().async(whileAlive([this, informativeText, buttons, from, handler] {
            Alert alert;
            alert.setMessageText(QStringLiteral("Please Make Sure Source Folder IS Valid !!"));
            alert.setInformativeText(informativeText);
            for (const QString& title : buttons) alert.addButtonWithTitle(title);
            alert.beginSheetModalForWindow(SheetHost::forSender(from, window()), handler);
        }));
    }));
}

void AppDelegate::checkSourceFolderAtLaunch() {
    VORN_ASSERT_NOT_MAIN_THREAD();
    if (auto controller = fMyProgressWindowController()) controller->setMessage(QStringLiteral("Mounting Source Folder..."));
    const bool valid = validateSourceFolder();
    DispatchQueue::main().async(whileAlive([this] { setFMyProgressWindowController(nullptr); }));
    if (valid) return;
    alertInvalidSourceFolder(QStringLiteral("Please point to a valid folder..."),
                             {QStringLiteral("Open Preferences"), QStringLiteral("Close")}, nullptr,
                             [weak = weak_from_this()](long response) {
                                 KORVAL_Log::debug(fmt("alert returend = %li", response));
                                 if (response != Alert::kFirstButtonReturn) return;
                                 KORVAL_Log::debug(QStringLiteral("user said to open preferences...."));
                                 if (const std::shared_ptr<AppDelegate> self = weak.lock()) self->ibOpenPreferences(nullptr);
                             });
}

void AppDelegate::ibTryToMountVolume(QObject* sender) {
    VORN_ASSERT_MAIN_THREAD();
    KORVAL_Log::debug(fmt("Inside %@ => %@...", description(), "ibTryToMountVolume:"));
    if (fInsideTryingToMount()) {
        KORVAL_Log::debug(fmt("Inside %@ => %@...Already running...", description(), "ibTryToMountVolume:"));
        beep();
        return;
    }
    setFInsideTryingToMount(true);
    const QPointer<QObject> from(sender);
    DispatchQueue::global(DispatchQueue::Priority::High).async(whileAlive([this, from] {
        DispatchQueue::main().async(
            whileAlive([this] { showProgress(QStringLiteral("Trying To Locate/Mount Source Folder...")); }));
        const bool valid = validateSourceFolder();
        DispatchQueue::main().async(whileAlive([this] { setFMyProgressWindowController(nullptr); }));
        setFInsideTryingToMount(false);
        if (valid) return;
        alertInvalidSourceFolder(
            QStringLiteral("Please point to a valid folder...\n\nMaybe network is down or the remote computer is not turned on?"),
            {QStringLiteral("OK")}, from, nullptr);
    }));
}

void AppDelegate::ibOpenPreferences(QObject* sender) {
    VORN_ASSERT_MAIN_THREAD();
    Q_UNUSED(sender);
    const QVariantList sheets = SheetHost(window()).describeSheets();
    if (!sheets.isEmpty()) {
        KORVAL_Log::debug(QStringLiteral("hmm there is one or more sheet(s) opened...."));
        KORVAL_Log::debug(fmt("self.window.sheeets = %@", QVariant(sheets)));
    }
    const QPointer<PreferencesWindow> preferences = fPreferencesWindow();
    if (!preferences) return;
    preferences->openAsSheet([] { KORVAL_Log::debug(QStringLiteral("need to handle prerences after closing..")); });
}
