#include "platform/ui/Application.h"

#include "platform/core/Queues.h"
#include "platform/core/ServiceManager.h"
#include "platform/core/SystemLog.h"

#include "platform/media/PlayerView.h"
#include "platform/ui/MainWindow.h"
#include "platform/ui/PreferencesWindow.h"
#include "platform/ui/ScreenBlanking.h"
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

// How long the work queues get at quit to let their jobs end; a job stuck in the kernel on a share
// that hangs is left behind rather than holding up the quit.
constexpr std::chrono::milliseconds kQueueShutdownDeadline{700};

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

// Qt's own warnings get the same line, and so the same timestamp, as every other line of the log.
void toSystemLog(QtMsgType, const QMessageLogContext&, const QString& message) { systemLog(message); }

}  // namespace

int applicationMain(int argc, char** argv, const std::function<void()>& classInitialize,
                    const std::function<std::shared_ptr<ApplicationDelegate>(const MainInterface&)>& makeDelegate) {
    qInstallMessageHandler(toSystemLog);
    QApplication app(argc, argv);
    // Desktops and compositors match the window to its desktop entry (name, icon) by this.
    QGuiApplication::setDesktopFileName(QStringLiteral(VORN_BUNDLE_IDENTIFIER));
    // The view asks it when the window is made; meanwhile the program starts.
    PlayerView::startRendererProbe();
    // libmpv parses numbers with the C locale.
    std::setlocale(LC_NUMERIC, "C");
    // Qt has taken its own options out of the arguments by now.
    UserDefaults::standardUserDefaults().setArgumentDomain(
        UserDefaults::argumentDomainFromArguments(QCoreApplication::arguments()));
    quitOnTerminationSignals(app);

    classInitialize();

    MainInterface ui;
    auto window = std::make_unique<MainWindow>();
    ui.window = window.get();
    ui.preferencesWindow = new PreferencesWindow(window.get());
    std::shared_ptr<ApplicationDelegate> delegate = makeDelegate(ui);

    RunningApplication::setActivationHandler([w = QPointer<MainWindow>(window.get())] { bringToFront(w); });
    QObject::connect(&app, &QCoreApplication::aboutToQuit, [&delegate] {
        ServiceManager::notifyStopping();
        // Background work stops waiting first, so that the controller's last word is the last one.
        DispatchQueue::beginShutdown();
        if (delegate) delegate->applicationWillTerminate();
    });
    window->show();
    ScreenBlanking::holdOff();
    QTimer::singleShot(0, &app, [&delegate] {
        if (delegate) delegate->applicationDidFinishLaunching();
        ServiceManager::notifyReady(QStringLiteral("Started"));
    });

    const int status = app.exec();
    ScreenBlanking::restore();
    // Background work ends before what it works for: waits and commands are cut short, the jobs
    // still queued run out (a controller's job finds it and holds it), and the threads are joined.
    if (!DispatchQueue::shutdown(kQueueShutdownDeadline)) {
        systemLog(QStringLiteral("Quitting with work still running on a blocked thread; it ends with the process."));
    }
    RunningApplication::setActivationHandler(nullptr);
    delegate.reset();
    window.reset();
    // Settings written during the run reach the disk before the process ends.
    UserDefaults::standardUserDefaults().synchronize();
    std::fflush(nullptr);
    return status;
}

// exit() rather than quit(): quit() first asks every window to close and gives up when one
// refuses (an open alert does), and a stop must not wait for anybody.
void terminateApplication() { QCoreApplication::exit(0); }
