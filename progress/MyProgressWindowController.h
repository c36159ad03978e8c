#pragma once

#include <QString>

#include <memory>

class ProgressPanel;
class QLabel;
class QProgressBar;
class QWidget;
struct Notification;

// Shows a small floating panel with a busy indicator and a message while a long step runs. Its
// operations may be called from any thread; every change of the panel happens on the main
// thread, in the order of the calls. Releasing the controller takes the panel off the screen.
class MyProgressWindowController : public std::enable_shared_from_this<MyProgressWindowController> {
public:
    // The controller for the named interface file; the panel loads when window() is first asked.
    static std::shared_ptr<MyProgressWindowController> initWithWindowNibName(const QString& name);
    ~MyProgressWindowController();

    // The panel, loaded on first use (on the main thread); none when the interface file is missing.
    QWidget* window();
    void windowDidLoad();

    void setMessage(const QString& message);
    void showProgressWindow();
    void hideProgressWindow();
    void handleProgressNotication(const Notification& notification);
    void handleCloseProgressNotication(const Notification& notification);

    QProgressBar* ibProgressIndicator() const;
    QLabel* ibProgressTextField() const;
    QLabel* ibProgressTitle() const;
    bool fIsMiniWindow() const { return fIsMiniWindow_; }

    QString description() const;
    static bool isMiniWindowIdentifier(const QString& identifier);

private:
    explicit MyProgressWindowController(const QString& nibName) : nibName_(nibName) {}
    ProgressPanel* panel() const;

    const QString nibName_;
    bool loaded_ = false;
    QWidget* window_ = nullptr;
    bool fIsMiniWindow_ = false;
};
