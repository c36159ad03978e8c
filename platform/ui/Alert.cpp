#include "platform/ui/Alert.h"

#include "platform/core/Description.h"
#include "platform/core/ThreadContract.h"

#include <QAbstractButton>
#include <QDialog>
#include <QMessageBox>
#include <QPushButton>

SheetHost SheetHost::forSender(QObject* sender, QWidget* fallback) {
    auto* widget = qobject_cast<QWidget*>(sender);
    return SheetHost(widget ? widget->window() : fallback);
}

QVariantList SheetHost::describeSheets() const {
    QVariantList described;
    if (!window_) return described;
    for (QWidget* child : window_->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly)) {
        if (child->isWindow() && child->isVisible() && child->windowModality() == Qt::WindowModal) {
            described += Description::ofObject(child->metaObject()->className(), child);
        }
    }
    return described;
}

void Alert::beginSheetModalForWindow(const SheetHost& host, std::function<void(long)> handler) const {
    VORN_ASSERT_MAIN_THREAD();
    QWidget* window = host.window();
    auto* box = new QMessageBox(window);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(window ? Qt::WindowModal : Qt::ApplicationModal);
    box->setIcon(QMessageBox::Warning);
    box->setText(message_);
    box->setInformativeText(informative_);
    QList<QAbstractButton*> buttons;
    for (const QString& title : buttons_.isEmpty() ? QStringList{QStringLiteral("OK")} : buttons_) {
        buttons += box->addButton(title, QMessageBox::AcceptRole);
    }
    box->setDefaultButton(qobject_cast<QPushButton*>(buttons.first()));
    box->setEscapeButton(buttons.last());
    QObject::connect(box, &QMessageBox::buttonClicked, box, [buttons, handler](QAbstractButton* clicked) {
        if (handler) handler(Alert::kFirstButtonReturn + buttons.indexOf(clicked));
    });
    box->open();
}

bool endSheetHoldingButton(QObject* sender) {
    auto* button = qobject_cast<QAbstractButton*>(sender);
    if (!button) return false;
    QWidget* sheet = button->window();
    if (!sheet || sheet->windowModality() != Qt::WindowModal || !sheet->parentWidget()) return false;
    if (auto* dialog = qobject_cast<QDialog*>(sheet)) {
        dialog->done(QDialog::Rejected);
    } else {
        sheet->close();
    }
    return true;
}
