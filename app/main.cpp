#include "app/AppDelegate.h"
#include "platform/Application.h"
#include "platform/MainWindow.h"

#include <QAction>

int main(int argc, char** argv) {
    return applicationMain(argc, argv, &AppDelegate::initialize, [](const MainInterface& ui) {
        auto delegate = std::make_unique<AppDelegate>();
        delegate->setWindow(ui.window);
        delegate->setPlayerview(ui.window->playerView());
        delegate->setFPreferencesWindow(ui.preferencesWindow);
        AppDelegate* d = delegate.get();
        QObject::connect(ui.window->locateSourceFolderAction(), &QAction::triggered, ui.window,
                         [d, ui] { d->ibTryToMountVolume(ui.window->locateSourceFolderAction()); });
        QObject::connect(ui.window->preferencesAction(), &QAction::triggered, ui.window,
                         [d, ui] { d->ibOpenPreferences(ui.window->preferencesAction()); });
        return std::unique_ptr<ApplicationDelegate>(std::move(delegate));
    });
}
