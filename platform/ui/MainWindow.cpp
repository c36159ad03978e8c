#include "platform/ui/MainWindow.h"

#include "platform/ui/Application.h"
#include "platform/media/PlayerView.h"
#include "platform/ui/StatusImages.h"

#include "ui_MainMenu.h"

#include <QApplication>
#include <QBuffer>
#include <QMenu>
#include <QMenuBar>
#include <QMouseEvent>
#include <QTimer>

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

    // Every command stays reachable by its shortcut and on the video's context menu when the
    // menu bar is hidden.
    const QList<QAction*> groups[] = {
        {ui_->actionOpenFiles},
        {ui_->actionChangeSourceFolder, ui_->actionLocateSourceFolder, ui_->actionRevealSourceFolder},
        {ui_->actionRevealLogs, ui_->actionEmailLogs},
        {ui_->actionShowMenuBar, ui_->actionPreferences},
        {ui_->actionQuit},
    };
    contextMenu_ = new QMenu(this);
    for (const QList<QAction*>& group : groups) {
        if (!contextMenu_->isEmpty()) contextMenu_->addSeparator();
        contextMenu_->addActions(group);
        addActions(group);
    }
    playerView_->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(playerView_, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& at) { contextMenu_->popup(playerView_->mapToGlobal(at)); });
    if (QKeySequence::keyBindings(QKeySequence::Open).size()) {
        ui_->actionOpenFiles->setShortcuts(QKeySequence::keyBindings(QKeySequence::Open));
    }
    if (QKeySequence::keyBindings(QKeySequence::Quit).size()) {
        ui_->actionQuit->setShortcuts(QKeySequence::keyBindings(QKeySequence::Quit));
    }
    connect(ui_->actionQuit, &QAction::triggered, this, [] { terminateApplication(); });

    cursorTimer_ = new QTimer(this);
    cursorTimer_->setSingleShot(true);
    cursorTimer_->setInterval(kCursorHideMilliseconds);
    connect(cursorTimer_, &QTimer::timeout, this, [this] { playerView_->setCursor(Qt::BlankCursor); });
    playerView_->setMouseTracking(true);
    for (QWidget* child : playerView_->findChildren<QWidget*>()) child->setMouseTracking(true);
    qApp->installEventFilter(this);
    cursorTimer_->start();
}

MainWindow::~MainWindow() = default;

void MainWindow::setCommandHandler(Command command, std::function<void(QObject* sender)> handler) {
    QAction* action = nullptr;
    switch (command) {
        case Command::OpenFiles: action = ui_->actionOpenFiles; break;
        case Command::ChangeSourceFolder: action = ui_->actionChangeSourceFolder; break;
        case Command::LocateSourceFolder: action = ui_->actionLocateSourceFolder; break;
        case Command::RevealSourceFolder: action = ui_->actionRevealSourceFolder; break;
        case Command::RevealLogs: action = ui_->actionRevealLogs; break;
        case Command::EmailLogs: action = ui_->actionEmailLogs; break;
        case Command::Preferences: action = ui_->actionPreferences; break;
    }
    connect(action, &QAction::triggered, this, [handler, action] {
        if (handler) handler(action);
    });
}

void MainWindow::setShowMenuBarHandler(std::function<void(bool shown, QObject* sender)> handler) {
    QAction* action = ui_->actionShowMenuBar;
    connect(action, &QAction::triggered, this, [handler, action](bool shown) {
        if (handler) handler(shown, action);
    });
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
    // Any movement of the pointer over the video shows it again for a while.
    if (event->type() == QEvent::MouseMove) {
        auto* widget = qobject_cast<QWidget*>(watched);
        if (widget && (widget == playerView_ || playerView_->isAncestorOf(widget))) {
            playerView_->unsetCursor();
            cursorTimer_->start();
        }
    }
    return QMainWindow::eventFilter(watched, event);
}

QLabel* MainWindow::statusImageView() const { return ui_->statusImageView; }
QAction* MainWindow::openFilesAction() const { return ui_->actionOpenFiles; }
QAction* MainWindow::changeSourceFolderAction() const { return ui_->actionChangeSourceFolder; }
QAction* MainWindow::locateSourceFolderAction() const { return ui_->actionLocateSourceFolder; }
QAction* MainWindow::revealSourceFolderAction() const { return ui_->actionRevealSourceFolder; }
QAction* MainWindow::revealLogsAction() const { return ui_->actionRevealLogs; }
QAction* MainWindow::emailLogsAction() const { return ui_->actionEmailLogs; }
QAction* MainWindow::showMenuBarAction() const { return ui_->actionShowMenuBar; }
QAction* MainWindow::preferencesAction() const { return ui_->actionPreferences; }
QAction* MainWindow::quitAction() const { return ui_->actionQuit; }

void MainWindow::setMenuBarVisible(bool visible) {
    menuBar()->setVisible(visible);
    ui_->actionShowMenuBar->setChecked(visible);
}

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

void MainWindow::setStatusImage(const QImage& image, const QString& detail) {
    ui_->statusImageView->setPixmap(image.isNull() ? QPixmap() : QPixmap::fromImage(image));
    ui_->statusImageView->setToolTip(statusToolTip(image, detail));
}

QByteArray MainWindow::snapshotPng(int maxWidth) {
    QImage image = grab().toImage();
    if (image.isNull()) return QByteArray();
    if (image.width() > maxWidth) image = image.scaledToWidth(maxWidth, Qt::SmoothTransformation);
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    return image.save(&buffer, "PNG") ? png : QByteArray();
}
