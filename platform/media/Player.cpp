#include "platform/media/Player.h"

#include "platform/core/Description.h"
#include "platform/core/NotificationCenter.h"
#include "platform/media/PlayerCore.h"
#include "platform/core/Queues.h"
#include "platform/core/SystemLog.h"
#include "platform/core/ThreadContract.h"

#include <mpv/client.h>

#include <cmath>
#include <cstring>
#include <thread>

const QString AVPlayerItemDidPlayToEndTimeNotification = QStringLiteral("AVPlayerItemDidPlayToEndTimeNotification");
const QString kPlayerItemErrorKey = QStringLiteral("error");
const QString AVPlayerItemFailedToPlayToEndTimeNotification = QStringLiteral("AVPlayerItemFailedToPlayToEndTimeNotification");
const QString kPlayerItemNextKey = QStringLiteral("next");
const QString PlayerItemWillPlayToEndTimeNotification = QStringLiteral("PlayerItemWillPlayToEndTimeNotification");
const QString PlayerItemDidStartNotification = QStringLiteral("PlayerItemDidStartNotification");
const QString kPlayerItemHandedInAheadKey = QStringLiteral("handedInAhead");

namespace {

// An item that cannot be played counts as ended this long after its failure, so that a folder
// of broken files is retried at a calm pace instead of in a tight loop.
constexpr std::uint64_t kFailedItemDelayMicroseconds = 1000000;

// Probing audio devices that are not there costs about 100 ms at every item; after a failure
// the player plays silently and probes again only this often.
constexpr auto kAudioRetryInterval = std::chrono::minutes(10);

// An item handed in ahead that has not opened this long after the item before it ended sits on a
// share that does not answer: the owner is told, as if it could not be opened, and decides again.
constexpr auto kHandedInOpenLimit = std::chrono::seconds(2);

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

void postEnd(const std::shared_ptr<PlayerItem>& item, std::optional<QVariantMap> info = std::nullopt) {
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

bool Player::setNextItem(const std::shared_ptr<PlayerItem>& next, const std::shared_ptr<PlayerItem>& after) {
    return core_->setNextItem(next, after);
}

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
        {"gapless-audio", "no"}, {"hwdec", "no"},
        // The item handed in ahead is opened while the current one plays its last second, and its
        // first frame is shown as soon as it is decoded, without waiting for a second one.
        {"prefetch-playlist", "yes"}, {"video-latency-hacks", "yes"},
        // Looking for subtitle, audio and cover files beside each file lists its whole folder at
        // every load: about 95 ms with 100,000 files.
        {"sub-auto", "no"}, {"audio-file-auto", "no"}, {"cover-art-auto", "no"}};
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
    VORN_CHECK(next != State::Idle || state_ == State::Idle,
               QStringLiteral("no way back to idle, not %1 -> %2").arg(QLatin1String(stateName(state_)), QLatin1String(stateName(next))));
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
        // A load replaces mpv's whole playlist, with anything handed in ahead (an entry that never
        // started has no end to come).
        queued_.reset();
        entries_.remove(queuedEntry_);
        entryLoads_.remove(queuedEntry_);
        queuedEntry_ = -1;
        loadAtEnd_ = false;
        openingQueued_ = false;
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
                if (appendRefused(item, event.reply_userdata)) return;
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
                    if (queued_ == item && queuedLoad_ == event.reply_userdata) {
                        queuedEntry_ = result.u.list->values[i].u.int64;
                    }
                }
            }
            return;
        }
        case MPV_EVENT_START_FILE: {
            const auto* start = static_cast<const mpv_event_start_file*>(event.data);
            std::shared_ptr<PlayerItem> handedIn;
            std::uint64_t handedInLoad = 0;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                startedEntry_ = start->playlist_entry_id;
                if (queued_ && start->playlist_entry_id == queuedEntry_) {
                    // mpv went on by itself to the item handed in ahead: it is the current item now.
                    handedIn = current_ = std::exchange(queued_, nullptr);
                    handedInLoad = currentLoad_ = queuedLoad_;
                    queuedEntry_ = -1;
                    openingQueued_ = true;
                    enter(State::Loading);
                } else if (state_ == State::Playing || state_ == State::Ended) {
                    enter(State::Loading);
                }
            }
            if (handedIn) {
                std::weak_ptr<PlayerCore> weak = weak_from_this();
                DispatchQueue::after(kHandedInOpenLimit, [weak, handedIn, load = handedInLoad] {
                    if (auto self = weak.lock()) self->handedInFailed(handedIn, load, std::nullopt);
                });
                // The entries that played stay in mpv's playlist until cleared: months of them.
                const char* clear[] = {"playlist-clear", nullptr};
                mpv_command_async(mpv_, 0, clear);
                NotificationCenter::defaultCenter().postNotificationName(PlayerItemDidStartNotification, handedIn.get(),
                                                                         handedIn);
            }
            return;
        }
        case MPV_EVENT_FILE_LOADED: {
            std::uint64_t load = 0;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                openingQueued_ = false;
                if (state_ == State::Loading) enter(State::Playing);
                load = currentLoad_;
            }
            // Asked for each file: an observed length says nothing when it equals the last one.
            mpv_get_property_async(mpv_, load, "duration", MPV_FORMAT_DOUBLE);
            return;
        }
        case MPV_EVENT_GET_PROPERTY_REPLY: {
            const auto* property = static_cast<const mpv_event_property*>(event.data);
            if (std::strcmp(property->name, "time-remaining") == 0) {
                const double left = event.error >= 0 && property->format == MPV_FORMAT_DOUBLE
                                        ? *static_cast<const double*>(property->data)
                                        : 0.0;
                std::shared_ptr<PlayerItem> item;
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    if (probedLoad_ != event.reply_userdata || queuedLoad_ != event.reply_userdata || !queued_) return;
                    // Still well before its end: looked after again when it should have ended.
                    if (!(left > 0.5) || !std::isfinite(left) || left > 1e7) return;
                    probeAnswered_ = true;
                    item = queued_;
                }
                watchHandedIn(item, event.reply_userdata,
                              std::chrono::microseconds(static_cast<std::int64_t>(left * 1e6)) + kHandedInOpenLimit);
                return;
            }
            if (event.error >= 0 && property->format == MPV_FORMAT_DOUBLE && std::strcmp(property->name, "duration") == 0) {
                lengthKnown(event.reply_userdata, *static_cast<const double*>(property->data));
            }
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
            EndFollowUp next;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (!atEnd) {
                    if (state_ == State::Ended) enter(State::Playing);
                    return;
                }
                if (state_ != State::Playing) return;
                enter(State::Ended);
                ended = entries_.value(startedEntry_);
                next = endedLocked();
            }
            itemEnded(ended, next.info);
            followUp(next);
            return;
        }
        case MPV_EVENT_END_FILE: {
            const auto* end = static_cast<const mpv_event_end_file*>(event.data);
            std::shared_ptr<PlayerItem> item;
            std::uint64_t load = 0;
            bool endedWithoutEof = false;
            bool handedInNotOpened = false;
            bool silentAfterEnd = false;
            EndFollowUp next;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                item = entries_.take(end->playlist_entry_id);
                load = entryLoads_.take(end->playlist_entry_id);
                // Without an audio device mpv plays the picture to its end and then reports the
                // file as failed, when another entry follows: it played.
                const bool playedSilently = end->reason == MPV_END_FILE_REASON_ERROR &&
                                            end->error == MPV_ERROR_AO_INIT_FAILED && state_ == State::Playing;
                endedWithoutEof = (end->reason == MPV_END_FILE_REASON_EOF || playedSilently) &&
                                  end->playlist_entry_id == startedEntry_ &&
                                  (state_ == State::Loading || state_ == State::Playing);
                if (endedWithoutEof) {
                    enter(State::Ended);
                    next = endedLocked();
                }
                // The same report after the end was already seen.
                silentAfterEnd = end->reason == MPV_END_FILE_REASON_ERROR && end->error == MPV_ERROR_AO_INIT_FAILED &&
                                 end->playlist_entry_id == startedEntry_ && state_ == State::Ended;
                handedInNotOpened = end->reason == MPV_END_FILE_REASON_ERROR && openingQueued_ &&
                                    end->playlist_entry_id == startedEntry_ && end->error == MPV_ERROR_LOADING_FAILED;
            }
            if (handedInNotOpened) {
                handedInFailed(item, load, end->error);
            } else if (end->reason == MPV_END_FILE_REASON_ERROR && !endedWithoutEof && !silentAfterEnd) {
                itemFailed(item, load, end->error);
            }
            if (endedWithoutEof) itemEnded(item, next.info);
            followUp(next);
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

PlayerCore::EndFollowUp PlayerCore::endedLocked() {
    EndFollowUp next;
    if (!queued_) return next;
    next.info = QVariantMap{{kPlayerItemNextKey, true}};
    if (loadAtEnd_) {
        next.loadNow = std::exchange(queued_, nullptr);
    } else {
        // mpv goes on by itself to an entry it took, even one appended after the end was reached.
        next.awaitStart = queued_;
        next.awaitLoad = queuedLoad_;
    }
    return next;
}

void PlayerCore::followUp(const EndFollowUp& next) {
    if (next.loadNow) startNow(next.loadNow);
    if (!next.awaitStart) return;
    watchHandedIn(next.awaitStart, next.awaitLoad, kHandedInOpenLimit);
}

void PlayerCore::watchHandedIn(const std::shared_ptr<PlayerItem>& item, std::uint64_t load,
                               std::chrono::steady_clock::duration delay, bool afterProbe) {
    std::weak_ptr<PlayerCore> weak = weak_from_this();
    DispatchQueue::after(std::chrono::duration_cast<std::chrono::microseconds>(delay), [weak, item, load, afterProbe] {
        if (auto self = weak.lock()) self->handedInNotStarted(item, load, afterProbe);
    });
}

void PlayerCore::startNow(const std::shared_ptr<PlayerItem>& item) {
    setCurrentItem(item);
    play();
    NotificationCenter::defaultCenter().postNotificationName(PlayerItemDidStartNotification, item.get(), item);
}

void PlayerCore::itemEnded(const std::shared_ptr<PlayerItem>& item, const std::optional<QVariantMap>& info) {
    if (!item || currentItem() != item) return;
    postEnd(item, info);
}

void PlayerCore::lengthKnown(std::uint64_t load, double seconds) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        // A length mpv guessed wildly (or none) is not timed: the item is decided at its end.
        if (state_ != State::Playing || load != currentLoad_ || timedLoad_ == load || !std::isfinite(seconds) ||
            !(seconds > 0) || seconds > 1e7) {
            return;
        }
        timedLoad_ = load;
        expectedEnd_ = std::chrono::steady_clock::now() + std::chrono::microseconds(static_cast<std::int64_t>(seconds * 1e6));
    }
    // Timed from the start: an item that stalls is announced a little early, which is harmless.
    const auto lead = std::chrono::duration<double>(Player::kNearEndLead).count();
    const auto wait = std::chrono::microseconds(static_cast<std::int64_t>(std::max(0.0, seconds - lead) * 1e6));
    std::weak_ptr<PlayerCore> weak = weak_from_this();
    DispatchQueue::after(wait, [weak, load] {
        if (auto self = weak.lock()) self->nearEnd(load);
    });
}

void PlayerCore::nearEnd(std::uint64_t load) {
    std::shared_ptr<PlayerItem> item;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (currentLoad_ != load || state_ != State::Playing || announcedLoad_ == load || queued_) return;
        announcedLoad_ = load;
        item = current_;
    }
    if (item) {
        NotificationCenter::defaultCenter().postNotificationName(PlayerItemWillPlayToEndTimeNotification, item.get(), item);
    }
}

bool PlayerCore::setNextItem(const std::shared_ptr<PlayerItem>& next, const std::shared_ptr<PlayerItem>& after) {
    if (!next || !after) return false;
    std::uint64_t id = 0;
    bool loadAtEnd = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        // A player whose view let go of it is on its way out.
        if (current_ != after || queued_ || !canShowFrames()) return false;
        if (state_ == State::Playing && mpv_) {
            queued_ = next;
            id = queuedLoad_ = nextLoad_++;
            queuedEntry_ = -1;
            // The look for an audio device that came back goes with a load of its own.
            loadAtEnd = loadAtEnd_ =
                audioOffSince_ && std::chrono::steady_clock::now() - *audioOffSince_ >= kAudioRetryInterval;
            if (!loadAtEnd) loads_.insert(id, next);
        }
    }
    if (id == 0) {
        // It has ended already (or is starting again): the next item replaces it now.
        startNow(next);
        return true;
    }
    next->setOwner(weak_from_this());
    if (loadAtEnd) return true;
    // mpv opens the next entry ahead, and on a share that stops answering it waits for that open
    // at the end of the current item, without a word: the current item is looked after when it
    // should have ended.
    watchHandedIn(next, id, [this] {
        std::lock_guard<std::mutex> lock(mutex_);
        return std::max(std::chrono::steady_clock::duration::zero(), expectedEnd_ - std::chrono::steady_clock::now());
    }() + kHandedInOpenLimit);
    const QByteArray path = next->url().toLocalFile().toUtf8();
    const char* cmd[] = {"loadfile", path.constData(), "append", nullptr};
    if (mpv_command_async(mpv_, id, cmd) < 0) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            loads_.remove(id);
        }
        appendRefused(next, id);
    }
    return true;
}

bool PlayerCore::appendRefused(const std::shared_ptr<PlayerItem>& item, std::uint64_t load) {
    std::shared_ptr<PlayerItem> loadNow;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (queued_ != item || queuedLoad_ != load) return false;
        loadAtEnd_ = true;
        if (state_ == State::Ended) loadNow = std::exchange(queued_, nullptr);
    }
    if (loadNow) startNow(loadNow);
    return true;
}

void PlayerCore::handedInNotStarted(const std::shared_ptr<PlayerItem>& item, std::uint64_t load, bool afterProbe) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        // Given up on once; should mpv start it after all, that start is still recognised.
        if (queued_ != item || queuedLoad_ != load || loadAtEnd_ || givenUpLoad_ == load || !canShowFrames()) return;
        if (afterProbe && probeAnswered_) return;  // looked after again when the item should end
        if (!afterProbe && state_ == State::Playing) {
            // The current item plays past its expected end (a stall, a length mpv guessed short), or
            // mpv hangs in the open of the next one. Asked how much is left, a hung mpv does not answer.
            probedLoad_ = load;
            probeAnswered_ = false;
            mpv_get_property_async(mpv_, load, "time-remaining", MPV_FORMAT_DOUBLE);
            watchHandedIn(item, load, std::chrono::seconds(1), true);
            return;
        }
        givenUpLoad_ = load;
    }
    systemLog(QStringLiteral("Cannot open %1, chosen ahead: not started within %2 s of the end of the item before; choosing again")
                  .arg(item->url().toLocalFile(), QString::number(kHandedInOpenLimit.count())));
    NotificationCenter::defaultCenter().postNotificationName(
        AVPlayerItemFailedToPlayToEndTimeNotification, item.get(), item,
        QVariantMap{{kPlayerItemErrorKey, MPV_ERROR_LOADING_FAILED}, {kPlayerItemHandedInAheadKey, true}});
}

void PlayerCore::handedInFailed(const std::shared_ptr<PlayerItem>& item, std::uint64_t load, std::optional<int> error) {
    if (!item) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (current_ != item || load != currentLoad_ || !openingQueued_ || state_ == State::Failed || !canShowFrames()) {
            return;
        }
        openingQueued_ = false;
        enter(State::Failed);
    }
    const QString why = error ? QStringLiteral("%1 (mpv error %2)").arg(QString::fromUtf8(mpv_error_string(*error)),
                                                                         QString::number(*error))
                              : QStringLiteral("not opened within %1 s").arg(kHandedInOpenLimit.count());
    systemLog(QStringLiteral("Cannot open %1, chosen ahead: %2; choosing again").arg(item->url().toLocalFile(), why));
    NotificationCenter::defaultCenter().postNotificationName(
        AVPlayerItemFailedToPlayToEndTimeNotification, item.get(), item,
        QVariantMap{{kPlayerItemErrorKey, error.value_or(MPV_ERROR_LOADING_FAILED)}, {kPlayerItemHandedInAheadKey, true}});
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
        postEnd(item, QVariantMap{{kPlayerItemErrorKey, error}});
    });
}
