#include "platform/PreferencesWindow.h"

#include "ui_Preferences.h"

PreferencesWindow::PreferencesWindow(QWidget* parent)
    : QDialog(parent), ui_(std::make_unique<Ui::PreferencesWindow>()) {
    ui_->setupUi(this);
    setWindowModality(Qt::WindowModal);
    connect(ui_->closeButton, &QPushButton::clicked, this, &QDialog::accept);
}

PreferencesWindow::~PreferencesWindow() = default;

QWidget* PreferencesWindow::settingsArea() const { return ui_->settingsArea; }
QPushButton* PreferencesWindow::closeButton() const { return ui_->closeButton; }
