#include "platform/ui/PreferencesWindow.h"

#include "platform/core/DateFormatter.h"
#include "platform/core/ThreadContract.h"
#include "platform/ui/StatusImages.h"
#include "platform/core/UserDefaults.h"

#include "ui_Preferences.h"

namespace {

UserDefaults& store() { return UserDefaults::standardUserDefaults(); }

constexpr PreferencesControl kControls[] = {PreferencesControl::SourceFolder,        PreferencesControl::DailyPattern,
                                            PreferencesControl::NewestCount,         PreferencesControl::RepeatCount,
                                            PreferencesControl::CreateMissingFolder, PreferencesControl::ShowMenuBar};

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
    for (QSpinBox* box : {ui_->newestCount, ui_->repeatCount}) {
        connect(box, qOverload<int>(&QSpinBox::valueChanged), this, [this, box](int value) {
            if (!loading_ && keys_.contains(box)) store().setInteger(value, keys_.value(box));
        });
    }
    for (QCheckBox* check : {ui_->createMissingFolder, ui_->showMenuBar}) {
        connect(check, &QCheckBox::toggled, this, [this, check](bool on) {
            if (!loading_ && keys_.contains(check)) store().setBool(on, keys_.value(check));
        });
    }
    // After the setting is stored: the application reads it to show or hide the menu bar.
    connect(ui_->showMenuBar, &QCheckBox::toggled, this, [this] {
        if (!loading_ && keys_.contains(ui_->showMenuBar) && onMenuBarSettingChanged) onMenuBarSettingChanged();
    });
}

PreferencesWindow::~PreferencesWindow() = default;

void PreferencesWindow::setModel(const PreferencesModel& model) {
    VORN_ASSERT_MAIN_THREAD();
    model_ = model;
    keys_.clear();
    loading_ = true;
    for (const PreferencesSetting& setting : model_.settings) {
        QWidget* widget = control(setting.control);
        if (!widget) continue;
        keys_.insert(widget, setting.key);
        if (auto* box = qobject_cast<QSpinBox*>(widget)) box->setRange(setting.minimum, setting.maximum);
    }
    // A control without a setting behind it would edit nothing: it is not offered.
    for (PreferencesControl which : kControls) control(which)->setEnabled(keys_.contains(control(which)));
    loading_ = false;
}

QString PreferencesWindow::boundKey(const QWidget* control) const { return keys_.value(control); }

QWidget* PreferencesWindow::control(PreferencesControl which) const {
    switch (which) {
        case PreferencesControl::SourceFolder: return ui_->sourceFolderPath;
        case PreferencesControl::DailyPattern: return ui_->dailyPattern;
        case PreferencesControl::NewestCount: return ui_->newestCount;
        case PreferencesControl::RepeatCount: return ui_->repeatCount;
        case PreferencesControl::CreateMissingFolder: return ui_->createMissingFolder;
        case PreferencesControl::ShowMenuBar: return ui_->showMenuBar;
        case PreferencesControl::None: break;
    }
    return nullptr;
}

void PreferencesWindow::reload() {
    VORN_ASSERT_MAIN_THREAD();
    loading_ = true;
    // An unbound control reads as an absent setting: empty, 0 or off.
    ui_->sourceFolderPath->setText(store().stringForKey(boundKey(ui_->sourceFolderPath)));
    const QString pattern = store().stringForKey(boundKey(ui_->dailyPattern));
    ui_->dailyPattern->setText(pattern);
    showPreview(pattern);
    // Clamped by the boxes.
    ui_->newestCount->setValue(static_cast<int>(store().integerForKey(boundKey(ui_->newestCount))));
    ui_->repeatCount->setValue(static_cast<int>(store().integerForKey(boundKey(ui_->repeatCount))));
    ui_->createMissingFolder->setChecked(store().boolForKey(boundKey(ui_->createMissingFolder)));
    ui_->showMenuBar->setChecked(store().boolForKey(boundKey(ui_->showMenuBar)));
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
    const QString key = boundKey(ui_->dailyPattern);
    if (!key.isNull() && pattern.isEmpty()) {
        store().removeObjectForKey(key);  // the factory or default pattern applies again
    } else if (!key.isNull() && DateFormatter::folderPatternProblem(pattern).isEmpty()) {
        store().setObject(pattern, key);
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
