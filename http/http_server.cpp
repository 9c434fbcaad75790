#include "http_server.h"

#include "http_adapter.h"

#include <QJsonDocument>

#include <algorithm>

namespace http {

namespace {

constexpr std::size_t kLargestBody = 1024 * 1024;

HttpReply Decorated(HttpReply reply, const HttpRequest& request, const RoutePolicy* policy) {
    reply.headers.push_back({"Cache-Control", "no-store"});
    reply.headers.push_back({"X-Content-Type-Options", "nosniff"});
    reply.headers.push_back({"Content-Security-Policy",
                             "default-src 'self'; img-src 'self' data:; frame-ancestors 'none'"});
    if (policy != nullptr && policy->cors) {
        // Pages of any origin may read; whether one may change anything is the guard's to say.
        reply.headers.push_back({"Access-Control-Allow-Origin", "*"});
        reply.headers.push_back(
            {"Access-Control-Allow-Methods", "GET, PUT, POST, PATCH, HEAD, OPTIONS, DELETE"});
        QByteArray allowed = "Content-Type, Accept, Authorization";
        if (const QByteArray asked = request.Header("access-control-request-headers");
            !asked.isEmpty() && asked.size() < 512) {
            allowed = asked;
        }
        reply.headers.push_back({"Access-Control-Allow-Headers", allowed});
        reply.headers.push_back({"Access-Control-Max-Age", "3600"});
    }
    reply.headOnly = request.method == "HEAD";
    return reply;
}

bool Holds(const QString& prefix, const QString& path) {
    if (prefix == QLatin1String("/")) {
        return true;
    }
    return path == prefix ||
           (path.startsWith(prefix) && path.at(prefix.size()) == QLatin1Char('/'));
}

} // namespace

HttpReply JsonReply(int status, const QJsonObject& object) {
    HttpReply reply;
    reply.status = status;
    reply.body = QJsonDocument(object).toJson(QJsonDocument::Compact);
    return reply;
}

HttpReply ErrorReply(int status, const QString& message) {
    return JsonReply(status, QJsonObject{{QStringLiteral("error"), message}});
}

bool IsRead(const HttpRequest& request) {
    return request.method == "GET" || request.method == "HEAD";
}

QByteArray HttpRequest::Header(const QByteArray& lowerName) const {
    for (const auto& header : headers) {
        if (header.first == lowerName) {
            return header.second;
        }
    }
    return {};
}

Server::Server(QObject* parent, HttpLimits limits) : QObject(parent) {
    // Each route says its own, which the guard sets before any body is read; this is the most
    // any route may take, and a path no route holds takes none.
    limits.bodyBytes = kLargestBody;
    m_adapter = std::make_unique<HttpAdapter>(
        [this](const HttpRequest& request, std::size_t* bodyLimit) -> std::optional<HttpReply> {
            const Route* route = RouteOf(request.path);
            const RoutePolicy none;
            const RoutePolicy& policy = route != nullptr ? route->policy : none;
            *bodyLimit = route != nullptr ? std::min(policy.bodyBytes, kLargestBody) : 0;
            if (std::optional<HttpReply> refused = m_guard.Check(request, policy)) {
                return Decorated(*refused, request, &policy);
            }
            return std::nullopt;
        },
        [this](const HttpRequest& request) { return Handle(request); }, limits);
    connect(m_adapter.get(), &HttpAdapter::webSocketOpened, this, &Server::webSocketOpened);
    connect(m_adapter.get(), &HttpAdapter::webSocketClosed, this, &Server::webSocketClosed);
}

Server::~Server() = default;

bool Server::Bind(const std::string& address, int port, const QString& token, QString* error) {
    const std::string host = address == "localhost" ? "127.0.0.1" : address;
    QString why;
    m_port =
        port < 0 || port > 65535 ? 0 : m_adapter->Listen(host, static_cast<quint16>(port), &why);
    if (m_port == 0) {
        if (why.isEmpty()) {
            why = QStringLiteral("the port must be 0 to 65535");
        }
        *error = QStringLiteral("cannot listen on %1 port %2 (%3)")
                     .arg(QString::fromStdString(address))
                     .arg(port)
                     .arg(why);
        return false;
    }
    m_address = QString::fromStdString(host);
    m_guard.Configure(host, m_port, token);
    return true;
}

void Server::AddRoute(const QString& prefix, RoutePolicy policy, Handler handler) {
    m_routes.push_back({prefix, std::move(policy), std::move(handler)});
    std::stable_sort(m_routes.begin(), m_routes.end(), [](const Route& a, const Route& b) {
        return a.prefix.size() > b.prefix.size();
    });
}

void Server::OfferSignIn(QByteArray page, QByteArray realm) {
    m_guard.SetSignIn(std::move(page), std::move(realm));
}

void Server::Start() {
    m_adapter->Start();
}

QString Server::BaseUrl() const {
    const bool v6 = m_address.contains(QLatin1Char(':'));
    return QStringLiteral("http://%1:%2/").arg(v6 ? "[" + m_address + "]" : m_address).arg(m_port);
}

void Server::SendText(int client, const QByteArray& text) {
    m_adapter->SendText(client, text);
}

int Server::OpenConnections() const {
    return m_adapter->OpenConnections();
}

const Server::Route* Server::RouteOf(const QString& path) const {
    for (const Route& route : m_routes) {
        if (Holds(route.prefix, path)) {
            return &route;
        }
    }
    return nullptr;
}

HttpReply Server::Handle(const HttpRequest& request) {
    if (m_guard.SignInOffered() && request.method == "POST") {
        if (request.path == QLatin1String("/login")) {
            return Decorated(m_guard.SignIn(request), request, nullptr);
        }
        if (request.path == QLatin1String("/logout")) {
            return Decorated(m_guard.SignOut(request), request, nullptr);
        }
    }
    const Route* route = RouteOf(request.path);
    if (route == nullptr) {
        return Decorated(ErrorReply(404, QStringLiteral("not found")), request, nullptr);
    }
    if (route->policy.cors && request.method == "OPTIONS") {
        HttpReply preflight;
        return Decorated(preflight, request, &route->policy);
    }
    return Decorated(route->handler(request), request, &route->policy);
}

} // namespace http
