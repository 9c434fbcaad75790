// Keeps the node's resources in a plant's registry (IS-04 Registration API v1.3): registers every
// resource parents first, re-sends one whose version moved, deletes one that went, heartbeats
// every 5 s, registers everything again after a 404 (the registry forgot the node), and moves to
// the next registry of the list when one stops answering (a 5xx, a refusal or no answer), going
// round the list. Unregisters on the way out.
//
// Threads: the user-interface thread (Qt's network access is asynchronous on it).
#pragma once

#include "nmos_node.h"

#include <QNetworkAccessManager>
#include <QObject>
#include <QTimer>
#include <QUrl>

#include <map>
#include <string>
#include <vector>

namespace nmos {

// "http://host:port" or "host:port" entries separated by commas, in priority order; nullopt with
// the entry that is not one in *error.
std::optional<std::vector<QUrl>> ParseRegistries(const std::string& text, std::string* error);

class Registration : public QObject {
    Q_OBJECT

public:
    static constexpr int kHeartbeatMs = 5000;

    Registration(Node& node, std::vector<QUrl> registries, QObject* parent = nullptr);
    ~Registration() override;

    // The registry registered with now; empty while none is.
    QUrl Registry() const { return m_registered ? m_registries[m_current] : QUrl(); }

private:
    void Sync(); // sends what the registry lacks, one request at a time
    void Heartbeat();
    void Fail(const QString& why); // this registry is gone: the next one, from the start
    QNetworkReply* Post(const QString& path, const QJsonObject& body);
    QUrl Url(const QString& path) const;

    Node& m_node;
    std::vector<QUrl> m_registries;
    size_t m_current = 0;
    bool m_registered = false; // the node itself is in the current registry
    bool m_busy = false;       // a request is under way
    QNetworkAccessManager m_network;
    QTimer m_heartbeat;
    QTimer m_watch;                                        // looks for changed resources
    std::map<QString, std::pair<QString, QString>> m_sent; // id -> (type, version) registered
};

} // namespace nmos
