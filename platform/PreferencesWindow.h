#pragma once

#include <QDialog>

#include <memory>

class QPushButton;

namespace Ui {
class PreferencesWindow;
}

// The preferences window of the main interface file, shown window-modal on the main window.
class PreferencesWindow : public QDialog {
    Q_OBJECT

public:
    explicit PreferencesWindow(QWidget* parent = nullptr);
    ~PreferencesWindow() override;

    QWidget* settingsArea() const;
    QPushButton* closeButton() const;

private:
    std::unique_ptr<Ui::PreferencesWindow> ui_;
};
