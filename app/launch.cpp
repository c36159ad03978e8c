// The launch sequence and the start-up polling loop.
#include "app/AppDelegate.h"
#include "app/LocalCopies.h"
#include "app/SourceFolder.h"
#include "app/Settings.h"
#include "app/Validation.h"

#include "log/KORVAL_Log.h"
#include "platform/core/Bundle.h"
#include "platform/core/Format.h"
#include "platform/core/PathUtilities.h"
#include "platform/core/Queues.h"
#include "platform/core/ThreadContract.h"
#include "platform/ui/MainWindow.h"

namespace {
constexpr std::uint64_t kFirstPollDelayMicroseconds = 1000000;
constexpr std::uint64_t kPollIntervalMicroseconds = 2000000;
}  // namespace

QString AppDelegate::versionStringFromInfo(const QVariantMap& info) {
    QString version = QStringLiteral("Unknown Version");
    if (info.contains(QStringLiteral("CFBundleShortVersionString"))) {
        version = fmt("Version: %@", info.value(QStringLiteral("CFBundleShortVersionString")));
    } else if (info.contains(QStringLiteral("CFBundleGetInfoString"))) {
        version = fmt("%@", info.value(QStringLiteral("CFBundleGetInfoString")));
    }
    return version + fmt(" xc-%@ sdk-%@", info.value(QStringLiteral("DTXcode")), info.value(QStringLiteral("DTSDKName")));
}

void AppDelegate::applicationDidFinishLaunching() {
    VORN_ASSERT_MAIN_THREAD();
    // The play queue hears the end of every item: it is the delegate of every player it makes.
    setFInsideTryingToMount(false);
    showProgress(QStringLiteral("Initializing..."));

    const QVariantMap info = Bundle::mainBundle().infoDictionary();
    KORVAL_Log::debug(fmt("infoDictioanry = %@", QVariant(info)));
    Settings::setObject(Setting::AppVersionString, versionStringFromInfo(info));
    // The light shows the source folder as not checked yet ("NSStatusNone").
    sourceFolder_->monitor().reset();
    showSourceFolderLight();

    queue_->state().reset();
    // Local copies from the settings of this launch; the copier starts at once.
    if (const std::shared_ptr<LocalCopies> earlier = localCopies_.get()) earlier->stop();
    std::shared_ptr<LocalCopies> copies = LocalCopies::create(LocalCopies::configFromSettings());
    if (copies->enabled()) {
        KORVAL_Log::debug(fmt("Local copies in %@", copies->config().folder));
        queue_->setLocalCopies(copies);
        sourceFolder_->setLocalCopies(copies);
    }
    localCopies_.set(copies);

    DispatchQueue::main().async(whileAlive([this] { setUpWindow(); }));
    DispatchQueue::global(DispatchQueue::Priority::High).async(whileAlive([this] { checkSourceFolderAtLaunch(); }));
    DispatchQueue::createSerial()->async(whileAlive([this] { startupPollingLoop(); }));
    sourceFolder_->startWatching();
}

void AppDelegate::setUpWindow() {
    VORN_ASSERT_MAIN_THREAD();
    const QPointer<MainWindow> window = this->window();
    if (!window) return;
    window->setMenuBarVisible(Settings::flag(Setting::DoShowMenuBar));
    const std::optional<Screen> screen = useThisScreen();
    window->applyPlaybackStyle(screen ? screen->frame : QRect());
}

void AppDelegate::startupPollingLoop() {
    VORN_ASSERT_NOT_MAIN_THREAD();
    if (!waitMicroseconds(kFirstPollDelayMicroseconds)) return;
    QStringList list;
    QStringList playable;
    for (;;) {
        // The cycle may have started without the loop: files opened by hand played meanwhile, and
        // the decision after the last of them took the newest file. The play queue goes on by itself.
        if (cycleStarted()) return;
        // An empty folder is polled every 2 s for as long as it stays empty: its lines are folded.
        KORVAL_Log::debugRepeatable(QStringLiteral("start polling...."));
        list = sourceFolder_->newestCompleteListing(SourceFolder::ListingLog::Folded).complete;
        playable = playableNow(list);
        if (cycleStarted()) return;
        if (!playable.isEmpty()) break;
        if (!waitMicroseconds(kPollIntervalMicroseconds)) return;  // quitting
    }
    // A decision may have taken a new item since the last look: the cycle is under way then.
    if (!queue_->startFirst(list)) {
        cycleStarted();
        return;
    }
    // Files the operator opened meanwhile play to their end first; the cycle takes over after them.
    if (queue_->filesOpenedByHandPlaying()) return;
    playArrayOfUrls(QVariantList(playable.cbegin(), playable.cend()));
}

bool AppDelegate::cycleStarted() const {
    if (pathToLastNewItem().isNull()) return false;
    KORVAL_Log::debug(QStringLiteral("The daily cycle plays already: the start-up polling loop ends"));
    return true;
}

// While the source folder is away, only the files with a local copy can be played: the first
// list starts at the newest of those.
QStringList AppDelegate::playableNow(const QStringList& list) const {
    const std::shared_ptr<LocalCopies> copies = localCopies_.get();
    if (!copies || !copies->enabled() || !sourceFolder_->monitor().isAway()) return list;
    QStringList playable;
    for (const QString& path : list) {
        if (copies->hasPlayableCopy(path)) playable += path;
    }
    return playable;
}
