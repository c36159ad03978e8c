#include "platform/ui/OpenPanel.h"

#include "platform/core/ThreadContract.h"
#include "platform/ui/Alert.h"

#include <QFileDialog>

void OpenPanel::beginSheetModalForWindow(const SheetHost& host,
                                         std::function<void(long, const QList<QUrl>&)> handler) const {
    VORN_ASSERT_MAIN_THREAD();
    QWidget* window = host.window();
    auto* dialog = new QFileDialog(window);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setWindowModality(window ? Qt::WindowModal : Qt::ApplicationModal);
    // Qt's own dialog: the same on every desktop, and a real child of the window.
    dialog->setOption(QFileDialog::DontUseNativeDialog);
    if (directories_ && !files_) {
        dialog->setFileMode(QFileDialog::Directory);
        dialog->setOption(QFileDialog::ShowDirsOnly);
    } else {
        dialog->setFileMode(multiple_ ? QFileDialog::ExistingFiles : QFileDialog::ExistingFile);
    }
    dialog->setOption(QFileDialog::ReadOnly, !createDirectories_);
    if (!types_.isEmpty()) {
        QStringList patterns;
        for (const QString& type : types_) patterns << QStringLiteral("*.") + type.toLower() << QStringLiteral("*.") + type.toUpper();
        dialog->setNameFilter(QObject::tr("Videos (%1)").arg(patterns.join(QLatin1Char(' '))));
    }
    if (!message_.isEmpty()) dialog->setWindowTitle(message_);
    if (!prompt_.isEmpty()) dialog->setLabelText(QFileDialog::Accept, prompt_);
    if (directory_.isValid()) dialog->setDirectoryUrl(directory_);
    QObject::connect(dialog, &QDialog::finished, dialog, [dialog, handler](int result) {
        if (!handler) return;
        if (result == QDialog::Accepted) {
            handler(kOK, dialog->selectedUrls());
        } else {
            handler(kCancel, {});
        }
    });
    dialog->open();
}
