#include "platform/ui/ProgressPanel.h"

#include "ui_MyProgressWindowController.h"

#include <QApplication>
#include <QMainWindow>
#include <QScreen>

ProgressPanel* ProgressPanel::loadFromInterfaceFile(const QString& name) {
    if (name != QLatin1String("MyProgressWindowController")) return nullptr;
    return new ProgressPanel;
}

ProgressPanel::ProgressPanel() : ui_(std::make_unique<Ui::ProgressPanel>()) {
    ui_->setupUi(this);
    setWindowFlags(Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint | Qt::WindowDoesNotAcceptFocus);
    setAttribute(Qt::WA_ShowWithoutActivating);
    setAttribute(Qt::WA_StyledBackground);
    setWindowOpacity(0.7);
}

ProgressPanel::~ProgressPanel() = default;

QProgressBar* ProgressPanel::progressIndicator() const { return ui_->ibProgressIndicator; }
QLabel* ProgressPanel::textField() const { return ui_->ibProgressTextField; }
QLabel* ProgressPanel::titleField() const { return ui_->ibProgressTitle; }

// A range of 0 to 0 makes the bar a busy indicator that moves by itself.
void ProgressPanel::startAnimation() { ui_->ibProgressIndicator->setRange(0, 0); }
void ProgressPanel::stopAnimation() { ui_->ibProgressIndicator->setRange(0, 1); }

// The main window's picture area (below its menu bar when it shows one), in screen coordinates;
// the primary screen's when there is no main window yet.
QRect ProgressPanel::pictureArea() const {
    if (mainWindow_) {
        QWidget* picture = mainWindow_->centralWidget() ? mainWindow_->centralWidget() : mainWindow_.data();
        return QRect(picture->mapToGlobal(QPoint(0, 0)), picture->size());
    }
    QScreen* screen = QGuiApplication::primaryScreen();
    return screen ? screen->geometry() : QRect();
}

// In the top left corner of the picture, clear of its middle and of the status light in the other corner.
void ProgressPanel::placeInCorner() {
    const QRect area = pictureArea();
    if (area.isEmpty()) return;
    move(area.topLeft() + QPoint(kCornerMargin, kCornerMargin));
}

void ProgressPanel::followMainWindow() {
    QMainWindow* found = nullptr;
    for (QWidget* w : QApplication::topLevelWidgets()) {
        auto* candidate = qobject_cast<QMainWindow*>(w);
        if (candidate && (!found || (candidate->isVisible() && !found->isVisible()))) found = candidate;
    }
    if (found == mainWindow_) return;
    if (mainWindow_) {
        mainWindow_->removeEventFilter(this);
        if (mainWindow_->centralWidget()) mainWindow_->centralWidget()->removeEventFilter(this);
    }
    mainWindow_ = found;
    if (!found) return;
    // The window is often made full screen after the panel came up, and its menu bar comes and goes.
    found->installEventFilter(this);
    if (found->centralWidget()) found->centralWidget()->installEventFilter(this);
}

bool ProgressPanel::eventFilter(QObject* watched, QEvent* event) {
    switch (event->type()) {
        case QEvent::Move:
        case QEvent::Resize:
        case QEvent::Show:
        case QEvent::WindowStateChange:
            if (isVisible()) placeInCorner();
            break;
        default:
            break;
    }
    return QWidget::eventFilter(watched, event);
}

void ProgressPanel::showEvent(QShowEvent* event) {
    followMainWindow();
    placeInCorner();
    QWidget::showEvent(event);
}
