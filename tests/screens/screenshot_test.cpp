// Screenshots of the real window under X (./test.sh runs Xvfb): the video with each status
// light in its corner, and the progress panel over the playing video. Saved as screenshot-*.png
// in the folder VORN_SCREENSHOT_DIR names, else in the test's own folder (removed at its end).
#include "app/AppDelegate.h"
#include "platform/ui/Alert.h"
#include "platform/ui/MainWindow.h"
#include "platform/media/Player.h"
#include "platform/media/PlayerView.h"
#include "platform/ui/PreferencesWindow.h"
#include "platform/ui/StatusImages.h"
#include "progress/MyProgressWindowController.h"

#include "Clips.h"
#include "e2e/ScreenWatch.h"
#include "media/ViewInWindow.h"
#include "GuiTestSupport.h"

#include <QAction>
#include <QImage>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPointer>
#include <QScreen>
#include <QUrl>
#include <QWindow>

#include <gtest/gtest.h>

namespace {

QImage grabScreen(const QString& name) {
    QImage shot = QGuiApplication::primaryScreen()->grabWindow(0).toImage();
    shot.save(test::screenshotPath(name));
    return shot;
}

// One pixel of the screen as the X server has it now.
QColor screenPixel(QPoint at) {
    return QGuiApplication::primaryScreen()->grabWindow(0, at.x(), at.y(), 1, 1).toImage().pixelColor(0, 0);
}

bool exposed(QWidget* w) { return w->isVisible() && w->windowHandle() && w->windowHandle()->isExposed(); }

class ScreenshotTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (QGuiApplication::platformName() != QLatin1String("xcb")) GTEST_SKIP() << "needs an X display (./test.sh starts Xvfb)";
        window = new MainWindow;
        controller = AppDelegate::create();
        controller->setWindow(window);
        controller->setPlayerview(window->playerView());
        window->setMenuBarVisible(false);
        window->applyPlaybackStyle(QGuiApplication::primaryScreen()->geometry());
        player = Player::playerWithPlayerItem(PlayerItem::playerItemWithURL(QUrl::fromLocalFile(test::clip(20.0, false, "320x240"))));
        window->playerView()->setPlayer(player);
        player->play();
        // The tests check that the video plays behind what they look at.
        test::waitUntil([] { return screenPixel(QPoint(640, 360)).saturation() > 80; }, 15000, 50);
    }
    void TearDown() override {
        if (!window) return;
        window->playerView()->setPlayer(nullptr);
        window->hide();
    }
    // The light's middle, in screen coordinates.
    QPoint lightCentre() const {
        QLabel* light = window->statusImageView();
        return light->mapToGlobal(light->contentsRect().center());
    }

    MainWindow* window = nullptr;
    std::shared_ptr<AppDelegate> controller;
    std::shared_ptr<Player> player;
};

TEST_F(ScreenshotTest, EachStatusLightOverTheVideo) {
    struct Expected {
        const char* name;
        std::function<bool(QColor)> looks;
    };
    const Expected lights[] = {
        {"NSStatusNone", [](QColor c) { return c.saturation() < 60; }},
        {"NSStatusAvailable", [](QColor c) { return c.green() > 120 && c.red() < 110; }},
        {"NSStatusUnavailable", [](QColor c) { return c.red() > 150 && c.green() < 90; }},
    };
    for (const Expected& light : lights) {
        controller->setStatusImage(QString(light.name));
        // Just off the middle of the light (the middle of the available light is its white check).
        const QPoint at = lightCentre() + QPoint(-7, 0);
        test::waitUntil([&] { return light.looks(screenPixel(at)); }, 5000, 50);
        const QImage shot = grabScreen(QString(light.name));
        EXPECT_TRUE(light.looks(shot.pixelColor(at))) << light.name << " " << shot.pixelColor(at).name().toStdString();
        EXPECT_GT(shot.pixelColor(640, 360).saturation(), 80) << "the video plays behind it";
    }
}

QRect centreThird() { return test::centreThird(QGuiApplication::primaryScreen()->geometry().size()); }

// The centre third shows the playing video: coloured, and changing from one grab to the next.
void expectVideoInTheCentre(const QString& name) {
    const QImage first = grabScreen(name);
    QImage later;
    test::waitUntil([&] { later = grabScreen(name); return later.copy(centreThird()) != first.copy(centreThird()); }, 3000, 100);
    EXPECT_GT(test::colouredShareOfCentre(first), 0.8) << name.toStdString();
    EXPECT_GT(test::colouredShareOfCentre(later), 0.8) << name.toStdString();
    EXPECT_NE(later.copy(centreThird()), first.copy(centreThird())) << "the picture in the middle stood still";
}

// The progress panel stands in the top left corner of the picture and follows the window when
// its menu bar comes; the middle third goes on showing the video.
TEST_F(ScreenshotTest, TheProgressPanelOverThePlayingVideo) {
    auto progress = MyProgressWindowController::initWithWindowNibName("MyProgressWindowController");
    ASSERT_NE(progress->window(), nullptr);
    progress->setMessage("Trying To Locate/Mount Source Folder...");
    progress->showProgressWindow();
    const auto panelLeftMiddle = [&] {
        const QRect frame = progress->window()->frameGeometry();
        return QPoint(frame.left() + 8, frame.center().y());
    };
    test::waitUntil([&] { return exposed(progress->window()) && screenPixel(panelLeftMiddle()).value() < 140; }, 5000, 50);
    const QRect panel = progress->window()->frameGeometry();
    EXPECT_EQ(panel.topLeft(), QPoint(16, 16));
    EXPECT_FALSE(panel.intersects(centreThird()));
    const QImage shot = grabScreen("progress");
    // The dark panel stands over the colour bars (without a compositor it is drawn opaque).
    const QColor inside = shot.pixelColor(panel.left() + 8, panel.center().y());
    EXPECT_LT(inside.value(), 140) << inside.name().toStdString();
    expectVideoInTheCentre("progress");

    window->setMenuBarVisible(true);
    EXPECT_TRUE(test::waitUntil([&] { return progress->window()->frameGeometry().top() == window->menuBar()->height() + 16; }, 5000, 50))
        << progress->window()->frameGeometry().top() << " under a menu bar of " << window->menuBar()->height();
    window->setMenuBarVisible(false);
    EXPECT_TRUE(test::waitUntil([&] { return progress->window()->frameGeometry().top() == 16; }, 5000, 50));

    // Gone with its controller: what stood behind it (the black beside the 4:3 picture) shows again.
    progress.reset();
    test::waitUntil([&] { return screenPixel(QPoint(panel.left() + 8, panel.center().y())) != inside; }, 5000, 50);
    const QColor after = grabScreen("progress-gone").pixelColor(panel.left() + 8, panel.center().y());
    EXPECT_NE(after, inside) << after.name().toStdString();
}

// An alert hangs from the top edge of the window, centred across it (below the menu bar when
// that shows), and the middle third goes on showing the video.
TEST_F(ScreenshotTest, TheAlertHangsFromTheTopEdgeOverThePlayingVideo) {
    for (const bool menuBar : {false, true}) {
        window->setMenuBarVisible(menuBar);
        Alert alert;
        alert.setMessageText("Please Make Sure Source Folder IS Valid !!");
        alert.setInformativeText("Please point to a valid folder...\n\nMaybe network is down or the remote computer is not turned on?");
        alert.addButtonWithTitle("OK");
        alert.beginSheetModalForWindow(SheetHost(window), nullptr);
        QPointer<QMessageBox> sheet;
        ASSERT_TRUE(test::waitUntil([&] {
            for (QMessageBox* w : window->findChildren<QMessageBox*>()) sheet = w;
            return sheet && exposed(sheet) && screenPixel(sheet->geometry().center()).saturation() < 60;
        }, 5000, 50));
        const QRect box = sheet->frameGeometry();
        const int top = menuBar ? window->menuBar()->mapToGlobal(QPoint(0, window->menuBar()->height())).y() : 0;
        EXPECT_EQ(box.top(), top) << "menu bar " << menuBar;
        EXPECT_LE(std::abs(box.center().x() - window->geometry().center().x()), 1) << "menu bar " << menuBar;
        EXPECT_FALSE(box.intersects(centreThird())) << "menu bar " << menuBar;
        expectVideoInTheCentre(menuBar ? "alert-menu-bar" : "alert");
        sheet->done(0);
        ASSERT_TRUE(test::waitUntil([&] { return !sheet || !sheet->isVisible(); }, 5000, 50));
        delete sheet.data();
    }
    window->setMenuBarVisible(false);
}

TEST_F(ScreenshotTest, TheMenuBarWithItsFileMenuOpen) {
    window->setMenuBarVisible(true);
    const auto menuBarShown = [&] {
        return window->menuBar()->isVisible() && screenPixel(QPoint(1000, window->menuBar()->height() / 2)).value() > 150;
    };
    test::waitUntil(menuBarShown, 5000, 50);
    QMenu* file = nullptr;
    for (QAction* menu : window->menuBar()->actions()) {
        if (menu->menu() && menu->menu()->actions().contains(window->openFilesAction())) file = menu->menu();
    }
    ASSERT_NE(file, nullptr);
    window->menuBar()->setActiveAction(file->menuAction());
    test::waitUntil([&] { return exposed(file) && menuBarShown(); }, 5000, 50);
    ASSERT_TRUE(file->isVisible());
    const QImage shot = grabScreen("menu-bar");
    // A light menu bar across the top, over no video.
    EXPECT_GT(shot.pixelColor(1000, window->menuBar()->height() / 2).value(), 150);
    file->hide();
}

TEST_F(ScreenshotTest, TheContextMenuOverTheVideo) {
    window->contextMenu()->popup(QPoint(500, 200));
    test::waitUntil([&] {
        return exposed(window->contextMenu()) && screenPixel(window->contextMenu()->geometry().center()).value() > 150;
    }, 5000, 50);
    ASSERT_TRUE(window->contextMenu()->isVisible());
    EXPECT_EQ(window->contextMenu()->actions().count(), 13);  // nine commands in five groups
    const QImage shot = grabScreen("context-menu");
    const QRect menu = window->contextMenu()->geometry();
    EXPECT_GT(shot.pixelColor(menu.center()).value(), 150);
    window->contextMenu()->hide();
}

TEST_F(ScreenshotTest, ThePreferencesWindowOverThePlayer) {
    auto* preferences = new PreferencesWindow(window);
    preferences->setModel(AppDelegate::preferencesModel());
    controller->setFPreferencesWindow(preferences);
    controller->setStatusImage(QString("NSStatusAvailable"));
    controller->ibOpenPreferences(nullptr);
    test::waitUntil([&] { return exposed(preferences); }, 5000, 50);
    ASSERT_TRUE(preferences->isVisible());
    grabScreen("preferences");
    EXPECT_FALSE(preferences->sourceStatusLight()->pixmap().isNull());
    preferences->reject();
}

// The software view between other widgets in a window of its own, as the X server shows it.
class SoftwareViewInXWindowTest : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        if (QGuiApplication::platformName() != QLatin1String("xcb")) GTEST_SKIP() << "needs an X display (./test.sh starts Xvfb)";
    }
};

TEST_P(SoftwareViewInXWindowTest, TheVideoLandsInTheViewsPlaceOnly) {
    test::expectTheVideoInTheViewsPlaceOnly(GetParam());
}

INSTANTIATE_TEST_SUITE_P(Beside, SoftwareViewInXWindowTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "APanel" : "Nothing"; });

}  // namespace
