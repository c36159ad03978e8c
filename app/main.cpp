#include "app/AppDelegate.h"
#include "platform/Application.h"
#include "platform/MainWindow.h"

int main(int argc, char** argv) {
    return applicationMain(argc, argv, &AppDelegate::initialize, [](const MainInterface& ui) {
        auto delegate = std::make_unique<AppDelegate>();
        delegate->setWindow(ui.window);
        delegate->setPlayerview(ui.window->playerView());
        delegate->setFPreferencesWindow(ui.preferencesWindow);
        return std::unique_ptr<ApplicationDelegate>(std::move(delegate));
    });
}
