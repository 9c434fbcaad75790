// What every server of the program speaks: one request as it arrived, one reply, and the limits
// a connection is held to. Qt Core only, so the routes' owners need nothing of Beast.
#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QUrlQuery>

#include <chrono>
#include <cstddef>
#include <utility>
#include <vector>

namespace http {

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
    // A WebSocket client heard from neither a message nor a pong this long is closed; half-way
    // through the server pings it, which every browser answers by itself.
    std::chrono::milliseconds webSocketIdleTimeout{300'000};
};

// A compact JSON body with its status.
HttpReply JsonReply(int status, const QJsonObject& object);
// {"error": message}: how the program's own APIs refuse.
HttpReply ErrorReply(int status, const QString& message);
// A GET or HEAD.
bool IsRead(const HttpRequest& request);

} // namespace http
