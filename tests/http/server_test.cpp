// A server with two routes of different policies on 127.0.0.1: the longest prefix takes a path
// (on a segment boundary), each route's body limit holds for declared and chunked bodies, CORS
// and preflights only where the route offers them, and a path no route holds is 404.
#include "http_client.h"
#include "http_server.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

namespace {

class ServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        http::RoutePolicy small;
        small.bodyBytes = 64;
        m_server.AddRoute(QStringLiteral("/"), small, [](const http::HttpRequest& request) {
            return http::JsonReply(200, {{"route", "panel"}, {"body", QString(request.body)}});
        });
        http::RoutePolicy api;
        api.ownOrigin = false;
        api.cors = true;
        api.bodyBytes = 4096;
        m_server.AddRoute(QStringLiteral("/x-nmos"), api, [](const http::HttpRequest& request) {
            return http::JsonReply(200, {{"route", "nmos"}, {"bytes", request.body.size()}});
        });
        QString error;
        ASSERT_TRUE(m_server.Bind("127.0.0.1", 0, QString(), &error)) << error.toStdString();
        m_server.Start();
        m_port = m_server.Port();
    }

    HttpAnswer Send(const std::string& method, const std::string& path,
                    const std::string& headers = "", const std::string& body = "") {
        const std::string text = HttpRequestText(method, path, m_port, headers, body);
        return OffThread([this, text] { return HttpExchange(m_port, text); });
    }

    int m_argc = 1;
    char m_name[8] = "http";
    char* m_argv[1] = {m_name};
    QCoreApplication m_app{m_argc, m_argv};
    http::Server m_server;
    int m_port = 0;
};

TEST_F(ServerTest, RoutesByLongestPrefixOnASegmentBoundary) {
    EXPECT_NE(Send("GET", "/x-nmos/node/v1.3/").body.find("\"nmos\""), std::string::npos);
    EXPECT_NE(Send("GET", "/x-nmos").body.find("\"nmos\""), std::string::npos);
    EXPECT_NE(Send("GET", "/x-nmosfoo").body.find("\"panel\""), std::string::npos);
    EXPECT_NE(Send("GET", "/api/state").body.find("\"panel\""), std::string::npos);
    const HttpAnswer answer = Send("GET", "/api/state");
    for (const char* header :
         {"Cache-Control: no-store", "X-Content-Type-Options: nosniff", "frame-ancestors 'none'"}) {
        EXPECT_NE(answer.head.find(header), std::string::npos) << header;
    }
    EXPECT_EQ(answer.head.find("Access-Control-Allow-Origin"), std::string::npos)
        << "no CORS on a route that does not offer it";
}

TEST_F(ServerTest, EachRoutesBodyLimitHoldsDeclaredAndChunked) {
    const std::string json = "Content-Type: application/json\r\n";
    EXPECT_EQ(Send("PATCH", "/api", json, std::string(64, 'a')).status, 200);
    EXPECT_EQ(Send("PATCH", "/api", json, std::string(65, 'a')).status, 413);
    EXPECT_EQ(Send("PATCH", "/x-nmos/x", json, std::string(4000, 'a')).status, 200)
        << "the other route's larger limit";
    EXPECT_EQ(Send("PATCH", "/x-nmos/x", json, std::string(5000, 'a')).status, 413);
    // Chunked: no length to judge at the header, so the limit holds as the chunks come.
    std::string chunked = "PATCH /api HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(m_port) +
                          "\r\nTransfer-Encoding: chunked\r\n\r\n";
    for (int i = 0; i < 3; ++i) {
        chunked += "20\r\n" + std::string(32, 'b') + "\r\n";
    }
    chunked += "0\r\n\r\n";
    EXPECT_EQ(OffThread([&] { return HttpExchange(m_port, chunked); }).status, 413);
}

TEST_F(ServerTest, PreflightsAndCorsWhereTheRouteOffersThem) {
    const HttpAnswer preflight =
        Send("OPTIONS", "/x-nmos/connection/v1.1/",
             "Origin: http://controller.example\r\nAccess-Control-Request-Method: PATCH\r\n"
             "Access-Control-Request-Headers: content-type\r\n");
    EXPECT_EQ(preflight.status, 200);
    EXPECT_NE(preflight.head.find("Access-Control-Allow-Origin: *"), std::string::npos);
    EXPECT_NE(preflight.head.find("Access-Control-Allow-Headers: content-type"), std::string::npos);
    // The refusal of the change itself carries CORS too, so the page can read why.
    const HttpAnswer refused =
        Send("PATCH", "/x-nmos/x", "Origin: null\r\nContent-Type: application/json\r\n", "{}");
    EXPECT_EQ(refused.status, 403);
    EXPECT_NE(refused.head.find("Access-Control-Allow-Origin: *"), std::string::npos);
}

// A WebSocket client on a raw socket: the upgrade, the server's frames, and pongs sent back.
class RawWebSocket {
public:
    explicit RawWebSocket(int port) {
        m_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            return;
        }
        const std::string upgrade = "GET /ws HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                                    "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                                    "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                                    "Sec-WebSocket-Version: 13\r\n\r\n";
        send(m_fd, upgrade.data(), upgrade.size(), MSG_NOSIGNAL);
        std::string head;
        while (head.find("\r\n\r\n") == std::string::npos && Wait(5000)) {
            char c = 0;
            if (recv(m_fd, &c, 1, 0) != 1) {
                break;
            }
            head += c;
        }
        m_open = head.rfind("HTTP/1.1 101", 0) == 0;
    }
    ~RawWebSocket() { close(m_fd); }
    bool Open() const { return m_open; }

    // The next frame's opcode and payload; -1 when the connection closed, 0 on a timeout.
    int Read(std::string* payload, int timeoutMs) {
        uint8_t head[2];
        if (!Exactly(head, 2, timeoutMs)) {
            return m_closed ? -1 : 0;
        }
        uint64_t length = head[1] & 0x7F;
        if (length >= 126) {
            uint8_t extended[8];
            const size_t bytes = length == 126 ? 2 : 8;
            if (!Exactly(extended, bytes, 5000)) {
                return -1;
            }
            length = 0;
            for (size_t i = 0; i < bytes; ++i) {
                length = length << 8 | extended[i];
            }
        }
        payload->assign(length, '\0');
        if (length > 0 && !Exactly(reinterpret_cast<uint8_t*>(payload->data()), length, 5000)) {
            return -1;
        }
        return head[0] & 0x0F;
    }
    // A pong carrying the ping's payload, masked as a client's frames must be (a zero mask).
    void Pong(const std::string& payload) {
        std::string frame{static_cast<char>(0x8A), static_cast<char>(0x80 | payload.size())};
        frame.append(4, '\0').append(payload);
        send(m_fd, frame.data(), frame.size(), MSG_NOSIGNAL);
    }

private:
    bool Wait(int timeoutMs) {
        pollfd wait{m_fd, POLLIN, 0};
        return poll(&wait, 1, timeoutMs) == 1;
    }
    bool Exactly(uint8_t* out, size_t count, int timeoutMs) {
        for (size_t got = 0; got < count;) {
            if (!Wait(got == 0 ? timeoutMs : 5000)) {
                return false;
            }
            const ssize_t n = recv(m_fd, out + got, count - got, 0);
            if (n <= 0) {
                m_closed = true;
                return false;
            }
            got += static_cast<size_t>(n);
        }
        return true;
    }
    int m_fd = -1;
    bool m_open = false;
    bool m_closed = false;
};

// A page only listens: the server pings it before its idle deadline and keeps it while it
// answers (as every browser does by itself), and closes one that answers nothing.
TEST(ServerWebSocketTest, AListeningPageIsKeptByItsPongsAndASilentClientGoes) {
    int argc = 1;
    char name[] = "http";
    char* argv[] = {name, nullptr};
    QCoreApplication app(argc, argv);
    http::HttpLimits limits;
    limits.webSocketIdleTimeout = std::chrono::milliseconds(1200);
    http::Server server(nullptr, limits);
    http::RoutePolicy page;
    page.webSocket = true;
    server.AddRoute(QStringLiteral("/"), page,
                    [](const http::HttpRequest&) { return http::JsonReply(200, {}); });
    QString error;
    ASSERT_TRUE(server.Bind("127.0.0.1", 0, QString(), &error)) << error.toStdString();
    server.Start();
    std::vector<int> clients;
    QObject::connect(&server, &http::Server::webSocketOpened,
                     [&clients](int client) { clients.push_back(client); });
    const int port = server.Port();
    RawWebSocket answering(port);
    RawWebSocket silent(port);
    ASSERT_TRUE(answering.Open() && silent.Open());
    // Four idle deadlines: the answering client pongs every ping it gets.
    const int pings = OffThread([&answering] {
        int count = 0;
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(4800);
        std::string payload;
        while (std::chrono::steady_clock::now() < end) {
            const int opcode = answering.Read(&payload, 100);
            if (opcode == 9) {
                answering.Pong(payload);
                ++count;
            } else if (opcode < 0) {
                break;
            }
        }
        return count;
    });
    EXPECT_GE(pings, 3);
    std::string payload;
    int opcode = 0;
    do { // the pings it never answered, a close frame, then the end
        opcode = silent.Read(&payload, 100);
    } while (opcode == 8 || opcode == 9);
    EXPECT_EQ(opcode, -1) << "the silent client is closed after the idle deadline";
    for (const int client : clients) {
        server.SendText(client, "still there");
    }
    const int pushed = OffThread([&answering, &payload] {
        for (;;) {
            const int read = answering.Read(&payload, 3000);
            if (read != 9) {
                return read;
            }
        }
    });
    EXPECT_EQ(pushed, 1);
    EXPECT_EQ(payload, "still there");
}

} // namespace
