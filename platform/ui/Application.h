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
// it for the life of the application.
struct MainInterface {
    MainWindow* window = nullptr;
    PreferencesWindow* preferencesWindow = nullptr;
};

// The application runner: makes the QApplication, reads "-key value" arguments into the
// settings store, runs classInitialize, loads the main interface, asks makeDelegate for the
// controller connected to it, then runs the event loop. Returns the exit status.
int applicationMain(int argc, char** argv, const std::function<void()>& classInitialize,
                    const std::function<std::unique_ptr<ApplicationDelegate>(const MainInterface&)>& makeDelegate);

// Quits the application in the orderly way (applicationWillTerminate, then exit).
void terminateApplication();
