#include "app/AppDelegate.h"

#include "platform/core/Description.h"
#include "platform/core/ThreadContract.h"
#include "platform/media/Player.h"
#include "platform/media/PlayerView.h"
#include "platform/ui/MainWindow.h"
#include "platform/ui/PreferencesWindow.h"
#include "progress/MyProgressWindowController.h"

AppDelegate::AppDelegate() = default;
AppDelegate::~AppDelegate() {
    std::shared_ptr<Player> last = player_.get();
    player_.set(nullptr);
    Player::release(std::move(last));
}

std::shared_ptr<AppDelegate> AppDelegate::create() { return std::shared_ptr<AppDelegate>(new AppDelegate); }

QString AppDelegate::description() const { return Description::ofObject("AppDelegate", this); }

void AppDelegate::setPlayer(std::shared_ptr<Player> player) {
    std::shared_ptr<Player> old = player_.get();
    player_.set(std::move(player));
    Player::release(std::move(old));
}

QPointer<PreferencesWindow> AppDelegate::fPreferencesWindow() const { return fPreferencesWindow_.get(); }
void AppDelegate::setFPreferencesWindow(PreferencesWindow* window) { fPreferencesWindow_.set(window); }

QPointer<PlayerView> AppDelegate::playerview() const { return playerview_.get(); }
void AppDelegate::setPlayerview(PlayerView* view) { playerview_.set(view); }

QPointer<MainWindow> AppDelegate::window() const { return window_.get(); }

void AppDelegate::setFStatusImage(const QImage& image, const QString& detail) {
    VORN_ASSERT_MAIN_THREAD();
    fStatusImage_ = image;
    fStatusDetail_ = detail;
    if (QPointer<MainWindow> w = window()) w->setStatusImage(image, detail);
    if (QPointer<PreferencesWindow> p = fPreferencesWindow()) p->setStatusImage(image, detail);
}
void AppDelegate::setWindow(MainWindow* window) { window_.set(window); }
