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

bool sameToken(const QByteArray& given, const QByteArray& expected);
QByteArray signInAnswer(const QString& problem);

// What the server knows of one connection before the HTTP server reads it.
struct Connection {
    QPointer<QTcpSocket> socket;
    QString peer;
    QByteArray request;        // the bytes of the request under way
    bool answering = false;    // a request is under way or its answer is going out
    bool closeAfter = false;   // the request asked to close once answered
    bool paced = false;        // holding a wrong token's answer back
    bool counted = true;
    qint64 idleSince = 0;
};

// A clock that runs from now on.
QElapsedTimer startedClock() {
    QElapsedTimer clock;
    clock.start();
    return clock;
}

// When each peer's next wrong token may be answered: each wrong try waits the pause, and for the
// one before it, so guessing from one address goes at one try per pause however many connections
// it uses.
class WrongTokens {
public:
    // How long this wrong try waits; negative: so long that the connection is simply closed.
    qint64 delayFor(const QString& peer) {
        const qint64 now = clock_.elapsed();
        if (next_.size() > 1024) {
            for (auto it = next_.begin(); it != next_.end();) it = *it <= now ? next_.erase(it) : std::next(it);
        }
        const qint64 at = std::max(now + StatusHttpServer::kWrongTokenPauseMs, next_.value(peer, 0));
        if (at - now > kMaxWaitMs) return -1;
        next_.insert(peer, at + StatusHttpServer::kWrongTokenPauseMs);
        return at - now;
    }

private:
    static constexpr qint64 kMaxWaitMs = 10000;
    QElapsedTimer clock_ = startedClock();
    QHash<QString, qint64> next_;
};

// A header's value in a request's head (its first occurrence), or a null array.
QByteArray headerValue(const QByteArray& head, const QByteArray& name) {
    for (const QByteArray& line : head.split('\n')) {
        const qsizetype colon = line.indexOf(':');
        if (colon > 0 && line.left(colon).trimmed().compare(name, Qt::CaseInsensitive) == 0) return line.mid(colon + 1).trimmed();
    }
    return QByteArray();
}

// "127.0.0.1", "localhost", "[::1]" or one of `names`, with or without a port.
bool isOurHost(const QByteArray& host, const QList<QByteArray>& names) {
    QByteArray name = host.toLower();
    const qsizetype colon = name.lastIndexOf(':');
    if (colon >= 0 && colon > name.lastIndexOf(']')) name.truncate(colon);
    return name == "127.0.0.1" || name == "localhost" || name == "[::1]" || names.contains(name);
}

// Accepts connections up to a bound, and up to a smaller one from each peer, and watches each
// one before the HTTP server reads it: the size of a request, its first line, its Host, a wrong
// token, and how long it takes. At a bound, idle keep-alive connections make room, oldest first.
class BoundedTcpServer final : public QTcpServer {
public:
    BoundedTcpServer(const QByteArray& token, bool loopbackOnly, const QStringList& hostNames)
        : token_(token), loopbackOnly_(loopbackOnly) {
        for (const QString& name : hostNames) {
            if (!name.trimmed().isEmpty()) hostNames_.append(name.trimmed().toLower().toUtf8());
        }
    }

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
        if (*open_ >= StatusHttpServer::kMaxConnections) makeRoom(QString());
        if (perPeer_->value(peer) >= StatusHttpServer::kMaxConnectionsPerPeer) makeRoom(peer);
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
        auto connection = std::make_shared<Connection>();
        connection->socket = socket;
        connection->peer = peer;
        connection->idleSince = clock_.elapsed();
        connections_.append(connection);
        QObject::connect(socket, &QObject::destroyed, this, [this, connection] {
            release(*connection);
            connections_.removeOne(connection);
        });
        watch(connection);
        addPendingConnection(socket);
    }

private:
    void release(Connection& connection) {
        if (!connection.counted) return;
        connection.counted = false;
        --*open_;
        if (--(*perPeer_)[connection.peer] <= 0) perPeer_->remove(connection.peer);
    }

    // Closes one connection that waits for nothing of ours (of `peer`, or of anyone): one held
    // back for a wrong token first, else the one idle the longest.
    void makeRoom(const QString& peer) {
        std::shared_ptr<Connection> chosen;
        for (const std::shared_ptr<Connection>& c : std::as_const(connections_)) {
            if (!c->counted || !c->socket || (!peer.isNull() && c->peer != peer)) continue;
            if (c->paced) {
                chosen = c;
                break;
            }
            if (!c->answering && (!chosen || c->idleSince < chosen->idleSince)) chosen = c;
        }
        if (!chosen) return;
        release(*chosen);
        chosen->socket->abort();
    }

    // Looks at a request's head (and a sign-in's body) before the HTTP server does; false when the
    // connection was taken over to refuse or to hold back the request.
    bool examine(const std::shared_ptr<Connection>& connection) {
        QTcpSocket* socket = connection->socket;
        const QByteArray& request = connection->request;
        const qsizetype headEnd = request.indexOf("\r\n\r\n");
        if (headEnd < 0) return true;
        const QByteArray head = request.left(headEnd);
        const QByteArray host = headerValue(head, "host");
        if (loopbackOnly_ && !host.isNull() && !isOurHost(host, hostNames_)) {
            refuse(socket, "421 Misdirected Request");
            return false;
        }
        const QByteArray requestLine = head.left(head.indexOf('\r'));
        const QByteArray options = headerValue(head, "connection").toLower();
        connection->closeAfter = options.contains("close") || (requestLine.endsWith("HTTP/1.0") && !options.contains("keep-alive"));
        if (token_.isEmpty()) return true;
        const QByteArray authorization = headerValue(head, "authorization");
        if (authorization.size() > 7 && authorization.left(7).compare("bearer ", Qt::CaseInsensitive) == 0 &&
            !sameToken(authorization.mid(7).trimmed(), token_)) {
            holdBack(connection, "HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Bearer realm=\"vornplayer\"\r\n"
                                 "Content-Length: 0\r\nConnection: close\r\n\r\n");
            return false;
        }
        if (!requestLine.startsWith("POST /signin ")) return true;
        const qint64 length = headerValue(head, "content-length").toLongLong();
        if (request.size() < headEnd + 4 + length) return true;  // the body is still coming
        const QByteArray body = request.mid(headEnd + 4, length);
        const QByteArray given =
            QUrlQuery(QString::fromUtf8(body)).queryItemValue(QStringLiteral("token"), QUrl::FullyDecoded).toUtf8();
        if (sameToken(given, token_)) return true;
        holdBack(connection, signInAnswer(QStringLiteral("That token is not the player's.")));
        return false;
    }

    // A wrong token's answer waits its peer's turn; the right token never waits behind it.
    void holdBack(const std::shared_ptr<Connection>& connection, const QByteArray& answer) {
        QTcpSocket* socket = connection->socket;
        QObject::disconnect(socket, &QIODevice::readyRead, nullptr, nullptr);
        const qint64 delay = wrongTokens_.delayFor(connection->peer);
        if (delay < 0) {
            socket->abort();
            return;
        }
        connection->paced = true;
        QTimer::singleShot(delay, socket, [socket, answer] {
            QObject::disconnect(socket, &QIODevice::bytesWritten, nullptr, nullptr);
            QObject::connect(socket, &QIODevice::bytesWritten, socket, [socket] {
                if (socket->bytesToWrite() == 0) socket->disconnectFromHost();
            });
            socket->write(answer);
        });
    }

    // One timer per connection, never restarted by the bytes of a request: a request is whole
    // within kRequestDeadlineMs of its first byte, or the connection goes.
    void watch(const std::shared_ptr<Connection>& connection) {
        QTcpSocket* socket = connection->socket;
        socket->setReadBufferSize(StatusHttpServer::kMaxRequestBytes);
        auto* deadline = new QTimer(socket);
        deadline->setSingleShot(true);
        deadline->start(StatusHttpServer::kRequestDeadlineMs);
        QObject::connect(deadline, &QTimer::timeout, socket, [socket] { socket->abort(); });
        const std::weak_ptr<Connection> weak = connection;
        // Connected before the HTTP server's own reader, so this runs first on every read, and
        // sees the bytes that reader has not taken yet.
        QObject::connect(socket, &QIODevice::readyRead, socket, [this, socket, deadline, weak] {
            const std::shared_ptr<Connection> c = weak.lock();
            if (!c) return;
            // The first byte after an answer starts the next request's time.
            if (!c->answering) deadline->start(StatusHttpServer::kRequestDeadlineMs);
            c->answering = true;
            c->request += socket->peek(socket->bytesAvailable());
            if (c->request.size() >= StatusHttpServer::kMaxRequestBytes) {
                refuse(socket, "413 Payload Too Large");
                return;
            }
            const qsizetype end = c->request.indexOf('\n');
            if (end < 0) return;  // the first line is still coming
            if (!isRequestLine(c->request.left(end + 1))) {
                refuse(socket, "400 Bad Request");
                return;
            }
            examine(c);
        });
        // An answer goes out: while it does, the peer has its time to read it; once it is out,
        // whatever comes next is a new request, measured afresh, or the connection closes when
        // the request asked for that.
        QObject::connect(socket, &QIODevice::bytesWritten, socket, [this, socket, deadline, weak] {
            const std::shared_ptr<Connection> c = weak.lock();
            deadline->start(StatusHttpServer::kIdleTimeoutMs);
            if (!c || socket->bytesToWrite() != 0) return;
            if (c->closeAfter) {
                socket->disconnectFromHost();
                return;
            }
            c->request.clear();
            c->answering = false;
            c->idleSince = clock_.elapsed();
        });
    }

    static constexpr int kMaxRefusing = 64;
    const QByteArray token_;
    const bool loopbackOnly_;
    QList<QByteArray> hostNames_;
    WrongTokens wrongTokens_;
    QElapsedTimer clock_ = startedClock();
    QList<std::shared_ptr<Connection>> connections_;
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

// The signed-in browsers: each sign-in gets an id of its own, random, forgotten at sign-out or
// once it is kSessionLifetimeS old.
class Sessions {
public:
    QByteArray open() {
        QByteArray bytes(32, Qt::Uninitialized);
        QRandomGenerator::system()->fillRange(reinterpret_cast<quint32*>(bytes.data()), bytes.size() / 4);
        const QByteArray id = bytes.toHex();
        const qint64 now = clock_.elapsed();
        if (expiry_.size() >= kMaxSessions) {
            for (auto it = expiry_.begin(); it != expiry_.end();) it = *it <= now ? expiry_.erase(it) : std::next(it);
            // Still full: the one that ends first goes.
            if (expiry_.size() >= kMaxSessions) expiry_.erase(std::min_element(expiry_.begin(), expiry_.end()));
        }
        expiry_.insert(id, now + StatusHttpServer::kSessionLifetimeS * 1000);
        return id;
    }
    bool valid(const QByteArray& id) const {
        const auto it = expiry_.constFind(id);
        return it != expiry_.constEnd() && clock_.elapsed() < *it;
    }
    void forget(const QByteArray& id) { expiry_.remove(id); }

private:
    static constexpr qsizetype kMaxSessions = 256;
    QElapsedTimer clock_ = startedClock();
    QHash<QByteArray, qint64> expiry_;
};

// The session id a request's cookie names, or a null array.
QByteArray sessionOf(const QHttpServerRequest& request) {
    for (const auto& [name, value] : request.headers()) {
        if (name.compare("cookie", Qt::CaseInsensitive) != 0) continue;
        for (const QByteArray& cookie : value.trimmed().split(';')) {
            const QByteArray pair = cookie.trimmed();
            const qsizetype equals = pair.indexOf('=');
            if (equals > 0 && pair.left(equals) == StatusHttpServer::kSessionCookie) return pair.mid(equals + 1);
        }
    }
    return QByteArray();
}

// Who may ask: whoever has the token, as a bearer header (scripts, Prometheus) or as a session
// cookie that signing in sets (browsers). The cookie holds a random id, never the token.
struct Credentials {
    QByteArray token;
    std::shared_ptr<Sessions> sessions;
};

bool authorized(const QHttpServerRequest& request, const Credentials& credentials) {
    if (credentials.token.isEmpty()) return true;
    for (const auto& [name, value] : request.headers()) {
        const QByteArray v = value.trimmed();
        if (name.compare("authorization", Qt::CaseInsensitive) == 0 && v.size() > 7 &&
            v.left(7).compare("bearer ", Qt::CaseInsensitive) == 0 && sameToken(v.mid(7).trimmed(), credentials.token)) {
            return true;
        }
    }
    const QByteArray session = sessionOf(request);
    return !session.isEmpty() && credentials.sessions->valid(session);
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

namespace {

// The sign-in form with a problem, whole as it goes out on the connection, which then closes.
QByteArray signInAnswer(const QString& problem) {
    const QByteArray html = StatusHttpServer::signInPage(problem);
    return "HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\nCache-Control: no-store\r\n"
           "Content-Security-Policy: " + kPageSecurity + "\r\nX-Content-Type-Options: nosniff\r\nContent-Length: " +
           QByteArray::number(html.size()) + "\r\nConnection: close\r\n\r\n" + html;
}

// HEAD gets the head GET would get, without its body.
void answer(const QHttpServerRequest& request, QHttpServerResponse&& response, QHttpServerResponder&& responder) {
    if (request.method() != QHttpServerRequest::Method::Head) {
        response.write(std::move(responder));
        return;
    }
    responder.writeStatusLine(response.statusCode());
    responder.writeHeader("Content-Type", response.mimeType());
    responder.writeHeader("Content-Length", QByteArray::number(response.data().size()));
    for (const char* name : {"Cache-Control", "Content-Security-Policy", "X-Content-Type-Options", "WWW-Authenticate"}) {
        for (const QByteArray& value : response.headers(name)) responder.writeHeader(name, value);
    }
    responder.writeBody(QByteArray());
}

}  // namespace

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
                                               const QStringList& hostNames, Endpoints endpoints, QString* error) {
    VORN_ASSERT_MAIN_THREAD();
    const auto address = parseListenAddress(listenAddress);
    if (!address) {
        if (error) *error = QStringLiteral("\"%1\" is not an address and port such as 127.0.0.1:9477").arg(listenAddress);
        return std::nullopt;
    }
    auto* http = new QHttpServer(QCoreApplication::instance());
    // Bound to loopback, a request must name loopback as its Host, so that a page elsewhere cannot
    // reach the server through a name of its own that resolves here.
    auto* tcp = new BoundedTcpServer(token, address->first.isLoopback(), hostNames);
    tcp->setMaxPendingConnections(kMaxConnections);
    if (!tcp->listen(address->first, address->second)) {
        if (error) *error = tcp->errorString();
        delete tcp;
        delete http;
        return std::nullopt;
    }
    http->bind(tcp);

    auto screenshot = std::make_shared<ScreenshotCache>(std::move(endpoints.screenshot));
    const Credentials credentials{token, std::make_shared<Sessions>()};
    const auto get = [http, credentials](const char* path, std::function<QHttpServerResponse()> make) {
        http->route(QString::fromLatin1(path), QHttpServerRequest::Method::Get | QHttpServerRequest::Method::Head,
                    [credentials, make = std::move(make)](const QHttpServerRequest& request, QHttpServerResponder&& responder) {
                        answer(request, authorized(request, credentials) ? make() : unauthorized(), std::move(responder));
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
    http->route(QStringLiteral("/healthz"), QHttpServerRequest::Method::Get | QHttpServerRequest::Method::Head,
                [health = std::move(endpoints.health)](const QHttpServerRequest& request, QHttpServerResponder&& responder) {
                    if (!health) return answer(request, plainText("quitting\n", StatusCode::ServiceUnavailable), std::move(responder));
                    const auto [healthy, line] = health();
                    answer(request, plainText(line.constData(), healthy ? StatusCode::Ok : StatusCode::ServiceUnavailable),
                           std::move(responder));
                });
    // The page: the sign-in form for a browser without a session.
    http->route(QStringLiteral("/"), QHttpServerRequest::Method::Get | QHttpServerRequest::Method::Head,
                [credentials, page = std::move(endpoints.page)](const QHttpServerRequest& request, QHttpServerResponder&& responder) {
                    if (!authorized(request, credentials)) return answer(request, htmlPage(signInPage(QString())), std::move(responder));
                    const QByteArray html = page ? page() : QByteArray();
                    answer(request, html.isEmpty() ? plainText("quitting\n", StatusCode::ServiceUnavailable) : htmlPage(html),
                           std::move(responder));
                });
    // A wrong token never gets here: the connection holds it back and answers it in its turn.
    http->route(QStringLiteral("/signin"), QHttpServerRequest::Method::Post, [credentials](const QHttpServerRequest& request) {
        const QByteArray given =
            QUrlQuery(QString::fromUtf8(request.body())).queryItemValue(QStringLiteral("token"), QUrl::FullyDecoded).toUtf8();
        if (!credentials.token.isEmpty() && !sameToken(given, credentials.token)) {
            return htmlPage(signInPage(QStringLiteral("That token is not the player's.")));
        }
        QHttpServerResponse response(StatusCode::SeeOther);
        response.setHeader("Location", "/");
        if (!credentials.token.isEmpty()) {
            response.setHeader("Set-Cookie", QByteArray(kSessionCookie) + "=" + credentials.sessions->open() + "; Max-Age=" +
                                                 QByteArray::number(kSessionLifetimeS) + "; Path=/; HttpOnly; SameSite=Strict");
        }
        return response;
    });
    // Forgets the session and clears the cookie.
    http->route(QStringLiteral("/signout"), QHttpServerRequest::Method::Post, [credentials](const QHttpServerRequest& request) {
        const QByteArray session = sessionOf(request);
        if (!session.isEmpty()) credentials.sessions->forget(session);
        QHttpServerResponse response(StatusCode::SeeOther);
        response.setHeader("Location", "/");
        response.setHeader("Set-Cookie", QByteArray(kSessionCookie) + "=; Max-Age=0; Path=/; HttpOnly; SameSite=Strict");
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
                                       QStringLiteral("/screenshot.png"), QStringLiteral("/signin"), QStringLiteral("/signout"),
                                       QStringLiteral("/healthz")};
        // Read-only: the paths exist, but only for GET and HEAD (and the forms' POST).
        if (paths.contains(request.url().path())) {
            responder.write(QByteArray("405 Method Not Allowed: only GET and HEAD\n"),
                            {{"Content-Type", "text/plain"}, {"Allow", "GET, HEAD"}}, StatusCode::MethodNotAllowed);
            return;
        }
        responder.write(QByteArray("404 Not Found\n"), QByteArray("text/plain"), StatusCode::NotFound);
    });

    QString host = tcp->serverAddress().toString();
    if (tcp->serverAddress().protocol() == QAbstractSocket::IPv6Protocol) host = QStringLiteral("[%1]").arg(host);
    return QStringLiteral("http://%1:%2/").arg(host, QString::number(tcp->serverPort()));
}
