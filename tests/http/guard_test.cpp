// The guard's verdicts, one request at a time: Host, Origin by the route's policy (none, own,
// "null", listed, foreign), what counts as a change, WebSocket only where a route takes it, and
// the token with its sessions and lockout.
#include "http_guard.h"

#include <gtest/gtest.h>

#include <optional>

namespace {

http::HttpRequest Request(const QByteArray& method, const QString& path, const QByteArray& origin,
                          const QByteArray& host = "127.0.0.1:8080") {
    http::HttpRequest request;
    request.method = method;
    request.path = path;
    request.peer = "127.0.0.1";
    request.headers.push_back({"host", host});
    if (!origin.isEmpty()) {
        request.headers.push_back({"origin", origin});
    }
    return request;
}

int Status(const std::optional<http::HttpReply>& reply) {
    return reply ? reply->status : 0; // 0: passed
}

TEST(GuardTest, HostMustNameTheListeningAddress) {
    http::Guard guard;
    guard.Configure("127.0.0.1", 8080, "");
    const http::RoutePolicy policy;
    for (const char* host : {"127.0.0.1:8080", "localhost:8080", "[::1]:8080", "LOCALHOST:8080"}) {
        EXPECT_EQ(Status(guard.Check(Request("GET", "/", "", host), policy)), 0) << host;
    }
    for (const char* host : {"", "evil.example:8080", "127.0.0.1:8081", "127.0.0.1", "localhost"}) {
        EXPECT_EQ(Status(guard.Check(Request("GET", "/", "", host), policy)), 403) << host;
    }
    http::Guard lan;
    lan.Configure("192.0.2.7", 8080, "a-token-of-sixteen+");
    EXPECT_EQ(Status(lan.Check(Request("GET", "/", "", "localhost:8080"), policy)), 403)
        << "loopback names only for a server on loopback";
}

TEST(GuardTest, ChangesComeOnlyFromOriginsThePolicyTakes) {
    http::Guard guard;
    guard.Configure("127.0.0.1", 8080, "");
    http::RoutePolicy panel; // own origin
    http::RoutePolicy nmos;
    nmos.ownOrigin = false;
    nmos.cors = true;
    http::RoutePolicy allowNull = nmos;
    allowNull.allowedOrigins = {"null", "https://controller.example"};
    struct Case {
        const char* origin;
        int panel, nmos, allowNull;
    };
    const Case cases[] = {
        {"", 0, 0, 0},                               // not a browser
        {"http://127.0.0.1:8080", 0, 403, 403},      // the panel's own page
        {"null", 403, 403, 0},                       // a sandboxed frame, a file: page
        {"https://controller.example", 403, 403, 0}, // listed
        {"HTTPS://CONTROLLER.EXAMPLE", 403, 403, 0}, // origins compare without case
        {"https://controller.example.evil", 403, 403, 403},
        {"http://127.0.0.1:9999", 403, 403, 403}, // another server of this computer
    };
    for (const Case& c : cases) {
        for (const char* method : {"PATCH", "POST", "PUT", "DELETE"}) {
            EXPECT_EQ(Status(guard.Check(Request(method, "/x", c.origin), panel)), c.panel)
                << method << " " << c.origin;
            EXPECT_EQ(Status(guard.Check(Request(method, "/x", c.origin), nmos)), c.nmos)
                << method << " " << c.origin;
            EXPECT_EQ(Status(guard.Check(Request(method, "/x", c.origin), allowNull)), c.allowNull)
                << method << " " << c.origin;
        }
        // Reads and preflights change nothing: any origin may send them.
        for (const char* method : {"GET", "HEAD", "OPTIONS"}) {
            EXPECT_EQ(Status(guard.Check(Request(method, "/x", c.origin), nmos)), 0) << method;
        }
    }
    http::HttpRequest upgrade = Request("GET", "/ws", "http://127.0.0.1:8080");
    upgrade.webSocket = true;
    EXPECT_EQ(Status(guard.Check(upgrade, panel)), 404) << "this route takes no WebSocket";
    panel.webSocket = true;
    EXPECT_EQ(Status(guard.Check(upgrade, panel)), 0);
    upgrade.headers.back().second = "null";
    EXPECT_EQ(Status(guard.Check(upgrade, panel)), 403) << "a WebSocket is a change";
}

TEST(GuardTest, TokenSessionsAndLockout) {
    http::Guard guard;
    guard.Configure("192.0.2.7", 8080, "sixteen-char-token");
    guard.SetSignIn("<form>", "test");
    const http::RoutePolicy policy;
    auto request = [](const QByteArray& extra = {}, const QByteArray& peer = "192.0.2.50") {
        http::HttpRequest r = Request("GET", "/api/state", "", "192.0.2.7:8080");
        r.peer = peer;
        if (!extra.isEmpty()) {
            r.headers.push_back({"authorization", extra});
        }
        return r;
    };
    std::optional<http::HttpReply> refused = guard.Check(request(), policy);
    ASSERT_EQ(Status(refused), 401);
    EXPECT_NE(std::find_if(refused->headers.begin(), refused->headers.end(),
                           [](const auto& h) { return h.first == "WWW-Authenticate"; }),
              refused->headers.end());
    EXPECT_EQ(Status(guard.Check(request("Bearer sixteen-char-token"), policy)), 0);
    // Five wrong tokens lock that address out, even for the right one; another address is not.
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(Status(guard.Check(request("Bearer wrong"), policy)), i < 4 ? 401 : 429) << i;
    }
    EXPECT_EQ(Status(guard.Check(request("Bearer sixteen-char-token"), policy)), 429);
    EXPECT_EQ(Status(guard.Check(request("Bearer sixteen-char-token", "192.0.2.51"), policy)), 0);

    // A sign-in from the panel's page gives a session cookie that passes in place of the token.
    http::HttpRequest signIn = Request("POST", "/login", "http://192.0.2.7:8080", "192.0.2.7:8080");
    signIn.peer = "192.0.2.52";
    signIn.body = "token=sixteen-char-token";
    EXPECT_EQ(Status(guard.Check(signIn, policy)), 0) << "the sign-in judges its own token";
    const http::HttpReply signedIn = guard.SignIn(signIn);
    ASSERT_EQ(signedIn.status, 303);
    QByteArray cookie;
    for (const auto& [name, value] : signedIn.headers) {
        if (name == "Set-Cookie") {
            cookie = value.split(';').first();
        }
    }
    ASSERT_TRUE(cookie.startsWith("lirafon_session_8080="));
    EXPECT_FALSE(cookie.contains("sixteen")) << "the cookie never carries the token";
    http::HttpRequest withCookie = request({}, "192.0.2.52");
    withCookie.headers.push_back({"cookie", "other=1; " + cookie});
    EXPECT_EQ(Status(guard.Check(withCookie, policy)), 0);
    guard.SignOut(withCookie);
    EXPECT_EQ(Status(guard.Check(withCookie, policy)), 401);
    signIn.headers.back().second = "null";
    EXPECT_EQ(guard.SignIn(signIn).status, 403) << "a sign-in only from the panel's own page";
}

} // namespace
