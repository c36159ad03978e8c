#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>
#include <utility>

// A small read-only HTTP server for watching a player from elsewhere: GET or HEAD / (the
// operator's page), /metrics, /status and /screenshot.png, each answered by a function of the
// caller. With a token, every request must carry "Authorization: Bearer <token>" or the session
// cookie that signing in on the page's form (POST /signin) sets, HttpOnly and SameSite=Strict, for
// 12 hours or until POST /signout; otherwise 401, and / shows the sign-in form. Wrong tokens, as a
// header or in the form, are answered one every half second per peer; the right one at once.
// Bound to loopback, it answers only requests whose Host is loopback. It runs in the main thread's
// event loop, so it is bounded: a few connections at a time and fewer from any one peer (idle
// keep-alive connections make room, else 503), short requests (413 beyond), each request whole
// within a few seconds of its first byte however slowly it trickles in, idle connections closed,
// "Connection: close" honoured, and the screenshot made at most once a second.
class StatusHttpServer {
public:
    struct Endpoints {
        std::function<QByteArray()> metrics;     // Prometheus text format
        std::function<QByteArray()> status;      // a JSON object
        std::function<QByteArray()> screenshot;  // a PNG; empty when there is nothing to show
        std::function<QByteArray()> page;        // the operator's page, HTML; empty: quitting
        // For a blackbox probe, without a token: whether the picture is as it should be, and a line why.
        std::function<std::pair<bool, QByteArray>()> health;
    };

    static constexpr int kMaxConnections = 16;
    // So that one peer, slow or hostile, leaves the others room.
    static constexpr int kMaxConnectionsPerPeer = 4;
    static constexpr qint64 kMaxRequestBytes = 16 * 1024;
    // From a request's first byte (or the connection's start) to its last header.
    static constexpr int kRequestDeadlineMs = 5000;
    // From an answer to the next request's first byte.
    static constexpr int kIdleTimeoutMs = 10000;
    static constexpr int kScreenshotMaxAgeMs = 1000;
    // A peer's wrong tokens are answered no closer together than this.
    static constexpr int kWrongTokenPauseMs = 500;
    static constexpr const char* kSessionCookie = "vornplayer_session";
    // How long a sign-in lasts.
    static constexpr qint64 kSessionLifetimeS = 12 * 3600;

    // The sign-in form, with a line saying why it is shown again (none the first time).
    static QByteArray signInPage(const QString& problem);

    // "127.0.0.1:9477", "0.0.0.0:9477", "[::1]:9477", "localhost:9477"; port 0 picks a free one.
    // None for anything else.
    static std::optional<std::pair<QHostAddress, quint16>> parseListenAddress(const QString& text);

    // Starts serving for the rest of the run (the server belongs to the application object).
    // Returns "http://address:port/" as listened on, or none with the reason in `error`. Main thread.
    // Bound to loopback, requests must name it as their Host (127.0.0.1, localhost, [::1]) or one
    // of `hostNames`; others get 421.
    static std::optional<QString> start(const QString& listenAddress, const QByteArray& token, const QStringList& hostNames,
                                        Endpoints endpoints, QString* error);
};
