#include "platform/ui/Alert.h"

#include "platform/core/Description.h"
#include "platform/core/ThreadContract.h"

#include <QAbstractButton>
#include <QDialog>
#include <QEvent>
#include <QMainWindow>
#include <QMenuBar>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>

namespace {

// Puts a sheet at the top edge of the window (just below its menu bar when one shows), centred across it.
void hangFromTopEdge(QWidget* sheet, QWidget* window) {
    if (!sheet || !window) return;
    const QRect frame = window->geometry();
    int top = frame.top();
    if (auto* main = qobject_cast<QMainWindow*>(window); main && main->menuWidget() && main->menuWidget()->isVisible()) {
        top = main->menuWidget()->mapToGlobal(QPoint(0, main->menuWidget()->height())).y();
    }
    sheet->move(frame.center().x() - sheet->frameGeometry().width() / 2, top);
}

// A message box that hangs from the top edge of its window, as a sheet does, instead of standing
// in the middle of the picture; it follows the window when that moves, grows or shows its menu
// bar. (No Q_OBJECT: it still describes itself as a QMessageBox.)
class SheetMessageBox : public QMessageBox {
public:
    explicit SheetMessageBox(QWidget* window) : QMessageBox(window), host_(window) {
        if (!window) return;
        window->installEventFilter(this);
        if (auto* main = qobject_cast<QMainWindow*>(window); main && main->menuWidget()) main->menuWidget()->installEventFilter(this);
    }

protected:
    // After the box has taken its size (QMessageBox sizes itself as it is shown).
    void showEvent(QShowEvent* event) override {
        QMessageBox::showEvent(event);
        hangFromTopEdge(this, host_);
    }
    bool eventFilter(QObject* watched, QEvent* event) override {
        const QEvent::Type type = event->type();
        if (isVisible() && (type == QEvent::Move || type == QEvent::Resize || type == QEvent::Show || type == QEvent::Hide)) {
            hangFromTopEdge(this, host_);
        }
        return QMessageBox::eventFilter(watched, event);
    }
    void resizeEvent(QResizeEvent* event) override {
        QMessageBox::resizeEvent(event);
        if (isVisible()) hangFromTopEdge(this, host_);
    }

private:
    QPointer<QWidget> host_;
};

}  // namespace

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
    auto* box = new SheetMessageBox(window);
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
