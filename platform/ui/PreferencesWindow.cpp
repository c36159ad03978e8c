#include "platform/ui/PreferencesWindow.h"

#include "platform/core/DateFormatter.h"
#include "platform/ui/StatusImages.h"
#include "platform/core/UserDefaults.h"

#include "ui_Preferences.h"

#include <chrono>

namespace {

const QString kFolder = QStringLiteral("prefTamrinVideosFolder");
const QString kPattern = QStringLiteral("prefDailyDateFormat");
const QString kCount = QStringLiteral("prefRepeatListItemsCount");
const QString kLoops = QStringLiteral("prefNewMovieRepeatLoopCount");
const QString kCreate = QStringLiteral("prefDoAttemptToCreateFolderIfMissing");
const QString kMenuBar = QStringLiteral("prefDoShowMenuBar");

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
        if (!loading_) store().setInteger(value, kCount);
    });
    connect(ui_->repeatCount, qOverload<int>(&QSpinBox::valueChanged), this, [this](int value) {
        if (!loading_) store().setInteger(value, kLoops);
    });
    connect(ui_->createMissingFolder, &QCheckBox::toggled, this, [this](bool on) {
        if (!loading_) store().setBool(on, kCreate);
    });
    connect(ui_->showMenuBar, &QCheckBox::toggled, this, [this](bool on) {
        if (loading_) return;
        store().setBool(on, kMenuBar);
        if (onMenuBarSettingChanged) onMenuBarSettingChanged();
    });
}

PreferencesWindow::~PreferencesWindow() = default;

void PreferencesWindow::reload() {
    loading_ = true;
    ui_->sourceFolderPath->setText(store().stringForKey(kFolder));
    const QString pattern = store().stringForKey(kPattern);
    ui_->dailyPattern->setText(pattern);
    showPreview(pattern);
    ui_->newestCount->setValue(static_cast<int>(store().integerForKey(kCount)));  // clamped by the box
    ui_->repeatCount->setValue(static_cast<int>(store().integerForKey(kLoops)));
    ui_->createMissingFolder->setChecked(store().boolForKey(kCreate));
    ui_->showMenuBar->setChecked(store().boolForKey(kMenuBar));
    loading_ = false;
}

void PreferencesWindow::patternEdited(const QString& text) {
    const QString pattern = text.trimmed();
    if (pattern.isEmpty()) {
        store().removeObjectForKey(kPattern);  // the factory pattern, or yyyyMMdd, applies again
    } else if (DateFormatter::folderPatternProblem(pattern).isEmpty()) {
        store().setObject(pattern, kPattern);
    }
    showPreview(pattern);
}

void PreferencesWindow::showPreview(const QString& typed) {
    const QString pattern = typed.trimmed().isEmpty() ? QStringLiteral("yyyyMMdd") : typed.trimmed();
    const QString problem = DateFormatter::folderPatternProblem(pattern);
    if (!problem.isEmpty()) {
        ui_->dailyPatternPreview->setStyleSheet(QStringLiteral("color: #c62828;"));
        ui_->dailyPatternPreview->setText(tr("Not a usable pattern (%1): not saved").arg(problem));
        return;
    }
    // The day changes at 03:00.
    const QString today =
        DateFormatter(pattern).stringFromDate(DateFormatter::Clock::now() - std::chrono::hours(3));
    ui_->dailyPatternPreview->setStyleSheet(QString());
    ui_->dailyPatternPreview->setText(tr("Today's folder: %1").arg(today));
}

void PreferencesWindow::setStatusImage(const QImage& image) {
    ui_->sourceStatusLight->setPixmap(image.isNull() ? QPixmap() : QPixmap::fromImage(image));
    ui_->sourceStatusLight->setToolTip(statusImageDescription(image));
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
