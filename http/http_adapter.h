// The HTTP and WebSocket layer beneath every server of the program: Boost.Beast on a network
// thread of its own,
// which enforces every limit while it reads, so a hostile client costs at most a few KiB and a
// few seconds: request line and headers, body, WebSocket messages, time to send a request, idle
// time between requests, and the number of open connections. Whole requests that pass the
// guard are handed to the handler on this object's (the user-interface) thread; WebSocket
// clients are named by number and only pushed to.
#pragma once

#include "http_types.h"

#include <QObject>
#include <QString>

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace http {

class HttpAdapter : public QObject {
    Q_OBJECT

public:
    // Runs on the network thread as soon as a request's headers are complete, before any of its
    // body is read: a reply refuses the request with it and the connection is closed. Must be
    // safe to call from that thread.
    // *bodyLimit starts at the limits' bodyBytes and may be lowered or raised for this request.
    using Guard =
        std::function<std::optional<HttpReply>(const HttpRequest&, std::size_t* bodyLimit)>;
    // Runs on this object's thread with a whole request that passed the guard.
    using Handler = std::function<HttpReply(const HttpRequest&)>;

    HttpAdapter(Guard guard, Handler handler, HttpLimits limits = {}, QObject* parent = nullptr);
    ~HttpAdapter() override; // closes every connection and joins the network thread

    // Binds address:port (port 0 picks a free one). The port listened on, or 0 with the reason
    // in *error. Nothing is accepted before Start, so the guard's own settings can be made first.
    quint16 Listen(const std::string& address, quint16 port, QString* error);
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

} // namespace http
