#include "platform/media/Player.h"

#include "platform/core/Description.h"
#include "platform/core/Queues.h"
#include "platform/media/PlayerCore.h"

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
// (quitting), on a thread of its own.
template <typename T>
void dropOnAWorker(std::shared_ptr<T>&& last) {
    if (!last) return;
    auto held = std::make_shared<std::shared_ptr<T>>(std::move(last));
    const auto drop = [held] { held->reset(); };
    if (DispatchQueue::global(DispatchQueue::Priority::Default).async(drop)) return;
    std::thread(drop).detach();
}

}  // namespace

void Player::release(std::shared_ptr<Player>&& player) { dropOnAWorker(std::move(player)); }

void PlayerCore::release(std::shared_ptr<PlayerCore>&& core) { dropOnAWorker(std::move(core)); }

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
