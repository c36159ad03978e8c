#pragma once

#include <QWidget>

#include <memory>

class QLabel;
class QProgressBar;

namespace Ui {
class ProgressPanel;
}

// The small floating panel of the interface file "MyProgressWindowController": frameless, above
// every other window, 0.7 opaque, with a busy indicator, a title and a message.
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

protected:
    void showEvent(QShowEvent* event) override;

private:
    ProgressPanel();
    std::unique_ptr<Ui::ProgressPanel> ui_;
};
