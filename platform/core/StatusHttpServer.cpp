#include "platform/core/StatusHttpServer.h"

#include "platform/core/ThreadContract.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QHash>
#include <QHttpServer>
#include <QHttpServerRequest>
#include <QHttpServerResponse>
#include <QPointer>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QUrl>
#include <QUrlQuery>

#include <memory>

#include <sys/socket.h>
#include <unistd.h>

namespace {

using StatusCode = QHttpServerResponse::StatusCode;

const QByteArray kMetricsType = "text/plain; version=0.0.4; charset=utf-8";

QByteArray plainResponse(const char* statusLine) {
    return QByteArray("HTTP/1.1 ") + statusLine + "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
}

// Answers with a bare status and ends the connection. What the peer still sends is read and
// dropped for a while (up to a bound), so that closing does not reset the connection before the
// peer has read the answer.
void refuse(QTcpSocket* socket, const char* statusLine) {
    constexpr qint64 kDrainLimit = 1024 * 1024;
    QObject::disconnect(socket, &QIODevice::readyRead, nullptr, nullptr);
    QObject::disconnect(socket, &QIODevice::bytesWritten, nullptr, nullptr);
    auto drained = std::make_shared<qint64>(0);
    QObject::connect(socket, &QIODevice::readyRead, socket, [socket, drained] {
        *drained += socket->readAll().size();
        if (*drained > kDrainLimit) socket->abort();
    });
    QObject::connect(socket, &QIODevice::bytesWritten, socket, [socket] {
        if (socket->bytesToWrite() == 0) ::shutdown(static_cast<int>(socket->socketDescriptor()), SHUT_WR);
    });
    socket->write(plainResponse(statusLine));
    QTimer::singleShot(1000, socket, [socket] { socket->abort(); });
}

// A request starts with "METHOD /target HTTP/1.x"; anything else is refused before the parser.
bool isRequestLine(const QByteArray& line) {
    static const QRegularExpression pattern(QStringLiteral(R"(^[A-Z]{3,7} \S+ HTTP/1\.[01]\r?\n$)"));
    return pattern.match(QString::fromLatin1(line)).hasMatch();
}

// The peer a connection comes from, the same whether it came over IPv4 or as an IPv4-mapped
// IPv6 address.
QString socketPeerOf(const QTcpSocket* socket) {
    const QHostAddress address = socket->peerAddress();
    bool mapped = false;
    const quint32 v4 = address.toIPv4Address(&mapped);
    return mapped ? QHostAddress(v4).toString() : address.toString();
}

// Accepts connections up to a bound, and up to a smaller one from each peer, and watches each
// one before the HTTP server reads it: the size of a request, its first line, and how long it
// takes.
class BoundedTcpServer final : public QTcpServer {
public:
    using QTcpServer::QTcpServer;

protected:
    void incomingConnection(qintptr descriptor) override {
        auto* socket = new QTcpSocket(this);
        if (!socket->setSocketDescriptor(descriptor)) {
            ::close(static_cast<int>(descriptor));
            delete socket;
            return;
        }
        QObject::connect(socket, &QAbstractSocket::disconnected, socket, &QObject::deleteLater);
        const QString peer = socketPeerOf(socket);
        if (*open_ >= StatusHttpServer::kMaxConnections || perPeer_->value(peer) >= StatusHttpServer::kMaxConnectionsPerPeer) {
            // Even the refusals are bounded: past that, a connection is closed unanswered.
            if (*refusing_ >= kMaxRefusing) {
                socket->abort();
                return;
            }
            ++*refusing_;
            QObject::connect(socket, &QObject::destroyed, [refusing = refusing_] { --*refusing; });
            refuse(socket, "503 Service Unavailable");
            return;
        }
        ++*open_;
        ++(*perPeer_)[peer];
        QObject::connect(socket, &QObject::destroyed, [open = open_, perPeer = perPeer_, peer] {
            --*open;
            if (--(*perPeer)[peer] <= 0) perPeer->remove(peer);
        });
        watch(socket);
        addPendingConnection(socket);
    }

private:
    // One timer per connection, never restarted by the bytes of a request: a request is whole
    // within kRequestDeadlineMs of its first byte, or the connection goes.
    static void watch(QTcpSocket* socket) {
        socket->setReadBufferSize(StatusHttpServer::kMaxRequestBytes);
        auto* deadline = new QTimer(socket);
        deadline->setSingleShot(true);
        deadline->start(StatusHttpServer::kRequestDeadlineMs);
        QObject::connect(deadline, &QTimer::timeout, socket, [socket] { socket->abort(); });
        auto received = std::make_shared<qint64>(0);
        auto firstLineChecked = std::make_shared<bool>(false);
        // Connected before the HTTP server's own reader, so this runs first on every read.
        QObject::connect(socket, &QIODevice::readyRead, socket, [socket, deadline, received, firstLineChecked] {
            // The first byte after an answer starts the next request's time.
            if (*received == 0) deadline->start(StatusHttpServer::kRequestDeadlineMs);
            *received += socket->bytesAvailable();
            if (*received >= StatusHttpServer::kMaxRequestBytes) {
                refuse(socket, "413 Payload Too Large");
                return;
            }
            // The connection's first line; later requests on it are left to the parser, which
            // closes the connection on nonsense.
            if (!*firstLineChecked) {
                const QByteArray head = socket->peek(StatusHttpServer::kMaxRequestBytes);
                const qsizetype end = head.indexOf('\n');
                if (end < 0) return;  // the first line is still coming
                if (!isRequestLine(head.left(end + 1))) {
                    refuse(socket, "400 Bad Request");
                    return;
                }
                *firstLineChecked = true;
            }
        });
        // An answer goes out: while it does, the peer has its time to read it; once it is out,
        // whatever comes next is a new request, measured afresh.
        QObject::connect(socket, &QIODevice::bytesWritten, socket, [socket, deadline, received] {
            deadline->start(StatusHttpServer::kIdleTimeoutMs);
            if (socket->bytesToWrite() == 0) *received = 0;
        });
    }

    static constexpr int kMaxRefusing = 64;
    std::shared_ptr<int> open_ = std::make_shared<int>(0);
    std::shared_ptr<QHash<QString, int>> perPeer_ = std::make_shared<QHash<QString, int>>();
    std::shared_ptr<int> refusing_ = std::make_shared<int>(0);
};

bool sameToken(const QByteArray& given, const QByteArray& expected) {
    // Every byte is compared whatever the first difference, so timing tells nothing.
    unsigned char diff = given.size() == expected.size() ? 0 : 1;
    for (qsizetype i = 0; i < given.size(); ++i) {
        diff |= static_cast<unsigned char>(given.at(i) ^ expected.at(i % std::max<qsizetype>(expected.size(), 1)));
    }
    return diff == 0;
}

// Who may ask: whoever has the token, as a bearer header (scripts, Prometheus) or as the session
// cookie that signing in sets (browsers). The cookie holds a secret of this run, never the token.
struct Credentials {
    QByteArray token;
    QByteArray session;
};

bool authorized(const QHttpServerRequest& request, const Credentials& credentials) {
    if (credentials.token.isEmpty()) return true;
    for (const auto& [name, value] : request.headers()) {
        const QByteArray v = value.trimmed();
        if (name.compare("authorization", Qt::CaseInsensitive) == 0) {
            if (v.size() > 7 && v.left(7).compare("bearer ", Qt::CaseInsensitive) == 0 &&
                sameToken(v.mid(7).trimmed(), credentials.token)) {
                return true;
            }
        } else if (name.compare("cookie", Qt::CaseInsensitive) == 0) {
            for (const QByteArray& cookie : v.split(';')) {
                const QByteArray pair = cookie.trimmed();
                const qsizetype equals = pair.indexOf('=');
                if (equals > 0 && pair.left(equals) == StatusHttpServer::kSessionCookie &&
                    sameToken(pair.mid(equals + 1), credentials.session)) {
                    return true;
                }
            }
        }
    }
    return false;
}

// A secret for this run's session cookies.
QByteArray newSessionSecret() {
    QByteArray bytes(32, Qt::Uninitialized);
    QRandomGenerator::system()->fillRange(reinterpret_cast<quint32*>(bytes.data()), bytes.size() / 4);
    return bytes.toHex();
}

const QByteArray kPageSecurity =
    "default-src 'none'; img-src 'self' data:; style-src 'unsafe-inline'; script-src 'unsafe-inline'; connect-src 'self'; "
    "form-action 'self'; frame-ancestors 'none'; base-uri 'none'";

QHttpServerResponse htmlPage(const QByteArray& html, StatusCode status = StatusCode::Ok) {
    QHttpServerResponse response(QByteArray("text/html; charset=utf-8"), html, status);
    response.setHeader("Cache-Control", "no-store");
    response.setHeader("Content-Security-Policy", kPageSecurity);
    response.setHeader("X-Content-Type-Options", "nosniff");
    return response;
}

// When each peer last gave a wrong token, so that guessing goes slowly.
class WrongTokens {
public:
    bool tooSoon(const QString& peer) {
        const auto it = last_.constFind(peer);
        return it != last_.constEnd() && clock_.elapsed() - *it < StatusHttpServer::kWrongTokenPauseMs;
    }
    void note(const QString& peer) {
        if (last_.size() > 1024) {
            for (auto it = last_.begin(); it != last_.end();) {
                it = clock_.elapsed() - *it >= StatusHttpServer::kWrongTokenPauseMs ? last_.erase(it) : std::next(it);
            }
        }
        last_.insert(peer, clock_.elapsed());
    }

private:
    QElapsedTimer clock_ = [] {
        QElapsedTimer t;
        t.start();
        return t;
    }();
    QHash<QString, qint64> last_;
};

QString peerOf(const QHttpServerRequest& request) {
    const QHostAddress address = request.remoteAddress();
    bool mapped = false;
    const quint32 v4 = address.toIPv4Address(&mapped);
    return mapped ? QHostAddress(v4).toString() : address.toString();
}

QHttpServerResponse plainText(const char* text, StatusCode status) {
    return QHttpServerResponse(QByteArray("text/plain; charset=utf-8"), QByteArray(text), status);
}

QHttpServerResponse unauthorized() {
    QHttpServerResponse response = plainText("401 Unauthorized: a bearer token is required\n", StatusCode::Unauthorized);
    response.setHeader("WWW-Authenticate", "Bearer realm=\"vornplayer\"");
    return response;
}

// The screenshot is the one costly answer; a burst of requests gets the same picture.
class ScreenshotCache {
public:
    explicit ScreenshotCache(std::function<QByteArray()> make) : make_(std::move(make)) {}
    QByteArray get() {
        if (!age_.isValid() || age_.elapsed() >= StatusHttpServer::kScreenshotMaxAgeMs) {
            png_ = make_ ? make_() : QByteArray();
            age_.start();
        }
        return png_;
    }

private:
    std::function<QByteArray()> make_;
    QByteArray png_;
    QElapsedTimer age_;
};

}  // namespace

QByteArray StatusHttpServer::signInPage(const QString& problem) {
    QByteArray html =
        "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
        "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
        "<link rel=\"icon\" href=\"data:,\"><title>VornPlayer: sign in</title>"
        "<style>body{font:16px sans-serif;margin:3em auto;max-width:26em;color:#222}"
        "input{font:inherit;padding:.3em;width:100%;box-sizing:border-box;margin:.3em 0}"
        ".problem{color:#b00}</style></head>\n<body><h1>VornPlayer</h1>\n";
    if (!problem.isEmpty()) html += "<p class=\"problem\" id=\"problem\">" + problem.toHtmlEscaped().toUtf8() + "</p>\n";
    html += "<form id=\"signin\" method=\"post\" action=\"/signin\"><label for=\"token\">Token</label>"
            "<input id=\"token\" name=\"token\" type=\"password\" autocomplete=\"current-password\" autofocus>"
            "<input type=\"submit\" value=\"Sign in\"></form>\n</body></html>\n";
    return html;
}

std::optional<std::pair<QHostAddress, quint16>> StatusHttpServer::parseListenAddress(const QString& text) {
    const QUrl url(QStringLiteral("http://%1").arg(text.trimmed()));
    if (!url.isValid() || url.host().isEmpty() || url.port() < 0 || !url.path().isEmpty() || url.hasQuery() ||
        !url.userInfo().isEmpty() || url.hasFragment()) {
        return std::nullopt;
    }
    QHostAddress address;
    if (url.host() == QLatin1String("localhost")) {
        address = QHostAddress(QHostAddress::LocalHost);
    } else if (!address.setAddress(url.host())) {
        return std::nullopt;
    }
    return std::make_pair(address, static_cast<quint16>(url.port()));
}

std::optional<QString> StatusHttpServer::start(const QString& listenAddress, const QByteArray& token,
                                               Endpoints endpoints, QString* error) {
    VORN_ASSERT_MAIN_THREAD();
    const auto address = parseListenAddress(listenAddress);
    if (!address) {
        if (error) *error = QStringLiteral("\"%1\" is not an address and port such as 127.0.0.1:9477").arg(listenAddress);
        return std::nullopt;
    }
    auto* http = new QHttpServer(QCoreApplication::instance());
    auto* tcp = new BoundedTcpServer;
    tcp->setMaxPendingConnections(kMaxConnections);
    if (!tcp->listen(address->first, address->second)) {
        if (error) *error = tcp->errorString();
        delete tcp;
        delete http;
        return std::nullopt;
    }
    http->bind(tcp);

    auto screenshot = std::make_shared<ScreenshotCache>(std::move(endpoints.screenshot));
    const Credentials credentials{token, newSessionSecret()};
    const auto get = [http, credentials](const char* path, std::function<QHttpServerResponse()> answer) {
        http->route(QString::fromLatin1(path), QHttpServerRequest::Method::Get,
                    [credentials, answer = std::move(answer)](const QHttpServerRequest& request) {
                        return authorized(request, credentials) ? answer() : unauthorized();
                    });
    };
    get("/metrics", [metrics = std::move(endpoints.metrics)] {
        const QByteArray text = metrics ? metrics() : QByteArray();
        return text.isEmpty() ? plainText("quitting\n", StatusCode::ServiceUnavailable) : QHttpServerResponse(kMetricsType, text);
    });
    get("/status", [status = std::move(endpoints.status)] {
        const QByteArray json = status ? status() : QByteArray();
        return json.isEmpty() ? plainText("quitting\n", StatusCode::ServiceUnavailable)
                              : QHttpServerResponse(QByteArray("application/json"), json);
    });
    get("/screenshot.png", [screenshot] {
        const QByteArray png = screenshot->get();
        if (png.isEmpty()) return plainText("no picture to show yet\n", StatusCode::ServiceUnavailable);
        QHttpServerResponse response(QByteArray("image/png"), png);
        response.setHeader("Cache-Control", "no-store");
        return response;
    });
    // Open to anyone: it tells only whether the picture moves, so a probe needs no secret.
    http->route(QStringLiteral("/healthz"), QHttpServerRequest::Method::Get, [health = std::move(endpoints.health)] {
        if (!health) return plainText("quitting\n", StatusCode::ServiceUnavailable);
        const auto [healthy, line] = health();
        return plainText(line.constData(), healthy ? StatusCode::Ok : StatusCode::ServiceUnavailable);
    });
    // The page: the sign-in form for a browser without the cookie.
    http->route(QStringLiteral("/"), QHttpServerRequest::Method::Get,
                [credentials, page = std::move(endpoints.page)](const QHttpServerRequest& request) {
                    if (!authorized(request, credentials)) return htmlPage(signInPage(QString()));
                    const QByteArray html = page ? page() : QByteArray();
                    return html.isEmpty() ? plainText("quitting\n", StatusCode::ServiceUnavailable) : htmlPage(html);
                });
    auto wrongTokens = std::make_shared<WrongTokens>();
    http->route(QStringLiteral("/signin"), QHttpServerRequest::Method::Post,
                [credentials, wrongTokens](const QHttpServerRequest& request) {
                    const QString peer = peerOf(request);
                    // Turned away unread; a page a browser shows, not an error it reports.
                    if (wrongTokens->tooSoon(peer)) return htmlPage(signInPage(QStringLiteral("Too many tries: wait a moment.")));
                    const QByteArray given =
                        QUrlQuery(QString::fromUtf8(request.body())).queryItemValue(QStringLiteral("token"), QUrl::FullyDecoded).toUtf8();
                    if (!credentials.token.isEmpty() && !sameToken(given, credentials.token)) {
                        wrongTokens->note(peer);
                        return htmlPage(signInPage(QStringLiteral("That token is not the player's.")));
                    }
                    QHttpServerResponse response(StatusCode::SeeOther);
                    response.setHeader("Location", "/");
                    if (!credentials.token.isEmpty()) {
                        response.setHeader("Set-Cookie", QByteArray(kSessionCookie) + "=" + credentials.session +
                                                             "; Path=/; HttpOnly; SameSite=Strict");
                    }
                    return response;
                });
    http->setMissingHandler([credentials](const QHttpServerRequest& request, QHttpServerResponder&& responder) {
        if (!authorized(request, credentials)) {
            responder.write(QByteArray("401 Unauthorized: a bearer token is required\n"),
                            {{"Content-Type", "text/plain"}, {"WWW-Authenticate", "Bearer realm=\"vornplayer\""}},
                            StatusCode::Unauthorized);
            return;
        }
        static const QStringList paths{QStringLiteral("/"), QStringLiteral("/metrics"), QStringLiteral("/status"),
                                       QStringLiteral("/screenshot.png"), QStringLiteral("/signin"),
                                       QStringLiteral("/healthz")};
        // Read-only: the paths exist, but only for GET (and the form's POST).
        if (paths.contains(request.url().path())) {
            responder.write(QByteArray("405 Method Not Allowed: only GET\n"), {{"Content-Type", "text/plain"}, {"Allow", "GET"}},
                            StatusCode::MethodNotAllowed);
            return;
        }
        responder.write(QByteArray("404 Not Found\n"), QByteArray("text/plain"), StatusCode::NotFound);
    });

    QString host = tcp->serverAddress().toString();
    if (tcp->serverAddress().protocol() == QAbstractSocket::IPv6Protocol) host = QStringLiteral("[%1]").arg(host);
    return QStringLiteral("http://%1:%2/").arg(host, QString::number(tcp->serverPort()));
}
