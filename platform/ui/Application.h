#pragma once

#include <functional>
#include <memory>

class MainWindow;
class PreferencesWindow;

// What the application runner calls on the one application controller.
class ApplicationDelegate {
public:
    virtual ~ApplicationDelegate() = default;
    // Once, on the main thread, when the event loop runs.
    virtual void applicationDidFinishLaunching() = 0;
    // Once, when the application quits (the last window closed, SIGTERM, SIGINT, Quit).
    virtual void applicationWillTerminate() = 0;
};

// The windows of the main interface, made by the runner from their Designer files and owned by
// it for the life of the application (they go after the controller, at the end of the run).
struct MainInterface {
    MainWindow* window = nullptr;
    PreferencesWindow* preferencesWindow = nullptr;
};

// The application runner: makes the QApplication, reads "-key value" arguments into the
// settings store, runs classInitialize, loads the main interface, asks makeDelegate for the
// controller connected to it, then runs the event loop. At quit: applicationWillTerminate, the
// work queues shut down and joined, the controller and the windows destroyed, the settings
// written. Returns the exit status, for main to return. Main thread.
int applicationMain(int argc, char** argv, const std::function<void()>& classInitialize,
                    const std::function<std::shared_ptr<ApplicationDelegate>(const MainInterface&)>& makeDelegate);

// Quits the application in the orderly way (applicationWillTerminate, then the end of the run).
// Main thread.
void terminateApplication();
