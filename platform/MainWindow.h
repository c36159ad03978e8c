#pragma once

#include <QMainWindow>

#include <memory>

class QAction;
class QLabel;
class QMenuBar;

namespace Ui {
class MainWindow;
}

// The main window of the main interface file: a black video area filling the window, the
// source folder's status light in its top right corner, and the menu bar.
class MainWindow : public QMainWindow {
    Q_OBJECT

public:
    explicit MainWindow(QWidget* parent = nullptr);
    ~MainWindow() override;

    QWidget* videoArea() const;
    QLabel* statusImageView() const;
    QAction* quitAction() const;

private:
    std::unique_ptr<Ui::MainWindow> ui_;
};
