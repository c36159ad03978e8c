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

void ProgressPanel::showEvent(QShowEvent* event) {
    // In the middle of the screen the player stands on.
    QScreen* screen = QGuiApplication::primaryScreen();
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (qobject_cast<QMainWindow*>(w) && w->isVisible() && w->screen()) screen = w->screen();
    }
    if (screen) move(screen->geometry().center() - rect().center());
    QWidget::showEvent(event);
}
