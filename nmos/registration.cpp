#include "registration.h"

#include <QEventLoop>
#include <QJsonDocument>
#include <QNetworkReply>
#include <QNetworkRequest>

#include <errno.h> // program_invocation_short_name: each program's lines begin with its name

#include <algorithm>
#include <cstdio>

namespace nmos {

namespace {

constexpr int kRequestTimeoutMs = 2000;
constexpr int kWatchMs = 1000;
const char* const kRegistrationBase = "x-nmos/registration/v1.3/";

// Parents before children, so the registry never holds a child of a parent it does not know.
int Rank(const QString& type) {
    static const QStringList kOrder{QStringLiteral("node"),   QStringLiteral("device"),
                                    QStringLiteral("source"), QStringLiteral("flow"),
                                    QStringLiteral("sender"), QStringLiteral("receiver")};
    return static_cast<int>(kOrder.indexOf(type));
}

} // namespace

Registration::Registration(Node& node, std::vector<QUrl> registries, std::unique_ptr<DnsSd> dnsSd,
                           QObject* parent)
    : QObject(parent), m_node(node), m_configured(std::move(registries)),
      m_dnsSd(std::move(dnsSd)) {
    m_heartbeat.setInterval(kHeartbeatMs);
    connect(&m_heartbeat, &QTimer::timeout, this, &Registration::Heartbeat);
    m_watch.setInterval(kWatchMs);
    connect(&m_watch, &QTimer::timeout, this, &Registration::Sync);
    connect(&m_node, &Node::activated, this, &Registration::Sync);
    m_watch.start();
    QTimer::singleShot(0, this, &Registration::Sync);
}

std::vector<QUrl> Registration::Candidates() {
    if (!m_configured.empty() || !m_dnsSd) {
        return m_configured;
    }
    std::vector<QUrl> found;
    for (const FoundRegistry& registry : m_dnsSd->Registries()) {
        found.push_back(registry.url);
    }
    return found;
}

void Registration::Advertise(const std::vector<Node::Resource>& resources) {
    if (!m_dnsSd) {
        return;
    }
    // ver_* count the changes of each kind of resource, as a peer-to-peer client watches them.
    static const std::map<QString, QString> kKeys{{"node", "ver_slf"},   {"device", "ver_dvc"},
                                                  {"source", "ver_src"}, {"flow", "ver_flw"},
                                                  {"sender", "ver_snd"}, {"receiver", "ver_rcv"}};
    bool changed = false;
    for (const Node::Resource& r : resources) {
        const QString id = r.data[QStringLiteral("id")].toString();
        const QString version = r.data[QStringLiteral("version")].toString();
        QString& seen = m_seenVersions[id];
        if (seen != version) {
            changed = changed || !seen.isEmpty();
            if (!seen.isEmpty()) {
                ++m_typeVersions[kKeys.at(r.type)];
            }
            seen = version;
        }
    }
    // IS-04 v1.3: advertised only while no registry has the node.
    const bool wanted = !m_registered;
    if (wanted == m_advertised && !(wanted && changed)) {
        return;
    }
    std::map<std::string, int> versions{{"ver_rcv", 0}};
    for (const auto& [type, key] : kKeys) {
        versions[key.toStdString()] = m_typeVersions[key];
    }
    const QJsonObject self = resources.front().data;
    m_dnsSd->AdvertiseNode(
        wanted, self[QStringLiteral("label")].toString().toStdString(),
        self[QStringLiteral("api")][QStringLiteral("endpoints")][0][QStringLiteral("port")].toInt(),
        versions);
    m_advertised = wanted;
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
        QNetworkReply* reply = Remove(type, id);
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
    return m_registry.resolved(QUrl(QLatin1String(kRegistrationBase) + path));
}

QNetworkReply* Registration::Remove(const QString& type, const QString& id) {
    QNetworkRequest request(Url(QStringLiteral("resource/%1s/%2").arg(type, id)));
    request.setTransferTimeout(kRequestTimeoutMs);
    return m_network.deleteResource(request);
}

QNetworkReply* Registration::Post(const QString& path, const QJsonObject& body) {
    QNetworkRequest request(Url(path));
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    request.setTransferTimeout(kRequestTimeoutMs);
    return m_network.post(request, QJsonDocument(body).toJson(QJsonDocument::Compact));
}

void Registration::Fail(const QString& why) {
    std::fprintf(stderr, "%s: NMOS: registry %s: %s\n", program_invocation_short_name,
                 qUtf8Printable(m_registry.toString()), qUtf8Printable(why));
    m_heartbeat.stop();
    m_registered = false;
    m_failed.insert(m_registry.toString());
    m_registry = QUrl();
    // m_sent stays: registries of one plant share what they hold, so the next one is asked by a
    // heartbeat whether it knows the node before anything is registered again.
}

void Registration::Forget() {
    m_registered = false;
    m_heartbeat.stop();
    m_sent.clear();
}

void Registration::Sync() {
    if (m_busy) {
        return;
    }
    std::vector<Node::Resource> resources = m_node.Resources();
    Advertise(resources);
    if (m_registry.isEmpty()) {
        // The best registry that has not failed since the last success; round again when all have.
        const std::vector<QUrl> candidates = Candidates();
        if (candidates.empty()) {
            return;
        }
        const auto untried = std::find_if(candidates.begin(), candidates.end(), [&](const QUrl& u) {
            return m_failed.count(u.toString()) == 0;
        });
        if (untried == candidates.end()) {
            m_failed.clear();
        }
        m_registry = untried == candidates.end() ? candidates.front() : *untried;
        if (!m_sent.empty()) {
            Heartbeat(); // a failover: does this registry know the node already?
            return;
        }
    }
    if (!m_registered && !m_sent.empty()) {
        return; // the heartbeat that asks is under way
    }
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
            const bool first = type == QLatin1String("node") && !m_registered;
            if (first && status == 200) {
                // The registry held this node from before (a restart within its expiry): what it
                // holds may be stale, so the node is deleted and registered afresh.
                m_busy = true;
                QNetworkReply* removal = Remove(type, id);
                connect(removal, &QNetworkReply::finished, this, [this, removal] {
                    removal->deleteLater();
                    m_busy = false;
                    Sync();
                });
            } else if (status == 200 || status == 201) {
                m_sent[id] = {type, version};
                if (first) {
                    m_registered = true;
                    m_failed.clear();
                    m_heartbeat.start();
                    std::fprintf(stderr, "%s: NMOS: registered with %s\n",
                                 program_invocation_short_name,
                                 qUtf8Printable(m_registry.toString()));
                }
                Sync();
            } else if (status >= 400 && status < 500) {
                // Refused as malformed: trying again would be refused again; the next change
                // is sent when it comes.
                std::fprintf(stderr, "%s: NMOS: the registry refused the %s: %d %s\n",
                             program_invocation_short_name, qUtf8Printable(type), status,
                             reply->readAll().left(200).constData());
                m_sent[id] = {type, version};
            } else {
                Fail(status == 0 ? reply->errorString() : QStringLiteral("HTTP %1").arg(status));
                Sync();
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
        QNetworkReply* reply = Remove(it->second.first, id);
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
    if (m_registry.isEmpty() || m_busy) {
        return;
    }
    QNetworkRequest request(Url(QStringLiteral("health/nodes/%1").arg(m_node.NodeId())));
    request.setTransferTimeout(kRequestTimeoutMs);
    m_busy = true;
    QNetworkReply* reply = m_network.post(request, QByteArray()); // IS-04: no body
    connect(reply, &QNetworkReply::finished, this, [this, reply] {
        reply->deleteLater();
        m_busy = false;
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        if (status == 200) {
            if (!m_registered) {
                m_registered = true;
                m_failed.clear();
                m_heartbeat.start();
                std::fprintf(stderr, "%s: NMOS: registered with %s (it knew the node)\n",
                             program_invocation_short_name, qUtf8Printable(m_registry.toString()));
            }
            Sync();
        } else if (status == 404) {
            // The registry forgot the node (it restarted, or missed heartbeats): everything again.
            std::fprintf(stderr,
                         "%s: NMOS: the registry %s does not know this node; "
                         "registering it\n",
                         program_invocation_short_name, qUtf8Printable(m_registry.toString()));
            Forget();
            Sync();
        } else {
            Fail(status == 0 ? reply->errorString() : QStringLiteral("HTTP %1").arg(status));
            Sync();
        }
    });
}

} // namespace nmos
