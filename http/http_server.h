// One HTTP server: an address and port, the guard, and routes registered by path prefix, each
// with its own policy (which origins may change state, CORS, WebSocket, body limit). A request
// goes to the route of the longest prefix that holds its path; every reply, refused or not, says
// not to cache, sniff or frame it.
//
// Threads: routes are registered between Bind and Start and never change after (the guard reads
// them on the network thread); handlers run on this object's thread.
#pragma once

#include "http_guard.h"
#include "http_types.h"

#include <QObject>
#include <QString>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace http {

class HttpAdapter;

class Server : public QObject {
    Q_OBJECT

public:
    using Handler = std::function<HttpReply(const HttpRequest&)>;

    // limits: the connection limits and deadlines (the body limit is each route's own).
    explicit Server(QObject* parent = nullptr, HttpLimits limits = {});
    ~Server() override;

    // Binds address:port (0: any free port); nothing is accepted before Start. False with the
    // reason in *error. "localhost" is 127.0.0.1.
    bool Bind(const std::string& address, int port, const QString& token, QString* error);
    // prefix: "/" takes every path no other route holds; "/x-nmos" takes "/x-nmos" and below.
    void AddRoute(const QString& prefix, RoutePolicy policy, Handler handler);
    // The sign-in page and the session routes /login and /logout, for a server with a token.
    void OfferSignIn(QByteArray page, QByteArray realm);
    void Start();

    quint16 Port() const { return m_port; }
    QString Address() const { return m_address; }
    // http://address:port/, with an IPv6 address in brackets.
    QString BaseUrl() const;

    // A WebSocket client a route took: pushes are queued in order.
    void SendText(int client, const QByteArray& text);
    int OpenConnections() const;

signals:
    void webSocketOpened(int client);
    void webSocketClosed(int client);

private:
    struct Route {
        QString prefix;
        RoutePolicy policy;
        Handler handler;
    };
    const Route* RouteOf(const QString& path) const;
    HttpReply Handle(const HttpRequest& request);

    Guard m_guard;
    std::vector<Route> m_routes; // longest prefix first
    std::unique_ptr<HttpAdapter> m_adapter;
    QString m_address;
    quint16 m_port = 0;
};

} // namespace http
