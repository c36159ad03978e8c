#include "platform/ui/PreferencesWindow.h"

#include "platform/core/DateFormatter.h"
#include "platform/core/ThreadContract.h"
#include "platform/ui/StatusImages.h"
#include "platform/core/UserDefaults.h"

#include "ui_Preferences.h"

namespace {

UserDefaults& store() { return UserDefaults::standardUserDefaults(); }

}  // namespace

PreferencesWindow::PreferencesWindow(QWidget* parent) : QDialog(parent), ui_(std::make_unique<Ui::PreferencesWindow>()) {
    ui_->setupUi(this);
    setWindowModality(Qt::WindowModal);
    connect(ui_->closeButton, &QPushButton::clicked, this, [this] {
        if (onClose) onClose(ui_->closeButton);
    });
    connect(ui_->changeSourceFolderButton, &QPushButton::clicked, this, [this] {
        if (onChangeSourceFolder) onChangeSourceFolder(ui_->changeSourceFolderButton);
    });
    connect(ui_->dailyPattern, &QLineEdit::textEdited, this, &PreferencesWindow::patternEdited);
    connect(ui_->newestCount, qOverload<int>(&QSpinBox::valueChanged), this, [this](int value) {
        if (!loading_) store().setInteger(value, model_.newestCountKey);
    });
    connect(ui_->repeatCount, qOverload<int>(&QSpinBox::valueChanged), this, [this](int value) {
        if (!loading_) store().setInteger(value, model_.repeatCountKey);
    });
    connect(ui_->createMissingFolder, &QCheckBox::toggled, this, [this](bool on) {
        if (!loading_) store().setBool(on, model_.createMissingFolderKey);
    });
    connect(ui_->showMenuBar, &QCheckBox::toggled, this, [this](bool on) {
        if (loading_) return;
        store().setBool(on, model_.showMenuBarKey);
        if (onMenuBarSettingChanged) onMenuBarSettingChanged();
    });
}

PreferencesWindow::~PreferencesWindow() = default;

void PreferencesWindow::setModel(const PreferencesModel& model) {
    VORN_ASSERT_MAIN_THREAD();
    model_ = model;
    loading_ = true;
    ui_->newestCount->setRange(model_.newestCountMinimum, model_.newestCountMaximum);
    ui_->repeatCount->setRange(model_.repeatCountMinimum, model_.repeatCountMaximum);
    loading_ = false;
}

void PreferencesWindow::reload() {
    VORN_ASSERT_MAIN_THREAD();
    loading_ = true;
    ui_->sourceFolderPath->setText(store().stringForKey(model_.sourceFolderKey));
    const QString pattern = store().stringForKey(model_.dailyPatternKey);
    ui_->dailyPattern->setText(pattern);
    showPreview(pattern);
    // Clamped by the boxes.
    ui_->newestCount->setValue(static_cast<int>(store().integerForKey(model_.newestCountKey)));
    ui_->repeatCount->setValue(static_cast<int>(store().integerForKey(model_.repeatCountKey)));
    ui_->createMissingFolder->setChecked(store().boolForKey(model_.createMissingFolderKey));
    ui_->showMenuBar->setChecked(store().boolForKey(model_.showMenuBarKey));
    loading_ = false;
}

void PreferencesWindow::openAsSheet(std::function<void()> whenEnded) {
    VORN_ASSERT_MAIN_THREAD();
    connect(
        this, &QDialog::finished, this,
        [whenEnded] {
            if (whenEnded) whenEnded();
        },
        Qt::SingleShotConnection);
    open();
}

void PreferencesWindow::patternEdited(const QString& text) {
    const QString pattern = text.trimmed();
    if (pattern.isEmpty()) {
        store().removeObjectForKey(model_.dailyPatternKey);  // the factory or default pattern applies again
    } else if (DateFormatter::folderPatternProblem(pattern).isEmpty()) {
        store().setObject(pattern, model_.dailyPatternKey);
    }
    showPreview(pattern);
}

void PreferencesWindow::showPreview(const QString& typed) {
    const QString pattern = typed.trimmed().isEmpty() ? model_.defaultDailyPattern : typed.trimmed();
    const QString problem = DateFormatter::folderPatternProblem(pattern);
    if (!problem.isEmpty()) {
        ui_->dailyPatternPreview->setStyleSheet(QStringLiteral("color: #c62828;"));
        ui_->dailyPatternPreview->setText(tr("Not a usable pattern (%1): not saved").arg(problem));
        return;
    }
    const QString today = model_.todaysFolderName ? model_.todaysFolderName(pattern) : QString();
    ui_->dailyPatternPreview->setStyleSheet(QString());
    ui_->dailyPatternPreview->setText(tr("Today's folder: %1").arg(today));
}

void PreferencesWindow::setStatusImage(const QImage& image, const QString& detail) {
    ui_->sourceStatusLight->setPixmap(image.isNull() ? QPixmap() : QPixmap::fromImage(image));
    ui_->sourceStatusLight->setToolTip(statusToolTip(image, detail));
}

void PreferencesWindow::showEvent(QShowEvent* event) {
    reload();
    QDialog::showEvent(event);
}

QLineEdit* PreferencesWindow::sourceFolderPath() const { return ui_->sourceFolderPath; }
QLabel* PreferencesWindow::sourceStatusLight() const { return ui_->sourceStatusLight; }
QPushButton* PreferencesWindow::changeSourceFolderButton() const { return ui_->changeSourceFolderButton; }
QLineEdit* PreferencesWindow::dailyPattern() const { return ui_->dailyPattern; }
QLabel* PreferencesWindow::dailyPatternPreview() const { return ui_->dailyPatternPreview; }
QSpinBox* PreferencesWindow::newestCount() const { return ui_->newestCount; }
QSpinBox* PreferencesWindow::repeatCount() const { return ui_->repeatCount; }
QCheckBox* PreferencesWindow::createMissingFolder() const { return ui_->createMissingFolder; }
QCheckBox* PreferencesWindow::showMenuBar() const { return ui_->showMenuBar; }
QPushButton* PreferencesWindow::closeButton() const { return ui_->closeButton; }
