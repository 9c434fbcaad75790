// A server with two routes of different policies on 127.0.0.1: the longest prefix takes a path
// (on a segment boundary), each route's body limit holds for declared and chunked bodies, CORS
// and preflights only where the route offers them, and a path no route holds is 404.
#include "http_client.h"
#include "http_server.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

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

} // namespace
