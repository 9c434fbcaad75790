// The source as an NMOS node: the IS-04 Node API (v1.3) resources a plant's registry and
// controllers expect, and the IS-05 Connection API (v1.1) that stages and activates each sender's
// transport parameters. Both are one route, /x-nmos/, on the program's HTTP server (the control
// server's address and port); the node only answers requests and says what to do, through the
// Host it was given. Who may change anything is the route's policy, judged before a request
// reaches the node.
//
// Threads: the user-interface thread only (the control server's), scheduled activations by a
// Qt timer on the same thread.
#pragma once

#include "http_types.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QTimer>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace nmos {

// One sender's transport as it is on the wire.
struct Transport {
    std::string sourceIp;
    int sourcePort = 0;
    std::string destinationIp;
    int destinationPort = 0;
    bool rtpEnabled = true;
};

// One stream of the source as the node publishes it: an audio or video source, flow and sender.
struct StreamFacts {
    std::string role; // "audio", "audio-2", "video": the id and the group hint follow it
    bool video = false;
    int channels = 0; // audio
    int width = 0;    // video
    int height = 0;
    int rateN = 25;
    int rateD = 1;
    Transport transport;
    // ST 2022-7: the same packets on a second leg, whose transport parameters are the second
    // entry of each IS-05 transport_params array.
    std::optional<Transport> secondLeg;
    bool ipv6 = false;
    bool loopbackOnly = false; // the source was set up to keep its streams on this computer
};

// One receiver of the node: RTP audio in, as a probe judges it.
struct ReceiverFacts {
    std::string role;  // "receiver-1": the id follows it
    std::string label; // "Line-up probe input 1"
    int maxChannels = 16;
    std::vector<int> rates{48000};
    std::string interfaceIp = "127.0.0.1"; // where it listens: what "auto" resolves to
};

// What an activation asks of a receiver: the stream its transport file names (empty: none
// staged), on these parameters; enabled false parks it.
struct ReceiverConnection {
    std::string senderId; // "" for none
    std::string sdp;
    std::string sourceIp;    // "" for any
    std::string multicastIp; // "" for unicast
    std::string interfaceIp;
    int destinationPort = 0;
    bool enabled = false;
};

struct NodeFacts {
    std::string hostname;
    std::string sourceName; // "QEL Audio Tone 1"
    int copy = 1;
    std::string apiHost; // the control server's address, as a client reaches it
    int apiPort = 0;
    std::string interfaceName = "lo";
    std::string interfaceMac; // "xx-xx-..."; all zeros on loopback
    // The interface of the senders' second legs, when they have them ("" otherwise).
    std::string secondInterfaceName;
    std::string secondInterfaceMac;
    bool ptpLocked = false;
    std::string ptpGrandmaster; // "xx-xx-xx-xx-xx-xx-xx-xx" when locked
    std::vector<StreamFacts> streams;
    std::vector<ReceiverFacts> receivers;
    std::string nodeDescription = "Audio line-up tone generator";
    std::string deviceDescription = "Tone and ident card generator";
};

// What the node asks of the program.
class NodeHost {
public:
    virtual ~NodeHost() = default;
    virtual NodeFacts Facts() = 0;
    // Puts a stream on the wire as its legs say, one Transport per leg in order (a leg sends
    // when its rtp enabled and master enable are both true). False with the reason in *error,
    // the stream unchanged.
    virtual bool Activate(const std::string& role, const std::vector<Transport>& legs,
                          bool masterEnable, std::string* error) = 0;
    // The stream's current session description.
    virtual std::string TransportFile(const std::string& role) = 0;
    // Connects (or parks) a receiver as an activation asks. False with the reason in *error,
    // the receiver unchanged.
    virtual bool Receive(const std::string& /*role*/, const ReceiverConnection& /*connection*/,
                         std::string* error) {
        *error = "this node has no receivers";
        return false;
    }
    // TAI now in nanoseconds from the PTP clock the streams follow, when they follow one.
    virtual std::optional<int64_t> PtpNowNs() { return std::nullopt; }
};

// "seconds:nanoseconds" on the TAI timescale, now.
std::string TaiNow();
// Stable ids for a copy on a host: a name-based (version 5) UUID of host, copy and kind.
QString ResourceId(const std::string& hostname, int copy, const std::string& kind);

class Node : public QObject {
    Q_OBJECT

public:
    static constexpr const char* kNodeVersion = "v1.3";
    static constexpr const char* kConnectionVersion = "v1.1";

    explicit Node(NodeHost& host, QObject* parent = nullptr);
    ~Node() override;

    // A request under /x-nmos/, answered; nullopt for any other path. CORS and preflights are the
    // route's (the server answers them).
    std::optional<http::HttpReply> Handle(const http::HttpRequest& request);

    // The resources as they stand; versions advance where anything in them changed since the
    // last call. Registration sends these.
    struct Resource {
        QString type; // "node", "device", "source", "flow", "sender", "receiver"
        QJsonObject data;
    };
    std::vector<Resource> Resources();
    QString NodeId() const { return m_nodeId; }

signals:
    // A sender's or receiver's active parameters changed (an activation): the registry and the
    // program's own state follow.
    void activated();

private:
    // A sender's or a receiver's IS-05 state.
    struct EndpointState {
        QJsonObject staged;        // master_enable, receiver_id, activation, transport_params
        QJsonObject active;        // the same, resolved, with activation_time
        QTimer* pending = nullptr; // a scheduled activation
        bool activatedOnce = false;
    };
    void Refresh();
    int64_t NowNs() const; // TAI: PTP time when the streams have it, else the system clock
    QJsonObject Core(const QString& id, const std::string& label, const QString& description);
    QJsonObject SenderResource(const StreamFacts& stream);
    QJsonObject ReceiverResource(const ReceiverFacts& receiver);
    EndpointState& StateOf(const StreamFacts& stream);
    const StreamFacts* StreamById(const QString& id) const;
    const ReceiverFacts* ReceiverById(const QString& id) const;
    const ReceiverFacts* ReceiverByRole(const std::string& role) const;

    http::HttpReply NodeApi(const http::HttpRequest& request, const QStringList& parts);
    http::HttpReply ConnectionApi(const http::HttpRequest& request, const QStringList& parts);
    http::HttpReply SenderEndpoint(const http::HttpRequest& request, const StreamFacts& s,
                                   const QString& leaf);
    http::HttpReply ReceiverEndpoint(const http::HttpRequest& request, const ReceiverFacts& r,
                                     const QString& leaf);
    // Stages a patch (a parsed object) on one sender or receiver: the status and the body a
    // single request would have got.
    http::HttpReply Stage(const StreamFacts& stream, const QJsonObject& patch);
    http::HttpReply StageReceiver(const ReceiverFacts& receiver, const QJsonObject& patch);
    // The activation part of a patch, on parameters already checked: staged, or activated now
    // or later.
    http::HttpReply Transact(bool receiver, const std::string& role, EndpointState& state,
                             QJsonObject staged, const QJsonObject& patch);
    QJsonArray Constraints(const StreamFacts& stream) const;
    // Staged parameters with every "auto" resolved; nullopt with *error when one cannot be.
    std::optional<QJsonObject> Resolve(const StreamFacts& stream, const QJsonObject& staged,
                                       std::string* error) const;
    bool Apply(const std::string& role, const QJsonObject& resolved, std::string* error);
    // Resolves and applies the staged parameters of a sender or receiver by role.
    std::optional<QJsonObject> Commit(bool receiver, const std::string& role,
                                      const QJsonObject& staged, std::string* error);
    void Fire(bool receiver, const std::string& role);

    NodeHost& m_host;
    NodeFacts m_facts;
    QString m_nodeId;
    QString m_deviceId;
    // The last published form of each resource (without its version), and its version.
    std::map<QString, std::pair<QJsonObject, QString>> m_published;
    std::map<std::string, EndpointState> m_senders;          // by role
    std::map<std::string, EndpointState> m_receivers;        // by role
    std::map<std::string, std::vector<Transport>> m_initial; // by role, per leg: what "auto" is
};

} // namespace nmos
