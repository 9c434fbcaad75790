// The one place that knows Qt HttpServer's API (it changes in later Qt versions: listen() goes,
// handleRequest() takes a responder). The control server sees plain requests and replies.
#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QPair>
#include <QString>
#include <QUrlQuery>

#include <functional>
#include <memory>
#include <utility>
#include <vector>

class QWebSocket;

namespace control {

struct HttpRequest {
    QByteArray method; // "GET", "PATCH", ...; "UNKNOWN" for methods Qt does not name
    QString path;
    QUrlQuery query;
    std::vector<std::pair<QByteArray, QByteArray>> headers; // names in lower case
    QByteArray body;

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

class HttpAdapter : public QObject {
    Q_OBJECT

public:
    using Handler = std::function<HttpReply(const HttpRequest&)>;

    explicit HttpAdapter(Handler handler, QObject* parent = nullptr);
    ~HttpAdapter() override;

    // The port listened on (port 0 picks a free one); 0 when it cannot listen.
    quint16 Listen(const QHostAddress& address, quint16 port);

signals:
    // A client upgraded to WebSocket (on any path). The receiver takes ownership.
    void webSocketConnected(QWebSocket* socket);

private:
    class Server;
    std::unique_ptr<Server> m_server;
};

} // namespace control
