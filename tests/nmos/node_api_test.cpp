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
        f.streams.push_back(audio);
        return f;
    }
    bool Activate(const std::string& role, const nmos::Transport& t, bool on,
                  std::string*) override {
        activations.push_back(role + " " + t.destinationIp + ":" +
                              std::to_string(t.destinationPort) + (on ? " on" : " off"));
        port = t.destinationPort;
        enabled = on;
        return true;
    }
    std::string TransportFile(const std::string&) override { return "v=0\r\n"; }
    std::optional<int64_t> PtpNowNs() override { return ptpNow; }

    int copy = 1;
    int channels = 8;
    int port = 5004;
    bool enabled = true;
    bool loopbackOnly = true;
    bool ipv6 = false;
    std::optional<int64_t> ptpNow;
    std::vector<std::string> activations;
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
