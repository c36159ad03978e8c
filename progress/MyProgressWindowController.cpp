#include "progress/MyProgressWindowController.h"

#include "platform/core/Description.h"
#include "platform/core/Format.h"
#include "platform/core/NotificationCenter.h"
#include "platform/ui/ProgressPanel.h"
#include "platform/core/Queues.h"
#include "platform/core/ThreadContract.h"
#include "platform/core/SystemLog.h"

#include <QLabel>
#include <QPointer>
#include <QProgressBar>

namespace {
const QString kProgressNotification = QStringLiteral("myProgressNotification");
const QString kCloseNotification = QStringLiteral("myProgressCloseNotification");
const QString kBringSelfToFront = QStringLiteral("BringSelfToFront");
}  // namespace

std::shared_ptr<MyProgressWindowController> MyProgressWindowController::initWithWindowNibName(const QString& name) {
    std::shared_ptr<MyProgressWindowController> controller(new MyProgressWindowController(name));
    systemLog(fmt("Inside %@->%@...", controller->description(), "initWithWindowNibName:"));
    return controller;
}

MyProgressWindowController::~MyProgressWindowController() {
    systemLog(fmt("Inside %@ => %@...", description(), "dealloc"));
    NotificationCenter::defaultCenter().removeObserver(this);
    if (!window_) return;
    // The panel goes off the screen with its controller, on the main thread.
    QPointer<QWidget> panel(window_);
    auto takeDown = [panel] {
        if (!panel) return;
        panel->hide();
        delete panel.data();
    };
    if (isMainThread()) {
        takeDown();
    } else {
        DispatchQueue::main().async(takeDown);
    }
}

QString MyProgressWindowController::description() const { return Description::ofObject("MyProgressWindowController", this); }

bool MyProgressWindowController::isMiniWindowIdentifier(const QString& identifier) {
    return identifier.compare(QLatin1String("miniprogress"), Qt::CaseInsensitive) == 0;
}

QWidget* MyProgressWindowController::window() {
    VORN_ASSERT_MAIN_THREAD();
    if (!loaded_) {
        loaded_ = true;
        window_ = ProgressPanel::loadFromInterfaceFile(nibName_);
        if (window_) windowDidLoad();
    }
    return window_;
}

ProgressPanel* MyProgressWindowController::panel() const { return qobject_cast<ProgressPanel*>(window_); }

void MyProgressWindowController::windowDidLoad() {
    systemLog(fmt("Inside %@ => %@...", description(), "windowDidLoad"));
    // Above ordinary windows, translucent (the panel sets its own level and opacity).
    window_->setWindowOpacity(0.7);
    fIsMiniWindow_ = false;
    if (ProgressPanel* p = panel()) fIsMiniWindow_ = isMiniWindowIdentifier(p->identifier());
    // The handlers hold the controller only weakly: a notification posted on another thread while
    // the owner releases it finds it gone instead of running on a destroyed controller.
    NotificationCenter& center = NotificationCenter::defaultCenter();
    const std::weak_ptr<MyProgressWindowController> weak = weak_from_this();
    center.addObserver(this, kProgressNotification, nullptr, [weak](const Notification& n) {
        if (auto self = weak.lock()) self->handleProgressNotication(n);
    });
    center.addObserver(this, kCloseNotification, nullptr, [weak](const Notification& n) {
        if (auto self = weak.lock()) self->handleCloseProgressNotication(n);
    });
}

QProgressBar* MyProgressWindowController::ibProgressIndicator() const { return panel() ? panel()->progressIndicator() : nullptr; }
QLabel* MyProgressWindowController::ibProgressTextField() const { return panel() ? panel()->textField() : nullptr; }
QLabel* MyProgressWindowController::ibProgressTitle() const { return panel() ? panel()->titleField() : nullptr; }

void MyProgressWindowController::setMessage(const QString& message) {
    // The queued work holds the controller and the message until it has run.
    auto self = weak_from_this().lock();
    if (!self) return;  // being released: nothing more to show
    DispatchQueue::main().async([self, message] {
        if (ProgressPanel* p = self->panel()) {
            p->textField()->setText(message);
            p->startAnimation();
        }
    });
}

void MyProgressWindowController::showProgressWindow() {
    auto self = weak_from_this().lock();
    if (!self || !panel()) return;
    DispatchQueue::main().async([self] {
        ProgressPanel* p = self->panel();
        if (!p->isVisible()) p->show();
        p->startAnimation();
        NotificationCenter::defaultCenter().postNotificationName(kBringSelfToFront, nullptr);
    });
}

void MyProgressWindowController::hideProgressWindow() {
    auto self = weak_from_this().lock();
    if (!self || !panel()) return;
    DispatchQueue::main().async([self] {
        ProgressPanel* p = self->panel();
        p->stopAnimation();
        p->hide();
    });
}

void MyProgressWindowController::handleProgressNotication(const Notification& notification) {
    systemLog(fmt("Inside %@ => %@...", description(), "handleProgressNotication:"));
    const auto* message = std::any_cast<QString>(&notification.object);
    if (notification.userInfo || !message) return;
    showProgressWindow();
    setMessage(*message);
}

void MyProgressWindowController::handleCloseProgressNotication(const Notification& notification) {
    Q_UNUSED(notification);
    systemLog(fmt("Inside %@ => %@...", description(), "handleCloseProgressNotication:"));
    hideProgressWindow();
}
