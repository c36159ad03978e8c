#pragma once

#include <QMainWindow>

#include <memory>

class PlayerView;
class QAction;
class QImage;
class QLabel;

namespace Ui {
class MainWindow;
}

// The main window of the main interface file: the video view filling the window, the source
// folder's status light in its top right corner, and the menu bar.
class MainWindow : public QMainWindow {
    Q_OBJECT

public:
    explicit MainWindow(QWidget* parent = nullptr);
    ~MainWindow() override;

    PlayerView* playerView() const { return playerView_; }
    QLabel* statusImageView() const;
    QAction* quitAction() const;
    QAction* preferencesAction() const;
    QAction* locateSourceFolderAction() const;

    // Shows the status light in the corner, with a tooltip naming its state; a null image clears it.
    void setStatusImage(const QImage& image);

    void setMenuBarVisible(bool visible);
    // Black, without title bar or frame, covering the whole of the given screen frame (menu
    // and panel areas included); an empty frame leaves an empty window.
    void applyPlaybackStyle(const QRect& screenFrame);

private:
    std::unique_ptr<Ui::MainWindow> ui_;
    PlayerView* playerView_ = nullptr;
};
