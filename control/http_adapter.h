// The control server's HTTP and WebSocket layer: Boost.Beast on a network thread of its own,
// which enforces every limit while it reads, so a hostile client costs at most a few KiB and a
// few seconds: request line and headers, body, WebSocket messages, time to send a request, idle
// time between requests, and the number of open connections. Whole requests that pass the
// guard are handed to the handler on this object's (the user-interface) thread; WebSocket
// clients are named by number and only pushed to.
#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QString>
#include <QUrlQuery>

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

namespace control {

struct HttpRequest {
    QByteArray method; // as sent: "GET", "PATCH", ...
    QString path;      // percent-decoded
    QUrlQuery query;
    std::vector<std::pair<QByteArray, QByteArray>> headers; // names in lower case
    QByteArray body;        // empty while the guard looks at the headers
    QByteArray peer;        // the client's address, for per-client limits
    bool webSocket = false; // an upgrade to WebSocket

    // The first header of that (lower-case) name; empty when absent.
    QByteArray Header(const QByteArray& lowerName) const;
};

struct HttpReply {
    int status = 200;
    QByteArray contentType = "application/json";
    QByteArray body;
    std::vector<std::pair<QByteArray, QByteArray>> headers;
    bool headOnly = false; // HEAD: the headers of the body, without the body
};

struct HttpLimits {
    std::size_t headerBytes = 8 * 1024; // request line and headers
    std::size_t bodyBytes = 16 * 1024;
    std::chrono::milliseconds headerTimeout{10'000}; // from the connection to a whole header
    std::chrono::milliseconds bodyTimeout{10'000};   // from the header to the whole body
    std::chrono::milliseconds idleTimeout{30'000};   // between requests on one connection
    int maxConnections = 64;                         // beyond: closed at once
    std::size_t webSocketMessageBytes = 4 * 1024;    // from a client; beyond: that one closes
    std::size_t webSocketQueue = 32;                 // unsent pushes; beyond: that one closes
};

class HttpAdapter : public QObject {
    Q_OBJECT

public:
    // Runs on the network thread as soon as a request's headers are complete, before any of its
    // body is read: a reply refuses the request with it and the connection is closed. Must be
    // safe to call from that thread.
    using Guard = std::function<std::optional<HttpReply>(const HttpRequest&)>;
    // Runs on this object's thread with a whole request that passed the guard.
    using Handler = std::function<HttpReply(const HttpRequest&)>;

    HttpAdapter(Guard guard, Handler handler, HttpLimits limits = {}, QObject* parent = nullptr);
    ~HttpAdapter() override; // closes every connection and joins the network thread

    // Binds address:port (port 0 picks a free one). The port listened on, or 0 with the reason
    // in *error. Nothing is accepted before Start, so the guard's own settings can be made first.
    quint16 Listen(const QHostAddress& address, quint16 port, QString* error);
    void Start();

    // A WebSocket client that passed the guard: pushes are queued in order, from any thread.
    void SendText(int client, const QByteArray& text);
    int OpenConnections() const;

signals:
    void webSocketOpened(int client);
    void webSocketClosed(int client);

public:
    struct Core;

private:
    Handler m_handler;
    std::shared_ptr<Core> m_core;
    std::thread m_thread;
};

} // namespace control
