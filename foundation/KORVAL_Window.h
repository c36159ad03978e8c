#pragma once

#include <QObject>
#include <QWidget>

#include <chrono>
#include <functional>

// A window that can always take keyboard focus, whatever its flags.
class KORVAL_Window : public QWidget {
    Q_OBJECT

public:
    explicit KORVAL_Window(QWidget* parent = nullptr, Qt::WindowFlags flags = Qt::Window);
    virtual bool canBecomeKeyWindow() const { return true; }

    void setVisible(bool visible) override;
};

// A window's delegate may stop its fade-away at any tick.
class WindowFadeDelegate {
public:
    virtual ~WindowFadeDelegate() = default;
    virtual bool windowShouldCancelFadeAway(QWidget* window) = 0;
};

// Fading a window out and closing it: every 0.05 s its opacity drops by 0.1; when it reaches 0,
// or the time is up, the window is asked to close (it may refuse). The delegate can cancel.
namespace KORVAL_NSWindowAdditions {

using Clock = std::chrono::steady_clock;

constexpr int kTickMilliseconds = 50;
constexpr double kOpacityStep = 0.1;
constexpr double kDefaultFadeSeconds = 1.0;

// The running fade of a window; it lives as the window's child and ends itself.
class FadeAway : public QObject {
    Q_OBJECT

public:
    FadeAway(QWidget* window, Clock::time_point deadline, std::function<Clock::time_point()> now);
    // One tick; false once the fade has ended (cancelled, or the window asked to close).
    bool fadeAwayCallback();
    bool isRunning() const { return running_; }
    double opacity() const { return opacity_; }

private:
    QWidget* window_;
    Clock::time_point deadline_;
    std::function<Clock::time_point()> now_;
    double opacity_;
    bool running_ = true;
    int timer_ = 0;

protected:
    void timerEvent(QTimerEvent* event) override;
};

// Starts a fade of 1 second; returns it (none for a time that is not above 0).
FadeAway* fadeAway(QWidget* window);
FadeAway* fadeAway(QWidget* window, double seconds, std::function<Clock::time_point()> now = nullptr);

void setFadeDelegate(QWidget* window, WindowFadeDelegate* delegate);
// A window acting as another's delegate never cancels its fade.
bool windowShouldCancelFadeAway(QWidget* window);

}  // namespace KORVAL_NSWindowAdditions
