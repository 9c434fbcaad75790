// The control server's routes and its guards. Every request is checked in one order: Host, token,
// then for changes (and WebSocket upgrades) Origin, as soon as its headers are read and before its
// body is; then Content-Type and size; only then is it routed. A refused request changes nothing.
#include "control_server.h"

#include "http_adapter.h"

#include <QBuffer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTimer>
#include <QUrl>

#include <QRandomGenerator>

#include <algorithm>
#include <array>
#include <cmath>

// The panel's pages are compiled into this static library; its resources are registered by hand.
static void RegisterPanelResources() {
    Q_INIT_RESOURCE(control_web);
}

namespace control {

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

HttpReply JsonReply(int status, const QJsonObject& object) {
    HttpReply reply;
    reply.status = status;
    reply.body = QJsonDocument(object).toJson(QJsonDocument::Compact);
    return reply;
}

HttpReply ErrorReply(int status, const QString& message) {
    return JsonReply(status, QJsonObject{{QStringLiteral("error"), message}});
}

HttpReply ResourceReply(const QString& resource, const QByteArray& contentType) {
    QFile file(resource);
    if (!file.open(QIODevice::ReadOnly)) {
        return ErrorReply(404, QStringLiteral("not found"));
    }
    HttpReply reply;
    reply.contentType = contentType;
    reply.body = file.readAll();
    return reply;
}

// A JSON value as the text an option would carry: strings as they are, whole numbers written out.
bool OptionText(const QJsonValue& value, bool numbersToo, std::string* text) {
    if (value.isString()) {
        *text = value.toString().toStdString();
        return true;
    }
    if (numbersToo && value.isDouble()) {
        const double number = value.toDouble();
        if (std::isfinite(number) && std::floor(number) == number && std::fabs(number) < 1e9) {
            *text = std::to_string(static_cast<int64_t>(number));
            return true;
        }
    }
    return false;
}

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

const char* kLoginPage = R"(<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8"><title>NDI Lirafon: sign in</title></head>
<body><form method="post" action="/login"><label>Control token
<input type="password" name="token" autofocus></label> <button>Sign in</button></form></body>
</html>
)";

} // namespace

std::optional<SettingsChange> SettingsFromJson(const QJsonObject& object, QString* error) {
    SettingsChange change;
    auto refuse = [error](const QString& name, const QJsonValue& value) {
        const QString shown =
            value.isString()
                ? value.toString()
                : QString::fromUtf8(QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact))
                      .mid(1)
                      .chopped(1);
        *error = name + QStringLiteral(": '") + shown.left(64) +
                 QStringLiteral("' is not accepted; expected ") +
                 QString::fromStdString(AcceptedValues(name.toStdString()));
        return std::nullopt;
    };
    for (auto it = object.begin(); it != object.end(); ++it) {
        const QString name = it.key();
        const QJsonValue value = it.value();
        std::string text;
        std::optional<bool>* const flag =
            name == QLatin1String("showIdentText")   ? &change.showIdentText
            : name == QLatin1String("fullRateVideo") ? &change.fullRateVideo
            : name == QLatin1String("avSync")        ? &change.avSync
                                                     : nullptr;
        if (flag != nullptr) {
            if (!value.isBool()) {
                *error = name + QStringLiteral(": expected true or false");
                return std::nullopt;
            }
            *flag = value.toBool();
            continue;
        }
        if (name == QLatin1String("pairs") && value.isObject()) {
            // {"3-4": true, "9-10": false}: those pairs alone.
            const QJsonObject marks = value.toObject();
            if (marks.isEmpty()) {
                *error = QStringLiteral("pairs: an empty object changes nothing; expected e.g. "
                                        "{\"3-4\": true}");
                return std::nullopt;
            }
            for (auto mark = marks.begin(); mark != marks.end(); ++mark) {
                PairMarks one{};
                const std::string key = mark.key().toStdString();
                int found = -1;
                if (ParsePairs(key, &one) && std::count(one.begin(), one.end(), true) == 1 &&
                    key.find(',') == key.npos) {
                    found = static_cast<int>(std::find(one.begin(), one.end(), true) - one.begin());
                }
                if (found < 0 || !mark.value().isBool()) {
                    *error = QStringLiteral("pairs: '") + mark.key().left(16) +
                             QStringLiteral("' is not accepted; expected pairs such as "
                                            "{\"3-4\": true, \"9-10\": false}");
                    return std::nullopt;
                }
                change.pairChanges[static_cast<size_t>(found)] = mark.value().toBool();
            }
            continue;
        }
        const bool numbersToo = name == QLatin1String("channels") ||
                                name == QLatin1String("level") ||
                                name == QLatin1String("frequency");
        const bool known = numbersToo || name == QLatin1String("pairs") ||
                           name == QLatin1String("ident") || name == QLatin1String("identText");
        if (!known) {
            *error = QStringLiteral("unknown setting '") + name.left(64) +
                     QStringLiteral("'; the settings are channels, pairs, level, ident, "
                                    "frequency, identText, showIdentText, fullRateVideo, avSync");
            return std::nullopt;
        }
        if (!OptionText(value, numbersToo, &text)) {
            return refuse(name, value);
        }
        bool ok = false;
        if (name == QLatin1String("channels")) {
            int32_t v = 0;
            ok = ParseChannels(text, &v) && (change.channels = v, true);
        } else if (name == QLatin1String("pairs")) {
            PairMarks v{};
            ok = ParsePairs(text, &v) && (change.pairs = v, true);
        } else if (name == QLatin1String("level")) {
            LevelSetting v;
            // A bare number is a user level, as the level field takes it.
            ok = ParseLevel(text, &v) && (change.level = v, true);
        } else if (name == QLatin1String("ident")) {
            int32_t v = 0;
            ok = ParseIdent(text, &v) && (change.ident = v, true);
        } else if (name == QLatin1String("frequency")) {
            FrequencyChoice v{};
            ok = ParseFrequency(text, &v) && (change.frequency = v, true);
        } else {
            std::wstring v;
            ok = ParseIdentText(text, &v) && (change.identText = v, true);
            if (!ok) {
                *error = QStringLiteral("identText: ") +
                         QString::fromStdString(IdentTextProblem(text)) +
                         QStringLiteral(" is not accepted; expected ") +
                         QString::fromStdString(AcceptedValues("identText"));
                return std::nullopt;
            }
        }
        if (!ok) {
            return refuse(name, value);
        }
    }
    return change;
}

ControlServer::ControlServer(ControlTarget& target, QObject* parent)
    : QObject(parent), m_target(target) {
    RegisterPanelResources();
    HttpLimits limits;
    limits.bodyBytes = static_cast<std::size_t>(kMaxBodyBytes);
    m_http =
        std::make_unique<HttpAdapter>([this](const HttpRequest& r) { return Guard(r); },
                                      [this](const HttpRequest& r) { return Handle(r); }, limits);
    connect(m_http.get(), &HttpAdapter::webSocketOpened, this,
            [this](int client) { AcceptWebSocket(client); });
    connect(m_http.get(), &HttpAdapter::webSocketClosed, this,
            [this](int client) { m_clients.remove(client); });
}

ControlServer::~ControlServer() = default;

bool ControlServer::Listen(const QString& address, int port, const QString& token, QString* error) {
    const QHostAddress host(address == QLatin1String("localhost") ? QStringLiteral("127.0.0.1")
                                                                  : address);
    QString why;
    m_port = m_http->Listen(host, static_cast<quint16>(port), &why);
    if (m_port == 0) {
        *error = QStringLiteral("cannot listen on %1 port %2 (%3)").arg(address).arg(port).arg(why);
        return false;
    }
    m_address = host.toString();
    m_token = token;
    m_cookieName = "lirafon_session_" + QByteArray::number(m_port);
    m_http->Start(); // the guard reads the three above from now on
    return true;
}

QString ControlServer::PanelAddress() const {
    const bool v6 = m_address.contains(QLatin1Char(':'));
    return QStringLiteral("http://%1:%2/").arg(v6 ? "[" + m_address + "]" : m_address).arg(m_port);
}

bool ControlServer::HostAllowed(const QByteArray& host) const {
    const QByteArray port = ":" + QByteArray::number(m_port);
    const QByteArray given = host.trimmed().toLower();
    QList<QByteArray> names;
    const bool v6 = m_address.contains(QLatin1Char(':'));
    names << (v6 ? "[" + m_address.toLatin1() + "]" : m_address.toLatin1());
    if (IsLoopbackAddress(m_address.toStdString())) {
        names << "localhost"
              << "127.0.0.1"
              << "[::1]";
    }
    for (const QByteArray& name : names) {
        if (given == name.toLower() + port) {
            return true;
        }
    }
    return false;
}

bool ControlServer::OriginAllowed(const QByteArray& origin, const QByteArray& host) const {
    // Command-line clients send none; a page of the panel itself sends its own address.
    return origin.isEmpty() || origin.toLower() == "http://" + host.trimmed().toLower();
}

QByteArray ControlServer::SessionId(const HttpRequest& request) const {
    return CookieValue(request.Header("cookie"), m_cookieName);
}

bool ControlServer::TokenMatches(const QByteArray& given, const QByteArray& peer,
                                 int* throttledFor) const {
    const Clock::time_point now = Clock::now();
    std::lock_guard guard(m_authLock);
    Failures& failures = m_failures[peer];
    if (now < failures.lockedUntil) {
        // Not even compared: a guesser learns nothing while the lockout runs.
        *throttledFor = static_cast<int>(
            std::chrono::ceil<std::chrono::seconds>(failures.lockedUntil - now).count());
        return false;
    }
    if (SameSecret(given, m_token.toUtf8())) {
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

bool ControlServer::Authorised(const HttpRequest& request, int* throttledFor) const {
    *throttledFor = 0;
    if (m_token.isEmpty()) {
        return true;
    }
    const QByteArray session = SessionId(request);
    if (!session.isEmpty()) {
        std::lock_guard guard(m_authLock);
        const auto found = m_sessions.find(session);
        if (found != m_sessions.end() && Clock::now() < found->second) {
            return true;
        }
    }
    const QByteArray authorization = request.Header("authorization");
    return authorization.startsWith("Bearer ") &&
           TokenMatches(authorization.mid(7).trimmed(), request.peer, throttledFor);
}

namespace {

// Every reply, refused or not: no caching, no sniffing, nothing from elsewhere, no framing.
bool IsNmosPath(const QString& path) {
    return path == QLatin1String("/x-nmos") || path.startsWith(QLatin1String("/x-nmos/"));
}

HttpReply Decorated(HttpReply reply, const HttpRequest& request) {
    reply.headers.push_back({"Cache-Control", "no-store"});
    reply.headers.push_back({"X-Content-Type-Options", "nosniff"});
    reply.headers.push_back({"Content-Security-Policy",
                             "default-src 'self'; img-src 'self' data:; frame-ancestors 'none'"});
    reply.headOnly = request.method == "HEAD";
    return reply;
}

} // namespace

std::optional<HttpReply> ControlServer::Guard(const HttpRequest& request) const {
    const QByteArray host = request.Header("host");
    std::optional<HttpReply> reply;
    if (!HostAllowed(host)) {
        reply = ErrorReply(403, QStringLiteral("the Host header must name this server's address"));
    } else if (request.path == QLatin1String("/login") && request.method == "POST") {
        return std::nullopt; // the sign-in checks its own Origin and token
    } else if (int throttled = 0; !Authorised(request, &throttled)) {
        if (throttled > 0) {
            reply = ErrorReply(429, QStringLiteral("too many wrong tokens from this address; "
                                                   "try again in %1 s")
                                        .arg(throttled));
            reply->headers.push_back({"Retry-After", QByteArray::number(throttled)});
            return Decorated(*reply, request);
        }
        reply = ErrorReply(401, QStringLiteral("this control server needs its token"));
        if (request.method == "GET" && request.path == QLatin1String("/") && !request.webSocket) {
            reply->contentType = "text/html; charset=utf-8";
            reply->body = kLoginPage;
        }
        reply->headers.push_back({"WWW-Authenticate", "Bearer realm=\"ndi-lirafon\""});
    } else if (((request.method != "GET" && request.method != "HEAD") || request.webSocket) &&
               !OriginAllowed(request.Header("origin"), host) &&
               !(IsNmosPath(request.path) && request.Header("origin") == "null")) {
        reply = ErrorReply(403, QStringLiteral("changes are taken only from the panel's own page"));
    }
    if (reply) {
        return Decorated(*reply, request);
    }
    return std::nullopt;
}

HttpReply ControlServer::Handle(const HttpRequest& request) {
    if (request.path == QLatin1String("/login") && request.method == "POST") {
        return Decorated(Login(request), request);
    }
    if (request.path == QLatin1String("/logout") && request.method == "POST") {
        return Decorated(Logout(request), request);
    }
    return Decorated(Route(request), request);
}

HttpReply ControlServer::Route(const HttpRequest& request) {
    const QString& path = request.path;
    if (m_nmosRoute && IsNmosPath(path)) {
        if (std::optional<HttpReply> reply = m_nmosRoute(request)) {
            return *reply;
        }
    }
    const bool get = request.method == "GET" || request.method == "HEAD";
    struct Page {
        const char* path;
        const char* resource;
        const char* type;
    };
    static constexpr Page kPages[] = {
        {"/", ":/control/web/index.html", "text/html; charset=utf-8"},
        {"/panel.js", ":/control/web/panel.js", "text/javascript; charset=utf-8"},
        {"/panel.css", ":/control/web/panel.css", "text/css; charset=utf-8"},
    };
    for (const Page& page : kPages) {
        if (path == QLatin1String(page.path)) {
            return get ? ResourceReply(QString::fromLatin1(page.resource), page.type)
                       : ErrorReply(405, QStringLiteral("use GET"));
        }
    }
    if (path == QLatin1String("/api/state")) {
        if (!get) {
            return ErrorReply(405, QStringLiteral("use GET"));
        }
        HttpReply reply;
        reply.body = StateJson();
        return reply;
    }
    if (path == QLatin1String("/api/settings")) {
        return request.method == "PATCH" ? PatchSettings(request)
                                         : ErrorReply(405, QStringLiteral("use PATCH"));
    }
    if (path == QLatin1String("/card.png")) {
        if (!get) {
            return ErrorReply(405, QStringLiteral("use GET"));
        }
        HttpReply reply;
        reply.contentType = "image/png";
        QBuffer buffer(&reply.body);
        buffer.open(QIODevice::WriteOnly);
        m_target.CardPicture().save(&buffer, "PNG");
        return reply;
    }
    return ErrorReply(404, QStringLiteral("not found"));
}

HttpReply ControlServer::PatchSettings(const HttpRequest& request) {
    const QByteArray type = request.Header("content-type").split(';').first().trimmed().toLower();
    if (type != "application/json") {
        return ErrorReply(415, QStringLiteral("send the settings as application/json"));
    }
    if (request.body.size() > kMaxBodyBytes) {
        return ErrorReply(413, QStringLiteral("the request body is too large"));
    }
    QJsonParseError parseError{};
    const QJsonDocument document = QJsonDocument::fromJson(request.body, &parseError);
    if (parseError.error != QJsonParseError::NoError || !document.isObject()) {
        return ErrorReply(400, QStringLiteral("the body must be one JSON object of settings"));
    }
    QString error;
    const std::optional<SettingsChange> change = SettingsFromJson(document.object(), &error);
    if (!change) {
        return ErrorReply(400, error);
    }
    if (change->Empty()) {
        return ErrorReply(400, QStringLiteral("no setting given"));
    }
    // A surround ident needs 6 channels: judged on the change over the settings playing now,
    // so neither the ident nor the channel count can leave it without them.
    const QJsonObject now = m_target.ControlState();
    int32_t ident = 0;
    ParseIdent(now.value(QStringLiteral("ident")).toString().toStdString(), &ident);
    const std::string problem =
        SurroundProblem(change->ident.value_or(ident),
                        change->channels.value_or(now.value(QStringLiteral("channels")).toInt()));
    if (!problem.empty()) {
        return ErrorReply(
            400, QString::fromStdString((change->ident ? "ident: " : "channels: ") + problem));
    }
    m_target.ApplySettings(*change);
    NotifyChanged();
    HttpReply reply;
    reply.body = StateJson();
    return reply;
}

HttpReply ControlServer::Login(const HttpRequest& request) {
    if (!OriginAllowed(request.Header("origin"), request.Header("host"))) {
        return ErrorReply(403, QStringLiteral("sign in only from the panel's own page"));
    }
    if (request.body.size() > kMaxBodyBytes) {
        return ErrorReply(413, QStringLiteral("the request body is too large"));
    }
    QByteArray body = request.body;
    body.replace('+', "%20"); // a form's spaces; a real '+' arrives as %2B
    const QUrlQuery form(QString::fromUtf8(body));
    const QByteArray given =
        form.queryItemValue(QStringLiteral("token"), QUrl::FullyDecoded).toUtf8();
    int throttled = 0;
    if (m_token.isEmpty() || !TokenMatches(given, request.peer, &throttled)) {
        if (throttled > 0) {
            HttpReply reply = ErrorReply(
                429, QStringLiteral("too many wrong tokens; try again in %1 s").arg(throttled));
            reply.headers.push_back({"Retry-After", QByteArray::number(throttled)});
            return reply;
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
        std::lock_guard guard(m_authLock);
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

HttpReply ControlServer::Logout(const HttpRequest& request) {
    {
        std::lock_guard guard(m_authLock);
        m_sessions.erase(SessionId(request));
    }
    HttpReply reply = JsonReply(303, QJsonObject{{QStringLiteral("signedIn"), false}});
    reply.headers.push_back({"Location", "/"});
    reply.headers.push_back(
        {"Set-Cookie", m_cookieName + "=; Path=/; Max-Age=0; HttpOnly; SameSite=Strict"});
    return reply;
}

void ControlServer::AcceptWebSocket(int client) {
    // The guard has judged its Host, Origin and token before it was accepted. The stream only
    // pushes; what a client sends is read and dropped by the adapter.
    m_clients.insert(client);
    m_http->SendText(client, StateJson());
}

void ControlServer::NotifyChanged() {
    ++m_revision;
    if (m_pushPending || m_clients.isEmpty()) {
        return;
    }
    m_pushPending = true;
    QTimer::singleShot(0, this, [this] { PushState(); });
}

void ControlServer::PushState() {
    m_pushPending = false;
    const QByteArray state = StateJson();
    for (const int client : m_clients) {
        m_http->SendText(client, state);
    }
}

// Every state carries the revision it was taken at: a PATCH's answer and a push travel on different
// connections, and a page must not show an older state after a newer one.
QByteArray ControlServer::StateJson() {
    QJsonObject state = m_target.ControlState();
    state[QStringLiteral("revision")] = static_cast<double>(m_revision);
    return QJsonDocument(state).toJson(QJsonDocument::Compact);
}

} // namespace control
