#include "app/StatusService.h"

#include "app/Settings.h"
#include "app/OperatorPage.h"
#include "app/SourceFolder.h"
#include "app/SourceFolderMonitor.h"

#include "log/KORVAL_Log.h"
#include "platform/core/Format.h"
#include "platform/core/ProcessInfo.h"
#include "platform/core/Queues.h"
#include "platform/core/RunningApplication.h"
#include "platform/core/ServiceManager.h"
#include "platform/core/StatusHttpServer.h"
#include "platform/core/ThreadContract.h"

#include "platform/core/PathUtilities.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QTimer>
#include <QJsonDocument>
#include <QSysInfo>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The screenshot a status request gets is at most this wide.
constexpr int kScreenshotWidth = 640;
// An item that has not started after this long (or the watchdog's timeout, if longer) is stuck,
// and the watchdog is no longer told that all is well.
constexpr std::chrono::milliseconds kStuckLoadingLimit{10000};
// How often the service manager's status line is looked at while an item opens or plays.
constexpr std::chrono::milliseconds kStatusLineInterval{1000};

QString stateName(Player::State state) {
    switch (state) {
        case Player::State::Idle:
        case Player::State::Pending:
        case Player::State::Loading: return QStringLiteral("opening");
        case Player::State::Playing: return QStringLiteral("playing");
        case Player::State::Ended: return QStringLiteral("ended");
        case Player::State::Failed: return QStringLiteral("failed");
    }
    return QString();
}

}  // namespace

StatusService::StatusService(std::shared_ptr<SourceFolderMonitor> sourceFolder)
    : sourceFolder_(std::move(sourceFolder)) {}

void StatusService::itemStarted(const QString& /*path*/) {
    report_.itemStarted();
    // The line says "Opening" until the item has opened, then "Playing".
    statusLineMayChange();
}

QString StatusService::statusLine(const Player::Status& player, SourceFolderMonitor::State folder, SteadyTime now) {
    if (!player.item && !player.opening) return QString();
    const QString path = (player.opening ? player.opening : player.item)->url().toLocalFile();
    const QString state = player.opening ? QStringLiteral("opening") : stateName(player.state);
    const auto since = player.opening ? player.openingSince : player.since;
    const long long seconds = std::chrono::duration_cast<std::chrono::seconds>(now - since).count();
    QString line = fmt("Playing %@", path);
    if (state == QLatin1String("opening")) line = fmt("Opening %@ for %li s", path, std::max(0LL, seconds));
    if (state == QLatin1String("ended")) line = fmt("Ended %@, its last frame stays", path);
    if (state == QLatin1String("failed")) line = fmt("Could not play %@", path);
    if (folder != SourceFolderMonitor::State::Available && folder != SourceFolderMonitor::State::NotChecked) {
        line += fmt(" (source folder %@)", SourceFolderMonitor::describe(folder));
    }
    return line;
}

void StatusService::followStatusLine() {
    statusLineTimer_ = new QTimer(QCoreApplication::instance());
    statusLineTimer_->setInterval(kStatusLineInterval);
    QObject::connect(statusLineTimer_, &QTimer::timeout, statusLineTimer_, [weak = weak_from_this()] {
        if (const std::shared_ptr<StatusService> self = weak.lock()) self->updateStatusLine();
    });
    followingStatusLine_ = true;
    updateStatusLine();
}

void StatusService::statusLineMayChange() {
    if (!followingStatusLine_) return;
    DispatchQueue::main().async([weak = weak_from_this()] {
        if (const std::shared_ptr<StatusService> self = weak.lock()) self->updateStatusLine();
    });
}

void StatusService::updateStatusLine() {
    VORN_ASSERT_MAIN_THREAD();
    if (!statusLineTimer_ || !sources_.player) return;
    const Player::Status player = sources_.player();
    const bool still = !player.opening && (!player.item || player.state == Player::State::Ended ||
                                           player.state == Player::State::Failed);
    if (!still && !statusLineTimer_->isActive()) statusLineTimer_->start();
    if (still) statusLineTimer_->stop();
    const QString state = statusLine(player, sourceFolder_->state(), std::chrono::steady_clock::now());
    if (state.isEmpty()) return;
    const QString line = withServerProblem(state);
    if (line == statusLineSaid_) return;
    statusLineSaid_ = line;
    ServiceManager::notifyStatus(line);
}

QString StatusService::withServerProblem(const QString& line) const {
    std::lock_guard<std::mutex> lock(serverProblemMutex_);
    return serverProblem_.isEmpty() ? line : fmt("%@; %@", line, serverProblem_);
}

void StatusService::setServerProblem(const QString& problem) {
    {
        std::lock_guard<std::mutex> lock(serverProblemMutex_);
        serverProblem_ = problem;
    }
    statusLineMayChange();
}

std::optional<QByteArray> StatusService::tokenFromFile(const QString& path, QString* why) {
    const auto refuse = [why](const QString& reason) -> std::optional<QByteArray> {
        if (why) *why = reason;
        return std::nullopt;
    };
    // Opened without waiting, and read only as a regular file: a FIFO or a device here would
    // otherwise hold the main thread at start.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return refuse(fmt("token file %@ cannot be read (%s)", path, std::strerror(errno)));
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return refuse(fmt("token file %@ is not a regular file; it is not read", path));
    }
    if (st.st_mode & (S_IROTH | S_IWOTH)) {
        ::close(fd);
        return refuse(fmt("token file %@ may be read by other users (mode %@); chmod o-rw it", path,
                          QString::number(st.st_mode & 07777, 8).rightJustified(4, QLatin1Char('0'))));
    }
    QFile file;
    if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return refuse(fmt("token file %@ cannot be read (%@)", path, file.errorString()));
    }
    const QByteArray token = file.readLine(4096).trimmed();
    if (token.isEmpty()) return refuse(fmt("token file %@ holds no token", path));
    return token;
}

std::optional<QByteArray> StatusService::serverToken(QString* why) const {
    const QString file = Settings::string(Setting::StatusTokenFile).trimmed();
    if (!file.isEmpty()) return tokenFromFile(Path::standardize(file), why);
    return Settings::string(Setting::StatusToken).toUtf8();
}

void StatusService::itemEnded(const PlayerItemEnd& end) {
    // A failure was counted when it came; its end one second later is no play.
    if (end.why == PlayerItemEnd::Why::Played) report_.itemPlayed();
    statusLineMayChange();
}

void StatusService::itemFailed() {
    report_.itemFailed();
    statusLineMayChange();
}

void StatusService::newItemArrived(const QString& path) { report_.newItemArrived(path); }

void StatusService::newestFilesSeen(const QDateTime& newestModified, qint64 setAside) {
    report_.newestFilesSeen(newestModified, setAside);
}

std::pair<bool, QByteArray> StatusService::healthAnswer() const {
    const StatusReport::Snapshot s = snapshot();
    const SteadyTime now = std::chrono::steady_clock::now();
    if (StatusReport::isFrozen(s, StatusReport::kFrozenAfter, now)) {
        const double age = s.lastFrame ? std::chrono::duration<double>(now - *s.lastFrame).count() : -1;
        return {false, age < 0 ? QByteArray("frozen: no frame shown while an item should play\n")
                               : fmt("frozen: last frame %@ s ago while an item should play\n",
                                     QString::number(age, 'f', 1)).toUtf8()};
    }
    return {true, StatusReport::pictureShouldMove(s) ? QByteArray("ok: the picture moves\n")
                                                     : QByteArray("ok: a still is shown on purpose\n")};
}

StatusReport::Snapshot StatusService::snapshot() const {
    VORN_ASSERT_MAIN_THREAD();
    StatusReport::Snapshot s = report_.snapshot();
    s.pid = getpid();
    s.version = QStringLiteral(VORN_VERSION);
    if (sources_.player) {
        const Player::Status player = sources_.player();
        if (player.opening) {
            s.currentItem = player.opening->url().toLocalFile();
            s.currentItemSince = player.openingSince;
            s.currentItemState = QStringLiteral("opening");
        } else if (player.item) {
            s.currentItem = player.item->url().toLocalFile();
            s.currentItemFromCopy = player.item->opensACopy();
            s.currentItemSince = player.since;
            s.currentItemState = stateName(player.state);
            s.currentItemLength = player.lengthSeconds;
        }
    }
    s.sourceFolder = SourceFolder::storedPath();
    const SourceFolderMonitor::State folder = sourceFolder_->state();
    if (folder != SourceFolderMonitor::State::NotChecked) {
        s.sourceFolderAvailable = folder == SourceFolderMonitor::State::Available;
        s.sourceFolderState = SourceFolderMonitor::describe(folder);
    }
    if (sources_.sourceFolderNote) s.sourceFolderNote = sources_.sourceFolderNote();
    s.logPath = sources_.logPath;
    s.logBytes = QFileInfo(s.logPath).size();
    s.process = ProcessInfo::usage();
    s.residentMemoryBytes = s.process.residentMemoryBytes;
    if (sources_.lastFrame) s.lastFrame = sources_.lastFrame();
    if (sources_.localCopies) s.localCopies = sources_.localCopies();
    // The queue turns to the copies only at its next decision; while the share is away and copies
    // are there, they are what the player goes on with, though a long item may still be playing.
    if (s.localCopies.enabled) {
        s.localCopies.playingFromCopies = sourceFolder_->isAway() && (s.localCopies.playingFromCopies || s.localCopies.count > 0);
    }
    s.now = QDateTime::currentDateTime();
    return s;
}

QByteArray StatusService::jsonAnswer() const {
    return QJsonDocument(StatusReport::json(snapshot(), std::chrono::steady_clock::now())).toJson(QJsonDocument::Compact);
}

QByteArray StatusService::pageAnswer() const {
    OperatorPage::Facts facts;
    facts.status = snapshot();
    if (sources_.queue) facts.queue = sources_.queue();
    facts.sourceFolderSince = sourceFolder_->stateSince();
    facts.logLines = OperatorPage::lastLines(sources_.logPath, OperatorPage::kLogLines);
    facts.screenName = Settings::string(Setting::ScreenName).trimmed();
    if (facts.screenName.isEmpty()) facts.screenName = QSysInfo::machineHostName();
    return OperatorPage::html(facts, std::chrono::steady_clock::now());
}

void StatusService::start(Sources sources) {
    VORN_ASSERT_MAIN_THREAD();
    sources_ = std::move(sources);
    const std::weak_ptr<StatusService> weak = weak_from_this();
    RunningApplication::setStatusProvider([weak]() -> QByteArray {
        const std::shared_ptr<StatusService> self = weak.lock();
        return self ? self->jsonAnswer() : QByteArray();  // none: quitting
    });

    const std::optional<std::chrono::microseconds> watchdog = ServiceManager::watchdogTimeout();
    const auto stuckLimit =
        std::max(kStuckLoadingLimit, std::chrono::duration_cast<std::chrono::milliseconds>(
                                         watchdog.value_or(std::chrono::microseconds(0))));
    ServiceManager::startWatchdog([weak, stuckLimit]() -> QString {
        const std::shared_ptr<StatusService> self = weak.lock();
        if (!self || !self->sources_.player) return QString();
        const Player::Status player = self->sources_.player();
        const bool loading = player.item && (player.state == Player::State::Loading || player.state == Player::State::Pending);
        if (!self->report_.isStuck(loading, player.since, stuckLimit, std::chrono::steady_clock::now())) return QString();
        return fmt("the current item has not started within %li s", static_cast<long long>(stuckLimit.count() / 1000));
    });
    startServer();
    if (ServiceManager::isSupervised() && QCoreApplication::instance()) followStatusLine();
}

void StatusService::startServer() {
    VORN_ASSERT_MAIN_THREAD();
    const QString address = Settings::string(Setting::StatusListenAddress).trimmed();
    if (address.isEmpty()) {
        setServerProblem(QString());
        return;
    }
    const std::weak_ptr<StatusService> weak = weak_from_this();
    StatusHttpServer::Endpoints endpoints;
    endpoints.status = [weak]() -> QByteArray {
        const std::shared_ptr<StatusService> self = weak.lock();
        return self ? self->jsonAnswer() : QByteArray();
    };
    endpoints.metrics = [weak]() -> QByteArray {
        const std::shared_ptr<StatusService> self = weak.lock();
        return self ? StatusReport::prometheusText(self->snapshot(), std::chrono::steady_clock::now()) : QByteArray();
    };
    endpoints.page = [weak]() -> QByteArray {
        const std::shared_ptr<StatusService> self = weak.lock();
        return self ? self->pageAnswer() : QByteArray();
    };
    endpoints.health = [weak]() -> std::pair<bool, QByteArray> {
        const std::shared_ptr<StatusService> self = weak.lock();
        return self ? self->healthAnswer() : std::make_pair(false, QByteArray("quitting\n"));
    };
    endpoints.screenshot = [weak]() -> QByteArray {
        const std::shared_ptr<StatusService> self = weak.lock();
        return self && self->sources_.screenshotPng ? self->sources_.screenshotPng(kScreenshotWidth) : QByteArray();
    };
    QString error;
    const std::optional<QByteArray> token = serverToken(&error);
    const std::optional<QString> url =
        token ? StatusHttpServer::start(address, *token, Settings::string(Setting::StatusHostNames).split(QLatin1Char(',')),
                                        std::move(endpoints), &error)
              : std::nullopt;
    if (!url) {
        const QString problem = fmt("Status server: cannot listen on %@: %@; trying again every %li s", address, error,
                                    static_cast<long long>(kListenRetry.count()));
        // Said out loud the first time; a failure that stays the same is only counted in the log.
        if (problem != lastLoudProblem_) {
            lastLoudProblem_ = problem;
            KORVAL_Log::warnOperator(problem);
        } else {
            KORVAL_Log::debugRepeatable(problem);
        }
        setServerProblem(problem);
        ServiceManager::notifyStatus(problem);
        QTimer::singleShot(kListenRetry, QCoreApplication::instance(), [weak] {
            if (const std::shared_ptr<StatusService> self = weak.lock()) self->startServer();
        });
        return;
    }
    if (!lastLoudProblem_.isEmpty()) {
        lastLoudProblem_.clear();
        ServiceManager::notifyStatus(fmt("Status server listening at %@", *url));
    }
    setServerProblem(QString());
    const bool withToken = !token->isEmpty();
    KORVAL_Log::debug(fmt("Status server: /metrics, /status and /screenshot.png at %@ (%@)", *url,
                          withToken ? "bearer token required" : "no token required"));
}
