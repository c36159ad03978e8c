#include "foundation/KORVAL_Window.h"

#include "GuiTestSupport.h"

#include <QCloseEvent>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPointer>
#include <QTest>

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace {

using namespace KORVAL_NSWindowAdditions;

// A clock that moves only when told.
struct FakeClock {
    Clock::time_point t = Clock::time_point() + std::chrono::hours(1);
    std::function<Clock::time_point()> now() {
        return [this] { return t; };
    }
    void advance(double seconds) { t += std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds)); }
};

class Refusing : public QWidget {
protected:
    void closeEvent(QCloseEvent* e) override { e->ignore(); }
};

class CancelAt : public WindowFadeDelegate {
public:
    explicit CancelAt(int tick) : tick_(tick) {}
    bool windowShouldCancelFadeAway(QWidget*) override { return ++asked_ == tick_; }
    int asked_ = 0;

private:
    int tick_;
};

TEST(WindowFadeTest, AFullySecondFadeClosesAtTheEleventhTick) {
    QWidget window;
    window.show();
    FakeClock clock;
    QPointer<FadeAway> fade = fadeAway(&window, 1.0, clock.now());
    ASSERT_TRUE(fade);
    for (int tick = 1; tick <= 10; ++tick) {
        clock.advance(0.05);
        ASSERT_TRUE(fade->fadeAwayCallback()) << tick;
    }
    // Ten steps of 0.1 in double precision leave about 1.4e-16, not 0.
    EXPECT_NEAR(fade->opacity(), 1.3877787807814457e-16, 1e-30);
    EXPECT_TRUE(window.isVisible());
    clock.advance(0.05);  // 0.55 s: before the deadline
    EXPECT_FALSE(fade->fadeAwayCallback());
    EXPECT_FALSE(window.isVisible());
}

TEST(WindowFadeTest, AShortFadeClosesWhenItsTimeIsUpBeforeTheOpacityReachesZero) {
    QWidget window;
    window.show();
    FakeClock clock;
    FadeAway* fade = fadeAway(&window, 0.2, clock.now());
    int ticks = 0;
    bool running = true;
    while (running && ticks < 20) {
        clock.advance(0.05);
        ++ticks;
        running = fade->fadeAwayCallback();
    }
    EXPECT_EQ(ticks, 4);
    EXPECT_FALSE(window.isVisible());
    EXPECT_GT(window.windowOpacity(), 0.5);  // closed at about 0.7, never made transparent
}

TEST(WindowFadeTest, NoTimeNoFade) {
    QWidget window;
    EXPECT_EQ(fadeAway(&window, 0), nullptr);
    EXPECT_EQ(fadeAway(&window, -1), nullptr);
    EXPECT_EQ(fadeAway(&window, std::numeric_limits<double>::quiet_NaN()), nullptr);
    EXPECT_EQ(fadeAway(nullptr, 1), nullptr);
}

TEST(WindowFadeTest, TheDelegateMayCancelAndTheWindowKeepsItsOpacity) {
    QWidget window;
    window.show();
    CancelAt delegate(3);
    setFadeDelegate(&window, &delegate);
    FakeClock clock;
    FadeAway* fade = fadeAway(&window, 1.0, clock.now());
    EXPECT_TRUE(fade->fadeAwayCallback());
    EXPECT_TRUE(fade->fadeAwayCallback());
    EXPECT_FALSE(fade->fadeAwayCallback());  // the third tick: cancelled
    EXPECT_FALSE(fade->isRunning());
    EXPECT_FALSE(fade->fadeAwayCallback());  // no further tick does anything
    EXPECT_EQ(delegate.asked_, 3);
    EXPECT_NEAR(window.windowOpacity(), 0.8, 0.005);
    EXPECT_TRUE(window.isVisible());
    EXPECT_FALSE(windowShouldCancelFadeAway(&window));
}

TEST(WindowFadeTest, AnAlmostTransparentWindowClosesAtTheFirstTickUnlessItRefuses) {
    QWidget window;
    window.show();
    window.setWindowOpacity(0.05);
    FakeClock clock;
    EXPECT_FALSE(fadeAway(&window, 1.0, clock.now())->fadeAwayCallback());
    EXPECT_FALSE(window.isVisible());

    // Past its deadline the fade asks to close; this window refuses and stays, and the fade is over.
    Refusing stubborn;
    stubborn.show();
    FadeAway* fade = fadeAway(&stubborn, 0.01, clock.now());
    clock.advance(0.05);
    EXPECT_FALSE(fade->fadeAwayCallback());
    EXPECT_FALSE(fade->isRunning());
    EXPECT_TRUE(stubborn.isVisible());
}

TEST(WindowFadeTest, WithTheRealTimerAWindowFadesAndClosesInAboutHalfASecond) {
    QWidget window;
    window.show();
    QElapsedTimer t;
    t.start();
    fadeAway(&window);
    ASSERT_TRUE(test::waitUntil([&] { return !window.isVisible(); }, 3000));
    EXPECT_GE(t.elapsed(), 450);
    EXPECT_LT(t.elapsed(), 1000);
}

TEST(KorvalWindowTest, CreatedWithoutFocusItStaysShownAndTakesTheKeyboard) {
    KORVAL_Window window(nullptr, Qt::Tool | Qt::WindowDoesNotAcceptFocus);
    auto* field = new QLineEdit(&window);
    EXPECT_TRUE(window.canBecomeKeyWindow());
    window.show();
    EXPECT_TRUE(window.isVisible());
    EXPECT_FALSE(window.windowFlags() & Qt::WindowDoesNotAcceptFocus);
    EXPECT_EQ(window.focusPolicy(), Qt::StrongFocus);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    EXPECT_TRUE(window.isVisible());

    window.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    field->setFocus();
    // Typed through the window system, the keys reach the window's focused field.
    QTest::keyClick(window.windowHandle(), Qt::Key_A);
    QTest::keyClick(window.windowHandle(), Qt::Key_B);
    EXPECT_EQ(field->text(), "ab");
}

}  // namespace
