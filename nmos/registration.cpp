#include "registration.h"

#include <QEventLoop>
#include <QJsonDocument>
#include <QNetworkReply>
#include <QNetworkRequest>

#include <algorithm>
#include <cstdio>

namespace nmos {

namespace {

constexpr int kRequestTimeoutMs = 2000;
constexpr int kWatchMs = 1000;
const char* const kRegistrationBase = "x-nmos/registration/v1.3/";

// Parents before children, so the registry never holds a child of a parent it does not know.
int Rank(const QString& type) {
    static const QStringList kOrder{QStringLiteral("node"), QStringLiteral("device"),
                                    QStringLiteral("source"), QStringLiteral("flow"),
                                    QStringLiteral("sender")};
    return static_cast<int>(kOrder.indexOf(type));
}

} // namespace

std::optional<std::vector<QUrl>> ParseRegistries(const std::string& text, std::string* error) {
    std::vector<QUrl> registries;
    for (const QString& entry :
         QString::fromStdString(text).split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        QString trimmed = entry.trimmed();
        if (!trimmed.contains(QLatin1String("://"))) {
            trimmed.prepend(QLatin1String("http://"));
        }
        QUrl url(trimmed, QUrl::StrictMode);
        if (!url.isValid() || url.scheme() != QLatin1String("http") || url.host().isEmpty() ||
            url.port() <= 0 || !(url.path().isEmpty() || url.path() == QLatin1String("/"))) {
            *error = "LIRAFON_NMOS_REGISTRY: \"" + entry.trimmed().toStdString() +
                     "\" is not http://host:port";
            return std::nullopt;
        }
        url.setPath(QStringLiteral("/"));
        registries.push_back(url);
    }
    return registries;
}

Registration::Registration(Node& node, std::vector<QUrl> registries, QObject* parent)
    : QObject(parent), m_node(node), m_registries(std::move(registries)) {
    m_heartbeat.setInterval(kHeartbeatMs);
    connect(&m_heartbeat, &QTimer::timeout, this, &Registration::Heartbeat);
    m_watch.setInterval(kWatchMs);
    connect(&m_watch, &QTimer::timeout, this, &Registration::Sync);
    connect(&m_node, &Node::activated, this, &Registration::Sync);
    if (!m_registries.empty()) {
        m_watch.start();
        QTimer::singleShot(0, this, &Registration::Sync);
    }
}

Registration::~Registration() {
    if (!m_registered) {
        return;
    }
    // Unregistered on the way out, children first; the registry would otherwise keep the node
    // until its heartbeats were missed for 12 s. Bounded: a registry that does not answer costs
    // at most one request timeout.
    std::vector<std::pair<QString, QString>> order(m_sent.size());
    std::transform(m_sent.begin(), m_sent.end(), order.begin(), [](const auto& entry) {
        return std::pair{entry.second.first, entry.first};
    });
    std::sort(order.begin(), order.end(),
              [](const auto& a, const auto& b) { return Rank(a.first) > Rank(b.first); });
    QEventLoop loop;
    int waiting = 0;
    for (const auto& [type, id] : order) {
        QNetworkRequest request(Url(QStringLiteral("resource/%1s/%2").arg(type, id)));
        request.setTransferTimeout(kRequestTimeoutMs);
        QNetworkReply* reply = m_network.deleteResource(request);
        ++waiting;
        connect(reply, &QNetworkReply::finished, &loop, [&, reply] {
            reply->deleteLater();
            if (--waiting == 0) {
                loop.quit();
            }
        });
        // One at a time, in order.
        loop.exec();
    }
}

QUrl Registration::Url(const QString& path) const {
    return m_registries[m_current].resolved(QUrl(QLatin1String(kRegistrationBase) + path));
}

QNetworkReply* Registration::Post(const QString& path, const QJsonObject& body) {
    QNetworkRequest request(Url(path));
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    request.setTransferTimeout(kRequestTimeoutMs);
    return m_network.post(request, QJsonDocument(body).toJson(QJsonDocument::Compact));
}

void Registration::Fail(const QString& why) {
    std::fprintf(stderr, "ndi-lirafon: NMOS: registry %s: %s\n",
                 qUtf8Printable(m_registries[m_current].toString()), qUtf8Printable(why));
    m_heartbeat.stop();
    m_registered = false;
    m_sent.clear();
    m_current = (m_current + 1) % m_registries.size();
}

void Registration::Sync() {
    if (m_busy || m_registries.empty()) {
        return;
    }
    std::vector<Node::Resource> resources = m_node.Resources();
    std::stable_sort(resources.begin(), resources.end(),
                     [](const auto& a, const auto& b) { return Rank(a.type) < Rank(b.type); });
    // The first resource whose registered version is not its version now.
    for (const Node::Resource& r : resources) {
        const QString id = r.data[QStringLiteral("id")].toString();
        const QString version = r.data[QStringLiteral("version")].toString();
        const auto sent = m_sent.find(id);
        if (sent != m_sent.end() && sent->second.second == version) {
            continue;
        }
        m_busy = true;
        QNetworkReply* reply =
            Post(QStringLiteral("resource"),
                 QJsonObject{{QStringLiteral("type"), r.type}, {QStringLiteral("data"), r.data}});
        const QString type = r.type;
        connect(reply, &QNetworkReply::finished, this, [this, reply, id, type, version] {
            reply->deleteLater();
            m_busy = false;
            const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
            if (status == 200 || status == 201) {
                m_sent[id] = {type, version};
                if (type == QLatin1String("node") && !m_registered) {
                    m_registered = true;
                    m_heartbeat.start();
                    std::fprintf(stderr, "ndi-lirafon: NMOS: registered with %s\n",
                                 qUtf8Printable(m_registries[m_current].toString()));
                }
                Sync();
            } else if (status >= 400 && status < 500) {
                // Refused as malformed: trying again would be refused again; the next change
                // is sent when it comes.
                std::fprintf(stderr, "ndi-lirafon: NMOS: the registry refused the %s: %d %s\n",
                             qUtf8Printable(type), status, reply->readAll().left(200).constData());
                m_sent[id] = {type, version};
            } else {
                Fail(status == 0 ? reply->errorString() : QStringLiteral("HTTP %1").arg(status));
            }
        });
        return;
    }
    // Resources that went (the second audio stream when the channels no longer need it).
    for (auto it = m_sent.begin(); it != m_sent.end(); ++it) {
        const QString& id = it->first;
        if (std::any_of(resources.begin(), resources.end(), [&](const Node::Resource& r) {
                return r.data[QStringLiteral("id")].toString() == id;
            })) {
            continue;
        }
        m_busy = true;
        QNetworkRequest request(Url(QStringLiteral("resource/%1s/%2").arg(it->second.first, id)));
        request.setTransferTimeout(kRequestTimeoutMs);
        QNetworkReply* reply = m_network.deleteResource(request);
        m_sent.erase(it);
        connect(reply, &QNetworkReply::finished, this, [this, reply] {
            reply->deleteLater();
            m_busy = false;
            Sync();
        });
        return;
    }
}

void Registration::Heartbeat() {
    if (!m_registered) {
        return;
    }
    QNetworkReply* reply =
        Post(QStringLiteral("health/nodes/%1").arg(m_node.NodeId()), QJsonObject{});
    connect(reply, &QNetworkReply::finished, this, [this, reply] {
        reply->deleteLater();
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        if (status == 404) {
            // The registry forgot the node (it restarted, or missed heartbeats): everything again.
            std::fprintf(stderr, "ndi-lirafon: NMOS: the registry lost this node; registering "
                                 "again\n");
            m_registered = false;
            m_heartbeat.stop();
            m_sent.clear();
            Sync();
        } else if (status != 200) {
            Fail(status == 0 ? reply->errorString() : QStringLiteral("HTTP %1").arg(status));
            Sync();
        }
    });
}

} // namespace nmos
