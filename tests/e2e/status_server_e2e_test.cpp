// The status server of the real player as operators meet it: a port that is busy at start, a
// token file, and peers that send their requests a byte at a time.
#include "e2e/PlayerRun.h"

#include "Clips.h"

#include <QElapsedTimer>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTcpServer>
#include <QUrl>

#include <gtest/gtest.h>

#include <cstring>
#include <atomic>
#include <iostream>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

using test::PlayerRun;

// A connection to 127.0.0.1:port from the given loopback address (another peer for the server);
// -1 when it cannot be made.
int connectFrom(const char* from, quint16 port, int timeoutMs) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    timeval tv{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    inet_pton(AF_INET, from, &local.sin_addr);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// The status code of one GET (0: no answer in time), with the token when there is one; `whole`
// gets the whole answer, head and body.
int get(quint16 port, const QByteArray& path, const QByteArray& token = QByteArray(), int timeoutMs = 5000,
        QByteArray* whole = nullptr) {
    const int fd = connectFrom("127.0.0.1", port, timeoutMs);
    if (fd < 0) return 0;
    QByteArray request = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n";
    if (!token.isEmpty()) request += "Authorization: Bearer " + token + "\r\n";
    request += "\r\n";
    int status = 0;
    if (send(fd, request.constData(), static_cast<size_t>(request.size()), MSG_NOSIGNAL) == request.size()) {
        QByteArray answer;
        char buffer[4096];
        while (whole || !answer.contains("\r\n")) {
            const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0) break;
            answer.append(buffer, n);
        }
        if (whole) *whole = answer;
        const QList<QByteArray> words = answer.left(answer.indexOf('\r')).split(' ');
        if (words.size() >= 2 && words.at(0).startsWith("HTTP/1.")) status = words.at(1).toInt();
    }
    close(fd);
    return status;
}

// One answer read from a connection: its head, then as many bytes as its Content-Length says
// (none for the answer to HEAD). Empty: none in time, or the connection closed first.
QByteArray readAnswer(int fd, bool toHead = false) {
    QByteArray answer;
    char buffer[4096];
    for (;;) {
        const qsizetype headEnd = answer.indexOf("\r\n\r\n");
        if (headEnd >= 0) {
            static const QRegularExpression length(R"(\r\ncontent-length: *(\d+))", QRegularExpression::CaseInsensitiveOption);
            const auto m = length.match(QString::fromLatin1(answer.left(headEnd)));
            if (answer.size() >= headEnd + 4 + (m.hasMatch() && !toHead ? m.captured(1).toLongLong() : 0)) return answer;
        }
        const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) return QByteArray();
        answer.append(buffer, n);
    }
}

// The whole answer to one request (empty: none in time).
QByteArray exchange(quint16 port, const QByteArray& request, int timeoutMs = 5000) {
    const int fd = connectFrom("127.0.0.1", port, timeoutMs);
    if (fd < 0) return QByteArray();
    QByteArray answer;
    if (send(fd, request.constData(), static_cast<size_t>(request.size()), MSG_NOSIGNAL) == request.size()) {
        answer = readAnswer(fd);
    }
    close(fd);
    return answer;
}

QByteArray signIn(quint16 port, const QByteArray& token) {
    const QByteArray body = "token=" + QUrl::toPercentEncoding(QString::fromUtf8(token));
    return exchange(port, "POST /signin HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n"
                          "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
                              QByteArray::number(body.size()) + "\r\n\r\n" + body);
}

int statusOf(const QByteArray& answer) { return answer.left(answer.indexOf('\r')).split(' ').value(1).toInt(); }

class StatusServerE2E : public ::testing::Test {
protected:
    // The port of the server once it listens, from its log line; 0 when it does not in time.
    quint16 servingPort(int timeoutMs) {
        static const QRegularExpression serving(R"(\] Status server: /metrics, .* at http://127\.0\.0\.1:(\d+)/ )");
        quint16 port = 0;
        test::waitUntil(
            [&] {
                const auto m = serving.match(run.log());
                if (m.hasMatch()) port = static_cast<quint16>(m.captured(1).toUInt());
                return port != 0;
            },
            timeoutMs, 100);
        return port;
    }

    PlayerRun run;
};

TEST_F(StatusServerE2E, ABusyPortIsSaidAtOnceAndTheServerListensSoonAfterItIsFree) {
    auto blocker = std::make_unique<QTcpServer>();
    ASSERT_TRUE(blocker->listen(QHostAddress::LocalHost, 0));
    const quint16 port = blocker->serverPort();
    const QString address = QString("127.0.0.1:%1").arg(port);
    // The service manager's end, for the status line.
    const QByteArray notifyPath = QFile::encodeName(run.root.filePath("notify"));
    const int notify = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_un unixAddress{};
    unixAddress.sun_family = AF_UNIX;
    std::memcpy(unixAddress.sun_path, notifyPath.constData(), static_cast<size_t>(notifyPath.size()));
    ASSERT_EQ(bind(notify, reinterpret_cast<sockaddr*>(&unixAddress), sizeof unixAddress), 0);
    run.env.insert("NOTIFY_SOCKET", QString::fromLocal8Bit(notifyPath));
    QElapsedTimer sinceStart;
    sinceStart.start();
    run.startCapturingStandardError({"-prefStatusListenAddress", address});
    const QString said = "Status server: cannot listen on " + address + ": ";
    ASSERT_TRUE(test::waitUntil([&] { return run.standardError().contains(said); }, 15000, 20)) << run.stderrText.toStdString();
    std::cout << "[ measured ] the busy port was said on standard error " << sinceStart.elapsed()
              << " ms after the start\n";
    EXPECT_TRUE(run.stderrText.contains("trying again every 30 s")) << run.stderrText.toStdString();
    EXPECT_TRUE(run.log().contains("] " + said)) << run.log().toStdString();
    QByteArray told;
    EXPECT_TRUE(test::waitUntil(
        [&] {
            char datagram[4096];
            for (ssize_t n; (n = recv(notify, datagram, sizeof datagram, 0)) > 0;) told += QByteArray(datagram, n) + '\n';
            return told.contains("STATUS=" + said.toUtf8());
        },
        5000, 20))
        << told.toStdString();
    close(notify);

    // Freed: the next try, at most 30 s later, listens.
    blocker.reset();
    QElapsedTimer sinceFree;
    sinceFree.start();
    // The operator's page answers (no token: no sign-in).
    ASSERT_TRUE(test::waitUntil([&] { return get(port, "/", QByteArray(), 1000) == 200; }, 40000, 250))
        << run.log().toStdString();
    std::cout << "[ measured ] answered " << sinceFree.elapsed() << " ms after the port was freed\n";
    EXPECT_LE(sinceFree.elapsed(), 35000);
    EXPECT_EQ(run.stop(), 0);
}

TEST_F(StatusServerE2E, AnAddressThatCannotBeParsedIsSaid) {
    run.startCapturingStandardError({"-prefStatusListenAddress", "127.0.0.1:99999"});
    EXPECT_TRUE(test::waitUntil(
        [&] { return run.standardError().contains("Status server: cannot listen on 127.0.0.1:99999: \"127.0.0.1:99999\" is not an address and port"); },
        15000, 20))
        << run.stderrText.toStdString();
    EXPECT_EQ(run.stop(), 0);
}

TEST_F(StatusServerE2E, ATokenFileOthersMayReadIsRefusedUntilItIsMadePrivate) {
    const QString tokenFile = run.root.filePath("token");
    test::writeAll(tokenFile, "s3cret-from-a-file\n");
    ASSERT_EQ(chmod(QFile::encodeName(tokenFile).constData(), 0644), 0);
    run.startCapturingStandardError({"-prefStatusListenAddress", "127.0.0.1:0", "-prefStatusTokenFile", tokenFile});
    ASSERT_TRUE(test::waitUntil([&] { return run.standardError().contains("may be read by other users (mode 0644)"); }, 15000, 20))
        << run.stderrText.toStdString();
    EXPECT_FALSE(run.log().contains("] Status server: /metrics")) << "the server stays shut rather than open to all";

    ASSERT_EQ(chmod(QFile::encodeName(tokenFile).constData(), 0600), 0);
    const quint16 port = servingPort(40000);
    ASSERT_NE(port, 0) << run.log().toStdString();
    EXPECT_EQ(get(port, "/metrics"), 401);
    EXPECT_EQ(get(port, "/metrics", "s3cret-from-a-file"), 200);
    // The token is nowhere on the command line.
    const QByteArray cmdline = test::readAll(QString("/proc/%1/cmdline").arg(run.process->processId()));
    EXPECT_FALSE(cmdline.contains("s3cret"));
    EXPECT_EQ(run.stop(), 0);
}

// A 20 s clip written two hours ago plays on a view that gets its frames: the metrics say the
// build, why the folder is as it is, the item's length and position and the newest file's own
// time; /healthz answers a probe without the token while the picture moves.
TEST_F(StatusServerE2E, TheMetricsPassPromtoolWithTheProcessMetricsAndMomentsAsTimestamps) {
    if (QStandardPaths::findExecutable("promtool").isEmpty()) GTEST_SKIP() << "promtool is not installed (package prometheus)";
    const QString daily = run.root.filePath("source/day");
    QDir().mkpath(daily);
    ASSERT_TRUE(QFile::copy(test::clip(20.0), daily + "/long.mp4"));
    const QDateTime written = QDateTime::currentDateTime().addSecs(-7200);
    QFile clip(daily + "/long.mp4");
    ASSERT_TRUE(clip.open(QIODevice::ReadWrite) && clip.setFileTime(written, QFileDevice::FileModificationTime));
    clip.close();
    run.env.remove("VORNPLAYER_VIDEO_OUTPUT");
    run.start({"-prefStatusListenAddress", "127.0.0.1:0", "-prefStatusToken", "t0ken", "-prefTamrinVideosFolder",
               run.root.filePath("source"), "-prefDailyDateFormat", "'day'"});
    const quint16 port = servingPort(15000);
    ASSERT_NE(port, 0) << run.log().toStdString();
    QByteArray metrics;
    const auto sample = [&metrics](const QByteArray& name) {
        const qsizetype at = metrics.indexOf("\n" + name + " ");
        return at < 0 ? -1.0 : metrics.mid(at + name.size() + 2, metrics.indexOf('\n', at + 1) - at - name.size() - 2).toDouble();
    };
    ASSERT_TRUE(test::waitUntil(
        [&] {
            QByteArray answer;
            if (get(port, "/metrics", "t0ken", 5000, &answer) != 200) return false;
            metrics = answer.mid(answer.indexOf("\r\n\r\n") + 4);
            return sample("vornplayer_current_item_position_seconds") >= 1.0;
        },
        30000, 200))
        << metrics.toStdString();
    QProcess promtool;
    promtool.start("promtool", {"check", "metrics"});
    promtool.write(metrics);
    promtool.closeWriteChannel();
    ASSERT_TRUE(promtool.waitForFinished(30000));
    EXPECT_EQ(promtool.exitCode(), 0) << promtool.readAllStandardError().toStdString() << metrics.toStdString();
    EXPECT_EQ(promtool.readAll() + promtool.readAllStandardError(), QByteArray()) << "promtool has nothing to say";
    for (const char* name : {"\nprocess_resident_memory_bytes ", "\nprocess_cpu_seconds_total ", "\nprocess_open_fds ",
                             "\nprocess_max_fds ", "\nprocess_start_time_seconds ", "\nvornplayer_items_played_total ",
                             "\nvornplayer_build_info{version=\"", "\nvornplayer_source_folder_state{state=\"available\"} 1\n",
                             "\nvornplayer_picture_should_move 1\n", "\nvornplayer_newest_files_set_aside 0\n"}) {
        EXPECT_TRUE(metrics.contains(name)) << name << metrics.toStdString();
    }
    EXPECT_FALSE(metrics.contains("vornplayer_up"));
    EXPECT_NEAR(sample("vornplayer_current_item_duration_seconds"), 20.0, 0.5);
    EXPECT_LT(sample("vornplayer_current_item_position_seconds"), 20.0);
    EXPECT_NEAR(sample("vornplayer_newest_file_modified_timestamp_seconds"), written.toSecsSinceEpoch(), 2.0);
    QByteArray health;
    EXPECT_EQ(get(port, "/healthz", QByteArray(), 5000, &health), 200);
    EXPECT_TRUE(health.endsWith("\r\n\r\nok: the picture moves\n")) << health.toStdString();
    EXPECT_EQ(get(port, "/metrics"), 401) << "only the probe goes without the token";
    EXPECT_EQ(run.stop(), 0);
}

TEST_F(StatusServerE2E, SigningInGivesEachBrowserASessionOfItsOwnAndTheServerKeepsToHttp) {
    run.start({"-prefStatusListenAddress", "127.0.0.1:0", "-prefStatusToken", "s3cret token", "-prefStatusHostNames",
               "Screen-12.example, proxy.example"});
    const quint16 port = servingPort(15000);
    ASSERT_NE(port, 0) << run.log().toStdString();
    const auto get = [port](const QByteArray& path, const QByteArray& cookie) {
        return exchange(port, "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n" +
                                  (cookie.isEmpty() ? QByteArray() : "Cookie: " + cookie + "\r\n") + "\r\n");
    };
    // Without credentials: the page is the sign-in form, and the rest is closed.
    const QByteArray form = get("/", QByteArray());
    EXPECT_EQ(statusOf(form), 200);
    EXPECT_TRUE(form.contains("<form id=\"signin\" method=\"post\" action=\"/signin\">")) << form.toStdString();
    EXPECT_FALSE(form.contains("id=\"live\""));
    EXPECT_EQ(statusOf(get("/status", QByteArray())), 401);

    // A wrong token, then at once the right one: the right one is never held back by the wrong.
    const QByteArray wrong = signIn(port, "s3cret");
    EXPECT_EQ(statusOf(wrong), 200);
    EXPECT_TRUE(wrong.contains("That token is not the player's.")) << wrong.toStdString();
    EXPECT_FALSE(wrong.contains("Set-Cookie"));
    QElapsedTimer clock;
    clock.start();
    const QByteArray right = signIn(port, "s3cret token");
    EXPECT_LT(clock.elapsed(), 300);
    EXPECT_EQ(statusOf(right), 303) << right.toStdString();
    EXPECT_TRUE(right.contains("\r\nLocation: /\r\n"));
    static const QRegularExpression setCookie(
        R"(\r\nSet-Cookie: (vornplayer_session=([0-9a-f]{64})); Max-Age=43200; Path=/; HttpOnly; SameSite=Strict\r\n)",
        QRegularExpression::CaseInsensitiveOption);
    const auto m = setCookie.match(QString::fromLatin1(right));
    ASSERT_TRUE(m.hasMatch()) << right.toStdString();
    // Each sign-in has a session of its own.
    const auto other = setCookie.match(QString::fromLatin1(signIn(port, "s3cret token")));
    ASSERT_TRUE(other.hasMatch());
    EXPECT_NE(other.captured(2), m.captured(2));

    // The cookie opens everything, the bearer header still does, a made-up cookie nothing.
    const QByteArray cookie = m.captured(1).toLatin1();
    const QByteArray page = get("/", cookie);
    EXPECT_EQ(statusOf(page), 200);
    EXPECT_TRUE(page.contains("<main id=\"live\">")) << page.left(2000).toStdString();
    EXPECT_TRUE(page.contains("action=\"/signout\"")) << "the page offers to sign out";
    EXPECT_TRUE(page.contains("Content-Security-Policy: default-src 'none'"));
    EXPECT_FALSE(page.contains("s3cret"));
    EXPECT_EQ(statusOf(get("/status", cookie)), 200);
    EXPECT_EQ(statusOf(get("/metrics", "vornplayer_session=" + QByteArray(64, 'a'))), 401);
    EXPECT_EQ(get("/metrics", QByteArray()).contains("401"), true);

    // Signing out forgets that session only, and clears its cookie.
    const QByteArray out = exchange(port, "POST /signout HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\nCookie: " + cookie +
                                              "\r\nContent-Length: 0\r\n\r\n");
    EXPECT_EQ(statusOf(out), 303) << out.toStdString();
    EXPECT_TRUE(out.contains("\r\nSet-Cookie: vornplayer_session=; Max-Age=0;")) << out.toStdString();
    EXPECT_EQ(statusOf(get("/status", cookie)), 401);
    EXPECT_EQ(statusOf(get("/status", other.captured(1).toLatin1())), 200);

    // HEAD: GET's head, with its length, and no body; the connection closes right after, as asked.
    const auto bearer = [](const QByteArray& method, const QByteArray& host) {
        return method + " /metrics HTTP/1.1\r\nHost: " + host + "\r\nAuthorization: Bearer s3cret token\r\nConnection: close\r\n\r\n";
    };
    const QByteArray full = exchange(port, bearer("GET", "127.0.0.1"));
    const int fd = connectFrom("127.0.0.1", port, 5000);
    ASSERT_GE(fd, 0);
    const QByteArray headRequest = bearer("HEAD", "localhost:" + QByteArray::number(port));
    ASSERT_EQ(send(fd, headRequest.constData(), static_cast<size_t>(headRequest.size()), MSG_NOSIGNAL), headRequest.size());
    clock.restart();
    const QByteArray head = readAnswer(fd, true);
    char rest[4096];
    const ssize_t more = recv(fd, rest, sizeof rest, 0);
    const qint64 closedAfter = clock.elapsed();
    close(fd);
    EXPECT_EQ(statusOf(head), 200) << head.toStdString();
    EXPECT_TRUE(head.endsWith("\r\n\r\n")) << head.toStdString();
    EXPECT_EQ(more, 0) << "no body after the head, then the end of the connection";
    EXPECT_LT(closedAfter, 1000);
    static const QRegularExpression length(R"(\r\ncontent-length: *(\d+))", QRegularExpression::CaseInsensitiveOption);
    const auto headLength = length.match(QString::fromLatin1(head));
    ASSERT_TRUE(headLength.hasMatch());
    EXPECT_GT(headLength.captured(1).toInt(), 100);
    EXPECT_NEAR(headLength.captured(1).toInt(), full.size() - full.indexOf("\r\n\r\n") - 4, 200);

    // A name of elsewhere that resolves here is not this server's.
    EXPECT_EQ(statusOf(exchange(port, bearer("GET", "attacker.example"))), 421);
    EXPECT_EQ(statusOf(exchange(port, bearer("GET", "attacker.example:" + QByteArray::number(port)))), 421);
    EXPECT_EQ(statusOf(exchange(port, bearer("GET", "[::1]:" + QByteArray::number(port)))), 200);
    EXPECT_EQ(statusOf(exchange(port, bearer("GET", "screen-12.example:443"))), 200) << "a name of the settings";
    EXPECT_EQ(statusOf(exchange(port, bearer("GET", "screen-13.example"))), 421);
    EXPECT_EQ(run.stop(), 0);
}

// One address (a proxy's) with two browser tabs, a scraper, three idle keep-alive connections and
// someone guessing the token: every scrape and every tab's request is answered, the right token at
// once, while 200 wrong tokens take at least 100 s.
TEST_F(StatusServerE2E, GuessingAndIdleConnectionsFromOneAddressLockNobodyOut) {
    run.start({"-prefStatusListenAddress", "127.0.0.1:0", "-prefStatusToken", "s3cret"});
    const quint16 port = servingPort(15000);
    ASSERT_NE(port, 0) << run.log().toStdString();
    const QByteArray cookie = QRegularExpression(R"((vornplayer_session=[0-9a-f]{64}))")
                                  .match(QString::fromLatin1(signIn(port, "s3cret")))
                                  .captured(1)
                                  .toLatin1();
    ASSERT_FALSE(cookie.isEmpty());
    const auto ask = [](int fd, const QByteArray& request) {
        return send(fd, request.constData(), static_cast<size_t>(request.size()), MSG_NOSIGNAL) == request.size()
                   ? readAnswer(fd)
                   : QByteArray();
    };
    const QByteArray keepAlive = "GET /status HTTP/1.1\r\nHost: 127.0.0.1\r\nCookie: " + cookie + "\r\n\r\n";
    std::vector<int> idle;
    for (int i = 0; i < 3; ++i) {
        idle.push_back(connectFrom("127.0.0.1", port, 5000));
        EXPECT_EQ(statusOf(ask(idle.back(), keepAlive)), 200);
    }

    std::atomic<int> guesses{0};
    QElapsedTimer guessing;
    guessing.start();
    std::thread guesser([&] {
        for (int i = 0; i < 200; ++i, ++guesses) {
            get(port, "/metrics", "guess-" + QByteArray::number(i), 20000);
        }
    });
    // A tab asks on its keep-alive connection, and again on a new one when that was closed, as a
    // browser does.
    struct Tab {
        int fd = -1;
        int answered = 0;
        int asked = 0;
    };
    std::vector<Tab> tabs(2);
    int scrapes = 0;
    int scraped = 0;
    int signIns = 0;
    qint64 slowestScrape = 0;
    while (guesses < 200 && guessing.elapsed() < 150000) {
        for (Tab& tab : tabs) {
            ++tab.asked;
            QByteArray answer = tab.fd >= 0 ? ask(tab.fd, keepAlive) : QByteArray();
            if (answer.isEmpty()) {
                if (tab.fd >= 0) close(tab.fd);
                tab.fd = connectFrom("127.0.0.1", port, 5000);
                answer = ask(tab.fd, keepAlive);
            }
            tab.answered += statusOf(answer) == 200 ? 1 : 0;
        }
        QElapsedTimer scrape;
        scrape.start();
        ++scrapes;
        scraped += get(port, "/metrics", "s3cret", 5000) == 200 ? 1 : 0;
        slowestScrape = std::max(slowestScrape, scrape.elapsed());
        if (scrapes % 10 == 0) signIns += statusOf(signIn(port, "s3cret")) == 303 ? 1 : 0;
        poll(nullptr, 0, 1000);
    }
    guesser.join();
    const qint64 guessedFor = guessing.elapsed();
    for (const int fd : idle) close(fd);
    for (const Tab& tab : tabs) {
        if (tab.fd >= 0) close(tab.fd);
        EXPECT_EQ(tab.answered, tab.asked);
    }
    std::cout << "[ measured ] 200 wrong tokens took " << guessedFor << " ms; " << scraped << " of " << scrapes
              << " scrapes answered, the slowest in " << slowestScrape << " ms; tabs answered " << tabs[0].answered << "/"
              << tabs[0].asked << " and " << tabs[1].answered << "/" << tabs[1].asked << "\n";
    EXPECT_GE(guessedFor, 99500);
    EXPECT_GE(scrapes, 60);
    EXPECT_EQ(scraped, scrapes);
    EXPECT_LT(slowestScrape, 300);
    EXPECT_EQ(signIns, scrapes / 10);
    EXPECT_EQ(run.stop(), 0);
}

// Sixteen connections that send "GET /metrics HTTP/1.1\r\n" and then a byte every 5 s, opened
// again as soon as the server closes them, from a peer of their own: a client that asks for
// /metrics once a second still gets its answers.
TEST_F(StatusServerE2E, SlowConnectionsOfOnePeerLeaveOthersTheirAnswers) {
    {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        inet_pton(AF_INET, "127.0.0.2", &local.sin_addr);
        const bool canBind = bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0;
        close(fd);
        if (!canBind) GTEST_SKIP() << "127.0.0.2 is not a loopback address here";
    }
    run.start({"-prefStatusListenAddress", "127.0.0.1:0"});
    const quint16 port = servingPort(15000);
    ASSERT_NE(port, 0) << run.log().toStdString();

    struct Slow {
        int fd = -1;
        qint64 lastByteMs = 0;
    };
    std::vector<Slow> slow(16);
    int opened = 0;
    QElapsedTimer clock;
    clock.start();
    const auto tendSlowOnes = [&] {
        for (Slow& s : slow) {
            if (s.fd >= 0) {
                // Closed by the server (or refused with 503): open it again at once.
                pollfd p{s.fd, POLLIN, 0};
                char buffer[512];
                if (poll(&p, 1, 0) == 1 && recv(s.fd, buffer, sizeof buffer, MSG_DONTWAIT) <= 0) {
                    close(s.fd);
                    s.fd = -1;
                }
            }
            if (s.fd < 0) {
                s.fd = connectFrom("127.0.0.2", port, 1000);
                if (s.fd < 0) continue;
                ++opened;
                static const QByteArray start = "GET /metrics HTTP/1.1\r\n";
                send(s.fd, start.constData(), static_cast<size_t>(start.size()), MSG_NOSIGNAL);
                s.lastByteMs = clock.elapsed();
            } else if (clock.elapsed() - s.lastByteMs >= 5000) {
                send(s.fd, "X", 1, MSG_NOSIGNAL);
                s.lastByteMs = clock.elapsed();
            }
        }
    };

    int asked = 0;
    int answered = 0;
    while (clock.elapsed() < 30000) {
        const qint64 due = (asked + 1) * 1000;
        while (clock.elapsed() < due) {
            tendSlowOnes();
            // The slow ones are tended every 50 ms until the next request of the client under test.
            poll(nullptr, 0, 50);
        }
        ++asked;
        // An answer in time for the next second counts.
        answered += get(port, "/metrics", QByteArray(), 900) == 200 ? 1 : 0;
    }
    for (Slow& s : slow) {
        if (s.fd >= 0) close(s.fd);
    }
    std::cout << "[ measured ] " << answered << " of " << asked << " once-a-second requests answered beside "
              << opened << " slow connections\n";
    EXPECT_GE(answered * 10, asked * 9);
    EXPECT_GE(opened, 16);
    EXPECT_EQ(run.stop(), 0);
}

}  // namespace
