#pragma once

#include <QMainWindow>

#include <functional>
#include <memory>

class PlayerView;
class QAction;
class QImage;
class QLabel;
class QMenu;
class QTimer;

namespace Ui {
class MainWindow;
}

// The main window of the main interface file: the video view filling the window, the source
// folder's status light in its top right corner, and the menu bar with every command. The same
// commands come up on a right click on the video, and their shortcuts work while the menu bar is
// hidden. The mouse pointer hides after 3 s without movement over the video. Main thread only.
class MainWindow : public QMainWindow {
    Q_OBJECT

public:
    // The commands of the menu bar, the context menu and their shortcuts.
    enum class Command {
        OpenFiles,
        ChangeSourceFolder,
        LocateSourceFolder,
        RevealSourceFolder,
        RevealLogs,
        EmailLogs,
        Preferences,
    };

    explicit MainWindow(QWidget* parent = nullptr);
    ~MainWindow() override;

    PlayerView* playerView() const { return playerView_; }
    QLabel* statusImageView() const;

    QAction* openFilesAction() const;
    QAction* changeSourceFolderAction() const;
    QAction* locateSourceFolderAction() const;
    QAction* revealSourceFolderAction() const;
    QAction* revealLogsAction() const;
    QAction* emailLogsAction() const;
    QAction* showMenuBarAction() const;
    QAction* preferencesAction() const;
    QAction* quitAction() const;

    // What a command does; the handler gets the control that sent it.
    void setCommandHandler(Command command, std::function<void(QObject* sender)> handler);
    // What showing or hiding the menu bar does; `shown` is what the menu item now asks for.
    void setShowMenuBarHandler(std::function<void(bool shown, QObject* sender)> handler);

    // The menu a right click on the video brings up.
    QMenu* contextMenu() const { return contextMenu_; }

    void setMenuBarVisible(bool visible);
    // Black, without title bar or frame, covering the whole of the given screen frame (menu
    // and panel areas included); an empty frame leaves an empty window.
    void applyPlaybackStyle(const QRect& screenFrame);
    // Shows the status light in the corner, with a tooltip naming its state and, below, the
    // detail given; a null image clears it.
    void setStatusImage(const QImage& image, const QString& detail = QString());
    // What the window shows now, as a PNG at most maxWidth pixels wide; empty when it cannot be taken.
    QByteArray snapshotPng(int maxWidth);

    static constexpr int kCursorHideMilliseconds = 3000;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    std::unique_ptr<Ui::MainWindow> ui_;
    PlayerView* playerView_ = nullptr;
    QMenu* contextMenu_ = nullptr;
    QTimer* cursorTimer_ = nullptr;
};
