// The node's resources and its two APIs. Everything is rebuilt from the program's facts at each
// request, so what a controller reads is what is on the wire; a resource's version moves only
// when its content did.
#include "nmos_node.h"

#include "address.h"
#include "media_time.h"
#include "sdp_reader.h"

#include <QHostAddress>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QUuid>

#include <time.h>

#include <algorithm>
#include <cstdio>

namespace nmos {

namespace {

using http::HttpReply;
using http::HttpRequest;

using wire::TaiNowNs;
const QString kActiveKey = QStringLiteral("_active");

QString TaiText(int64_t ns) {
    return QString::fromStdString(wire::TaiText(ns));
}

std::optional<int64_t> ParseTai(const QString& text) {
    return wire::ParseTaiText(text.toStdString());
}

HttpReply Json(const QJsonDocument& document, int status = 200) {
    HttpReply reply;
    reply.status = status;
    reply.body = document.toJson(QJsonDocument::Compact);
    return reply;
}
HttpReply Json(const QJsonObject& object, int status = 200) {
    return Json(QJsonDocument(object), status);
}
HttpReply Json(const QJsonArray& array, int status = 200) {
    return Json(QJsonDocument(array), status);
}

// The error document both APIs specify.
HttpReply Error(int status, const QString& text) {
    return Json(QJsonObject{{QStringLiteral("code"), status},
                            {QStringLiteral("error"), text},
                            {QStringLiteral("debug"), QJsonValue::Null}},
                status);
}

QJsonArray Listing(std::initializer_list<const char*> names) {
    QJsonArray list;
    for (const char* name : names) {
        list.append(QString::fromLatin1(name));
    }
    return list;
}

QString UrlHost(const std::string& host) {
    const QString text = QString::fromStdString(host);
    return text.contains(QLatin1Char(':')) ? QLatin1Char('[') + text + QLatin1Char(']') : text;
}

QJsonObject NoActivation() {
    return {{QStringLiteral("mode"), QJsonValue::Null},
            {QStringLiteral("requested_time"), QJsonValue::Null},
            {QStringLiteral("activation_time"), QJsonValue::Null}};
}

// A sender's legs, in transport_params order.
std::vector<Transport> LegsOf(const StreamFacts& s) {
    std::vector<Transport> legs{s.transport};
    if (s.secondLeg) {
        legs.push_back(*s.secondLeg);
    }
    return legs;
}

QJsonObject TransportJson(const Transport& t) {
    return {{QStringLiteral("source_ip"), QString::fromStdString(t.sourceIp)},
            {QStringLiteral("source_port"), t.sourcePort},
            {QStringLiteral("destination_ip"), QString::fromStdString(t.destinationIp)},
            {QStringLiteral("destination_port"), t.destinationPort},
            {QStringLiteral("rtp_enabled"), t.rtpEnabled}};
}

const QRegularExpression& UuidForm() {
    static const QRegularExpression form(QStringLiteral(
        "^[0-9a-f]{8}-[0-9a-f]{4}-[1-5][0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}$"));
    return form;
}

bool OnlyKeys(const QJsonObject& object, std::initializer_list<const char*> allowed,
              QString* unknown) {
    for (auto it = object.begin(); it != object.end(); ++it) {
        if (std::none_of(allowed.begin(), allowed.end(),
                         [&](const char* name) { return it.key() == QLatin1String(name); })) {
            *unknown = it.key();
            return false;
        }
    }
    return true;
}

bool IsAuto(const QJsonValue& value) {
    return value.isString() && value.toString() == QLatin1String("auto");
}

// What a sender's and a receiver's patch share: only the keys it may carry; nothing while a
// scheduled activation waits, unless the patch cancels it (a scheduled activation locks the
// endpoint until it fires or is cancelled); the peer's id (a UUID or null) and master_enable (a
// boolean) staged. The refusal, or nullopt with *staged updated.
std::optional<HttpReply> StageShared(const QJsonObject& patch, bool scheduled,
                                     std::initializer_list<const char*> keys, const char* peer,
                                     QJsonObject* staged) {
    QString unknown;
    if (!OnlyKeys(patch, keys, &unknown)) {
        return Error(400, QStringLiteral("no such parameter: %1").arg(unknown));
    }
    const QJsonObject activation = patch[QStringLiteral("activation")].toObject();
    const bool cancels =
        patch.contains(QStringLiteral("activation")) && activation[QStringLiteral("mode")].isNull();
    if (scheduled && !cancels) {
        return Error(423, QStringLiteral("an activation is scheduled: cancel it first"));
    }
    const QString peerKey = QLatin1String(peer);
    if (patch.contains(peerKey)) {
        const QJsonValue value = patch[peerKey];
        if (!value.isNull() &&
            !(value.isString() && UuidForm().match(value.toString()).hasMatch())) {
            return Error(400, QStringLiteral("%1: a UUID or null").arg(peerKey));
        }
        (*staged)[peerKey] = value;
    }
    if (patch.contains(QStringLiteral("master_enable"))) {
        if (!patch[QStringLiteral("master_enable")].isBool()) {
            return Error(400, QStringLiteral("master_enable: true or false"));
        }
        (*staged)[QStringLiteral("master_enable")] = patch[QStringLiteral("master_enable")];
    }
    return std::nullopt;
}

} // namespace

std::string TaiNow() {
    return TaiText(TaiNowNs()).toStdString();
}

QString ResourceId(const std::string& hostname, int copy, const std::string& kind) {
    // The product's own namespace: the same host and copy give the same ids after a restart.
    static const QUuid kNamespace(QStringLiteral("{6b1f0a3e-5c2d-4f8e-9a71-3d4c5b6a7e80}"));
    const std::string name = hostname + "/" + std::to_string(copy) + "/" + kind;
    return QUuid::createUuidV5(kNamespace, QByteArray::fromStdString(name))
        .toString(QUuid::WithoutBraces);
}

int64_t Node::NowNs() const {
    // PTP's timescale is TAI: activations and versions follow the plant's clock when it has one.
    return m_host.PtpNowNs().value_or(TaiNowNs());
}

Node::Node(NodeHost& host, QObject* parent) : QObject(parent), m_host(host) {
    Refresh();
}

Node::~Node() = default;

void Node::Refresh() {
    m_facts = m_host.Facts();
    m_nodeId = ResourceId(m_facts.hostname, m_facts.copy, "node");
    m_deviceId = ResourceId(m_facts.hostname, m_facts.copy, "device");
    for (const StreamFacts& stream : m_facts.streams) {
        m_initial.emplace(stream.role, LegsOf(stream));
        EndpointState& state = m_senders[stream.role];
        if (state.staged.isEmpty()) {
            QJsonObject params{{QStringLiteral("receiver_id"), QJsonValue::Null},
                               {QStringLiteral("master_enable"), true},
                               {QStringLiteral("activation"), NoActivation()},
                               {QStringLiteral("transport_params"), [&] {
                                    QJsonArray legs;
                                    for (const Transport& leg : LegsOf(stream)) {
                                        legs.append(TransportJson(leg));
                                    }
                                    return legs;
                                }()}};
            state.staged = params;
            state.active = params;
        }
    }
    for (const ReceiverFacts& receiver : m_facts.receivers) {
        EndpointState& state = m_receivers[receiver.role];
        if (state.staged.isEmpty()) {
            const QJsonObject params{
                {QStringLiteral("sender_id"), QJsonValue::Null},
                {QStringLiteral("master_enable"), false},
                {QStringLiteral("activation"), NoActivation()},
                {QStringLiteral("transport_file"),
                 QJsonObject{{QStringLiteral("data"), QJsonValue::Null},
                             {QStringLiteral("type"), QJsonValue::Null}}},
                {QStringLiteral("transport_params"),
                 QJsonArray{
                     QJsonObject{{QStringLiteral("source_ip"), QJsonValue::Null},
                                 {QStringLiteral("multicast_ip"), QJsonValue::Null},
                                 {QStringLiteral("interface_ip"), QStringLiteral("auto")},
                                 {QStringLiteral("destination_port"), QStringLiteral("auto")},
                                 {QStringLiteral("rtp_enabled"), true}}}}};
            state.staged = params;
            // Active parameters are never "auto": what it would listen on, parked.
            QJsonObject active = params;
            QJsonObject leg = active[QStringLiteral("transport_params")].toArray()[0].toObject();
            leg[QStringLiteral("interface_ip")] = QString::fromStdString(receiver.interfaceIp);
            leg[QStringLiteral("destination_port")] = 5004;
            active[QStringLiteral("transport_params")] = QJsonArray{leg};
            state.active = active;
        }
    }
}

const StreamFacts* Node::StreamById(const QString& id) const {
    for (const StreamFacts& stream : m_facts.streams) {
        if (ResourceId(m_facts.hostname, m_facts.copy, "sender/" + stream.role) == id) {
            return &stream;
        }
    }
    return nullptr;
}

const ReceiverFacts* Node::ReceiverById(const QString& id) const {
    for (const ReceiverFacts& receiver : m_facts.receivers) {
        if (ResourceId(m_facts.hostname, m_facts.copy, "receiver/" + receiver.role) == id) {
            return &receiver;
        }
    }
    return nullptr;
}

const ReceiverFacts* Node::ReceiverByRole(const std::string& role) const {
    for (const ReceiverFacts& receiver : m_facts.receivers) {
        if (receiver.role == role) {
            return &receiver;
        }
    }
    return nullptr;
}

QJsonObject Node::Core(const QString& id, const std::string& label, const QString& description) {
    return {{QStringLiteral("id"), id},
            {QStringLiteral("label"), QString::fromStdString(label)},
            {QStringLiteral("description"), description},
            {QStringLiteral("tags"), QJsonObject{}}};
}

std::vector<Node::Resource> Node::Resources() {
    Refresh();
    const NodeFacts& f = m_facts;
    const QString base = QStringLiteral("http://%1:%2/").arg(UrlHost(f.apiHost)).arg(f.apiPort);
    std::vector<Resource> resources;

    QJsonObject node = Core(m_nodeId, f.sourceName + " on " + f.hostname,
                            QString::fromStdString(f.nodeDescription));
    node[QStringLiteral("href")] = base;
    node[QStringLiteral("hostname")] = QString::fromStdString(f.hostname);
    node[QStringLiteral("caps")] = QJsonObject{};
    node[QStringLiteral("services")] = QJsonArray{};
    node[QStringLiteral("api")] = QJsonObject{
        {QStringLiteral("versions"), QJsonArray{QString::fromLatin1(kNodeVersion)}},
        {QStringLiteral("endpoints"),
         QJsonArray{QJsonObject{{QStringLiteral("host"), QString::fromStdString(f.apiHost)},
                                {QStringLiteral("port"), f.apiPort},
                                {QStringLiteral("protocol"), QStringLiteral("http")},
                                {QStringLiteral("authorization"), false}}}}};
    QJsonObject clock{{QStringLiteral("name"), QStringLiteral("clk0")}};
    if (f.ptpLocked) {
        clock[QStringLiteral("ref_type")] = QStringLiteral("ptp");
        clock[QStringLiteral("traceable")] = false;
        clock[QStringLiteral("version")] = QStringLiteral("IEEE1588-2008");
        clock[QStringLiteral("gmid")] = QString::fromStdString(f.ptpGrandmaster);
        clock[QStringLiteral("locked")] = true;
    } else {
        clock[QStringLiteral("ref_type")] = QStringLiteral("internal");
    }
    node[QStringLiteral("clocks")] = QJsonArray{clock};
    const QString mac = QString::fromStdString(f.interfaceMac);
    QJsonArray interfaces{
        QJsonObject{{QStringLiteral("name"), QString::fromStdString(f.interfaceName)},
                    {QStringLiteral("chassis_id"), mac},
                    {QStringLiteral("port_id"), mac}}};
    if (!f.secondInterfaceName.empty() && f.secondInterfaceName != f.interfaceName) {
        const QString secondMac = QString::fromStdString(f.secondInterfaceMac);
        interfaces.append(
            QJsonObject{{QStringLiteral("name"), QString::fromStdString(f.secondInterfaceName)},
                        {QStringLiteral("chassis_id"), secondMac},
                        {QStringLiteral("port_id"), secondMac}});
    }
    node[QStringLiteral("interfaces")] = interfaces;
    resources.push_back({QStringLiteral("node"), node});

    QJsonArray senderIds;
    for (const StreamFacts& s : f.streams) {
        senderIds.append(ResourceId(f.hostname, f.copy, "sender/" + s.role));
    }
    QJsonArray receiverIds;
    for (const ReceiverFacts& r : f.receivers) {
        receiverIds.append(ResourceId(f.hostname, f.copy, "receiver/" + r.role));
    }
    QJsonObject device =
        Core(m_deviceId, f.sourceName, QString::fromStdString(f.deviceDescription));
    device[QStringLiteral("type")] = QStringLiteral("urn:x-nmos:device:generic");
    device[QStringLiteral("node_id")] = m_nodeId;
    device[QStringLiteral("senders")] = senderIds;
    device[QStringLiteral("receivers")] = receiverIds;
    device[QStringLiteral("controls")] = QJsonArray{QJsonObject{
        {QStringLiteral("type"), QStringLiteral("urn:x-nmos:control:sr-ctrl/%1")
                                     .arg(QString::fromLatin1(kConnectionVersion))},
        {QStringLiteral("href"),
         base +
             QStringLiteral("x-nmos/connection/%1/").arg(QString::fromLatin1(kConnectionVersion))},
        {QStringLiteral("authorization"), false}}};
    resources.push_back({QStringLiteral("device"), device});

    for (const StreamFacts& s : f.streams) {
        const QString kind = s.video ? QStringLiteral("Video") : QStringLiteral("Audio");
        const std::string label = f.sourceName + (s.video ? " picture" : " tone") +
                                  (s.role == "audio-2" ? " (channels 9-16)" : "");
        QJsonObject source =
            Core(ResourceId(f.hostname, f.copy, "source/" + s.role), label,
                 s.video ? QStringLiteral("Ident card") : QStringLiteral("Line-up tone"));
        source[QStringLiteral("caps")] = QJsonObject{};
        source[QStringLiteral("device_id")] = m_deviceId;
        source[QStringLiteral("parents")] = QJsonArray{};
        source[QStringLiteral("clock_name")] = QStringLiteral("clk0");
        QJsonObject flow = Core(ResourceId(f.hostname, f.copy, "flow/" + s.role), label,
                                source[QStringLiteral("description")].toString());
        flow[QStringLiteral("source_id")] = source[QStringLiteral("id")];
        flow[QStringLiteral("device_id")] = m_deviceId;
        flow[QStringLiteral("parents")] = QJsonArray{};
        if (s.video) {
            source[QStringLiteral("format")] = QStringLiteral("urn:x-nmos:format:video");
            source[QStringLiteral("grain_rate")] = QJsonObject{
                {QStringLiteral("numerator"), s.rateN}, {QStringLiteral("denominator"), s.rateD}};
            flow[QStringLiteral("format")] = QStringLiteral("urn:x-nmos:format:video");
            flow[QStringLiteral("media_type")] = QStringLiteral("video/raw");
            flow[QStringLiteral("grain_rate")] = QJsonObject{
                {QStringLiteral("numerator"), s.rateN}, {QStringLiteral("denominator"), s.rateD}};
            flow[QStringLiteral("frame_width")] = s.width;
            flow[QStringLiteral("frame_height")] = s.height;
            flow[QStringLiteral("interlace_mode")] = QStringLiteral("progressive");
            flow[QStringLiteral("colorspace")] = QStringLiteral("BT709");
            flow[QStringLiteral("transfer_characteristic")] = QStringLiteral("SDR");
            QJsonArray components;
            for (const char* name : {"R", "G", "B"}) {
                components.append(QJsonObject{{QStringLiteral("name"), QString::fromLatin1(name)},
                                              {QStringLiteral("width"), s.width},
                                              {QStringLiteral("height"), s.height},
                                              {QStringLiteral("bit_depth"), 8}});
            }
            flow[QStringLiteral("components")] = components;
        } else {
            source[QStringLiteral("format")] = QStringLiteral("urn:x-nmos:format:audio");
            QJsonArray channels;
            const int first = s.role == "audio-2" ? 9 : 1;
            // Stereo pairs, a last odd channel mono: as the session description's channel order.
            for (int c = 0; c < s.channels; ++c) {
                const bool mono = c + 1 == s.channels && s.channels % 2 == 1;
                channels.append(QJsonObject{
                    {QStringLiteral("label"), QStringLiteral("Channel %1").arg(first + c)},
                    {QStringLiteral("symbol"), mono         ? QStringLiteral("M1")
                                               : c % 2 == 0 ? QStringLiteral("L")
                                                            : QStringLiteral("R")}});
            }
            source[QStringLiteral("channels")] = channels;
            flow[QStringLiteral("format")] = QStringLiteral("urn:x-nmos:format:audio");
            flow[QStringLiteral("media_type")] = QStringLiteral("audio/L24");
            flow[QStringLiteral("sample_rate")] = QJsonObject{{QStringLiteral("numerator"), 48000},
                                                              {QStringLiteral("denominator"), 1}};
            flow[QStringLiteral("bit_depth")] = 24;
        }
        resources.push_back({QStringLiteral("source"), source});
        resources.push_back({QStringLiteral("flow"), flow});

        QJsonObject sender = SenderResource(s);
        sender[QStringLiteral("label")] = QString::fromStdString(label);
        sender[QStringLiteral("flow_id")] = flow[QStringLiteral("id")];
        // Grouping (BCP-002-01): the source's streams belong together, by role.
        const int index = s.role == "audio-2" ? 2 : 1;
        sender[QStringLiteral("tags")] =
            QJsonObject{{QStringLiteral("urn:x-nmos:tag:grouphint/v1.0"),
                         QJsonArray{QStringLiteral("%1:%2 %3")
                                        .arg(QString::fromStdString(f.sourceName), kind)
                                        .arg(index)}}};
        resources.push_back({QStringLiteral("sender"), sender});
    }

    for (const ReceiverFacts& r : f.receivers) {
        resources.push_back({QStringLiteral("receiver"), ReceiverResource(r)});
    }

    // Versions: kept while a resource is unchanged, a new one (later than any before) when not.
    int64_t now = NowNs();
    for (Resource& r : resources) {
        const QString id = r.data[QStringLiteral("id")].toString();
        auto found = m_published.find(id);
        if (found == m_published.end() || found->second.first != r.data) {
            QString version = TaiText(now);
            if (found != m_published.end() && found->second.second == version) {
                version = TaiText(++now);
            }
            m_published[id] = {r.data, version};
        }
        r.data.remove(kActiveKey);
        r.data[QStringLiteral("version")] = m_published[id].second;
    }
    return resources;
}

QJsonObject Node::SenderResource(const StreamFacts& s) {
    const QString id = ResourceId(m_facts.hostname, m_facts.copy, "sender/" + s.role);
    QJsonObject sender = Core(id, "", QStringLiteral("RTP sender"));
    sender[QStringLiteral("caps")] = QJsonObject{};
    sender[QStringLiteral("device_id")] = m_deviceId;
    const EndpointState& state = StateOf(s);
    const QJsonObject leg =
        state.active[QStringLiteral("transport_params")].toArray()[0].toObject();
    const QHostAddress destination(leg[QStringLiteral("destination_ip")].toString());
    sender[QStringLiteral("transport")] = destination.isMulticast()
                                              ? QStringLiteral("urn:x-nmos:transport:rtp.mcast")
                                              : QStringLiteral("urn:x-nmos:transport:rtp.ucast");
    sender[QStringLiteral("manifest_href")] =
        QStringLiteral("http://%1:%2/x-nmos/connection/%3/single/senders/%4/transportfile")
            .arg(UrlHost(m_facts.apiHost))
            .arg(m_facts.apiPort)
            .arg(QString::fromLatin1(kConnectionVersion), id);
    // One interface per leg, in the legs' order.
    QJsonArray bindings{QString::fromStdString(m_facts.interfaceName)};
    if (s.secondLeg) {
        bindings.append(QString::fromStdString(m_facts.secondInterfaceName.empty()
                                                   ? m_facts.interfaceName
                                                   : m_facts.secondInterfaceName));
    }
    sender[QStringLiteral("interface_bindings")] = bindings;
    // A parked sender (master_enable false) is subscribed to no receiver.
    const bool active = state.active[QStringLiteral("master_enable")].toBool();
    sender[QStringLiteral("subscription")] = QJsonObject{
        {QStringLiteral("receiver_id"),
         active ? state.active[QStringLiteral("receiver_id")] : QJsonValue(QJsonValue::Null)},
        {QStringLiteral("active"), active}};
    // Not published, but compared: an activation is a new version of the sender (a controller
    // reads the new transport file by it).
    sender[kActiveKey] = state.active;
    return sender;
}

QJsonObject Node::ReceiverResource(const ReceiverFacts& r) {
    QJsonObject receiver = Core(ResourceId(m_facts.hostname, m_facts.copy, "receiver/" + r.role),
                                r.label, QStringLiteral("RTP audio, judged"));
    receiver[QStringLiteral("device_id")] = m_deviceId;
    receiver[QStringLiteral("transport")] = QStringLiteral("urn:x-nmos:transport:rtp");
    receiver[QStringLiteral("interface_bindings")] =
        QJsonArray{QString::fromStdString(m_facts.interfaceName)};
    receiver[QStringLiteral("format")] = QStringLiteral("urn:x-nmos:format:audio");
    // What the analyser reads (BCP-004-01): L24 or L16, these rates, up to maxChannels.
    QJsonArray rates;
    for (const int rate : r.rates) {
        rates.append(QJsonObject{{QStringLiteral("numerator"), rate}});
    }
    receiver[QStringLiteral("caps")] =
        QJsonObject{{QStringLiteral("media_types"),
                     QJsonArray{QStringLiteral("audio/L24"), QStringLiteral("audio/L16")}},
                    {QStringLiteral("constraint_sets"),
                     QJsonArray{QJsonObject{
                         {QStringLiteral("urn:x-nmos:cap:meta:label"),
                          QStringLiteral("L24 or L16 PCM, 1 to %1 channels").arg(r.maxChannels)},
                         {QStringLiteral("urn:x-nmos:cap:meta:enabled"), true},
                         {QStringLiteral("urn:x-nmos:cap:meta:preference"), 0},
                         {QStringLiteral("urn:x-nmos:cap:format:sample_rate"),
                          QJsonObject{{QStringLiteral("enum"), rates}}},
                         {QStringLiteral("urn:x-nmos:cap:format:channel_count"),
                          QJsonObject{{QStringLiteral("minimum"), 1},
                                      {QStringLiteral("maximum"), r.maxChannels}}},
                         {QStringLiteral("urn:x-nmos:cap:format:sample_depth"),
                          QJsonObject{{QStringLiteral("enum"), QJsonArray{16, 24}}}}}}},
                    {QStringLiteral("version"), QStringLiteral("0:0")}};
    const EndpointState& state = m_receivers[r.role];
    const bool active = state.active[QStringLiteral("master_enable")].toBool();
    receiver[QStringLiteral("subscription")] =
        QJsonObject{{QStringLiteral("sender_id"), active ? state.active[QStringLiteral("sender_id")]
                                                         : QJsonValue(QJsonValue::Null)},
                    {QStringLiteral("active"), active}};
    receiver[kActiveKey] = state.active;
    return receiver;
}

Node::EndpointState& Node::StateOf(const StreamFacts& stream) {
    return m_senders[stream.role];
}

std::optional<HttpReply> Node::Handle(const HttpRequest& request) {
    if (request.path != QLatin1String("/x-nmos") &&
        !request.path.startsWith(QLatin1String("/x-nmos/"))) {
        return std::nullopt;
    }
    HttpReply reply;
    const QByteArray type = request.Header("content-type").split(';').first().trimmed().toLower();
    if ((request.method == "PATCH" || request.method == "POST" || request.method == "PUT") &&
        type != "application/json") {
        // JSON only: a page cannot send that without the browser asking first.
        reply = Error(415, QStringLiteral("send application/json"));
    } else {
        Refresh();
        QStringList parts = request.path.split(QLatin1Char('/'), Qt::SkipEmptyParts);
        parts.removeFirst(); // "x-nmos"
        const bool get = request.method == "GET" || request.method == "HEAD";
        if (parts.isEmpty()) {
            reply = get ? Json(Listing({"node/", "connection/"}))
                        : Error(405, QStringLiteral("use GET"));
        } else if (parts[0] == QLatin1String("node")) {
            reply = NodeApi(request, parts.mid(1));
        } else if (parts[0] == QLatin1String("connection")) {
            reply = ConnectionApi(request, parts.mid(1));
        } else {
            reply = Error(404, QStringLiteral("no such API"));
        }
    }
    return reply;
}

HttpReply Node::NodeApi(const HttpRequest& request, const QStringList& parts) {
    const bool get = request.method == "GET" || request.method == "HEAD";
    if (parts.isEmpty()) {
        return get ? Json(Listing({"v1.3/"})) : Error(405, QStringLiteral("use GET"));
    }
    if (parts[0] != QLatin1String(kNodeVersion)) {
        return Error(404, QStringLiteral("this node serves Node API v1.3"));
    }
    if (parts.size() == 4 && parts[1] == QLatin1String("receivers") &&
        parts[3] == QLatin1String("target") && request.method == "PUT") {
        // IS-04's old way of routing a receiver: IS-05 routes this node's.
        return Error(501, QStringLiteral("route receivers through IS-05 (/x-nmos/connection/)"));
    }
    if (!get) {
        return Error(405, QStringLiteral("the Node API is read-only here: use GET"));
    }
    if (parts.size() == 1) {
        return Json(Listing({"self/", "sources/", "flows/", "devices/", "senders/", "receivers/"}));
    }
    const std::vector<Resource> all = Resources();
    if (parts[1] == QLatin1String("self") && parts.size() == 2) {
        return Json(all.front().data);
    }
    static const std::map<QString, QString> kCollections{{QStringLiteral("devices"), "device"},
                                                         {QStringLiteral("sources"), "source"},
                                                         {QStringLiteral("flows"), "flow"},
                                                         {QStringLiteral("senders"), "sender"},
                                                         {QStringLiteral("receivers"), "receiver"}};
    const auto collection = kCollections.find(parts[1]);
    if (collection == kCollections.end() || parts.size() > 3) {
        return Error(404, QStringLiteral("not found"));
    }
    QJsonArray list;
    for (const Resource& r : all) {
        if (r.type != collection->second) {
            continue;
        }
        if (parts.size() == 3) {
            if (r.data[QStringLiteral("id")].toString() == parts[2]) {
                return Json(r.data);
            }
            continue;
        }
        list.append(r.data);
    }
    return parts.size() == 3 ? Error(404, QStringLiteral("no such resource")) : Json(list);
}

HttpReply Node::ConnectionApi(const HttpRequest& request, const QStringList& parts) {
    const bool get = request.method == "GET" || request.method == "HEAD";
    if (parts.isEmpty()) {
        return get ? Json(Listing({"v1.1/"})) : Error(405, QStringLiteral("use GET"));
    }
    if (parts[0] != QLatin1String(kConnectionVersion)) {
        return Error(404, QStringLiteral("this node serves Connection API v1.1"));
    }
    const QStringList rest = parts.mid(1);
    if (rest.isEmpty()) {
        return get ? Json(Listing({"bulk/", "single/"})) : Error(405, QStringLiteral("use GET"));
    }
    if (rest[0] == QLatin1String("bulk")) {
        if (rest.size() == 1) {
            return get ? Json(Listing({"senders/", "receivers/"}))
                       : Error(405, QStringLiteral("use GET"));
        }
        if (rest.size() > 2 ||
            (rest[1] != QLatin1String("senders") && rest[1] != QLatin1String("receivers"))) {
            return Error(404, QStringLiteral("not found"));
        }
        if (request.method != "POST") {
            return Error(405, QStringLiteral("use POST"));
        }
        QJsonParseError parseError{};
        const QJsonDocument document = QJsonDocument::fromJson(request.body, &parseError);
        if (parseError.error != QJsonParseError::NoError || !document.isArray()) {
            return Error(400, QStringLiteral("the body must be a JSON array of {id, params}"));
        }
        const bool senders = rest[1] == QLatin1String("senders");
        for (const QJsonValue& item : document.array()) {
            const QJsonObject entry = item.toObject();
            QString unknown;
            if (!item.isObject() || !entry[QStringLiteral("id")].isString() ||
                !UuidForm().match(entry[QStringLiteral("id")].toString()).hasMatch() ||
                !entry[QStringLiteral("params")].isObject() ||
                !OnlyKeys(entry, {"id", "params"}, &unknown)) {
                return Error(400, QStringLiteral("every item needs an id (a UUID) and params"));
            }
        }
        QJsonArray results;
        for (const QJsonValue& item : document.array()) {
            const QJsonObject entry = item.toObject();
            const QString id = entry[QStringLiteral("id")].toString();
            const QJsonObject params = entry[QStringLiteral("params")].toObject();
            const StreamFacts* stream = senders ? StreamById(id) : nullptr;
            const ReceiverFacts* receiver = senders ? nullptr : ReceiverById(id);
            const HttpReply single =
                stream     ? Stage(*stream, params)
                : receiver ? StageReceiver(*receiver, params)
                           : Error(404, QStringLiteral("no such %1")
                                            .arg(senders ? QStringLiteral("sender")
                                                         : QStringLiteral("receiver")));
            QJsonObject result{{QStringLiteral("id"), id}, {QStringLiteral("code"), single.status}};
            if (single.status >= 400) {
                result[QStringLiteral("error")] =
                    QJsonDocument::fromJson(single.body).object()[QStringLiteral("error")];
            }
            results.append(result);
        }
        return Json(results);
    }
    if (rest[0] != QLatin1String("single")) {
        return Error(404, QStringLiteral("not found"));
    }
    if (rest.size() == 1) {
        return get ? Json(Listing({"senders/", "receivers/"}))
                   : Error(405, QStringLiteral("use GET"));
    }
    if (rest[1] == QLatin1String("receivers")) {
        if (rest.size() == 2) {
            if (!get) {
                return Error(405, QStringLiteral("use GET"));
            }
            QJsonArray ids;
            for (const ReceiverFacts& r : m_facts.receivers) {
                ids.append(ResourceId(m_facts.hostname, m_facts.copy, "receiver/" + r.role) +
                           QLatin1Char('/'));
            }
            return Json(ids);
        }
        const ReceiverFacts* receiver = ReceiverById(rest[2]);
        if (receiver == nullptr || rest.size() > 4) {
            return Error(404, QStringLiteral("no such receiver"));
        }
        if (rest.size() == 3) {
            return get ? Json(Listing({"constraints/", "staged/", "active/", "transporttype/"}))
                       : Error(405, QStringLiteral("use GET"));
        }
        return ReceiverEndpoint(request, *receiver, rest[3]);
    }
    if (rest[1] != QLatin1String("senders")) {
        return Error(404, QStringLiteral("not found"));
    }
    if (rest.size() == 2) {
        if (!get) {
            return Error(405, QStringLiteral("use GET"));
        }
        QJsonArray ids;
        for (const StreamFacts& s : m_facts.streams) {
            ids.append(ResourceId(m_facts.hostname, m_facts.copy, "sender/" + s.role) +
                       QLatin1Char('/'));
        }
        return Json(ids);
    }
    const StreamFacts* stream = StreamById(rest[2]);
    if (stream == nullptr || rest.size() > 4) {
        return Error(404, QStringLiteral("no such sender"));
    }
    if (rest.size() == 3) {
        return get ? Json(Listing({"constraints/", "staged/", "active/", "transportfile/",
                                   "transporttype/"}))
                   : Error(405, QStringLiteral("use GET"));
    }
    return SenderEndpoint(request, *stream, rest[3]);
}

HttpReply Node::SenderEndpoint(const HttpRequest& request, const StreamFacts& s,
                               const QString& leaf) {
    const bool get = request.method == "GET" || request.method == "HEAD";
    EndpointState& state = StateOf(s);
    if (leaf == QLatin1String("staged")) {
        if (request.method == "PATCH") {
            QJsonParseError parseError{};
            const QJsonDocument document = QJsonDocument::fromJson(request.body, &parseError);
            if (parseError.error != QJsonParseError::NoError || !document.isObject()) {
                return Error(400, QStringLiteral("the body must be one JSON object"));
            }
            return Stage(s, document.object());
        }
        return get ? Json(state.staged) : Error(405, QStringLiteral("use GET or PATCH"));
    }
    if (!get) {
        return Error(405, QStringLiteral("use GET"));
    }
    if (leaf == QLatin1String("active")) {
        return Json(state.active);
    }
    if (leaf == QLatin1String("constraints")) {
        return Json(Constraints(s));
    }
    if (leaf == QLatin1String("transporttype")) {
        HttpReply reply; // a bare JSON string, which QJsonDocument cannot hold
        reply.body = "\"urn:x-nmos:transport:rtp\"";
        return reply;
    }
    if (leaf == QLatin1String("transportfile")) {
        const std::string sdp = m_host.TransportFile(s.role);
        if (sdp.empty()) {
            return Error(404, QStringLiteral("the sender has no session description yet"));
        }
        HttpReply reply;
        reply.contentType = "application/sdp";
        reply.body = QByteArray::fromStdString(sdp);
        return reply;
    }
    return Error(404, QStringLiteral("not found"));
}

HttpReply Node::ReceiverEndpoint(const HttpRequest& request, const ReceiverFacts& r,
                                 const QString& leaf) {
    const bool get = request.method == "GET" || request.method == "HEAD";
    EndpointState& state = m_receivers[r.role];
    if (leaf == QLatin1String("staged")) {
        if (request.method == "PATCH") {
            QJsonParseError parseError{};
            const QJsonDocument document = QJsonDocument::fromJson(request.body, &parseError);
            if (parseError.error != QJsonParseError::NoError || !document.isObject()) {
                return Error(400, QStringLiteral("the body must be one JSON object"));
            }
            return StageReceiver(r, document.object());
        }
        return get ? Json(state.staged) : Error(405, QStringLiteral("use GET or PATCH"));
    }
    if (!get) {
        return Error(405, QStringLiteral("use GET"));
    }
    if (leaf == QLatin1String("active")) {
        return Json(state.active);
    }
    if (leaf == QLatin1String("constraints")) {
        return Json(QJsonArray{QJsonObject{
            {QStringLiteral("source_ip"), QJsonObject{}},
            {QStringLiteral("multicast_ip"), QJsonObject{}},
            {QStringLiteral("interface_ip"),
             QJsonObject{
                 {QStringLiteral("enum"), QJsonArray{QString::fromStdString(r.interfaceIp)}}}},
            {QStringLiteral("destination_port"),
             QJsonObject{{QStringLiteral("minimum"), 1}, {QStringLiteral("maximum"), 65535}}},
            {QStringLiteral("rtp_enabled"), QJsonObject{}}}});
    }
    if (leaf == QLatin1String("transporttype")) {
        HttpReply reply;
        reply.body = "\"urn:x-nmos:transport:rtp\"";
        return reply;
    }
    return Error(404, QStringLiteral("not found"));
}

QJsonArray Node::Constraints(const StreamFacts& s) const {
    QJsonObject destination;
    if (s.loopbackOnly) {
        // Set up to keep its streams on this computer: a controller may move them only there.
        destination[QStringLiteral("pattern")] =
            // ::1 in every spelling a controller may send: "::1", "0:0:0:0:0:0:0:1", "0::1".
            s.ipv6 ? QStringLiteral("^(0{0,4}:){2,7}0{0,3}1$")
                   : QStringLiteral("^127\\.[0-9]{1,3}\\.[0-9]{1,3}\\.[0-9]{1,3}$");
    }
    QJsonArray legs;
    for (const Transport& leg : LegsOf(s)) {
        legs.append(QJsonObject{
            {QStringLiteral("source_ip"),
             QJsonObject{
                 {QStringLiteral("enum"), QJsonArray{QString::fromStdString(leg.sourceIp)}}}},
            {QStringLiteral("source_port"),
             QJsonObject{{QStringLiteral("enum"), QJsonArray{leg.sourcePort}}}},
            {QStringLiteral("destination_ip"), destination},
            // RTCP goes to the port above.
            {QStringLiteral("destination_port"),
             QJsonObject{{QStringLiteral("minimum"), 1}, {QStringLiteral("maximum"), 65534}}},
            {QStringLiteral("rtp_enabled"), QJsonObject{}}});
    }
    return legs;
}

HttpReply Node::Stage(const StreamFacts& s, const QJsonObject& patch) {
    EndpointState& state = StateOf(s);
    QJsonObject staged = state.staged;
    if (std::optional<HttpReply> refused =
            StageShared(patch, state.pending != nullptr,
                        {"receiver_id", "master_enable", "activation", "transport_params"},
                        "receiver_id", &staged)) {
        return *refused;
    }
    if (patch.contains(QStringLiteral("transport_params"))) {
        const QJsonValue legs = patch[QStringLiteral("transport_params")];
        const std::vector<Transport> own = LegsOf(s);
        const auto count = static_cast<qsizetype>(own.size());
        // One object per leg, in order; {} leaves a leg as staged.
        if (!legs.isArray() || legs.toArray().size() != count ||
            std::any_of(legs.toArray().begin(), legs.toArray().end(),
                        [](const QJsonValue& leg) { return !leg.isObject(); })) {
            return Error(400, count == 1 ? QStringLiteral("transport_params: one object (one leg)")
                                         : QStringLiteral("transport_params: %1 objects, one per "
                                                          "leg")
                                               .arg(count));
        }
        QJsonArray stagedLegs = staged[QStringLiteral("transport_params")].toArray();
        for (qsizetype l = 0; l < count; ++l) {
            const Transport& mine = own[static_cast<size_t>(l)];
            const QJsonObject leg = legs.toArray()[l].toObject();
            QJsonObject merged = stagedLegs[l].toObject();
            for (auto it = leg.begin(); it != leg.end(); ++it) {
                const QString& key = it.key();
                const QJsonValue& value = it.value();
                bool good = false;
                if (key == QLatin1String("source_ip")) {
                    good =
                        IsAuto(value) || value.toString() == QString::fromStdString(mine.sourceIp);
                } else if (key == QLatin1String("source_port")) {
                    good = IsAuto(value) || (value.isDouble() && value.toInt() == mine.sourcePort &&
                                             value.toDouble() == value.toInt());
                } else if (key == QLatin1String("destination_ip")) {
                    const QHostAddress address(value.toString());
                    const bool family =
                        !address.isNull() &&
                        address.protocol() == (s.ipv6 ? QAbstractSocket::IPv6Protocol
                                                      : QAbstractSocket::IPv4Protocol);
                    good = IsAuto(value) ||
                           (value.isString() && family &&
                            (!s.loopbackOnly ||
                             wire::IsLoopbackAddress(value.toString().toStdString())));
                } else if (key == QLatin1String("destination_port")) {
                    good =
                        IsAuto(value) || (value.isDouble() && value.toDouble() == value.toInt() &&
                                          value.toInt() >= 1 && value.toInt() <= 65534);
                } else if (key == QLatin1String("rtp_enabled")) {
                    good = value.isBool();
                } else {
                    return Error(400, QStringLiteral("no such transport parameter: %1").arg(key));
                }
                if (!good) {
                    return Error(400,
                                 QStringLiteral("%1: outside what /constraints allows").arg(key));
                }
                merged[key] = value;
            }
            stagedLegs[l] = merged;
        }
        staged[QStringLiteral("transport_params")] = stagedLegs;
    }

    return Transact(false, s.role, state, staged, patch);
}

HttpReply Node::StageReceiver(const ReceiverFacts& r, const QJsonObject& patch) {
    EndpointState& state = m_receivers[r.role];
    QJsonObject staged = state.staged;
    if (std::optional<HttpReply> refused = StageShared(
            patch, state.pending != nullptr,
            {"sender_id", "master_enable", "activation", "transport_file", "transport_params"},
            "sender_id", &staged)) {
        return *refused;
    }
    QJsonObject leg = staged[QStringLiteral("transport_params")].toArray()[0].toObject();
    if (patch.contains(QStringLiteral("transport_file"))) {
        const QJsonObject file = patch[QStringLiteral("transport_file")].toObject();
        QString unknownKey;
        if (!patch[QStringLiteral("transport_file")].isObject() ||
            !OnlyKeys(file, {"data", "type"}, &unknownKey)) {
            return Error(400, QStringLiteral("transport_file: {data, type}"));
        }
        const QJsonValue data = file[QStringLiteral("data")];
        const QJsonValue type = file[QStringLiteral("type")];
        if (data.isString()) {
            if (type.toString() != QLatin1String("application/sdp")) {
                return Error(400, QStringLiteral("transport_file: type application/sdp"));
            }
            // What the analyser reads, or a 400 that says why: one audio stream of L24 or L16,
            // at a rate it takes, of no more channels than it judges.
            std::vector<std::string> errors;
            const std::string text = data.toString().toStdString();
            const std::optional<wire::SessionDescription> sdp = wire::ParseSdp(text, &errors);
            const auto audio =
                sdp ? std::find_if(sdp->media.begin(), sdp->media.end(),
                                   [](const wire::SdpMedia& m) { return m.kind == "audio"; })
                    : std::vector<wire::SdpMedia>::const_iterator{};
            if (!sdp || audio == sdp->media.end() || audio->formats.empty()) {
                return Error(400, QStringLiteral("transport_file: %1")
                                      .arg(errors.empty() ? QStringLiteral("no audio stream")
                                                          : QString::fromStdString(errors[0])));
            }
            const std::optional<wire::SdpRtpMap> map = audio->RtpMap(audio->formats.front());
            const QString encoding =
                map ? QString::fromStdString(map->encoding).toUpper() : QString();
            if (!map || (encoding != QLatin1String("L24") && encoding != QLatin1String("L16"))) {
                return Error(400, QStringLiteral("transport_file: audio/L24 or audio/L16 only"));
            }
            if (std::find(r.rates.begin(), r.rates.end(), map->rate) == r.rates.end()) {
                return Error(400,
                             QStringLiteral("transport_file: %1 Hz is not a rate this receiver "
                                            "reads")
                                 .arg(map->rate));
            }
            if (map->channels < 1 || map->channels > r.maxChannels) {
                return Error(400, QStringLiteral("transport_file: %1 channels; this receiver "
                                                 "takes 1 to %2")
                                      .arg(map->channels)
                                      .arg(r.maxChannels));
            }
            // The parameters follow the file: its port, its group, its source filter.
            const QHostAddress group(QString::fromStdString(sdp->ConnectionOf(*audio)));
            leg[QStringLiteral("destination_port")] = audio->port;
            leg[QStringLiteral("multicast_ip")] =
                group.isMulticast() ? QJsonValue(group.toString()) : QJsonValue(QJsonValue::Null);
            const std::optional<std::string> filter = audio->Attribute("source-filter");
            if (filter) {
                const QStringList words =
                    QString::fromStdString(*filter).split(QLatin1Char(' '), Qt::SkipEmptyParts);
                leg[QStringLiteral("source_ip")] =
                    words.size() >= 5 ? QJsonValue(words.last()) : QJsonValue(QJsonValue::Null);
            }
        } else if (!data.isNull() || !(type.isNull() || type.isString())) {
            return Error(400, QStringLiteral("transport_file: data is the SDP text or null"));
        }
        staged[QStringLiteral("transport_file")] =
            QJsonObject{{QStringLiteral("data"), data},
                        {QStringLiteral("type"),
                         data.isNull() ? QJsonValue(QJsonValue::Null) : QJsonValue(type)}};
    }
    if (patch.contains(QStringLiteral("transport_params"))) {
        const QJsonValue legs = patch[QStringLiteral("transport_params")];
        if (!legs.isArray() || legs.toArray().size() != 1 || !legs.toArray()[0].isObject()) {
            return Error(400, QStringLiteral("transport_params: one object (one leg)"));
        }
        const QJsonObject asked = legs.toArray()[0].toObject();
        for (auto it = asked.begin(); it != asked.end(); ++it) {
            const QString& key = it.key();
            const QJsonValue& value = it.value();
            bool good = false;
            if (key == QLatin1String("source_ip") || key == QLatin1String("multicast_ip")) {
                good = value.isNull() ||
                       (value.isString() && !QHostAddress(value.toString()).isNull());
            } else if (key == QLatin1String("interface_ip")) {
                good = IsAuto(value) || value.toString() == QString::fromStdString(r.interfaceIp);
            } else if (key == QLatin1String("destination_port")) {
                good = IsAuto(value) || (value.isDouble() && value.toDouble() == value.toInt() &&
                                         value.toInt() >= 1 && value.toInt() <= 65535);
            } else if (key == QLatin1String("rtp_enabled")) {
                good = value.isBool();
            } else {
                return Error(400, QStringLiteral("no such transport parameter: %1").arg(key));
            }
            if (!good) {
                return Error(400, QStringLiteral("%1: outside what /constraints allows").arg(key));
            }
            leg[key] = value;
        }
    }
    staged[QStringLiteral("transport_params")] = QJsonArray{leg};
    return Transact(true, r.role, state, staged, patch);
}

HttpReply Node::Transact(bool receiver, const std::string& role, EndpointState& state,
                         QJsonObject staged, const QJsonObject& patch) {
    const QJsonObject activation = patch[QStringLiteral("activation")].toObject();
    if (!patch.contains(QStringLiteral("activation"))) {
        state.staged = staged;
        return Json(state.staged);
    }
    QString unknownActivation;
    const QJsonValue mode = activation[QStringLiteral("mode")];
    const QJsonValue requested = activation[QStringLiteral("requested_time")];
    if (!patch[QStringLiteral("activation")].isObject() ||
        !OnlyKeys(activation, {"mode", "requested_time"}, &unknownActivation) ||
        !activation.contains(QStringLiteral("mode")) ||
        !(requested.isNull() || requested.isUndefined() ||
          (requested.isString() && ParseTai(requested.toString())))) {
        return Error(400, QStringLiteral("activation: {mode, requested_time}"));
    }
    if (mode.isNull()) {
        if (state.pending != nullptr) {
            state.pending->deleteLater();
            state.pending = nullptr;
        }
        staged[QStringLiteral("activation")] = NoActivation();
        state.staged = staged;
        return Json(state.staged);
    }
    const QString modeText = mode.toString();
    if (modeText == QLatin1String("activate_immediate")) {
        std::string error;
        const std::optional<QJsonObject> resolved = Commit(receiver, role, staged, &error);
        if (!resolved) {
            return Error(500, QString::fromStdString(error));
        }
        QJsonObject done{{QStringLiteral("mode"), modeText},
                         {QStringLiteral("requested_time"), QJsonValue::Null},
                         {QStringLiteral("activation_time"), TaiText(NowNs())}};
        state.active = *resolved;
        state.active[QStringLiteral("activation")] = done;
        staged[QStringLiteral("activation")] = done;
        HttpReply reply = Json(staged);
        // The mode returns to null once the transaction is complete.
        staged[QStringLiteral("activation")] = NoActivation();
        state.staged = staged;
        emit activated();
        return reply;
    }
    const bool absolute = modeText == QLatin1String("activate_scheduled_absolute");
    if (!absolute && modeText != QLatin1String("activate_scheduled_relative")) {
        return Error(400, QStringLiteral("activation mode: activate_immediate, "
                                         "activate_scheduled_absolute or "
                                         "activate_scheduled_relative"));
    }
    if (!requested.isString()) {
        return Error(400, QStringLiteral("a scheduled activation needs requested_time"));
    }
    const int64_t now = NowNs();
    const int64_t asked = *ParseTai(requested.toString());
    const int64_t at = absolute ? asked : now + asked;
    // An absolute time already past activates at once, as soon as the reply has gone.
    const int64_t delayMs = std::clamp<int64_t>((at - now) / 1'000'000, 0, 24LL * 3600 * 1000);
    staged[QStringLiteral("activation")] =
        QJsonObject{{QStringLiteral("mode"), modeText},
                    {QStringLiteral("requested_time"), requested},
                    {QStringLiteral("activation_time"), TaiText(std::max(at, now))}};
    state.staged = staged;
    state.pending = new QTimer(this);
    state.pending->setSingleShot(true);
    state.pending->setTimerType(Qt::PreciseTimer);
    connect(state.pending, &QTimer::timeout, this,
            [this, receiver, role] { Fire(receiver, role); });
    state.pending->start(static_cast<int>(delayMs));
    return Json(state.staged, 202);
}

void Node::Fire(bool receiver, const std::string& role) {
    Refresh();
    EndpointState& state = receiver ? m_receivers[role] : m_senders[role];
    if (state.pending != nullptr) {
        state.pending->deleteLater();
        state.pending = nullptr;
    }
    std::string error;
    const QJsonObject scheduled = state.staged[QStringLiteral("activation")].toObject();
    const std::optional<QJsonObject> resolved = Commit(receiver, role, state.staged, &error);
    if (!resolved) {
        std::fprintf(stderr, "NMOS: the scheduled activation of %s failed: %s\n", role.c_str(),
                     error.c_str());
    } else {
        state.active = *resolved;
        QJsonObject done = scheduled;
        done[QStringLiteral("activation_time")] = TaiText(NowNs());
        state.active[QStringLiteral("activation")] = done;
        emit activated();
    }
    state.staged[QStringLiteral("activation")] = NoActivation();
}

std::optional<QJsonObject> Node::Commit(bool receiver, const std::string& role,
                                        const QJsonObject& staged, std::string* error) {
    if (!receiver) {
        for (const StreamFacts& s : m_facts.streams) {
            if (s.role == role) {
                std::optional<QJsonObject> resolved = Resolve(s, staged, error);
                return resolved && Apply(role, *resolved, error) ? resolved : std::nullopt;
            }
        }
        *error = "no such sender";
        return std::nullopt;
    }
    const ReceiverFacts* r = ReceiverByRole(role);
    if (r == nullptr) {
        *error = "no such receiver";
        return std::nullopt;
    }
    // "auto": the interface it was set up on, and the transport file's port (else RTP's 5004).
    QJsonObject leg = staged[QStringLiteral("transport_params")].toArray()[0].toObject();
    const QJsonObject file = staged[QStringLiteral("transport_file")].toObject();
    const std::string sdp = file[QStringLiteral("data")].toString().toStdString();
    if (IsAuto(leg[QStringLiteral("interface_ip")])) {
        leg[QStringLiteral("interface_ip")] = QString::fromStdString(r->interfaceIp);
    }
    if (IsAuto(leg[QStringLiteral("destination_port")])) {
        std::vector<std::string> errors;
        const std::optional<wire::SessionDescription> parsed =
            sdp.empty() ? std::nullopt : wire::ParseSdp(sdp, &errors);
        leg[QStringLiteral("destination_port")] =
            parsed && !parsed->media.empty() ? parsed->media.front().port : 5004;
    }
    QJsonObject resolved = staged;
    resolved[QStringLiteral("transport_params")] = QJsonArray{leg};
    ReceiverConnection connection;
    const QJsonValue sender = staged[QStringLiteral("sender_id")];
    connection.senderId = sender.isString() ? sender.toString().toStdString() : "";
    connection.sdp = sdp;
    connection.sourceIp = leg[QStringLiteral("source_ip")].toString().toStdString();
    connection.multicastIp = leg[QStringLiteral("multicast_ip")].toString().toStdString();
    connection.interfaceIp = leg[QStringLiteral("interface_ip")].toString().toStdString();
    connection.destinationPort = leg[QStringLiteral("destination_port")].toInt();
    connection.enabled = staged[QStringLiteral("master_enable")].toBool() &&
                         leg[QStringLiteral("rtp_enabled")].toBool();
    if (!m_host.Receive(role, connection, error)) {
        return std::nullopt;
    }
    return resolved;
}

std::optional<QJsonObject> Node::Resolve(const StreamFacts& s, const QJsonObject& staged,
                                         std::string* error) const {
    const std::vector<Transport> initial =
        m_initial.count(s.role) ? m_initial.at(s.role) : LegsOf(s);
    QJsonArray legs = staged[QStringLiteral("transport_params")].toArray();
    for (qsizetype l = 0; l < legs.size() && l < static_cast<qsizetype>(initial.size()); ++l) {
        QJsonObject leg = legs[l].toObject();
        // "auto": where the source was set up to send this leg, and what it sends from.
        const QJsonObject setUp = TransportJson(initial[static_cast<size_t>(l)]);
        for (const char* key : {"source_ip", "source_port", "destination_ip", "destination_port"}) {
            if (IsAuto(leg[QLatin1String(key)])) {
                leg[QLatin1String(key)] = setUp.value(QLatin1String(key));
            }
        }
        if (leg[QStringLiteral("destination_ip")].toString().isEmpty()) {
            *error = "no destination to resolve to";
            return std::nullopt;
        }
        legs[l] = leg;
    }
    QJsonObject resolved = staged;
    resolved[QStringLiteral("transport_params")] = legs;
    return resolved;
}

bool Node::Apply(const std::string& role, const QJsonObject& resolved, std::string* error) {
    std::vector<Transport> legs;
    for (const QJsonValue& value : resolved[QStringLiteral("transport_params")].toArray()) {
        const QJsonObject leg = value.toObject();
        Transport transport;
        transport.sourceIp = leg[QStringLiteral("source_ip")].toString().toStdString();
        transport.sourcePort = leg[QStringLiteral("source_port")].toInt();
        transport.destinationIp = leg[QStringLiteral("destination_ip")].toString().toStdString();
        transport.destinationPort = leg[QStringLiteral("destination_port")].toInt();
        transport.rtpEnabled = leg[QStringLiteral("rtp_enabled")].toBool();
        legs.push_back(transport);
    }
    return m_host.Activate(role, legs, resolved[QStringLiteral("master_enable")].toBool(), error);
}

} // namespace nmos
