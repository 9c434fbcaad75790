// The guard every request of a server passes the moment its headers are read, before any of its
// body is: the Host must name the listening address (no DNS-rebinding names); with a token set,
// the request carries it or a sign-in's session, and an address that guesses wrong too often is
// locked out a while; and a change (anything but a read, and every WebSocket) from a browser
// comes only from an origin the route's policy allows. A browser names its page's origin on
// every change; a sandboxed frame's is "null", which is a browser context like any other.
//
// Threads: Check runs on the network thread, SignIn and SignOut on the owner's; the sessions and
// failures they share are under a lock. The listening address, the token and the sign-in page are
// set before the server starts and never change after.
#pragma once

#include "http_types.h"

#include <QByteArray>
#include <QString>

#include <chrono>
#include <cstddef>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace http {

// What a route takes, and from whom.
struct RoutePolicy {
    // The server's own pages (a request whose Origin is the address it names) may change state.
    bool ownOrigin = true;
    // Other browser origins that may change state, as a browser sends them ("null" is one).
    std::vector<QByteArray> allowedOrigins;
    // Replies let pages of any origin read them, and preflight requests are answered.
    bool cors = false;
    bool webSocket = false; // upgrades are taken here
    std::size_t bodyBytes = 16 * 1024;
    // Said when a change comes from an origin this route does not take.
    QString originRefusal = QStringLiteral("changes are taken only from the panel's own page");
};

class Guard {
public:
    // address: as listened on ("127.0.0.1", "::1", "0.0.0.0"); token: empty for none.
    void Configure(const std::string& address, quint16 port, const QString& token);
    // A page served with a 401 to a browser asking for "/", and the name in WWW-Authenticate.
    void SetSignIn(QByteArray page, QByteArray realm);

    // Network thread: nullopt when the request may go on to its route.
    std::optional<HttpReply> Check(const HttpRequest& request, const RoutePolicy& policy) const;
    // A change with this Origin (empty: not a browser), as the policy takes it.
    bool OriginAllowed(const QByteArray& origin, const QByteArray& host,
                       const RoutePolicy& policy) const;
    bool HostAllowed(const QByteArray& host) const;
    bool SignInOffered() const { return !m_signInPage.isEmpty(); }

    // POST /login with a form's token: a session cookie, or the refusal. POST /logout ends it.
    HttpReply SignIn(const HttpRequest& request);
    HttpReply SignOut(const HttpRequest& request);

private:
    using Clock = std::chrono::steady_clock;
    struct Failures {
        int count = 0;
        int lockouts = 0;
        Clock::time_point since;
        Clock::time_point lockedUntil;
    };
    // A live session or the token itself, which a client address that guessed wrong too often
    // may not try for a while (*throttledFor: seconds).
    bool Authorised(const HttpRequest& request, int* throttledFor) const;
    bool TokenMatches(const QByteArray& given, const QByteArray& peer, int* throttledFor) const;
    QByteArray SessionId(const HttpRequest& request) const;

    std::string m_address;
    quint16 m_port = 0;
    QByteArray m_token;
    QByteArray m_cookieName; // carries the port: servers on one computer never share a session
    QByteArray m_signInPage;
    QByteArray m_realm = "lirafon";
    mutable std::mutex m_lock;
    mutable std::map<QByteArray, Clock::time_point> m_sessions; // id -> expiry
    mutable std::map<QByteArray, Failures> m_failures;          // by client address
};

} // namespace http
