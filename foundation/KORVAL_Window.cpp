#include "foundation/KORVAL_Window.h"

#include <QTimerEvent>

#include <cmath>

KORVAL_Window::KORVAL_Window(QWidget* parent, Qt::WindowFlags flags) : QWidget(parent, flags | Qt::Window) {
    setFocusPolicy(Qt::StrongFocus);
}

void KORVAL_Window::setVisible(bool visible) {
    // Whatever flags it was given, it still takes keyboard input. The flags change before the
    // window is shown: changing them on a shown window hides it again.
    if (visible && canBecomeKeyWindow()) {
        if (windowFlags() & Qt::WindowDoesNotAcceptFocus) setWindowFlag(Qt::WindowDoesNotAcceptFocus, false);
        setAttribute(Qt::WA_ShowWithoutActivating, false);
    }
    QWidget::setVisible(visible);
}

namespace KORVAL_NSWindowAdditions {

namespace {
const char* const kDelegateProperty = "KORVAL_fadeDelegate";
const char* const kOpacityProperty = "KORVAL_opacity";

// The window keeps its opacity in 8 bits; the fade keeps the exact value beside it, as long as
// nobody else has changed the window's opacity since.
double currentOpacity(const QWidget* window) {
    const QVariant exact = window->property(kOpacityProperty);
    const double shown = window->windowOpacity();
    if (exact.isValid() && std::abs(exact.toDouble() - shown) <= 1.0 / 255) return exact.toDouble();
    return shown;
}

void setOpacity(QWidget* window, double opacity) {
    window->setProperty(kOpacityProperty, opacity);
    window->setWindowOpacity(opacity);
}
}  // namespace

FadeAway::FadeAway(QWidget* window, Clock::time_point deadline, std::function<Clock::time_point()> now)
    : QObject(window), window_(window), deadline_(deadline), now_(std::move(now)), opacity_(currentOpacity(window)) {
    timer_ = startTimer(kTickMilliseconds, Qt::PreciseTimer);
}

void FadeAway::timerEvent(QTimerEvent* event) {
    if (event->timerId() == timer_) fadeAwayCallback();
}

bool FadeAway::fadeAwayCallback() {
    if (!running_) return false;
    const double current = currentOpacity(window_);
    auto* delegate = reinterpret_cast<WindowFadeDelegate*>(window_->property(kDelegateProperty).value<quintptr>());
    auto stop = [this] {
        running_ = false;
        killTimer(timer_);
        deleteLater();
    };
    if (delegate && delegate->windowShouldCancelFadeAway(window_)) {
        stop();
        return false;
    }
    const double next = std::max(0.0, current - kOpacityStep);
    if (next != 0 && now_() < deadline_) {
        opacity_ = next;
        setOpacity(window_, next);
        return true;
    }
    stop();
    window_->close();  // the window may refuse
    return false;
}

FadeAway* fadeAway(QWidget* window) { return fadeAway(window, kDefaultFadeSeconds); }

FadeAway* fadeAway(QWidget* window, double seconds, std::function<Clock::time_point()> now) {
    if (!window || !(seconds > 0)) return nullptr;  // zero, negative or not a number
    if (!now) now = [] { return Clock::now(); };
    const auto deadline = now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    return new FadeAway(window, deadline, std::move(now));
}

void setFadeDelegate(QWidget* window, WindowFadeDelegate* delegate) {
    window->setProperty(kDelegateProperty, QVariant::fromValue(reinterpret_cast<quintptr>(delegate)));
}

bool windowShouldCancelFadeAway(QWidget* window) {
    Q_UNUSED(window);
    return false;
}

}  // namespace KORVAL_NSWindowAdditions
