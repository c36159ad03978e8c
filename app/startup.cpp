// Start-up and termination of the application controller.
#include "app/AppDelegate.h"
#include "app/LocalCopies.h"
#include "app/Settings.h"

#include "log/KORVAL_Log.h"
#include "platform/ui/Beep.h"
#include "platform/core/Bundle.h"
#include "platform/core/Format.h"
#include "platform/core/NotificationCenter.h"
#include "platform/core/PathUtilities.h"
#include "platform/core/ProcessInfo.h"
#include "platform/core/PropertyList.h"
#include "platform/core/RunningApplication.h"
#include "platform/core/ThreadContract.h"
#include "platform/core/UserDefaults.h"
#include "platform/media/PlayerView.h"

#include <QCoreApplication>

#include <cstdlib>
#include <mutex>

namespace {
constexpr unsigned kActivateIgnoringOtherApps = 2;
}

QString AppDelegate::logFilePathWithSuffix(const char* suffix) {
    const QString name = Path::appendingPathComponent(QStringLiteral("~/Library/Logs/Vorn/"),
                                                      Bundle::mainBundle().bundleName());
    return Path::standardize(name + QLatin1String(suffix));
}

QString AppDelegate::logFilePath() { return logFilePathWithSuffix(".log"); }

QString AppDelegate::oldLogFilePath() { return logFilePathWithSuffix("_old.log"); }

void AppDelegate::initialize() {
    static std::once_flag once;
    std::call_once(once, [] {
        KORVAL_Log::debug(fmt("Inside %@ => %@...", "AppDelegate", "initialize"));
        checkForDuplicateRunningInstances();
        // Misspelt settings and settings without their value are said on standard error and in the
        // log; the player runs on.
        QStringList argumentProblems;
        if (QCoreApplication::instance()) {
            UserDefaults::standardUserDefaults().setArgumentDomain(
                Settings::argumentDomain(QCoreApplication::arguments(), &argumentProblems));
        }
        KORVAL_Log::debug(fmt("Inside %@ => %@...ReDirect NSLog to File...", "AppDelegate", "initialize"));
        // The log folder is not created here: without it the program runs without a log file.
        KORVAL_Log::setLogFile(logFilePath());
        logTakeover();
        for (const QString& problem : argumentProblems) KORVAL_Log::warnOperator(problem);
        setupFactoryDefaults();
        ProcessInfo::processInfo().disableAutomaticTermination(QStringLiteral("to prevent appNap"));
    });
}

void AppDelegate::checkForDuplicateRunningInstances() {
    const qint64 self = RunningApplication::currentApplication().processIdentifier();
    const auto running =
        RunningApplication::runningApplicationsWithBundleIdentifier(Bundle::mainBundle().bundleIdentifier());
    if (!running || running->size() < 2) return;
    for (const RunningApplication& other : *running) {
        if (other.processIdentifier() == self) continue;
        beep();
        KORVAL_Log::debug(fmt("Inside %@ => %@...Another Instance of this app is already running...", "AppDelegate",
                              "checkForDuplicateRunningInstances"));
        other.activateWithOptions(kActivateIgnoringOtherApps);
        break;
    }
    std::exit(0);
}

// Said once the log file is open: the duplicate check that took over runs before it.
void AppDelegate::logTakeover() {
    const auto replaced = RunningApplication::replacedInstance(Bundle::mainBundle().bundleIdentifier());
    if (!replaced) return;
    KORVAL_Log::warnOperator(QStringLiteral("Took over as the running instance from process %1, which holds the "
                                            "single-instance lock but no longer runs: %2")
                                 .arg(QString::number(replaced->pid), replaced->seen));
}

void AppDelegate::setupFactoryDefaults() {
    KORVAL_Log::debug(QStringLiteral("setupFactoryDefaults"));
    const QString path = Bundle::mainBundle().pathForResource(QStringLiteral("FactoryDefault"), QStringLiteral("plist"));
    KORVAL_Log::debug(fmt("userDefaultsValuesPath = [%@]", path));
    const auto defaults = PropertyList::dictionaryWithContentsOfFile(path);
    if (!defaults) {
        KORVAL_Log::debug(QStringLiteral("userDefaultsValuesDict == NIL!!!!"));
        return;
    }
    KORVAL_Log::debug(fmt("About to register factory default dictionary:\n%@\n\n", QVariant(*defaults)));
    // A value unlike the table's declaration (no such key, another type, out of bounds) would be read
    // as something it is not: it is left out, and the rest is registered.
    QVariantMap fitting;
    for (auto it = defaults->cbegin(); it != defaults->cend(); ++it) {
        const QString problem = Settings::factoryValueProblem(it.key(), it.value());
        if (problem.isEmpty()) {
            fitting.insert(it.key(), it.value());
        } else {
            KORVAL_Log::debug(fmt("Factory default %@ left out: %@", it.key(), problem));
        }
    }
    UserDefaults::standardUserDefaults().registerDefaults(fitting);
}

void AppDelegate::applicationWillTerminate() {
    VORN_ASSERT_MAIN_THREAD();
    KORVAL_Log::debug(fmt("Inside %@ => %@...", description(), "applicationWillTerminate:"));
    NotificationCenter::defaultCenter().removeObserver(this);
    // The view frees its render context before mpv ends, and mpv ends on a worker.
    if (QPointer<PlayerView> view = playerview()) view->setPlayer(nullptr);
    setPlayer(nullptr);
    if (const std::shared_ptr<LocalCopies> copies = localCopies()) copies->stop();
}
