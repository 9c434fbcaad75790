// Qt HttpServer 6.4 behind our own request and reply: a QAbstractHttpServer whose one handler
// passes every request to ours and writes what it answers.
#include "http_adapter.h"

#include <QAbstractHttpServer>
#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QMetaEnum>
#include <QWebSocket>

namespace control {

QByteArray HttpRequest::Header(const QByteArray& lowerName) const {
    for (const auto& header : headers) {
        if (header.first == lowerName) {
            return header.second;
        }
    }
    return {};
}

class HttpAdapter::Server : public QAbstractHttpServer {
public:
    Server(HttpAdapter& owner, Handler handler) : m_owner(owner), m_handler(std::move(handler)) {
        connect(this, &QAbstractHttpServer::newWebSocketConnection, this, [this] {
            while (hasPendingWebSocketConnections()) {
                std::unique_ptr<QWebSocket> socket = nextPendingWebSocketConnection();
                if (socket) {
                    emit m_owner.webSocketConnected(socket.release());
                }
            }
        });
    }

protected:
    bool handleRequest(const QHttpServerRequest& request, QTcpSocket* socket) override {
        HttpRequest ours;
        ours.method = MethodName(request.method());
        ours.path = request.url().path();
        ours.query = request.query();
        for (const auto& header : request.headers()) {
            ours.headers.push_back({header.first.toLower(), header.second});
        }
        ours.body = request.body();
        if (ours.Header("upgrade").toLower() == "websocket") {
            // Qt answers the upgrade itself after this returns and hands the socket over
            // (webSocketConnected); an answer written here would come before its own.
            return true;
        }
        const HttpReply reply = m_handler(ours);

        QHttpServerResponder responder = makeResponder(request, socket);
        responder.writeStatusLine(static_cast<QHttpServerResponder::StatusCode>(reply.status));
        responder.writeHeader("Content-Type", reply.contentType);
        responder.writeHeader("Content-Length", QByteArray::number(reply.body.size()));
        for (const auto& header : reply.headers) {
            responder.writeHeader(header.first, header.second);
        }
        responder.writeBody(reply.headOnly ? QByteArray() : reply.body);
        return true;
    }

    void missingHandler(const QHttpServerRequest&, QTcpSocket*) override {}

private:
    static QByteArray MethodName(QHttpServerRequest::Method method) {
        switch (method) {
        case QHttpServerRequest::Method::Get:
            return "GET";
        case QHttpServerRequest::Method::Head:
            return "HEAD";
        case QHttpServerRequest::Method::Post:
            return "POST";
        case QHttpServerRequest::Method::Put:
            return "PUT";
        case QHttpServerRequest::Method::Patch:
            return "PATCH";
        case QHttpServerRequest::Method::Delete:
            return "DELETE";
        case QHttpServerRequest::Method::Options:
            return "OPTIONS";
        default:
            return "UNKNOWN";
        }
    }

    HttpAdapter& m_owner;
    Handler m_handler;
};

HttpAdapter::HttpAdapter(Handler handler, QObject* parent)
    : QObject(parent), m_server(std::make_unique<Server>(*this, std::move(handler))) {}

HttpAdapter::~HttpAdapter() = default;

quint16 HttpAdapter::Listen(const QHostAddress& address, quint16 port) {
    return m_server->listen(address, port);
}

} // namespace control
