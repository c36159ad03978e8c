#include "platform/ui/Application.h"

#include "platform/ui/MainWindow.h"
#include "platform/ui/PreferencesWindow.h"
#include "platform/core/RunningApplication.h"
#include "platform/core/UserDefaults.h"

#include <QApplication>
#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>

#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstdlib>

#include <sys/socket.h>
#include <unistd.h>

namespace {

int gSignalPipe[2] = {-1, -1};

void onTerminationSignal(int) {
    const char byte = 1;
    // Only async-signal-safe work here: the event loop picks the byte up.
    [[maybe_unused]] const ssize_t n = ::write(gSignalPipe[1], &byte, 1);
}

// SIGTERM and SIGINT quit through the event loop, the same way as the Quit command.
void quitOnTerminationSignals(QApplication& app) {
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, gSignalPipe) != 0) return;
    auto* notifier = new QSocketNotifier(gSignalPipe[0], QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, &app, [] {
        char byte;
        [[maybe_unused]] const ssize_t n = ::read(gSignalPipe[0], &byte, 1);
        terminateApplication();
    });
    struct sigaction action {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
}

void bringToFront(const QPointer<MainWindow>& window) {
    if (!window) return;
    // Without a screen there is no front to come to (and Qt would only complain in the log).
    const QString platform = QGuiApplication::platformName();
    if (platform == QLatin1String("offscreen") || platform == QLatin1String("minimal")) return;
    if (window->isMinimized()) window->setWindowState(window->windowState() & ~Qt::WindowMinimized);
    window->show();
    window->raise();
    window->activateWindow();
}

}  // namespace

int applicationMain(int argc, char** argv, const std::function<void()>& classInitialize,
                    const std::function<std::unique_ptr<ApplicationDelegate>(const MainInterface&)>& makeDelegate) {
    QApplication app(argc, argv);
    // libmpv parses numbers with the C locale.
    std::setlocale(LC_NUMERIC, "C");
    // Qt has taken its own options out of the arguments by now.
    UserDefaults::standardUserDefaults().setArgumentDomain(
        UserDefaults::argumentDomainFromArguments(QCoreApplication::arguments()));
    quitOnTerminationSignals(app);

    classInitialize();

    MainInterface ui;
    auto* window = new MainWindow;
    ui.window = window;
    ui.preferencesWindow = new PreferencesWindow(window);
    std::unique_ptr<ApplicationDelegate> delegate = makeDelegate(ui);

    RunningApplication::setActivationHandler([w = QPointer<MainWindow>(window)] { bringToFront(w); });
    QObject::connect(&app, &QCoreApplication::aboutToQuit, [&delegate] {
        if (delegate) delegate->applicationWillTerminate();
    });
    window->show();
    QTimer::singleShot(0, &app, [&delegate] {
        if (delegate) delegate->applicationDidFinishLaunching();
    });

    const int status = app.exec();
    // Settings written during the run reach the disk before the process ends.
    UserDefaults::standardUserDefaults().synchronize();
    // Jobs on other threads (the polling loop, a player's events, a scan) still use the
    // controller and its player: the process ends here instead of destroying them under those jobs.
    std::fflush(nullptr);
    std::_Exit(status);
}

// exit() rather than quit(): quit() first asks every window to close and gives up when one
// refuses (an open alert does), and a stop must not wait for anybody.
void terminateApplication() { QCoreApplication::exit(0); }
