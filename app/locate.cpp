// Locating the source folder, its status light, and the preferences sheet.
#include "app/AppDelegate.h"
#include "app/Validation.h"

#include "log/KORVAL_Log.h"
#include "platform/ui/Alert.h"
#include "platform/ui/Beep.h"
#include "platform/core/Description.h"
#include "platform/core/Format.h"
#include "platform/ui/MainWindow.h"
#include "platform/ui/PreferencesWindow.h"
#include "platform/core/Queues.h"
#include "platform/ui/StatusImages.h"
#include "progress/MyProgressWindowController.h"

#include <QImage>

namespace {

const QString kProgressInterface = QStringLiteral("MyProgressWindowController");
constexpr std::uint64_t kAlertDelayMicroseconds = 500000;

QString statusNameFor(bool valid) {
    return valid ? QStringLiteral("NSStatusAvailable") : QStringLiteral("NSStatusUnavailable");
}

}  // namespace

void AppDelegate::setStatusImage(const QVariant& imageOrName) {
    DispatchQueue::main().async([this, imageOrName] {
        QImage image;
        if (imageOrName.typeId() == QMetaType::QString) {
            image = statusImageNamed(imageOrName.toString());
        } else if (imageOrName.typeId() == QMetaType::QImage) {
            image = imageOrName.value<QImage>();
        }
        setFStatusImage(image);
    });
}

bool AppDelegate::validateSourceFolder() { return validateFolderPrefWithParamNew(sourceFolderPreferenceTriple()); }

void AppDelegate::showLaunchProgress() {
    auto controller = MyProgressWindowController::initWithWindowNibName(kProgressInterface);
    setFMyProgressWindowController(controller);
    if (!controller->window()) {
        KORVAL_Log::debug(QStringLiteral("what NIL???"));
        return;
    }
    controller->showProgressWindow();
    controller->setMessage(QStringLiteral("Initializing..."));
}

void AppDelegate::checkSourceFolderAtLaunch() {
    if (auto controller = fMyProgressWindowController()) controller->setMessage(QStringLiteral("Mounting Source Folder..."));
    const bool valid = validateSourceFolder();
    setStatusImage(statusNameFor(valid));
    DispatchQueue::main().async([this] { setFMyProgressWindowController(nullptr); });
    if (valid) return;
    KORVAL_Log::debug(QStringLiteral("validate2  FAILED?????"));
    DispatchQueue::createSerial()->async([this] {
        waitMicroseconds(kAlertDelayMicroseconds);
        DispatchQueue::main().async([this] {
            Alert alert;
            alert.setMessageText(QStringLiteral("Please Make Sure Source Folder IS Valid !!"));
            alert.setInformativeText(QStringLiteral("Please point to a valid folder..."));
            alert.addButtonWithTitle(QStringLiteral("Open Preferences"));
            alert.addButtonWithTitle(QStringLiteral("Close"));
            alert.beginSheetModalForWindow(window(), [this](long response) {
                KORVAL_Log::debug(fmt("alert returend = %li", response));
                if (response != Alert::kFirstButtonReturn) return;
                KORVAL_Log::debug(QStringLiteral("user said to open preferences...."));
                ibOpenPreferences(nullptr);
            });
        });
    });
}

void AppDelegate::showProgress(const QString& message) {
    auto controller = MyProgressWindowController::initWithWindowNibName(kProgressInterface);
    setFMyProgressWindowController(controller);
    if (!controller->window()) {
        KORVAL_Log::debug(QStringLiteral("what NIL???"));
        return;
    }
    controller->setMessage(message);
    controller->showProgressWindow();
}

void AppDelegate::ibTryToMountVolume(QObject* sender) {
    KORVAL_Log::debug(fmt("Inside %@ => %@...", description(), "ibTryToMountVolume:"));
    if (fInsideTryingToMount()) {
        KORVAL_Log::debug(fmt("Inside %@ => %@...Already running...", description(), "ibTryToMountVolume:"));
        beep();
        return;
    }
    setFInsideTryingToMount(true);
    const QPointer<QObject> from(sender);
    DispatchQueue::global(DispatchQueue::Priority::High).async([this, from] {
        DispatchQueue::main().async([this] { showProgress(QStringLiteral("Trying To Locate/Mount Source Folder...")); });
        const bool valid = validateSourceFolder();
        setStatusImage(statusNameFor(valid));
        DispatchQueue::main().async([this] { setFMyProgressWindowController(nullptr); });
        setFInsideTryingToMount(false);
        if (valid) return;
        KORVAL_Log::debug(QStringLiteral("validate2  FAILED?????"));
        DispatchQueue::global(DispatchQueue::Priority::High).async([this, from] {
            waitMicroseconds(kAlertDelayMicroseconds);
            DispatchQueue::main().async([this, from] {
                Alert alert;
                alert.setMessageText(QStringLiteral("Please Make Sure Source Folder IS Valid !!"));
                alert.setInformativeText(QStringLiteral(
                    "Please point to a valid folder...\n\nMaybe network is down or the remote computer is not turned on?"));
                alert.addButtonWithTitle(QStringLiteral("OK"));
                QWidget* host = windowOfSender(from);
                alert.beginSheetModalForWindow(host ? host : window().data(), nullptr);
            });
        });
    });
}

void AppDelegate::ibOpenPreferences(QObject* sender) {
    Q_UNUSED(sender);
    const QPointer<MainWindow> main = window();
    const QList<QWidget*> sheets = sheetsOfWindow(main);
    if (!sheets.isEmpty()) {
        KORVAL_Log::debug(QStringLiteral("hmm there is one or more sheet(s) opened...."));
        QVariantList described;
        for (QWidget* sheet : sheets) described += Description::ofObject(sheet->metaObject()->className(), sheet);
        KORVAL_Log::debug(fmt("self.window.sheeets = %@", QVariant(described)));
    }
    const QPointer<PreferencesWindow> preferences = fPreferencesWindow();
    if (!preferences) return;
    QObject::connect(
        preferences.data(), &QDialog::finished, preferences.data(),
        [] { KORVAL_Log::debug(QStringLiteral("need to handle prerences after closing..")); }, Qt::SingleShotConnection);
    preferences->open();
}
