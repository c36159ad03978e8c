#include "app/AppDelegate.h"

#include "platform/core/Description.h"
#include "platform/ui/MainWindow.h"
#include "platform/media/PlayerView.h"
#include "platform/ui/PreferencesWindow.h"
#include "progress/MyProgressWindowController.h"

AppDelegate::AppDelegate() = default;
AppDelegate::~AppDelegate() = default;

QString AppDelegate::description() const { return Description::ofObject("AppDelegate", this); }

QPointer<PreferencesWindow> AppDelegate::fPreferencesWindow() const { return fPreferencesWindow_.get(); }
void AppDelegate::setFPreferencesWindow(PreferencesWindow* window) { fPreferencesWindow_.set(window); }

QPointer<PlayerView> AppDelegate::playerview() const { return playerview_.get(); }
void AppDelegate::setPlayerview(PlayerView* view) { playerview_.set(view); }

QPointer<MainWindow> AppDelegate::window() const { return window_.get(); }

void AppDelegate::setFStatusImage(const QImage& image) {
    fStatusImage_ = image;
    if (QPointer<MainWindow> w = window()) w->setStatusImage(image);
    if (QPointer<PreferencesWindow> p = fPreferencesWindow()) p->setStatusImage(image);
}
void AppDelegate::setWindow(MainWindow* window) { window_.set(window); }
