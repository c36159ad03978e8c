#include "platform/media/Player.h"

#include "platform/core/Description.h"
#include "platform/core/Queues.h"
#include "platform/media/PlayerCore.h"

#include <mpv/client.h>

#include <thread>

// ---- PlayerItem

std::shared_ptr<PlayerItem> PlayerItem::playerItemWithURL(const QUrl& url) { return playerItemWithURL(url, QString()); }

std::shared_ptr<PlayerItem> PlayerItem::playerItemWithURL(const QUrl& url, const QString& openFrom) {
    if (!url.isValid() || !url.isLocalFile() || url.toLocalFile().isEmpty()) return nullptr;
    return std::shared_ptr<PlayerItem>(new PlayerItem(url, openFrom));
}

QString PlayerItem::description() const { return Description::ofObject("PlayerItem", this); }

std::weak_ptr<PlayerCore> PlayerItem::owner() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return owner_;
}

void PlayerItem::setOwner(const std::weak_ptr<PlayerCore>& owner) {
    std::lock_guard<std::mutex> lock(mutex_);
    owner_ = owner;
    given_ = true;
}

bool PlayerItem::wasGivenToAPlayer() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return given_;
}

void PlayerItem::seekToTimeZero() {
    std::shared_ptr<PlayerCore> core = owner().lock();
    if (!core) return;
    core->restart(this);
    // Should its player have been let go meanwhile, this is the last reference: mpv ends on a worker.
    PlayerCore::release(std::move(core));
}

bool PlayerItem::isOwnedBy(const std::shared_ptr<PlayerCore>& core) const {
    std::lock_guard<std::mutex> lock(mutex_);
    // Compared without taking a reference, which could be the player's last.
    return core && !owner_.owner_before(core) && !core.owner_before(owner_) && given_;
}

// ---- Player

std::shared_ptr<Player> Player::playerWithPlayerItem(const std::shared_ptr<PlayerItem>& item,
                                                     std::weak_ptr<PlayerDelegate> delegate) {
    std::shared_ptr<Player> player(new Player(PlayerCore::create(std::move(delegate))));
    player->core_->setCurrentItem(item);
    return player;
}

Player::~Player() = default;

namespace {

// Drops the reference on a worker of the global queue, or, once the queues have shut down
// (quitting), on a thread of its own. A player that hangs may wait for its share for minutes as
// it ends: it gets a thread of its own too, rather than holding a worker all that time.
template <typename T>
void dropOnAWorker(std::shared_ptr<T>&& last, bool hung) {
    if (!last) return;
    auto held = std::make_shared<std::shared_ptr<T>>(std::move(last));
    const auto drop = [held] { held->reset(); };
    if (!hung && DispatchQueue::global(DispatchQueue::Priority::Default).async(drop)) return;
    std::thread(drop).detach();
}

}  // namespace

void Player::release(std::shared_ptr<Player>&& player) {
    const bool hung = player && player->isHung();
    dropOnAWorker(std::move(player), hung);
}

void PlayerCore::release(std::shared_ptr<PlayerCore>&& core) {
    const bool hung = core && core->isHung();
    dropOnAWorker(std::move(core), hung);
}

bool Player::isHung() const { return core_->isHung(); }

int Player::hungCount() { return PlayerCore::hungCount(); }

QString Player::describeError(int error) {
    return QStringLiteral("%1 (mpv error %2)").arg(QString::fromUtf8(mpv_error_string(error)), QString::number(error));
}

std::shared_ptr<PlayerItem> Player::currentItem() const { return core_->currentItem(); }

Player::Status Player::status() const { return core_->status(); }

bool Player::holds(const PlayerItem& item) const { return item.isOwnedBy(core_); }

void Player::replaceCurrentItemWithPlayerItem(const std::shared_ptr<PlayerItem>& item) { core_->setCurrentItem(item); }

void Player::play() { core_->play(); }

void Player::pause() { core_->pause(); }

void Player::setNearEndLead(std::chrono::milliseconds lead) { core_->setNearEndLead(std::max(lead, kNearEndLead)); }

bool Player::setNextItem(const std::shared_ptr<PlayerItem>& next, const std::shared_ptr<PlayerItem>& after) {
    return core_->setNextItem(next, after);
}

bool Player::rendersIntoView() { return qgetenv("VORNPLAYER_VIDEO_OUTPUT") != "null"; }
