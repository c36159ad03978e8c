// Whole-program tests of running unattended: the command line, the messages to the service
// manager, the status request of a second launch, and the status server.
#include "e2e/PlaybackFixture.h"

#include <QColor>
#include <QElapsedTimer>
#include <QImage>
#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
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
        std::optional<Message> found;
        test::waitUntil(
            [&] {
                for (const Message& m : messages()) {
                    if (m.text.split('\n').contains(line)) {
                        found = m;
                        return true;
                    }
                }
                return false;
            },
            timeoutMs, 20);
        return found;
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

struct HttpAnswer {
    int status = 0;  // 0: no answer (closed, reset or timed out)
    QByteArray head;
    QByteArray body;
};

int connectTo(quint16 port, int timeoutMs) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    timeval tv{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool sendAll(int fd, const QByteArray& bytes, qint64* sent = nullptr) {
    qint64 done = 0;
    while (done < bytes.size()) {
        const ssize_t n = send(fd, bytes.constData() + done, static_cast<size_t>(bytes.size() - done), MSG_NOSIGNAL);
        if (n <= 0) break;
        done += n;
    }
    if (sent) *sent = done;
    return done == bytes.size();
}

// Reads one answer: its head, then as many bytes as Content-Length says.
HttpAnswer readAnswer(int fd) {
    HttpAnswer answer;
    QByteArray data;
    char buffer[65536];
    qsizetype headEnd = -1;
    qint64 length = -1;
    for (;;) {
        if (headEnd < 0 && (headEnd = data.indexOf("\r\n\r\n")) >= 0) {
            answer.head = data.left(headEnd);
            for (const QByteArray& line : answer.head.split('\n')) {
                if (line.toLower().startsWith("content-length:")) length = line.mid(15).trimmed().toLongLong();
            }
        }
        if (headEnd >= 0 && length >= 0 && data.size() - headEnd - 4 >= length) break;
        const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        data.append(buffer, n);
    }
    if (headEnd < 0) return HttpAnswer();
    const QList<QByteArray> statusLine = answer.head.left(answer.head.indexOf('\r')).split(' ');
    answer.status = statusLine.size() >= 2 ? statusLine.at(1).toInt() : 0;
    answer.body = data.mid(headEnd + 4, length >= 0 ? length : -1);
    return answer;
}

HttpAnswer request(quint16 port, const QByteArray& method, const QByteArray& path, const QByteArray& token,
                   int timeoutMs = 10000) {
    const int fd = connectTo(port, timeoutMs);
    if (fd < 0) return HttpAnswer();
    QByteArray text = method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    if (!token.isNull()) text += "Authorization: Bearer " + token + "\r\n";
    text += "Connection: close\r\n\r\n";
    HttpAnswer answer;
    if (sendAll(fd, text)) answer = readAnswer(fd);
    close(fd);
    return answer;
}

// The samples of a Prometheus text answer as Prometheus's own client library reads them.
std::optional<QMap<QString, double>> parsePrometheus(const QByteArray& text) {
    QProcess python;
    python.start("/usr/bin/python3",
                 {"-c", "import sys\n"
                        "from prometheus_client.parser import text_string_to_metric_families\n"
                        "for family in text_string_to_metric_families(sys.stdin.read()):\n"
                        "    for s in family.samples:\n"
                        "        print(s.name, repr(s.value))\n"});
    python.write(text);
    python.closeWriteChannel();
    if (!python.waitForFinished(15000) || python.exitStatus() != QProcess::NormalExit || python.exitCode() != 0) {
        return std::nullopt;
    }
    QMap<QString, double> samples;
    for (const QByteArray& line : python.readAllStandardOutput().split('\n')) {
        const QList<QByteArray> parts = line.split(' ');
        if (parts.size() == 2) samples.insert(QString::fromUtf8(parts.at(0)), parts.at(1).toDouble());
    }
    return samples;
}

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
    for (const char* part : {"--version", "--status", "--json", "-<setting> value", "  -prefDailyDateFormat\n", "VornPlayer.conf",
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
    run.start(args(3, 2) << "-prefLocalCopiesMaxBytes" << "0");

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
    test::waitUntil([&] { return pingsSince(from).size() >= 9; }, 15000, 50);
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
    EXPECT_TRUE(test::waitUntil([&] { return !pingsSince(continuedAt).empty(); }, 5000, 50))
        << "the watchdog is fed again once the process goes on";

    // The source folder goes and comes back: the status line follows each change, never says the
    // same line twice in a row, and says nothing while the picture stays.
    const auto statusesSince = [&notify](Clock::time_point from) {
        QStringList said;
        for (const auto& m : notify.messages()) {
            if (m.at >= from && m.text.startsWith("STATUS=")) said += m.text;
        }
        return said;
    };
    const Clock::time_point goneAt = Clock::now();
    ASSERT_TRUE(QDir().rename(source, source + "-away"));
    // Without local copies to play on from, the last picture stays once the item under way ends
    // (or once the item handed in before fails to open).
    const QStringList held{"STATUS=Ended " + daily + "/first.mp4, its last frame stays (source folder missing)",
                           "STATUS=Could not play " + daily + "/first.mp4 (source folder missing)"};
    EXPECT_TRUE(test::waitUntil(
        [&] {
            const QStringList said = statusesSince(goneAt);
            return !said.isEmpty() && held.contains(said.last());
        },
        10000, 50))
        << statusesSince(goneAt).join('\n').toStdString();
    const Clock::time_point heldAt = Clock::now();
    EXPECT_FALSE(test::waitUntil([&] { return !statusesSince(heldAt).isEmpty(); }, 2500, 50))
        << "told again while the picture stayed: " << statusesSince(heldAt).join('\n').toStdString();
    ASSERT_TRUE(QDir().rename(source + "-away", source));
    EXPECT_TRUE(test::waitUntil([&] { return statusesSince(heldAt).contains(playing); }, 10000, 50))
        << statusesSince(heldAt).join('\n').toStdString();
    const QStringList all = statusesSince(status->at);
    for (qsizetype i = 1; i < all.size(); ++i) EXPECT_NE(all[i], all[i - 1]) << "said twice in a row";

    EXPECT_EQ(run.stop(SIGTERM), 0);
    const auto stopping = notify.waitFor("STOPPING=1", 1000);
    ASSERT_TRUE(stopping);
    EXPECT_GT(stopping->at, pings.back());
    EXPECT_EQ(runToEnd(run, {"--status"}).status, 3);
}

// The status server with a token: metrics that Prometheus reads and that count the plays, the
// status, a screenshot of the clip's colour, 401 without the token, and playback that goes on
// through a flood of requests and a 10 MB request body.
TEST_F(PlaybackE2E, TheStatusServerAnswersWithTheTokenAndAFloodDoesNotStopPlayback) {
    addFile("red.mp4", test::readAll(test::solidClip("red", 1.0)), 30);
    run.env.remove("VORNPLAYER_VIDEO_OUTPUT");  // frames, rendered in software off screen
    run.start(args(3, 2) << "-prefStatusListenAddress" << "127.0.0.1:0" << "-prefStatusToken" << "s3cret");
    ASSERT_TRUE(run.waitForLog("] Status server: /metrics, /status and /screenshot.png at http://127.0.0.1:"))
        << run.log().toStdString();
    const QRegularExpression serving(R"(at http://127\.0\.0\.1:(\d+)/ \(bearer token required\))");
    const auto match = serving.match(run.log());
    ASSERT_TRUE(match.hasMatch());
    const quint16 port = static_cast<quint16>(match.captured(1).toUInt());

    const auto played = [&]() -> double {
        const HttpAnswer metrics = request(port, "GET", "/metrics", "s3cret");
        if (metrics.status != 200) return -1;
        const auto samples = parsePrometheus(metrics.body);
        return samples ? samples->value("vornplayer_items_played_total", -1) : -1;
    };
    const auto waitForPlays = [&](double atLeast) {
        test::waitUntil([&] { return played() >= atLeast; }, 30000, 200);
        return played();
    };

    // Without the token, with a wrong one, or on another path without it: 401, and no content.
    const HttpAnswer none = request(port, "GET", "/metrics", QByteArray());
    EXPECT_EQ(none.status, 401);
    EXPECT_TRUE(none.head.contains("WWW-Authenticate: Bearer"));
    EXPECT_FALSE(none.body.contains("vornplayer_"));
    EXPECT_EQ(request(port, "GET", "/status", "s3cre").status, 401);
    EXPECT_EQ(request(port, "GET", "/screenshot.png", "S3CRET").status, 401);
    EXPECT_EQ(request(port, "GET", "/nothing", QByteArray()).status, 401);
    EXPECT_EQ(request(port, "GET", "/nothing", "s3cret").status, 404);
    EXPECT_EQ(request(port, "POST", "/metrics", "s3cret").status, 405);

    const HttpAnswer metrics = request(port, "GET", "/metrics", "s3cret");
    ASSERT_EQ(metrics.status, 200);
    EXPECT_TRUE(metrics.head.contains("text/plain; version=0.0.4")) << metrics.head.toStdString();
    const auto samples = parsePrometheus(metrics.body);
    ASSERT_TRUE(samples) << metrics.body.toStdString();
    for (const char* name : {"vornplayer_items_played_total", "vornplayer_item_failures_total",
                             "vornplayer_source_folder_available", "vornplayer_log_bytes", "process_resident_memory_bytes",
                             "process_cpu_seconds_total", "process_open_fds", "process_start_time_seconds"}) {
        EXPECT_TRUE(samples->contains(name)) << name;
    }
    EXPECT_FALSE(samples->contains("vornplayer_up")) << "Prometheus makes up itself";
    EXPECT_GT(samples->value("process_resident_memory_bytes"), 1e6);
    EXPECT_GT(samples->value("process_open_fds"), 3.0);
    const double now = QDateTime::currentMSecsSinceEpoch() / 1000.0;
    EXPECT_NEAR(samples->value("process_start_time_seconds"), now, 120.0);
    EXPECT_GT(samples->value("vornplayer_log_bytes"), 0.0);
    EXPECT_LE(samples->value("vornplayer_log_bytes"), static_cast<double>(QFileInfo(run.logPath()).size()));

    // The plays counted match the log's announcements of the next item, and grow with them.
    const double firstCount = waitForPlays(2);
    ASSERT_GE(firstCount, 2);
    const double later = waitForPlays(firstCount + 2);
    EXPECT_GE(later, firstCount + 2);
    EXPECT_GE(nextItems().size(), static_cast<qsizetype>(later) - 1);
    const auto playing = parsePrometheus(request(port, "GET", "/metrics", "s3cret").body);
    ASSERT_TRUE(playing);
    EXPECT_EQ(playing->value("vornplayer_source_folder_available", -1), 1.0);
    const double playingAt = QDateTime::currentMSecsSinceEpoch() / 1000.0;
    EXPECT_LE(playing->value("vornplayer_last_new_item_timestamp_seconds", 1e12), playingAt + 1);
    EXPECT_GT(playing->value("vornplayer_last_frame_timestamp_seconds", 0), playingAt - 2.0);
    EXPECT_GT(playing->value("vornplayer_current_item_start_timestamp_seconds", 0), playingAt - 60.0);

    const HttpAnswer status = request(port, "GET", "/status", "s3cret");
    ASSERT_EQ(status.status, 200);
    const QJsonObject json = QJsonDocument::fromJson(status.body).object();
    EXPECT_EQ(json.value("currentItem").toObject().value("path").toString(), daily + "/red.mp4");
    EXPECT_LT(json.value("secondsSinceLastFrame").toDouble(99), 2.0);

    // The screenshot shows the red clip (the first pictures may still be black).
    HttpAnswer png;
    QImage shot;
    QColor centre;
    const bool red = test::waitUntil(
        [&] {
            png = request(port, "GET", "/screenshot.png", "s3cret");
            shot = QImage::fromData(png.body, "PNG");
            // Wrong at once: the checks below say how.
            if (png.status != 200 || !png.head.contains("Content-Type: image/png") || shot.isNull()) return true;
            centre = shot.pixelColor(shot.width() / 2, shot.height() / 2);
            return centre.red() > 200 && centre.green() < 60 && centre.blue() < 60;
        },
        15000, 300);
    ASSERT_EQ(png.status, 200);
    EXPECT_TRUE(png.head.contains("Content-Type: image/png")) << png.head.toStdString();
    ASSERT_FALSE(shot.isNull());
    ASSERT_TRUE(red) << "centre stays " << centre.name().toStdString();
    EXPECT_LE(shot.width(), 640);

    // 200 requests at once: each gets an answer (or, past every bound, a closed connection),
    // and a 10 MB body is cut short: 413, 503 (among the flood) or a closed connection.
    std::vector<int> statuses(200, -1);
    std::vector<std::thread> flood;
    for (size_t i = 0; i < statuses.size(); ++i) {
        flood.emplace_back([&, i] { statuses[i] = request(port, "GET", i % 2 ? "/screenshot.png" : "/metrics", "s3cret", 20000).status; });
    }
    qint64 sent = 0;
    HttpAnswer big;
    {
        const int fd = connectTo(port, 20000);
        ASSERT_GE(fd, 0);
        const QByteArray head = "POST /status HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Bearer s3cret\r\n"
                                "Content-Type: application/octet-stream\r\nContent-Length: 10485760\r\n\r\n";
        ASSERT_TRUE(sendAll(fd, head));
        sendAll(fd, QByteArray(10 * 1024 * 1024, 'x'), &sent);
        big = readAnswer(fd);
        close(fd);
    }
    for (std::thread& th : flood) th.join();
    EXPECT_LT(sent, 10 * 1024 * 1024) << "the body should have been refused before its end";
    EXPECT_TRUE(big.status == 413 || big.status == 503 || big.status == 0) << big.status;
    int ok = 0;
    for (const int s : statuses) {
        EXPECT_TRUE(s == 200 || s == 503 || s == 0) << s;
        ok += s == 200 ? 1 : 0;
    }
    EXPECT_GE(ok, 1);

    // Playback went on and goes on: more plays, fresh frames, and the server answers again as soon
    // as the flood's connections have gone.
    double afterFlood = -1;
    test::waitUntil([&] { return (afterFlood = played()) >= 0; }, 10000, 100);
    EXPECT_GE(afterFlood, later);
    EXPECT_GE(waitForPlays(afterFlood + 2), afterFlood + 2);
    const QJsonObject still = QJsonDocument::fromJson(request(port, "GET", "/status", "s3cret").body).object();
    EXPECT_LT(still.value("secondsSinceLastFrame").toDouble(99), 2.0);
    EXPECT_EQ(still.value("itemFailures").toInteger(), 0);
    EXPECT_EQ(run.stop(), 0);
}

}  // namespace

namespace {

// The journal's end of the stream systemd connects to standard error: all the player wrote there.
class JournalStream {
public:
    JournalStream() {
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds_) != 0) return;
        reader_ = std::thread([this] {
            char buffer[4096];
            ssize_t n = 0;
            while ((n = ::read(fds_[0], buffer, sizeof buffer)) > 0) {
                std::lock_guard<std::mutex> lock(mutex_);
                text_.append(buffer, n);
            }
        });
    }
    ~JournalStream() {
        if (fds_[1] >= 0) close(fds_[1]);
        shutdown(fds_[0], SHUT_RDWR);
        if (reader_.joinable()) reader_.join();
        if (fds_[0] >= 0) close(fds_[0]);
    }
    // The player's standard error becomes the stream, named by JOURNAL_STREAM as systemd names it.
    void connect(test::PlayerRun& run) {
        struct stat st {};
        fstat(fds_[1], &st);
        run.env.insert("JOURNAL_STREAM", QString("%1:%2").arg(qulonglong(st.st_dev)).arg(qulonglong(st.st_ino)));
    }
    int playerEnd() const { return fds_[1]; }
    QString text() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return QString::fromUtf8(text_);
    }

private:
    int fds_[2] = {-1, -1};
    std::thread reader_;
    mutable std::mutex mutex_;
    QByteArray text_;
};

}  // namespace

// An empty today's folder polled for seconds costs a few folded lines, and the videos copied
// next to it instead of into it are named once as a warning and in the status; the libraries'
// lines on standard error (ALSA without its configuration) carry the time like every other line
// of the log; an outage reaches the journal as a warning on its start and on its end.
TEST_F(PlaybackE2E, AnOutageIsAWarningOfTheJournalAndTheEmptyFolderPollAndLibraryLinesFitTheLog) {
    test::writeAll(source + "/first.mp4", test::readAll(test::clip(1.0)));
    test::writeAll(source + "/second.MOV", test::readAll(test::clip(1.0)));
    JournalStream journal;
    journal.connect(run);
    run.env.insert("VORNPLAYER_LOG_REPEAT_INTERVAL_MS", "3000");
    run.env.insert("ALSA_CONFIG_PATH", run.root.filePath("no-alsa.conf"));
    run.process = std::make_unique<QProcess>();
    run.process->setProcessEnvironment(run.env);
    run.process->setProcessChannelMode(QProcess::ForwardedOutputChannel);
    const int journalFd = journal.playerEnd();
    run.process->setChildProcessModifier([journalFd] { dup2(journalFd, STDERR_FILENO); });
    run.process->start(run.executable, args(3, 1) << "-prefLocalCopiesMaxBytes" << "0");
    ASSERT_TRUE(run.process->waitForStarted());

    // Two folded repetitions of the poll: about 7 s of looks every 2 s in a handful of lines.
    const auto count = [&](const QString& text) { return run.log().count(text); };
    ASSERT_TRUE(test::waitUntil([&] { return count("] start polling.... (repeated ") >= 2; }, 20000, 100));
    EXPECT_LE(count("] start polling...."), 3);
    EXPECT_LE(count("] results is: (null)"), 3) << "the script's answer is folded with the poll";
    EXPECT_TRUE(run.log().contains(QRegularExpression(R"(\] start polling\.\.\.\. \(repeated [2-9] times\))")));

    const QString stray = "today's folder " + daily + " is empty; 2 videos lie directly in " + source +
                          ": they are not played: put them in today's folder";
    EXPECT_EQ(journal.text().count("\n<4>" + stray + "\n"), 1) << journal.text().right(3000).toStdString();
    EXPECT_TRUE(runToEnd(run, {"--status"}).out.contains("\n                " + stray + "\n"));

    addClip("tone.mp4", 5, 1.0);
    ASSERT_TRUE(run.waitForLog("ALSA lib "));
    const QRegularExpression stamped(R"(^(I|D|D2|E|W) \[\d{4}/\d\d/\d\d \d\d:\d\d:\d\d\.\d{3} [+-]\d{4}\] |^\[\d{4}/\d\d/\d\d \d\d:\d\d:\d\d\.\d{3} [+-]\d{4}\] vornplayer\[\d+(:\d+)?\] )");
    for (const QString& line : run.log().split('\n', Qt::SkipEmptyParts)) {
        EXPECT_TRUE(stamped.match(line).hasMatch()) << "a line without its time: " << line.toStdString();
    }
    EXPECT_FALSE(runToEnd(run, {"--status"}).out.contains(stray)) << "today's folder has a video now";

    ASSERT_TRUE(QDir().rename(source, source + "-away"));
    EXPECT_TRUE(test::waitUntil([&] { return journal.text().contains("\n<4>The source folder is unavailable (missing) since "); },
                                10000, 50))
        << journal.text().right(2000).toStdString();
    ASSERT_TRUE(QDir().rename(source + "-away", source));
    EXPECT_TRUE(test::waitUntil(
        [&] { return journal.text().contains("\n<4>The source folder is available again, after an outage of "); }, 10000, 50));
    const QString said = journal.text();
    EXPECT_TRUE(said.contains("\n<7>source folder unavailable since ")) << "the debug line stays as it was";
    EXPECT_EQ(said.count("<4>The source folder is unavailable"), 1);
    EXPECT_EQ(run.stop(SIGTERM), 0);
}
