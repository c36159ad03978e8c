#pragma once

#include <QString>
#include <QStringList>

#include <functional>

class QObject;
class QWidget;

// An alert with a message, an informative text and buttons, shown window-modal on a window (our
// form of a sheet), so that the rest of the program goes on behind it.
class Alert {
public:
    static constexpr long kFirstButtonReturn = 1000;

    void setMessageText(const QString& text) { message_ = text; }
    void setInformativeText(const QString& text) { informative_ = text; }
    void addButtonWithTitle(const QString& title) { buttons_ += title; }

    // The handler receives 1000 for the first button, 1001 for the second, and so on. Without a
    // window the alert stands alone.
    void beginSheetModalForWindow(QWidget* window, std::function<void(long)> handler) const;

private:
    QString message_;
    QString informative_;
    QStringList buttons_;
};

// The window-modal dialogs (sheets) open on a window now.
QList<QWidget*> sheetsOfWindow(QWidget* window);

// The window a command's sender sits in; none for a sender outside any window (a menu item).
QWidget* windowOfSender(QObject* sender);

// Ends the sheet that holds the button (a window-modal window of another window); false, and
// nothing done, for anything else.
bool endSheetHoldingButton(QObject* sender);
