#include "app/AppDelegate.h"
#include "platform/ui/Application.h"
#include "platform/ui/MainWindow.h"
#include "platform/ui/PreferencesWindow.h"
#include "platform/core/UserDefaults.h"

#include <QAction>

namespace {

// The main interface connects its controls to the controller's commands; each command gets the
// control that sent it.
void connectCommands(AppDelegate* d, MainWindow* w, PreferencesWindow* p) {
    auto command = [w](QAction* action, void (AppDelegate::*method)(QObject*), AppDelegate* target) {
        QObject::connect(action, &QAction::triggered, w, [target, method, action] { (target->*method)(action); });
    };
    command(w->openFilesAction(), &AppDelegate::handleOpenFile, d);
    command(w->changeSourceFolderAction(), &AppDelegate::ibClickedOnChangeSourceVideosFolder, d);
    command(w->locateSourceFolderAction(), &AppDelegate::ibTryToMountVolume, d);
    command(w->revealSourceFolderAction(), &AppDelegate::doRevealItem1, d);
    command(w->revealLogsAction(), &AppDelegate::ibRevealLogFolder, d);
    command(w->emailLogsAction(), &AppDelegate::ibEmailButton, d);
    command(w->preferencesAction(), &AppDelegate::ibOpenPreferences, d);
    // The menu bar item says what the setting should be, then the command applies it.
    QObject::connect(w->showMenuBarAction(), &QAction::triggered, w, [d, w](bool shown) {
        UserDefaults::standardUserDefaults().setBool(shown, QStringLiteral("prefDoShowMenuBar"));
        d->ibHandleShowHideMenuBar(w->showMenuBarAction());
    });
    p->onChangeSourceFolder = [d](QObject* sender) { d->ibClickedOnChangeSourceVideosFolder(sender); };
    p->onClose = [d](QObject* sender) { d->ibCloseWindow(sender); };
    p->onMenuBarSettingChanged = [d] { d->ibHandleShowHideMenuBar(nullptr); };
}

}  // namespace

int main(int argc, char** argv) {
    return applicationMain(argc, argv, &AppDelegate::initialize, [](const MainInterface& ui) {
        auto delegate = std::make_unique<AppDelegate>();
        delegate->setWindow(ui.window);
        delegate->setPlayerview(ui.window->playerView());
        delegate->setFPreferencesWindow(ui.preferencesWindow);
        connectCommands(delegate.get(), ui.window, ui.preferencesWindow);
        return std::unique_ptr<ApplicationDelegate>(std::move(delegate));
    });
}
