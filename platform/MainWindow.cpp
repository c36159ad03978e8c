#include "platform/MainWindow.h"

#include "platform/Application.h"
#include "platform/PlayerView.h"
#include "platform/StatusImages.h"

#include "ui_MainMenu.h"

#include <QMenuBar>

MainWindow::MainWindow(QWidget* parent) : QMainWindow(parent), ui_(std::make_unique<Ui::MainWindow>()) {
    ui_->setupUi(this);
    // The interface file holds the place of the video; the view that fits this machine takes it.
    playerView_ = PlayerView::create(ui_->centralwidget);
    playerView_->setObjectName(QStringLiteral("playerview"));
    delete ui_->videoLayout->replaceWidget(ui_->playerview, playerView_);
    delete ui_->playerview;
    ui_->playerview = nullptr;
    ui_->statusImageView->raise();
    QPalette black = palette();
    black.setColor(QPalette::Window, Qt::black);
    setPalette(black);
    connect(ui_->actionQuit, &QAction::triggered, this, [] { terminateApplication(); });
}

MainWindow::~MainWindow() = default;

void MainWindow::setMenuBarVisible(bool visible) { menuBar()->setVisible(visible); }

void MainWindow::applyPlaybackStyle(const QRect& screenFrame) {
    setStyleSheet(styleSheet() + QStringLiteral(" QMainWindow { background-color: black; }"));
    setWindowFlag(Qt::FramelessWindowHint, true);
    setGeometry(screenFrame);
    if (screenFrame.isEmpty()) {
        show();
        return;
    }
    showFullScreen();
}
QLabel* MainWindow::statusImageView() const { return ui_->statusImageView; }
QAction* MainWindow::quitAction() const { return ui_->actionQuit; }
QAction* MainWindow::preferencesAction() const { return ui_->actionPreferences; }
QAction* MainWindow::locateSourceFolderAction() const { return ui_->actionLocateSourceFolder; }

void MainWindow::setStatusImage(const QImage& image) {
    ui_->statusImageView->setPixmap(image.isNull() ? QPixmap() : QPixmap::fromImage(image));
    ui_->statusImageView->setToolTip(statusImageDescription(image));
}
