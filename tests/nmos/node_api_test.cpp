// The node's APIs without a network: ids, versions, what IS-05 refuses and what an activation
// asks of the program, and which DNS-SD adverts name a usable registry.
#include "dns_sd.h"
#include "nmos_node.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QThread>

#include <gtest/gtest.h>

#include <memory>

namespace {

// The program's side, recorded.
class RecordingHost : public nmos::NodeHost {
public:
    nmos::NodeFacts Facts() override {
        nmos::NodeFacts f;
        f.hostname = "studio-a";
        f.copy = copy;
        f.sourceName = "QEL Audio Tone " + std::to_string(copy);
        f.apiHost = "127.0.0.1";
        f.apiPort = 8780;
        nmos::StreamFacts audio;
        audio.role = "audio";
        audio.channels = channels;
        audio.transport = {ipv6 ? "::1" : "127.0.0.1", 5004, ipv6 ? "::1" : "127.0.0.1", port,
                           enabled};
        audio.ipv6 = ipv6;
        audio.loopbackOnly = loopbackOnly;
        if (twoLegs) {
            audio.secondLeg = nmos::Transport{"127.0.0.1", 5004, "127.0.0.1", secondPort, true};
        }
        f.streams.push_back(audio);
        for (int n = 1; n <= receivers; ++n) {
            f.receivers.push_back({"receiver-" + std::to_string(n),
                                   "Line-up probe input " + std::to_string(n),
                                   16,
                                   {48000},
                                   "127.0.0.1"});
        }
        return f;
    }
    bool Receive(const std::string& role, const nmos::ReceiverConnection& c,
                 std::string*) override {
        received.push_back(role + " " + (c.enabled ? "on" : "off") + " " + c.multicastIp + ":" +
                           std::to_string(c.destinationPort) + " from " + c.sourceIp + " " +
                           c.interfaceIp + (c.sdp.empty() ? " no file" : " file") + " sender " +
                           c.senderId);
        return true;
    }
    bool Activate(const std::string& role, const std::vector<nmos::Transport>& legs, bool master,
                  std::string*) override {
        std::string line = role;
        for (const nmos::Transport& t : legs) {
            line += " " + t.destinationIp + ":" + std::to_string(t.destinationPort) +
                    (master && t.rtpEnabled ? " on" : " off");
        }
        activations.push_back(line);
        port = legs[0].destinationPort;
        enabled = master && legs[0].rtpEnabled;
        if (legs.size() > 1) {
            secondPort = legs[1].destinationPort;
        }
        return true;
    }
    std::string TransportFile(const std::string&) override { return "v=0\r\n"; }
    std::optional<int64_t> PtpNowNs() override { return ptpNow; }

    int copy = 1;
    int channels = 8;
    int port = 5004;
    bool enabled = true;
    bool twoLegs = false;
    int secondPort = 5104;
    bool loopbackOnly = true;
    bool ipv6 = false;
    std::optional<int64_t> ptpNow;
    std::vector<std::string> activations;
    int receivers = 0;
    std::vector<std::string> received;
};

http::HttpRequest Request(const char* method, const QString& path, const QByteArray& body = {}) {
    http::HttpRequest r;
    r.method = method;
    r.path = path;
    r.body = body;
    r.headers.push_back({"content-type", "application/json"});
    return r;
}

QJsonValue Body(const http::HttpReply& reply) {
    const QJsonDocument d = QJsonDocument::fromJson(reply.body);
    return d.isArray() ? QJsonValue(d.array()) : QJsonValue(d.object());
}

class NodeApi : public testing::Test {
protected:
    QString Sender() {
        return Body(*node.Handle(Request("GET", "/x-nmos/node/v1.3/senders/")))
            .toArray()[0]
            .toObject()["id"]
            .toString();
    }
    http::HttpReply Patch(const QByteArray& body) {
        return *node.Handle(Request(
            "PATCH", "/x-nmos/connection/v1.1/single/senders/" + Sender() + "/staged", body));
    }
    int argc = 0;
    QCoreApplication app{argc, nullptr};
    RecordingHost host;
    nmos::Node node{host};
};

TEST_F(NodeApi, IdsAreStablePerHostAndCopyAndVersionsMoveOnlyWithContent) {
    const QString id = Sender();
    RecordingHost other;
    other.copy = 2;
    nmos::Node second(other);
    EXPECT_EQ(nmos::Node(host).NodeId(), node.NodeId());
    EXPECT_NE(second.NodeId(), node.NodeId());

    const auto version = [&](const char* type) {
        for (const auto& r : node.Resources()) {
            if (r.type == type) {
                return r.data["version"].toString();
            }
        }
        return QString();
    };
    const QString source = version("source");
    const QString device = version("device");
    EXPECT_EQ(version("source"), source);
    host.channels = 16;
    EXPECT_NE(version("source"), source);
    EXPECT_EQ(version("device"), device);
    EXPECT_EQ(node.Handle(Request("GET", "/x-nmos/node/v1.3/senders/" + id))->status, 200);
    EXPECT_EQ(node.Handle(Request("GET", "/x-nmos/node/v1.3/flows/not-an-id"))->status, 404);
    EXPECT_FALSE(node.Handle(Request("GET", "/api/state")));
}

TEST_F(NodeApi, RefusedPatchesChangeNothingAndAskNothingOfTheProgram) {
    const QString staged = "/x-nmos/connection/v1.1/single/senders/" + Sender() + "/staged";
    const QByteArray before = node.Handle(Request("GET", staged))->body;
    for (const QByteArray& bad :
         {QByteArray(R"({"transport_params":[{"destination_ip":"192.0.2.1"}]})"),
          QByteArray(R"({"transport_params":[{"destination_ip":"::1"}]})"),
          QByteArray(R"({"transport_params":[{"destination_port":0}]})"),
          QByteArray(R"({"transport_params":[{},{}]})"),
          QByteArray(R"({"transport_params":[{"source_port":1234}]})"),
          QByteArray(R"({"receiver_id":"not-a-uuid"})"),
          QByteArray(R"({"activation":{"mode":"activate_scheduled_absolute"}})"),
          QByteArray(R"({"activation":{"mode":"activate_immediate","requested_time":"1:x"}})"),
          QByteArray("[1]"), QByteArray("{")}) {
        const http::HttpReply reply = Patch(bad);
        EXPECT_EQ(reply.status, 400) << bad.constData();
        EXPECT_EQ(Body(reply).toObject()["code"].toInt(), 400) << bad.constData();
    }
    EXPECT_EQ(node.Handle(Request("GET", staged))->body, before);
    EXPECT_TRUE(host.activations.empty());
    http::HttpRequest text = Request("PATCH", staged, R"({"master_enable":false})");
    text.headers = {{"content-type", "text/plain"}};
    EXPECT_EQ(node.Handle(text)->status, 415);
}

TEST_F(NodeApi, ActivationsResolveAutoAndScheduledOnesLockTheSender) {
    EXPECT_EQ(Patch(R"({"transport_params":[{"destination_port":6000}]})").status, 200);
    EXPECT_TRUE(host.activations.empty());   // staged only
    host.ptpNow = 1'700'000'000'000'000'123; // the plant's PTP time (TAI), when there is one
    const http::HttpReply now = Patch(R"({"activation":{"mode":"activate_immediate"}})");
    EXPECT_EQ(now.status, 200);
    EXPECT_EQ(Body(now).toObject()["activation"].toObject()["activation_time"].toString(),
              "1700000000:123");
    host.ptpNow.reset();
    // "auto" goes back to where the source was set up to send; master_enable false stops it.
    EXPECT_EQ(Patch(R"({"master_enable":false,"transport_params":[{"destination_port":"auto"}],)"
                    R"("activation":{"mode":"activate_immediate"}})")
                  .status,
              200);
    EXPECT_EQ(host.activations,
              (std::vector<std::string>{"audio 127.0.0.1:6000 on", "audio 127.0.0.1:5004 off"}));
    const QJsonObject active =
        Body(*node.Handle(
                 Request("GET", "/x-nmos/connection/v1.1/single/senders/" + Sender() + "/active")))
            .toObject();
    EXPECT_EQ(active["transport_params"].toArray()[0].toObject()["destination_port"].toInt(), 5004);

    EXPECT_EQ(Patch(R"({"activation":{"mode":"activate_scheduled_relative",)"
                    R"("requested_time":"0:100000000"}})")
                  .status,
              202);
    EXPECT_EQ(Patch(R"({"master_enable":true})").status, 423);
    QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    for (int i = 0; i < 50 && host.activations.size() < 3; ++i) {
        QThread::msleep(10);
        QCoreApplication::processEvents();
    }
    ASSERT_EQ(host.activations.size(), 3u);
    EXPECT_EQ(Patch(R"({"master_enable":true})").status, 200); // unlocked once it fired
}

// A sender of two legs (ST 2022-7): every IS-05 array holds one entry per leg, a patch names
// both ({} leaves one as staged), and an activation moves each leg on its own.
class TwoLegSender : public NodeApi {
protected:
    static RecordingHost TwoLegHost() {
        RecordingHost h;
        h.twoLegs = true;
        return h;
    }
    RecordingHost twoLegHost = TwoLegHost();
    nmos::Node twoLegNode{twoLegHost};
    QJsonValue Get(const QString& leaf) {
        const QString id = Body(*twoLegNode.Handle(Request("GET", "/x-nmos/node/v1.3/senders/")))
                               .toArray()[0]
                               .toObject()["id"]
                               .toString();
        return Body(*twoLegNode.Handle(
            Request("GET", "/x-nmos/connection/v1.1/single/senders/" + id + "/" + leaf)));
    }
    http::HttpReply PatchLegs(const QByteArray& body) {
        const QString id = Body(*twoLegNode.Handle(Request("GET", "/x-nmos/node/v1.3/senders/")))
                               .toArray()[0]
                               .toObject()["id"]
                               .toString();
        return *twoLegNode.Handle(
            Request("PATCH", "/x-nmos/connection/v1.1/single/senders/" + id + "/staged", body));
    }
};

TEST_F(TwoLegSender, EachLegIsConstrainedStagedAndActivatedOnItsOwn) {
    EXPECT_EQ(Get("constraints").toArray().size(), 2);
    EXPECT_EQ(Get("staged").toObject()["transport_params"].toArray().size(), 2);
    const QJsonObject sender =
        Body(*twoLegNode.Handle(Request("GET", "/x-nmos/node/v1.3/senders/")))
            .toArray()[0]
            .toObject();
    EXPECT_EQ(sender["interface_bindings"].toArray().size(), 2);

    for (const QByteArray& bad : {QByteArray(R"({"transport_params":[{"destination_port":6000}]})"),
                                  QByteArray(R"({"transport_params":[{},{},{}]})"),
                                  QByteArray(R"({"transport_params":[{},{"destination_port":0}]})"),
                                  QByteArray(R"({"transport_params":[{},3]})")}) {
        EXPECT_EQ(PatchLegs(bad).status, 400) << bad.constData();
    }
    EXPECT_TRUE(twoLegHost.activations.empty());

    // The second leg moved alone; then switched off alone.
    EXPECT_EQ(PatchLegs(R"({"transport_params":[{},{"destination_port":6100}],)"
                        R"("activation":{"mode":"activate_immediate"}})")
                  .status,
              200);
    EXPECT_EQ(PatchLegs(R"({"transport_params":[{},{"rtp_enabled":false}],)"
                        R"("activation":{"mode":"activate_immediate"}})")
                  .status,
              200);
    // "auto" on the second leg is where that leg was set up to send.
    EXPECT_EQ(PatchLegs(R"({"transport_params":[{"destination_port":6000},)"
                        R"({"destination_port":"auto","rtp_enabled":true}],)"
                        R"("activation":{"mode":"activate_immediate"}})")
                  .status,
              200);
    EXPECT_EQ(twoLegHost.activations,
              (std::vector<std::string>{"audio 127.0.0.1:5004 on 127.0.0.1:6100 on",
                                        "audio 127.0.0.1:5004 on 127.0.0.1:6100 off",
                                        "audio 127.0.0.1:6000 on 127.0.0.1:5104 on"}));
    const QJsonArray active = Get("active").toObject()["transport_params"].toArray();
    ASSERT_EQ(active.size(), 2);
    EXPECT_EQ(active[1].toObject()["destination_port"].toInt(), 5104);
    EXPECT_EQ(active[0].toObject()["destination_port"].toInt(), 6000);
}

TEST(DnsSdAdverts, OnlyHttpV13RegistriesWithAPriorityBestFirst) {
    const auto advert = [](const char* address, int port, std::map<std::string, std::string> txt) {
        return nmos::Advert{address, address, port, std::move(txt)};
    };
    const auto found = nmos::UsableRegistries({
        advert("10.0.0.1", 80, {{"api_proto", "http"}, {"api_ver", "v1.2,v1.3"}, {"pri", "20"}}),
        advert("10.0.0.2", 80, {{"api_proto", "https"}, {"api_ver", "v1.3"}, {"pri", "0"}}),
        advert("10.0.0.3", 80, {{"api_proto", "http"}, {"api_ver", "v9.0"}, {"pri", "0"}}),
        advert("10.0.0.4", 80, {{"api_proto", "http"}, {"api_ver", "v1.3"}}),
        advert("10.0.0.5", 81, {{"api_proto", "http"}, {"api_ver", "v1.3"}, {"pri", "10"}}),
    });
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0].url.toString(), "http://10.0.0.5:81/");
    EXPECT_EQ(found[1].url.toString(), "http://10.0.0.1:80/");
}

} // namespace

// A source kept on this computer over IPv6: the constraint a controller reads and the staging the
// node does agree on every spelling of ::1, and on nothing else.
TEST_F(NodeApi, Ipv6LoopbackConstraintTakesEverySpellingTheNodeTakes) {
    host.ipv6 = true;
    const QString base = "/x-nmos/connection/v1.1/single/senders/" + Sender();
    const QJsonArray constraints =
        Body(*node.Handle(Request("GET", base + "/constraints"))).toArray();
    ASSERT_EQ(constraints.size(), 1);
    const QRegularExpression pattern(
        constraints[0].toObject()["destination_ip"].toObject()["pattern"].toString());
    ASSERT_TRUE(pattern.isValid());
    for (const char* own :
         {"::1", "0:0:0:0:0:0:0:1", "0::1", "0000:0000:0000:0000:0000:0000:0000:0001"}) {
        EXPECT_TRUE(pattern.match(QString::fromLatin1(own)).hasMatch()) << own;
        const QByteArray patch =
            QByteArray(R"({"transport_params":[{"destination_ip":")") + own + R"("}]})";
        EXPECT_EQ(Patch(patch).status, 200) << own;
    }
    for (const char* other : {"::2", "ff15::1", "2001:db8::1", "1::1"}) {
        EXPECT_FALSE(pattern.match(QString::fromLatin1(other)).hasMatch()) << other;
        const QByteArray patch =
            QByteArray(R"({"transport_params":[{"destination_ip":")") + other + R"("}]})";
        EXPECT_EQ(Patch(patch).status, 400) << other;
    }
}

namespace {

// A receiver as a probe is one: its IS-04 resource says what it reads, a transport file of
// what it reads is staged with the parameters it names and activated, one it cannot read is
// refused with IS-05's error and changes nothing, and the subscription follows the activations.
class ReceiverApi : public testing::Test {
protected:
    ReceiverApi() {
        host.receivers = 2;
        node = std::make_unique<nmos::Node>(host);
    }
    QJsonObject Receiver(int index = 0) {
        return Body(*node->Handle(Request("GET", "/x-nmos/node/v1.3/receivers/")))
            .toArray()[index]
            .toObject();
    }
    QString Staged() {
        return "/x-nmos/connection/v1.1/single/receivers/" + Receiver()["id"].toString() +
               "/staged";
    }
    http::HttpReply Patch(const QJsonObject& body) {
        return *node->Handle(
            Request("PATCH", Staged(), QJsonDocument(body).toJson(QJsonDocument::Compact)));
    }
    static QJsonObject File(const std::string& rtpmap) {
        const std::string sdp = "v=0\r\no=- 1 1 IN IP4 192.0.2.10\r\ns=QEL Audio Tone 1\r\n"
                                "c=IN IP4 239.69.1.1/32\r\nt=0 0\r\nm=audio 5006 RTP/AVP 96\r\n"
                                "a=rtpmap:96 " +
                                rtpmap +
                                "\r\na=source-filter: incl IN IP4 239.69.1.1 192.0.2.10\r\n";
        return {{"transport_file",
                 QJsonObject{{"data", QString::fromStdString(sdp)}, {"type", "application/sdp"}}}};
    }
    int argc = 0;
    QCoreApplication app{argc, nullptr};
    RecordingHost host;
    std::unique_ptr<nmos::Node> node;
};

TEST_F(ReceiverApi, TheResourceSaysWhatTheAnalyserReads) {
    const QJsonObject r = Receiver();
    EXPECT_EQ(r["format"].toString(), "urn:x-nmos:format:audio");
    EXPECT_EQ(r["transport"].toString(), "urn:x-nmos:transport:rtp");
    EXPECT_EQ(r["caps"].toObject()["media_types"].toArray(),
              (QJsonArray{"audio/L24", "audio/L16"}));
    const QJsonObject set = r["caps"].toObject()["constraint_sets"].toArray()[0].toObject();
    EXPECT_EQ(set["urn:x-nmos:cap:format:channel_count"].toObject()["maximum"].toInt(), 16);
    EXPECT_EQ(r["subscription"].toObject(),
              (QJsonObject{{"sender_id", QJsonValue::Null}, {"active", false}}));
    QJsonArray ids;
    for (const auto& resource : node->Resources()) {
        if (resource.type == "device") {
            ids = resource.data["receivers"].toArray();
        }
    }
    EXPECT_EQ(ids, (QJsonArray{Receiver(0)["id"], Receiver(1)["id"]}));
    EXPECT_NE(Receiver(0)["id"], Receiver(1)["id"]);
    EXPECT_EQ(node->Handle(Request("GET", "/x-nmos/connection/v1.1/single/receivers/" +
                                              r["id"].toString() + "/constraints"))
                  ->status,
              200);
}

TEST_F(ReceiverApi, ATransportFileStagedActivatedAndParked) {
    const QString sender = "6b1f0a3e-5c2d-4f8e-9a71-3d4c5b6a7e81";
    QJsonObject patch = File("L24/48000/8");
    patch["sender_id"] = sender;
    patch["master_enable"] = true;
    const http::HttpReply staged = Patch(patch);
    ASSERT_EQ(staged.status, 200) << staged.body.constData();
    const QJsonObject leg = Body(staged).toObject()["transport_params"].toArray()[0].toObject();
    EXPECT_EQ(leg["destination_port"].toInt(), 5006);
    EXPECT_EQ(leg["multicast_ip"].toString(), "239.69.1.1");
    EXPECT_EQ(leg["source_ip"].toString(), "192.0.2.10");
    EXPECT_TRUE(host.received.empty()) << "staged only";
    const auto version = [this] {
        for (const auto& resource : node->Resources()) {
            if (resource.type == "receiver" && resource.data["id"] == Receiver()["id"]) {
                return resource.data["version"].toString();
            }
        }
        return QString();
    };
    const QString before = version();
    ASSERT_EQ(Patch({{"activation", QJsonObject{{"mode", "activate_immediate"}}}}).status, 200);
    EXPECT_EQ(host.received,
              std::vector<std::string>{
                  "receiver-1 on 239.69.1.1:5006 from 192.0.2.10 127.0.0.1 file sender " +
                  sender.toStdString()});
    EXPECT_EQ(Receiver()["subscription"].toObject(),
              (QJsonObject{{"sender_id", sender}, {"active", true}}));
    EXPECT_NE(version(), before) << "a new receiver version goes to the registry";
    ASSERT_EQ(Patch({{"master_enable", false},
                     {"activation", QJsonObject{{"mode", "activate_immediate"}}}})
                  .status,
              200);
    EXPECT_EQ(host.received.back().rfind("receiver-1 off", 0), 0u) << host.received.back();
    EXPECT_FALSE(Receiver()["subscription"].toObject()["active"].toBool());
    EXPECT_TRUE(Receiver()["subscription"].toObject()["sender_id"].isNull());
}

TEST_F(ReceiverApi, WhatItCannotReadIsRefusedAndChangesNothing) {
    const QByteArray before = node->Handle(Request("GET", Staged()))->body;
    const QJsonObject file{{"data", "v=0\r\n"}, {"type", "text/plain"}};
    for (const QJsonObject& bad :
         {File("PCMU/8000/1"), File("L24/48000/24"), File("L24/44100/2"), File("L16/48000/0"),
          QJsonObject{
              {"transport_file", QJsonObject{{"data", "v=1\r\n"}, {"type", "application/sdp"}}}},
          QJsonObject{{"transport_file", file}},
          QJsonObject{{"transport_params", QJsonArray{QJsonObject{{"interface_ip", "192.0.2.1"}}}}},
          QJsonObject{{"transport_params", QJsonArray{QJsonObject{{"destination_port", 0}}}}},
          QJsonObject{{"sender_id", "not-a-uuid"}},
          QJsonObject{{"receiver_id", QJsonValue::Null}}}) {
        const http::HttpReply reply = Patch(bad);
        EXPECT_EQ(reply.status, 400) << QJsonDocument(bad).toJson().constData();
        EXPECT_EQ(Body(reply).toObject()["code"].toInt(), 400);
        EXPECT_FALSE(Body(reply).toObject()["error"].toString().isEmpty());
    }
    EXPECT_EQ(node->Handle(Request("GET", Staged()))->body, before);
    EXPECT_TRUE(host.received.empty());
    // L16, the other encoding it reads, is taken.
    EXPECT_EQ(Patch(File("L16/48000/2")).status, 200);
}

} // namespace
