#pragma once

#include <QPointer>
#include <QWidget>

#include <memory>

class QLabel;
class QMainWindow;
class QProgressBar;

namespace Ui {
class ProgressPanel;
}

// The small floating panel of the interface file "MyProgressWindowController": frameless, above
// every other window, 0.7 opaque, with a busy indicator, a title and a message. It stands in the
// top left corner of the main window's picture and follows the window, so that it never covers
// the middle of the video.
class ProgressPanel : public QWidget {
    Q_OBJECT

public:
    // The panel of the named interface file; none when there is no such file.
    static ProgressPanel* loadFromInterfaceFile(const QString& name);

    ~ProgressPanel() override;

    QProgressBar* progressIndicator() const;
    QLabel* textField() const;
    QLabel* titleField() const;

    void startAnimation();
    void stopAnimation();
    // The identifier given in the interface file, if any.
    QString identifier() const { return property("identifier").toString(); }

    static constexpr int kCornerMargin = 16;

protected:
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    ProgressPanel();
    QRect pictureArea() const;
    void placeInCorner();
    void followMainWindow();

    QPointer<QMainWindow> mainWindow_;
    std::unique_ptr<Ui::ProgressPanel> ui_;
};
