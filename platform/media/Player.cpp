#include "platform/media/Player.h"

#include "platform/core/Description.h"
#include "platform/core/NotificationCenter.h"
#include "platform/media/PlayerCore.h"
#include "platform/core/Queues.h"
#include "platform/core/SystemLog.h"

#include <mpv/client.h>

#include <cstring>
#include <thread>

const QString AVPlayerItemDidPlayToEndTimeNotification = QStringLiteral("AVPlayerItemDidPlayToEndTimeNotification");
const QString kPlayerItemErrorKey = QStringLiteral("error");
const QString AVPlayerItemFailedToPlayToEndTimeNotification = QStringLiteral("AVPlayerItemFailedToPlayToEndTimeNotification");

namespace {

// An item that cannot be played counts as ended this long after its failure, so that a folder
// of broken files is retried at a calm pace instead of in a tight loop.
constexpr std::uint64_t kFailedItemDelayMicroseconds = 1000000;

// Probing audio devices that are not there costs about 100 ms at every item; after a failure
// the player plays silently and probes again only this often.
constexpr auto kAudioRetryInterval = std::chrono::minutes(10);

void setOption(mpv_handle* mpv, const char* name, const char* value) {
    const int r = mpv_set_option_string(mpv, name, value);
    if (r < 0) systemLog(QStringLiteral("mpv: option %1=%2 refused: %3").arg(name, value, mpv_error_string(r)));
}

// mpv repeats the same complaint for every item (no audio device, say): a message goes to the
// log the first time and then at the 10th, 100th, 1000th... time, with its count.
void logMpvMessage(const QString& message) {
    static std::mutex mutex;
    static QHash<QString, quint64> seen;
    quint64 count = 0;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (seen.size() > 10000) seen.clear();
        count = ++seen[message];
    }
    quint64 mark = 1;
    while (mark < count) mark *= 10;
    if (count != mark) return;
    systemLog(count == 1 ? message : QStringLiteral("%1 (seen %2 times)").arg(message, QString::number(count)));
}

void postEnd(const std::shared_ptr<PlayerItem>& item, std::optional<int> error = std::nullopt) {
    std::optional<QVariantMap> info;
    if (error) info = QVariantMap{{kPlayerItemErrorKey, *error}};
    NotificationCenter::defaultCenter().postNotificationName(AVPlayerItemDidPlayToEndTimeNotification, item.get(),
                                                             item, info);
}

}  // namespace

// ---- PlayerItem

std::shared_ptr<PlayerItem> PlayerItem::playerItemWithURL(const QUrl& url) {
    if (!url.isValid() || !url.isLocalFile() || url.toLocalFile().isEmpty()) return nullptr;
    return std::shared_ptr<PlayerItem>(new PlayerItem(url));
}

QString PlayerItem::description() const { return Description::ofObject("PlayerItem", this); }

std::weak_ptr<PlayerCore> PlayerItem::owner() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return owner_;
}

void PlayerItem::setOwner(const std::weak_ptr<PlayerCore>& owner) {
    std::lock_guard<std::mutex> lock(mutex_);
    owner_ = owner;
}

void PlayerItem::seekToTimeZero() {
    if (auto core = owner().lock()) core->restart(this);
}

// ---- Player

std::shared_ptr<Player> Player::playerWithPlayerItem(const std::shared_ptr<PlayerItem>& item) {
    std::shared_ptr<Player> player(new Player(PlayerCore::create()));
    player->core_->setCurrentItem(item);
    return player;
}

Player::~Player() = default;

void Player::release(std::shared_ptr<Player>&& player) {
    if (!player) return;
    if (!isMainThread()) {
        player.reset();
        return;
    }
    auto held = std::make_shared<std::shared_ptr<Player>>(std::move(player));
    const auto drop = [held] { held->reset(); };
    if (DispatchQueue::global(DispatchQueue::Priority::Default).async(drop)) return;
    // The queues have shut down (quitting): a thread of its own ends it.
    std::thread(drop).detach();
}

std::shared_ptr<PlayerItem> Player::currentItem() const { return core_->currentItem(); }

void Player::replaceCurrentItemWithPlayerItem(const std::shared_ptr<PlayerItem>& item) { core_->setCurrentItem(item); }

void Player::play() { core_->play(); }

void Player::pause() { core_->pause(); }

bool Player::rendersIntoView() { return qgetenv("VORNPLAYER_VIDEO_OUTPUT") != "null"; }

// ---- PlayerCore

std::shared_ptr<PlayerCore> PlayerCore::create() {
    std::shared_ptr<PlayerCore> core(new PlayerCore);
    core->events_ = DispatchQueue::createSerial();
    mpv_handle* mpv = mpv_create();
    if (!mpv) {
        systemLog(QStringLiteral("mpv: cannot create a player"));
        return core;
    }
    setOption(mpv, "vo", Player::rendersIntoView() ? "libmpv" : "null");
    static const char* const options[][2] = {
        // Stay on the last frame of an ended item; the next item is not paused by that.
        {"keep-open", "yes"}, {"keep-open-pause", "no"}, {"idle", "yes"},
        // A player for an unattended screen: no user configuration, scripts, keys or on-screen text.
        {"config", "no"}, {"load-scripts", "no"}, {"ytdl", "no"}, {"terminal", "no"},
        {"input-default-bindings", "no"}, {"input-vo-keyboard", "no"}, {"osc", "no"}, {"osd-level", "0"},
        // Waiting for the audio output between items costs tens of milliseconds per change.
        {"gapless-audio", "no"}, {"hwdec", "no"}};
    for (const auto& [name, value] : options) setOption(mpv, name, value);
    const int r = mpv_initialize(mpv);
    if (r < 0) {
        systemLog(QStringLiteral("mpv: cannot start a player: %1").arg(mpv_error_string(r)));
        mpv_terminate_destroy(mpv);
        return core;
    }
    core->mpv_ = mpv;
    mpv_observe_property(mpv, 0, "eof-reached", MPV_FORMAT_FLAG);
    mpv_observe_property(mpv, 0, "osd-dimensions", MPV_FORMAT_NODE);
    mpv_request_log_messages(mpv, "warn");
    // mpv calls this on its own threads: only hand the work on, never call mpv from here.
    mpv_set_wakeup_callback(
        mpv, [](void* self) { static_cast<PlayerCore*>(self)->scheduleDrain(); }, core.get());
    return core;
}

PlayerCore::~PlayerCore() {
    if (!mpv_) return;
    mpv_set_wakeup_callback(mpv_, nullptr, nullptr);
    mpv_terminate_destroy(mpv_);
}

const char* PlayerCore::stateName(State state) {
    switch (state) {
        case State::Idle: return "idle";
        case State::Pending: return "pending";
        case State::Loading: return "loading";
        case State::Playing: return "playing";
        case State::Ended: return "ended";
        case State::Failed: return "failed";
    }
    return "?";
}

void PlayerCore::enter(State next) {
    // Once asked to play, a player never goes back to idle; every other change may happen.
    Q_ASSERT_X(next != State::Idle || state_ == State::Idle, "PlayerCore::enter",
               qPrintable(QStringLiteral("%1 -> %2").arg(QLatin1String(stateName(state_)), QLatin1String(stateName(next)))));
    state_ = next;
}

bool PlayerCore::canShowFrames() const { return renderReady_ || !Player::rendersIntoView(); }

// osd-dimensions: a map of the target's size ("w", "h") and the margins around the video.
void PlayerCore::notePlacement(const mpv_event_property& property) {
    std::optional<VideoPlacement> placement;
    const auto* node = static_cast<const mpv_node*>(property.data);
    if (property.format == MPV_FORMAT_NODE && node->format == MPV_FORMAT_NODE_MAP) {
        VideoPlacement found;
        const std::pair<const char*, int*> fields[] = {{"w", &found.width}, {"ml", &found.left}, {"mr", &found.right}};
        int seen = 0;
        const mpv_node_list* map = node->u.list;
        for (int i = 0; i < map->num; ++i) {
            for (const auto& [key, value] : fields) {
                if (std::strcmp(map->keys[i], key) != 0 || map->values[i].format != MPV_FORMAT_INT64) continue;
                *value = static_cast<int>(map->values[i].u.int64);
                ++seen;
            }
        }
        if (seen == 3 && found.width > 0) placement = found;
    }
    std::lock_guard<std::mutex> lock(placementMutex_);
    videoPlacement_ = placement;
}

std::optional<PlayerCore::VideoPlacement> PlayerCore::videoPlacement() const {
    std::lock_guard<std::mutex> lock(placementMutex_);
    return videoPlacement_;
}

PlayerCore::State PlayerCore::state() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return state_;
}

std::shared_ptr<PlayerItem> PlayerCore::currentItem() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return current_;
}

void PlayerCore::setCurrentItem(const std::shared_ptr<PlayerItem>& item) {
    bool loadNow = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        current_ = item;
        // Before the first play() the item simply waits for it.
        if (state_ != State::Idle) {
            loadNow = item && canShowFrames();
            if (!loadNow) enter(State::Pending);
        }
    }
    if (item) item->setOwner(weak_from_this());
    if (loadNow) load(item);
}

void PlayerCore::play() {
    std::shared_ptr<PlayerItem> toLoad;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const bool waiting = state_ == State::Idle || state_ == State::Pending || state_ == State::Failed;
        if (waiting && current_ && canShowFrames()) {
            toLoad = current_;
        } else if (state_ == State::Idle) {
            enter(State::Pending);
        }
    }
    if (toLoad) {
        load(toLoad);
    } else if (mpv_) {
        const char* cmd[] = {"set", "pause", "no", nullptr};
        mpv_command_async(mpv_, 0, cmd);
    }
}

void PlayerCore::pause() {
    if (!mpv_) return;
    const char* cmd[] = {"set", "pause", "yes", nullptr};
    mpv_command_async(mpv_, 0, cmd);
}

void PlayerCore::restart(const PlayerItem* item) {
    std::shared_ptr<PlayerItem> toLoad;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!item || current_.get() != item || state_ == State::Idle) return;
        if (!canShowFrames()) {
            enter(State::Pending);
            return;
        }
        // Still starting: it starts at its first frame anyway.
        if (state_ == State::Loading) return;
        toLoad = current_;
    }
    // Loading the file again, rather than seeking, gives every play a clean start and end in
    // mpv's events, however short the clip.
    load(toLoad);
}

void PlayerCore::setRenderContextReady(bool ready) {
    std::shared_ptr<PlayerItem> toLoad;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        renderReady_ = ready;
        const bool started = state_ == State::Loading || state_ == State::Playing || state_ == State::Ended;
        if (!ready && started && Player::rendersIntoView()) enter(State::Pending);
        if (ready && state_ == State::Pending && current_) toLoad = current_;
    }
    if (toLoad) load(toLoad);
}

void PlayerCore::load(const std::shared_ptr<PlayerItem>& item) {
    std::uint64_t id = 0;
    if (!mpv_) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            id = currentLoad_ = nextLoad_++;
            enter(State::Loading);
        }
        itemFailed(item, id, MPV_ERROR_UNINITIALIZED);
        return;
    }
    const QByteArray path = item->url().toLocalFile().toUtf8();
    bool retryAudio = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (audioOffSince_ && std::chrono::steady_clock::now() - *audioOffSince_ >= kAudioRetryInterval) {
            audioOffSince_.reset();
            retryAudio = true;
        }
        id = currentLoad_ = nextLoad_++;
        loads_.insert(id, item);
        // What mpv reports from now on until this file starts belongs to the one before.
        enter(State::Loading);
    }
    if (retryAudio) mpv_set_property_string(mpv_, "ao", "");  // back to mpv's own choice
    const char* cmd[] = {"loadfile", path.constData(), "replace", nullptr};
    const int r = mpv_command_async(mpv_, id, cmd);
    if (r < 0) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            loads_.remove(id);
        }
        itemFailed(item, id, r);
        return;
    }
    const char* resume[] = {"set", "pause", "no", nullptr};
    mpv_command_async(mpv_, 0, resume);
}

void PlayerCore::scheduleDrain() {
    if (drainScheduled_.exchange(true)) return;
    std::weak_ptr<PlayerCore> weak = weak_from_this();
    events_->async([weak] {
        if (auto self = weak.lock()) self->drainEvents();
    });
}

void PlayerCore::drainEvents() {
    drainScheduled_ = false;
    while (mpv_) {
        const mpv_event* event = mpv_wait_event(mpv_, 0);
        if (event->event_id == MPV_EVENT_NONE) return;
        handle(*event);
    }
}

std::shared_ptr<PlayerItem> PlayerCore::itemForEntry(std::int64_t entry) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return entries_.value(entry);
}

void PlayerCore::handle(const mpv_event& event) {
    switch (event.event_id) {
        case MPV_EVENT_COMMAND_REPLY: {
            if (event.reply_userdata == 0) return;
            std::shared_ptr<PlayerItem> item;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                item = loads_.take(event.reply_userdata);
            }
            if (!item) return;
            if (event.error < 0) {
                itemFailed(item, event.reply_userdata, event.error);
                return;
            }
            const auto* reply = static_cast<const mpv_event_command*>(event.data);
            const mpv_node& result = reply->result;
            if (result.format != MPV_FORMAT_NODE_MAP) return;
            for (int i = 0; i < result.u.list->num; ++i) {
                if (std::strcmp(result.u.list->keys[i], "playlist_entry_id") == 0 &&
                    result.u.list->values[i].format == MPV_FORMAT_INT64) {
                    std::lock_guard<std::mutex> lock(mutex_);
                    entries_.insert(result.u.list->values[i].u.int64, item);
                    entryLoads_.insert(result.u.list->values[i].u.int64, event.reply_userdata);
                }
            }
            return;
        }
        case MPV_EVENT_START_FILE: {
            const auto* start = static_cast<const mpv_event_start_file*>(event.data);
            std::lock_guard<std::mutex> lock(mutex_);
            startedEntry_ = start->playlist_entry_id;
            if (state_ == State::Playing || state_ == State::Ended) enter(State::Loading);
            return;
        }
        case MPV_EVENT_FILE_LOADED: {
            std::lock_guard<std::mutex> lock(mutex_);
            if (state_ == State::Loading) enter(State::Playing);
            return;
        }
        case MPV_EVENT_PROPERTY_CHANGE: {
            const auto* property = static_cast<const mpv_event_property*>(event.data);
            if (std::strcmp(property->name, "osd-dimensions") == 0) {
                notePlacement(*property);
                return;
            }
            if (std::strcmp(property->name, "eof-reached") != 0 || property->format != MPV_FORMAT_FLAG) return;
            const bool atEnd = *static_cast<const int*>(property->data) != 0;
            std::shared_ptr<PlayerItem> ended;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (!atEnd) {
                    if (state_ == State::Ended) enter(State::Playing);
                    return;
                }
                if (state_ != State::Playing) return;
                enter(State::Ended);
                ended = entries_.value(startedEntry_);
            }
            itemEnded(ended);
            return;
        }
        case MPV_EVENT_END_FILE: {
            const auto* end = static_cast<const mpv_event_end_file*>(event.data);
            std::shared_ptr<PlayerItem> item;
            std::uint64_t load = 0;
            bool endedWithoutEof = false;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                item = entries_.take(end->playlist_entry_id);
                load = entryLoads_.take(end->playlist_entry_id);
                endedWithoutEof = end->reason == MPV_END_FILE_REASON_EOF && end->playlist_entry_id == startedEntry_ &&
                                  (state_ == State::Loading || state_ == State::Playing);
                if (endedWithoutEof) enter(State::Ended);
            }
            if (end->reason == MPV_END_FILE_REASON_ERROR) itemFailed(item, load, end->error);
            if (endedWithoutEof) itemEnded(item);
            return;
        }
        case MPV_EVENT_LOG_MESSAGE: {
            const auto* msg = static_cast<const mpv_event_log_message*>(event.data);
            if (std::strcmp(msg->prefix, "cplayer") == 0 && std::strstr(msg->text, "Could not open/initialize audio device")) {
                noAudioDevice();
            }
            logMpvMessage(QStringLiteral("mpv[%1] %2: %3")
                          .arg(QString::fromUtf8(msg->prefix), QString::fromUtf8(msg->level),
                               QString::fromUtf8(msg->text).trimmed()));
            return;
        }
        default:
            return;
    }
}

void PlayerCore::noAudioDevice() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (audioOffSince_) return;
        audioOffSince_ = std::chrono::steady_clock::now();
    }
    mpv_set_property_string(mpv_, "ao", "null");
    logMpvMessage(QStringLiteral("No audio device: playing without sound, looking again every 10 minutes"));
}

void PlayerCore::itemEnded(const std::shared_ptr<PlayerItem>& item) {
    if (!item || currentItem() != item) return;
    postEnd(item);
}

void PlayerCore::itemFailed(const std::shared_ptr<PlayerItem>& item, std::uint64_t load, int error) {
    if (!item) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        // The view let go of its frames (a new player took it, or the program quits): mpv's video
        // output fails, through no fault of the file. It plays again when a view comes back.
        if (!canShowFrames()) return;
        // mpv may report one failure twice (the command's reply and the entry's end), and a load
        // replaced since then is no longer anybody's concern: one failure, one end, per play.
        if (current_ != item || load != currentLoad_ || state_ == State::Failed) return;
        enter(State::Failed);
    }
    systemLog(QStringLiteral("Cannot play %1: %2 (mpv error %3); treating it as ended in 1 s")
                  .arg(item->url().toLocalFile(), QString::fromUtf8(mpv_error_string(error)), QString::number(error)));
    NotificationCenter::defaultCenter().postNotificationName(AVPlayerItemFailedToPlayToEndTimeNotification, item.get(), item);
    std::weak_ptr<PlayerCore> weak = weak_from_this();
    DispatchQueue::global(DispatchQueue::Priority::Default).async([weak, item, load, error] {
        if (!waitMicroseconds(kFailedItemDelayMicroseconds)) return;  // quitting
        auto self = weak.lock();
        if (!self) return;
        {
            std::lock_guard<std::mutex> lock(self->mutex_);
            if (self->current_ != item || self->currentLoad_ != load) return;  // replaced or loaded again since
        }
        postEnd(item, error);
    });
}
