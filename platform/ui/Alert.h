#pragma once

#include <QPointer>
#include <QString>
#include <QStringList>
#include <QVariantList>
#include <QWidget>

#include <functional>

class QObject;

// The window a sheet hangs from: the window that holds a command's sender, or a given window
// (the main window) for a sender outside any window, such as a menu item. None stands alone.
class SheetHost {
public:
    SheetHost() = default;
    explicit SheetHost(QWidget* window) : window_(window) {}
    static SheetHost forSender(QObject* sender, QWidget* fallback);

    QWidget* window() const { return window_.data(); }
    // The window-modal dialogs (sheets) open on the window now, as "<ClassName: 0x...>".
    QVariantList describeSheets() const;

private:
    QPointer<QWidget> window_;
};

// An alert with a message, an informative text and buttons, shown window-modal on a window (our
// form of a sheet), so that the rest of the program goes on behind it. It hangs from the window's
// top edge (below its menu bar), horizontally centred, leaving the middle of the picture free.
class Alert {
public:
    static constexpr long kFirstButtonReturn = 1000;

    void setMessageText(const QString& text) { message_ = text; }
    void setInformativeText(const QString& text) { informative_ = text; }
    void addButtonWithTitle(const QString& title) { buttons_ += title; }

    // The handler receives 1000 for the first button, 1001 for the second, and so on. Without a
    // window the alert stands alone. Main thread.
    void beginSheetModalForWindow(const SheetHost& host, std::function<void(long)> handler) const;

private:
    QString message_;
    QString informative_;
    QStringList buttons_;
};

// Ends the sheet that holds the button (a window-modal window of another window); false, and
// nothing done, for anything else.
bool endSheetHoldingButton(QObject* sender);
