#include "platform/media/PlayerCore.h"

#include "platform/core/Queues.h"
#include "platform/core/SystemLog.h"
#include "platform/core/ThreadContract.h"

#include <mpv/client.h>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

using Clock = PlayerCore::Clock;

// An item that cannot be played counts as ended this long after its failure, so that a folder
// of broken files is retried at a calm pace instead of in a tight loop.
constexpr auto kFailedItemDelay = std::chrono::seconds(1);

// Probing audio devices that are not there costs about 100 ms at every item; after a failure
// the player plays silently and probes again only this often.
constexpr auto kAudioRetryInterval = std::chrono::minutes(10);

// An item handed in ahead that has not opened this long after the item before it ended sits on a
// share that does not answer: the delegate is told, as if it could not be opened, and decides again.
constexpr auto kHandedInOpenLimit = std::chrono::seconds(2);
// An item handed in normally starts within milliseconds of the end before it; past this it counts
// as still opening.
constexpr auto kOpeningGrace = std::chrono::milliseconds(500);
// mpv answers a property within a millisecond unless its core waits on a file of a share that
// does not answer: past this it counts as hung.
constexpr auto kProbeLimit = std::chrono::milliseconds(500);
// An item that plays past its expected end is asked about this often; one that moved less than
// half of that meanwhile has stalled.
constexpr auto kStallProbeEvery = std::chrono::seconds(1);
// mpv starts the next file within tens of milliseconds of the end of the one before (of a load
// in its place). Not started past this, the file before does not let go of mpv: its share hangs.
constexpr auto kLetGoLimit = std::chrono::seconds(1);
// The same for a load in place of the current item, which is timed from the load itself.
constexpr auto kLoadLetGoLimit = std::chrono::milliseconds(500);

std::atomic<int> gHungCores{0};
// The reply to the stop of a player let go while it hangs.
constexpr std::uint64_t kStopReply = ~std::uint64_t{0};

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

// A length or a time left that mpv guessed wildly (or none) is not believed.
bool plausibleSeconds(double seconds) { return std::isfinite(seconds) && seconds > 0 && seconds <= 1e7; }

std::chrono::microseconds microseconds(double seconds) {
    return std::chrono::microseconds(static_cast<std::int64_t>(std::max(0.0, seconds) * 1e6));
}

std::optional<std::int64_t> playlistEntryOf(const mpv_node& result) {
    if (result.format != MPV_FORMAT_NODE_MAP) return std::nullopt;
    for (int i = 0; i < result.u.list->num; ++i) {
        if (std::strcmp(result.u.list->keys[i], "playlist_entry_id") == 0 &&
            result.u.list->values[i].format == MPV_FORMAT_INT64) {
            return result.u.list->values[i].u.int64;
        }
    }
    return std::nullopt;
}

// Once asked to play, a player never goes back to idle; a failed item is only left by loading.
bool canChange(Player::State from, Player::State to) {
    using State = Player::State;
    if (to == State::Idle) return from == State::Idle;
    if (from == State::Failed) return to == State::Loading || to == State::Pending;
    if (to == State::Playing) return from == State::Loading || from == State::Ended;
    return true;
}

}  // namespace

// ---- Life

std::shared_ptr<PlayerCore> PlayerCore::create(std::weak_ptr<PlayerDelegate> delegate) {
    std::shared_ptr<PlayerCore> core(new PlayerCore(std::move(delegate)));
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
    mpv_observe_property(mpv, 0, "dwidth", MPV_FORMAT_INT64);
    mpv_observe_property(mpv, 0, "dheight", MPV_FORMAT_INT64);
    mpv_observe_property(mpv, 0, "idle-active", MPV_FORMAT_FLAG);
    mpv_request_log_messages(mpv, "warn");
    // mpv calls this on its own threads: only hand the work on, never call mpv from here.
    mpv_set_wakeup_callback(
        mpv, [](void* self) { static_cast<PlayerCore*>(self)->scheduleDrain(); }, core.get());
    return core;
}

PlayerCore::~PlayerCore() {
    if (mpv_) {
        mpv_set_wakeup_callback(mpv_, nullptr, nullptr);
        mpv_terminate_destroy(mpv_);
    }
    if (hung_) --gHungCores;
}

int PlayerCore::hungCount() { return gHungCores.load(); }

void PlayerCore::markHung() {
    if (!hung_.exchange(true)) ++gHungCores;
}

void PlayerCore::retire() {
    if (!mpv_ || retiring_.exchange(true)) return;
    // Taken by mpv once the share lets go; idle after it, mpv is done with the file.
    const char* cmd[] = {"stop", nullptr};
    mpv_command_async(mpv_, kStopReply, cmd);
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
    VORN_CHECK(canChange(current_.state, next),
               QStringLiteral("an allowed change of state, not %1 -> %2")
                   .arg(QLatin1String(stateName(current_.state)), QLatin1String(stateName(next))));
    current_.state = next;
}

bool PlayerCore::canShowFrames() const { return renderReady_ || !Player::rendersIntoView(); }

bool PlayerCore::audioRetryDue() const {
    return audioOffSince_ && Clock::now() - *audioOffSince_ >= kAudioRetryInterval;
}

// ---- What the owner asks

PlayerCore::State PlayerCore::state() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return current_.state;
}

Player::Status PlayerCore::status() const {
    std::lock_guard<std::mutex> lock(mutex_);
    Player::Status status{current_.item, current_.state, current_.since, nullptr, {}, current_.lengthSeconds};
    // The current item's time is up and mpv has not gone on to the item handed in: it opens that.
    const bool pastEnd = current_.timed && (current_.state == State::Playing || current_.state == State::Ended) &&
                         Clock::now() > current_.expectedEnd + kOpeningGrace;
    if (pastEnd && ahead_ && ahead_->stage != Ahead::Stage::AtEnd) {
        status.opening = ahead_->item;
        status.openingSince = current_.expectedEnd;
    }
    return status;
}

std::shared_ptr<PlayerItem> PlayerCore::currentItem() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return current_.item;
}

void PlayerCore::setCurrentItem(const std::shared_ptr<PlayerItem>& item) {
    bool loadNow = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        current_.item = item;
        current_.since = Clock::now();
        // Before the first play() the item simply waits for it.
        if (current_.state != State::Idle) {
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
        const State state = current_.state;
        const bool waiting = state == State::Idle || state == State::Pending || state == State::Failed;
        if (waiting && current_.item && canShowFrames()) {
            toLoad = current_.item;
        } else if (state == State::Idle) {
            enter(State::Pending);
        }
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        paused_ = false;
    }
    if (toLoad) {
        load(toLoad);
    } else if (mpv_) {
        const char* cmd[] = {"set", "pause", "no", nullptr};
        mpv_command_async(mpv_, 0, cmd);
    }
}

void PlayerCore::pause() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        paused_ = true;
    }
    if (!mpv_) return;
    const char* cmd[] = {"set", "pause", "yes", nullptr};
    mpv_command_async(mpv_, 0, cmd);
}

void PlayerCore::restart(const PlayerItem* item) {
    std::shared_ptr<PlayerItem> toLoad;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!item || current_.item.get() != item || current_.state == State::Idle) return;
        if (!canShowFrames()) {
            enter(State::Pending);
            return;
        }
        // Still starting: it starts at its first frame anyway.
        if (current_.state == State::Loading) return;
        toLoad = current_.item;
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
        const State state = current_.state;
        const bool started = state == State::Loading || state == State::Playing || state == State::Ended;
        if (!ready && started && Player::rendersIntoView()) enter(State::Pending);
        if (ready && current_.state == State::Pending && current_.item) toLoad = current_.item;
    }
    if (toLoad) load(toLoad);
}

// Opens the item in place of whatever mpv has, with a load of its own.
void PlayerCore::load(const std::shared_ptr<PlayerItem>& item) {
    std::uint64_t id = 0;
    bool retryAudio = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        // Replaced on another thread since it was asked to load: the newer item loads instead.
        if (item != current_.item) return;
        retryAudio = mpv_ && audioRetryDue();
        if (retryAudio) audioOffSince_.reset();
        id = nextLoad_++;
        // A load replaces mpv's whole playlist, with anything handed in ahead (an entry that never
        // started has no end to come).
        if (ahead_) entries_.remove(ahead_->entry);
        ahead_.reset();
        if (mpv_) loads_.insert(id, item);
        // What mpv reports from now on until this file starts belongs to the one before.
        enter(State::Loading);
        current_.load = id;
        current_.since = Clock::now();
        current_.fileStarted = false;
        current_.openingAhead = false;
        current_.timed = current_.announced = false;
        current_.lengthSeconds = 0;
    }
    if (const auto d = delegate()) d->playerItemDidStart(item);
    if (!mpv_) {
        itemFailed(item, id, MPV_ERROR_UNINITIALIZED);
        return;
    }
    if (retryAudio) mpv_set_property_string(mpv_, "ao", "");  // back to mpv's own choice
    const QByteArray path = item->openPath().toUtf8();
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
    watchLoad(item, id);
}

// ---- The end and the failure of an item

PlayerCore::FollowUp PlayerCore::endedLocked() {
    FollowUp next;
    if (!ahead_) return next;
    next.nextFollows = true;
    if (ahead_->stage == Ahead::Stage::AtEnd) {
        next.loadNow = ahead_->item;
        ahead_.reset();
    } else {
        // mpv goes on by itself to an entry it took, even one appended after the end was reached.
        next.awaitStart = ahead_->item;
        next.awaitLoad = ahead_->load;
        ahead_->startBy = Clock::now() + kLetGoLimit;
        ahead_->probe = Ahead::Probe::None;
    }
    return next;
}

void PlayerCore::followUp(const FollowUp& next) {
    if (next.loadNow) startNow(next.loadNow);
    if (next.awaitStart) watchAhead(next.awaitStart, next.awaitLoad, kOpeningGrace);
}

void PlayerCore::told(const std::shared_ptr<PlayerItem>& ended, const PlayerItemEnd& end) {
    if (!ended || currentItem() != ended) return;
    if (const auto d = delegate()) d->playerItemDidPlayToEndTime(ended, end);
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
        if (current_.item != item || load != current_.load || current_.state == State::Failed) return;
        enter(State::Failed);
    }
    systemLog(QStringLiteral("Cannot play %1: %2 (mpv error %3); treating it as ended in 1 s")
                  .arg(item->url().toLocalFile(), QString::fromUtf8(mpv_error_string(error)), QString::number(error)));
    if (const auto d = delegate()) d->playerItemFailedToPlay(item, error);
    std::weak_ptr<PlayerCore> weak = weak_from_this();
    DispatchQueue::after(kFailedItemDelay, [weak, item, load, error] {
        auto self = weak.lock();
        if (!self) return;
        {
            std::lock_guard<std::mutex> lock(self->mutex_);
            if (self->current_.item != item || self->current_.load != load) return;  // replaced or loaded again since
        }
        self->told(item, PlayerItemEnd{PlayerItemEnd::Why::Failed, error, false});
    });
}

void PlayerCore::noAudioDevice() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (audioOffSince_) return;
        audioOffSince_ = Clock::now();
    }
    mpv_set_property_string(mpv_, "ao", "null");
    logMpvMessage(QStringLiteral("No audio device: playing without sound, looking again every 10 minutes"));
}

// ---- mpv's events

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

void PlayerCore::handle(const mpv_event& event) {
    switch (event.event_id) {
        case MPV_EVENT_COMMAND_REPLY:
            return onCommandReply(event);
        case MPV_EVENT_START_FILE:
            return onStartFile(static_cast<const mpv_event_start_file*>(event.data)->playlist_entry_id);
        case MPV_EVENT_FILE_LOADED:
            return onFileLoaded();
        case MPV_EVENT_GET_PROPERTY_REPLY:
            return onPropertyReply(event);
        case MPV_EVENT_PROPERTY_CHANGE:
            return onPropertyChange(*static_cast<const mpv_event_property*>(event.data));
        case MPV_EVENT_END_FILE:
            return onEndFile(event);
        case MPV_EVENT_LOG_MESSAGE:
            return onLogMessage(event);
        default:
            return;
    }
}

// A loadfile was answered: the playlist entry it made, or why it was refused.
void PlayerCore::onCommandReply(const mpv_event& event) {
    if (event.reply_userdata == 0) return;
    if (event.reply_userdata == kStopReply) {
        stopTaken_ = true;
        retired_ = idle_.load();
        return;
    }
    const std::uint64_t load = event.reply_userdata;
    std::shared_ptr<PlayerItem> item;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        item = loads_.take(load);
    }
    if (!item) return;
    if (event.error < 0) {
        if (!aheadRefused(item, load)) itemFailed(item, load, event.error);
        return;
    }
    const std::optional<std::int64_t> entry = playlistEntryOf(static_cast<const mpv_event_command*>(event.data)->result);
    if (!entry) return;
    std::lock_guard<std::mutex> lock(mutex_);
    entries_.insert(*entry, Entry{item, load});
    // Its file may have started before the answer came.
    if (load == current_.load && *entry == current_.entry) current_.fileStarted = true;
    if (ahead_ && ahead_->load == load && ahead_->stage == Ahead::Stage::Appending) {
        ahead_->entry = *entry;
        ahead_->stage = Ahead::Stage::Appended;
    }
}

void PlayerCore::onStartFile(std::int64_t entry) {
    std::shared_ptr<PlayerItem> handedIn;
    std::uint64_t load = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (ahead_ && ahead_->stage == Ahead::Stage::Appended && ahead_->entry == entry) {
            // mpv went on by itself to the item handed in ahead: it is the current item now.
            handedIn = ahead_->item;
            load = ahead_->load;
            ahead_.reset();
            enter(State::Loading);
            current_.item = handedIn;
            current_.load = load;
            current_.entry = entry;
            current_.since = Clock::now();
            current_.openingAhead = true;
            current_.timed = current_.announced = false;
            current_.lengthSeconds = 0;
        } else {
            current_.entry = entry;
            if (entries_.value(entry).load == current_.load) current_.fileStarted = true;
            if (current_.state == State::Playing || current_.state == State::Ended) enter(State::Loading);
        }
    }
    if (!handedIn) return;
    std::weak_ptr<PlayerCore> weak = weak_from_this();
    DispatchQueue::after(kHandedInOpenLimit, [weak, handedIn, load] {
        if (auto self = weak.lock()) self->aheadFailedToOpen(handedIn, load, std::nullopt);
    });
    // The entries that played stay in mpv's playlist until cleared: months of them.
    const char* clear[] = {"playlist-clear", nullptr};
    mpv_command_async(mpv_, 0, clear);
    if (const auto d = delegate()) d->playerItemDidStart(handedIn);
}

void PlayerCore::onFileLoaded() {
    std::uint64_t load = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        current_.openingAhead = false;
        if (current_.state == State::Loading) enter(State::Playing);
        load = current_.load;
    }
    // Asked for each file: an observed length says nothing when it equals the last one.
    mpv_get_property_async(mpv_, load, "duration", MPV_FORMAT_DOUBLE);
}

void PlayerCore::onPropertyReply(const mpv_event& event) {
    const auto* property = static_cast<const mpv_event_property*>(event.data);
    const bool isDouble = event.error >= 0 && property->format == MPV_FORMAT_DOUBLE;
    const double value = isDouble ? *static_cast<const double*>(property->data) : 0.0;
    if (std::strcmp(property->name, "time-remaining") == 0) {
        probeAnswered(event.reply_userdata, isDouble ? std::optional<double>(value) : std::nullopt);
    } else if (isDouble && std::strcmp(property->name, "duration") == 0) {
        lengthKnown(event.reply_userdata, value);
    }
}

void PlayerCore::onPropertyChange(const mpv_event_property& property) {
    if (std::strcmp(property.name, "osd-dimensions") == 0) {
        notePlacement(property);
    } else if (std::strcmp(property.name, "dwidth") == 0 || std::strcmp(property.name, "dheight") == 0) {
        const bool known = property.format == MPV_FORMAT_INT64;
        const int value = known ? static_cast<int>(*static_cast<const int64_t*>(property.data)) : 0;
        std::lock_guard<std::mutex> lock(placementMutex_);
        (property.name[1] == 'w' ? videoWidth_ : videoHeight_) = value;
    } else if (std::strcmp(property.name, "idle-active") == 0 && property.format == MPV_FORMAT_FLAG) {
        idle_ = *static_cast<const int*>(property.data) != 0;
        if (idle_ && stopTaken_) retired_ = true;
    } else if (std::strcmp(property.name, "eof-reached") == 0 && property.format == MPV_FORMAT_FLAG) {
        onEndOfFileReached(*static_cast<const int*>(property.data) != 0);
    }
}

// With keep-open, the end of an item is eof-reached turning true while it plays.
void PlayerCore::onEndOfFileReached(bool atEnd) {
    std::shared_ptr<PlayerItem> ended;
    FollowUp next;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!atEnd) {
            if (current_.state == State::Ended) enter(State::Playing);
            return;
        }
        if (current_.state != State::Playing) return;
        enter(State::Ended);
        ended = entries_.value(current_.entry).item;
        next = endedLocked();
    }
    told(ended, PlayerItemEnd{PlayerItemEnd::Why::Played, 0, next.nextFollows});
    followUp(next);
}

// An entry left mpv's playlist: replaced (ignored), failed, or ended without eof-reached.
void PlayerCore::onEndFile(const mpv_event& event) {
    const auto* end = static_cast<const mpv_event_end_file*>(event.data);
    const bool error = end->reason == MPV_END_FILE_REASON_ERROR;
    const bool noAudio = error && end->error == MPV_ERROR_AO_INIT_FAILED;
    Entry gone;
    bool ended = false;
    bool silentAfterEnd = false;
    bool aheadNotOpened = false;
    FollowUp next;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        gone = entries_.take(end->playlist_entry_id);
        const bool current = end->playlist_entry_id == current_.entry;
        const State state = current_.state;
        // Without an audio device mpv plays the picture to its end and then reports the file as
        // failed, when another entry follows: it played.
        const bool playedSilently = noAudio && state == State::Playing;
        ended = (end->reason == MPV_END_FILE_REASON_EOF || playedSilently) && current &&
                (state == State::Loading || state == State::Playing);
        if (ended) {
            enter(State::Ended);
            next = endedLocked();
        }
        // The same report after the end was already seen.
        silentAfterEnd = noAudio && current && state == State::Ended;
        aheadNotOpened = error && current_.openingAhead && current && end->error == MPV_ERROR_LOADING_FAILED;
    }
    if (aheadNotOpened) {
        aheadFailedToOpen(gone.item, gone.load, end->error);
    } else if (error && !ended && !silentAfterEnd) {
        itemFailed(gone.item, gone.load, end->error);
    }
    if (ended) told(gone.item, PlayerItemEnd{PlayerItemEnd::Why::Played, 0, next.nextFollows});
    followUp(next);
}

void PlayerCore::onLogMessage(const mpv_event& event) {
    const auto* msg = static_cast<const mpv_event_log_message*>(event.data);
    if (std::strcmp(msg->prefix, "cplayer") == 0 && std::strstr(msg->text, "Could not open/initialize audio device")) {
        noAudioDevice();
    }
    logMpvMessage(QStringLiteral("mpv[%1] %2: %3")
                      .arg(QString::fromUtf8(msg->prefix), QString::fromUtf8(msg->level),
                           QString::fromUtf8(msg->text).trimmed()));
}

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

std::optional<std::pair<int, int>> PlayerCore::videoSize() const {
    std::lock_guard<std::mutex> lock(placementMutex_);
    if (videoWidth_ <= 0 || videoHeight_ <= 0) return std::nullopt;
    return std::make_pair(videoWidth_, videoHeight_);
}

// ---- The near end

void PlayerCore::lengthKnown(std::uint64_t load, double seconds) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        // A length mpv guessed wildly (or none) is not timed: the item is decided at its end.
        if (current_.state != State::Playing || load != current_.load || current_.timed || !plausibleSeconds(seconds)) {
            return;
        }
        current_.timed = true;
        current_.lengthSeconds = seconds;
        current_.expectedEnd = Clock::now() + microseconds(seconds);
    }
    // Timed from the start: an item that stalls is announced a little early, which is harmless.
    const double lead = static_cast<double>(nearEndLeadMs_.load()) / 1000.0;
    std::weak_ptr<PlayerCore> weak = weak_from_this();
    DispatchQueue::after(microseconds(seconds - lead), [weak, load] {
        if (auto self = weak.lock()) self->nearEnd(load);
    });
}

void PlayerCore::nearEnd(std::uint64_t load) {
    std::shared_ptr<PlayerItem> item;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (current_.load != load || current_.state != State::Playing || current_.announced || ahead_) return;
        current_.announced = true;
        item = current_.item;
    }
    if (!item) return;
    if (const auto d = delegate()) d->playerItemWillPlayToEndTime(item);
}

// ---- The item handed in ahead

bool PlayerCore::setNextItem(const std::shared_ptr<PlayerItem>& next, const std::shared_ptr<PlayerItem>& after) {
    if (!next || !after) return false;
    std::uint64_t id = 0;
    bool atEnd = false;
    Clock::duration untilEnd{};
    {
        std::lock_guard<std::mutex> lock(mutex_);
        // A player whose view let go of it is on its way out.
        if (current_.item != after || ahead_ || !canShowFrames()) return false;
        if (current_.state == State::Playing && mpv_) {
            id = nextLoad_++;
            // The look for an audio device that came back goes with a load of its own.
            atEnd = audioRetryDue();
            ahead_ = Ahead{};
            ahead_->item = next;
            ahead_->load = id;
            ahead_->stage = atEnd ? Ahead::Stage::AtEnd : Ahead::Stage::Appending;
            if (!atEnd) loads_.insert(id, next);
            untilEnd = std::max(Clock::duration::zero(), current_.expectedEnd - Clock::now());
            ahead_->startBy = Clock::now() + untilEnd + kLetGoLimit;
        }
    }
    if (id == 0) {
        // It has ended already (or is starting again): the next item replaces it now.
        startNow(next);
        return true;
    }
    next->setOwner(weak_from_this());
    if (atEnd) return true;
    // mpv opens the next entry ahead, and on a share that stops answering it waits for that open,
    // or for the current file, at the end of the current item, without a word: the current item
    // is looked after when it should have ended.
    watchAhead(next, id, untilEnd + kOpeningGrace);
    const QByteArray path = next->openPath().toUtf8();
    const char* cmd[] = {"loadfile", path.constData(), "append", nullptr};
    if (mpv_command_async(mpv_, id, cmd) < 0) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            loads_.remove(id);
        }
        aheadRefused(next, id);
    }
    return true;
}

void PlayerCore::startNow(const std::shared_ptr<PlayerItem>& item) {
    setCurrentItem(item);
    play();
}

void PlayerCore::watchAhead(const std::shared_ptr<PlayerItem>& item, std::uint64_t load, Clock::duration delay,
                            bool afterProbe) {
    std::weak_ptr<PlayerCore> weak = weak_from_this();
    DispatchQueue::after(std::chrono::duration_cast<std::chrono::microseconds>(delay), [weak, item, load, afterProbe] {
        if (auto self = weak.lock()) self->aheadNotStarted(item, load, afterProbe);
    });
}

// The item handed in has not started when the current item should have ended: mpv is asked how
// much is left. No answer in time: it hangs in the current file, and the item handed in goes to a
// new player. Answers are looked at in probeAnswered().
void PlayerCore::aheadNotStarted(const std::shared_ptr<PlayerItem>& item, std::uint64_t load, bool afterProbe) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        // Given up on once; should mpv start it after all, that start is still recognised.
        if (!ahead_ || ahead_->item != item || ahead_->load != load || ahead_->stage == Ahead::Stage::AtEnd ||
            ahead_->givenUp || !canShowFrames()) {
            return;
        }
        if (afterProbe) {
            if (ahead_->probe != Ahead::Probe::Asked) return;  // answered: the answer decided
            ahead_->givenUp = true;
        } else {
            ahead_->probe = Ahead::Probe::Asked;
        }
    }
    if (afterProbe) {
        hangs(item, QStringLiteral("no answer within %1 ms at the end of the item before").arg(kProbeLimit.count()));
        return;
    }
    mpv_get_property_async(mpv_, load, "time-remaining", MPV_FORMAT_DOUBLE);
    watchAhead(item, load, kProbeLimit, true);
}

// mpv said how much of the current item is left. Still well before its end and moving: it is
// looked after again a little later. Not moving: it stalled on its file. At its end, mpv goes on
// to the item handed in unless the file before does not let go of it (startBy). Either way the
// item handed in goes to a new player.
void PlayerCore::probeAnswered(std::uint64_t load, std::optional<double> secondsLeft) {
    enum class Then { Nothing, LookAgain, Stalled, HeldUp } then = Then::Nothing;
    std::shared_ptr<PlayerItem> item;
    Clock::duration wait{};
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!ahead_ || ahead_->load != load || ahead_->probe != Ahead::Probe::Asked || ahead_->givenUp) return;
        ahead_->probe = Ahead::Probe::Answered;
        item = ahead_->item;
        const Clock::time_point now = Clock::now();
        const bool playing = current_.state == State::Playing && secondsLeft && *secondsLeft > 0.5 &&
                             plausibleSeconds(*secondsLeft);
        if (playing) {
            const auto last = ahead_->lastLeft;
            const double waited = last ? std::chrono::duration<double>(now - last->first).count() : 0.0;
            if (last && !paused_ && waited >= 0.5 && last->second - *secondsLeft < waited / 2) {
                then = Then::Stalled;
                ahead_->givenUp = true;
            } else {
                then = Then::LookAgain;
                ahead_->lastLeft = std::make_pair(now, *secondsLeft);
                ahead_->startBy = now + microseconds(*secondsLeft) + kLetGoLimit;
                wait = std::clamp<Clock::duration>(microseconds(*secondsLeft), kProbeLimit, kStallProbeEvery);
            }
        } else {
            ahead_->lastLeft.reset();
            if (now >= ahead_->startBy) {
                then = Then::HeldUp;
                ahead_->givenUp = true;
            } else {
                then = Then::LookAgain;
                wait = ahead_->startBy - now;
            }
        }
    }
    switch (then) {
        case Then::LookAgain: return watchAhead(item, load, wait);
        case Then::Stalled: return hangs(item, QStringLiteral("the item before stalled"));
        case Then::HeldUp: return hangs(item, QStringLiteral("the file before did not let go of it"));
        case Then::Nothing: return;
    }
}

void PlayerCore::watchLoad(const std::shared_ptr<PlayerItem>& item, std::uint64_t load) {
    std::weak_ptr<PlayerCore> weak = weak_from_this();
    DispatchQueue::after(kLoadLetGoLimit, [weak, item, load] {
        if (auto self = weak.lock()) self->loadNotStarted(item, load);
    });
}

// A load in place of the current item: mpv has not started its file (the file before does not
// let go of mpv), or has started it but not opened it (its own share hangs).
void PlayerCore::loadNotStarted(const std::shared_ptr<PlayerItem>& item, std::uint64_t load) {
    enum class Then { Nothing, LookAgain, HeldUp, GiveUp } then = Then::Nothing;
    Clock::duration wait{};
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (current_.item != item || current_.load != load || current_.state != State::Loading || !canShowFrames()) {
            return;
        }
        const Clock::duration loading = Clock::now() - current_.since;
        if (!current_.fileStarted) {
            then = Then::HeldUp;
        } else if (loading >= kHandedInOpenLimit) {
            // Still opening, as the status says: should the share answer, it plays after all.
            then = Then::GiveUp;
        } else {
            then = Then::LookAgain;
            wait = kHandedInOpenLimit - loading;
        }
    }
    switch (then) {
        case Then::LookAgain: {
            std::weak_ptr<PlayerCore> weak = weak_from_this();
            DispatchQueue::after(std::chrono::duration_cast<std::chrono::microseconds>(wait), [weak, item, load] {
                if (auto self = weak.lock()) self->loadNotStarted(item, load);
            });
            return;
        }
        case Then::HeldUp: return hangs(item, QStringLiteral("the file before did not let go of it"));
        case Then::GiveUp:
            return openGivenUp(item, QStringLiteral("Cannot open %1: not opened within %2 s; choosing again")
                                         .arg(item->url().toLocalFile(), QString::number(kHandedInOpenLimit.count())));
        case Then::Nothing: return;
    }
}

// An open that did not end in time holds mpv's core: any later load would wait for it.
void PlayerCore::openGivenUp(const std::shared_ptr<PlayerItem>& item, const QString& why) {
    markHung();
    systemLog(why);
    if (const auto d = delegate()) d->playerDidRefuseNextItem(item, MPV_ERROR_LOADING_FAILED);
}

void PlayerCore::hangs(const std::shared_ptr<PlayerItem>& item, const QString& why) {
    markHung();
    systemLog(QStringLiteral("mpv hangs on a file that does not answer (%1): %2 plays in a new player")
                  .arg(why, item->url().toLocalFile()));
    if (const auto d = delegate()) d->playerDidHang(item);
}

// mpv refused to append the item handed in: it is loaded at the end instead (now, if the end came
// already). False when that is not the item handed in.
bool PlayerCore::aheadRefused(const std::shared_ptr<PlayerItem>& item, std::uint64_t load) {
    std::shared_ptr<PlayerItem> loadNow;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!ahead_ || ahead_->item != item || ahead_->load != load) return false;
        ahead_->stage = Ahead::Stage::AtEnd;
        if (current_.state == State::Ended) {
            loadNow = ahead_->item;
            ahead_.reset();
        }
    }
    if (loadNow) startNow(loadNow);
    return true;
}

// The item mpv went on to could not be opened (or did not open in time): the delegate decides again.
void PlayerCore::aheadFailedToOpen(const std::shared_ptr<PlayerItem>& item, std::uint64_t load, std::optional<int> error) {
    if (!item) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (current_.item != item || load != current_.load || !current_.openingAhead ||
            current_.state == State::Failed || !canShowFrames()) {
            return;
        }
        current_.openingAhead = false;
        enter(State::Failed);
    }
    // An open that does not end holds mpv's core: whatever plays next needs a new player.
    if (!error) markHung();
    const QString why = error ? QStringLiteral("%1 (mpv error %2)").arg(QString::fromUtf8(mpv_error_string(*error)),
                                                                         QString::number(*error))
                              : QStringLiteral("not opened within %1 s").arg(kHandedInOpenLimit.count());
    systemLog(QStringLiteral("Cannot open %1, chosen ahead: %2; choosing again").arg(item->url().toLocalFile(), why));
    if (const auto d = delegate()) d->playerDidRefuseNextItem(item, error.value_or(MPV_ERROR_LOADING_FAILED));
}
