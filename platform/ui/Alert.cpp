#include "platform/ui/Alert.h"

#include <QAbstractButton>
#include <QDialog>
#include <QMessageBox>
#include <QPushButton>

void Alert::beginSheetModalForWindow(QWidget* window, std::function<void(long)> handler) const {
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

QList<QWidget*> sheetsOfWindow(QWidget* window) {
    QList<QWidget*> sheets;
    if (!window) return sheets;
    for (QWidget* child : window->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly)) {
        if (child->isWindow() && child->isVisible() && child->windowModality() == Qt::WindowModal) sheets += child;
    }
    return sheets;
}

QWidget* windowOfSender(QObject* sender) {
    auto* widget = qobject_cast<QWidget*>(sender);
    return widget ? widget->window() : nullptr;
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
