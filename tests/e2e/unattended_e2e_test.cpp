// Whole-program tests of running unattended: the command line, the messages to the service
// manager and the status request of a second launch.
#include "e2e/PlaybackFixture.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

namespace {

using test::PlaybackE2E;
using test::PlayerRun;
using Clock = std::chrono::steady_clock;

struct Outcome {
    int status = -1;
    QString out;
    QString err;
    qint64 ms = 0;
};

// Runs the program to its end (the options that answer and exit).
Outcome runToEnd(const PlayerRun& run, const QStringList& args) {
    QProcess p;
    p.setProcessEnvironment(run.env);
    p.setWorkingDirectory(run.root.path());
    QElapsedTimer t;
    t.start();
    p.start(run.executable, args);
    Outcome o;
    if (!p.waitForFinished(15000)) {
        p.kill();
        p.waitForFinished();
        return o;
    }
    o.ms = t.elapsed();
    o.status = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    o.out = QString::fromUtf8(p.readAllStandardOutput());
    o.err = QString::fromUtf8(p.readAllStandardError());
    return o;
}

// The service manager's end of NOTIFY_SOCKET: every datagram, with the time it came.
class NotifySocket {
public:
    struct Message {
        Clock::time_point at;
        QString text;
    };

    explicit NotifySocket(const QString& path) : path_(QFile::encodeName(path)) {
        fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        if (fd_ < 0 || static_cast<size_t>(path_.size()) >= sizeof address.sun_path) return;
        std::memcpy(address.sun_path, path_.constData(), static_cast<size_t>(path_.size()));
        if (bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return;
        reader_ = std::thread([this] { read(); });
    }
    ~NotifySocket() {
        stop_ = true;
        if (reader_.joinable()) reader_.join();
        if (fd_ >= 0) close(fd_);
        unlink(path_.constData());
    }
    bool listening() const { return reader_.joinable(); }

    std::vector<Message> messages() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return messages_;
    }
    // The first message holding this line, waiting for it.
    std::optional<Message> waitFor(const QString& line, int timeoutMs = 15000) const {
        QElapsedTimer t;
        t.start();
        do {
            for (const Message& m : messages()) {
                if (m.text.split('\n').contains(line)) return m;
            }
            QThread::msleep(20);
        } while (t.elapsed() < timeoutMs);
        return std::nullopt;
    }

private:
    void read() {
        char buffer[4096];
        while (!stop_) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0) continue;
            const ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
            if (n <= 0) continue;
            std::lock_guard<std::mutex> lock(mutex_);
            messages_.push_back({Clock::now(), QString::fromUtf8(buffer, static_cast<qsizetype>(n))});
        }
    }

    QByteArray path_;
    int fd_ = -1;
    std::atomic<bool> stop_{false};
    std::thread reader_;
    mutable std::mutex mutex_;
    std::vector<Message> messages_;
};

TEST(CommandLineE2E, HelpVersionAndWrongOptionsAnswerAtOnceAndTouchNothing) {
    PlayerRun run;
    // A log and a settings file that must stay exactly as they are.
    test::writeAll(run.logPath(), "an earlier run's log\n");
    QDir().mkpath(run.root.filePath("config/Vorn"));
    test::writeAll(run.settingsPath(), "[General]\nprefDoShowMenuBar=false\n");
    struct stat logBefore {};
    struct stat settingsBefore {};
    ASSERT_EQ(stat(QFile::encodeName(run.logPath()).constData(), &logBefore), 0);
    ASSERT_EQ(stat(QFile::encodeName(run.settingsPath()).constData(), &settingsBefore), 0);

    const Outcome help = runToEnd(run, {"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_LT(help.ms, 1000);
    EXPECT_TRUE(help.out.startsWith("Usage: vornplayer [options]\n")) << help.out.toStdString();
    for (const char* part : {"--version", "--status", "--json", "-prefKey value", "VornPlayer.conf",
                             "/home/Library/Logs/Vorn/VornPlayer.log", "Exit status:", "3  --status: no instance"}) {
        EXPECT_TRUE(help.out.contains(part)) << part;
    }
    EXPECT_EQ(runToEnd(run, {"-h"}).out, help.out);

    const Outcome version = runToEnd(run, {"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_LT(version.ms, 1000);
    EXPECT_EQ(version.out, "VornPlayer 1.0.0\n");

    // Settings arguments around an option change nothing about it.
    const Outcome both = runToEnd(run, {"-prefTamrinVideosFolder", "--not-an-option", "--version"});
    EXPECT_EQ(both.status, 0);
    EXPECT_EQ(both.out, "VornPlayer 1.0.0\n");

    const Outcome unknown = runToEnd(run, {"--fullscreen"});
    EXPECT_EQ(unknown.status, 2);
    EXPECT_TRUE(unknown.out.isEmpty());
    EXPECT_TRUE(unknown.err.startsWith("vornplayer: Unknown option 'fullscreen'.")) << unknown.err.toStdString();
    EXPECT_TRUE(unknown.err.contains("Usage: vornplayer [options]"));
    EXPECT_EQ(runToEnd(run, {"--json"}).status, 2);
    EXPECT_EQ(runToEnd(run, {"--version=2"}).status, 2);

    const Outcome none = runToEnd(run, {"--status"});
    EXPECT_EQ(none.status, 3);
    EXPECT_TRUE(none.out.isEmpty());
    EXPECT_EQ(none.err, "VornPlayer is not running\n");

    struct stat logAfter {};
    struct stat settingsAfter {};
    ASSERT_EQ(stat(QFile::encodeName(run.logPath()).constData(), &logAfter), 0);
    ASSERT_EQ(stat(QFile::encodeName(run.settingsPath()).constData(), &settingsAfter), 0);
    EXPECT_EQ(test::readAll(run.logPath()), "an earlier run's log\n");
    EXPECT_EQ(logAfter.st_mtim.tv_nsec, logBefore.st_mtim.tv_nsec);
    EXPECT_EQ(logAfter.st_mtim.tv_sec, logBefore.st_mtim.tv_sec);
    EXPECT_EQ(settingsAfter.st_mtim.tv_nsec, settingsBefore.st_mtim.tv_nsec);
    EXPECT_EQ(QDir(run.root.filePath("config/Vorn")).entryList(QDir::Files), QStringList{"VornPlayer.conf"});
    EXPECT_EQ(QDir(run.root.filePath("home/Library/Logs/Vorn")).entryList(QDir::Files), QStringList{"VornPlayer.log"});
}

// Under a service manager: ready once launched, the watchdog fed from the main thread, the current
// item as status, stopping at SIGTERM; and --status answers from another process, or says that the
// instance does not answer when its main thread is stopped.
TEST_F(PlaybackE2E, TheServiceManagerHearsReadyWatchdogStatusAndStoppingAndStatusAnswers) {
    addClip("first.mp4", 30, 1.0);
    NotifySocket notify(run.root.filePath("notify"));
    ASSERT_TRUE(notify.listening());
    run.env.insert("NOTIFY_SOCKET", run.root.filePath("notify"));
    run.env.insert("WATCHDOG_USEC", "2000000");
    run.start(args(3, 2));

    const auto ready = notify.waitFor("READY=1");
    ASSERT_TRUE(ready);
    EXPECT_TRUE(run.log().contains("] infoDictioanry = {")) << "ready only once the launch has begun";
    const QString playing = "STATUS=Playing " + daily + "/first.mp4";
    const auto status = notify.waitFor(playing);
    ASSERT_TRUE(status);
    EXPECT_GE(status->at, ready->at);

    // While the clip plays over and over: never more than a second without WATCHDOG=1.
    const auto pingsSince = [&notify](Clock::time_point from) {
        std::vector<Clock::time_point> pings;
        for (const auto& m : notify.messages()) {
            if (m.text == "WATCHDOG=1" && m.at >= from) pings.push_back(m.at);
        }
        return pings;
    };
    const Clock::time_point from = status->at;
    QElapsedTimer waited;
    waited.start();
    while (pingsSince(from).size() < 9 && waited.elapsed() < 15000) QThread::msleep(50);
    const std::vector<Clock::time_point> pings = pingsSince(from);
    ASSERT_GE(pings.size(), 9u);
    EXPECT_LE(std::chrono::duration_cast<std::chrono::milliseconds>(pings.front() - from).count(), 1000);
    for (size_t i = 1; i < pings.size(); ++i) {
        EXPECT_LE(std::chrono::duration_cast<std::chrono::milliseconds>(pings[i] - pings[i - 1]).count(), 1000);
    }

    const Outcome text = runToEnd(run, {"--status"});
    EXPECT_EQ(text.status, 0) << text.err.toStdString();
    EXPECT_TRUE(text.out.startsWith(QString("VornPlayer 1.0.0, pid %1, up ").arg(run.process->processId())))
        << text.out.toStdString();
    EXPECT_TRUE(text.out.contains("\nPlaying:        " + daily + "/first.mp4 (for ")) << text.out.toStdString();
    EXPECT_TRUE(text.out.contains("\nSource folder:  " + source + " (available)\n"));
    EXPECT_TRUE(text.out.contains("\nLast new item:  " + daily + "/first.mp4 (arrived "));
    EXPECT_TRUE(text.out.contains("\nLog:            " + run.logPath() + " ("));

    const Outcome json = runToEnd(run, {"--status", "--json"});
    EXPECT_EQ(json.status, 0);
    const QJsonObject answer = QJsonDocument::fromJson(json.out.toUtf8()).object();
    EXPECT_EQ(answer.value("pid").toInteger(), run.process->processId());
    EXPECT_EQ(answer.value("currentItem").toObject().value("path").toString(), daily + "/first.mp4");
    EXPECT_GE(answer.value("itemsPlayed").toInteger(), 2);
    EXPECT_EQ(answer.value("itemFailures").toInteger(), 0);
    EXPECT_EQ(answer.value("sourceFolder").toObject().value("available"), QJsonValue(true));
    EXPECT_EQ(answer.value("logPath").toString(), run.logPath());

    // A stopped main thread answers nothing (and sends no WATCHDOG=1); --status gives up after 2 s.
    test::signalProcess(*run.process, SIGSTOP);
    const Clock::time_point stoppedAt = Clock::now();
    const Outcome hung = runToEnd(run, {"--status"});
    const Clock::time_point continuedAt = Clock::now();
    test::signalProcess(*run.process, SIGCONT);
    EXPECT_EQ(hung.status, 4);
    EXPECT_GE(hung.ms, 1900);
    EXPECT_LT(hung.ms, 5000);
    EXPECT_EQ(hung.err, "VornPlayer is running but did not answer within 2 s\n");
    for (const Clock::time_point at : pingsSince(stoppedAt + std::chrono::milliseconds(100))) {
        EXPECT_GT(at, continuedAt) << "a WATCHDOG=1 while the process was stopped";
    }
    QElapsedTimer resumed;
    resumed.start();
    while (pingsSince(continuedAt).empty() && resumed.elapsed() < 5000) QThread::msleep(50);
    EXPECT_FALSE(pingsSince(continuedAt).empty()) << "the watchdog is fed again once the process goes on";

    EXPECT_EQ(run.stop(SIGTERM), 0);
    const auto stopping = notify.waitFor("STOPPING=1", 1000);
    ASSERT_TRUE(stopping);
    EXPECT_GT(stopping->at, pings.back());
    EXPECT_EQ(runToEnd(run, {"--status"}).status, 3);
}

}  // namespace
