#include "platform/core/NotificationCenter.h"
#include "platform/ui/ProgressPanel.h"
#include "progress/MyProgressWindowController.h"

#include "GuiTestSupport.h"

#include <QLabel>
#include <QProgressBar>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

const QString kInterface = QStringLiteral("MyProgressWindowController");

int visiblePanels() {
    int n = 0;
    for (QWidget* w : QApplication::topLevelWidgets()) n += qobject_cast<ProgressPanel*>(w) && w->isVisible() ? 1 : 0;
    return n;
}

bool animating(const MyProgressWindowController& c) { return c.ibProgressIndicator()->maximum() == 0; }

TEST(ProgressWindowTest, AFloatingTranslucentPanelShowsTheMessage) {
    auto controller = MyProgressWindowController::initWithWindowNibName(kInterface);
    QWidget* panel = controller->window();
    ASSERT_NE(panel, nullptr);
    EXPECT_TRUE(panel->windowFlags() & Qt::WindowStaysOnTopHint);
    EXPECT_TRUE(panel->windowFlags() & Qt::FramelessWindowHint);
    EXPECT_NEAR(panel->windowOpacity(), 0.7, 0.01);
    EXPECT_FALSE(controller->fIsMiniWindow());
    ASSERT_NE(controller->ibProgressTitle(), nullptr);

    controller->showProgressWindow();
    controller->setMessage("Initializing...");
    EXPECT_FALSE(panel->isVisible());  // the change comes on the main thread, later
    ASSERT_TRUE(test::waitUntil([&] { return panel->isVisible(); }));
    EXPECT_TRUE(test::waitUntil([&] { return controller->ibProgressTextField()->text() == "Initializing..."; }))
        << controller->ibProgressTextField()->text().toStdString();
    EXPECT_TRUE(animating(*controller));

    // Released, the controller takes its panel off the screen.
    controller.reset();
    EXPECT_EQ(visiblePanels(), 0);
}

TEST(ProgressWindowTest, CallsFromABackgroundThreadArriveInOrder) {
    auto controller = MyProgressWindowController::initWithWindowNibName(kInterface);
    ASSERT_NE(controller->window(), nullptr);
    controller->showProgressWindow();
    test::waitUntil([&] { return controller->window()->isVisible(); });
    std::thread([&] {
        controller->setMessage("Mounting Source Folder...");
        controller->hideProgressWindow();
    }).join();
    EXPECT_TRUE(test::waitUntil([&] { return !controller->window()->isVisible(); }));
    EXPECT_EQ(controller->ibProgressTextField()->text(), "Mounting Source Folder...");
    EXPECT_FALSE(animating(*controller));
}

TEST(ProgressWindowTest, TheNotificationsDriveThePanelWhenTheyHaveTheRightShape) {
    NotificationCenter& center = NotificationCenter::defaultCenter();
    auto controller = MyProgressWindowController::initWithWindowNibName(kInterface);
    // Not loaded yet: not listening.
    center.postNotificationName("myProgressNotification", nullptr, QString("too early"));
    // No panel shows: a bounded wait that ends at once if one does.
    EXPECT_FALSE(test::waitUntil([] { return visiblePanels() > 0; }, 50));
    ASSERT_NE(controller->window(), nullptr);
    EXPECT_FALSE(controller->window()->isVisible());

    center.postNotificationName("myProgressNotification", nullptr, QString("with info"), QVariantMap{{"k", 1}});
    center.postNotificationName("myProgressNotification", nullptr, 42);
    // Neither shows the panel: a bounded wait that ends at once if one does.
    EXPECT_FALSE(test::waitUntil([&] { return controller->window()->isVisible(); }, 50));

    int fronts = 0;
    const int observer = 0;
    center.addObserver(&observer, "BringSelfToFront", nullptr, [&](const Notification&) { ++fronts; });
    center.postNotificationName("myProgressNotification", nullptr, QString("Working..."));
    ASSERT_TRUE(test::waitUntil([&] { return controller->window()->isVisible(); }));
    EXPECT_TRUE(test::waitUntil([&] { return controller->ibProgressTextField()->text() == "Working..."; }))
        << controller->ibProgressTextField()->text().toStdString();
    // Shown again while visible: no second show, but the animation and the announcement again.
    controller->showProgressWindow();
    test::waitUntil([&] { return fronts >= 2; });
    EXPECT_EQ(fronts, 2);
    center.postNotificationName("myProgressCloseNotification", nullptr);
    EXPECT_TRUE(test::waitUntil([&] { return !controller->window()->isVisible(); }));
    center.removeObserver(&observer);
}

// The owner releases each controller on the main thread while another thread posts to it; a
// delivery under way must never reach a controller that is gone (AddressSanitizer tells).
TEST(ProgressWindowTest, ReleasingAControllerWhileAnotherThreadPostsToItIsSafe) {
    std::atomic<int> round{0};
    std::atomic<bool> done{false};
    std::thread poster([&] {
        for (int seen = 0; !done;) {
            if (round == seen) {
                std::this_thread::yield();
                continue;
            }
            seen = round;
            for (int i = 0; i < 4; ++i) NotificationCenter::defaultCenter().postNotificationName("myProgressCloseNotification", nullptr);
        }
    });
    for (int i = 1; i <= 3000; ++i) {
        auto controller = MyProgressWindowController::initWithWindowNibName(kInterface);
        ASSERT_NE(controller->window(), nullptr);
        std::weak_ptr<MyProgressWindowController> released = controller;
        round = i;
        controller.reset();
        // Work it queued for the main thread may hold it a little longer.
        ASSERT_TRUE(test::waitUntil([&] { return released.expired(); }));
    }
    done = true;
    poster.join();
    EXPECT_EQ(NotificationCenter::defaultCenter().observerCount(), 0u);
}

TEST(ProgressWindowTest, WithoutItsInterfaceFileThereIsNoPanelAndNothingBreaks) {
    auto controller = MyProgressWindowController::initWithWindowNibName("NoSuchInterface");
    EXPECT_EQ(controller->window(), nullptr);
    controller->showProgressWindow();
    controller->setMessage("nowhere");
    controller->hideProgressWindow();
    // No panel shows: a bounded wait that ends at once if one does.
    EXPECT_FALSE(test::waitUntil([] { return visiblePanels() > 0; }, 50));
}

TEST(ProgressWindowTest, TheMiniIdentifierIgnoresLetterCase) {
    EXPECT_TRUE(MyProgressWindowController::isMiniWindowIdentifier("miniprogress"));
    EXPECT_TRUE(MyProgressWindowController::isMiniWindowIdentifier("MiniProgress"));
    EXPECT_FALSE(MyProgressWindowController::isMiniWindowIdentifier("mini"));
    EXPECT_FALSE(MyProgressWindowController::isMiniWindowIdentifier(QString()));
}

}  // namespace
