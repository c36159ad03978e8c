#include "platform/MainWindow.h"

#include "platform/Application.h"

#include "ui_MainMenu.h"

MainWindow::MainWindow(QWidget* parent) : QMainWindow(parent), ui_(std::make_unique<Ui::MainWindow>()) {
    ui_->setupUi(this);
    QPalette black = palette();
    black.setColor(QPalette::Window, Qt::black);
    ui_->playerview->setPalette(black);
    connect(ui_->actionQuit, &QAction::triggered, this, [] { terminateApplication(); });
}

MainWindow::~MainWindow() = default;

QWidget* MainWindow::videoArea() const { return ui_->playerview; }
QLabel* MainWindow::statusImageView() const { return ui_->statusImageView; }
QAction* MainWindow::quitAction() const { return ui_->actionQuit; }
