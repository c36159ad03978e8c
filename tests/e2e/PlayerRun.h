#pragma once

// Runs the real player (build/vornplayer) in a home, configuration and runtime folder of its
// own, on Qt's offscreen platform unless told otherwise.
#include "TestSupport.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>

#include <memory>

#include <signal.h>
#include <sys/stat.h>

namespace test {

// Never kill(0, ...): a process that has ended reports id 0, and that would signal our own group.
inline void signalProcess(const QProcess& p, int signal) {
    const qint64 pid = p.processId();
    if (pid > 0) ::kill(static_cast<pid_t>(pid), signal);
}

// Reads the process's output until a line equals `line`.
inline bool waitForOutputLine(QProcess& p, const QString& line, int timeoutMs = 15000) {
    return waitUntil(
        [&] {
            p.waitForReadyRead(0);  // takes in what the process wrote, with or without an event loop
            while (p.canReadLine()) {
                if (QString::fromUtf8(p.readLine()).trimmed() == line) return true;
            }
            return false;
        },
        timeoutMs, 20);
}

class PlayerRun {
public:
    explicit PlayerRun(bool withLogFolder = true) {
        QDir(root.path()).mkpath("home");
        QDir(root.path()).mkpath("config");
        QDir(root.path()).mkpath("run");
        QFile::setPermissions(root.filePath("run"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        if (withLogFolder) QDir(root.path()).mkpath("home/Library/Logs/Vorn");
        env = QProcessEnvironment::systemEnvironment();
        env.insert("HOME", root.filePath("home"));
        env.insert("XDG_CONFIG_HOME", root.filePath("config"));
        env.insert("XDG_RUNTIME_DIR", root.filePath("run"));
        env.insert("XDG_CACHE_HOME", root.filePath("cache"));
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.insert("VORNPLAYER_VIDEO_OUTPUT", "null");
        env.remove("DBUS_SESSION_BUS_ADDRESS");
        executable = QStringLiteral(VORNPLAYER_EXE);
    }

    QString logPath() const { return root.filePath("home/Library/Logs/Vorn/VornPlayer.log"); }
    QString oldLogPath() const { return root.filePath("home/Library/Logs/Vorn/VornPlayer_old.log"); }
    QString settingsPath() const { return root.filePath("config/Vorn/VornPlayer.conf"); }
    QString log() const { return QString::fromUtf8(readAll(logPath())); }

    std::unique_ptr<QProcess> launch(const QStringList& args = {}, bool strictUmask = false) const {
        auto p = std::make_unique<QProcess>();
        p->setProcessEnvironment(env);
        p->setWorkingDirectory(root.path());
        p->setProcessChannelMode(QProcess::ForwardedChannels);
        if (strictUmask) p->setChildProcessModifier([] { umask(077); });
        p->start(executable, args);
        p->waitForStarted();
        return p;
    }

    void start(const QStringList& args = {}, bool strictUmask = false) { process = launch(args, strictUmask); }

    // Starts the player with its standard error kept apart, for standardError().
    void startCapturingStandardError(const QStringList& arguments) {
        process = std::make_unique<QProcess>();
        process->setProcessEnvironment(env);
        process->setWorkingDirectory(root.path());
        process->setProcessChannelMode(QProcess::SeparateChannels);
        process->start(executable, arguments);
        process->waitForStarted();
    }
    // All the player started by startCapturingStandardError() wrote on standard error so far.
    QString standardError() {
        if (process) {
            process->waitForReadyRead(0);
            stderrText += QString::fromLocal8Bit(process->readAllStandardError());
        }
        return stderrText;
    }

    // Polls the log until it holds the text.
    bool waitForLog(const QString& text, int timeoutMs = 15000) const {
        return waitUntil([&] { return log().contains(text); }, timeoutMs, 50);
    }

    // What --status --json answers of the player that runs in this run's folders.
    QJsonObject statusJson() const {
        QProcess p;
        p.setProcessEnvironment(env);
        p.start(QStringLiteral(VORNPLAYER_EXE), {"--status", "--json"});
        if (!p.waitForFinished(10000)) p.kill();
        return QJsonDocument::fromJson(p.readAllStandardOutput()).object();
    }

    // When the log's first line holding `text` was written; invalid when none holds it.
    QDateTime logTimeOf(const QString& text) const {
        for (const QString& line : log().split('\n')) {
            if (line.contains(text)) return QDateTime::fromString(line.mid(3, 23), "yyyy/MM/dd HH:mm:ss.zzz");
        }
        return QDateTime();
    }
    // Milliseconds from the first poll to the first item handed to a player, by the log.
    qint64 firstItemAfterFirstPollMs() const { return logTimeOf("start polling").msecsTo(logTimeOf("first av item")); }

    // Sends the signal and returns the exit status (-1 when it did not end normally in time).
    int stop(int signal = SIGTERM) {
        if (!process) return -1;
        signalProcess(*process, signal);
        if (!process->waitForFinished(15000)) {
            process->kill();
            process->waitForFinished();
            return -1;
        }
        return process->exitStatus() == QProcess::NormalExit ? process->exitCode() : -1;
    }

    ~PlayerRun() {
        if (process && process->state() != QProcess::NotRunning) {
            process->kill();
            process->waitForFinished();
        }
    }

    QTemporaryDir root;
    QProcessEnvironment env;
    QString executable;
    std::unique_ptr<QProcess> process;
    QString stderrText;
};

}  // namespace test
