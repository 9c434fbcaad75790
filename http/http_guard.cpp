#include "http_guard.h"

#include "address.h"

#include <QRandomGenerator>
#include <QUrl>

#include <algorithm>
#include <array>

namespace http {

namespace {

// A sign-in lasts a working shift; every session ends when the program does.
constexpr auto kSessionLifetime = std::chrono::hours(8);
constexpr int kSessionSeconds = 8 * 3600;
// Wrong tokens from one client address: after this many within the window, that address may not
// try again for kFirstLockout, doubled at each further lockout up to kLongestLockout.
constexpr int kAllowedFailures = 5;
constexpr auto kFailureWindow = std::chrono::seconds(60);
constexpr int kFirstLockoutS = 10;
constexpr int kLongestLockoutS = 300;

bool SameSecret(const QByteArray& given, const QByteArray& expected) {
    // Every byte is compared whatever the first difference, so timing tells nothing of the token.
    if (expected.isEmpty() || given.size() != expected.size()) {
        return false;
    }
    unsigned difference = 0;
    for (qsizetype i = 0; i < given.size(); ++i) {
        difference |= static_cast<unsigned char>(given[i] ^ expected[i]);
    }
    return difference == 0;
}

QByteArray CookieValue(const QByteArray& cookies, const QByteArray& name) {
    for (const QByteArray& part : cookies.split(';')) {
        const QByteArray trimmed = part.trimmed();
        if (trimmed.startsWith(name + "=")) {
            return trimmed.mid(name.size() + 1);
        }
    }
    return {};
}

HttpReply Throttled(int seconds, const QString& message) {
    HttpReply reply = ErrorReply(429, message.arg(seconds));
    reply.headers.push_back({"Retry-After", QByteArray::number(seconds)});
    return reply;
}

} // namespace

void Guard::Configure(const std::string& address, quint16 port, const QString& token) {
    m_address = address;
    m_port = port;
    m_token = token.toUtf8();
    m_cookieName = "lirafon_session_" + QByteArray::number(port);
}

void Guard::SetSignIn(QByteArray page, QByteArray realm) {
    m_signInPage = std::move(page);
    m_realm = std::move(realm);
}

bool Guard::HostAllowed(const QByteArray& host) const {
    const QByteArray port = ":" + QByteArray::number(m_port);
    const QByteArray given = host.trimmed().toLower();
    const bool v6 = m_address.find(':') != std::string::npos;
    const QByteArray address = QByteArray::fromStdString(m_address).toLower();
    std::vector<QByteArray> names{v6 ? "[" + address + "]" : address};
    if (wire::IsLoopbackAddress(m_address)) {
        names.insert(names.end(), {"localhost", "127.0.0.1", "[::1]"});
    }
    return std::any_of(names.begin(), names.end(),
                       [&](const QByteArray& name) { return given == name + port; });
}

bool Guard::OriginAllowed(const QByteArray& origin, const QByteArray& host,
                          const RoutePolicy& policy) const {
    if (origin.isEmpty()) {
        return true; // not a browser: curl, a controller's own program
    }
    const QByteArray given = origin.trimmed().toLower();
    if (policy.ownOrigin && given == "http://" + host.trimmed().toLower()) {
        return true;
    }
    return std::find(policy.allowedOrigins.begin(), policy.allowedOrigins.end(), given) !=
           policy.allowedOrigins.end();
}

QByteArray Guard::SessionId(const HttpRequest& request) const {
    return CookieValue(request.Header("cookie"), m_cookieName);
}

bool Guard::TokenMatches(const QByteArray& given, const QByteArray& peer, int* throttledFor) const {
    const Clock::time_point now = Clock::now();
    std::lock_guard guard(m_lock);
    Failures& failures = m_failures[peer];
    if (now < failures.lockedUntil) {
        // Not even compared: a guesser learns nothing while the lockout runs.
        *throttledFor = static_cast<int>(
            std::chrono::ceil<std::chrono::seconds>(failures.lockedUntil - now).count());
        return false;
    }
    if (SameSecret(given, m_token)) {
        m_failures.erase(peer);
        return true;
    }
    if (now - failures.since > kFailureWindow) {
        failures.count = 0;
        failures.since = now;
    }
    if (++failures.count >= kAllowedFailures) {
        const int seconds =
            std::min(kLongestLockoutS, kFirstLockoutS << std::min(failures.lockouts, 5));
        failures.lockedUntil = now + std::chrono::seconds(seconds);
        ++failures.lockouts;
        failures.count = 0;
        *throttledFor = seconds;
    }
    // Addresses that stopped guessing long ago are forgotten, so the table stays small.
    if (m_failures.size() > 4096) {
        std::erase_if(m_failures, [&](const auto& entry) {
            return now - entry.second.since > kFailureWindow && now > entry.second.lockedUntil;
        });
    }
    return false;
}

bool Guard::Authorised(const HttpRequest& request, int* throttledFor) const {
    *throttledFor = 0;
    if (m_token.isEmpty()) {
        return true;
    }
    const QByteArray session = SessionId(request);
    if (!session.isEmpty()) {
        std::lock_guard guard(m_lock);
        const auto found = m_sessions.find(session);
        if (found != m_sessions.end() && Clock::now() < found->second) {
            return true;
        }
    }
    const QByteArray authorization = request.Header("authorization");
    return authorization.startsWith("Bearer ") &&
           TokenMatches(authorization.mid(7).trimmed(), request.peer, throttledFor);
}

std::optional<HttpReply> Guard::Check(const HttpRequest& request, const RoutePolicy& policy) const {
    const QByteArray host = request.Header("host");
    if (!HostAllowed(host)) {
        return ErrorReply(403, QStringLiteral("the Host header must name this server's address"));
    }
    if (SignInOffered() && request.path == QLatin1String("/login") && request.method == "POST") {
        return std::nullopt; // the sign-in checks its own Origin and token
    }
    if (int throttled = 0; !Authorised(request, &throttled)) {
        if (throttled > 0) {
            return Throttled(throttled, QStringLiteral("too many wrong tokens from this address; "
                                                       "try again in %1 s"));
        }
        HttpReply reply = ErrorReply(401, QStringLiteral("this server needs its token"));
        if (SignInOffered() && request.method == "GET" && request.path == QLatin1String("/") &&
            !request.webSocket) {
            reply.contentType = "text/html; charset=utf-8";
            reply.body = m_signInPage;
        }
        reply.headers.push_back({"WWW-Authenticate", "Bearer realm=\"" + m_realm + "\""});
        return reply;
    }
    if (request.webSocket && !policy.webSocket) {
        return ErrorReply(404, QStringLiteral("no WebSocket here"));
    }
    const bool change = (!IsRead(request) && request.method != "OPTIONS") || request.webSocket;
    if (change && !OriginAllowed(request.Header("origin"), host, policy)) {
        return ErrorReply(403, policy.originRefusal);
    }
    return std::nullopt;
}

HttpReply Guard::SignIn(const HttpRequest& request) {
    if (!OriginAllowed(request.Header("origin"), request.Header("host"), RoutePolicy{})) {
        return ErrorReply(403, QStringLiteral("sign in only from the panel's own page"));
    }
    QByteArray body = request.body;
    body.replace('+', "%20"); // a form's spaces; a real '+' arrives as %2B
    const QUrlQuery form(QString::fromUtf8(body));
    const QByteArray given =
        form.queryItemValue(QStringLiteral("token"), QUrl::FullyDecoded).toUtf8();
    int throttled = 0;
    if (m_token.isEmpty() || !TokenMatches(given, request.peer, &throttled)) {
        if (throttled > 0) {
            return Throttled(throttled, QStringLiteral("too many wrong tokens; try again in %1 s"));
        }
        return ErrorReply(401, QStringLiteral("wrong token"));
    }
    // The cookie carries a random session id, never the token: a leaked cookie ends with the
    // session, and other servers of this host (browsers send cookies to every port) learn
    // nothing they could use here.
    std::array<quint32, 8> random{};
    QRandomGenerator::system()->fillRange(random.data(), random.size());
    const QByteArray id =
        QByteArray(reinterpret_cast<const char*>(random.data()), sizeof random).toHex();
    {
        std::lock_guard guard(m_lock);
        const Clock::time_point now = Clock::now();
        std::erase_if(m_sessions, [&](const auto& session) { return session.second <= now; });
        m_sessions[id] = now + kSessionLifetime;
    }
    HttpReply reply = JsonReply(303, QJsonObject{{QStringLiteral("signedIn"), true}});
    reply.headers.push_back({"Location", "/"});
    reply.headers.push_back({"Set-Cookie", m_cookieName + "=" + id + "; Path=/; Max-Age=" +
                                               QByteArray::number(kSessionSeconds) +
                                               "; HttpOnly; SameSite=Strict"});
    return reply;
}

HttpReply Guard::SignOut(const HttpRequest& request) {
    {
        std::lock_guard guard(m_lock);
        m_sessions.erase(SessionId(request));
    }
    HttpReply reply = JsonReply(303, QJsonObject{{QStringLiteral("signedIn"), false}});
    reply.headers.push_back({"Location", "/"});
    reply.headers.push_back(
        {"Set-Cookie", m_cookieName + "=; Path=/; Max-Age=0; HttpOnly; SameSite=Strict"});
    return reply;
}

} // namespace http
