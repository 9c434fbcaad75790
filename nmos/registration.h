// Keeps the node's resources in a plant's registry (IS-04 Registration API v1.3): registers every
// resource parents first, re-sends one whose version moved, deletes one that went, heartbeats
// every 5 s, registers everything again after a 404 (the registry forgot the node), and moves to
// the next registry of the list when one stops answering (a 5xx, a refusal or no answer), going
// round the list. Unregisters on the way out.
//
// Threads: the user-interface thread (Qt's network access is asynchronous on it).
#pragma once

#include "dns_sd.h"
#include "nmos_node.h"

#include <QNetworkAccessManager>
#include <QObject>
#include <QTimer>
#include <QUrl>

#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace nmos {

class Registration : public QObject {
    Q_OBJECT

public:
    static constexpr int kHeartbeatMs = 5000;

    // registries: the configured ones, in priority order; when there are none, dnsSd (when
    // given) finds them, and advertises the node while none is.
    Registration(Node& node, std::vector<QUrl> registries, std::unique_ptr<DnsSd> dnsSd,
                 QObject* parent = nullptr);
    ~Registration() override;

    // The registry registered with now; empty while none is.
    QUrl Registry() const { return m_registered ? m_registry : QUrl(); }

private:
    void Sync(); // sends what the registry lacks, one request at a time
    void Heartbeat();
    void Fail(const QString& why); // this registry is gone: the next one, from the start
    void Forget();                 // the registry holds nothing of the node
    QNetworkReply* Post(const QString& path, const QJsonObject& body);
    QNetworkReply* Remove(const QString& type, const QString& id); // DELETE resource/<type>s/<id>
    QUrl Url(const QString& path) const;
    std::vector<QUrl> Candidates();
    void Advertise(const std::vector<Node::Resource>& resources);

    Node& m_node;
    std::vector<QUrl> m_configured;
    std::unique_ptr<DnsSd> m_dnsSd;
    QUrl m_registry;            // in use (registered, or being registered with)
    std::set<QString> m_failed; // registries that failed since the last success
    bool m_registered = false;  // the node itself is in the current registry
    bool m_advertised = false;
    std::map<QString, int> m_typeVersions;     // ver_* counters of the node's advertisement
    std::map<QString, QString> m_seenVersions; // id -> version, for the counters
    bool m_busy = false;                       // a request is under way
    QNetworkAccessManager m_network;
    QTimer m_heartbeat;
    QTimer m_watch;                                        // looks for changed resources
    std::map<QString, std::pair<QString, QString>> m_sent; // id -> (type, version) registered
};

} // namespace nmos
