// The control server's routes. The server's guard has checked Host, token and, for changes and
// WebSocket upgrades, Origin before a request's body was read; here Content-Type and size are
// checked, and only then is a request routed. A refused request changes nothing.
#include "control_server.h"

#include "http_server.h"

#include <QBuffer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <array>
#include <cmath>

// The panel's pages are compiled into this static library; its resources are registered by hand.
static void RegisterPanelResources() {
    Q_INIT_RESOURCE(control_web);
}

namespace control {

namespace {

using http::ErrorReply;
using http::JsonReply;

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

ControlServer::ControlServer(ControlTarget& target, http::Server& server, QObject* parent)
    : QObject(parent), m_target(target), m_server(server) {
    RegisterPanelResources();
    http::RoutePolicy policy;
    policy.webSocket = true;
    policy.bodyBytes = static_cast<std::size_t>(kMaxBodyBytes);
    server.AddRoute(QStringLiteral("/"), policy,
                    [this](const HttpRequest& request) { return Route(request); });
    server.OfferSignIn(kLoginPage, "ndi-lirafon");
    connect(&server, &http::Server::webSocketOpened, this,
            [this](int client) { AcceptWebSocket(client); });
    connect(&server, &http::Server::webSocketClosed, this,
            [this](int client) { m_clients.remove(client); });
}

ControlServer::~ControlServer() = default;

quint16 ControlServer::Port() const {
    return m_server.Port();
}

QString ControlServer::PanelAddress() const {
    return m_server.BaseUrl();
}

HttpReply ControlServer::Route(const HttpRequest& request) {
    const QString& path = request.path;
    const bool get = http::IsRead(request);
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

void ControlServer::AcceptWebSocket(int client) {
    // The guard has judged its Host, Origin and token before it was accepted. The stream only
    // pushes; what a client sends is read and dropped by the adapter.
    m_clients.insert(client);
    m_server.SendText(client, StateJson());
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
        m_server.SendText(client, state);
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
