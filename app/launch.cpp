// The launch sequence and the start-up polling loop.
#include "app/AppDelegate.h"

#include "log/KORVAL_Log.h"
#include "platform/core/Bundle.h"
#include "platform/core/Format.h"
#include "platform/ui/MainWindow.h"
#include "platform/core/NotificationCenter.h"
#include "platform/media/Player.h"
#include "platform/core/Queues.h"
#include "platform/core/UserDefaults.h"

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
    // Every item's end, whichever player holds it, reaches the play queue.
    const std::shared_ptr<Player> current = player();
    const void* sender = current ? current->currentItem().get() : nullptr;
    NotificationCenter::defaultCenter().addObserver(this, AVPlayerItemDidPlayToEndTimeNotification, sender,
                                                    [this](const Notification& n) { playerItemDidReachEnd(n); });
    setFInsideTryingToMount(false);
    showLaunchProgress();

    const QVariantMap info = Bundle::mainBundle().infoDictionary();
    KORVAL_Log::debug(fmt("infoDictioanry = %@", QVariant(info)));
    UserDefaults::standardUserDefaults().setObject(versionStringFromInfo(info), QStringLiteral("prefAppVersionString"));
    setStatusImage(QStringLiteral("NSStatusNone"));

    setRepeatcount(0);
    setPathToLastNewItem(QString());
    setAvitems({});

    DispatchQueue::main().async([this] { setUpWindow(); });
    DispatchQueue::global(DispatchQueue::Priority::High).async([this] { checkSourceFolderAtLaunch(); });
    DispatchQueue::createSerial()->async([this] { startupPollingLoop(); });
}

void AppDelegate::setUpWindow() {
    const QPointer<MainWindow> window = this->window();
    if (!window) return;
    window->setMenuBarVisible(UserDefaults::standardUserDefaults().boolForKey(QStringLiteral("prefDoShowMenuBar")));
    const std::optional<Screen> screen = useThisScreen();
    window->applyPlaybackStyle(screen ? screen->frame : QRect());
}

void AppDelegate::startupPollingLoop() {
    waitMicroseconds(kFirstPollDelayMicroseconds);
    QStringList list;
    for (;;) {
        KORVAL_Log::debug(QStringLiteral("start polling...."));
        list = scanFolderForNewItems();
        if (pathToLastNewItem().isNull() && !list.isEmpty()) break;
        waitMicroseconds(kPollIntervalMicroseconds);
    }
    setPathToLastNewItem(list.first());
    setRepeatList(list);
    playArrayOfUrls(QVariantList(list.cbegin(), list.cend()));
}
