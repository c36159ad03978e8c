#include "app/AppDelegate.h"
#include "app/CommandLine.h"
#include "app/Settings.h"
#include "platform/ui/Application.h"
#include "platform/ui/MainWindow.h"
#include "platform/ui/PreferencesWindow.h"

#include <cstdlib>

#include <malloc.h>

namespace {

// The main interface connects its controls to the controller's commands; each command gets the
// control that sent it. The handlers hold the controller weakly: it goes first at quit.
void connectCommands(const std::shared_ptr<AppDelegate>& delegate, MainWindow* w, PreferencesWindow* p) {
    const std::weak_ptr<AppDelegate> weak = delegate;
    auto command = [w, weak](MainWindow::Command which, void (AppDelegate::*method)(QObject*)) {
        w->setCommandHandler(which, [weak, method](QObject* sender) {
            if (const std::shared_ptr<AppDelegate> d = weak.lock()) (d.get()->*method)(sender);
        });
    };
    command(MainWindow::Command::OpenFiles, &AppDelegate::handleOpenFile);
    command(MainWindow::Command::ChangeSourceFolder, &AppDelegate::ibClickedOnChangeSourceVideosFolder);
    command(MainWindow::Command::LocateSourceFolder, &AppDelegate::ibTryToMountVolume);
    command(MainWindow::Command::RevealSourceFolder, &AppDelegate::doRevealItem1);
    command(MainWindow::Command::RevealLogs, &AppDelegate::ibRevealLogFolder);
    command(MainWindow::Command::EmailLogs, &AppDelegate::ibEmailButton);
    command(MainWindow::Command::Preferences, &AppDelegate::ibOpenPreferences);
    // The menu bar item says what the setting should be, then the command applies it.
    w->setShowMenuBarHandler([weak](bool shown, QObject* sender) {
        Settings::setFlag(Setting::DoShowMenuBar, shown);
        if (const std::shared_ptr<AppDelegate> d = weak.lock()) d->ibHandleShowHideMenuBar(sender);
    });
    p->setModel(AppDelegate::preferencesModel());
    p->onChangeSourceFolder = [weak](QObject* sender) {
        if (const std::shared_ptr<AppDelegate> d = weak.lock()) d->ibClickedOnChangeSourceVideosFolder(sender);
    };
    p->onClose = [weak](QObject* sender) {
        if (const std::shared_ptr<AppDelegate> d = weak.lock()) d->ibCloseWindow(sender);
    };
    p->onMenuBarSettingChanged = [weak] {
        if (const std::shared_ptr<AppDelegate> d = weak.lock()) d->ibHandleShowHideMenuBar(nullptr);
    };
}

}  // namespace

int main(int argc, char** argv) {
    // mpv's decoder and demuxer threads each take a malloc arena, and at every item change their
    // buffers move between arenas: over 3,000 changes of 0.2 s clips the resident memory swung
    // between 350 and 420 MB. Two arenas keep it flat near 170 MB. MALLOC_ARENA_MAX still rules.
    if (!std::getenv("MALLOC_ARENA_MAX")) mallopt(M_ARENA_MAX, 2);
    // Buffers of a few MiB (frames, decoder and demuxer state) come and go at every item change.
    // Up to 4 MiB they stay in the heap, where the next item's buffers reuse their pages: mapped
    // afresh at each change, their page faults came just as the next item's first frames were
    // decoded and held the last picture about 10 ms longer. Larger blocks are mapped and given
    // back when freed. A fixed threshold also stops glibc from raising it as it sees fit; more
    // than 1 MiB free at the heap's top goes back to the system.
    if (!std::getenv("MALLOC_MMAP_THRESHOLD_")) mallopt(M_MMAP_THRESHOLD, 4 * 1024 * 1024);
    if (!std::getenv("MALLOC_TRIM_THRESHOLD_")) mallopt(M_TRIM_THRESHOLD, 1024 * 1024);

    if (const std::optional<int> status = CommandLine::run(argc, argv)) return *status;
    return applicationMain(argc, argv, &AppDelegate::initialize, [](const MainInterface& ui) {
        std::shared_ptr<AppDelegate> delegate = AppDelegate::create();
        delegate->setWindow(ui.window);
        delegate->setPlayerview(ui.window->playerView());
        delegate->setFPreferencesWindow(ui.preferencesWindow);
        connectCommands(delegate, ui.window, ui.preferencesWindow);
        delegate->startStatusServices();
        return std::shared_ptr<ApplicationDelegate>(std::move(delegate));
    });
}
