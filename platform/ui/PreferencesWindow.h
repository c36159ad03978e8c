#pragma once

#include "platform/ui/PreferencesModel.h"

#include <QDialog>
#include <QHash>

#include <functional>
#include <memory>

class QCheckBox;
class QImage;
class QLabel;
class QLineEdit;
class QPushButton;
class QSpinBox;

namespace Ui {
class PreferencesWindow;
}


// The preferences window of the main interface, shown window-modal on the main window. Each control
// stands for the setting the model binds to it; one that the model leaves out is disabled. Every edit
// goes to the settings store at once; numbers stay within the model's bounds; the daily folder
// pattern shows today's folder name as it is typed and is stored only when it can name a folder.
// Main thread only.
class PreferencesWindow : public QDialog {
    Q_OBJECT

public:
    explicit PreferencesWindow(QWidget* parent = nullptr);
    ~PreferencesWindow() override;

    // What the buttons ask of the application; the sender is the button.
    std::function<void(QObject* sender)> onChangeSourceFolder;
    std::function<void(QObject* sender)> onClose;
    std::function<void()> onMenuBarSettingChanged;

    // The settings behind the controls; set once, before the window is first shown.
    void setModel(const PreferencesModel& model);
    // The key of the setting that the model bound to this control; a null string for none.
    QString boundKey(const QWidget* control) const;
    // Reads every setting into the window (done each time it is shown).
    void reload();
    // Shows the window as a sheet of its parent; whenEnded runs once when it is closed.
    void openAsSheet(std::function<void()> whenEnded);
    void setStatusImage(const QImage& image, const QString& detail = QString());

    QLineEdit* sourceFolderPath() const;
    QLabel* sourceStatusLight() const;
    QPushButton* changeSourceFolderButton() const;
    QLineEdit* dailyPattern() const;
    QLabel* dailyPatternPreview() const;
    QSpinBox* newestCount() const;
    QSpinBox* repeatCount() const;
    QCheckBox* createMissingFolder() const;
    QCheckBox* showMenuBar() const;
    QPushButton* closeButton() const;

protected:
    void showEvent(QShowEvent* event) override;

private:
    QWidget* control(PreferencesControl which) const;
    void patternEdited(const QString& text);
    void showPreview(const QString& pattern);

    std::unique_ptr<Ui::PreferencesWindow> ui_;
    PreferencesModel model_;
    QHash<const QWidget*, QString> keys_;
    bool loading_ = false;
};
