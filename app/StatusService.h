#pragma once

#include "app/SourceFolderMonitor.h"
#include "app/PlayQueueState.h"
#include "app/StatusReport.h"
#include "platform/media/Player.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <chrono>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

class QTimer;

// The player's status for those who are not in front of it: the status request of a second
// launch (--status), the service manager's watchdog and status line, and the status server. It
// counts what the player reports, and answers with what the player, the source-folder monitor and
// the process say at the moment of asking.
class StatusService : public std::enable_shared_from_this<StatusService> {
public:
    using SteadyTime = StatusReport::SteadyTime;
    // What an answer reads from the rest of the program; called on the main thread.
    struct Sources {
        std::function<Player::Status()> player;  // the current player's item, or no item
        std::function<std::optional<SteadyTime>()> lastFrame;
        std::function<QByteArray(int width)> screenshotPng;
        // What the play queue expects next, for the operator's page.
        std::function<PlayQueueState::Outlook()> queue;
        QString logPath;
        std::function<LocalCopies::Stats()> localCopies;  // none: no local copies
        std::function<QString()> sourceFolderNote;      // what lies where the player does not look
    };

    explicit StatusService(std::shared_ptr<SourceFolderMonitor> sourceFolder);

    // What the player did, from any thread.
    void itemStarted(const QString& path);
    void itemEnded(const PlayerItemEnd& end);
    void itemFailed();
    // The scan found a file newer than the last new one. Any thread.
    void newItemArrived(const QString& path);
    // The newest files at a decision: the newest one's modification time, and how many are set aside.
    void newestFilesSeen(const QDateTime& newestModified, qint64 setAside);
    // The source folder's state changed: the status line follows. Any thread.
    void sourceFolderChanged() { statusLineMayChange(); }

    // What the status answers say now. Main thread, once start() has run.
    StatusReport::Snapshot snapshot() const;
    // Answers --status, feeds the watchdog and starts the status server where one is set. Main
    // thread, once.
    void start(Sources sources);

    // The service manager's status line: "Playing <path>"; "Opening <path> for N s" while the item
    // has not opened, "Ended <path>..." while its last frame stays; with the source folder's state
    // while it is not there.
    static QString statusLine(const Player::Status& player, SourceFolderMonitor::State folder, SteadyTime now);
    // The token in the first line of a file that only its owner and group may read; none, with
    // the reason in `why`, for a file others may read, one that cannot be read, or an empty one.
    static std::optional<QByteArray> tokenFromFile(const QString& path, QString* why);
    // How long the status server waits before it tries again to listen.
    static constexpr std::chrono::seconds kListenRetry{30};

private:
    QByteArray jsonAnswer() const;  // main thread
    std::pair<bool, QByteArray> healthAnswer() const;  // main thread: /healthz, healthy or not and a line why
    QByteArray pageAnswer() const;  // main thread
    // Listens where the settings say, read afresh at each try; a failure is said on standard
    // error, in the log and in the service's status line, and tried again after kListenRetry.
    void startServer();
    // Keeps the service manager's status line true while an item opens or the share comes and goes.
    void followStatusLine();
    // Something the status line says may have changed: it is brought up to date on the main
    // thread. Any thread.
    void statusLineMayChange();
    // Tells the service manager the line when it changed. While an item opens or plays the line
    // may change with no event (it counts the seconds; an item handed in counts as opening once
    // the current one is past its end), and a timer runs; while the last picture stays, none does.
    // Main thread.
    void updateStatusLine();
    // The token the server requires: from the token file, else the setting; none when the file
    // is refused (the server then stays shut rather than open to everyone).
    std::optional<QByteArray> serverToken(QString* why) const;
    void setServerProblem(const QString& problem);
    // The status line with what keeps the status server shut, if anything.
    QString withServerProblem(const QString& line) const;

    StatusReport report_;
    mutable std::mutex serverProblemMutex_;
    QString serverProblem_;  // why the status server does not listen; empty while it does
    QString lastLoudProblem_;  // main thread
    const std::shared_ptr<SourceFolderMonitor> sourceFolder_;
    std::atomic<bool> followingStatusLine_{false};
    QTimer* statusLineTimer_ = nullptr;  // main thread
    QString statusLineSaid_;  // main thread
    Sources sources_;  // set once, on the main thread, before anything reads it
};
